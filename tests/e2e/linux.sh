#!/bin/bash
# End-to-end checks of ksfupd for Linux: the real binary, natively, against
# emulated drives at the device level (the SG_IO preload library of sim/linux
# makes plain files in a scratch folder act as /dev/sgN nodes; KSFUPD_DEV_DIR
# points the program at that folder).  Cases run in parallel; a full update
# takes about a minute of the program's own fixed waits.
#
#   tests/e2e/linux.sh [CASE...]        (--list names the cases)
#
# Prints "PASS: linux CASE: ..." / "FAIL: linux CASE: ..." lines, then
# "linux total: passed N, failed M"; exit status 1 when anything failed.
# KSFUPD_BIN and KSF_SG_PRELOAD override the binary and the preload library.
set -u
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BIN=${KSFUPD_BIN:-$ROOT/build/native/ksfupd}
PRELOAD=${KSF_SG_PRELOAD:-$(find "$ROOT/build/native" -path '*x86_64-linux-gnu/libksfsg.so' 2>/dev/null | head -n 1)}
MAKE_PACKAGE="$ROOT/tools/make_package.py"

CASES=(full_boot full_json signal_held refused_block transport_fault checks tray dry_run
  no_rights drive_list package_error)

if [[ ${1:-} == --list ]]; then
  printf '%s\n' "${CASES[@]}"
  exit 0
fi
(($#)) && CASES=("$@")

if [[ ! -x $BIN || ! -f $PRELOAD ]]; then
  echo "FAIL: linux: setup: ksfupd (${BIN}) or the preload library (${PRELOAD:-not found}) is missing"
  echo "linux total: passed 0, failed 1"
  exit 1
fi

WORK=$(mktemp -d /tmp/ksf-linux.XXXXXX)
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT

# ---------------------------------------------------------------- helpers
# Inside a case: C is its folder, NAME its name.
pass() { echo "PASS: linux $NAME: $1"; }
fail() { echo "FAIL: linux $NAME: $1${2:+ ($2)}"; }
check() {  # DESCRIPTION COMMAND...
  if "${@:2}" >/dev/null 2>&1; then pass "$1"; else fail "$1"; fi
}
check_eq() {  # DESCRIPTION GOT WANT
  if [[ $2 == "$3" ]]; then pass "$1"; else fail "$1" "got '$2', expected '$3'"; fi
}
contains() { grep -qF -- "$2" "$1"; }

# package ARGS...: the generated package in $C/pkg.
package() { python3 "$MAKE_PACKAGE" "$C/pkg" --ini-name KSFUPD.INI "$@"; }

# drives LINE...: one emulated node per line, $C/dev/sg0, sg1, ...; each LINE
# is the rest of a `drive` line of the emulated drive's configuration.
drives() {
  local n=0 line
  mkdir -p "$C/dev"
  echo "adapter targets=16" >"$C/sim.cfg"
  SG_NODES=
  for line in "$@"; do
    : >"$C/dev/sg$n"
    SG_NODES+="${SG_NODES:+:}$C/dev/sg$n"
    echo "drive target=$((++n)) $line" >>"$C/sim.cfg"
  done
}
# one_drive ARGS...: the package made with ARGS, one drive of the default identity.
one_drive() {
  package "$@"
  drives ""
}

# ksfupd ARGS...: runs the program on the emulated nodes; standard output,
# standard error and the exit status in $C/out, $C/err, $C/status.
# The program's process id goes to $C/pid.  RUN, when set, is the command
# that starts the program (another user, other locale variables).
RUN=()
ksfupd() {
  env LD_PRELOAD="$PRELOAD" KSF_SG_DEVICES="$SG_NODES" KSF_SIM_CONFIG="$C/sim.cfg" \
    KSF_SIM_TRACE="$C/trace.txt" KSF_SIM_FLASH="$C/flash.bin" KSFUPD_DEV_DIR="$C/dev" \
    LC_ALL=C.UTF-8 "${RUN[@]}" "$BIN" --package "$C/pkg" "$@" >"$C/out" 2>"$C/err" </dev/null &
  echo $! >"$C/pid"
  wait $!
  echo $? >"$C/status"
}
status() { cat "$C/status"; }
# exits WANT ARGS...: ksfupd ARGS, then the check that it exited with WANT.
exits() {
  ksfupd "${@:2}"
  check_eq "exit status" "$(status)" "$1"
}
trace_check() { python3 "$ROOT/tests/e2e/trace_check.py" "$@"; }
sequence() { trace_check sequence "$C/trace.txt" "$@"; }
opcodes() { trace_check opcodes "$C/trace.txt" 2>/dev/null; }
flash_holds() { python3 "$MAKE_PACKAGE" "$C/pkg" --check-flash "$C/flash.bin" "$@"; }

# ------------------------------------------------------------------ cases
case_full_boot() {  # boot and main image, board version check, plain lines
  package --boot --pcb 7
  drives "board=3"
  exits 0 --device "$C/dev/sg0" --yes
  check "trace: the whole command sequence, byte for byte" sequence --boot --pcb
  check "flash holds the boot and main images" flash_holds --boot
  check "status texts as progress lines" grep -qx "Wait... (Running Firmware upgrade procedure)" "$C/out"
  check "progress lines of the transfer" grep -qx "  100%" "$C/out"
  check "completion text" contains "$C/out" "Firmware update is completed."
  check "restart notice" contains "$C/out" "Restart the computer"
}

case_full_json() {  # main image only, no restart wanted, --json
  one_drive --no-restart
  exits 0 --device "$C/dev/sg0" --json --yes
  check "trace: the whole command sequence without boot image" sequence
  check "flash holds the main image" flash_holds
  check "every line is JSON; events in order; a block event per block" trace_check json "$C/out"
  check "finished without restart" grep -q '"event":"finished".*"restart_required":false' "$C/out"
}

case_signal_held() {  # INT, QUIT, TERM and HUP during the flash are held
  one_drive
  ksfupd --device "$C/dev/sg0" --yes &
  local pid=$! i=0 target sig
  # the first block write, waited for up to 30 s: builds may run beside
  until grep -q ' EA ' "$C/trace.txt" 2>/dev/null || ((++i > 600)); do sleep 0.05; done
  target=$(cat "$C/pid")
  for sig in INT QUIT TERM HUP; do kill -"$sig" "$target"; done
  sleep 1
  check "still running after INT, QUIT, TERM and HUP" kill -0 "$target"
  wait "$pid"
  check_eq "exit status: the update's own" "$(status)" 0
  check "told why (SIGINT)" contains "$C/err" "SIGINT received while the firmware is being written"
  check "told about SIGTERM too" contains "$C/err" "SIGTERM received"
  check "trace: the whole sequence despite the signals" sequence
  check "flash holds the main image" flash_holds
}

case_refused_block() {  # the drive refuses the third main block
  one_drive
  echo "refuse write=2 sense=09/86/00" >>"$C/sim.cfg"
  exits 1 --device "$C/dev/sg0" --json --yes
  check "failure text on standard error" contains "$C/err" "Firmware update is failed."
  check "trace: nothing sent after the refused block" sequence --upto-block 2
  local text
  text=$(trace_check text "$C/out" failed)
  check "failed event with the device's text" test -n "$text"
  check "the same text on standard error" contains "$C/err" "$text"
}

case_transport_fault() {  # a block write that fails below the drive: SG_IO itself fails
  one_drive
  echo "fail opcode=0xEA" >>"$C/sim.cfg"
  exits 1 --device "$C/dev/sg0" --yes
  check "the system error's text (EIO, as Wine reports it)" \
    contains "$C/err" "System error (Win32): Code 21"
  check_eq "nothing sent after the failed block" "$(tail -n 1 "$C/trace.txt" | grep -c ' EA ')" 1
}

case_checks() {  # each pre-update check refuses, nothing written
  local id pkg cfg want ops st
  while IFS='|' read -r id pkg cfg st want ops; do
    C=$WORK/$NAME-$id
    eval "package $pkg"
    drives "$cfg"
    # shellcheck disable=SC2046
    ksfupd --device "$C/dev/sg0" $([[ $id == later-yes ]] && echo --yes --dry-run)
    check_eq "$id: exit status" "$(status)" "$st"
    check "$id: says why" grep -qF -- "$want" "$C/out" "$C/err"
    check_eq "$id: commands sent" "$(opcodes)" "$ops"
  done <<'EOF'
board|--pcb 3|board=7|5|This firmware upgrade does not apply to your drive.|00 12 F5
model|--inquiry 'KESTRAN CD-R   TQ-999X  ;'|product="CD-R   TQ-999X  "|5|The drive isn't applicable to this firmware.|00 12
later|--version 1.10|revision=2.00|5|give --yes to continue|00 12
later-yes|--version 1.10|revision=2.00|0|(answered yes: --yes)|00 12
EOF
}

case_tray() {  # the tray is opened unless it is closed and empty
  local tray want
  while read -r tray want; do
    C=$WORK/$NAME-$tray
    package
    drives "tray=$tray"
    echo "refuse write=0 sense=09/86/00" >>"$C/sim.cfg"
    ksfupd --device "$C/dev/sg0" --yes
    # shellcheck disable=SC2086
    check "tray $tray: START STOP UNIT $([[ -n $want ]] && echo sent || echo 'not sent')" \
      sequence --upto-block 0 $want
  done <<'EOF'
open --tray
loaded --tray
closed
EOF
}

case_dry_run() {  # the plan; only commands that change nothing reach the drive
  package --boot
  drives "tray=open"
  exits 0 --device "$C/dev/sg0" --dry-run
  check_eq "only TEST UNIT READY and INQUIRY sent" "$(opcodes)" "00 12"
  check "flash untouched" python3 -c 'import sys; sys.exit(any(b != 255 for b in open(sys.argv[1], "rb").read()))' "$C/flash.bin"
  check_eq "plan: 15 blocks" "$(grep -c 'write .* block .*flash 0x.*checksum 0x' "$C/out")" 15
  check "plan: the tray would be opened" grep -q "open the tray" "$C/out"
  check "plan: the 45 s wait" grep -qx "  wait 45.0 s" "$C/out"
}

case_no_rights() {  # a node that does not open read-write: named, nothing sent
  one_drive
  chmod 755 "$C" "$C/dev"
  chmod 444 "$C/dev/sg0"
  install -m 666 /dev/null "$C/trace.txt"  # so that a command sent would be seen
  RUN=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  exits 6 --device "$C/dev/sg0"
  check "names the node and the rights" grep -q "$C/dev/sg0 cannot be opened for reading and writing" "$C/err"
  check "says what to do" contains "$C/err" "CAP_SYS_RAWIO"
  check_eq "nothing sent" "$(opcodes)" ""
}

case_drive_list() {  # the scan: matches in node order, the rest left out
  package
  drives "revision=1.00" "byte0=0" 'product="CD-RW  TQ-900W  "' "revision=1.02"
  exits 0 --list
  check_eq "the two matching drives with their display texts" "$(tail -n +2 "$C/out")" \
    "  $C/dev/sg0 [KESTRAN CD-R   TQ-517T   1.00]
  $C/dev/sg3 [KESTRAN CD-R   TQ-517T   1.02]"
  ksfupd
  check_eq "several matches, no terminal: no choice made" "$(status)" 4
  check "asks for --device" contains "$C/err" "--device"
  check_eq "nothing but identification sent" "$(opcodes)" "00 12"
}

case_package_error() {  # the coded texts, in both languages
  mkdir -p "$C/pkg"
  drives ""
  exits 3
  check_eq "coded text" "$(cat "$C/err")" "INI file not found. (Code 1)"
  ksfupd --lang ja
  check_eq "Japanese with --lang ja, UTF-8" "$(cat "$C/err")" "INIファイルが見つかりません。(Code 1)"
  RUN=(env LC_ALL= LANG=ja_JP.UTF-8)
  ksfupd
  check_eq "Japanese from the locale" "$(cat "$C/err")" "INIファイルが見つかりません。(Code 1)"
}

# ------------------------------------------------------------------- run
for NAME in "${CASES[@]}"; do
  (
    C=$WORK/$NAME
    mkdir -p "$C"
    if declare -F "case_$NAME" >/dev/null; then "case_$NAME"; else fail "no such case"; fi
  ) >"$WORK/$NAME.log" 2>&1 &
done
wait
for NAME in "${CASES[@]}"; do cat "$WORK/$NAME.log"; done | tee "$WORK/all.log"
failed=$(grep -c '^FAIL: ' "$WORK/all.log")
echo "linux total: passed $(grep -c '^PASS: ' "$WORK/all.log"), failed $failed"
((failed == 0))
