# End-to-end scenarios on the 95/98/Me family: the restart helper and
# WININIT.INI, created and amended.
# shellcheck disable=SC2154

# ------------------------------------------------------------ Windows 98 ----

# win98_update_and_restart: on the 9x prefix, update drive 0 and answer Yes;
# leaves the restart helper copy's path in COPY and the time of the Yes in T0.
win98_update_and_restart() {
  check_update 0 EN 176 450
  check_eq "box text" "$(msgbox 5000 | kv text)" "${EN[done_ask]}"
  answer_restart "the program"
}

# wininit_ini: C:\windows\WININIT.INI as the program left it (any case).
wininit_ini() { find "$PFX/drive_c/windows" -maxdepth 1 -iname 'wininit.ini' | head -n 1; }

# A 9x system has no delete-at-reboot call: the copy goes into WININIT.INI,
# which Windows (and Wine's restart) reads at the next start.
win98_after_restart() {
  check "no NT-style pending deletion" test -z "$(pending_renames | grep -i 'REB_0000')"
  wait_copy_gone
  check "restart carried out the WININIT.INI deletion ($((SECONDS - T0)) s)" test ! -f "${COPY:-/}"
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
}

sc_win98_wininit_created() {
  setup_one_drive win98 --caution cdrom
  e2e_start
  local out
  out=$(on "$WELCOME" 30000 text 1011 text 1010)
  check_eq "9x always uses ASPI: welcome says so" "$(kv text <<<"$out")" "${EN[aspi_line]}"
  check_match "CD-ROM class in the notice" "$(sed -n 's/^text=//p' <<<"$out" | tail -n 1)" "*eject the disc from the CD-ROM drive you would like to update."
  on "$WELCOME" 5000 click 1 >/dev/null
  on "$MAIN" 40000 >/dev/null
  check "no WININIT.INI before" test -z "$(wininit_ini)"
  win98_update_and_restart
  local ini
  ini=$(wininit_ini)
  check "WININIT.INI created in C:\\windows" test -n "$ini"
  check_eq "WININIT.INI holds the section and the entry" "$(cat "${ini:-/dev/null}" 2>/dev/null | od -An -c | tr -s ' \n' ' ')" \
    "$(printf '[RENAME]\r\nNUL=C:\\users\\root\\Temp\\REB_0000.EXE\r\n' | od -An -c | tr -s ' \n' ' ')"
  win98_after_restart
}

sc_win98_wininit_amended() {
  setup_one_drive win98
  printf '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n' >"$PFX/drive_c/windows/WININIT.INI"
  start_main
  win98_update_and_restart
  check_eq "entry added below [RENAME], every other line kept" \
    "$(od -An -c "$PFX/drive_c/windows/WININIT.INI" 2>/dev/null | tr -s ' \n' ' ')" \
    "$(printf '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\users\\root\\Temp\\REB_0000.EXE\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n' | od -An -c | tr -s ' \n' ' ')"
  win98_after_restart
}
