#!/usr/bin/env python3
"""Checks for the end-to-end suites: the emulated drive's trace (pass-through
or SG_IO) against the update's command sequence, and ksfupd's --json output.

    trace_check.py sequence TRACE [--boot] [--tray] [--pcb] [--upto-block N]
        the trace's commands (CDB, direction, length) are exactly those of one
        run with --device: discovery (3 TEST UNIT READY, a stable INQUIRY
        pair), the checks (board version read with --pcb, the model
        INQUIRY), then the flash sequence: TEST UNIT READY twice, START STOP
        UNIT (open the tray) with --tray, the boot image with --boot, the main
        image, flash controls, download mode switches; --upto-block N: the
        sequence ends with the N-th block write (0-based), refused.
        Every block write but a refused last one is answered GOOD; every
        command has the 10-second time-out.
    trace_check.py opcodes TRACE
        the distinct opcodes in the trace, in order of first use.
    trace_check.py json OUTPUT [--boot]
        every line is a JSON object; the events of a full update are there in
        order, with one block event per block at its flash address.
"""
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import make_package  # noqa: E402

# "<ms> <file> <time-out ms> <CDB> <direction> <length> -> <result>"
LINE = re.compile(r"(\d+) ((?:[0-9A-F]{2} )+)(in|out|none) (\d+) -> (.*)$")


def commands(path):
    out = []
    with open(path) as f:
        for line in f:
            m = LINE.search(line.rstrip("\n"))
            if m:
                out.append((m.group(2).strip(), m.group(3), int(m.group(4)), m.group(5),
                            int(m.group(1))))
    return out


def hexs(values):
    return " ".join("%02X" % v for v in values)


def blocks(boot):
    """(address, data) of every block write, in order."""
    out = []
    if boot:
        image = make_package.image_bytes("boot", make_package.BOOT_SIZE)[32:]
        out += [("boot", n * 4096, image[n * 4096:(n + 1) * 4096]) for n in range(4)]
    image = make_package.image_bytes("main", make_package.MAIN_SIZE)[32:]
    out += [("main", 0x8000 + n * 32768, image[n * 32768:(n + 1) * 32768]) for n in range(11)]
    return out


def write_cdb(address, data):
    units = len(data) // 2048
    checksum = sum(data) & 0xFFFF
    cdb = [0xEA, 0, address >> 24 & 255, address >> 16 & 255, address >> 8 & 255, address & 255,
           0, units >> 8, units & 255, checksum >> 8]  # the 10-byte form keeps the high byte
    return hexs(cdb)


def expected(boot, tray, pcb, upto):
    tur = ("00 00 00 00 00 00", "none", 0)
    inquiry = ("12 00 00 00 24 00", "in", 36)
    seq = [tur] * 3 + [inquiry] * 2
    if pcb:
        seq.append(("F5 00 00 00 00 0F 80 48 00 10 00 00", "in", 16))
    seq += [inquiry, tur, tur]
    if tray:
        seq.append(("1B 00 00 00 02 00", "none", 0))
    on = ("F6 02 00 00 00 00 00 00 00 00", "none", 0)
    written = 0
    for phase in (["boot"] if boot else []) + ["main"]:
        seq.append(on)
        for image, address, data in blocks(boot):
            if image != phase:
                continue
            seq.append((write_cdb(address, data), "out", len(data)))
            if written == upto:
                return seq
            written += 1
        if phase == "boot":
            seq += [("F5 00 00 00 00 00 00 0F 00 00", "none", 0)] + [tur] * 3
    seq += [("F5 00 00 00 00 00 00 00 3F 00", "none", 0),
            ("F6 00 00 00 00 00 00 00 00 00", "none", 0), tur, tur]
    return seq


def sequence(args):
    got = commands(args[0])
    upto = int(args[args.index("--upto-block") + 1]) if "--upto-block" in args else None
    want = expected("--boot" in args, "--tray" in args, "--pcb" in args, upto)
    bad = []
    for i in range(max(len(got), len(want))):
        g = got[i][:3] if i < len(got) else None
        w = want[i] if i < len(want) else None
        if g != w:
            bad.append("command %d: got %s, expected %s" % (i, g, w))
    slow = [c for c in got if c[4] != 10000]
    if slow:
        bad.append("time-out not 10 s: %s" % (slow[0],))
    writes = [c for c in got if c[0].startswith("EA ")]
    refused_last = upto is not None
    for n, c in enumerate(writes):
        if c[3] != "00" and not (refused_last and n == len(writes) - 1):
            bad.append("block write %d answered %s" % (n, c[3]))
    for line in bad[:5]:
        print(line)
    return 1 if bad else 0


def opcodes(args):
    seen = []
    for c in commands(args[0]):
        op = c[0][:2]
        if op not in seen:
            seen.append(op)
    print(" ".join(seen))
    return 0


def json_output(args):
    events = []
    with open(args[0]) as f:
        for n, line in enumerate(f, 1):
            try:
                events.append(json.loads(line))
            except ValueError as e:
                print("line %d is not JSON: %s (%r)" % (n, e, line[:80]))
                return 1
    names = [e.get("event") for e in events]
    order = ["drive", "check", "transferring", "block", "waiting", "finished"]
    squeezed = [n for i, n in enumerate(names) if i == 0 or n != names[i - 1]]
    if squeezed != order:
        print("events in order %s, expected %s" % (squeezed, order))
        return 1
    want = [(image, address, len(data), sum(data) & 0xFFFF)
            for image, address, data in blocks("--boot" in args)]
    got = [(e["image"], e["address"], e["length"], e["checksum"])
           for e in events if e["event"] == "block"]
    if got != want:
        print("block events %s, expected %s" % (got[:3], want[:3]))
        return 1
    return 0


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    return {"sequence": sequence, "opcodes": opcodes, "json": json_output}[sys.argv[1]](sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
