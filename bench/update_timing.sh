#!/bin/bash
# Times one full update (boot and main image) of the emulated drive by the real
# program under Wine and prints the figures: wall time from UPDATE to the
# completion box against the fixed waits, the worker's span on the drive's
# clock, and the program's CPU time.
#   bench/update_timing.sh                 through ASPI (the emulated WNASPI32.DLL)
#   bench/update_timing.sh --passthrough   through the NT pass-through request:
#                                          Wine's CD-ROM layer, SG_IO, libksfsg.so
# Needs the Windows build (./test.sh or scripts/common.sh's build step first).
cd "$(dirname "$0")/.." || exit 1
scenario=update_timing
[[ ${1:-} == --passthrough ]] && scenario=pt_update_timing
E2E_EXTRA_SCENARIOS="$PWD/bench/update_timing_scenarios.sh" bash tests/e2e/run.sh "$scenario" 2>&1 | grep -E '^e2e: .* build under|FIGURE|FAIL|passed'
