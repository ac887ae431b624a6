#!/usr/bin/env python3
"""Checks the application manifest that a built ksfupd.exe carries.

    tests/resources/check_manifest.py EXE...

Reads the PE file's resources with wrestool (icoutils) and checks that
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
import subprocess
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}


def manifests(path):
    """{(name, language): bytes} of the PE file's manifest resources, read
    with wrestool (icoutils)."""
    def wrestool(*args):
        run = subprocess.run(["wrestool", "--type=%d" % RT_MANIFEST, *args, path],
                             capture_output=True)
        if run.returncode != 0 or run.stderr:
            raise ValueError(run.stderr.decode(errors="replace").strip() or "wrestool failed")
        return run.stdout
    found = re.findall(r"--name=(\S+) --language=(\S+)", wrestool("--list").decode())
    return {(name, language): wrestool("--extract", "--raw", "--name=" + name,
                                       "--language=" + language) for name, language in found}


def check(path):
    results = []

    def ok(cond, what):
        print("%s %s: %s" % ("PASS" if cond else "FAIL", path, what))
        results.append(cond)
        return cond

    try:
        found = manifests(path)
    except (OSError, ValueError) as e:
        return ok(False, "readable PE resources (%s)" % e)
    if not ok([name for name, _ in found] == ["1"],
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
