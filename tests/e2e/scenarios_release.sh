# The release exe (RELEASE_EXE) and the signed one (RELEASE_SIGNED_EXE) start
# and show their first window: in Windows 98 mode (which ignores the PE's ASLR
# and DEP flags) and, signed, in NT mode.  Run by scripts/release_check.sh.
# shellcheck disable=SC2154

# release_start TEMPLATE EXE: the welcome page, then the main dialog with the drive.
release_start() {
  setup_one_drive "$1" --aspi --caution cdrom
  cp "$2" "$PKG/ksfupd.exe"
  e2e_start
  local out
  out=$(on "$WELCOME" 30000 title)
  check_match "welcome page ($1)" "$(kv title <<<"$out")" "*Welcome"
  on "$WELCOME" 5000 click 1 >/dev/null
  out=$(on "$MAIN" 30000 text 1032)
  check_eq "main dialog ($1)" "$(kv text <<<"$out")" "${EN[select]}"
  exit_program
}
sc_release_win98() { release_start win98 "$RELEASE_EXE"; }
sc_release_signed_nt() { release_start nt "$RELEASE_SIGNED_EXE"; }
