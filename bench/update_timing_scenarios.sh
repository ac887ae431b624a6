# shellcheck shell=bash
# The timed update of bench/update_timing.sh, as end-to-end scenarios: the
# e2e runner sources this file when E2E_EXTRA_SCENARIOS names it, so the
# scenarios run in a prefix and X server of their own like any other, but are
# not part of the suite.
# shellcheck disable=SC2154

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
  setup_one_drive nt --aspi --boot --no-restart
  start_main
  timed_update 0:1 3
}

# Through the NT pass-through request (--passthrough).
sc_pt_update_timing() {
  pt_setup d e 'drive target=1'
  make_package --boot --no-restart
  pt_start
  timed_update drive-e 4
}
