#!/bin/bash
# Times one full update (boot and main image) of the emulated drive by the real
# program under Wine and prints the figures: wall time from UPDATE to the
# completion box against the fixed waits, and the program's CPU time.
# Needs the Windows build (./test.sh or scripts/common.sh's build step first).
cd "$(dirname "$0")/.." || exit 1
bash tests/e2e/run.sh update_timing 2>&1 | grep -E 'FIGURE|FAIL|passed'
