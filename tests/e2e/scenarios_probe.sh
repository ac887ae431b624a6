# The emulated drive's own ASPI probe as a scenario, and the timed update that
# bench/update_timing.sh runs for its figures (not part of the suite).
# shellcheck disable=SC2154

# ------------------------------------------------------------ ASPI probe ---

# tools/aspi_probe.exe against the emulated drive's WNASPI32.DLL: its own
# "PASS <check>" / "FAIL <check>" lines, then the flash and trace files the
# library wrote.
sc_aspi_probe() {
  e2e_setup nt
  cp "$KSF_WIN_BIN/tools/aspi_probe.exe" "$PKG/"
  # Adapter 0: buffers aligned to 4 bytes, 4 targets.
  sim_config 'adapter align=0x0003 targets=4' \
    'drive target=1 board=7 tray=loaded settle_ms=200 programming_ms=500' \
    'drive target=2 async_ms=300' 'device target=3 type=0'
  local out st line
  out=$(cd "$PKG" && timeout 120 "$KSF_WINE" ./aspi_probe.exe 2>&1)
  st=$?
  while IFS= read -r line; do
    case $line in
      PASS\ *) pass "${line#PASS }" ;;
      FAIL\ *) fail "${line#FAIL }" ;;
    esac
  done <<<"${out//$'\r'/}"
  if ((st != 0)); then
    fail "probe exit status" "$st"
    printf '%s\n' "$out" | tail -n 20 >&2
  fi
  # The boot block written at address 0, the rest of the flash erased.
  local want='bytes((i * 7 + 3) & 0xFF for i in range(4096)) + b"\xff" * (0x60000 - 4096)'
  check "flash file holds the written block" cmp -s "$PKG/flash.bin" \
    <(python3 -c "import sys; sys.stdout.buffer.write($want)")
  check "trace shows the accepted block write" \
    grep -q '^[0-9]* 0:1 EA 00 00 00 00 00 00 00 02 .. out 4096 -> 00$' "$PKG/trace.txt"
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
