# End-to-end scenarios of the dialogs before an update: the welcome dialog in
# both languages and the main dialog's drive list.
# shellcheck disable=SC2154

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
  setup_one_drive nt --aspi --caution cdr
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
  local id
  for id in 1008:0,0,255 1009:0,0,0 1011:0,0,0 1012:0,0,0 1010:0,0,0 1013:128,128,128; do
    out=$(on "$WELCOME" 5000 colors "${id%%:*}")
    check_eq "label ${id%%:*} colours" "$(kv fore <<<"$out")/$(kv back <<<"$out")/$(kv brush <<<"$out")" \
      "${id#*:}/255,255,255/255,255,255"
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
  setup_one_drive nt --aspi --caution cdr
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
  exit_program
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
  check "minimise box" test $(($(kv style <<<"$out") & 0x20000)) -ne 0
  check_eq "status line keeps the dialog font" "$(on "$MAIN" 5000 font 1032 | kv face)" "Arial"
  shot main
  out=$(on "$MAIN" 5000 select 103 2 sleep 300 combo 103 enabled 1)
  check_eq "selection moves" "$(kv sel <<<"$out")" "2"
  check_eq "UPDATE enabled for a drive not yet updated" "$(kv enabled <<<"$out")" "1"
  on "$MAIN" 5000 key 27 >/dev/null
  check "Escape ends the program" e2e_exited 15
  check_eq "nothing else shown" "$(windows | wc -l)" "0"
}
