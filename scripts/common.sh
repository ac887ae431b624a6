# Shared by test.sh and demo.sh: installing what a fresh Debian machine lacks,
# building the presets, and finding the Wine that can run our Windows build.
# Source it from bash; it defines functions and a few KSF_* variables only.

KSF_ROOT="${KSF_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
KSF_LOG_DIR="${KSF_LOG_DIR:-$KSF_ROOT/out/logs}"
KSF_JOBS="${KSF_JOBS:-2}"

KSF_PACKAGES=(
  g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 xvfb xauth imagemagick
  fonts-ipafont-gothic fonts-wine fonts-liberation xdotool locales python3 binutils
  gcc-multilib g++-multilib libcli11-dev nlohmann-json3-dev icoutils libsystemd-dev pkg-config
  dbus-daemon python3-dbusmock
  qemu-system-x86 busybox-static cpio
)
# release.sh and its checks: the man page, the package and its checker, zip,
# Authenticode signing.
KSF_PACKAGES+=(scdoc dpkg-dev lintian zip unzip openssl osslsigncode)

ksf_say() { printf '== %s\n' "$*"; }

ksf_have_package() {
  dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

KSF_APT_UPDATED=0
ksf_apt_update_once() {
  if [[ $KSF_APT_UPDATED == 0 ]]; then
    apt-get update -qq >"$KSF_LOG_DIR/apt-update.log" 2>&1 || {
      cat "$KSF_LOG_DIR/apt-update.log"
      return 1
    }
    KSF_APT_UPDATED=1
  fi
}

ksf_apt_install() {
  ksf_apt_update_once || return 1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
    >>"$KSF_LOG_DIR/apt-install.log" 2>&1 || {
    tail -n 30 "$KSF_LOG_DIR/apt-install.log"
    return 1
  }
}

# Debian's cloud kernel for the guest of tests/e2e/kernel.sh (SCSI, sr, sg,
# the user-space SCSI target and tcm_loop are modules in it): downloaded from
# the registry and unpacked into a cache folder, nothing installed.  Prints
# the folder (boot/vmlinuz-*, lib/modules/*).
KSF_KERNEL_CACHE="${KSF_KERNEL_CACHE:-$HOME/.cache/ksf-kernel}"
ksf_kernel() {
  local pkg dir
  pkg=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p')
  if [[ -z $pkg ]]; then
    ksf_apt_update_once >&2 || return 1
    pkg=$(apt-cache depends linux-image-cloud-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p')
  fi
  [[ -n $pkg ]] || { echo "no linux-image-cloud-amd64 in the registry" >&2; return 1; }
  dir=$KSF_KERNEL_CACHE/$pkg
  if [[ ! -d $dir/boot ]]; then
    rm -rf "$dir.part" && mkdir -p "$dir.part" &&
      (cd "$dir.part" && apt-get download "$pkg" >&2) &&
      dpkg-deb -x "$dir.part"/*.deb "$dir.part/x" && mv "$dir.part/x" "$dir" || return 1
    rm -rf "$dir.part"
  fi
  echo "$dir"
}

# Can this kernel execute a 32-bit x86 program?  Assemble a tiny one and try.
ksf_can_run_32bit() {
  local dir rc
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/t.s"
  if as --32 -o "$dir/t.o" "$dir/t.s" 2>/dev/null && ld -m elf_i386 -o "$dir/t" "$dir/t.o" 2>/dev/null; then
    "$dir/t" 2>/dev/null
    rc=$?
  else
    rc=1
  fi
  rm -rf "$dir"
  return $rc
}

ksf_ensure_locale() {
  if locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then return 0; fi
  if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
  fi
  locale-gen >"$KSF_LOG_DIR/locale-gen.log" 2>&1
}

# Installs what is missing; sets KSF_WINE_BITS to 32 when 32-bit Wine can run
# here, else 64.  KSF_WINE_BITS=64 from the caller keeps 64-bit Wine and the
# x86_64 build on a machine that could run 32-bit programs.
ksf_install() {
  mkdir -p "$KSF_LOG_DIR"
  local missing=() p
  for p in "${KSF_PACKAGES[@]}"; do ksf_have_package "$p" || missing+=("$p"); done
  if ((${#missing[@]})); then
    ksf_say "installing: ${missing[*]}"
    ksf_apt_install "${missing[@]}" || return 1
  fi
  ksf_ensure_locale || return 1
  ksf_check_wine_bits || return 1
  if [[ ${KSF_WINE_BITS:-} == 64 ]]; then
    :
  elif ksf_can_run_32bit; then
    KSF_WINE_BITS=32
    if ! ksf_have_package wine32:i386 || ! ksf_have_package wine; then
      ksf_say "installing 32-bit Wine"
      if ! dpkg --print-foreign-architectures | grep -q i386; then
        dpkg --add-architecture i386
        KSF_APT_UPDATED=0
      fi
      ksf_apt_install wine wine32:i386 || return 1
    fi
  else
    KSF_WINE_BITS=64
    ksf_say "this kernel cannot execute 32-bit programs: Wine runs the x86_64 companion build"
  fi
  export KSF_WINE_BITS
}

# KSF_WINE_BITS from the caller: empty (choose), 32 or 64.
ksf_check_wine_bits() {
  case ${KSF_WINE_BITS:-} in
    '' | 64) return 0 ;;
    32)
      ksf_can_run_32bit && return 0
      echo "KSF_WINE_BITS=32: this kernel cannot execute 32-bit programs" >&2
      return 1
      ;;
    *)
      echo "KSF_WINE_BITS must be 32 or 64, not '$KSF_WINE_BITS'" >&2
      return 1
      ;;
  esac
}

# The Windows build that Wine runs here and how to start Wine for it
# (KSF_WINELOADER empty: leave WINELOADER unset).
# KSF_WINE_BITS=32 or 64 from the caller chooses; unset, 32-bit Wine is taken
# where it is installed and runs.
ksf_wine_setup() {
  if [[ ${KSF_WINE_BITS:-} == "" ]]; then
    if ksf_can_run_32bit && ksf_have_package wine32:i386; then KSF_WINE_BITS=32; else KSF_WINE_BITS=64; fi
  fi
  if [[ $KSF_WINE_BITS == 32 ]]; then
    # Debian's own arrangement: the 32-bit loader starts 32-bit programs and
    # hands 64-bit ones (wineboot, services) to wine64 itself.
    KSF_WIN_PRESET=win32
    KSF_WINE=/usr/lib/wine/wine
    KSF_WINELOADER=
  else
    KSF_WIN_PRESET=win64
    KSF_WINE=/usr/lib/wine/wine64
    KSF_WINELOADER=/usr/lib/wine/wine64
  fi
  KSF_WINESERVER=/usr/lib/wine/wineserver
  [[ -x $KSF_WINESERVER ]] || KSF_WINESERVER=$(command -v wineserver)
  KSF_WIN_BIN="${KSF_WIN_BIN:-$KSF_ROOT/build/$KSF_WIN_PRESET}"
  KSF_WINE_DESC="$KSF_WINE_BITS-bit Wine ($KSF_WINE) running the $KSF_WIN_PRESET build"
  export KSF_WINE_BITS KSF_WINE_DESC KSF_WIN_PRESET KSF_WINE KSF_WINELOADER KSF_WINESERVER KSF_WIN_BIN
}

# Configure and build one preset; output goes to the log.  Returns cmake's status.
ksf_build() {
  local preset=$1 log="$KSF_LOG_DIR/build-$1.log"
  mkdir -p "$KSF_LOG_DIR"
  (
    cd "$KSF_ROOT" &&
      cmake --preset "$preset" >"$log" 2>&1 &&
      cmake --build "build/$preset" -j "$KSF_JOBS" >>"$log" 2>&1
  )
}

# The presets a full run builds, in a useful order (the Windows build that the
# end-to-end runs need comes early).
ksf_all_presets() {
  echo native "$KSF_WIN_PRESET" native-asan native-tsan native-clang
  [[ $KSF_WIN_PRESET == win32 ]] && echo win64 || echo win32
}

# Starts Xvfb on a display number that it picks itself (no races between
# parallel runs); prints "DISPLAY PID" once the server accepts clients.
ksf_start_xvfb() {
  local size=${1:-800x600x24} file pid i n
  file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "$size" -nolisten tcp -noreset 3>"$file" >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < 100; i++)); do
    n=$(head -n 1 "$file" 2>/dev/null)
    if [[ -n $n && $(wc -l <"$file") -ge 1 ]]; then
      rm -f "$file"
      echo ":$n $pid"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null
  rm -f "$file"
  return 1
}
