# The end-to-end scenarios: one function sc_NAME each, run by scenario.sh in
# its own prefix and X server.  E2E_SCENARIOS lists them, longest first, so a
# parallel run starts the minute-long updates early.
# shellcheck disable=SC2154

E2E_SCENARIOS=(
  update_boot_en update_noboot_ja_restart update_noboot_norestart win98_wininit_created
  win98_wininit_amended refused_block prechecks drive_list welcome_en welcome_ja
  reb_helper_name package_errors_en package_errors_ja aspi_probe wine_aspi no_drive
)

JA_ENV=(LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8)

# Catalogue texts the scenarios compare (UTF-8 here; the program shows the
# Shift-JIS forms, which ksfauto reads back as UTF-8).
declare -A EN=(
  [1]="INI file not found. (Code 1)"
  [10]="Firmware file not found. (Code 10)"
  [12]="Firmware file reading failure. (Code 12)"
  [8]="INI file value error. (Code 8)"
  [aspi_missing]="ASPI32 not found."
  [no_drive]="No applicable drive found."
  [select]=" Please Select Drive and Click UPDATE Button."
  [transfer]=" Wait... (Transferring data)"
  [running]=" Wait... (Running Firmware upgrade procedure)"
  [done_status]=" Firmware update is completed."
  [failed]="Firmware update is failed.\\n\\n"
  [done_ok]="Firmware update is completed."
  [done_ask]="Firmware update is completed.\\n\\nDo you want to restart your computer now?"
  [check_fail]="Drive version check failure."
  [board]="This firmware upgrade does not apply to your drive. Please \\nvisit Kestran Web Site to check availability of latest firmware \\nfor the drive you have."
  [model]="The drive isn't applicable to this firmware."
  [newer]="Drive has later version of firmware than this program. Please \\nvisit Kestran Web Site to check availability of latest firmware \\nfor the drive you have.\\n\\nDo you continue it ?"
  [aspi_line]="WNASPI32.DLL is necessary for this program."
)
declare -A JA=(
  [1]="INIファイルが見つかりません。(Code 1)"
  [10]="ファームウェアファイルが見つかりません。(Code 10)"
  [12]="ファームウェアの読み込みに失敗しました。(Code 12)"
  [8]="INIファイルの値が異常です。(Code 8)"
  [select]=" ドライブを選択し、UPDATEボタンを押して下さい。"
  [transfer]=" しばらくお待ち下さい...(ファームウェアデータ転送中)"
  [running]=" しばらくお待ち下さい...(ファームウェア更新中)"
  [done_status]=" ファームウェア更新は完了しました。"
  [failed]="ファームウェア更新に失敗しました。\\n\\n"
  [done_ok]="ファームウェア更新に成功しました。"
  [done_ask]="ファームウェア更新は成功しました。\\n\\n再起動しますか？"
  [aspi_line]="本プログラムの実行にはWNASPI32.DLLが必要です。"
)
CAPTION_ERROR="Error - Upgrade Program"
CAPTION_INFO="Information - Upgrade Program"

# shellcheck source=scenarios_passthrough.sh
source "$(dirname "${BASH_SOURCE[0]}")/scenarios_passthrough.sh"

# ------------------------------------------------------- package errors ----

package_errors() {
  local lang=$1 code out expected env=()
  if [[ $lang == ja ]]; then
    env=("${JA_ENV[@]}")
    local -n texts=JA
  else
    local -n texts=EN
  fi
  e2e_setup nt
  for code in 1 10 12 8; do
    rm -f "$PKG"/*.ini "$PKG"/*.BIN
    case $code in
      1) ;;  # no description file at all
      10) make_package --aspi --no-main-file ;;
      12) make_package --aspi --main-file-size $((360480 - 1)) ;;
      8) make_package --aspi --inquiry "KESTRAN CD-R   TQ-517T  " ;;
    esac
    expected=${texts[$code]}
    e2e_start ksfupd.exe "${env[@]}"
    out=$(msgbox 30000)
    check_eq "code $code: caption" "$(kv caption <<<"$out")" "$CAPTION_ERROR"
    check_eq "code $code: text" "$(kv text <<<"$out")" "$expected"
    check_eq "code $code: OK button only" "$(kv buttons <<<"$out" | sed 's/:[^,]*//g')" "1"
    check_eq "code $code: no owner window" "$(kv owner <<<"$out")" "0x0"
    check_eq "code $code: nothing else shown" "$(windows | wc -l)" "1"
    answer_box 1
    check "code $code: program ends after OK" e2e_exited 15
  done
}
sc_package_errors_en() { package_errors en; }
sc_package_errors_ja() { package_errors ja; }

# ------------------------------------------------------------- start-up ----

# A drive on no list and Wine's own ASPI layer: start-up's two ASPI/drive boxes.
sc_no_drive() {
  e2e_setup nt
  make_package --aspi
  sim_config adapter 'drive target=2 product="CD-ROM TQ-100   "' 'device target=4 type=1'
  e2e_start
  local out
  out=$(msgbox 30000)
  check_eq "caption" "$(kv caption <<<"$out")" "$CAPTION_ERROR"
  check_eq "text" "$(kv text <<<"$out")" "${EN[no_drive]}"
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
  local out
  out=$(msgbox 30000)
  check_eq "caption" "$(kv caption <<<"$out")" "$CAPTION_ERROR"
  check_eq "text" "$(kv text <<<"$out")" "${EN[aspi_missing]}"
  answer_box 1
  check "program ends after OK" e2e_exited 15
}

# Only a base name beginning with the three capitals REB makes the restart
# helper: it shows nothing, waits 8 s and restarts Windows, which Wine answers
# by restarting the prefix and carrying out the pending file operations.
sc_reb_helper_name() {
  e2e_setup nt
  local exe marker="$PFX/drive_c/marker.txt" out t0
  echo marker >"$marker"
  check "delete-at-reboot scheduled" auto delete-at-reboot 'C:\marker.txt'
  for exe in reboot.exe Reb_1.exe; do
    cp "$PKG/ksfupd.exe" "$PKG/$exe"
    e2e_start "$exe"
    out=$(msgbox 30000)
    check_eq "$exe starts normally (no package: code 1)" "$(kv text <<<"$out")" "${EN[1]}"
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
  local waited=0
  while [[ -f $marker ]] && ((SECONDS - t0 < 40)); do sleep 0.5; done
  waited=$((SECONDS - t0))
  check "REBOOT.EXE restarted the prefix (pending deletion carried out)" test ! -f "$marker"
  check "restart came after the 8 s wait (${waited} s)" test "$waited" -ge 8
  check "REBOOT.EXE ends" e2e_exited 30
}

# ------------------------------------------------------------- welcome -----

WELCOME_NOTICE_EN='KESTRAN CD-R Drive firmware update program\r\n\r\nThis program can update the firmware of KESTRAN CD-R Drive TQ-517T\r\n\r\nKESTRAN DOES NOT AND CANNOT WARRANT THE PERFORMANCE OR RESULTS YOU MAY OBTAIN BY USING THIS SOFTWARE.\r\nIN NO EVENT WILL KESTRAN BE LIABLE FOR ANY SPECIAL DAMAGES, INCLUDING ANY LOST PROFITS, OR OTHER INCIDENTALS OR CONSEQUENTIAL DAMAGES, EVEN IF KESTRAN HAS BEEN ADVISED OF THE POSSIBILITY OF SUCH DAMAGES, OR FOR ANY CLAIM BY ANY OTHER PARTY.\r\n\r\nCAUTION!\r\nPlease close other applications that are running.\r\nAnd eject the disc from the CD-R drive you would like to update.'
WELCOME_NOTICE_JA='KESTRAN CD-Rドライブ　ファームウェア更新プログラム\r\n\r\n本プログラムはKESTRAN CD-R TQ-517T のファームウェアを更新します。\r\n\r\nケストランは、本ソフトウェアを使用することによって得られる動作や結果の影響について、一切の責任及び業務から逃れるものとします。\r\n本ソフトウェアを使用することによって生じた利益の損失、重大なダメージ、金銭的損害など、いかなる損害に対し、たとえケストランが、そのようなダメージの可能性について認知していたとしても、あるいは第三者から指摘されていたとしても、一切責任を負わないものとします。\r\n\r\n警告！\r\nアップグレードを行う前に、起動中の他のアプリケーションを全て終了し、CD-Rドライブからディスクを取り出して下さい。'

# font_is NAME ID FACE TENTHS: the control's font face and size (±0.5 pt:
# the size is read back from the pixel height).
font_is() {
  local out face p
  out=$(on "$WELCOME" 5000 font "$2")
  face=$(kv face <<<"$out")
  p=$(kv points10 <<<"$out")
  if [[ $face == "$3" && -n $p ]] && ((p >= $4 - 5 && p <= $4 + 5)); then
    pass "$1 font"
  else
    fail "$1 font" "expected '$3' $4, got '$face' ${p:-?} ($(tr '\n' ' ' <<<"$out"))"
  fi
}

sc_welcome_en() {
  e2e_setup nt
  make_package --aspi --caution cdr
  sim_config adapter 'drive target=1'
  e2e_start
  local out
  out=$(on "$WELCOME" 30000 title text 1008 text 1009 text 1011 text 1012 text 1010 text 1013 visible 1014)
  mapfile -t v < <(sed -n 's/^[a-z]*=//p' <<<"$out" | tail -n +2)
  check_eq "caption" "$(kv title <<<"$out")" "TQ-517T Firmware 1.10 - Welcome"
  check_eq "model label" "${v[0]}" "CD-R   TQ-517T  Firmware"
  check_eq "version label" "${v[1]}" "Version 1.10"
  check_eq "ASPI information line" "${v[2]}" "${EN[aspi_line]}"
  check_eq "notice frame" "${v[3]}" "Notice"
  check_eq "notice text" "${v[4]}" "$WELCOME_NOTICE_EN"
  check_eq "rights notice" "${v[5]}" "(C) Kestran Corporation. All rights reserved."
  check_eq "logo shown for KESTRAN" "${v[6]}" "1"
  font_is "model label" 1008 "Times New Roman Bold" 190
  font_is "version label" 1009 "Times New Roman" 150
  font_is "rights notice" 1013 "Arial" 85
  font_is "notice text (dialog font)" 1010 "Tahoma" 90
  local id want
  for id in 1008:0,0,255 1009:0,0,0 1011:0,0,0 1012:0,0,0 1010:0,0,0 1013:128,128,128; do
    want=${id#*:}
    out=$(on "$WELCOME" 5000 colors "${id%%:*}")
    check_eq "label ${id%%:*} colours" "$(kv fore <<<"$out")/$(kv back <<<"$out")/$(kv brush <<<"$out")" \
      "$want/255,255,255/255,255,255"
  done
  check_eq "white panel" "$(on "$WELCOME" 5000 colors 1007 | kv brush)" "255,255,255"
  check_eq "OK and Cancel enabled" "$(on "$WELCOME" 5000 enabled 1 enabled 2 | grep -c '^enabled=1')" "2"
  shot welcome
  on "$WELCOME" 5000 click 2 gone 5000 >/dev/null
  check "Cancel ends the program" e2e_exited 15
  check_eq "Cancel shows nothing more" "$(windows | wc -l)" "0"
  check_eq "no drive was touched" "$(cat "$PKG/trace.txt" 2>/dev/null | grep -c 'CDB\|^[0-9]* [0-9A-F][0-9A-F] ')" "0"
}

sc_welcome_ja() {
  e2e_setup nt
  make_package --aspi --caution cdr
  sim_config adapter 'drive target=1'
  e2e_start ksfupd.exe "${JA_ENV[@]}"
  local out
  out=$(on "$WELCOME" 30000 title text 1008 text 1011 text 1010)
  mapfile -t v < <(sed -n 's/^[a-z]*=//p' <<<"$out" | tail -n +2)
  check_eq "caption (not localised)" "$(kv title <<<"$out")" "TQ-517T Firmware 1.10 - Welcome"
  check_eq "model label" "${v[0]}" "CD-R   TQ-517T  Firmware"
  check_eq "ASPI information line" "${v[1]}" "${JA[aspi_line]}"
  check_eq "notice text" "${v[2]}" "$WELCOME_NOTICE_JA"
  font_is "information line" 1011 "ＭＳ ゴシック" 90
  font_is "notice text" 1010 "ＭＳ ゴシック" 90
  shot welcome
  on "$WELCOME" 5000 click 1 >/dev/null
  out=$(on "$MAIN" 30000 text 1032 font 1032)
  check_eq "main dialog status line" "$(kv text <<<"$out")" "${JA[select]}"
  check_eq "status line font" "$(kv face <<<"$out")" "ＭＳ Ｐゴシック"
  shot main
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
}

# ------------------------------------------------------------ drive list ---

sc_drive_list() {
  e2e_setup nt
  make_package --aspi
  sim_config adapter 'drive target=1' 'drive target=3 revision=1.05' \
    'drive target=4 product="CD-RW  TQ-999X  "' 'device target=5 type=1' \
    adapter 'drive target=0 revision=0.99'
  e2e_start
  local out
  out=$(on "$MAIN" 40000 title combo 103 text 1032 enabled 1 enabled 2 progress 104 style 0)
  check_eq "caption derived from the package" "$(kv title <<<"$out")" "KESTRAN CD-R TQ-517T Upgrade => 1.10"
  check_eq "three matching drives" "$(kv count <<<"$out")" "3"
  check_eq "first selected" "$(kv sel <<<"$out")" "0"
  check_eq "entry 0" "$(kv item0 <<<"$out")" "(0,1) KESTRAN CD-R   TQ-517T   1.00"
  check_eq "entry 1" "$(kv item1 <<<"$out")" "(0,3) KESTRAN CD-R   TQ-517T   1.05"
  check_eq "entry 2" "$(kv item2 <<<"$out")" "(1,0) KESTRAN CD-R   TQ-517T   0.99"
  check_eq "status line" "$(kv text <<<"$out")" "${EN[select]}"
  check_eq "UPDATE and EXIT enabled" "$(grep -c '^enabled=1' <<<"$out")" "2"
  check_eq "bar empty" "$(kv pos <<<"$out")" "0"
  local style
  style=$(kv style <<<"$out")
  check "minimise box" test $((style & 0x20000)) -ne 0
  out=$(on "$MAIN" 5000 font 1032)
  check_eq "status line keeps the dialog font" "$(kv face <<<"$out")" "Arial"
  shot main
  out=$(on "$MAIN" 5000 select 103 2 sleep 300 combo 103 enabled 1)
  check_eq "selection moves" "$(kv sel <<<"$out")" "2"
  check_eq "UPDATE enabled for a drive not yet updated" "$(kv enabled <<<"$out")" "1"
  on "$MAIN" 5000 key 27 >/dev/null
  check "Escape ends the program" e2e_exited 15
  check_eq "nothing else shown" "$(windows | wc -l)" "0"
}

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

# check_update_progress TEXTS TOTAL WAITRANGE: what the samples must show:
# the status texts in order, the transfer range 0..TOTAL with a position that
# only grows, the waiting range 0..WAITRANGE stopping short of full, the full
# bar at the end, and UPDATE and EXIT disabled throughout.
check_update_progress() {
  local -n t=$1
  local total=$2 waitr=$3 s status range pos buttons seq=() last= bad= lastpos=-1
  for s in "${UPD[@]}"; do
    IFS='|' read -r status range pos buttons <<<"$s"
    [[ $status == "${t[select]}" && ${#seq[@]} == 0 ]] && continue  # before the handler ran
    [[ $status != "$last" ]] && seq+=("$status") && last=$status && lastpos=-1
    if [[ $status == "${t[transfer]}" ]]; then
      [[ $range == "0,$total" ]] || bad+="transfer range $range; "
      ((pos >= lastpos && pos <= total)) || bad+="transfer pos $pos after $lastpos; "
    elif [[ $status == "${t[running]}" && $range == "0,$total" && $pos == "$total" ]]; then
      :  # the status line changes a moment before the bar gets its new range
    elif [[ $status == "${t[running]}" ]]; then
      [[ $range == "0,$waitr" ]] || bad+="waiting range $range; "
      ((pos >= lastpos && pos <= waitr - 3)) || bad+="waiting pos $pos after $lastpos; "
    fi
    lastpos=$pos
    [[ $status == "${t[done_status]}" || $buttons == "0 0 " ]] || bad+="buttons '$buttons' during '$status'; "
  done
  local IFS='/'
  check_eq "status texts in order" "${seq[*]}" "${t[transfer]}/${t[running]}/${t[done_status]}"
  unset IFS
  check_eq "bar ranges and positions" "${bad:-ok}" "ok"
  IFS='|' read -r status range pos buttons <<<"${UPD[-1]}"
  check_eq "bar full at the end" "$range $pos" "0,$waitr $waitr"
  check "transfer phase seen (${#UPD[@]} samples)" test "$(printf '%s\n' "${UPD[@]}" | grep -c "^${t[transfer]}|")" -ge 1
}

# update_drive INDEX: select the drive and press UPDATE.
update_drive() { on "$MAIN" 5000 select 103 "$1" sleep 300 click 1 >/dev/null; }

# idle_state: status line, bar position, UPDATE and EXIT states.
idle_state() {
  local out
  out=$(on "$MAIN" 5000 text 1032 progress 104 enabled 1 enabled 2)
  echo "$(kv text <<<"$out")|$(kv pos <<<"$out")|$(sed -n 's/^enabled=//p' <<<"$out" | tr '\n' ' ')"
}

# flash_holds DUMP [--boot]: the emulated drive's flash holds the package's images.
flash_holds() { python3 "$KSF_ROOT/tools/make_package.py" "$PKG" --check-flash "$@" >/dev/null; }

sc_update_boot_en() {
  e2e_setup nt
  make_package --aspi --boot
  sim_config adapter 'drive target=1' 'drive target=2 revision=1.02'
  e2e_start
  on "$MAIN" 40000 >/dev/null
  local main_hwnd out
  main_hwnd=$(on "$MAIN" 5000 | sed -n 's/.*hwnd=\([^ ]*\).*/\1/p')
  update_drive 1
  follow_update 150
  check "completion box shows" test -n "$UPD_BOX"
  check_update_progress EN 184 450
  out=$(msgbox 5000)
  check_eq "box caption" "$(kv caption <<<"$out")" "$CAPTION_INFO"
  check_eq "box text" "$(kv text <<<"$out")" "${EN[done_ask]}"
  check_eq "box buttons Yes/No" "$(kv buttons <<<"$out" | sed 's/:[^,]*//g')" "6,7"
  check_eq "box system-modal" "$(kv topmost <<<"$out")" "1"
  check_eq "box owned by the dialog" "$(kv owner <<<"$out")" "$main_hwnd"
  shot completion
  answer_box 7
  check_eq "after No: idle, UPDATE disabled for the updated drive" "$(idle_state)" "${EN[select]}|0|0 1 "
  on "$MAIN" 5000 select 103 0 sleep 300 >/dev/null
  check_eq "the other drive can be updated" "$(idle_state)" "${EN[select]}|0|1 1 "
  on "$MAIN" 5000 select 103 1 sleep 300 >/dev/null
  check_eq "the updated drive again: UPDATE disabled" "$(idle_state)" "${EN[select]}|0|0 1 "
  check "flash of drive (0,2) holds boot and main images" flash_holds "$PKG/flash.bin.1" --boot
  check "drive (0,1) untouched" test ! -f "$PKG/flash.bin" -o "$(grep -c ' 0:1 EA ' "$PKG/trace.txt")" = 0
  check_eq "15 block writes, all accepted" "$(grep ' 0:2 EA ' "$PKG/trace.txt" | grep -c -- '-> 00$')" "15"
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
  check_eq "EXIT after an update makes no restart helper" "$(ls "$PFX/drive_c/users/root/Temp" 2>/dev/null | grep -ci '^reb_')" "0"
}

sc_update_noboot_norestart() {
  e2e_setup nt
  make_package --aspi --no-restart --wait 10
  sim_config adapter 'drive target=1'
  e2e_start
  on "$MAIN" 40000 >/dev/null
  update_drive 0
  follow_update 150
  check "completion box shows" test -n "$UPD_BOX"
  check_update_progress EN 176 100
  local out
  out=$(msgbox 5000)
  check_eq "box text" "$(kv text <<<"$out")" "${EN[done_ok]}"
  check_eq "box OK only" "$(kv buttons <<<"$out" | sed 's/:[^,]*//g')" "1"
  check_eq "box system-modal" "$(kv topmost <<<"$out")" "1"
  answer_box 1
  check_eq "after OK: idle, UPDATE disabled" "$(idle_state)" "${EN[select]}|0|0 1 "
  check "flash holds the main image at 0x8000" flash_holds "$PKG/flash.bin"
  check_eq "11 block writes, no boot phase" "$(grep -c ' 0:1 EA ' "$PKG/trace.txt")" "11"
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
}

# reb_copy: the restart helper copy in the temporary folder, if any.
reb_copy() { find "$PFX/drive_c/users" "$PFX/drive_c/windows/temp" -maxdepth 4 -iname 'REB_*.EXE' 2>/dev/null | head -n 1; }

sc_update_noboot_ja_restart() {
  e2e_setup nt
  make_package --aspi
  sim_config adapter 'drive target=1'
  e2e_start ksfupd.exe "${JA_ENV[@]}"
  on "$MAIN" 40000 >/dev/null
  check_eq "Japanese idle status" "$(on "$MAIN" 5000 text 1032 | kv text)" "${JA[select]}"
  update_drive 0
  follow_update 150
  check "completion box shows" test -n "$UPD_BOX"
  check_update_progress JA 176 450
  local out copy t0
  out=$(msgbox 5000)
  check_eq "box caption (not localised)" "$(kv caption <<<"$out")" "$CAPTION_INFO"
  check_eq "box text" "$(kv text <<<"$out")" "${JA[done_ask]}"
  shot completion
  answer_box 6
  t0=$SECONDS
  check "Yes ends the dialog and the program" e2e_exited 15
  copy=$(reb_copy)
  check_eq "helper copy made" "$(basename "${copy:-none}")" "REB_0000.EXE"
  check_eq "copy made in C:\\users\\root\\Temp" "$(dirname "${copy:-x}")" "$PFX/drive_c/users/root/Temp"
  check "copy is the program" cmp -s "${copy:-/nonexistent}" "$PKG/ksfupd.exe"
  out=$("$KSF_WINE" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r')
  check_match "copy scheduled for deletion at restart" "$out" "*REB_0000.EXE*"
  while [[ -n $copy && -f $copy ]] && ((SECONDS - t0 < 40)); do sleep 0.5; done
  check "the helper restarted the prefix and the copy is gone ($((SECONDS - t0)) s)" test ! -f "${copy:-/}"
  check "not before the 8 s wait" test $((SECONDS - t0)) -ge 7
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
}

# A block the drive refuses: the failure box with the device's reason, in
# English and (second run) Japanese; the drive stays updatable.
sc_refused_block() {
  e2e_setup nt
  make_package --aspi --boot
  sim_config adapter 'drive target=1' 'refuse write=6 sense=09/85/00'
  e2e_start
  local main_hwnd out
  main_hwnd=$(on "$MAIN" 40000 | sed -n 's/.*hwnd=\([^ ]*\).*/\1/p')
  update_drive 0
  follow_update 90
  out=$(msgbox 5000)
  check_eq "box caption" "$(kv caption <<<"$out")" "$CAPTION_ERROR"
  check_eq "box text" "$(kv text <<<"$out")" "${EN[failed]}Flash rom write error. (Code 09-85-00)"
  check_eq "box OK only" "$(kv buttons <<<"$out" | sed 's/:[^,]*//g')" "1"
  check_eq "box application-modal" "$(kv topmost <<<"$out")" "0"
  check_eq "box owned by the dialog" "$(kv owner <<<"$out")" "$main_hwnd"
  shot failure
  answer_box 1
  check_eq "after the failure: idle, UPDATE enabled again" "$(idle_state)" "${EN[select]}|0|1 1 "
  check_eq "nothing sent after the refused block" "$(tail -n 1 "$PKG/trace.txt" | grep -o ' EA .*-> 02 09/85/00$' | wc -l)" "1"
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15

  sim_config adapter 'drive target=1' 'refuse write=0 sense=09/85/00'
  rm -f "$PKG/trace.txt"
  e2e_start ksfupd.exe "${JA_ENV[@]}"
  on "$MAIN" 40000 >/dev/null
  update_drive 0
  follow_update 90
  out=$(msgbox 5000)
  check_eq "Japanese box text (device text stays English)" "$(kv text <<<"$out")" "${JA[failed]}Flash rom write error. (Code 09-85-00)"
  answer_box 1
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
}

# The checks before anything is written: board version, model, newer firmware.
sc_prechecks() {
  e2e_setup nt
  make_package --aspi --pcb 3 --inquiry "KESTRAN CD-R   TQ-51;"
  sim_config adapter 'drive target=1 board=4' 'drive target=2 product="CD-R   TQ-518T  "' \
    'drive target=3 revision=1.20' 'drive target=4' 'fail opcode=0xF5'
  e2e_start
  on "$MAIN" 40000 >/dev/null
  local out i
  declare -A want=(
    [0]="$CAPTION_INFO|${EN[board]}|1|0"
    [1]="$CAPTION_INFO|${EN[model]}|1|1"
    [2]="$CAPTION_INFO|${EN[newer]}|6,7|0"
    [3]="$CAPTION_ERROR|${EN[check_fail]}|1|0"
  )
  for i in 0 1 2 3; do
    update_drive "$i"
    out=$(msgbox 20000)
    check_eq "drive $i: box" "$(kv caption <<<"$out")|$(kv text <<<"$out")|$(kv buttons <<<"$out" | sed 's/:[^,]*//g')|$(kv topmost <<<"$out")" "${want[$i]}"
    [[ $i == 2 ]] && shot newer-firmware
    answer_box "$([[ $i == 2 ]] && echo 7 || echo 1)"
    check_eq "drive $i: back to idle, UPDATE enabled" "$(idle_state)" "${EN[select]}|0|1 1 "
  done
  check_eq "nothing written to any drive" "$(grep -cE ' (EA|F6) ' "$PKG/trace.txt")" "0"
  check "board version read from 0xF8048" grep -q ' 0:1 F5 .*0F 80 48' "$PKG/trace.txt"
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
}

# ------------------------------------------------------------ Windows 98 ----

# win98_update_and_restart: on the 9x prefix, update drive 0 and answer Yes;
# leaves the restart helper copy's path in COPY and the time of the Yes in T0.
win98_update_and_restart() {
  update_drive 0
  follow_update 150
  check "completion box shows" test -n "$UPD_BOX"
  check_update_progress EN 176 450
  check_eq "box text" "$(msgbox 5000 | kv text)" "${EN[done_ask]}"
  answer_box 6
  T0=$SECONDS
  check "Yes ends the program" e2e_exited 15
  COPY=$(reb_copy)
  check_eq "helper copy made" "$(basename "${COPY:-none}")" "REB_0000.EXE"
}

# wininit_ini: C:\windows\WININIT.INI as the program left it (any case).
wininit_ini() { find "$PFX/drive_c/windows" -maxdepth 1 -iname 'wininit.ini' | head -n 1; }

# A 9x system has no delete-at-reboot call: the copy goes into WININIT.INI,
# which Windows (and Wine's restart) reads at the next start.
win98_after_restart() {
  local out
  out=$("$KSF_WINE" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r')
  check "no NT-style pending deletion" test -z "$(grep -i 'REB_0000' <<<"$out")"
  while [[ -n $COPY && -f $COPY ]] && ((SECONDS - T0 < 40)); do sleep 0.5; done
  check "restart carried out the WININIT.INI deletion ($((SECONDS - T0)) s)" test ! -f "${COPY:-/}"
  check "flash holds the main image" flash_holds "$PKG/flash.bin"
}

sc_win98_wininit_created() {
  e2e_setup win98
  make_package --caution cdrom
  sim_config adapter 'drive target=1'
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
  e2e_setup win98
  make_package
  sim_config adapter 'drive target=1'
  printf '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n' >"$PFX/drive_c/windows/WININIT.INI"
  e2e_start
  on "$MAIN" 40000 >/dev/null
  win98_update_and_restart
  check_eq "entry added below [RENAME], every other line kept" \
    "$(od -An -c "$PFX/drive_c/windows/WININIT.INI" 2>/dev/null | tr -s ' \n' ' ')" \
    "$(printf '[Settings]\r\nKeep=1\r\n[RENAME]\r\nNUL=C:\\users\\root\\Temp\\REB_0000.EXE\r\nNUL=C:\\OLD.TXT\r\n[Other]\r\nKeep=2\r\n' | od -An -c | tr -s ' \n' ' ')"
  win98_after_restart
}

# ------------------------------------------------------------ ASPI probe ---

# The emulated drive's own probe (tests/e2e/aspi_probe.sh) as a scenario.
sc_aspi_probe() {
  local out st line
  # The probe runs 64-bit Wine itself, so it takes the x86_64 build.
  local bin=$KSF_ROOT/build/win64
  [[ $KSF_WIN_PRESET == win64 ]] && bin=$KSF_WIN_BIN
  out=$(bash "$E2E_DIR/aspi_probe.sh" "$bin" 2>&1)
  st=$?
  while IFS= read -r line; do
    case $line in
      PASS\ *) pass "${line#PASS }" ;;
      FAIL\ *) fail "${line#FAIL }" ;;
    esac
  done <<<"$out"
  if ((st != 0)); then
    fail "probe exit status" "$st"
    printf '%s\n' "$out" | tail -n 20 >&2
  fi
}

# Not part of the suite: bench/update_timing.sh runs it to print figures.
# program_cpu_ticks: user + system clock ticks of this prefix's ksfupd.exe.
program_cpu_ticks() {
  local p
  for p in $(pgrep -f 'ksfupd\.exe'); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$PFX"; then
      awk '{print $14 + $15}' "/proc/$p/stat"
      return
    fi
  done
  echo 0
}

# timed_update LABEL OPFIELD: press UPDATE for the first listed drive, wait
# for the completion box and print the figures.  The drive's own clock: the
# update's first command (the model check's INQUIRY, the last INQUIRY in the
# trace; opcode in field OPFIELD of the trace lines of drive LABEL) to the
# worker's last command.
timed_update() {
  on "$MAIN" 40000 >/dev/null
  local cpu0 cpu1 t0 t1 span hz
  hz=$(getconf CLK_TCK)
  cpu0=$(program_cpu_ticks)
  t0=$(date +%s%N)
  update_drive 0
  on "$BOX" 120000 >/dev/null
  t1=$(date +%s%N)
  cpu1=$(program_cpu_ticks)
  check "completion box shows" test "$t1" -gt "$t0"
  span=$(awk -v label="$1" -v f="$2" '$2 == label { if ($f == "12") first = $1; last = $1 }
              END { printf "%.3f", (last - first) / 1000 }' "$PKG/trace.txt")
  echo "FIGURE: UPDATE pressed to completion box: $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }') s (fixed waits: 59 s in the worker, then the dialog's 1 s completion pause; includes ~0.3 s selection pause and the automation tool's own start)"
  echo "FIGURE: the model check's INQUIRY to the worker's last command (drive clock): $span s (59 s of fixed waits)"
  echo "FIGURE: program CPU time over the update: $(awk -v a="$cpu0" -v b="$cpu1" -v hz="$hz" 'BEGIN { printf "%.2f", (b - a) / hz }') s"
  answer_box 1
  on "$MAIN" 5000 click 2 >/dev/null
  e2e_exited 15
}

sc_update_timing() {
  e2e_setup nt
  make_package --aspi --boot --no-restart
  sim_config adapter 'drive target=1'
  e2e_start
  timed_update 0:1 3
}
