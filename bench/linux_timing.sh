#!/bin/bash
# Times one full update (boot and main image) of an emulated drive by ksfupd
# for Linux and prints the figures:
#  - the worker's span on the drive's clock (the emulated drive's trace: from
#    the model check's INQUIRY to the last command) against the sequence's
#    fixed waits (3 + 5 + 3 + 45 + 3 = 59 s); goal: within 0.1 s;
#  - the program's wall time from start to exit (the progress display's own
#    pauses included: 0.3 s after the transfer, up to 0.1 s of the waiting
#    step, 1 s on the completion status);
#  - the program's CPU time, user + system, over the whole run (the emulated
#    drive lives in the same process and is counted too); goal: under 0.1 s.
# Needs the native build (cmake --preset native && cmake --build build/native).
#
#   bench/linux_timing.sh [RUNS]     (default 1)
set -u
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN=${KSFUPD_BIN:-$ROOT/build/native/ksfupd}
PRELOAD=${KSF_SG_PRELOAD:-$(find "$ROOT/build/native" -path '*x86_64-linux-gnu/libksfsg.so' 2>/dev/null | head -n 1)}
RUNS=${1:-1}
if [[ ! -x $BIN || ! -f $PRELOAD ]]; then
  echo "ksfupd or the preload library is missing: build the native preset first" >&2
  exit 1
fi
W=$(mktemp -d /tmp/ksf-linux-bench.XXXXXX)
trap 'rm -rf "$W"' EXIT
python3 "$ROOT/tools/make_package.py" "$W/pkg" --ini-name KSFUPD.INI --boot
mkdir -p "$W/dev"
: >"$W/dev/sg0"
printf 'adapter\ndrive target=1\n' >"$W/sim.cfg"

for ((run = 1; run <= RUNS; run++)); do
  rm -f "$W/trace.txt"
  python3 - "$BIN" "$W" "$PRELOAD" <<'EOF'
import os, sys, time
binary, w, preload = sys.argv[1:4]
env = dict(os.environ, LD_PRELOAD=preload, KSF_SG_DEVICES=w + "/dev/sg0",
           KSF_SIM_CONFIG=w + "/sim.cfg", KSF_SIM_TRACE=w + "/trace.txt",
           KSFUPD_DEV_DIR=w + "/dev", KSFUPD_SYS_DIR=w + "/sys", LC_ALL="C.UTF-8")
# fork, exec and wait4: the program's own rusage (subprocess's spawning would
# add tens of milliseconds of its own to the child's account).
start = time.monotonic()
pid = os.fork()
if pid == 0:
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    os.execve(binary, [binary, "--package", w + "/pkg", "--device", w + "/dev/sg0", "--yes"], env)
_, raw, usage = os.wait4(pid, 0)
wall = time.monotonic() - start
status = os.waitstatus_to_exitcode(raw)
times = []
inquiries = []
for line in open(w + "/trace.txt"):
    fields = line.split()
    times.append(int(fields[0]))
    if " 12 00 00 00 24 00 " in line:
        inquiries.append(int(fields[0]))
span = (times[-1] - inquiries[-1]) / 1000
print("FIGURE exit status %d" % status)
print("FIGURE worker span on the drive's clock %.3f s against 59 s of fixed waits (+%.3f s)"
      % (span, span - 59))
print("FIGURE wall time %.3f s from start to exit" % wall)
print("FIGURE CPU time %.3f s (user %.3f s, system %.3f s)"
      % (usage.ru_utime + usage.ru_stime, usage.ru_utime, usage.ru_stime))
EOF
done
