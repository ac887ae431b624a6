#!/usr/bin/env python3
"""Checks that a built ksfupd.exe imports only what its oldest systems export.

    tests/resources/check_imports.py EXE...

Reads each PE file's import table (objdump -p) and compares every imported
DLL and function with tests/resources/windows_imports.txt.  An import that
is not listed there (a function of a later Windows, or a later msvcrt.dll)
would make the loader refuse the program on an older system before any of
its code runs, so each one found is named.  Imports by ordinal are refused
too: their meaning changes between versions.

Prints "PASS <exe>: ..." / "FAIL <exe>: ..." lines; exit status 1 on a failure.
"""
import os
import re
import shutil
import subprocess
import sys

ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")


def allowed(x64):
    """{(dll, function)} from the allowlist: 'dll function oldest-windows [note]';
    lines whose oldest Windows is 'x64' count for the x86_64 build only."""
    names = set()
    with open(ALLOWLIST, encoding="utf-8") as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if len(fields) < 3:
                continue
            if fields[2] == "x64" and not x64:
                continue
            names.add((fields[0].lower(), fields[1]))
    return names


def imports(path):
    """(x64, [(dll, function)]) of the PE file: its machine and its import
    table; imports by ordinal as '#N'."""
    objdump = shutil.which("objdump") or "i686-w64-mingw32-objdump"
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    x64 = "file format pei-x86-64" in out
    found, dll = [], None
    for line in out.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        if dll is None:
            continue
        if not line.strip() or re.match(r"\s*[0-9a-f]{8}\s+[0-9a-f]{8}", line):
            dll = None  # the end of this DLL's entries
            continue
        m = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)\s*$", line)
        if m:
            found.append((dll, m.group(2)))
            continue
        m = re.match(r"\s+[0-9a-f]+\s+<none>\s+([0-9a-f]+)", line)
        if m:
            found.append((dll, "#" + str(int(m.group(1), 16))))
    return x64, found


def main(paths):
    failed = False
    for path in paths:
        x64, got = imports(path)
        names = allowed(x64)
        if not got:
            print(f"FAIL {path}: no import table read")
            failed = True
            continue
        outside = sorted(set(got) - names)
        if outside:
            failed = True
            print(f"FAIL {path}: {len(outside)} imports outside {os.path.basename(ALLOWLIST)}:")
            for dll, function in outside:
                print(f"  {dll} {function}")
        else:
            print(f"PASS {path}: {len(set(got))} imports, all in the allowlist")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
