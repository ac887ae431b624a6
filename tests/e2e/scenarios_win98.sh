# End-to-end scenarios on the 95/98/Me family: the restart helper and
# WININIT.INI, created and amended.
# shellcheck disable=SC2154,SC2059

# ------------------------------------------------------------ Windows 98 ----

# win98_wininit BEFORE AFTER: C:\windows\WININIT.INI holds BEFORE (none when
# empty; both printf formats), then drive 0 is updated and the restart
# question answered Yes; AFTER is the file as the program leaves it.  A 9x
# system has no delete-at-reboot call: the helper's copy goes into
# WININIT.INI, which Windows (and Wine's restart) reads at the next start.
win98_wininit() {
  local ini=$PFX/drive_c/windows/WININIT.INI
  [[ -n $1 ]] && printf "$1" >"$ini"
  check_update 0 EN 176 450
  check_eq "box text" "$(msgbox 5000 | kv text)" "${EN[done_ask]}"
  answer_restart "the program"
  ini=$(find "$PFX/drive_c/windows" -maxdepth 1 -iname 'wininit.ini' | head -n 1)
  check_eq "WININIT.INI in C:\\windows: the entry below [RENAME], every other line kept" \
    "$(od -An -c "${ini:-/dev/null}" | tr -s ' \n' ' ')" "$(printf "$2" | od -An -c | tr -s ' \n' ' ')"
  check "no NT-style pending deletion" test -z "$(pending_renames | grep -i 'REB_0000')"
  wait_copy_gone
  check "restart carried out the WININIT.INI deletion ($((SECONDS - T0)) s)" test ! -f "${COPY:-/}"
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
}

sc_win98_wininit_created() {
  setup_one_drive win98 --caution cdrom
  e2e_start
  # 9x always uses ASPI: the welcome dialog says so; the CD-ROM class in the notice.
  check_welcome "1011|${EN[aspi_line]}|||
1010|${WELCOME_NOTICE_EN//CD-R /CD-ROM }|||"
  on "$WELCOME" 5000 click 1 >/dev/null
  on "$MAIN" 40000 >/dev/null
  win98_wininit '' '[RENAME]\r\nNUL=C:\\users\\root\\Temp\\REB_0000.EXE\r\n'
}

sc_win98_wininit_amended() {
  setup_one_drive win98
  start_main
  win98_wininit '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n' \
    '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\users\\root\\Temp\\REB_0000.EXE\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n'
}
