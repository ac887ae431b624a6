# Scenarios of the session around an update: a session end during the flash
# and after it, and where the ASPI layer is loaded from.  Sourced by
# scenarios.sh.
# shellcheck shell=bash disable=SC2154

E2E_SCENARIOS+=(session)

# end_session: Wine's own session end, as a logoff sends it: WM_QUERYENDSESSION
# to every top-level window, process by process; a process whose windows all
# accept gets WM_ENDSESSION and is ended, a refusal stops the whole session
# end (wineboot then exits with 1).  Prints wineboot's exit status.
end_session() {
  timeout 60 "$KSF_WINE" wineboot --end-session >/dev/null 2>&1
  echo $?
}

# suspend_query: the main dialog's answer to the suspend question of Windows
# 98 to XP (BROADCAST_QUERY_DENY, 424D5144, refuses).
suspend_query() { on "$MAIN" 5000 suspend-query | kv result; }

# The package's folder is the current directory; an ASPI layer there is not
# loaded unless it is also the program's own folder.  Wine's placeholder
# WNASPI32.DLL in the system folders would be found before the current
# directory, so it goes, as on a Windows without an ASPI layer.  Last, the
# whole package beside the program and another folder current (a shortcut's
# "Start in"): the package is found, a second copy is refused, and the update
# works while the session end and the suspend question are refused.
sc_session() {
  setup_one_drive nt --aspi --no-restart --wait 10
  rm -f "$PFX"/drive_c/windows/system32/wnaspi32.dll "$PFX"/drive_c/windows/syswow64/wnaspi32.dll
  local prog="$PFX/drive_c/prog"
  mkdir -p "$prog"
  mv "$PKG/ksfupd.exe" "$prog/"
  # The program started from C:\prog, the package's folder current.
  e2e_start ../prog/ksfupd.exe
  check_eq "ASPI layer only in the current directory: not loaded" "$(msgbox 30000 | kv text)" "WNASPI32.DLL load failed."
  answer_box 1
  check "program ends after OK" e2e_exited 15
  cp "$PKG/WNASPI32.DLL" "$prog/"
  rm -f "$PKG/WNASPI32.DLL"
  e2e_start ../prog/ksfupd.exe
  check "ASPI layer in the program's folder: the drive is listed" on "$MAIN" 40000
  exit_program
  mv "$PKG/kestfirm.ini" "$PKG/TQ517T.BIN" "$prog/"
  start_main ../prog/ksfupd.exe
  local first=$PROG_PID
  e2e_start ../prog/ksfupd.exe  # a second copy while the first runs: refused
  check_eq "a second copy says so" "$(msgbox 30000 | kv text)" "An update program is already running."
  answer_box 1
  check "the second copy ends after OK" e2e_exited 15
  PROG_PID=$first
  update_drive 0
  local status='' deadline=$((SECONDS + 20))
  until [[ $status == "${EN[transfer]}" ]] || ((SECONDS > deadline)); do status=$(on "$MAIN" 5000 text 1032 | kv text); done
  check_eq "transfer phase under way" "$status" "${EN[transfer]}"
  xdotool key Return  # from the keyboard: must not answer the completion box
  check_eq "session end during the transfer refused" "$(end_session)" "1"
  check "program still running" kill -0 "$PROG_PID"
  check_eq "suspend query during the transfer refused" "$(suspend_query)" "424D5144"
  on "$BOX" 120000 >/dev/null
  check_eq "session end at the completion box refused" "$(end_session)" "1"
  check_box 5000 "started from another folder: completion box still there, text|OK only|system-modal" "text|buttons|topmost" "${EN[done_ok]}|1|1"
  answer_box 1
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
  check_eq "11 block writes, all accepted" "$(grep ' 0:1 EA ' "$PKG/trace.txt" | grep -c -- '-> 00$')" "11"
  check_eq "after the update: idle, UPDATE disabled" "$(idle_state)" "${EN[select]}|0|0 1 "
  check_match "suspend query after the update not refused" "$(suspend_query)" "0000000?"
  check_eq "session end after the update accepted" "$(end_session)" "0"
  check "the program ends with the session" e2e_exited 15
}
