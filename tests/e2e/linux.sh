#!/bin/bash
# End-to-end checks of ksfupd for Linux: the real binary, natively, against
# emulated drives at the device level (the SG_IO preload library of sim/linux
# makes plain files in a scratch folder act as /dev/sgN nodes; KSFUPD_DEV_DIR
# points the program at that folder).  Each row of the table at the end is a
# case, run in parallel with the others; a full update takes about a minute of
# the program's own fixed waits.
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

# package ARGS...: the generated package in $C/pkg.
package() { python3 "$MAKE_PACKAGE" "$C/pkg" --ini-name KSFUPD.INI "$@"; }
flash_holds() { python3 "$MAKE_PACKAGE" "$C/pkg" --check-flash "$C/flash.bin" "$@"; }

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
trace_check() { python3 "$ROOT/tests/e2e/trace_check.py" "$@"; }
opcodes() { trace_check opcodes "$C/trace.txt" 2>/dev/null; }
# on_pty INPUT: as a RUN prefix, the program on an 80-column pseudo-terminal
# with INPUT typed ahead (printf escapes; end of input is typed after it); all
# it writes goes to $C/out, its process id to $C/pty.pid.  Killed after 180 s,
# so that a question nobody answers fails the case instead of hanging it.
on_pty() {
  # shellcheck disable=SC2016  # the quoted words are the inner shell's
  RUN=(bash -c 'printf "$0" | SHELL=/bin/bash timeout 180 script -qec "stty cols 80 rows 24; echo \$\$ >$1; exec $(printf "%q " "${@:2}")" /dev/null' "$1" "$C/pty.pid")
}
# first_block: waits up to 30 s for the first block write (builds may run beside).
first_block() {
  local i=0
  until grep -q ' EA ' "$C/trace.txt" 2>/dev/null || ((++i > 600)); do sleep 0.05; done
}
no_rights() {  # the node readable only, the program run as nobody
  chmod 755 "$C" "$C/dev"
  chmod 444 "$C/dev/sg0"
  install -m 666 /dev/null "$C/trace.txt"  # so that a command sent would be seen
  RUN=(setpriv --reuid=65534 --regid=65534 --clear-groups)
}
narrow() { ! trace_check screen "$C/out" | awk -F'|' '$1 > 80 { bad = 1 } END { exit !bad }'; }
cdbs_as_sent() {  # -v: one line per command, its CDB as the drive's trace has it
  [[ $(grep -E '^ *[0-9]+\.[0-9]{3}  [0-9A-F]{2}' "$C/err" | cut -c11-57 | sed 's/ *$//') == \
    "$(sed -E 's/^([^ ]+ ){3}//; s/ (in|out|none) .*//' "$C/trace.txt")" ]]
}

# DURING actions, run once the first block is written.
ctrl_c_twice() {
  kill -INT "$(cat "$C/pty.pid")" && sleep 0.3 && kill -INT "$(cat "$C/pty.pid")"
}
all_signals() {  # every ending or stopping signal
  local pid sig
  pid=$(cat "$C/pid")
  for sig in INT QUIT TERM HUP USR1 USR2 ALRM VTALRM PROF XCPU XFSZ TSTP TTIN TTOU; do kill -"$sig" "$pid"; done
  sleep 1
  check "still running (and not stopped) after every ending or stopping signal" \
    grep -q '^State:.*[RS] (' "/proc/$pid/status"
  kill -CONT "$pid"  # a stopped program would leave the case waiting
}
# logind: a private system bus with python-dbusmock's logind for the case.
locks() {
  DBUS_SYSTEM_BUS_ADDRESS=$BUS /usr/bin/python3 -c 'import dbus
print(len(dbus.SystemBus().get_object("org.freedesktop.login1", "/org/freedesktop/login1")
    .ListInhibitors(dbus_interface="org.freedesktop.login1.Manager")))'
}
logind() {
  local i=0
  BUS=unix:path=$C/bus
  dbus-daemon --session --nofork --address="$BUS" 2>/dev/null &
  local daemon=$!
  DBUS_SYSTEM_BUS_ADDRESS=$BUS /usr/bin/python3 -m dbusmock --system --template logind \
    -l "$C/logind.log" >/dev/null 2>&1 &
  # shellcheck disable=SC2064  # these two, when the case ends
  trap "kill $! $daemon" EXIT
  until locks >/dev/null 2>&1 || ((++i > 300)); do sleep 0.1; done
  DURING=while_held
}
while_held() {  # the drive and the machine held for the update
  local first=$C
  check "logind asked for a block lock on shutdown, sleep, idle and the keys, who ksfupd" \
    grep -qF 'Inhibit "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch" "ksfupd" "Writing firmware to '"$C"'/dev/sg0: interrupting the update can make the drive unusable." "block"' "$C/logind.log"
  check_eq "logind holds the lock during the flash" "$(locks)" 1
  C=$C/second
  mkdir -p "$C"
  cp -r "$first/pkg" "$first/sim.cfg" "$C/"
  ksfupd --device "$first/dev/sg0" --yes
  check_eq "a second ksfupd: exit status" "$(cat "$C/status")" 8
  check "a second ksfupd names the first" grep -qF "in use by another program: $(cat "$first/pid") (ksfupd)" "$C/err"
  check_eq "the second sent nothing" "$(opcodes)" ""
  C=$first
}

# verify CHECK: one check of the run, written as in the table's last column.
verify() {
  local t=$1 n
  # shellcheck disable=SC2016  # '!': the quoted words are eval's
  case $t in
    =*) check_eq "commands sent" "$(opcodes)" "${t#=}" ;;
    seq*) eval "check 'trace: the update sequence${t#seq}' trace_check sequence $C/trace.txt ${t#seq}" ;;
    flash*) eval "check 'flash holds the images' flash_holds ${t#flash}" ;;
    json) check "every line JSON; events in order; a block event per block" trace_check json "$C/out" ;;
    failed=*) check_eq "failed event" "$(trace_check text "$C/out" failed)" "${t#failed=}" ;;
    out=* | err=*) check_eq "standard ${t%%=*}put" "$(cat "$C/${t%%=*}")" "$(printf %b "${t#*=}")" ;;
    x:*) check "line '${t#x:}'" grep -qxF -- "${t#x:}" "$C/out" "$C/err" ;;
    '~'*) check "matches '${t#\~}'" grep -qE -- "${t#\~}" "$C/out" "$C/err" ;;
    '!'*) check "does not say '${t#!}'" eval '! grep -qF -- "${t#!}" "$C/out" "$C/err"' ;;
    '#'*)
      n=${t%% *}
      check_eq "lines matching '${t#* }'" "$(cat "$C/out" "$C/err" | grep -cE -- "${t#* }")" "${n#\#}"
      ;;
    scr*) check "on the screen: ${t#scr }" grep -qE -- "${t#scr }" <(trace_check screen "$C/out" 2>/dev/null) ;;
    '?'*) check "${t#\?}" eval "${t#\?}" ;;
    *) check "says '$t'" grep -qF -- "$t" "$C/out" "$C/err" ;;
  esac
}

# case ROW: the row's set-up, the run, then its checks.
run_case() {
  local pkg drv sim setup args st checks list t d job DURING=
  IFS='|' read -r NAME pkg drv sim setup args st checks <<<"$1"
  C=$WORK/$NAME
  mkdir -p "$C"
  eval "package $pkg"
  IFS=, read -ra d <<<"$drv"
  drives "${d[@]:-}"
  [[ -z $sim ]] || tr ';' '\n' <<<"$sim" >>"$C/sim.cfg"
  eval "$setup"
  eval "ksfupd $args" &
  job=$!
  if [[ -n $DURING ]]; then first_block && $DURING; fi
  wait "$job"
  check_eq "exit status" "$(cat "$C/status")" "$st"
  IFS=';' read -ra list <<<"$checks"
  for t in "${list[@]}"; do verify "$t"; done
}

# ------------------------------------------------------------------ cases
# NAME|PACKAGE|DRIVES|SIM|SET-UP|ARGUMENTS|STATUS|CHECKS, one case a line.
# PACKAGE: tools/make_package.py's arguments.  DRIVES: the drives' `drive`
# fields, one drive per comma (one plain drive when empty).  SIM: more lines of
# the emulated drive's configuration, split at ';'.  SET-UP: shell run before
# the program (RUN, on_pty, POSITIONAL; DURING names an action taken once the
# first block is written).  In all columns $C is the case's folder and $D
# "--device $C/dev/sg0".  CHECKS, split at ';', besides the exit status:
#   =OPCODES     the distinct opcodes the drive got, in order (= alone: none)
#   seq ARGS     the drive's trace is the update's (trace_check.py sequence)
#   flash ARGS   the flash holds the package's images
#   json         every output line JSON, a full update's events in order
#   failed=TEXT  the text of the --json `failed` event
#   out=/err=T   the whole standard output / error (\n between lines)
#   x:LINE  ~RE  !TEXT  a line, a match, no such text on standard output or error
#   #N RE        N lines of standard output and error match RE
#   scr RE       a line a terminal shows matches RE (WIDTH|LINE: match | with .)
#   ?COMMAND     the shell COMMAND succeeds
#   TEXT         standard output or error says TEXT
# LIST stands for the drive list's package and drives.
LIST='--pcb 5 --version 1.10|revision=1.00,byte0=0,product="CD-RW  TQ-900W  ",revision=1.02 board=7,revision=2.00'
read -r -d '' ROWS <<'EOF'
full_boot|--boot --pcb 7|board=3|||$D --yes|0|seq --boot --pcb;flash --boot;x:Wait... (Running Firmware upgrade procedure);x:  100%;Firmware update is completed.;Restart the computer;Sleep and shutdown cannot be held off
full_json|--no-restart||||$D --json --yes|0|seq;flash;json;~"event":"finished".*"restart_required":false
terminal_en|--boot|||on_pty ''; DURING=ctrl_c_twice|$D --yes --lang en|0|?narrow;scr ^[0-9]+.\[#+\] 15/15  done$;#1 received while;#1 held as well;#1 completed
terminal_ja|--boot|||on_pty ''|$D --yes --lang ja|0|?narrow;scr ^[0-9]+.\[#+\] 15/15  完了$
signal_held||||DURING=all_signals|$D --yes|0|#1 SIG[A-Z0-9]* received while the firmware is being written;SIGTERM received, held as well.;seq;flash
held||||logind|$D --yes --json|0|"event":"inhibit","held":true;?test "$(locks)" = 0
block|||refuse write=2 sense=09/86/00||$D --yes --json -v|1|failed=Flash rom check sum error. (Code 09-86-00);Firmware update is failed.;seq --upto EA@2;?cdbs_as_sent;~^ *[0-9.]+  EA 00 00 01 80 00 .* out +32768  status 02 sense 09/86/00  [0-9.]+ s$;~"event":"command".*"cdb":"EA .*"sense":"09/86/00"
dl2_boot|--boot||refuse cdb="F6 02" sense=05/24/00||$D --yes --json|1|failed=Target_Status: Check Condition;Firmware update is failed.;seq --boot --upto "F6 02"
dl2_main|--boot||refuse cdb="F6 02" nth=1 sense=05/24/00||$D --yes --json|1|failed=Target_Status: Check Condition;seq --boot --upto "F6 02@1"
commit_boot|--boot||refuse cdb="F5 00 00 00 00 00 00 0F" sense=04/40/F6||$D --yes --json|1|failed=Firmware Transfer data error. (Code 04-40-f6);seq --boot --upto "F5 00 00 00 00 00 00 0F"
commit_main|--boot||refuse cdb="F5 00 00 00 00 00 00 00 3F" sense=04/40/F5||$D --yes --json|1|failed=Firmware data error. (Code 04-40-f5);seq --boot --upto "F5 00 00 00 00 00 00 00 3F"
dl0|--boot||refuse cdb="F6 00" sense=04/40/F6||$D --yes --json|1|failed=Firmware Transfer data error. (Code 04-40-f6);seq --boot --upto "F6 00"
buffer1024|--buffer 1024||||$D --yes --json|0|"event":"finished";seq
attention|--boot|tray=loaded|attention eject=yes;attention command=14||$D --yes --json|0|"event":"finished";seq --boot --tray --resent "F6 02" --resent "EA 00 00 00 30 00"
attention2|||attention command=8;attention command=8||$D --yes --json|1|failed=Target_Status: Check Condition;seq --resent "F6 02" --upto "F6 02@1"
tray_open||tray=open|refuse write=0 sense=09/86/00||$D --yes|1|seq --upto EA@0 --tray
transport|||fail opcode=0xEA||$D --yes|1|Input/output error (host status DID_ERROR);?[[ $(tail -n 1 $C/trace.txt) == *' EA '* ]]
board|--pcb 3|board=7|||$D|5|This firmware upgrade does not apply to your drive.;=00 12 F5
model|--inquiry 'KESTRAN CD-R   TQ-999X  ;'|product="CD-R   TQ-999X  "|||$D|5|The drive isn't applicable to this firmware.;=00 12
later|--version 1.10|revision=2.00|||$D|5|The drive has 2.00, newer than this package's 1.10. Install 1.10 anyway?;=00 12
later_yes|--version 1.10|revision=2.00|||$D --yes --dry-run|0|(answered yes: --yes);=00 12
no_terminal|||refuse write=0 sense=09/86/00||$D|7|give --yes to continue;=00 12
consent_y|||refuse write=0 sense=09/86/00|on_pty 'y\n'|$D|1|to firmware 1.10? [y/N];=00 12 F6 EA;scr ^[0-9]+.Firmware update is failed\.$
consent_n|||refuse write=0 sense=09/86/00|on_pty 'n\n'|$D|7|Not confirmed: nothing was sent to the drive.;=00 12
consent_eof|||refuse write=0 sense=09/86/00|on_pty '\x04'|$D|7|Not confirmed;=00 12
dry_run|--boot|tray=open|||$D --dry-run|0|=00 12;x:  - The drive's tray opens (take the disc out).;x:  - The drive is switched to download mode.;x:  - 4 blocks of the boot image and 11 of the main image are sent.;The drive programs its flash itself for 45 s;!TEST UNIT READY;~It takes about [0-9]+ s
dry_run_v|--boot||||$D --dry-run -v|0|#15 write .* block .*flash 0x.*checksum 0x;x:  wait 45.0 s
version|||||--version|0|out=ksfupd 1.0.0
no_rights||||no_rights|$D|6|$C/dev/sg0 cannot be opened for reading and writing;CAP_SYS_RAWIO;=
scan_refused||||no_rights|--yes|6|$C/dev/sg0 cannot be opened for reading and writing;=
mounted||||mkdir -p $C/sys/class/scsi_generic/sg0/device/block/sr0 $C/proc/self; echo "36 29 11:0 / /media/cd\\040rom ro - iso9660 $C/dev/sr0 ro" >$C/proc/self/mountinfo; RUN=(env KSFUPD_PROC_DIR=$C/proc)|$D --yes --json|8|($C/dev/sr0) is mounted on /media/cd rom;!\n;=00 12
small_transfer||||RUN=(env KSF_SG_MAX_TRANSFER=16384)|$D --yes|5|takes at most 16384 bytes;=00 12
symlink||||mknod $C/dev/sr0 b 11 0; ln -s sr0 $C/dev/cdrom; mkdir -p $C/sys/dev/block/11:0/device/scsi_generic/sg0|--device $C/dev/cdrom --dry-run|0|$C/dev/sg0 [KESTRAN;Dry run finished;=00 12
no_sg_node||||mknod $C/dev/sr1 b 11 1|--device $C/dev/sr1|4|has no SCSI generic node;=
list|LIST|||--list|0|out=Drives for this package: (package version 1.10)\n  $C/dev/sg0 [KESTRAN CD-R   TQ-517T   1.00]  checks pass\n  $C/dev/sg3 [KESTRAN CD-R   TQ-517T   1.02]  refused: This firmware upgrade does not apply to your drive. Please visit Kestran Web Site to check availability of latest firmware for the drive you have.\n  $C/dev/sg4 [KESTRAN CD-R   TQ-517T   2.00]  refused: its firmware 2.00 is newer than the package's 1.10 (--yes installs it anyway);=00 12 F5
list_again|LIST||on_pty 'x\n9\n\x04'||4|#2 Type a number from the list
list_pick|LIST||on_pty '2\n'|--dry-run|5|This firmware upgrade does not apply to your drive.
list_any|LIST||rm -r $C/pkg; mkdir $C/pkg|--list|0|#4 ^  $C/dev/sg
list_several|LIST||||4|--device;=00 12
names_lower|--ini-name ksfupd.ini|||mv $C/pkg/TQ517T.BIN $C/pkg/tq517t.bin; POSITIONAL=|$D --dry-run|0|
names_other|--ini-name KESTFIRM.INI|||mv $C/pkg/TQ517T.BIN $C/pkg/Tq517T.Bin; POSITIONAL=|$D --dry-run|0|
names_exact||||echo broken >$C/pkg/ksfupd.ini; head -c 100 $C/pkg/TQ517T.BIN >$C/pkg/tq517t.bin; POSITIONAL=|$D --dry-run|0|
value_error|--version 1.100|||||3|~^$C/pkg/KSFUPD.INI: VERSION, line [0-9]+$
not_found||||rm -r $C/pkg; mkdir $C/pkg||3|err=INI file not found. (Code 1)\nNo KSFUPD.INI or kestfirm.ini in $C/pkg: give the package folder with --package.
ja_lang||||rm -r $C/pkg; mkdir $C/pkg|--lang ja|3|x:INIファイルが見つかりません。(Code 1)
ja_help||||RUN=(env LC_ALL= LANG=ja_JP.UTF-8)|--help|0|~^ksfupd は Kestran
ja_locale||||rm -r $C/pkg; mkdir $C/pkg; RUN=(env LC_ALL= LANG=ja_JP.UTF-8)||3|x:INIファイルが見つかりません。(Code 1)
EOF

# ------------------------------------------------------------------- run
if [[ ${1:-} == --list ]]; then
  cut -d'|' -f1 <<<"$ROWS"
  exit 0
fi
if [[ ! -x $BIN || ! -f $PRELOAD ]]; then
  echo "FAIL: linux: setup: ksfupd (${BIN}) or the preload library (${PRELOAD:-not found}) is missing"
  echo "linux total: passed 0, failed 1"
  exit 1
fi
WORK=$(mktemp -d /tmp/ksf-linux.XXXXXX)
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT
NAMES=()
while IFS= read -r row; do
  NAME=${row%%|*}
  (($#)) && [[ " $* " != *" $NAME "* ]] && continue
  NAMES+=("$NAME")
  row=${row/|LIST|/|$LIST|}
  [[ ${row//[^|]/} == '|||||||' ]] || echo "FAIL: linux $NAME: not 8 columns"
  row=${row//\$D/--device \$C/dev/sg0}
  (run_case "${row//\$C/$WORK/$NAME}") >"$WORK/$NAME.log" 2>&1 &
done <<<"$ROWS"
wait
((${#NAMES[@]})) || echo "FAIL: linux: no such case: $*"
for NAME in "${NAMES[@]}"; do cat "$WORK/$NAME.log"; done | tee "$WORK/all.log"
failed=$(grep -c '^FAIL: ' "$WORK/all.log")
echo "linux total: passed $(grep -c '^PASS: ' "$WORK/all.log"), failed $failed"
((failed == 0))
