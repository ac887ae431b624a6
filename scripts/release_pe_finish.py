#!/usr/bin/env python3
"""Finishes a stripped release exe so that signing only appends to it.

Authenticode signing pads the file to a multiple of 8 bytes before it appends
the certificate table, and sets the PE checksum; removing the signature keeps
the padding and recomputes the checksum.  An exe that is already padded, with
its checksum right, is then the signed one minus its signature, byte for byte.

    release_pe_finish.py FILE.exe
"""
import struct
import sys


def pe_checksum(data, field):
    total = 0
    for i in range(0, len(data) - 1, 2):
        if field <= i < field + 4:
            continue
        total += data[i] | data[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(path):
    data = bytearray(open(path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    field = pe + 4 + 20 + 64  # CheckSum in the optional header
    data += b"\0" * (-len(data) % 8)
    struct.pack_into("<I", data, field, pe_checksum(data, field))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1])
