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

CASES=(full_boot full_json terminal signal_held held refused_block transport_fault checks consent
  tray dry_run verbose no_rights refusals drive_list package_error)

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
not_in() { ! grep -qF -- "$2" "$1"; }

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
# that starts the program (another user, other variables, a terminal).
# sysfs is $C/sys; the system bus is $BUS, none by default.
RUN=()
POSITIONAL=--package  # empty: the package folder as the positional argument
ksfupd() {
  env LD_PRELOAD="$PRELOAD" KSF_SG_DEVICES="$SG_NODES" KSF_SIM_CONFIG="$C/sim.cfg" \
    KSF_SIM_TRACE="$C/trace.txt" KSF_SIM_FLASH="$C/flash.bin" KSFUPD_DEV_DIR="$C/dev" \
    KSFUPD_SYS_DIR="$C/sys" DBUS_SYSTEM_BUS_ADDRESS="${BUS:-unix:path=$C/no-bus}" \
    LC_ALL=C.UTF-8 "${RUN[@]}" "$BIN" ${POSITIONAL:+--package} "$C/pkg" "$@" >"$C/out" 2>"$C/err" </dev/null &
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
# on_pty INPUT: as a RUN prefix, the program on an 80-column pseudo-terminal
# with INPUT typed ahead (\x04 ends the input); everything it writes goes to $C/out.
on_pty() {
  RUN=(python3 "$ROOT/tests/e2e/pty_run.py" "$1")
}
# first_block: waits up to 30 s for the first block write (builds may run beside).
first_block() {
  local i=0
  until grep -q ' EA ' "$C/trace.txt" 2>/dev/null || ((++i > 600)); do sleep 0.05; done
}
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
  check "no system bus: told, and the update went on" contains "$C/err" "Sleep and shutdown cannot be held off"
}

case_full_json() {  # main image only, no restart wanted, --json
  one_drive --no-restart
  exits 0 --device "$C/dev/sg0" --json --yes
  check "trace: the whole command sequence without boot image" sequence
  check "flash holds the main image" flash_holds
  check "every line is JSON; events in order; a block event per block" trace_check json "$C/out"
  check "finished without restart" grep -q '"event":"finished".*"restart_required":false' "$C/out"
}

# Full updates on an 80-column terminal, English (two Ctrl-C during the flash)
# and Japanese: no line wider, each message on a line of its own.
case_terminal() {
  local lang first=$C
  for lang in en ja; do
    C=$first/$lang
    mkdir -p "$C"
    package --boot
    drives ""
    on_pty ""
    ksfupd --device "$C/dev/sg0" --yes --lang $lang &
  done
  C=$first/en
  first_block
  for lang in 1 2; do kill -INT "$(pgrep -P "$(cat "$C/pid")")" && sleep 0.3; done
  wait
  for lang in en ja; do
    C=$first/$lang
    check_eq "$lang: exit status" "$(status)" 0
    check_eq "$lang: no line over 80 columns" "$(trace_check screen "$C/out" | awk -F'|' '$1 > 80')" ""
    check "$lang: the finished bar says done, once" grep -qE '^[0-9]+\|\[#+\] 15/15  (done|完了)$' <(trace_check screen "$C/out")
  done
  C=$first/en
  check_eq "one long notice, one short line" \
    "$(grep -c 'received while' "$C/out") $(grep -c 'held as well' "$C/out")" "1 1"
  check_eq "completed once" "$(grep -c 'completed' "$C/out")" 1
}

case_signal_held() {  # INT, QUIT, TERM and HUP during the flash are held
  one_drive
  ksfupd --device "$C/dev/sg0" --yes &
  local pid=$! target sig
  first_block
  target=$(cat "$C/pid")
  for sig in INT QUIT TERM HUP USR1 USR2 ALRM VTALRM PROF XCPU XFSZ TSTP TTIN TTOU; do
    kill -"$sig" "$target"
  done
  sleep 1
  check "still running (and not stopped) after every ending or stopping signal" \
    grep -q '^State:.*[RS] (' "/proc/$target/status"
  kill -CONT "$target"  # a stopped program would leave the case waiting
  wait "$pid"
  check_eq "exit status: the update's own" "$(status)" 0
  check_eq "told why once (the first signal taken)" \
    "$(grep -c 'SIG[A-Z0-9]* received while the firmware is being written' "$C/err")" 1
  check "later ones in one line each" contains "$C/err" "SIGTERM received, held as well."
  check "trace: the whole sequence despite the signals" sequence
  check "flash holds the main image" flash_holds
}

case_held() {  # the drive and the machine held for the update, let go at its end
  one_drive
  BUS=unix:path=$C/bus
  dbus-daemon --session --nofork --address="$BUS" 2>/dev/null &
  local daemon=$! mock pid first=$C
  DBUS_SYSTEM_BUS_ADDRESS=$BUS /usr/bin/python3 -m dbusmock --system --template logind \
    -l "$C/logind.log" >/dev/null 2>&1 &
  mock=$!
  local i=0 list=(/usr/bin/python3 -c 'import dbus
print(len(dbus.SystemBus().get_object("org.freedesktop.login1", "/org/freedesktop/login1")
    .ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")))')
  until DBUS_SYSTEM_BUS_ADDRESS=$BUS "${list[@]}" >/dev/null 2>&1 || ((++i > 300)); do sleep 0.1; done
  ksfupd --device "$C/dev/sg0" --yes --json &
  pid=$!
  first_block
  check "logind asked for a block lock on shutdown, sleep, idle and the keys, who ksfupd" \
    grep -qF 'Inhibit "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch" "ksfupd" "Writing firmware to '"$C"'/dev/sg0: interrupting the update can make the drive unusable." "block"' "$C/logind.log"
  check_eq "logind holds the lock during the flash" "$(DBUS_SYSTEM_BUS_ADDRESS=$BUS "${list[@]}")" 1
  check "a second opener of the node is refused (EBUSY)" env LD_PRELOAD="$PRELOAD" \
    KSF_SG_DEVICES="$SG_NODES" python3 -c 'import errno, os, sys
try: os.open(sys.argv[1], os.O_RDWR)
except OSError as e: sys.exit(e.errno != errno.EBUSY)
sys.exit(1)' "$C/dev/sg0"
  C=$C/second
  mkdir -p "$C"
  cp -r "$first/pkg" "$first/sim.cfg" "$C/"
  exits 8 --device "$first/dev/sg0" --yes
  check "a second ksfupd names the first" contains "$C/err" "in use by another program: $(cat "$first/pid") (ksfupd)"
  check_eq "the second sent nothing" "$(opcodes)" ""
  C=$first
  wait "$pid"
  check_eq "the update ended well" "$(status)" 0
  check "the lock was reported held" grep -q '"event":"inhibit","held":true' "$C/out"
  check_eq "logind holds no lock of ours afterwards" "$(DBUS_SYSTEM_BUS_ADDRESS=$BUS "${list[@]}")" 0
  kill "$mock" "$daemon"
}

# Each row a drive of its own, run side by side: a refused command that
# changes the drive ends the update as failed (status 1, the device's text)
# with nothing sent after it; a unit attention is answered by one resend; a
# BUFFERSIZE whose total the counter never reaches still completes.
refused_row() {  # ID PACKAGE_ARGS DRIVE_FIELDS STATEMENTS STATUS TEXT SEQUENCE_ARGS
  local id=$1 st=$5 C=$WORK/$NAME-$1
  mkdir -p "$C"
  eval "package $2"
  drives "$3"
  tr ';' '\n' <<<"$4" >>"$C/sim.cfg"
  ksfupd --device "$C/dev/sg0" --json --yes
  check_eq "$id: exit status" "$(status)" "$st"
  if ((st == 0)); then
    check "$id: finished" grep -q '"event":"finished"' "$C/out"
  else
    check_eq "$id: failed event with the device's text" "$(trace_check text "$C/out" failed)" "$6"
    check "$id: the failure on standard error" contains "$C/err" "Firmware update is failed."
  fi
  eval "check \"$id: trace\" sequence $7"
}
case_refused_block() {
  local id pkg fields extra st text seq
  while IFS='|' read -r id pkg fields extra st text seq; do
    refused_row "$id" "$pkg" "$fields" "$extra" "$st" "$text" "$seq" >"$WORK/$NAME-$id.log" 2>&1 &
  done <<'EOF'
block|||refuse write=2 sense=09/86/00|1|Flash rom check sum error. (Code 09-86-00)|--upto-block 2
dl2_boot|--boot||refuse cdb="F6 02" sense=05/24/00|1|Target_Status: Check Condition|--boot --upto "F6 02"
dl2_main|--boot||refuse cdb="F6 02" nth=1 sense=05/24/00|1|Target_Status: Check Condition|--boot --upto "F6 02@1"
commit_boot|--boot||refuse cdb="F5 00 00 00 00 00 00 0F" sense=04/40/F6|1|Firmware Transfer data error. (Code 04-40-f6)|--boot --upto "F5 00 00 00 00 00 00 0F"
commit_main|--boot||refuse cdb="F5 00 00 00 00 00 00 00 3F" sense=04/40/F5|1|Firmware data error. (Code 04-40-f5)|--boot --upto "F5 00 00 00 00 00 00 00 3F"
dl0|--boot||refuse cdb="F6 00" sense=04/40/F6|1|Firmware Transfer data error. (Code 04-40-f6)|--boot --upto "F6 00"
buffer1024|--buffer 1024|||0||
attention|--boot|tray=loaded|attention eject=yes;attention command=14|0||--boot --tray --resent "F6 02" --resent "EA 00 00 00 30 00"
attention2|||attention command=8;attention command=8|1|Target_Status: Check Condition|--resent "F6 02" --upto "F6 02@1"
EOF
  wait
  cat "$WORK/$NAME"-*.log
}

case_transport_fault() {  # a block write that fails below the drive: SG_IO itself fails
  one_drive
  echo "fail opcode=0xEA" >>"$C/sim.cfg"
  exits 1 --device "$C/dev/sg0" --yes
  check "the errno's text, the host status named as the kernel names it" \
    contains "$C/err" "Input/output error (host status DID_ERROR)"
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
later|--version 1.10|revision=2.00|5|The drive has 2.00, newer than this package's 1.10. Install 1.10 anyway?|00 12
later-yes|--version 1.10|revision=2.00|0|(answered yes: --yes)|00 12
EOF
}

case_consent() {  # only y or yes on a terminal, or --yes, lets the update start
  local id input st want ops
  while IFS='|' read -r id input st want ops; do
    C=$WORK/$NAME-$id
    one_drive
    echo "refuse write=0 sense=09/86/00" >>"$C/sim.cfg"  # the first block ends it
    RUN=()
    [[ $id == no-terminal ]] || on_pty "$input"
    ksfupd --device "$C/dev/sg0"
    check_eq "$id: exit status" "$(status)" "$st"
    check "$id: says so" grep -qF -- "$want" "$C/out" "$C/err"
    check_eq "$id: commands sent" "$(opcodes)" "$ops"
    [[ $id == y ]] && check "y: the refused block's text on a line of its own" \
      grep -qx '[0-9]*|Firmware update is failed.' <(trace_check screen "$C/out")
  done <<'EOF'
no-terminal||7|give --yes to continue|00 12
y|y\n|1|to firmware 1.10? [y/N]|00 12 F6 EA
n|n\n|7|Not confirmed: nothing was sent to the drive.|00 12
eof|\x04|7|Not confirmed|00 12
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
  check "plain words: tray, blocks, 45 s" grep -qzF "tray opens (take the disc out).
  - The drive is switched to download mode.
  - 4 blocks of the boot image and 11 of the main image are sent.
  - The drive programs its flash itself for 45 s" "$C/out"
  check "plain words: no SCSI" not_in "$C/out" "TEST UNIT READY"
  check "how long" grep -q "It takes about [0-9]* s" "$C/out"
  exits 0 --device "$C/dev/sg0" --dry-run -v
  check_eq "verbose plan: 15 blocks" "$(grep -c 'write .* block .*flash 0x.*checksum 0x' "$C/out")" 15
  check "verbose plan: the 45 s wait" grep -qx "  wait 45.0 s" "$C/out"
}

case_verbose() {  # -v: every command with its CDB; the refused block with its sense
  one_drive
  echo "refuse write=2 sense=09/86/00" >>"$C/sim.cfg"
  exits 1 --device "$C/dev/sg0" --yes -v
  check_eq "one line per command, CDB as sent" "$(grep -E '^ *[0-9]+\.[0-9]{3}  [0-9A-F]{2}' "$C/err" | cut -c11-57 | sed 's/ *$//')" "$(sed -E 's/^([^ ]+ ){3}//; s/ (in|out|none) .*//' "$C/trace.txt")"
  check "the refused block with its sense" grep -qE '^ *[0-9.]+  EA 00 00 01 80 00 .* out +32768  status 02 sense 09/86/00  [0-9.]+ s$' "$C/err"
  exits 1 --device "$C/dev/sg0" --yes -v --json
  check "command events with --json" grep -q '"event":"command".*"cdb":"EA .*"sense":"09/86/00"' "$C/out"
  exits 0 --version
  check_eq "--version" "$(cat "$C/out")" "ksfupd 1.0.0"
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

case_refusals() {  # refused before anything that changes the drive is sent
  local id setup args st want ops
  while IFS='|' read -r id setup args st want ops; do
    C=$WORK/$NAME-$id
    one_drive
    RUN=()
    eval "$setup"
    eval "ksfupd $args"
    check_eq "$id: exit status" "$(status)" "$st"
    check "$id: says why" grep -qF -- "$(eval echo "\"$want\"")" "$C/out" "$C/err"
    check_eq "$id: commands sent" "$(opcodes)" "$ops"
  done <<'EOF'
mounted|mkdir -p $C/sys/class/scsi_generic/sg0/device/block/sr0 $C/proc/self; echo "36 29 11:0 / /media/cd\\040rom ro - iso9660 $C/dev/sr0 ro" >$C/proc/self/mountinfo; RUN=(env KSFUPD_PROC_DIR=$C/proc)|--device $C/dev/sg0 --yes|8|($C/dev/sr0) is mounted on /media/cd rom|00 12
small-transfer|RUN=(env KSF_SG_MAX_TRANSFER=16384)|--device $C/dev/sg0 --yes|5|takes at most 16384 bytes|00 12
block-node|mknod $C/dev/sr0 b 11 0; mkdir -p $C/sys/dev/block/11:0/device/scsi_generic/sg0|--device $C/dev/sr0 --dry-run|0|Dry run finished|00 12
symlink|mknod $C/dev/sr0 b 11 0; ln -s sr0 $C/dev/cdrom; mkdir -p $C/sys/dev/block/11:0/device/scsi_generic/sg0|--device $C/dev/cdrom --dry-run|0|$C/dev/sg0 [KESTRAN|00 12
no-sg-node|mknod $C/dev/sr1 b 11 1|--device $C/dev/sr1|4|has no SCSI generic node|
scan-refused|chmod 755 $C $C/dev; chmod 444 $C/dev/sg0; install -m 666 /dev/null $C/trace.txt; RUN=(setpriv --reuid=65534 --regid=65534 --clear-groups)|--yes|6|$C/dev/sg0 cannot be opened for reading and writing|
EOF
}

case_drive_list() {  # the scan: matches in node order, the rest left out; the checks' verdicts
  package --pcb 5 --version 1.10
  drives "revision=1.00" "byte0=0" 'product="CD-RW  TQ-900W  "' "revision=1.02 board=7" "revision=2.00"
  exits 0 --list
  check_eq "the matching drives with the checks' verdicts" "$(cat "$C/out")" \
    "Drives for this package: (package version 1.10)
  $C/dev/sg0 [KESTRAN CD-R   TQ-517T   1.00]  checks pass
  $C/dev/sg3 [KESTRAN CD-R   TQ-517T   1.02]  refused: This firmware upgrade does not apply to your drive. Please visit Kestran Web Site to check availability of latest firmware for the drive you have.
  $C/dev/sg4 [KESTRAN CD-R   TQ-517T   2.00]  refused: its firmware 2.00 is newer than the package's 1.10 (--yes installs it anyway)"
  check_eq "listing only reads" "$(opcodes | tr ' ' '\n' | sort -u | tr '\n' ' ')" "00 12 F5 "
  on_pty 'x\n9\n\x04'
  ksfupd
  check "the drive prompt asks again on a wrong answer, until end of input" \
    test "$(grep -c 'Type a number from the list' "$C/out")" = 2 -a "$(status)" = 4
  : >"$C/trace.txt"
  on_pty '2\n'
  ksfupd --dry-run
  check "a right answer picks the drive" grep -q "]: $C/dev/sg3 \[KESTRAN" "$C/out"
  RUN=()
  mv "$C/pkg" "$C/nopkg"
  mkdir "$C/pkg"
  exits 0 --list
  check_eq "without a package: every CD-ROM-class drive" "$(grep -c "^  $C/dev/sg" "$C/out")" 4
  rm -r "$C/pkg"
  mv "$C/nopkg" "$C/pkg"
  : >"$C/trace.txt"
  ksfupd
  check_eq "several matches, no terminal: no choice made" "$(status)" 4
  check "asks for --device" contains "$C/err" "--device"
  check_eq "nothing but identification sent" "$(opcodes)" "00 12"
}

case_package_error() {  # the coded texts, in both languages, with the detail; names in any case
  local ini img
  drives ""
  while read -r ini img; do  # Windows names in another case found, the exact name first
    package --ini-name "$ini"
    [[ $img == TQ517T.BIN ]] || mv "$C/pkg/TQ517T.BIN" "$C/pkg/$img"
    if [[ $ini == KSFUPD.INI ]]; then
      echo broken >"$C/pkg/ksfupd.ini"
      head -c 100 "$C/pkg/$img" >"$C/pkg/tq517t.bin"
    fi
    POSITIONAL= exits 0 --device "$C/dev/sg0" --dry-run
    rm -rf "$C/pkg"
  done <<'EOF'
ksfupd.ini tq517t.bin
KESTFIRM.INI Tq517T.Bin
KSFUPD.INI TQ517T.BIN
EOF
  package --version 1.100
  exits 3
  check "a value error names the file, key and line" grep -qx "$C/pkg/KSFUPD.INI: VERSION, line [0-9]*" "$C/err"
  rm -rf "$C/pkg"
  mkdir -p "$C/pkg"
  exits 3
  check_eq "coded text, the folder and a hint" "$(cat "$C/err")" "INI file not found. (Code 1)
No KSFUPD.INI or kestfirm.ini in $C/pkg: give the package folder with --package."
  ksfupd --lang ja
  check_eq "Japanese with --lang ja, UTF-8" "$(head -n 1 "$C/err")" "INIファイルが見つかりません。(Code 1)"
  RUN=(env LC_ALL= LANG=ja_JP.UTF-8)
  ksfupd --help
  check "Japanese help from the locale" grep -q "^ksfupd は Kestran" "$C/out"
  ksfupd
  check_eq "Japanese from the locale" "$(head -n 1 "$C/err")" "INIファイルが見つかりません。(Code 1)"
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
