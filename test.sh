#!/bin/bash
# Installs what a fresh Debian machine lacks, builds every preset and runs every
# test: unit tests plain and under ASan+UBSan and TSan, the package fuzzer for
# a bounded time, the benchmark once (figures only), the end-to-end suite of
# the real program under Wine, ksfupd for Linux against emulated drives, and
# ksfupd on a real kernel in a QEMU guest, and the release (reproducible,
# hardened, packaged, signed).  Ends with one line "N passed, N failed";
# the exit status is non-zero when anything failed.
#
#   ./test.sh              (as root; logs in out/logs/)
#   KSF_FUZZ_SECONDS=30 KSF_E2E_JOBS=5 ./test.sh
#   KSF_WINE_BITS=64 ./test.sh   (64-bit Wine and the win64 build even where
#                                 32-bit programs run; the default there is 32)
set -u
cd "$(dirname "$0")" || exit 1
source scripts/common.sh

FUZZ_SECONDS=${KSF_FUZZ_SECONDS:-30}
E2E_JOBS=${KSF_E2E_JOBS:-5}
PASSED=0
FAILED=0
START=$SECONDS

mkdir -p "$KSF_LOG_DIR"

stage() {  # NAME STATUS: one pass or failure for a whole stage
  if [[ $2 == 0 ]]; then
    PASSED=$((PASSED + 1))
    echo "PASS: $1"
  else
    FAILED=$((FAILED + 1))
    echo "FAIL: $1"
  fi
}

elapsed() { echo "$((SECONDS - START)) s"; }

# gtest_run NAME LOG BINARY [ARGS...]: runs a GoogleTest binary and adds its
# test counts; a crash or a sanitizer report without a failed test counts as
# one failure.
gtest_run() {
  local name=$1 log=$2 status p f
  shift 2
  if [[ ! -x $1 ]]; then
    stage "$name: $1 not built" 1
    return
  fi
  "$@" >"$log" 2>&1
  status=$?
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n 1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log" | tail -n 1)
  p=${p:-0}
  f=${f:-0}
  grep -E '^\[  FAILED  \] [A-Za-z_]' "$log" | sed 's/^/  /'
  if [[ $status != 0 && $f == 0 ]]; then
    f=1
    echo "  $name: exit status $status without a failed test (crash or sanitizer report):"
    grep -E 'ERROR: |WARNING: ThreadSanitizer|runtime error:|SUMMARY:' "$log" | head -n 5 | sed 's/^/    /'
  fi
  PASSED=$((PASSED + p))
  FAILED=$((FAILED + f))
  echo "$name: passed $p, failed $f (log: ${log#"$KSF_ROOT"/})"
}

# ------------------------------------------------------------- install ----
if [[ $(id -u) != 0 ]]; then
  echo "test.sh installs packages and must run as root" >&2
fi
ksf_say "install ($(elapsed))"
ksf_install
stage "install" $?
ksf_wine_setup
ksf_say "Wine: $KSF_WINE_DESC"

# The include graph points down only (order in src/README.md).
scripts/check_layers.sh
stage "layers: no upward include under src/" $?

# The end-to-end suites spend most of their time waiting for the emulated
# drive (an update takes a minute of real time), so each runs in the
# background from the moment its build is there, while the other presets
# build and the other tests run.
declare -A BG_PID=()
# start_bg NAME TITLE CMD...: CMD in the background, its output in
# out/logs/NAME.log.
start_bg() {
  local name=$1 title=$2
  shift 2
  ksf_say "$title started in the background ($(elapsed))"
  "$@" >"$KSF_LOG_DIR/$name.log" 2>&1 &
  BG_PID[$name]=$!
}
# finish_bg NAME TITLE PATTERN: waits for it and counts its checks, showing
# its lines that match PATTERN; one never started (its build failed) is a
# failure.
finish_bg() {
  if [[ -z ${BG_PID[$1]:-} ]]; then
    stage "$2: not started (its build failed)" 1
    return
  fi
  ksf_say "waiting for $2 ($(elapsed))"
  wait "${BG_PID[$1]}"
  count_checks "$2" "$1" "$3"
}

# --------------------------------------------------------------- build ----
declare -A BUILT=()
for preset in $(ksf_all_presets); do
  ksf_say "build $preset ($(elapsed))"
  ksf_build "$preset"
  st=$?
  BUILT[$preset]=$st
  stage "build $preset" "$st"
  [[ $st == 0 ]] || tail -n 30 "$KSF_LOG_DIR/build-$preset.log"
  if [[ $preset == "$KSF_WIN_PRESET" && $st == 0 ]]; then
    # The real exe under Wine, driven by ksfauto (tests/e2e/run.sh).
    start_bg e2e "end-to-end under Wine ($KSF_WIN_PRESET build, $E2E_JOBS scenarios at a time)" \
      env E2E_SHOTS="$KSF_ROOT/out/e2e-shots" tests/e2e/run.sh -j "$E2E_JOBS"
  fi
  if [[ $preset == native && $st == 0 ]]; then
    # ksfupd against emulated drives, natively; the README's "Try ksfupd
    # without a drive" commands as written; ksfupd in a QEMU guest with the
    # drive behind the kernel's SCSI target (QEMU not starting is a failure).
    start_bg linux "ksfupd for Linux end to end" tests/e2e/linux.sh
    start_bg readme_try "the README's try commands" tests/e2e/readme_try.sh
    start_bg kernel "ksfupd on a real kernel (QEMU guest)" tests/e2e/kernel.sh
  fi
done

# ------------------------------------------------------------- release ----
# Two release builds in copies of the sources, compared byte for byte, then
# the hardening, the zip, the package, lintian, signing and the release exe
# under Wine (scripts/release_check.sh): in the background as well, from the
# moment the other builds are done.
start_bg release "release checks" scripts/release_check.sh

# ---------------------------------------------------- manifest, imports ----
# Each Windows build carries the manifest that asks for administrator rights,
# and imports only what the oldest Windows it runs on exports (Wine exports
# everything to every version: only the import table shows what Windows 95 or
# NT 4 would refuse to load).
for preset in win32 win64; do
  [[ ${BUILT[$preset]:-1} == 0 ]] || continue
  python3 tests/resources/check_manifest.py "build/$preset/ksfupd.exe" >"$KSF_LOG_DIR/manifest-$preset.log" 2>&1
  st=$?
  stage "manifest of the $preset build" "$st"
  [[ $st == 0 ]] || grep -v '^PASS' "$KSF_LOG_DIR/manifest-$preset.log" | sed 's/^/  /'
  python3 tests/resources/check_imports.py "build/$preset/ksfupd.exe" >"$KSF_LOG_DIR/imports-$preset.log" 2>&1
  st=$?
  stage "imports of the $preset build (tests/resources/windows_imports.txt)" "$st"
  [[ $st == 0 ]] || grep -v '^PASS' "$KSF_LOG_DIR/imports-$preset.log" | sed 's/^/  /'
done

# ---------------------------------------------------------- unit tests ----
ksf_say "unit tests ($(elapsed))"
gtest_run "unit (native)" "$KSF_LOG_DIR/unit-native.log" build/native/ksf_unit_tests --gtest_brief=1

ksf_say "unit tests under ASan+UBSan ($(elapsed))"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  gtest_run "unit (asan+ubsan)" "$KSF_LOG_DIR/unit-asan.log" build/native-asan/ksf_unit_tests --gtest_brief=1

# The whole binary is cheap in virtual time, so TSan sees every test, the
# worker/monitor ones with real threads among them.
ksf_say "unit tests under TSan ($(elapsed))"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  gtest_run "unit (tsan)" "$KSF_LOG_DIR/unit-tsan.log" build/native-tsan/ksf_unit_tests --gtest_brief=1

# -------------------------------------------------------------- fuzzing ----
ksf_say "fuzzers, ${FUZZ_SECONDS} s each ($(elapsed))"
mkdir -p out/fuzz
for src in tests/fuzz/*.cpp; do
  [[ -e $src ]] || continue
  name=$(basename "$src" .cpp)
  bin=build/native-clang/$name
  if [[ ! -x $bin ]]; then
    stage "fuzz $name: not built" 1
    continue
  fi
  "$bin" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=out/fuzz/ >"$KSF_LOG_DIR/fuzz-$name.log" 2>&1
  st=$?
  stage "fuzz $name ($(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$KSF_LOG_DIR/fuzz-$name.log") runs in ${FUZZ_SECONDS} s)" "$st"
  [[ $st == 0 ]] || grep -E 'ERROR|SUMMARY|artifact' "$KSF_LOG_DIR/fuzz-$name.log" | head -n 5
done

# ----------------------------------------------------------- benchmark ----
ksf_say "benchmark, once (figures only) ($(elapsed))"
if [[ -x build/native-clang/ksf_bench ]]; then
  build/native-clang/ksf_bench --benchmark_min_time=0.05 >"$KSF_LOG_DIR/bench.log" 2>&1 ||
    echo "  (benchmark exited with $?)"
  grep -vE '^\*\*\*|^$' "$KSF_LOG_DIR/bench.log" | sed 's/^/  /'
else
  echo "  ksf_bench not built"
fi

# count_checks TITLE LOG PATTERN: adds the PASS:/FAIL: lines of out/logs/LOG.log
# and shows its lines that match PATTERN.
count_checks() {
  local log="$KSF_LOG_DIR/$2.log" p f
  p=$(grep -c '^PASS: ' "$log")
  f=$(grep -c '^FAIL: ' "$log")
  grep -E "$3" "$log" | sed 's/^/  /'
  PASSED=$((PASSED + p))
  FAILED=$((FAILED + f))
  echo "$1: passed $p, failed $f (log: out/logs/$2.log)"
}

# ------------------------------------------------ background suites ----
finish_bg linux "ksfupd for Linux" '^FAIL: '
finish_bg readme_try "the README's try commands" '^FAIL: |^  \| '
finish_bg kernel "ksfupd on a real kernel" '^FAIL: |^  '
finish_bg e2e "end-to-end" '^FAIL: |^---- |^e2e: .* done after .*status [^0]|^e2e: .* build under |^e2e total'
finish_bg release "release" '^FAIL: |^two release builds|^release: '

echo "total time $(elapsed)"
echo "$PASSED passed, $FAILED failed"
((FAILED == 0))
