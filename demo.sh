#!/bin/bash
# Builds the updater and runs it once under Wine against the emulated drive
# with a generated sample package: shows the welcome and main dialogs, presses
# UPDATE, follows the status line and the progress bar, answers the final
# message and checks that the drive's flash now holds the images.  Then the
# same for ksfupd for Linux: the native program updates an emulated drive
# behind a SCSI generic node (the SG_IO preload library).
#
#   ./demo.sh                 headless (Xvfb + Wine virtual desktop)
#   ./demo.sh --interactive   on the real $DISPLAY, so you can watch
#   ./demo.sh --no-build      use the build that is there
#
# Screenshots go to out/screenshots/.
set -u
cd "$(dirname "$0")" || exit 1
source scripts/common.sh

interactive=0
build=1
for arg in "$@"; do
  case $arg in
    --interactive) interactive=1 ;;
    --no-build) build=0 ;;
    -h | --help)
      sed -n '2,12p' "$0"
      exit 0
      ;;
    *)
      echo "unknown option $arg" >&2
      exit 2
      ;;
  esac
done
if ((interactive)) && [[ -z ${DISPLAY:-} ]]; then
  echo "--interactive needs a DISPLAY" >&2
  exit 2
fi

if ((build)); then
  ksf_say "install"
  ksf_install || exit 1
  ksf_wine_setup
  ksf_say "build $KSF_WIN_PRESET (the Windows program Wine runs here), win32 (the product) and native (ksfupd for Linux)"
  for preset in "$KSF_WIN_PRESET" win32 native; do
    ksf_build "$preset" || {
      tail -n 30 "$KSF_LOG_DIR/build-$preset.log"
      exit 1
    }
  done
fi

SHOTS="$KSF_ROOT/out/screenshots"
mkdir -p "$SHOTS"
export E2E_WORK
E2E_WORK=$(mktemp -d /tmp/ksf-demo.XXXXXX)
SC=demo
((interactive)) && export E2E_USE_DISPLAY="$DISPLAY"
source tests/e2e/wine_session.sh
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT

say() { printf '%s\n' "$*"; }

# snap NAME WINDOW: a picture of one dialog (the whole screen when watching).
snap() {
  local file="$SHOTS/$1.png" r
  if ((interactive)); then
    import -window root "$file" 2>/dev/null
  else
    r=$(on "$2" 5000 rect 0 | kv rect)
    IFS=, read -r l t rr b <<<"$r"
    import -display "$DISPLAY" -window root -crop "$((rr - l))x$((b - t))+$l+$t" +repage "$file" 2>/dev/null
  fi
  say "   screenshot: ${file#"$KSF_ROOT"/}"
}

say "== preparing a Wine prefix (about 10-30 s) and a sample package"
e2e_make_template nt || {
  say "could not create a Wine prefix"
  exit 1
}
e2e_setup nt
trap 'e2e_cleanup; rm -rf "$E2E_WORK"' EXIT  # e2e_setup set its own
make_package --aspi --boot --caution cdr
sim_config adapter 'drive target=1' 'drive target=3 revision=1.02'
say "   package: kestfirm.ini, TQ517TB.BIN (16,416 bytes), TQ517T.BIN (360,480 bytes)"
say "   emulated drives on ASPI adapter 0: targets 1 and 3, KESTRAN CD-R   TQ-517T"

say "== starting ksfupd.exe under Wine ($KSF_WIN_PRESET build)"
e2e_start
out=$(on "$WELCOME" 60000 title text 1008 text 1009) || {
  say "the welcome dialog did not appear"
  exit 1
}
say "   welcome dialog: $(kv title <<<"$out")"
sed -n 's/^text=/     /p' <<<"$out"
snap welcome "$WELCOME"
on "$WELCOME" 5000 click 1 >/dev/null

out=$(on "$MAIN" 60000 title combo 103 text 1032) || {
  say "the main dialog did not appear"
  exit 1
}
say "   main dialog: $(kv title <<<"$out")"
sed -n 's/^item[0-9]*=/     drive: /p' <<<"$out"
say "     status:$(kv text <<<"$out")"
snap main "$MAIN"

say "== UPDATE on the first drive (the drive needs about a minute)"
on "$MAIN" 5000 click 1 >/dev/null
t0=$SECONDS
last=
while ((SECONDS - t0 < 180)); do
  out=$(on "$MAIN" 5000 text 1032 progress 104 windows)
  status=$(kv text <<<"$out")
  IFS=, read -r lo hi <<<"$(kv range <<<"$out")"
  pos=$(kv pos <<<"$out")
  pct=0
  [[ -n ${hi:-} && ${hi:-0} -gt ${lo:-0} ]] && pct=$(((pos - lo) * 100 / (hi - lo)))
  line=$(printf '%-48s %3d%%' "$status" "$pct")
  if [[ $line != "$last" ]]; then
    printf '   [%3d s] %s\n' $((SECONDS - t0)) "$line"
    last=$line
  fi
  (($(grep -c '^window .*class=#32770' <<<"$out") > 1)) && break
  sleep 0.5
done
[[ $pct -ge 50 ]] && snap progress "$MAIN"

out=$(msgbox 10000) || {
  say "no final message appeared"
  exit 1
}
say "== final message ($(kv caption <<<"$out")):"
kv text <<<"$out" | sed 's/\\n/\n/g' | sed 's/^/   | /'
snap final "$BOX"
if [[ $(kv buttons <<<"$out") == *7:* ]]; then
  say "   answering No (no restart of the Wine prefix)"
  answer_box 7
else
  answer_box 1
fi

say "== the emulated drive's flash"
python3 tools/make_package.py "$PKG" --boot --check-flash "$PKG/flash.bin" | sed 's/^/   /'
flash_ok=${PIPESTATUS[0]}
if [[ $flash_ok == 0 ]]; then
  say "   the flash holds the boot image at 0 and the main image at 0x8000"
else
  say "   the flash does NOT hold the images"
fi
out=$(on "$MAIN" 5000 text 1032 enabled 1)
say "   status:$(kv text <<<"$out"); UPDATE for this drive: $([[ $(kv enabled <<<"$out") == 1 ]] && echo enabled || echo disabled)"
on "$MAIN" 5000 click 2 >/dev/null
e2e_exited 15 && say "== EXIT: the program has ended"

# ------------------------------------------------------ ksfupd for Linux ----
say ""
say "== ksfupd for Linux: the same update from a terminal, natively"
LX=$E2E_WORK/linux
mkdir -p "$LX/dev"
python3 tools/make_package.py "$LX/TQ517T" --ini-name KSFUPD.INI --boot >/dev/null
: >"$LX/dev/sg0"
: >"$LX/dev/sg1"
printf 'adapter\ndrive target=1 revision=1.00\ndrive target=2 revision=1.02 tray=open\n' >"$LX/sim.cfg"
say "   two emulated drives behind SCSI generic nodes $LX/dev/sg0 and sg1"
linux_ksfupd() {
  LD_PRELOAD="$KSF_ROOT/build/native/sim/lib/x86_64-linux-gnu/libksfsg.so" \
    KSF_SG_DEVICES="$LX/dev/sg0:$LX/dev/sg1" KSF_SIM_CONFIG="$LX/sim.cfg" \
    KSF_SIM_TRACE="$LX/trace.txt" KSF_SIM_FLASH="$LX/flash.bin" KSFUPD_DEV_DIR="$LX/dev" \
    KSFUPD_SYS_DIR="$LX/sys" \
    build/native/ksfupd --package "$LX/TQ517T" "$@"
}
say "\$ ksfupd --package TQ517T --list"
linux_ksfupd --list 2>&1 | sed 's/^/   /'
say "\$ ksfupd --package TQ517T --device $LX/dev/sg1 --dry-run --json | head -n 6"
linux_ksfupd --device "$LX/dev/sg1" --dry-run --json 2>&1 | head -n 6 | sed 's/^/   /'
say "\$ ksfupd --package TQ517T --device $LX/dev/sg1 --yes   (about a minute)"
linux_ksfupd --device "$LX/dev/sg1" --yes </dev/null
linux_ok=$?
say "   exit status $linux_ok"
python3 tools/make_package.py "$LX/TQ517T" --boot --check-flash "$LX/flash.bin.1" | sed 's/^/   /'
linux_flash=${PIPESTATUS[0]}
if [[ $linux_ok == 0 && $linux_flash == 0 ]]; then
  say "   the drive behind sg1 holds the boot image at 0 and the main image at 0x8000"
else
  say "   the Linux update did NOT leave the images in the drive's flash"
fi
((flash_ok == 0 && linux_ok == 0 && linux_flash == 0))
