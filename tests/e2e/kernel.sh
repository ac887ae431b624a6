#!/bin/bash
# ksfupd on a real Linux kernel: Debian's cloud kernel boots under QEMU (no
# KVM needed) with a busybox initramfs; the emulated drive runs in the guest
# as a handler of the kernel's user-space SCSI target (build/native/
# ksf-tcmu-drive), so ksfupd meets the real sg driver, SCSI midlayer, sr,
# sysfs and device nodes.  tests/e2e/kernel_guest.sh runs the cases in the
# guest; this script builds the guest, boots it and judges what comes back
# (a tar archive on a virtio disk) with the same reference checks as the
# other suites.  Three updates run at once, so the whole takes about two
# minutes.
#
#   tests/e2e/kernel.sh
#
# Prints "PASS: kernel CASE: ..." / "FAIL: kernel CASE: ..." lines, then
# "kernel total: passed N, failed M"; exit status 1 when anything failed,
# QEMU not starting included.
set -u
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
source "$ROOT/scripts/common.sh"
BIN=${KSFUPD_BIN:-$ROOT/build/native/ksfupd}
HANDLER=$ROOT/build/native/ksf-tcmu-drive
PRELOAD=$(find "$ROOT/build/native" -path '*x86_64-linux-gnu/libksfsg.so' 2>/dev/null | head -n 1)
MAKE_PACKAGE="$ROOT/tools/make_package.py"
W=$(mktemp -d /tmp/ksf-kernel.XXXXXX)
trap '[[ -n ${KSF_KEEP:-} ]] || rm -rf "$W"' EXIT
START=$SECONDS

setup_failed() {
  echo "FAIL: kernel setup: $1"
  echo "kernel total: passed 0, failed 1"
  exit 1
}
[[ -x $BIN && -x $HANDLER && -f $PRELOAD ]] ||
  setup_failed "ksfupd, ksf-tcmu-drive or libksfsg.so is missing: build the native preset"
mkdir -p "$KSF_LOG_DIR"
KDIR=$(ksf_kernel 2>"$W/kernel.log") || setup_failed "the kernel package: $(tail -n 3 "$W/kernel.log")"

# ------------------------------------------------------------ the guest ----
I=$W/root
gcc -O2 -Wall -Wextra -Werror -o "$W/kernel_probe" "$ROOT/tests/e2e/kernel_probe.c" ||
  setup_failed "kernel_probe does not build"
"$ROOT/scripts/guest_root.sh" "$I" "$KDIR" "$ROOT/tests/e2e/kernel_guest.sh" \
  "$BIN" "$HANDLER" "$W/kernel_probe" -- sr_mod sg target_core_user tcm_loop virtio_pci virtio_blk \
  2>"$W/root.log" || setup_failed "the guest's root: $(tail -n 3 "$W/root.log")"
mkdir -p "$I/etc/ksf" "$I/pkg"
python3 "$MAKE_PACKAGE" "$I/pkg/boot" --ini-name KSFUPD.INI --boot
python3 "$MAKE_PACKAGE" "$I/pkg/main" --ini-name KSFUPD.INI
for d in a b c; do printf 'adapter\ndrive target=1\n' >"$I/etc/ksf/$d.cfg"; done
echo KSF_TCMU_SLOW_WRITE_MS=2000 >"$I/etc/ksf/c.env"
printf 'adapter\ndrive target=1 tray=loaded\nrefuse write=0 sense=09/86/00\n' >"$I/etc/ksf/d.cfg"
(cd "$I" && find . | cpio -o -H newc --quiet | gzip -1) >"$W/initrd.gz"

# ------------------------------------------------------------ the run -----
truncate -s 16M "$W/results.img"
timeout 300 qemu-system-x86_64 -M q35 -cpu max -m 512 -nographic -no-reboot \
  -kernel "$(echo "$KDIR"/boot/vmlinuz-*)" -initrd "$W/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1" \
  -drive "file=$W/results.img,format=raw,if=virtio" </dev/null >"$W/console.log" 2>&1
QEMU=$?
grep '^KSF' "$W/console.log" | tr -d '\r' | sed 's/^/  /'
grep -q '^KSF-DONE ok' "$W/console.log" ||
  setup_failed "QEMU (status $QEMU) did not finish the guest's cases: $(tail -n 5 "$W/console.log" | tr -d '\r')"
mkdir -p "$W/res"
tar -xf "$W/results.img" -C "$W/res"
R=$W/res/r
echo "  guest run: $((SECONDS - START)) s wall time"

# ------------------------------------------------------------ judging -----
verdict() {  # DESCRIPTION COMMAND...
  if "${@:2}" >"$W/why" 2>&1; then echo "PASS: kernel $NAME: $1"; else
    echo "FAIL: kernel $NAME: $1 ($(head -c 300 "$W/why" | tr '\n' ' '))"
  fi
  grep '^  FIGURE' "$W/why"
}
is() { [[ $1 == "$2" ]] || echo "got '$1', expected '$2'"; [[ $1 == "$2" ]]; }
status_of() { cat "$R/$1/status"; }
# The kernel's target passes a vendor CDB by its opcode group (10 bytes) and
# never sees the time-out: the sequence is compared as the target gets it.
sequence() { python3 "$ROOT/tests/e2e/trace_check.py" sequence "$R/$1/trace.txt" --target "${@:2}"; }
sg_of() { awk -v d="$1" '$1 == d { print $2 }' "$R/nodes"; }
judge() {
NAME=devices
verdict "four sg nodes, each with an sr device beside it" is "$(grep -c ' /dev/sg[0-9]* sr[0-9]* ' "$R/nodes")" 4
NAME=list
verdict "exit status" is "$(status_of list)" 0
verdict "the four drives found through sysfs" is "$(grep -c '^  /dev/sg[0-9]* \[KESTRAN CD-R   TQ-517T   1.00\]  ' "$R/list/out")" 4
NAME=read-only-descriptor
verdict "a plain user's vendor command on a read-only descriptor: refused by the kernel" \
  is "$(cat "$R/readonly-user.txt")" "refused: EPERM"
verdict "root's goes through" is "$(cat "$R/readonly-root.txt")" "sent"
NAME=tray
verdict "a loaded disc: START STOP UNIT (eject) through sg to the drive" sequence d --upto EA@0 --tray
verdict "the refused block's status" is "$(status_of tray)" 1
NAME=rights
for c in no-access read-only; do
  verdict "$c: exit status" is "$(status_of $c)" 6
  verdict "$c: names the node and the rights" grep -q "$(sg_of b) cannot be opened for reading and writing" "$R/$c/err"
done
verdict "nothing sent to the drive" test ! -e "$R/b/rights.txt"
NAME=root
verdict "exit status" is "$(status_of root)" 0
verdict "trace: the whole sequence with boot image" sequence a --boot
verdict "flash holds the boot and main images" python3 "$MAKE_PACKAGE" "$I/pkg/boot" --check-flash "$R/a/flash.bin" --boot
# Under full emulation each command takes 20-200 ms through the guest's SCSI
# stack, and up to half a second while the other suites load both cores, so
# the worker's whole span is a figure here; each fixed wait between the
# commands is held to 1 s of its length: a wait lost, doubled or added shows.
verdict "each fixed wait on the drive's clock within 1 s of its length (3, 5, 3, 45, 3 s)" \
  python3 -c '
import sys
times = [int(line.split()[0]) for line in open(sys.argv[1])]
start = [i for i, line in enumerate(open(sys.argv[1])) if " 12 00 00 00 24 00 " in line][-1]
gaps = [(b - a) / 1000 for a, b in zip(times[start:], times[start + 1:])]
waits = [g for g in gaps if g > 1]
print("  FIGURE worker span on the drive\x27s clock %.3f s: fixed waits %s, commands %.3f s"
      % (sum(gaps), " + ".join("%.3f" % w for w in waits), sum(gaps) - sum(waits)))
sys.exit(len(waits) != 5 or any(not 0 <= w - n <= 1.0 for w, n in zip(waits, [3, 5, 3, 45, 3])))' "$R/a/trace.txt"
NAME=exclusive
verdict "a second open of the node during the update fails" is "$(cat "$R/excl-during.txt")" "open failed: EBUSY"
verdict "and succeeds after it" is "$(cat "$R/excl-after.txt")" "open ok"
NAME=user
verdict "read-write by group and mode: exit status" is "$(status_of user)" 0
verdict "trace: the whole sequence" sequence b
verdict "flash holds the main image" python3 "$MAKE_PACKAGE" "$I/pkg/main" --check-flash "$R/b/flash.bin"
NAME=resend
verdict "stopped in a block write and continued: exit status" is "$(status_of resend)" 0
verdict "each command once: the whole sequence" sequence c
verdict "flash holds the main image" python3 "$MAKE_PACKAGE" "$I/pkg/main" --check-flash "$R/c/flash.bin"

# What the real sg driver answers beside what the preload model answers for
# the same commands: the header fields checked, the driver's sizes reported.
NAME=answers
: >"$W/sg0"
printf 'adapter\ndrive target=1 tray=loaded\n' >"$W/sim.cfg"
KSF_SG_DEVICES=$W/sg0 KSF_SIM_CONFIG=$W/sim.cfg LD_PRELOAD=$PRELOAD "$W/kernel_probe" answers "$W/sg0" >"$W/model.txt"
diff "$W/model.txt" "$R/answers.txt" | grep '^[<>]' | sed 's/^</  model: /; s/^>/  kernel:/'
verdict "each command's status, sense and residual as the model gives them" \
  diff <(head -n 5 "$W/model.txt") <(head -n 5 "$R/answers.txt")
[[ -s $R/handler.err ]] && sed 's/^/  handler: /' "$R/handler.err"
}
judge | tee "$W/judge.log"
failed=$(grep -c '^FAIL: ' "$W/judge.log")
echo "  kernel stage: $((SECONDS - START)) s wall time"
echo "kernel total: passed $(grep -c '^PASS: ' "$W/judge.log"), failed $failed"
((failed == 0))
