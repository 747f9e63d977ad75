#!/usr/bin/env python3
"""The Windows images as built: PE headers, the import table (objdump -p), the packed setup
files, no build paths, and a second build in another directory that gives the same bytes.

usage: check_images.py --source DIR --build DIR --data REG
                       --arch ARCH IMAGE SETUP [--arch ARCH IMAGE SETUP ...]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

FORMATS = {"x86_64": ("pei-x86-64", "020b", "PE32+"), "i686": ("pei-i386", "010b", "PE32")}
SYSTEM_DLLS = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"}

# The Windows functions the program calls by import, by unit (shlwapi's SHDeleteKeyA is reached
# at run time with LoadLibraryA and GetProcAddress, so it must not be imported).
EXPECTED_IMPORTS = {
    "KERNEL32.DLL": ["GetVersionExA", "GetModuleFileNameW", "GetModuleFileNameA", "CreateFileW",
                     "CreateFileA", "SetFilePointer", "ReadFile", "CloseHandle",
                     "WideCharToMultiByte", "LoadLibraryA", "GetProcAddress"],
    "ADVAPI32.DLL": ["RegOpenKeyExA", "RegQueryValueExA", "RegEnumKeyExA", "RegDeleteKeyA",
                     "RegCloseKey", "RegCreateKeyExA", "RegSetValueExA"],
    "USER32.DLL": ["MessageBoxA"],
}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


def objdump(arch):
    tool = "%s-w64-mingw32-objdump" % arch
    return shutil.which(tool) or shutil.which("x86_64-w64-mingw32-objdump") or "objdump"


def imports(text):
    """{DLL: [function, ...]} from objdump -p's import tables."""
    table = {}
    current = None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = m.group(1).upper()
            table[current] = []
            continue
        if current is not None:
            m = re.match(r"\s*[0-9a-fA-F]+\s+(?:<none>\s+)?[0-9a-fA-F]+\s+(\w+)\s*$", line)
            if m:
                table[current].append(m.group(1))
            elif not line.strip():
                pass
    return table


def header(text, field):
    m = re.search(r"^%s\s+(.*)$" % re.escape(field), text, re.M)
    return m.group(1).strip() if m else None


def check_image(arch, image, setup, data, paths):
    with open(image, "rb") as f:
        image_bytes = f.read()
    text = subprocess.run([objdump(arch), "-p", image], capture_output=True, text=True,
                          check=True).stdout
    fmt, magic, kind = FORMATS[arch]
    check("file format %s" % fmt in text, "%s: not %s" % (arch, fmt))
    check((header(text, "Magic") or "").startswith("%s\t(%s)" % (magic, kind))
          or (header(text, "Magic") or "").split()[:2] == [magic, "(%s)" % kind],
          "%s: Magic is %r, want %s (%s)" % (arch, header(text, "Magic"), magic, kind))
    check("(Windows GUI)" in (header(text, "Subsystem") or ""),
          "%s: subsystem %r, want Windows GUI" % (arch, header(text, "Subsystem")))
    check("1970" in (header(text, "Time/Date") or ""),
          "%s: PE time stamp %r, want 0" % (arch, header(text, "Time/Date")))
    table = imports(text)
    dlls = set(table)
    check(dlls == SYSTEM_DLLS, "%s: imports %s, want exactly %s"
          % (arch, sorted(dlls), sorted(SYSTEM_DLLS)))
    for dll, functions in EXPECTED_IMPORTS.items():
        for function in functions:
            check(function in table.get(dll, []), "%s: %s not imported from %s"
                  % (arch, function, dll))
    every = [f for functions in table.values() for f in functions]
    check("SHDeleteKeyA" not in every, "%s: SHDeleteKeyA imported" % arch)
    for path in paths:
        check(path.encode() not in image_bytes, "%s: the image holds the path %s" % (arch, path))
    # The setup file is the image, the script and the script's length.
    with open(setup, "rb") as f:
        setup_bytes = f.read()
    with open(data, "rb") as f:
        data_bytes = f.read()
    check(setup_bytes == image_bytes + data_bytes + len(data_bytes).to_bytes(4, "little"),
          "%s: %s is not image + %s + length" % (arch, setup, data))
    print("%s: %s, %d bytes image, %d bytes setup file; subsystem %s; imports:"
          % (arch, kind, len(image_bytes), len(setup_bytes), header(text, "Subsystem")))
    for dll in sorted(table):
        print("    %-13s %s" % (dll, " ".join(sorted(table[dll]))))


def rebuild(source, arch, where):
    """A second cross build of the image from scratch, in another directory."""
    if os.path.exists(where):
        shutil.rmtree(where)
    subprocess.run(["cmake", "-S", os.path.join(source, "cmake", "windows"), "-B", where,
                    "-DCMAKE_TOOLCHAIN_FILE=%s" % os.path.join(
                        source, "cmake", "toolchain-%s-w64-mingw32.cmake" % arch),
                    "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DDRVSETUP_SOURCE_DIR=%s" % source],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", where], check=True, capture_output=True)
    return os.path.join(where, "drvsetup_image.exe")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--arch", nargs=3, action="append", metavar=("ARCH", "IMAGE", "SETUP"),
                        required=True)
    args = parser.parse_args()
    paths = [os.path.abspath(args.source), os.path.abspath(args.build)]
    for arch, image, setup in args.arch:
        check_image(arch, image, setup, args.data, paths)
        again = rebuild(os.path.abspath(args.source), arch,
                        os.path.join(args.build, "repro", "another", "dir", arch))
        with open(image, "rb") as a, open(again, "rb") as b:
            same = a.read() == b.read()
        check(same, "%s: a second build in another directory differs from %s" % (arch, image))
        if same:
            print("%s: a second build in another directory gives the same bytes" % arch)
    if failures:
        print("%d failures" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
