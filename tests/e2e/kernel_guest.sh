#!/bin/sh
# The init of the guest that tests/e2e/kernel.sh boots: loads the modules, puts
# four emulated drives (a, b, c, d) behind the kernel's user-space target and
# one tcm_loop target with a LUN each, waits for their sg and sr devices and
# runs the cases.  Each case leaves out, err and status in /tmp/r/CASE, each
# drive its trace and flash dump in /tmp/r/DRIVE; the whole of /tmp/r goes to
# the virtio disk as a tar archive, which the host judges.  Progress lines on
# the console start with "KSF:", the last one is "KSF-DONE <how>".
export PATH=/bin LC_ALL=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
R=/tmp/r
mkdir -p $R
say() { echo "KSF: $*"; }
finish() {
  # the handlers write their flash as they stop
  kill $(pidof ksf-tcmu-drive) 2>/dev/null
  i=0
  while pidof ksf-tcmu-drive >/dev/null && [ $i -lt 50 ]; do
    i=$((i + 1))
    sleep 0.1
  done
  dmesg >$R/dmesg.txt
  tar -cf /dev/vda -C /tmp r
  sync
  echo "KSF-DONE $1"
  poweroff -f
}

for m in $(cat /modules/order); do
  insmod /modules/$m.ko || { say "insmod $m failed"; finish setup; }
done
mount -t configfs configfs /sys/kernel/config

T=/sys/kernel/config/target
L=$T/loopback/naa.5001405000000001/tpgt_1
# The nexus first: each LUN is scanned as it is made.
mkdir -p $L
echo naa.5001405000000002 >$L/nexus
n=0
for d in a b c d; do
  B=$T/core/user_1/$d
  mkdir -p $B $R/$d $L/lun/lun_$n
  echo "dev_size=1048576,dev_config=ksf/$d" >$B/control
  echo 1 >$B/enable
  u=$(grep -l "ksf/$d\$" /sys/class/uio/uio*/name)
  u=${u%/name}
  # shellcheck disable=SC2046
  env KSF_SIM_CONFIG=/etc/ksf/$d.cfg KSF_SIM_TRACE=$R/$d/trace.txt KSF_SIM_FLASH=$R/$d/flash.bin \
    $(cat /etc/ksf/$d.env 2>/dev/null) ksf-tcmu-drive /dev/${u##*/} $d 2>>$R/handler.err &
  ln -s $B $L/lun/lun_$n/$d
  n=$((n + 1))
done

# The sg node and sr device of each LUN (sysfs: sgN/device is H:C:T:LUN).
i=0
until [ "$(ls /sys/class/scsi_generic 2>/dev/null | wc -l)" = 4 ] &&
  [ "$(ls -d /sys/class/scsi_generic/sg*/device/block/sr* 2>/dev/null | wc -l)" = 4 ]; do
  i=$((i + 1))
  [ $i -gt 100 ] && { say "no four sg and sr devices"; finish setup; }
  sleep 0.1
done
for s in /sys/class/scsi_generic/sg*; do
  lun=$(readlink $s/device)
  lun=${lun##*:}
  d=$(echo abcd | cut -c$((lun + 1)))
  eval "SG_$d=/dev/${s##*/}"
  echo "$d /dev/${s##*/} $(ls $s/device/block) $(stat -c %a /dev/${s##*/})" >>$R/nodes
done
say "devices: $(tr '\n' ' ' <$R/nodes)"
# What the kernel itself sent while attaching (INQUIRY, MODE SENSE, ...)
# is not the update's: kept apart.
for d in a b c d; do mv $R/$d/trace.txt $R/$d/attach.txt; done

# run CASE COMMAND...: out, err, status and the process id in $R/CASE.
run() {
  mkdir -p $R/$1
  c=$1
  shift
  "$@" >$R/$c/out 2>$R/$c/err </dev/null &
  echo $! >$R/$c/pid
  wait $!
  echo $? >$R/$c/status
}
# first_write DRIVE: waits (up to 60 s) for its first flash block write;
# looks twice a second, as the guest's one emulated processor is shared with
# the updates being timed.
first_write() {
  i=0
  until grep -q ' EA ' $R/$1/trace.txt 2>/dev/null || [ $i -gt 120 ]; do
    i=$((i + 1))
    sleep 0.5
  done
}
user() { kernel_probe as 1000 1000 "$@"; }
KSF="ksfupd --yes --package"

say "list, answers, read-only descriptors, tray"
run list $KSF /pkg/main --list
for d in a b c d; do mv $R/$d/trace.txt $R/$d/list.txt; done
kernel_probe answers $SG_d >$R/answers.txt
chmod 644 $SG_d
user kernel_probe readonly $SG_d >$R/readonly-user.txt
kernel_probe readonly $SG_d >$R/readonly-root.txt
mv $R/d/trace.txt $R/d/probes.txt
run tray $KSF /pkg/main --device $SG_d

say "rights"
run no-access user $KSF /pkg/main --device $SG_b
chmod 644 $SG_b
run read-only user $KSF /pkg/main --device $SG_b
# a command sent would be in b's trace
[ -e $R/b/trace.txt ] && mv $R/b/trace.txt $R/b/rights.txt
chgrp 1000 $SG_b
chmod 660 $SG_b

say "three updates at once: root, user, stopped"
# A program that hangs is killed after 150 s, so that what happened comes back.
(
  sleep 150
  for p in $R/*/pid; do kill -9 "$(cat $p)" 2>/dev/null && say "killed: $p"; done
) &
run root $KSF /pkg/boot --device $SG_a &
p1=$!
run user $KSF /pkg/main --device $SG_b &
p2=$!
run resend $KSF /pkg/main --device $SG_c &
p3=$!
first_write a
kernel_probe excl $SG_a >$R/excl-during.txt
# c takes 2 s a block: its second block write is under way for 2 s after
# the first is traced; the program is stopped in it and continued 3 s later.
first_write c
kill -STOP "$(cat $R/resend/pid)"
sleep 3
kill -CONT "$(cat $R/resend/pid)"
wait $p1 $p2 $p3
kernel_probe excl $SG_a >$R/excl-after.txt
say "done"
finish ok
