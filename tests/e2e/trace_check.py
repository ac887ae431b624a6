#!/usr/bin/env python3
"""Checks for the end-to-end suites: the emulated drive's trace (pass-through
or SG_IO) against the update's command sequence, and ksfupd's --json output.

    trace_check.py sequence TRACE [--boot] [--tray] [--pcb] [--upto CDB[@K]]
                       [--resent CDB]... [--target]
        the trace's commands (CDB, direction, length) are exactly those of one
        run with --device: discovery (3 TEST UNIT READY, a stable INQUIRY
        pair), the checks (board version read with --pcb, the model INQUIRY),
        TEST UNIT READY twice, START STOP UNIT (open the tray) with --tray, the
        boot image with --boot, the main image, flash controls, download mode
        switches.  --upto CDB@K: they end with the K-th (0-based, default 0)
        command whose CDB begins with CDB, refused (EA@N: the N-th block
        write).  --resent CDB: the first such command is sent twice, first
        answered with a unit attention (06/xx/xx).  Every other block write is
        answered GOOD; every command has the 10-second time-out.  --target: a
        drive behind the kernel's SCSI target, which gets each CDB cut to its
        opcode group's length (a vendor command: 10 bytes) and no time-out.
    trace_check.py opcodes TRACE
        the distinct opcodes in the trace, in order of first use.
    trace_check.py json OUTPUT [--boot]
        every line is a JSON object; the events of a full update are there in
        order, with one block event per block at its flash address and its
        image's total, and a progress event at least once a second.
    trace_check.py screen OUTPUT
        the lines a terminal shows of OUTPUT, each as WIDTH|LINE.
    trace_check.py text OUTPUT EVENT
        the text of each EVENT event in the --json OUTPUT, one a line.
"""
import itertools
import json
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import make_package as mp  # noqa: E402

# "<ms> <file> <time-out ms> <CDB> <direction> <length> -> <result>"
LINE = re.compile(r"(\d+) ((?:[0-9A-F]{2} )+)(in|out|none) (\d+) -> (.*)$", re.M)
TUR = ("00 00 00 00 00 00", "none", 0)
INQUIRY = ("12 00 00 00 24 00", "in", 36)
# image: (image size, first flash address, block size)
LAYOUT = {"boot": (mp.BOOT_SIZE, mp.BOOT_ADDR, 4096), "main": (mp.MAIN_SIZE, mp.MAIN_ADDR, 32768)}


def commands(path):
    """(CDB, direction, length, result, time-out) of every command traced."""
    with open(path) as f:
        return [(cdb.strip(), way, int(n), result, int(ms))
                for ms, cdb, way, n, result in LINE.findall(f.read())]


def no_data(cdb):
    return (cdb, "none", 0)


def images(boot):
    return ["boot"] * boot + ["main"]


def blocks(image):
    """(address, data) of each block write of one image, in order."""
    size, address, step = LAYOUT[image]
    data = mp.image_bytes(image, size)[32:]
    return [(address + n, data[n:n + step]) for n in range(0, len(data), step)]


def expected(boot, tray, pcb, resent=(), upto_cdb=None):
    seq = [TUR] * 3 + [INQUIRY] * 2 + [("F5 00 00 00 00 0F 80 48 00 10 00 00", "in", 16)] * pcb
    seq += [INQUIRY, TUR, TUR] + [no_data("1B 00 00 00 02 00")] * tray
    for image in images(boot):
        seq.append(no_data("F6 02 00 00 00 00 00 00 00 00"))
        for address, data in blocks(image):
            # the 10-byte form keeps only the checksum's high byte
            cdb = struct.pack(">HIBHB", 0xEA00, address, 0, len(data) // 2048, sum(data) >> 8 & 255)
            seq.append((cdb.hex(" ").upper(), "out", len(data)))
        if image == "boot":
            seq += [no_data("F5 00 00 00 00 00 00 0F 00 00")] + [TUR] * 3
    seq += [no_data("F5 00 00 00 00 00 00 00 3F 00"), no_data("F6 00 00 00 00 00 00 00 00 00"), TUR, TUR]
    for prefix in resent:
        at = next(i for i, c in enumerate(seq) if c[0].startswith(prefix))
        seq.insert(at, seq[at])
    if upto_cdb is None:
        return seq
    prefix, _, k = upto_cdb.partition("@")
    return seq[:[i for i, c in enumerate(seq) if c[0].startswith(prefix)][int(k or 0)] + 1]


def as_target_gets(cdb):
    group = [6, 10, 10, 12, 16, 12, 10, 10][int(cdb[:2], 16) >> 5]
    return cdb[:group * 3 - 1]


def sequence(args):
    got = commands(args[0])
    upto_cdb = args[args.index("--upto") + 1] if "--upto" in args else None
    resent = [args[i + 1] for i, a in enumerate(args) if a == "--resent"]
    want = expected("--boot" in args, "--tray" in args, "--pcb" in args, resent, upto_cdb)
    target = "--target" in args
    if target:
        want = [(as_target_gets(cdb), way, n) for cdb, way, n in want]
    bad = ["command %d: got %s, expected %s" % (i, g, w)
           for i, (g, w) in enumerate(itertools.zip_longest([c[:3] for c in got], want)) if g != w]
    bad += ["time-out not 10 s: %s" % (c,) for c in got if c[4] != 10000 and not target][:1]
    cut = upto_cdb is not None
    if cut and got and got[-1][3] == "00":
        bad.append("the last command was not refused: %s" % (got[-1],))
    for prefix in resent:
        first = next((c for c in got if c[0].startswith(prefix)), None)
        if first is None or not first[3].startswith("02 06/"):
            bad.append("not a unit attention: %s" % (first,))
    # all but the refused last one and the unit attentions
    writes = [c for c in (got[:-1] if cut else got)
              if c[0].startswith("EA ") and not c[3].startswith("02 06/")]
    bad += ["block write %d answered %s" % (n, c[3]) for n, c in enumerate(writes) if c[3] != "00"]
    if bad:
        print("\n".join(bad[:5]))
    return 1 if bad else 0


def opcodes(args):
    print(" ".join(dict.fromkeys(c[0][:2] for c in commands(args[0]))))


def events(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def json_output(args):
    try:
        got = events(args[0])
    except ValueError as e:
        print("not JSON: %s" % e)
        return 1
    # A progress event at least once a second, each block with its image's total.
    progress = [e for e in got if e.get("event") == "progress"]
    ticks = [e["elapsed"] for e in progress]
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    if len(ticks) < 2 or max(gaps) > 1.05 or ticks[-1] < 45 or progress[-1]["phase"] != "done":
        print("progress events at %s" % ticks)
        return 1
    if any(e["total"] != (4 if e["image"] == "boot" else 11) for e in got if e.get("event") == "block"):
        print("block events without their image's total")
        return 1
    order = [name for name, _ in itertools.groupby(e.get("event") for e in got if e.get("event") != "progress")]
    got = [(e["image"], e["address"], e["length"], e["checksum"]) for e in got if e.get("event") == "block"]
    want = [(image, address, len(data), sum(data) & 0xFFFF)
            for image in images("--boot" in args) for address, data in blocks(image)]
    if order != ["drive", "check", "confirm", "inhibit", "transferring", "block", "waiting", "finished"] or got != want:
        print("events in order %s; block events %s, expected %s" % (order, got[:3], want[:3]))
        return 1
    return 0


def screen(args):
    """The lines a terminal shows of a program's output (each redraw after a
    carriage return replaces the line), with their width in columns."""
    import re, unicodedata
    data = open(args[0], encoding="utf-8", errors="replace").read()
    for line in data.split("\n"):
        line = re.sub("\x1b\\[K", "", line.rstrip("\r")).split("\r")[-1]
        width = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in line)
        print("%d|%s" % (width, line))


def text(args):
    print("\n".join(e["text"].strip() for e in events(args[0]) if e["event"] == args[1]))


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    run = {"sequence": sequence, "opcodes": opcodes, "json": json_output, "text": text,
           "screen": screen}[sys.argv[1]]
    return run(sys.argv[2:]) or 0


if __name__ == "__main__":
    sys.exit(main())
