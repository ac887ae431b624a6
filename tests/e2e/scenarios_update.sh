# End-to-end scenarios of updates: with and without a boot image, in both
# languages, a refused block, the pre-update checks; and the helpers that
# follow an update from the outside.
# shellcheck disable=SC2154

# ------------------------------------------------------------- updates -----

# follow_update MAXSEC: samples the main dialog while an update runs, until a
# message box shows.  Leaves one "status|range|pos|UPDATE EXIT" line per
# sample in UPD (the last one taken with the box up) and the box's hwnd in
# UPD_BOX.
follow_update() {
  local deadline=$((SECONDS + $1)) out
  UPD=()
  UPD_BOX=
  while ((SECONDS < deadline)); do
    out=$(on "$MAIN" 5000 text 1032 progress 104 enabled 1 enabled 2 windows)
    UPD+=("$(kv text <<<"$out")|$(kv range <<<"$out")|$(kv pos <<<"$out")|$(sed -n 's/^enabled=//p' <<<"$out" | tr '\n' ' ')")
    if (($(grep -c '^window .*class=#32770' <<<"$out") > 1)); then
      UPD_BOX=1
      return 0
    fi
    sleep 0.3
  done
  return 1
}

# check_update INDEX TEXTS TOTAL WAITRANGE: UPDATE on that drive, followed
# until the completion box shows; what the samples must show: the status
# texts in order, the transfer range 0..TOTAL with a position that only grows,
# the waiting range 0..WAITRANGE stopping short of full, the full bar at the
# end, and UPDATE and EXIT disabled throughout.
check_update() {
  update_drive "$1"
  follow_update 150
  check "completion box shows" test -n "$UPD_BOX"
  shift
  local -n t=$1
  local total=$2 waitr=$3 i status range pos buttons seq=() last= bad= lastpos=-1
  for i in "${!UPD[@]}"; do
    IFS='|' read -r status range pos buttons <<<"${UPD[i]}"
    [[ $status == "${t[select]}" && ${#seq[@]} == 0 ]] && continue  # before the handler ran
    [[ $status != "$last" ]] && seq+=("$status") && last=$status && lastpos=-1
    if [[ $status == "${t[transfer]}" ]]; then
      [[ $range == "0,$total" ]] || bad+="transfer range $range; "
      ((pos >= lastpos && pos <= total)) || bad+="transfer pos $pos after $lastpos; "
    elif [[ $status == "${t[running]}" && $range == "0,$total" && $pos == "$total" ]]; then
      :  # the status line changes a moment before the bar gets its new range
    elif [[ $status == "${t[running]}" && "$range $pos" == "0,$waitr $waitr" && ${UPD[i + 1]:-} == "${t[done_status]}|"* ]]; then
      :  # the bar is full a moment before the completion text (sampled in between)
    elif [[ $status == "${t[running]}" ]]; then
      [[ $range == "0,$waitr" ]] || bad+="waiting range $range; "
      ((pos >= lastpos && pos <= waitr - 3)) || bad+="waiting pos $pos after $lastpos; "
    fi
    lastpos=$pos
    [[ $status == "${t[done_status]}" || $buttons == "0 0 " ]] || bad+="buttons '$buttons' during '$status'; "
  done
  check_eq "status texts in order" "$(IFS=/ && echo "${seq[*]}")" "${t[transfer]}/${t[running]}/${t[done_status]}"
  check_eq "bar ranges and positions" "${bad:-ok}" "ok"
  IFS='|' read -r status range pos buttons <<<"${UPD[-1]}"
  check_eq "bar full at the end" "$range $pos" "0,$waitr $waitr"
}

# update_drive INDEX: select the drive and press UPDATE.
update_drive() { on "$MAIN" 5000 select 103 "$1" sleep 300 click 1 >/dev/null; }

# idle_state [COMMAND...]: after the ksfauto COMMANDs on the main dialog, its
# status line, bar position, UPDATE and EXIT states.
idle_state() {
  local out
  out=$(on "$MAIN" 5000 "$@" text 1032 progress 104 enabled 1 enabled 2)
  echo "$(kv text <<<"$out")|$(kv pos <<<"$out")|$(sed -n 's/^enabled=//p' <<<"$out" | tr '\n' ' ')"
}

# flash_holds DUMP [--boot]: the emulated drive's flash holds the package's images.
flash_holds() { python3 "$KSF_ROOT/tools/make_package.py" "$PKG" --check-flash "$@" >/dev/null; }

sc_update_boot_en() {
  e2e_setup nt
  make_package --aspi --boot
  sim_config adapter 'drive target=1' 'drive target=2 revision=1.02'
  start_main
  check_update 1 EN 184 450
  check_box 5000 "box caption|text|buttons Yes/No|system-modal|owned by the dialog" "caption|text|buttons|topmost|owner" \
    "$CAPTION_INFO|${EN[done_ask]}|6,7|1|$MAIN_HWND"
  shot completion
  answer_box 7
  check_eq "after No: idle, UPDATE disabled for the updated drive only (updated/other/updated again)" \
    "$(idle_state)/$(idle_state select 103 0 sleep 300)/$(idle_state select 103 1 sleep 300)" \
    "${EN[select]}|0|0 1 /${EN[select]}|0|1 1 /${EN[select]}|0|0 1 "
  check "flash of drive (0,2) holds boot and main images" flash_holds "$PKG/flash.bin.1" --boot
  check "drive (0,1) untouched" test ! -f "$PKG/flash.bin" -o "$(grep -c ' 0:1 EA ' "$PKG/trace.txt")" = 0
  check_eq "15 block writes, all accepted" "$(grep ' 0:2 EA ' "$PKG/trace.txt" | grep -c -- '-> 00$')" "15"
  exit_program
  check_eq "EXIT after an update makes no restart helper" "$(ls "$PFX/drive_c/users/root/Temp" 2>/dev/null | grep -ci '^reb_')" "0"
}

# answer_restart WHAT: Yes on the completion box ends WHAT; leaves the restart
# helper's copy in the temporary folder (if any) in COPY and the time of the
# Yes in T0.
answer_restart() {
  answer_box 6
  T0=$SECONDS
  check "Yes ends $1" e2e_exited 15
  COPY=$(find "$PFX/drive_c/users" "$PFX/drive_c/windows/temp" -maxdepth 4 -iname 'REB_*.EXE' 2>/dev/null | head -n 1)
  check_eq "helper copy made" "$(basename "${COPY:-none}")" "REB_0000.EXE"
}

# wait_copy_gone: until the restart has deleted COPY, at most 40 s after the Yes.
wait_copy_gone() { while [[ -n $COPY && -f $COPY ]] && ((SECONDS - T0 < 40)); do sleep 0.5; done; }

# pending_renames: the NT restart's pending file operations.
pending_renames() {
  "$KSF_WINE" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r'
}

sc_update_noboot_ja_restart() {
  export "${JA_ENV[@]}"  # the whole session, as in sc_startup_boxes_ja
  setup_one_drive nt --aspi --wait 10
  # A temporary folder whose name the ANSI code page cannot hold (code page
  # 932 has no "é"): the helper's copy is made, scheduled and started through
  # the wide-character calls all the same.
  mkdir -p "$PFX/drive_c/users/root/Temp/é"
  local v
  for v in TEMP TMP; do
    LC_ALL=C.UTF-8 "$KSF_WINE" reg add 'HKCU\Environment' /v $v /d 'C:\users\root\Temp\é' /f >/dev/null 2>&1
  done
  e2e_link_fonts >/dev/null 2>&1  # that reg ran in another code page
  # A second drive refuses its first block: the Japanese failure box first.
  sim_config adapter 'drive target=1' 'drive target=2' 'refuse write=0 sense=09/85/00'
  start_main ksfupd.exe "${JA_ENV[@]}"
  check_eq "Japanese idle status" "$(on "$MAIN" 5000 text 1032 | kv text)" "${JA[select]}"
  update_drive 1
  check_box 90000 "Japanese failure box text (device text stays English)" text "${JA[failed]}Flash rom write error. (Code 09-85-00)"
  answer_box 1
  check_update 0 JA 176 100
  check_box 5000 "box caption (not localised)|text" "caption|text" "$CAPTION_INFO|${JA[done_ask]}"
  check_glyphs "box text painted in Japanese glyphs"
  shot completion
  answer_restart "the dialog and the program"
  check_eq "copy made in C:\\users\\root\\Temp\\é" "$(dirname "${COPY:-x}")" "$PFX/drive_c/users/root/Temp/é"
  check "copy is the program" cmp -s "${COPY:-/nonexistent}" "$PKG/ksfupd.exe"
  check_match "copy scheduled for deletion at restart" "$(pending_renames)" "*REB_0000.EXE*"
  wait_copy_gone
  check "the helper restarted the prefix and the copy is gone ($((SECONDS - T0)) s)" test ! -f "${COPY:-/}"
  check "not before the 8 s wait" test $((SECONDS - T0)) -ge 7
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
}

# One drive per row, updated in turn in one run of the program: a refused
# block or a refused command that changes the drive (download mode on for
# each image, either commit, download mode off after the programming wait)
# gives the failure box with the device's reason, nothing is sent after it and
# the drive stays updatable.  The last drive answers a unit attention after
# the eject and on the boot image's block 3: each command goes once more and
# the update completes, although with BUFFERSIZE=1024 the progress count never
# reaches its total.
REFUSALS='1|refuse write=6 sense=09/85/00|Flash rom write error. (Code 09-85-00)|EA *-> 02 09/85/00
2|refuse cdb="F6 02" sense=05/24/00|Target_Status: Check Condition|F6 02 *-> 02 05/24/00
3|refuse cdb="F6 02" nth=1 sense=05/24/00|Target_Status: Check Condition|F6 02 *-> 02 05/24/00
4|refuse cdb="F5 00 00 00 00 00 00 0F" sense=04/40/F6|Firmware Transfer data error. (Code 04-40-f6)|F5 00 00 00 00 00 00 0F *-> 02 04/40/F6
5|refuse cdb="F5 00 00 00 00 00 00 00 3F" sense=04/40/F5|Firmware data error. (Code 04-40-f5)|F5 00 00 00 00 00 00 00 3F *-> 02 04/40/F5
6|refuse cdb="F6 00" sense=04/40/F6|Firmware Transfer data error. (Code 04-40-f6)|F6 00 *-> 02 04/40/F6'
sc_refused_block() {
  e2e_setup nt
  make_package --aspi --boot --buffer 1024 --no-restart
  local t cfg text last lines=(adapter)
  while IFS='|' read -r t cfg text last; do lines+=("drive target=$t" "$cfg"); done <<<"$REFUSALS"
  lines+=('drive target=7 tray=loaded' 'attention eject=yes' 'refuse cdb="EA 00 00 00 30 00" sense=06/29/00')
  sim_config "${lines[@]}"
  start_main
  while IFS='|' read -r t cfg text last; do
    failed_update $((t - 1)) "drive $t" "$text"
    check_match "drive $t: nothing sent after the refused command" "$(grep " 0:$t " "$PKG/trace.txt" | tail -n 1)" "* 0:$t $last"
  done <<<"$REFUSALS"
  check_eq "drive 3: refused at the main image's download mode" "$(grep -c ' 0:3 F6 02 ' "$PKG/trace.txt")" 2
  update_drive 6
  follow_update 100
  check_box 5000 "drive 7: completion box" "caption|text" "$CAPTION_INFO|${EN[done_ok]}"
  answer_box 1
  check "drive 7: flash holds boot and main images" flash_holds "$PKG/flash.bin.6" --boot
  check_eq "drive 7: each unit attention answered by one resend" \
    "$(grep -E ' 0:7 (F6 02|EA 00 00 00 30 00) ' "$PKG/trace.txt" | sed 's/.*-> //' | paste -sd,)" \
    "02 06/28/00,00,02 06/29/00,00,00"
  check_eq "drive 7: 16 block writes, the rest GOOD" "$(grep ' 0:7 EA ' "$PKG/trace.txt" | grep -c -- '-> 00$')" 15
  exit_program
}

# failed_update INDEX NAME TEXT: UPDATE on that drive ends in the failure box
# with the device's TEXT (OK only, application-modal, owned by the dialog);
# then the dialog is idle with UPDATE enabled again.
failed_update() {
  update_drive "$1"
  follow_update 100
  check_box 5000 "$2: failure box caption|text|buttons|topmost|owner" "caption|text|buttons|topmost|owner" \
    "$CAPTION_ERROR|${EN[failed]}$3|1|0|$MAIN_HWND"
  shot "failure-$2"
  answer_box 1
  check_eq "$2: after the failure: idle, UPDATE enabled again" "$(idle_state)" "${EN[select]}|0|1 1 "
}

# The drives of the checks before anything is written: board version, model,
# newer firmware, a failing memory read.
PRECHECK_DRIVES=('drive target=1 board=4' 'drive target=2 product="CD-R   TQ-518T  "'
  'drive target=3 revision=1.20 async_ms=300' 'drive target=4' 'fail opcode=0xF5')

# check_prechecks: UPDATE on each of the PRECHECK_DRIVES (list entries 0-3)
# shows its check's box and leaves the dialog idle; nothing is written.  The
# newer-firmware drive (slow to answer) gets Enter twice from the keyboard
# (the X server): the second one, typed while the drive is checked, must not
# answer the box's "Yes".
check_prechecks() {
  local i
  local -a want=(
    "$CAPTION_INFO|This firmware upgrade does not apply to your drive. Please \\nvisit Kestran Web Site to check availability of latest firmware \\nfor the drive you have.|1|0"
    "$CAPTION_INFO|The drive isn't applicable to this firmware.|1|1"
    "$CAPTION_INFO|Drive has later version of firmware than this program. Please \\nvisit Kestran Web Site to check availability of latest firmware \\nfor the drive you have.\\n\\nDo you continue it ?|6,7|0"
    "$CAPTION_ERROR|Drive version check failure.|1|0"
  )
  for i in 0 1 2 3; do
    if ((i == 2)); then  # Enter twice from the keyboard instead of a click
      on "$MAIN" 5000 select 103 2 sleep 300 >/dev/null && xdotool key Return Return
    else
      update_drive "$i"
    fi
    check_box 20000 "drive $i: box" "caption|text|buttons|topmost" "${want[$i]}"
    [[ $i == 2 ]] && shot newer-firmware
    answer_box "$([[ $i == 2 ]] && echo 7 || echo 1)"
    check_eq "drive $i: back to idle, UPDATE enabled" "$(idle_state)" "${EN[select]}|0|1 1 "
  done
  check_eq "nothing written to any drive" "$(grep -cE ' (EA|F6) ' "$PKG/trace.txt")" "0"
}

sc_prechecks() {
  e2e_setup nt
  make_package --aspi --pcb 3 --inquiry "KESTRAN CD-R   TQ-51;"
  # List entry 4: a drive behind an adapter that moves at most 16 KiB.
  sim_config adapter "${PRECHECK_DRIVES[@]}" 'adapter max_transfer=0x4000' 'drive target=1'
  start_main
  check_prechecks
  local before
  before=$(grep -c ' 1:1 ' "$PKG/trace.txt")
  update_drive 4
  check_box 20000 "16 KiB adapter: box" "caption|text|buttons" "$CAPTION_ERROR|The adapter the drive is connected to cannot transfer 32 KB blocks. \\nThe firmware can not be updated through this adapter.|1"
  answer_box 1
  check_eq "16 KiB adapter: nothing sent to its drive" "$(grep -c ' 1:1 ' "$PKG/trace.txt")" "$before"
  exit_program
}
