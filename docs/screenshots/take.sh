#!/bin/bash
# Takes the pictures in this folder: the real program under Wine (the build
# and Wine that scripts/common.sh picks), in a Wine virtual desktop on Xvfb,
# with the emulated drive's WNASPI32.DLL beside it, each picture cut to the
# windows it shows.  Three runs in parallel (English update, refused block,
# Japanese mode), about a minute and a half.
#
#   docs/screenshots/take.sh [OUTDIR]      (default: docs/screenshots)
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
OUT=${1:-$ROOT/docs/screenshots}
mkdir -p "$OUT" && OUT=$(cd "$OUT" && pwd)
E2E_WORK=$(mktemp -d /tmp/ksf-shots.XXXXXX)
export E2E_WORK
SC=shots
source "$ROOT/tests/e2e/wine_session.sh"
source "$ROOT/tests/e2e/scenarios.sh"
trap 'rm -rf "$E2E_WORK"' EXIT
echo "screenshots: $KSF_WINE_DESC, into ${OUT#"$ROOT"/}"

# rect WINDOW: "left top right bottom" of a window on the screen.
rect() { on "$1" 10000 rect 0 | kv rect | tr ',' ' '; }

# cut NAME L T R B: the screen cut to that rectangle.
cut() {
  local name=$1 l=$2 t=$3 r=$4 b=$5
  import -display "$DISPLAY" -window root -crop "$((r - l))x$((b - t))+$l+$t" +repage "$OUT/$name.png"
  echo "  $name.png ($((r - l))x$((b - t)))"
}

# cut_windows NAME WINDOW...: the screen cut to the windows' union.
cut_windows() {
  local name=$1 w l=99999 t=99999 r=0 b=0 a
  shift
  for w in "$@"; do
    read -ra a <<<"$(rect "$w")"
    ((a[0] < l)) && l=${a[0]}
    ((a[1] < t)) && t=${a[1]}
    ((a[2] > r)) && r=${a[2]}
    ((a[3] > b)) && b=${a[3]}
  done
  cut "$name" "$l" "$t" "$r" "$b"
}

# wait_status TEXT: until the status line shows TEXT (at most 90 s).
wait_status() {
  local i
  for ((i = 0; i < 300; i++)); do
    [[ $(on "$MAIN" 5000 text 1032 | kv text) == "$1" ]] && return 0
    sleep 0.3
  done
  return 1
}

# The package of the pictures: boot and main image, the CD-R caution, the
# ASPI road (so the welcome page shows its ASPI line), a 10 s wait; two
# drives, revisions 1.00 and 1.05.
prepare() {
  e2e_setup nt
  make_package --aspi --boot --caution cdr --wait 10
  sim_config adapter 'drive target=1' "${@:-drive target=3 revision=1.05}"
}

english() {
  SC=shots_en
  prepare
  e2e_start
  sleep 1
  cut_windows welcome_en "$WELCOME"
  on "$WELCOME" 5000 click 1 gone 5000 >/dev/null
  sleep 1
  cut_windows main_en "$MAIN"
  # Open the drive list with the mouse on its arrow; the list hangs below.
  local c m
  read -ra c <<<"$(on "$MAIN" 5000 rect 103 | kv rect | tr ',' ' ')"
  read -ra m <<<"$(rect "$MAIN")"
  xdotool mousemove "$((c[2] - 8))" "$(((c[1] + c[3]) / 2))" click 1
  sleep 1
  cut main_drive_list "${m[0]}" "${m[1]}" "${m[2]}" "$((m[3] > c[3] + 36 ? m[3] : c[3] + 36))"
  xdotool key Escape
  sleep 0.5
  update_drive 0
  wait_status "${EN[running]}" && sleep 4
  cut_windows main_waiting_phase "$MAIN"
  msgbox 120000 >/dev/null
  sleep 1
  cut_windows main_restart_question "$MAIN" "$BOX"
  answer_box 7
  on "$MAIN" 5000 select 103 1 sleep 500 >/dev/null
  cut_windows main_after_update "$MAIN"
  on "$MAIN" 5000 click 2 >/dev/null
  e2e_exited 15
}

refused() {
  SC=shots_failure
  prepare 'refuse write=6 sense=09/85/00'
  e2e_start
  on "$WELCOME" 30000 click 1 gone 5000 >/dev/null
  on "$MAIN" 30000 >/dev/null
  update_drive 0
  msgbox 90000 >/dev/null
  sleep 1
  cut_windows main_failure "$MAIN" "$BOX"
  answer_box 1
  on "$MAIN" 5000 click 2 >/dev/null
  e2e_exited 15
}

japanese() {
  SC=shots_ja
  export "${JA_ENV[@]}"  # the whole session, as the Japanese e2e scenarios
  prepare
  e2e_start ksfupd.exe "${JA_ENV[@]}"
  sleep 1
  cut_windows welcome_ja "$WELCOME"
  on "$WELCOME" 5000 click 1 gone 5000 >/dev/null
  sleep 1
  cut_windows main_ja "$MAIN"
  update_drive 0
  wait_status "${JA[running]}" && sleep 4
  cut_windows main_ja_update "$MAIN"
}

e2e_make_template nt || {
  echo "no prefix template: $(tail -n 3 "$E2E_WORK/template-nt.log")" >&2
  exit 1
}
(english) &
(refused) &
(japanese) &
wait
