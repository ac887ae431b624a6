# The end-to-end scenarios: one function sc_NAME each, run by run.sh --one in
# its own prefix and X server.  E2E_SCENARIOS lists them, longest first, so a
# parallel run starts the minute-long updates early.  This file holds the list
# and the texts the scenarios compare; the scenarios themselves are in one
# file per area, sourced at the end.
# shellcheck disable=SC2154

E2E_SCENARIOS=(
  refused_block update_boot_en update_noboot_ja_restart win98_wininit_created
  win98_wininit_amended prechecks drive_list welcome_en welcome_ja
  reb_helper_name startup_boxes_en startup_boxes_ja aspi_probe
)

JA_ENV=(LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8)

# Catalogue texts the scenarios compare (UTF-8 here; the program shows the
# Shift-JIS forms, which ksfauto reads back as UTF-8).
declare -A EN=(
  [select]=" Please Select Drive and Click UPDATE Button."
  [transfer]=" Wait... (Transferring data)"
  [running]=" Wait... (Running Firmware upgrade procedure)"
  [done_status]=" Firmware update is completed."
  [failed]="Firmware update is failed.\\n\\n"
  [done_ok]="Firmware update is completed."
  [done_ask]="Firmware update is completed.\\n\\nDo you want to restart your computer now?"
  [aspi_line]="WNASPI32.DLL is necessary for this program."
)
declare -A JA=(
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

# E2E_EXTRA_SCENARIOS: files of scenarios that are not part of the suite
# (bench/update_timing_scenarios.sh).
for area in "$E2E_DIR"/scenarios_{startup,dialogs,update,win98,probe,passthrough,session}.sh ${E2E_EXTRA_SCENARIOS:-}; do
  # shellcheck source=/dev/null
  source "$area"
done
