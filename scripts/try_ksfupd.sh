#!/bin/bash
# Sets up ksfupd for Linux to be tried without a drive: a sample update
# package and three emulated drives (plain files that the SG_IO preload
# library makes act as SCSI generic nodes) in FOLDER, which stays there, and
# an env file that makes `ksfupd` in the shell that sources it use them.
#
#   scripts/try_ksfupd.sh [FOLDER]      (default $KSF_TRY_DIR, else /tmp/ksfupd-try)
#
# Builds ksfupd and libksfsg.so (the native preset) when they are missing.
# FOLDER is made afresh; one that holds other things than an earlier
# try is refused.
set -u
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DIR=${1:-${KSF_TRY_DIR:-/tmp/ksfupd-try}}
[[ $DIR == /* ]] || DIR="$PWD/$DIR"

bin="$ROOT/build/native/ksfupd"
preload() { find "$ROOT/build/native/" -path '*x86_64-linux-gnu/libksfsg.so' 2>/dev/null | head -n 1; }
if [[ ! -x $bin || -z $(preload) ]]; then
  echo "Building ksfupd and libksfsg.so (the native preset; a few minutes the first time)..."
  source "$ROOT/scripts/common.sh"
  ksf_build native || {
    echo "The build failed: see $KSF_LOG_DIR/build-native.log" >&2
    exit 1
  }
fi
lib=$(preload)

if [[ -e $DIR && ! -f $DIR/env && -n $(ls -A "$DIR" 2>/dev/null) ]]; then
  echo "$DIR holds other things: give an empty or new folder." >&2
  exit 2
fi
rm -rf "$DIR"
mkdir -p "$DIR/dev" "$DIR/sys" || exit 1

# The package: a boot and a main image, firmware 1.10, for board version 5.
python3 "$ROOT/tools/make_package.py" "$DIR/TQ517T" --boot --pcb 5 --version 1.10 || exit 1

# Three drives: one the package applies to, one of another board version (the
# board check refuses it), one with a later firmware than the package.
cat >"$DIR/sim.cfg" <<'EOF'
adapter targets=8
drive target=1 revision=1.00
drive target=2 revision=1.02 board=7
drive target=3 revision=1.20
EOF
: >"$DIR/dev/sg0"
: >"$DIR/dev/sg1"
: >"$DIR/dev/sg2"

cat >"$DIR/env" <<EOF
# ksfupd against the emulated drives of $DIR: source this file (. $DIR/env).
export KSF_SG_DEVICES=$DIR/dev/sg0:$DIR/dev/sg1:$DIR/dev/sg2
export KSF_SIM_CONFIG=$DIR/sim.cfg
export KSF_SIM_TRACE=$DIR/trace.txt
export KSF_SIM_FLASH=$DIR/flash.bin
export KSFUPD_DEV_DIR=$DIR/dev
export KSFUPD_SYS_DIR=$DIR/sys
ksfupd() { LD_PRELOAD=$lib $bin "\$@"; }
EOF

cat <<EOF
Made in $DIR:
  TQ517T/          an update package (firmware 1.10, a boot and a main image)
  dev/sg0 sg1 sg2  three emulated drives: firmware 1.00; 1.02 of another board; 1.20
  env              the variables that make ksfupd use them
Then, in your shell:
  . $DIR/env
  cd $DIR
  ksfupd --list TQ517T
  ksfupd --dry-run --device $DIR/dev/sg0 TQ517T
  ksfupd TQ517T                  (asks which drive, then whether to update: about a minute)
  ksfupd --json --device $DIR/dev/sg0 TQ517T </dev/null
The drives' commands go to $DIR/trace.txt, the first drive's flash to $DIR/flash.bin.
EOF
