#!/bin/bash
# Makes the release under out/release/:
#   ksfupd-VERSION-win32.zip        ksfupd.exe, README.txt (CRLF), SHA256SUMS
#   ksfupd-VERSION-win32.exe.debug  the exe's debug sections, for crash reports
#   ksfupd_VERSION_amd64.deb        ksfupd for Linux, by CPack
#   SHA256SUMS                      of the zip and the .deb
# from the presets release-win32 and release-linux.  Reproducible: the same
# sources give the same bytes in any folder at any time (SOURCE_DATE_EPOCH is
# the last commit's time unless the caller sets it).
#
#   ./release.sh                          (as root: installs what is missing)
#   ./release.sh --sign KEY.pem CERT.pem  (Authenticode, SHA-256, on ksfupd.exe)
#   KSF_SKIP_INSTALL=1 ./release.sh       (no package installation)
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

SIGN_KEY= SIGN_CERT=
while (($#)); do
  case $1 in
    --sign)
      (($# >= 3)) || { echo "usage: $0 [--sign KEY.pem CERT.pem]" >&2; exit 2; }
      SIGN_KEY=$(realpath "$2") SIGN_CERT=$(realpath "$3")
      shift 3
      ;;
    *) echo "usage: $0 [--sign KEY.pem CERT.pem]" >&2; exit 2 ;;
  esac
done

[[ -n ${KSF_SKIP_INSTALL:-} ]] || ksf_install
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022

# release_build PRESET TARGET...: configure and build only what the release needs.
release_build() {
  local preset=$1 log="$KSF_LOG_DIR/release-$1.log"
  shift
  mkdir -p "$KSF_LOG_DIR"
  if ! { cmake --preset "$preset" && cmake --build "build/$preset" -j "$KSF_JOBS" --target "$@"; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "release.sh: building $preset failed (log: $log)" >&2
    return 1
  fi
}

release_build release-win32 ksfupd
VERSION=$(sed -n 's/^#define KSF_VERSION "\(.*\)"$/\1/p' build/release-win32/gen/version.h)
release_build release-linux ksfupd ksfupd_docs

OUT=out/release
WIN=ksfupd-$VERSION-win32
rm -rf "$OUT"
mkdir -p "$OUT/$WIN"
cp build/release-win32/ksfupd.exe "$OUT/$WIN/ksfupd.exe"
cp build/release-win32/ksfupd.exe.debug "$OUT/$WIN.exe.debug"
if [[ -n $SIGN_KEY ]]; then
  rm "$OUT/$WIN/ksfupd.exe"
  osslsigncode sign -h sha256 -key "$SIGN_KEY" -certs "$SIGN_CERT" \
    -n "Kestran Firmware Update" -in build/release-win32/ksfupd.exe -out "$OUT/$WIN/ksfupd.exe" \
    >"$KSF_LOG_DIR/release-sign.log" 2>&1 || { cat "$KSF_LOG_DIR/release-sign.log" >&2; exit 1; }
fi
sed -e "s/@VERSION@/$VERSION/" -e 's/$/\r/' packaging/README-win32.txt >"$OUT/$WIN/README.txt"
# The sums are written last, over the files as shipped (signed, if signed).
(cd "$OUT/$WIN" && sha256sum ksfupd.exe README.txt >SHA256SUMS)
# Members in a fixed order with the release's time; -X: no owners or other
# extra fields.
touch -d "@$SOURCE_DATE_EPOCH" "$OUT/$WIN" "$OUT/$WIN"/*
(cd "$OUT/$WIN" && zip -qX -9 "../$WIN.zip" ksfupd.exe README.txt SHA256SUMS)

# The Debian package: cpack installs the release-linux tree into its staging
# folder (cmake --install) and archives it.
(cd build/release-linux && rm -rf package && cpack >"$KSF_LOG_DIR/release-cpack.log" 2>&1) ||
  { tail -n 30 "$KSF_LOG_DIR/release-cpack.log" >&2; exit 1; }
cp "build/release-linux/package/ksfupd_${VERSION}_amd64.deb" "$OUT/"

(cd "$OUT" && sha256sum "$WIN.zip" "ksfupd_${VERSION}_amd64.deb" >SHA256SUMS)
ksf_say "release $VERSION in $OUT:"
(cd "$OUT" && ls -l "$WIN.zip" "$WIN.exe.debug" "ksfupd_${VERSION}_amd64.deb" SHA256SUMS)
