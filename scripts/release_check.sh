#!/bin/bash
# The release's checks, run by test.sh: two release builds of the same sources
# in two folders under out/release-check/ (copies that share nothing else),
# started at different times, must give the same bytes; then the hardening of
# ksfupd and ksfupd.exe, the zip's and the package's contents, lintian,
# signing, and the release exe started under Wine (Windows 98 mode, and
# signed in NT mode).  Prints "PASS: release: ..." / "FAIL: release: ..." lines.
#
#   scripts/release_check.sh      (as root, after ksf_install)
#   KSF_RELEASE_REUSE=1 scripts/release_check.sh   (the checks on the last builds)
set -u
cd "$(dirname "$0")/.." || exit 1
ROOT=$PWD
source scripts/common.sh
ksf_wine_setup

pass() { echo "PASS: release: $1"; }
fail() { echo "FAIL: release: $1${2:+: $2}"; }
check() {  # NAME COMMAND...
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name" "$*"; fi
}

VERSION=$(sed -n 's/^project(ksfupd VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
WORK=$ROOT/out/release-check
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

# copy DIR: the sources as git sees them (tracked and new files), nothing built.
copy() {
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$1"
}
# build NAME: release.sh in that copy; its log in out/logs/.
build() {
  (cd "$WORK/$1" && KSF_SKIP_INSTALL=1 KSF_LOG_DIR="$WORK/$1/out/logs" nice ./release.sh) \
    >"$KSF_LOG_DIR/release-$1.log" 2>&1
}
start=$SECONDS
if [[ -n ${KSF_RELEASE_REUSE:-} && -d $WORK/b/out/release ]]; then
  # The checks on the builds of the last run (a, signed then, made again).
  rm -rf "$WORK"/{zip,deb,signed,wine,shots}
  build a
  st_a=$? st_b=0
else
  rm -rf "$WORK"
  copy "$WORK/a"
  copy "$WORK/b"
  build a &
  pid_a=$!
  sleep 5 # the second build starts later, so a time that leaks in shows
  build b
  st_b=$?
  wait "$pid_a"
  st_a=$?
  echo "two release builds in $((SECONDS - start)) s"
fi
check "release build a" test "$st_a" = 0
check "release build b" test "$st_b" = 0
A=$WORK/a B=$WORK/b
EXE=build/release-win32/ksfupd.exe BIN=build/release-linux/ksfupd
DEB=out/release/ksfupd_${VERSION}_amd64.deb ZIP=out/release/ksfupd-$VERSION-win32.zip

# ----------------------------------------------------------- reproducible --
for f in "$EXE" "$BIN" "$DEB" "$ZIP" "$EXE.debug"; do
  if diff=$(cmp "$A/$f" "$B/$f" 2>&1); then
    pass "reproducible: $f ($(stat -c %s "$A/$f") bytes)"
  else
    fail "reproducible: $f" "$diff"
  fi
done

# ------------------------------------------------------------- hardening --
elf=$(readelf -hldW "$A/$BIN" 2>&1)
check "ksfupd is PIE" grep -qE 'Type: +DYN .*Position-Independent' <<<"$elf"
check "ksfupd binds at start (BIND_NOW)" grep -qE '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$elf"
check "ksfupd has GNU_RELRO" grep -q 'GNU_RELRO' <<<"$elf"
check "ksfupd's stack is not executable" grep -qE 'GNU_STACK .* RW  ' <<<"$elf"
check "ksfupd uses fortified calls" grep -q '_chk@' <<<"$(nm -D "$A/$BIN")"
check "ksfupd is stripped" test -z "$(readelf -SW "$A/$BIN" | grep -E '\.symtab|\.debug')"
pe=$(i686-w64-mingw32-objdump -xh "$A/$EXE" 2>&1)
check "ksfupd.exe: ASLR and DEP flags" test "$(grep -cE '^\s+(DYNAMIC_BASE|NX_COMPAT)$' <<<"$pe")" = 2
check "ksfupd.exe: no debug sections or symbols" test -z "$(grep -E ' \.debug|^\[ *[0-9]+\]' <<<"$pe")"
check "ksfupd.exe.debug holds the debug sections" grep -q ' \.debug_info' \
  <<<"$(i686-w64-mingw32-objdump -h "$A/$EXE.debug")"

# ------------------------------------------------------------ the zip ----
mkdir -p "$WORK/zip"
unzip -q "$A/$ZIP" -d "$WORK/zip"
check_eq() { if [[ $2 == "$3" ]]; then pass "$1"; else fail "$1" "expected '$3', got '$2'"; fi; }
check_eq "zip members" "$(zipinfo -1 "$A/$ZIP" | paste -sd' ')" "ksfupd.exe README.txt SHA256SUMS"
check "zip: SHA256SUMS match" bash -c "cd '$WORK/zip' && sha256sum --quiet -c SHA256SUMS"
check "zip: README.txt has CRLF line ends only" \
  test "$(grep -c $'\r$' "$WORK/zip/README.txt")" = "$(wc -l <"$WORK/zip/README.txt")"
check "exe version resource: FileVersion and ProductVersion $VERSION.0" python3 -c '
import re, sys
data = open(sys.argv[1], "rb").read()
for key in ("FileVersion", "ProductVersion"):
    want = (key + "\0").encode("utf-16-le") + b"(\0\0)?" + re.escape((sys.argv[2] + ".0").encode("utf-16-le"))
    if not re.search(want, data):
        sys.exit(key + " not " + sys.argv[2])' "$WORK/zip/ksfupd.exe" "$VERSION"

# ------------------------------------------------------- the package ----
contents=$(dpkg-deb -c "$A/$DEB")
for p in ./usr/bin/ksfupd ./usr/share/man/man1/ksfupd.1.gz ./usr/share/bash-completion/completions/ksfupd \
  ./usr/share/doc/ksfupd/copyright ./usr/share/doc/ksfupd/changelog.gz \
  ./usr/share/doc/ksfupd/examples/60-kestran.rules; do
  check "deb holds $p" grep -qE " $p\$" <<<"$contents"
done
check "deb: no active udev rule" test -z "$(grep -E ' \./(etc|lib|usr/lib)/udev' <<<"$contents")"
check "deb: every member root/root at the release time" test -z "$(awk -v d="$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M')" \
  '$2 != "root/root" || $4 " " $5 != d' <<<"$(TZ=UTC dpkg-deb -c "$A/$DEB")")"
check "deb: dependencies from dpkg-shlibdeps" grep -qE '^ Depends: .*libc6 \(>= ' <<<"$(dpkg-deb -I "$A/$DEB")"
dpkg-deb -x "$A/$DEB" "$WORK/deb"
check_eq "ksfupd --version of the package" "$("$WORK/deb/usr/bin/ksfupd" --version)" "ksfupd $VERSION"
lintian --fail-on error,warning "$A/$DEB" >"$KSF_LOG_DIR/release-lintian.log" 2>&1
check "lintian: no errors, no warnings" test $? = 0
grep -E '^[EW]: ' "$KSF_LOG_DIR/release-lintian.log" | sed 's/^/  /'

# ------------------------------------------------------------- signing ----
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ksfupd throwaway signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
(cd "$A" && KSF_SKIP_INSTALL=1 KSF_LOG_DIR="$A/out/logs" ./release.sh --sign "$WORK/key.pem" "$WORK/cert.pem") \
  >"$KSF_LOG_DIR/release-sign.log" 2>&1
check "release.sh --sign" test $? = 0
mkdir -p "$WORK/signed"
unzip -q "$A/$ZIP" -d "$WORK/signed"
SIGNED=$WORK/signed/ksfupd.exe
check "signed zip: SHA256SUMS match the signed exe" bash -c "cd '$WORK/signed' && sha256sum --quiet -c SHA256SUMS"
verify=$(osslsigncode verify -in "$SIGNED" 2>&1)
check "signature intact (digest as signed; the root is not trusted)" test \
  "$(sed -n 's/^Current message digest *: //p' <<<"$verify")" = "$(sed -n 's/^Calculated message digest *: //p' <<<"$verify")" -a \
  -n "$(sed -n 's/^Current message digest *: //p' <<<"$verify")"
check "signature verifies with the signer's certificate as root" \
  bash -c 'osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ "$WORK/cert.pem" "$SIGNED"
check "signed exe is SHA-256 signed" grep -q 'Message digest algorithm *: SHA256' <<<"$verify"
osslsigncode remove-signature -in "$SIGNED" -out "$WORK/unsigned.exe" >/dev/null 2>&1
if diff=$(cmp "$WORK/unsigned.exe" "$B/$EXE" 2>&1); then
  pass "signed exe minus its signature is the reproducible exe"
else
  fail "signed exe minus its signature is the reproducible exe" "$diff"
fi

# ------------------------------------------------------------ under Wine ----
if [[ $KSF_WINE_BITS == 32 ]]; then
  mkdir -p "$WORK/wine"
  RELEASE_EXE=$B/$EXE RELEASE_SIGNED_EXE=$SIGNED E2E_WORK=$WORK/wine \
    E2E_EXTRA_SCENARIOS=$ROOT/tests/e2e/scenarios_release.sh E2E_SHOTS=$WORK/shots \
    tests/e2e/run.sh -j 2 release_win98 release_signed_nt 2>&1 | grep -E '^(PASS|FAIL): ' | sed 's/^\(PASS\|FAIL\): /\1: release: /'
else
  echo "release: the i686 exe under Wine needs 32-bit Wine; this machine runs 64-bit Wine only"
fi
echo "release: checks done in $((SECONDS - start)) s"
