# The emulated drive's own ASPI probe as a scenario.
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
