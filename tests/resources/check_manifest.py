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
NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}


def manifests(data):
    """{(name, language): bytes} of the PE image's manifest resources."""
    if data[:2] != b"MZ":
        raise ValueError("not an MZ file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    # COFF header: section count, optional header size; then the optional header's magic
    nsec, optsize, magic = struct.unpack_from("<H12xH2xH", data, pe + 6)
    if magic not in (0x10B, 0x20B):
        raise ValueError("unknown optional header 0x%x" % magic)
    opt = pe + 24
    rsrc_rva = struct.unpack_from("<I", data, opt + (96 if magic == 0x10B else 112) + 2 * 8)[0]
    # (virtual size, address, raw size, file offset) of each section
    sections = [struct.unpack_from("<IIII", data, opt + optsize + 40 * i + 8) for i in range(nsec)]

    def at(rva):
        for vsize, va, rawsize, raw in sections:
            if va <= rva < va + max(vsize, rawsize):
                return raw + rva - va
        raise ValueError("RVA 0x%x outside every section" % rva)

    def entries(target):
        """(id, target) of each entry of the resource directory at target."""
        if not target & 0x80000000:
            raise ValueError("a resource at the wrong level of the tree")
        off = rsrc + (target & 0x7FFFFFFF)
        named, ids = struct.unpack_from("<HH", data, off + 12)
        return [struct.unpack_from("<II", data, off + 16 + 8 * i) for i in range(named + ids)]

    if not rsrc_rva:
        return {}
    rsrc = at(rsrc_rva)
    out = {}
    for kind, names in entries(0x80000000):
        for name, languages in entries(names) if kind == RT_MANIFEST else []:
            for language, leaf in entries(languages):
                if leaf & 0x80000000:
                    raise ValueError("resource tree deeper than three levels")
                rva, size = struct.unpack_from("<II", data, rsrc + leaf)
                out[name, language] = data[at(rva):at(rva) + size]
    return out


def check(path):
    results = []

    def ok(cond, what):
        print("%s %s: %s" % ("PASS" if cond else "FAIL", path, what))
        results.append(cond)
        return cond

    try:
        found = manifests(open(path, "rb").read())
    except (OSError, ValueError, struct.error) as e:
        return ok(False, "readable PE resources (%s)" % e)
    if not ok(len(found) == 1 and list(found)[0][0] == 1,
              "exactly one manifest resource, id 1 (found %s)" % sorted(found)):
        return False
    text = list(found.values())[0]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return ok(False, "manifest is well-formed XML (%s)" % e)
    ok(root.tag == "{%s}assembly" % NS["v1"] and root.get("manifestVersion") == "1.0",
       "asm.v1 assembly, manifestVersion 1.0")
    levels = root.findall(".//v3:requestedExecutionLevel", NS)
    ok(len(root.findall("v3:trustInfo", NS)) == 1 and len(levels) == 1
       and root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", NS) is not None,
       "one asm.v3 trustInfo/security/requestedPrivileges/requestedExecutionLevel")
    ok(len(levels) == 1 and levels[0].attrib == {"level": "requireAdministrator", "uiAccess": "false"},
       "level requireAdministrator, uiAccess false")
    others = [e.tag for e in root if e.tag != "{%s}trustInfo" % NS["v3"]]
    ok(not others, "nothing but trustInfo (found %s)" % others)
    ok(root.find("v1:trustInfo", NS) is None and root.find("trustInfo") is None,
       "no trustInfo outside the asm.v3 namespace")
    tags = re.findall(rb"<[A-Za-z_][^>]*>", text)
    ok(all(len(re.findall(rb"\bxmlns(?::[\w.-]+)?\s*=", t)) <= 1 for t in tags),
       "no element declares more than one namespace")
    return all(results)


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    return 0 if all([check(p) for p in argv[1:]]) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
