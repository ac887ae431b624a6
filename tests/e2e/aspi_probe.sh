#!/bin/bash
# Runs tools/aspi_probe.exe against the emulated drive's WNASPI32.DLL under
# 64-bit Wine, then checks the flash and trace files the library wrote.
#   tests/e2e/aspi_probe.sh [build-dir]      (default: build/win64)
# Exit status 0 when every check passed.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$here/build/win64}
probe=$build/tools/aspi_probe.exe
dll=$build/sim/WNASPI32.DLL
for f in "$probe" "$dll"; do
  if [ ! -f "$f" ]; then
    echo "aspi_probe: missing $f (build the win64 preset first)" >&2
    exit 2
  fi
done

work=$(mktemp -d /tmp/ksf-aspi-probe.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$probe" "$dll" "$work/"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

cat >"$work/sim.cfg" <<'EOF'
# adapter 0: buffers aligned to 4 bytes, 4 targets
adapter align=0x0003 targets=4
drive target=1 board=7 tray=loaded settle_ms=200 programming_ms=500
drive target=2 async_ms=300
device target=3 type=0
EOF

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINELOADER=/usr/lib/wine/wine64 WINEDLLOVERRIDES=wnaspi32=n
export KSF_SIM_CONFIG=$(winpath "$work/sim.cfg")
export KSF_SIM_TRACE=$(winpath "$work/trace.txt")
export KSF_SIM_FLASH=$(winpath "$work/flash.bin")
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
(cd "$work" && timeout 120 /usr/lib/wine/wine64 ./aspi_probe.exe) | tr -d '\r' | tee "$work/out.txt"
status=${PIPESTATUS[0]}
/usr/lib/wine/wine64 wineserver -k >/dev/null 2>&1 || true

fail=0
[ "$status" -eq 0 ] || fail=1
# The boot block written at address 0 must be in the flash file, the rest
# erased; the trace must show the accepted write.
python3 - "$work/flash.bin" <<'EOF' || fail=1
import sys
data = open(sys.argv[1], "rb").read()
want = bytes((i * 7 + 3) & 0xFF for i in range(4096)) + b"\xff" * (0x60000 - 4096)
ok = data == want
print("PASS flash file holds the written block" if ok else
      "FAIL flash file holds the written block (%d bytes)" % len(data))
sys.exit(0 if ok else 1)
EOF
if grep -q '^[0-9]* 0:1 EA 00 00 00 00 00 00 00 02 .. out 4096 -> 00$' "$work/trace.txt"; then
  echo "PASS trace shows the accepted block write"
else
  echo "FAIL trace shows the accepted block write"
  cat "$work/trace.txt"
  fail=1
fi
exit $fail
