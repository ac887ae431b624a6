#!/bin/bash
# Runs the README's "Try ksfupd without a drive" commands as written (the
# block between <!-- try:begin --> and <!-- try:end -->), one after the other
# in one shell, and checks that each ends as its comment says: "exit status N"
# (0 when the comment names none), and that what a command without questions
# printed is what the README's session (the next fenced block) shows after
# "$ COMMAND".  Words in backticks in a comment are what the reader types at
# the program's questions: that command runs on a pseudo-terminal with them
# typed (its progress bar is not compared).  The folder /tmp/ksfupd-try becomes a
# scratch folder (KSF_TRY_DIR is the try script's default), so that runs side
# by side do not meet.
#
#   tests/e2e/readme_try.sh
#
# Prints "PASS: try: ..." / "FAIL: try: ..." lines; exit status 1 when
# anything failed.
set -u
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
WORK=$(mktemp -d /tmp/ksf-try.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export KSF_TRY_DIR=$WORK/try

block=$(sed -n '/^<!-- try:begin -->$/,/^<!-- try:end -->$/p' "$ROOT/README.md" | sed '1,2d; $d' | sed '$d')
if [[ -z $block ]]; then
  echo "FAIL: try: no commands between <!-- try:begin --> and <!-- try:end --> in README.md"
  exit 1
fi

session=$(sed -n '/^<!-- try:end -->$/,$p' "$ROOT/README.md" | sed -n '/^```$/,/^```$/p' | sed '1d; /^```$/,$d')

# shown COMMAND: what the session shows after "$ COMMAND", up to the next prompt.
shown() {
  awk -v c="\$ $1" '$0 == c { on = 1; next } /^\$( |$)/ { on = 0 } on' <<<"$session"
}

cd "$ROOT" || exit 1
failed=0
n=0
while IFS= read -r line; do
  [[ -z ${line// /} ]] && continue
  command=${line%%#*}
  command=${command%"${command##*[! ]}"}
  comment=
  [[ $line == *#* ]] && comment=${line#*#}
  want=0
  [[ $comment =~ exit\ status\ ([0-9]+) ]] && want=${BASH_REMATCH[1]}
  input=
  rest=$comment
  while [[ $rest =~ \`([^\`]*)\`(.*) ]]; do
    input+="${BASH_REMATCH[1]}\n"
    rest=${BASH_REMATCH[2]}
  done
  run=${command//\/tmp\/ksfupd-try/$WORK/try}
  n=$((n + 1))
  {
    if [[ -n $input ]]; then
      declare -F ksfupd >/dev/null && export -f ksfupd
      # shellcheck disable=SC2059  # the answers' \n are printf's
      printf "$input" | SHELL=/bin/bash timeout 180 script -qec "stty cols 80 rows 24; $run" /dev/null
    else
      eval "$run" </dev/null
    fi
  } >"$WORK/out.$n" 2>&1
  status=$?
  if [[ $status == "$want" ]]; then
    echo "PASS: try: $command: exit status $status"
  else
    echo "FAIL: try: $command: exit status $status, the README says $want; it printed (the end):"
    sed 's/\r$//' "$WORK/out.$n" | tr '\r' '\n' | tail -n 15 | sed 's/^/  | /'
    failed=1
  fi
  [[ -n $input || $command != ksfupd* && $command != scripts/* ]] && continue
  sed -i "s|$WORK/try|/tmp/ksfupd-try|g" "$WORK/out.$n"
  if diff <(shown "$command") "$WORK/out.$n" >"$WORK/diff" 2>&1; then
    echo "PASS: try: $command: prints what the README shows"
  else
    echo "FAIL: try: $command: prints other than the README shows (< README, > now):"
    sed 's/^/  | /' "$WORK/diff"
    failed=1
  fi
done <<<"$block"
((failed == 0))
