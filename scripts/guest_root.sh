#!/bin/bash
# Fills the root folder of a small Linux guest's initramfs: busybox with its
# applets, programs with the shared libraries they load (at the same paths,
# the dynamic loader included), kernel modules with those they depend on
# (decompressed; /modules/order lists them in loading order) and the init.
#
#   scripts/guest_root.sh ROOT KERNEL_DIR INIT PROGRAM... -- MODULE...
#
# KERNEL_DIR is an unpacked kernel package (ksf_kernel in scripts/common.sh).
# The caller adds its own files and packs ROOT (cpio -H newc).
set -eu
root=$1 kdir=$2 init=$3
shift 3
programs=()
while (($#)) && [[ $1 != -- ]]; do
  programs+=("$1")
  shift
done
shift

mkdir -p "$root"/{bin,modules,proc,sys,dev,tmp,etc}
cp /bin/busybox "$root/bin/"
for applet in $(/bin/busybox --list | grep -vx busybox); do ln -s busybox "$root/bin/$applet"; done
cp "${programs[@]}" "$root/bin/"
for lib in $(ldd "${programs[@]}" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | sort -u); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cp "$init" "$root/init"

mods=$(echo "$kdir"/lib/modules/*/kernel)
declare -A added=()
add_module() {
  local file dep
  [[ -n ${added[$1]:-} ]] && return
  added[$1]=1
  file=$(find "$mods" -name "$1.ko" -o -name "$1.ko.xz" | head -n 1)
  [[ -n $file ]] || { echo "module $1 is not in $kdir" >&2; exit 1; }
  for dep in $(strings "$file" | sed -n 's/^depends=//p' | tr , ' '); do add_module "$dep"; done
  case $file in
    *.xz) xz -dc "$file" >"$root/modules/$1.ko" ;;
    *) cp "$file" "$root/modules/$1.ko" ;;
  esac
  echo "$1" >>"$root/modules/order"
}
for m in "$@"; do add_module "$m"; done
