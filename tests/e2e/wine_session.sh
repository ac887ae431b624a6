# Wine session helpers shared by the end-to-end scenarios and demo.sh: Wine
# prefixes, a private X server per scenario, starting the program, driving it
# with ksfauto and reporting checks as "PASS: <scenario>: <check>" /
# "FAIL: <scenario>: <check>: <why>" lines.
#
# A scenario runs in its own process (tests/e2e/run.sh --one NAME) with:
#   E2E_WORK  the run's work directory (templates live there)
#   SC        the scenario name
# and gets PFX (its prefix), DISPLAY (its Xvfb), PKG (the unix path of C:\pkg,
# the program's folder and current directory).

E2E_DIR="${E2E_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}"
KSF_ROOT="$(cd "$E2E_DIR/../.." && pwd)"
# shellcheck source=../../scripts/common.sh
source "$KSF_ROOT/scripts/common.sh"
ksf_wine_setup

KSFAUTO_EXE="$KSF_WIN_BIN/tools/ksfauto.exe"
KSFUPD_EXE="$KSF_WIN_BIN/ksfupd.exe"
SIM_DLL="$KSF_WIN_BIN/sim/WNASPI32.DLL"

E2E_FAILS=0
E2E_CHECKS=0

# ------------------------------------------------------------------ reports --

pass() {
  E2E_CHECKS=$((E2E_CHECKS + 1))
  echo "PASS: $SC: $1"
}
fail() {
  E2E_CHECKS=$((E2E_CHECKS + 1))
  E2E_FAILS=$((E2E_FAILS + 1))
  echo "FAIL: $SC: $1${2:+: $2}"
}

# check_eq NAME ACTUAL EXPECTED
check_eq() {
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1" "expected '$3', got '$2'"; fi
}
# check_match NAME ACTUAL GLOB
check_match() {
  # shellcheck disable=SC2053
  if [[ "$2" == $3 ]]; then pass "$1"; else fail "$1" "expected like '$3', got '$2'"; fi
}
# check NAME COMMAND...: passes when the command succeeds
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name" "command failed: $*"; fi
}

# kv KEY <<<"$output": the value of the first KEY=... line
kv() { sed -n "s/^$1=//p" | head -n 1; }

# ------------------------------------------------------------------ prefixes --

# e2e_wine_env PREFIX: Wine's environment for that prefix.
e2e_wine_env() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all
  [[ -n $KSF_WINELOADER ]] && export WINELOADER="$KSF_WINELOADER"
}

# e2e_link_fonts: a Japanese Windows links its UI fonts to a Japanese face
# (SystemLink), so that a Latin face such as Tahoma, the message boxes' font,
# falls back to it for each character it lacks.  Wine's Tahoma has no
# Japanese glyphs and, without a link, draws each as an empty box.  The same
# links, to IPA Gothic (fonts-ipafont-gothic).  Wine rewrites the links of its
# own UI fonts (Tahoma among them) whenever a process starts with another code
# page than the last one, so these go in last and in the Japanese locale:
# scenarios whose whole session runs in that locale keep them, the English
# ones get Wine's defaults back.  A scenario that runs Wine in another locale
# on the way calls this again.
e2e_link_fonts() {
  local f key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
  for f in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif' 'MS Sans Serif' \
    'MS UI Gothic' 'Segoe UI'; do
    LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 "$KSF_WINE" reg add "$key" /v "$f" /t REG_MULTI_SZ \
      /d 'ipag.ttf' /f
  done
}

# e2e_make_template NAME: a fresh prefix with a virtual desktop as the default
# desktop and no crash dialogs; the one named win98 reports Windows 98.
e2e_make_template() {
  local name=$1 dir="$E2E_WORK/template-$1" f pair
  local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
  rm -rf "$dir"
  (
    e2e_wine_env "$dir"
    export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    "$KSF_WINE" wineboot -i >/dev/null 2>&1
    # Wine's own fonts (Debian's fonts-wine) into the prefix's Fonts folder.
    # Debian's Wine 8 looks for fonts only there, in the registry and through
    # fontconfig; it never reads its data folder (/usr/share/wine/fonts) at run
    # time, and its wine.inf copies nothing from it into a new prefix.  Without
    # them Marlett is missing (the caption buttons come out as the letters
    # "0 1 r" in a text font) and Tahoma and MS Sans Serif fall back to
    # whatever fontconfig offers.  Links, so a prefix costs nothing.
    mkdir -p "$dir/drive_c/windows/Fonts"
    for f in "${KSF_WINE_FONTS:-/usr/share/wine/fonts}"/*.{ttf,fon}; do
      [[ -f $f ]] && ln -sf "$f" "$dir/drive_c/windows/Fonts/${f##*/}"
    done
    # The Windows faces the dialogs ask for, which Wine does not bring, mapped
    # to their metric twins (Debian's fonts-liberation), so texts take the
    # room they take on Windows; without these Wine falls back to a wider face
    # (DejaVu Sans), serif labels included.  The welcome page's model label
    # asks for "Times New Roman Bold", a full name that Windows resolves to the
    # bold face; a substitute names a family, so here it is the regular one.
    for pair in 'Arial=Liberation Sans' 'Times New Roman=Liberation Serif' \
      'Times New Roman Bold=Liberation Serif' 'Courier New=Liberation Mono'; do
      "$KSF_WINE" reg add "$key" /v "${pair%%=*}" /d "${pair#*=}" /f
    done
    "$KSF_WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
    "$KSF_WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f
    "$KSF_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    if [[ $name == win98 ]]; then
      "$KSF_WINE" reg add 'HKCU\Software\Wine' /v Version /d win98 /f
    fi
    e2e_link_fonts
    "$KSF_WINESERVER" -w
  ) >"$E2E_WORK/template-$name.log" 2>&1
  [[ -f $dir/system.reg ]]
}

e2e_cleanup() {
  [[ -n ${PROG_PID:-} ]] && kill "$PROG_PID" 2>/dev/null
  if [[ -n ${PFX:-} && -d $PFX ]]; then
    "$KSF_WINESERVER" -k >/dev/null 2>&1
    sleep 0.5
  fi
  [[ -n ${XVFB_PID:-} ]] && kill "$XVFB_PID" 2>/dev/null
  if [[ -n ${PFX:-} && -d $PFX && -z ${E2E_KEEP:-} ]]; then rm -rf "$PFX"; fi
}

# e2e_setup TEMPLATE: prefix + display + the program (and the emulated drive)
# in C:\pkg.
e2e_setup() {
  local tmpl="$E2E_WORK/template-$1" f r
  trap e2e_cleanup EXIT
  trap 'exit 143' TERM INT
  # This scenario's prefix, a hard-linked copy of the template (the large,
  # never-written DLLs shared); files Wine rewrites in place are real copies.
  PFX="$E2E_WORK/pfx-$SC"
  rm -rf "$PFX"
  if ! cp -al "$tmpl" "$PFX"; then
    fail "setup" "no prefix from template $1"
    exit 1
  fi
  for f in "$PFX"/*.reg "$PFX"/drive_c/windows/*.ini; do
    [[ -f $f ]] && cp --remove-destination "$tmpl/${f#"$PFX"/}" "$f"
  done
  PKG="$PFX/drive_c/pkg"
  mkdir -p "$PKG"
  e2e_wine_env "$PFX"
  export WINEDLLOVERRIDES="wnaspi32=n;mscoree,mshtml="
  export KSF_SIM_CONFIG='C:\pkg\sim.cfg' KSF_SIM_TRACE='C:\pkg\trace.txt' KSF_SIM_FLASH='C:\pkg\flash.bin'
  # What must be in the prefix before its session starts (drive letters).
  [[ -n ${E2E_PREPARE:-} ]] && "$E2E_PREPARE"
  if [[ -n ${E2E_USE_DISPLAY:-} ]]; then  # the demo's --interactive: a real screen
    export DISPLAY=$E2E_USE_DISPLAY
  elif r=$(ksf_start_xvfb 800x600x24); then
    export DISPLAY=${r% *}
    XVFB_PID=${r#* }
  else
    fail "setup" "no X server"
    exit 1
  fi
  cp "$KSFUPD_EXE" "$PKG/ksfupd.exe"
  cp "$SIM_DLL" "$PKG/WNASPI32.DLL"
  # Boot the prefix once, now: the first process of a Wine session starts
  # wineboot, which carries out pending file operations and WININIT.INI like
  # a Windows start.  A persistent server keeps this one session (one "boot")
  # for the whole scenario, so only the program's own restart starts another.
  "$KSF_WINESERVER" -p
  auto windows >/dev/null
}

# ------------------------------------------------------------------ running --

# e2e_start [EXE] [ENV=VALUE...]: start the program from C:\pkg in the background.
e2e_start() {
  local exe=${1:-ksfupd.exe} tries
  shift || true
  # Under heavy load Wine's 64-bit loader now and then dies of SIGSEGV before
  # the program's first instruction; the program itself never ends on its own
  # within two seconds (every path waits for the user or sleeps 8 s), so a
  # signal death that early is retried once and noted.
  for tries in 1 2; do
    (cd "$PKG" && exec env "$@" "$KSF_WINE" "./$exe" >>"$PKG/program.log" 2>&1) &
    PROG_PID=$!
    e2e_exited 3 || return 0
    ((PROG_STATUS >= 128)) || return 0
    echo "  [$SC] Wine ended with status $PROG_STATUS right after the start (try $tries)" >&2
  done
}

# start_main [EXE] [ENV=VALUE...]: e2e_start, then wait for the main dialog;
# its window handle goes to MAIN_HWND.
start_main() {
  e2e_start "$@"
  MAIN_HWND=$(on "$MAIN" 40000 | sed -n 's/.*hwnd=\([^ ]*\).*/\1/p')
}

# e2e_exited SECONDS: true when the program has ended within that time; its
# exit status goes to PROG_STATUS.
e2e_exited() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$PROG_PID" 2>/dev/null; do
    ((SECONDS >= deadline)) && return 1
    sleep 0.2
  done
  wait "$PROG_PID" 2>/dev/null
  PROG_STATUS=$?
  PROG_PID=
}

# auto ARGS...: run ksfauto in this prefix and display; output on stdout.
auto() {
  timeout 120 "$KSF_WINE" "$KSFAUTO_EXE" "$@" 2>>"$PKG/ksfauto.err"
}

# The visible top-level windows of the prefix, one per line.
windows() { auto windows | sed -n 's/^window //p'; }

# shot NAME: screenshot of this scenario's screen into the run's shot folder.
shot() {
  local dir=${E2E_SHOTS:-$E2E_WORK/shots}
  mkdir -p "$dir"
  import -display "$DISPLAY" -window root "$dir/$SC-$1.png" 2>/dev/null
}

# sim_config TEXT: the emulated drive's configuration for this scenario.
sim_config() { printf '%s\n' "$@" >"$PKG/sim.cfg"; }

# make_package ARGS...: tools/make_package.py into C:\pkg.
make_package() { python3 "$KSF_ROOT/tools/make_package.py" "$PKG" "$@"; }

# Windows are told apart by a control they have: a message box its text
# (static 0xFFFF), the main dialog (template 102) its drive list 103, the
# welcome dialog (129) its white panel 1007.
BOX='#32770 * 65535'
MAIN='#32770 * 103'
WELCOME='#32770 * 1007'

# on WINDOW MS ARGS...: wait for the window, then run ksfauto commands on it.
on() {
  local -a w
  read -ra w <<<"$1"  # split without globbing the "*"
  local ms=$2
  shift 2
  auto waitc "${w[@]}" "$ms" "$@"
}

# msgbox [MS]: wait for a message box, print ksfauto's msgbox lines.
msgbox() { on "$BOX" "${1:-20000}" msgbox; }

# check_box MS [NAME FIELDS WANT]...: waits up to MS for a message box; each
# check compares FIELDS (msgbox keys joined by "|"; buttons as their ids only)
# with WANT.
check_box() {
  local out f
  out=$(msgbox "$1" | sed '/^buttons=/s/:[^,]*//g')
  shift
  while (($# >= 3)); do
    check_eq "$1" "$(for f in ${2//|/ }; do kv "$f" <<<"$out"; done | paste -sd'|')" "$3"
    shift 3
  done
}

# check_glyphs NAME: the message box's text as painted on the screen holds
# Japanese glyphs, not the empty boxes of a font without them (box_glyphs.py).
check_glyphs() {
  local rect text why
  rect=$(on "$BOX" 5000 rect 65535 | kv rect)
  text=$(on "$BOX" 5000 text 65535 | kv text)
  import -display "$DISPLAY" -window root "$PKG/glyphs.png" 2>/dev/null
  if why=$(python3 "$E2E_DIR/box_glyphs.py" "$PKG/glyphs.png" "$rect" "$text" 2>&1); then
    pass "$1"
  else
    fail "$1" "$why"
    mkdir -p "${E2E_SHOTS:-$E2E_WORK/shots}"
    cp "$PKG/glyphs.png" "${E2E_SHOTS:-$E2E_WORK/shots}/$SC-glyphs-failed.png"
  fi
}

# answer_box BUTTON_ID: press a button of the message box and see it go.
answer_box() { on "$BOX" 5000 click "$1" gone 5000 >/dev/null; }

# exit_program: EXIT on the main dialog ends the program.
exit_program() {
  on "$MAIN" 5000 click 2 >/dev/null
  check "EXIT ends the program" e2e_exited 15
}

# setup_one_drive TEMPLATE MAKE_PACKAGE_ARGS...: e2e_setup, the package, and
# one emulated drive (adapter 0, target 1).
setup_one_drive() {
  e2e_setup "$1"
  shift
  make_package "$@"
  sim_config adapter 'drive target=1'
}
