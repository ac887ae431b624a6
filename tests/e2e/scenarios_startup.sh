# End-to-end scenarios of start-up: package errors in both languages, no drive,
# Wine's own ASPI layer, and the restart helper's name rule.
# shellcheck disable=SC2154

# ------------------------------------------------------- package errors ----

# package_errors TEXTS [ENV=VALUE...]: each broken package's error box in the
# language of TEXTS (EN or JA; ENV selects it).
package_errors() {
  local lang=$1
  local -n texts=$1
  shift
  local code
  e2e_setup nt
  for code in 1 10 12 8; do
    rm -f "$PKG"/*.ini "$PKG"/*.BIN
    case $code in
      1) ;;  # no description file at all
      10) make_package --aspi --no-main-file ;;
      12) make_package --aspi --main-file-size $((360480 - 1)) ;;
      8) make_package --aspi --inquiry "KESTRAN CD-R   TQ-517T  " ;;
    esac
    e2e_start ksfupd.exe "$@"
    check_box 30000 "code $code: caption" caption "$CAPTION_ERROR" \
      "code $code: text" text "${texts[$code]}" \
      "code $code: OK button only" buttons 1 \
      "code $code: no owner window" owner 0x0
    [[ $lang == JA ]] && check_glyphs "code $code: Japanese glyphs painted"
    check_eq "code $code: nothing else shown" "$(windows | wc -l)" "1"
    answer_box 1
    check "code $code: program ends after OK" e2e_exited 15
  done
}
sc_package_errors_en() { package_errors EN; }
# The whole session in Japanese, ksfauto too: a process started with another
# code page makes Wine rewrite the prefix's font links (see e2e_make_template).
sc_package_errors_ja() {
  export "${JA_ENV[@]}"
  package_errors JA
}

# ------------------------------------------------------------- start-up ----

# A drive on no list and Wine's own ASPI layer: start-up's two ASPI/drive boxes.
sc_no_drive() {
  e2e_setup nt
  make_package --aspi
  sim_config adapter 'drive target=2 product="CD-ROM TQ-100   "' 'device target=4 type=1'
  e2e_start
  check_box 30000 caption caption "$CAPTION_ERROR" \
    text text "${EN[no_drive]}"
  check_eq "no main dialog" "$(windows | wc -l)" "1"
  answer_box 1
  check "program ends after OK" e2e_exited 15
  check_match "the drive was asked for its identification" "$(cat "$PKG/trace.txt" 2>/dev/null)" "*12 00 00 00 24 00*"
}

sc_wine_aspi() {
  e2e_setup nt
  rm -f "$PKG/WNASPI32.DLL"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  make_package --aspi
  e2e_start
  check_box 30000 caption caption "$CAPTION_ERROR" \
    text text "${EN[aspi_missing]}"
  answer_box 1
  check "program ends after OK" e2e_exited 15
}

# Only a base name beginning with the three capitals REB makes the restart
# helper: it shows nothing, waits 8 s and restarts Windows, which Wine answers
# by restarting the prefix and carrying out the pending file operations.
sc_reb_helper_name() {
  e2e_setup nt
  local exe marker="$PFX/drive_c/marker.txt" t0 waited
  echo marker >"$marker"
  check "delete-at-reboot scheduled" auto delete-at-reboot 'C:\marker.txt'
  for exe in reboot.exe Reb_1.exe; do
    cp "$PKG/ksfupd.exe" "$PKG/$exe"
    e2e_start "$exe"
    check_eq "$exe starts normally (no package: code 1)" "$(msgbox 30000 | kv text)" "${EN[1]}"
    answer_box 1
    check "$exe ends" e2e_exited 15
    check "$exe restarted nothing" test -f "$marker"
    rm -f "$PKG/$exe"
  done
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
