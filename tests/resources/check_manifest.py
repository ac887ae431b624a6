#!/usr/bin/env python3
"""Checks the application manifest that a built ksfupd.exe carries.

    tests/resources/check_manifest.py EXE...

Reads the PE file's resource tree (no Windows tools needed) and checks that
there is exactly one manifest resource, type 24 id 1, and that it is
well-formed XML asking for administrator rights and nothing else:

  * an asm.v1 assembly, manifestVersion 1.0;
  * one trustInfo in the asm.v3 namespace with one requestedExecutionLevel,
    level requireAdministrator, uiAccess false;
  * no dependency (a common-controls dependency would change the dialogs'
    look) and no other element;
  * no element declaring a namespace twice (Windows XP SP2 restarts when it
    meets one) and no trustInfo in the asm.v1 namespace (XP refuses that).

Prints "PASS <exe>: ..." / "FAIL <exe>: ..." lines; exit status 1 on a failure.
"""
import re
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"


class PeError(Exception):
    pass


def resources(data):
    """{(type, name, lang): bytes} of the PE image's resource tree (ids only)."""
    if data[:2] != b"MZ":
        raise PeError("not an MZ file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise PeError("no PE header")
    nsec, = struct.unpack_from("<H", data, pe + 6)
    optsize, = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    magic, = struct.unpack_from("<H", data, opt)
    dirs = opt + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if dirs < opt:
        raise PeError("unknown optional header 0x%x" % magic)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
    sections = []
    for i in range(nsec):
        s = opt + optsize + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), rawptr))

    def at(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise PeError("RVA 0x%x outside every section" % rva)

    if not rsrc_rva:
        return {}
    base = at(rsrc_rva)
    out = {}

    def walk(off, path, depth):
        named, ids = struct.unpack_from("<HH", data, base + off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + off + 16 + 8 * i)
            key = ("name@%x" % (name & 0x7FFFFFFF)) if name & 0x80000000 else name
            if target & 0x80000000:
                if depth >= 2:
                    raise PeError("resource tree deeper than three levels")
                walk(target & 0x7FFFFFFF, path + (key,), depth + 1)
            else:
                rva, size = struct.unpack_from("<II", data, base + target)
                start = at(rva)
                out[path + (key,)] = data[start : start + size]

    walk(0, (), 0)
    return out


def check(path):
    fails = []

    def ok(cond, what):
        print("%s %s: %s" % ("PASS" if cond else "FAIL", path, what))
        if not cond:
            fails.append(what)
        return cond

    try:
        res = resources(open(path, "rb").read())
    except (OSError, PeError, struct.error) as e:
        ok(False, "readable PE resources (%s)" % e)
        return False
    manifests = {k: v for k, v in res.items() if k[0] == RT_MANIFEST}
    if not ok(len(manifests) == 1 and list(manifests)[0][1] == 1,
              "exactly one manifest resource, id 1 (found %s)" % sorted(k[1:] for k in manifests)):
        return False
    text = list(manifests.values())[0]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        ok(False, "manifest is well-formed XML (%s)" % e)
        return False
    ok(root.tag == "{%s}assembly" % ASM_V1 and root.get("manifestVersion") == "1.0",
       "asm.v1 assembly, manifestVersion 1.0")
    trust = root.findall("{%s}trustInfo" % ASM_V3)
    levels = root.findall(".//{%s}requestedExecutionLevel" % ASM_V3)
    ok(len(trust) == 1 and len(levels) == 1 and
       root.find("{%s}trustInfo/{%s}security/{%s}requestedPrivileges/{%s}requestedExecutionLevel"
                 % ((ASM_V3,) * 4)) is not None,
       "one asm.v3 trustInfo/security/requestedPrivileges/requestedExecutionLevel")
    ok(len(levels) == 1 and levels[0].get("level") == "requireAdministrator"
       and levels[0].get("uiAccess") == "false" and len(levels[0].attrib) == 2,
       "level requireAdministrator, uiAccess false")
    others = [e.tag for e in root if e.tag != "{%s}trustInfo" % ASM_V3]
    ok(not others, "nothing but trustInfo (found %s)" % others)
    ok(root.find("{%s}trustInfo" % ASM_V1) is None and root.find("trustInfo") is None,
       "no trustInfo outside the asm.v3 namespace")
    tags = re.findall(rb"<[A-Za-z_][^>]*>", text)
    ok(all(len(re.findall(rb"\bxmlns(?::[\w.-]+)?\s*=", t)) <= 1 for t in tags),
       "no element declares more than one namespace")
    return not fails


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    return 0 if all([check(p) for p in argv[1:]]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
