# End-to-end scenarios of the dialogs before an update: the welcome dialog in
# both languages and the main dialog's drive list.
# shellcheck disable=SC2154

# ------------------------------------------------------------- welcome -----

WELCOME_NOTICE_EN='KESTRAN CD-R Drive firmware update program\r\n\r\nThis program can update the firmware of KESTRAN CD-R Drive TQ-517T\r\n\r\nKESTRAN DOES NOT AND CANNOT WARRANT THE PERFORMANCE OR RESULTS YOU MAY OBTAIN BY USING THIS SOFTWARE.\r\nIN NO EVENT WILL KESTRAN BE LIABLE FOR ANY SPECIAL DAMAGES, INCLUDING ANY LOST PROFITS, OR OTHER INCIDENTALS OR CONSEQUENTIAL DAMAGES, EVEN IF KESTRAN HAS BEEN ADVISED OF THE POSSIBILITY OF SUCH DAMAGES, OR FOR ANY CLAIM BY ANY OTHER PARTY.\r\n\r\nCAUTION!\r\nPlease close other applications that are running.\r\nAnd eject the disc from the CD-R drive you would like to update.'
WELCOME_NOTICE_JA='KESTRAN CD-Rドライブ　ファームウェア更新プログラム\r\n\r\n本プログラムはKESTRAN CD-R TQ-517T のファームウェアを更新します。\r\n\r\nケストランは、本ソフトウェアを使用することによって得られる動作や結果の影響について、一切の責任及び業務から逃れるものとします。\r\n本ソフトウェアを使用することによって生じた利益の損失、重大なダメージ、金銭的損害など、いかなる損害に対し、たとえケストランが、そのようなダメージの可能性について認知していたとしても、あるいは第三者から指摘されていたとしても、一切責任を負わないものとします。\r\n\r\n警告！\r\nアップグレードを行う前に、起動中の他のアプリケーションを全て終了し、CD-Rドライブからディスクを取り出して下さい。'

# check_welcome ROWS: each row "ID|TEXT|FACE|TENTHS|COLOUR" a label of the
# welcome dialog: its text, the font it paints with (the size within 0.5 pt:
# it is read back from the pixel height) and its colour on the white panel.
# Empty fields are not checked.
check_welcome() {
  local id text face size colour out p
  while IFS='|' read -r id text face size colour; do
    out=$(on "$WELCOME" 30000 text "$id" font "$id" colors "$id")
    check_eq "label $id text" "$(kv text <<<"$out")" "$text"
    p=$(kv points10 <<<"$out")
    ((p >= size - 5 && p <= size + 5)) && p=$size
    [[ -n $face ]] && check_eq "label $id font" "$(kv face <<<"$out") $p" "$face $size"
    [[ -n $colour ]] && check_eq "label $id colours" "$(kv fore <<<"$out")/$(kv back <<<"$out")/$(kv brush <<<"$out")" \
      "$colour/255,255,255/255,255,255"
  done <<<"$1"
}

sc_welcome_en() {
  setup_one_drive nt --aspi --caution cdr
  e2e_start
  check_eq "caption" "$(on "$WELCOME" 30000 title | kv title)" "TQ-517T Firmware 1.10 - Welcome"
  check_welcome "1008|CD-R   TQ-517T  Firmware|Times New Roman Bold|190|0,0,255
1009|Version 1.10|Times New Roman|150|0,0,0
1011|${EN[aspi_line]}|||0,0,0
1012|Notice|||0,0,0
1010|$WELCOME_NOTICE_EN|Tahoma|90|0,0,0
1013|(C) Kestran Corporation. All rights reserved.|Arial|85|128,128,128"
  check_eq "logo shown for KESTRAN, white panel, OK and Cancel enabled" \
    "$(on "$WELCOME" 5000 visible 1014 colors 1007 enabled 1 enabled 2 | sed -n 's/^\(visible\|brush\|enabled\)=//p' | paste -sd' ')" \
    "1 255,255,255 1 1"
  shot welcome
  on "$WELCOME" 5000 click 2 gone 5000 >/dev/null
  check "Cancel ends the program" e2e_exited 15
  check_eq "Cancel shows nothing more" "$(windows | wc -l)" "0"
  check_eq "no drive was touched" "$(cat "$PKG/trace.txt" 2>/dev/null | grep -c 'CDB\|^[0-9]* [0-9A-F][0-9A-F] ')" "0"
}

sc_welcome_ja() {
  setup_one_drive nt --aspi --caution cdr
  e2e_start ksfupd.exe "${JA_ENV[@]}"
  check_eq "caption (not localised)" "$(on "$WELCOME" 30000 title | kv title)" "TQ-517T Firmware 1.10 - Welcome"
  check_welcome "1008|CD-R   TQ-517T  Firmware|||
1011|${JA[aspi_line]}|ＭＳ ゴシック|90|
1010|$WELCOME_NOTICE_JA|ＭＳ ゴシック|90|"
  shot welcome
  on "$WELCOME" 5000 click 1 >/dev/null
  local out
  out=$(on "$MAIN" 30000 text 1032 font 1032)
  check_eq "main dialog status line and its font" "$(kv text <<<"$out")|$(kv face <<<"$out")" "${JA[select]}|ＭＳ Ｐゴシック"
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
  out=$(on "$MAIN" 40000 title combo 103 text 1032 enabled 1 enabled 2 progress 104 style 0 font 1032)
  check_eq "caption from the package; three matching drives in order, first selected" \
    "$(kv title <<<"$out")|$(kv count <<<"$out")|$(kv sel <<<"$out")|$(kv item0 <<<"$out")|$(kv item1 <<<"$out")|$(kv item2 <<<"$out")" \
    "KESTRAN CD-R TQ-517T Upgrade => 1.10|3|0|(0,1) KESTRAN CD-R   TQ-517T   1.00|(0,3) KESTRAN CD-R   TQ-517T   1.05|(1,0) KESTRAN CD-R   TQ-517T   0.99"
  check_eq "status line in the dialog font, UPDATE and EXIT enabled, bar empty, minimise box" \
    "$(kv text <<<"$out")|$(kv face <<<"$out")|$(grep -c '^enabled=1' <<<"$out")|$(kv pos <<<"$out")|$(($(kv style <<<"$out") & 0x20000))" \
    "${EN[select]}|Arial|2|0|131072"
  shot main
  out=$(on "$MAIN" 5000 select 103 2 sleep 300 combo 103 enabled 1)
  check_eq "selection moves; UPDATE enabled for a drive not yet updated" "$(kv sel <<<"$out")|$(kv enabled <<<"$out")" "2|1"
  on "$MAIN" 5000 key 27 >/dev/null
  check "Escape ends the program" e2e_exited 15
  check_eq "nothing else shown" "$(windows | wc -l)" "0"
}
