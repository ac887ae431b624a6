#!/usr/bin/env python3
"""Writes a sample update package: a package description file and one or two
firmware images with deterministic content.

    make_package.py DIR [options]

The boot image is 16,416 bytes and the main image 360,480 bytes by default,
each a 32-byte header followed by the image data, which is exactly what the
flash layout writes (4 x 4096 boot bytes from drive address 0, 11 x 32768 main
bytes from 0x8000).  `--check-flash DUMP` compares a flash dump of the emulated
drive with the images instead of writing anything.
"""
import argparse
import os
import sys

BOOT_SIZE = 32 + 4 * 4096
MAIN_SIZE = 32 + 11 * 32768
BOOT_ADDR = 0x0000
MAIN_ADDR = 0x8000


def image_bytes(kind, size):
    """Header then data; the data differ between the two kinds and at every
    block so a misplaced or repeated block is seen."""
    header = ("KSF %s IMAGE" % kind.upper()).encode("ascii").ljust(32, b"\0")[:32]
    seed = 0x5A if kind == "boot" else 0xC3
    state = seed * 2654435761 & 0xFFFFFFFF
    out = bytearray(header)
    n = max(0, size - 32)
    data = bytearray(n)
    for i in range(n):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        data[i] = (state >> 16) & 0xFF
    out += data
    return bytes(out[:size]) if size < 32 else bytes(out)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def build_ini(a):
    lines = ["; sample package for the Kestran firmware updater", "[UPGRADEINFORMATION]"]
    if a.title is not None:
        lines.append("APPLICATIONTITLE=" + a.title)
    lines.append("INQUIRY=" + a.inquiry)
    if a.boot:
        lines.append("BOOTFIRMWAREFILENAME=" + a.boot_name)
        lines.append("BOOTFIRMWAREFILESIZE=%d" % (a.declared_boot if a.declared_boot is not None else BOOT_SIZE))
    lines.append("FIRMWAREFILENAME=" + a.main_name)
    lines.append("FIRMWAREFILESIZE=%d" % (a.declared_main if a.declared_main is not None else MAIN_SIZE))
    lines.append("VERSION=" + a.version)
    if a.buffer is not None:
        lines.append("BUFFERSIZE=%s" % a.buffer)
    lines += a.first or []
    lines.append("[OPTION]")
    if a.caution != "none":
        key = {"cdr": "USE CDR CAUTION", "cdrw": "USE CDRW CAUTION", "cdrom": "USE CDROM CAUTION"}[a.caution]
        lines.append(key + "=YES")
    if a.aspi:
        lines.append("USE SCSIPASSTHROUGHINTERFACE ON WINNT=NO")
    if a.no_restart:
        lines.append("USE RESTART=NO")
    if a.no_delete:
        lines.append("USE DELETE FILE=NO")
    if a.pcb is not None:
        lines.append("USE PCB VERSION CHECK=%d" % a.pcb)
    if a.wait is not None:
        lines.append("UPDATE WAIT TIME=%d" % a.wait)
    lines += a.option or []
    return ("\r\n".join(lines) + "\r\n").encode("cp932")


def check_flash(a):
    with open(a.check_flash, "rb") as f:
        flash = f.read()
    ok = True
    if a.boot:
        boot = image_bytes("boot", BOOT_SIZE)[32:]
        got = flash[BOOT_ADDR:BOOT_ADDR + len(boot)]
        print("boot_at_0=%s" % ("equal" if got == boot else "different"))
        ok &= got == boot
    main = image_bytes("main", MAIN_SIZE)[32:]
    got = flash[MAIN_ADDR:MAIN_ADDR + len(main)]
    print("main_at_0x8000=%s" % ("equal" if got == main else "different"))
    ok &= got == main
    return 0 if ok else 1


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dir")
    p.add_argument("--ini-name", default="kestfirm.ini")
    p.add_argument("--no-ini", action="store_true", help="write the images only")
    p.add_argument("--title")
    p.add_argument("--inquiry", default="KESTRAN CD-R   TQ-517T  ;")
    p.add_argument("--version", default="1.10")
    p.add_argument("--boot", action="store_true", help="include a boot image")
    p.add_argument("--boot-name", default="TQ517TB.BIN")
    p.add_argument("--main-name", default="TQ517T.BIN")
    p.add_argument("--declared-boot", type=int)
    p.add_argument("--declared-main", type=int)
    p.add_argument("--main-file-size", type=int, help="bytes actually written for the main image")
    p.add_argument("--no-main-file", action="store_true")
    p.add_argument("--buffer")
    p.add_argument("--caution", choices=["none", "cdr", "cdrw", "cdrom"], default="none")
    p.add_argument("--aspi", action="store_true", help="USE SCSIPASSTHROUGHINTERFACE ON WINNT=NO")
    p.add_argument("--no-restart", action="store_true")
    p.add_argument("--no-delete", action="store_true")
    p.add_argument("--pcb", type=int)
    p.add_argument("--wait", type=int)
    p.add_argument("--first", action="append", help="extra line in [UPGRADEINFORMATION]")
    p.add_argument("--option", action="append", help="extra line in [OPTION]")
    p.add_argument("--check-flash", metavar="DUMP")
    a = p.parse_args()

    if a.check_flash:
        return check_flash(a)

    os.makedirs(a.dir, exist_ok=True)
    if a.boot:
        write(os.path.join(a.dir, a.boot_name), image_bytes("boot", BOOT_SIZE))
    if not a.no_main_file:
        size = a.main_file_size if a.main_file_size is not None else MAIN_SIZE
        write(os.path.join(a.dir, a.main_name), image_bytes("main", MAIN_SIZE)[:size])
    if not a.no_ini:
        write(os.path.join(a.dir, a.ini_name), build_ini(a))
    return 0


if __name__ == "__main__":
    sys.exit(main())
