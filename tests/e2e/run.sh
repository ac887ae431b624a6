#!/bin/bash
# End-to-end suite: the real ksfupd.exe under Wine, driven by ksfauto, with the
# emulated drive as its WNASPI32.DLL.  Each scenario gets its own Wine prefix
# (a copy of a per-configuration template) and its own Xvfb display, so they
# run in parallel.
#
#   tests/e2e/run.sh [-j N] [--keep] [--list] [SCENARIO...]
#
# Prints the scenarios' "PASS: ..." / "FAIL: ..." lines as each one ends, then
# "e2e total: passed N, failed M".  Exit status 1 when anything failed.
# E2E_WORK names a work dir to use (templates kept there for the next run);
# E2E_SHOTS a folder for the screenshots.  Each scenario runs in a process of
# its own: run.sh --one NAME (E2E_WORK set).
set -u
E2E_DIR="$(cd "$(dirname "$0")" && pwd)"
source "$E2E_DIR/wine_session.sh"
source "$E2E_DIR/scenarios.sh"

jobs_max=5
names=()
while (($#)); do
  case $1 in
    -j) jobs_max=$2; shift 2 ;;
    -j*) jobs_max=${1#-j}; shift ;;
    --keep) export E2E_KEEP=1; shift ;;
    --list) printf '%s\n' "${E2E_SCENARIOS[@]}"; exit 0 ;;
    --one)
      SC=$2
      if ! declare -F "sc_$SC" >/dev/null; then
        fail "exists" "no such scenario"
        exit 1
      fi
      "sc_$SC"
      ((E2E_CHECKS)) || fail "ran" "no checks"
      exit $((E2E_FAILS > 0)) ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) names+=("$1"); shift ;;
  esac
done
((${#names[@]})) || names=("${E2E_SCENARIOS[@]}")

sg_lib=$KSF_WIN_BIN/sim/lib/$([[ $KSF_WINE_BITS == 32 ]] && echo i386 || echo x86_64)-linux-gnu/libksfsg.so
for f in "$KSFUPD_EXE" "$SIM_DLL" "$KSFAUTO_EXE" "$KSF_WIN_BIN/tools/aspi_probe.exe" "$sg_lib"; do
  if [[ ! -f $f ]]; then
    echo "FAIL: e2e: setup: $f is missing (build the $KSF_WIN_PRESET preset first)"
    echo "e2e: 0 passed, 1 failed"
    exit 1
  fi
done

own_work=
if [[ -z ${E2E_WORK:-} ]]; then
  E2E_WORK=$(mktemp -d /tmp/ksf-e2e.XXXXXX)
  own_work=1
fi
export E2E_WORK
export E2E_SHOTS="${E2E_SHOTS:-$KSF_ROOT/out/e2e-shots}"
echo "e2e: $KSF_WINE_DESC, pass-through drives through the $KSF_WINE_BITS-bit libksfsg.so; work dir $E2E_WORK, $jobs_max at a time"
start=$SECONDS

# Templates, in parallel: the NT family (default) and Windows 98.
# A work dir given by the caller may hold them from an earlier run.
for t in nt win98; do
  [[ -f $E2E_WORK/template-$t/system.reg && -f $E2E_WORK/template-$t.log ]] || e2e_make_template "$t" &
done
wait
for t in nt win98; do
  [[ -f $E2E_WORK/template-$t/system.reg ]] || echo "FAIL: e2e: template $t: $(tail -n 3 "$E2E_WORK/template-$t.log")"
done
echo "e2e: templates ready after $((SECONDS - start)) s"

report() {  # NAME STATUS
  local log="$E2E_WORK/log-$1.txt"
  grep -E '^(PASS|FAIL|FIGURE): ' "$log"
  if [[ $2 != 0 ]]; then
    grep -qE '^FAIL: ' "$log" || echo "FAIL: $1: scenario ended with status $2"
    echo "---- $1 log (last lines) ----"
    grep -vE '^(PASS|FAIL): ' "$log" | tail -n 25
    echo "----"
  fi
  echo "e2e: $1 done after $((SECONDS - start)) s (status $2)"
}

declare -A name_of=()
running=0
# Stopped from outside: pass it on (timeout relays it to the scenario, whose
# own trap ends its Wine session and X server), then go.
trap 'kill $(jobs -p) 2>/dev/null; wait; exit 143' TERM INT
reap() {
  local done_pid st
  wait -n -p done_pid
  st=$?
  [[ -n ${done_pid:-} && -n ${name_of[$done_pid]:-} ]] || return
  report "${name_of[$done_pid]}" "$st"
  unset "name_of[$done_pid]"
  running=$((running - 1))
}
for name in "${names[@]}"; do
  while ((running >= jobs_max)); do reap; done
  rm -f "$E2E_WORK/log-$name.txt"
  timeout -k 10 420 bash "$E2E_DIR/run.sh" --one "$name" >"$E2E_WORK/log-$name.txt" 2>&1 &
  name_of[$!]=$name
  running=$((running + 1))
done
while ((running > 0)); do reap; done

logs=("${names[@]/#/$E2E_WORK/log-}")
passed=$(cat "${logs[@]/%/.txt}" 2>/dev/null | grep -c '^PASS: ')
failed=$(cat "${logs[@]/%/.txt}" 2>/dev/null | grep -c '^FAIL: ')
echo "e2e total: passed $passed, failed $failed in $((SECONDS - start)) s; screenshots in $E2E_SHOTS"
# Our own work dir goes; one the caller gave keeps its templates for next time.
if [[ -n $own_work && -z ${E2E_KEEP:-} ]]; then
  if ((failed == 0)); then rm -rf "$E2E_WORK"; else rm -rf "$E2E_WORK"/template-* "$E2E_WORK"/pfx-*; fi
fi
((failed == 0))
