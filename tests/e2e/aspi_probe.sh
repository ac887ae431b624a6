#!/bin/bash
# Runs tools/aspi_probe.exe against the emulated drive's WNASPI32.DLL under
# the Wine that scripts/common.sh picks (32-bit Wine and the win32 build where
# this machine runs 32-bit programs, else 64-bit Wine and the win64 build),
# then checks the flash and trace files the library wrote.
#   tests/e2e/aspi_probe.sh [build-dir]      (default: that Wine's build)
# Exit status 0 when every check passed.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
source "$here/scripts/common.sh"
ksf_wine_setup
build=${1:-$KSF_WIN_BIN}
probe=$build/tools/aspi_probe.exe
dll=$build/sim/WNASPI32.DLL
for f in "$probe" "$dll"; do
  if [ ! -f "$f" ]; then
    echo "aspi_probe: missing $f (build the $KSF_WIN_PRESET preset first)" >&2
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

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n
[[ -n $KSF_WINELOADER ]] && export WINELOADER=$KSF_WINELOADER
export KSF_SIM_CONFIG=$(winpath "$work/sim.cfg")
export KSF_SIM_TRACE=$(winpath "$work/trace.txt")
export KSF_SIM_FLASH=$(winpath "$work/flash.bin")
"$KSF_WINE" wineboot -i >/dev/null 2>&1
(cd "$work" && timeout 120 "$KSF_WINE" ./aspi_probe.exe) | tr -d '\r' | tee "$work/out.txt"
status=${PIPESTATUS[0]}
"$KSF_WINESERVER" -k >/dev/null 2>&1 || true

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
