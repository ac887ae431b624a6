# End-to-end scenarios of start-up: its error boxes (package errors in both
# languages, no drive, Wine's own ASPI layer, names that are not the restart
# helper's) and the restart helper.
# shellcheck disable=SC2154

# ------------------------------------------------------- start-up boxes ----

# Start-up's error boxes, one row each: a name, the text in English and in
# Japanese (none: not run in Japanese), make_package's arguments (none: no
# package at all), the emulated drive's configuration (lines joined by ";"),
# the program's name (names that do not begin with the capitals REB are the
# program, not the restart helper) and, last row, Wine's own ASPI layer
# instead of the emulated drive's.  Each box has the error caption, OK only
# and no owner, nothing else shows, and OK ends the program.
STARTUP_BOXES='1|INI file not found. (Code 1)|INIファイルが見つかりません。(Code 1)|||
1|INI file not found. (Code 1)||||reboot.exe
1|INI file not found. (Code 1)||||Reb_1.exe
10|Firmware file not found. (Code 10)|ファームウェアファイルが見つかりません。(Code 10)|--aspi --no-main-file||
12|Firmware file reading failure. (Code 12)|ファームウェアの読み込みに失敗しました。(Code 12)|--aspi --main-file-size 360479||
8|INI file value error. (Code 8)|INIファイルの値が異常です。(Code 8)|--aspi --inquiry "KESTRAN CD-R   TQ-517T  "||
no_drive|No applicable drive found.||--aspi|adapter;drive target=2 product="CD-ROM TQ-100   ";device target=4 type=1|
aspi_missing|ASPI32 not found.||--aspi|||WINEDLLOVERRIDES=mscoree,mshtml='

# startup_boxes EN|JA: the rows that have a text in that language.
startup_boxes() {
  local key en ja pkg cfg exe env lines
  local -n text=${1,,}
  e2e_setup nt
  # A deletion pending for the next start shows whether any row restarted.
  echo marker >"$PFX/drive_c/marker.txt"
  auto delete-at-reboot 'C:\marker.txt' >/dev/null
  # shellcheck disable=SC2034  # en and ja: read through text
  while IFS='|' read -r key en ja pkg cfg exe env; do
    [[ -n $text ]] || continue
    key+=${exe:+ ($exe)}
    [[ -n $exe ]] && cp "$PKG/ksfupd.exe" "$PKG/$exe"
    rm -f "$PKG"/*.ini "$PKG"/*.BIN "$PKG/sim.cfg" "$PKG/trace.txt"
    [[ -n $pkg ]] && eval "make_package $pkg"
    IFS=';' read -ra lines <<<"$cfg"
    ((${#lines[@]})) && sim_config "${lines[@]}"
    [[ -n $env ]] && rm -f "$PKG/WNASPI32.DLL"
    e2e_start "${exe:-ksfupd.exe}" ${env:+"$env"}
    check_box 30000 "$key: caption|text|buttons|owner" "caption|text|buttons|owner" "$CAPTION_ERROR|$text|1|0x0"
    [[ $1 == JA ]] && check_glyphs "$key: Japanese glyphs painted"
    check_eq "$key: nothing else shown" "$(windows | wc -l)" "1"
    [[ $key == no_drive ]] && check_match "the drive was asked for its identification" "$(cat "$PKG/trace.txt" 2>/dev/null)" "*12 00 00 00 24 00*"
    answer_box 1
    check "$key: program ends after OK" e2e_exited 15
  done <<<"$STARTUP_BOXES"
  check "no start-up box restarted the system" test -f "$PFX/drive_c/marker.txt"
}
sc_startup_boxes_en() { startup_boxes EN; }
# The whole session in Japanese, ksfauto too: a process started with another
# code page makes Wine rewrite the prefix's font links (see e2e_make_template).
sc_startup_boxes_ja() {
  export "${JA_ENV[@]}"
  startup_boxes JA
}

# A base name beginning with the three capitals REB makes the restart helper
# (other names: STARTUP_BOXES): it shows nothing, waits 8 s and restarts
# Windows, which Wine answers by restarting the prefix and carrying out the
# pending file operations.
sc_reb_helper_name() {
  e2e_setup nt
  local marker="$PFX/drive_c/marker.txt" t0 waited
  echo marker >"$marker"
  check "delete-at-reboot scheduled" auto delete-at-reboot 'C:\marker.txt'
  cp "$PKG/ksfupd.exe" "$PKG/REBOOT.EXE"
  t0=$SECONDS
  e2e_start REBOOT.EXE
  while ((SECONDS - t0 < 4)); do sleep 0.2; done
  check "REBOOT.EXE shows no window" test "$(windows | wc -l)" = 0
  check "REBOOT.EXE has not restarted 4 s after its start" test -f "$marker"
  while [[ -f $marker ]] && ((SECONDS - t0 < 40)); do sleep 0.5; done
  waited=$((SECONDS - t0))
  check "REBOOT.EXE restarted the prefix (pending deletion carried out)" test ! -f "$marker"
  check "restart came after the 8 s wait (${waited} s)" test "$waited" -ge 8
  check "REBOOT.EXE ends" e2e_exited 30
}
