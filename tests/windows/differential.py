#!/usr/bin/env python3
"""One table of registration scripts, each packed into the native setup file and into the
Windows drvsetup.exe and run on both: the native build on a store of its own (DRVSETUP_REGISTRY),
the Windows build in a Wine prefix (a fresh copy of the template per worker; the test keys are
deleted, and checked to be gone, before each row). Outcomes and the registries they leave under the test keys
must agree; where they don't, the row shows both sides.

usage: differential.py --build DIR --windows-image EXE --native-image BIN --drvpack PATH
                       --drvreg PATH [--only ROW ...] [--jobs N]

The native store is read back with `drvreg export KEY` (UTF-8, LF), the Wine registry with
`reg export KEY FILE` (UTF-16, CR LF); both are parsed into {key path: {value name: (type,
data)}} with paths taken relative to the exported key, so the comparison is of content, not of
the two formats.
"""

import argparse
import concurrent.futures
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelib  # noqa: E402

K = "HKEY_LOCAL_MACHINE\\Software\\kestrova"
U = "HKEY_CURRENT_USER\\Software\\drvdiff"
C = "HKEY_CLASSES_ROOT\\drvdiff"
# The keys the scripts write under, as each side names them for export.
EXPORTS = [(K, "HKLM\\Software\\kestrova"), (U, "HKCU\\Software\\drvdiff"), (C, "HKCR\\drvdiff")]

HEAD = "Windows Registry Editor Version 5.00\r\n\r\n"
VERSION = "[%s\\DRIVER2]\r\n\"DriverVersion\"=dword:00000038\r\n\r\n" % K


def crlf(*lines):
    return "\r\n".join(lines) + "\r\n"


def std(*lines):
    """The usual script: header line, the version section, then the given lines (CR LF)."""
    return HEAD + VERSION + crlf(*lines)


LONG_255 = "L" * 255
LONG_256 = "M" * 256
# A long key name whose whole sub-key path stays within 260 characters (see the row below).
LONG_200 = "L" * 200

# name, script text (as the UTF-16 setup data will hold it), expected outcome (None: whatever
# the registry makes of it, the two builds must only agree), and for a row where Wine departs
# from the documented Windows registry, the outcome Wine gives instead.
ROWS = [
    ("plain", std("[%s\\DRIVER2\\SETS\\A]" % K, '"load1"="MMC-Writer"', '"Device"="16"',
                  '"Flag"=dword:00000001'), 0),
    ("escapes", std("[%s\\esc]" % K, r'"two"="a\\b"', r'"quote"="say \"hi\""', r'"n"="\n"',
                    r'"other"="\x\y\ \z"', r'"name\with\backslash"="1"',
                    r'"end"="trailing\\"'), 0),
    ("escape at line end", std("[%s\\esc]" % K, '"ok"="1"', '"bad"="x\\'), -3),
    ("escaped closing quote", std("[%s\\esc]" % K, '"ok"="1"', '"bad"="x\\"'), -3),
    ("blanks", std("  \t[%s\\blank]" % K, '  "lead"="1"', '"gap"  \t =  \t"2"  \t',
                   '"junk" junk ="3"', "[%s\\  two  spaces  ]" % K, '"v"="x"',
                   "[%s\\tab\there]" % K, '"v"="y"'), 0),
    ("blank after [", std("[%s\\first]" % K, '"kept"="1"', "[ %s\\second]" % K, '"v"="1"'), -3),
    ("text after ]", std("[%s\\after] ; anything here" % K, '"v"="1"'), 0),
    ("roots", std("[hkey_local_machine\\Software\\kestrova\\lower]", '"v"="1"',
                  "[%s]" % U, '"user"="1"', "[hkey_current_user\\Software\\drvdiff\\sub]",
                  '"v"="2"', "[%s]" % C, '"class"="1"', "[%s\\sub]" % C, '"v"="3"'), 0),
    ("unknown root", std("[%s\\before]" % K, '"v"="1"', "[HKEY_USERS\\.DEFAULT\\drvdiff]",
                         '"v"="1"'), -3),
    ("deletion header", std("[%s\\before]" % K, '"v"="1"', "[-%s\\before]" % K), -3),
    ("root alone", std("[%s\\before]" % K, '"v"="1"', "[HKEY_CURRENT_USER]", '"v"="1"'), -3),
    ("empty sub-key", std("[%s\\before]" % K, '"v"="1"', "[HKEY_CURRENT_USER\\]",
                          "[%s\\after]" % K, '"v"="2"'), 0),
    ("header without ] then ]", std("[%s\\open" % U, "; no bracket here",
                                     "[%s\\next]" % U, '"v"="1"'), 0),
    ("header without ] at all", std("[%s\\before]" % K, '"v"="1"', "[%s\\open" % K,
                                     '"v"="1"'), -3),
    ("empty data and names", std("[%s\\empty]" % K, '"e"=""', '""="default"',
                                 "[%s\\novalues]" % K, "", "[%s\\novalues\\child]" % K), 0),
    ("skipped lines", std("[%s\\skip]" % K, "; comment", "@=\"default\"", "   ", "",
                          "# hash", '"v"="1"', "unquoted=1"), 0),
    ("long names", std("[%s\\%s]" % (K, LONG_200), '"%s"="%s"' % ("N" * 300, "D" * 2000),
                       "[%s\\deep%s]" % (K, "".join("\\l%d" % i for i in range(30))),
                       '"v"="1"'), 0),
    # Key names of up to 255 characters are valid, and Windows takes sub-key paths longer than
    # 260 characters (keys nest far deeper than that allows). Wine's RegCreateKeyExA refuses any
    # sub-key path of more than 260 characters (ERROR_MORE_DATA), so Wine fails this import where
    # Windows and the native build succeed: a Wine defect, expected as such.
    ("key name of 255 bytes", std("[%s\\%s]" % (K, LONG_255), '"v"="1"'), 0, -3),
    ("key component of 256 bytes", std("[%s\\before]" % K, '"v"="1"',
                                       "[%s\\%s]" % (K, LONG_256), '"v"="1"'), None),
    ("non-ASCII in Windows-1252", std("[%s\\Br\u00fccke \u00d7 \u20ac]" % K,
                                      '"Gr\u00f6\u00dfe"="\u00e9\u00e8 \u00bd \u0153"',
                                      '"\u00c6"="\u00ff"'), 0),
    ("non-ASCII case", std("[%s\\\u00e4\u00f6]" % K, '"\u00e9"="1"', '"\u00c9"="2"',
                           "[%s\\\u00c4\u00d6]" % K, '"v"="3"'), 0),
    ("ASCII case", std("[%s\\Case]" % K, '"Name"="1"', "[%s\\CASE]" % K, '"NAME"="2"',
                       '"name"=dword:3'), 0),
    ("dword forms", std("[%s\\dword]" % K, '"caps"=DWORD:0000000A', '"mixed"=DwOrD:b',
                        '"nine"=dword:100000038', '"max"=dword:ffffffff',
                        '"blanks"=dword:00000010  \t', '"short"=dword:7'), 0),
    ("dword blank before digits", std("[%s\\dword]" % K, '"ok"=dword:1', '"bad"=dword: 1'),
     -3),
    ("dword no digits", std("[%s\\dword]" % K, '"ok"=dword:1', '"bad"=dword:'), -3),
    ("dword 0x", std("[%s\\dword]" % K, '"ok"=dword:1', '"bad"=dword:0x10'), -3),
    ("dword trailing text", std("[%s\\dword]" % K, '"ok"=dword:1', '"bad"=dword:10;'), -3),
    ("hex value", std("[%s\\hex]" % K, '"ok"="1"', '"bad"=hex:01,02', '"after"="2"'), -3),
    ("string trailing text", std("[%s\\str]" % K, '"ok"="1"', '"bad"="2" x'), -3),
    ("CR-only line", HEAD + VERSION + "[%s\\cr]\r\n\"a\"=\"1\"\r\"b\"=\"2\"\r\n" % K, -3),
    ("CR-only skipped line", HEAD + VERSION +
     "[%s\\cr]\r\n; note\r\"x\"=\"1\"\r\n\"y\"=\"2\"\r\n" % K, 0),
    ("CR inside data", HEAD + VERSION + "[%s\\cr]\r\n\"a\"=\"x\ry\"\r\n" % K, 0),
    ("CR inside a value name", HEAD + VERSION + "[%s\\cr]\r\n\"a\rb\"=\"1\"\r\n" % K, 0),
    ("bare LF", (HEAD + VERSION).replace("\r\n", "\n") +
     "[%s\\lf]\n\"a\"=\"1\"\n\n[%s\\lf\\b]\n\"b\"=dword:2\n" % (K, K), 0),
    ("no final line end", HEAD + VERSION + "[%s\\last]\r\n\"a\"=\"1\"" % K, 0),
    ("final CR without LF", HEAD + VERSION + "[%s\\last]\r\n\"a\"=\"1\"\r" % K, 0),
    ("trailing backslash in key path", std("[%s\\trail\\]" % K, '"v"="1"'), None),
    ("double backslash in key path", std("[%s\\dbl\\\\inner]" % K, '"v"="1"'), None),
    ("triple backslash in key path", std("[%s\\tri\\\\\\inner]" % K, '"v"="1"'), None),
    ("leading backslash in key path", std("[HKEY_LOCAL_MACHINE\\\\Software\\kestrova\\lead]",
                                          '"v"="1"'), None),
    ("sub-key of one backslash", std("[HKEY_CURRENT_USER\\\\]", '"v"="1"'), None),
    ("values before the first section", HEAD + crlf(
        '"DriverVersion"=dword:00000038', '"early"="1"', "[%s\\late]" % K, '"v"="1"'), 0),
    ("repeated section replaces", std("[%s\\rep]" % K, '"a"="1"', '"b"="1"', "[%s\\other]" % K,
                                      '"x"="1"', "[%s\\rep]" % K, '"a"="2"'), 0),
    ("odd key characters", std("[%s\\a/b*c?d!e|f,g.h+i]" % K, '"v"="1"',
                               "[%s\\   \\x]" % K, '"v"="2"'), 0),
    ("no sections at all", HEAD + crlf('"DriverVersion"=dword:00000038', '"x"="1"'), 0),
    ("HKCU and HKCR", std("[%s\\a]" % U, '"u"="1"', '"d"=dword:2', "[%s\\b]" % C, '"c"="3"'),
     0),
    ("failure keeps earlier writes", std("[%s\\one]" % K, '"a"="1"', "[%s\\two]" % K,
                                         '"b"="2"', '"c"=unquoted', '"d"="never"',
                                         "[%s\\three]" % K, '"e"="never"'), -3),
]

OUTCOME_OF_STATUS = {0: 0, 1: 1, 255: -1, 254: -2, 253: -3}


# ---------------------------------------------------------------------------------------------
# The two export formats, parsed into one model.

def parse_export(text, nl, escapes, root):
    """{relative key path: {value name: (type, data)}} of an export text. Key names hold no "]"
    (the import cuts section headers at the first one), so a header ends at its first "]";
    blocks are separated by an empty line."""
    if text is None:
        return None
    header = "Windows Registry Editor Version 5.00" + nl
    if not text.startswith(header):
        raise ValueError("not an export: %r" % text[:80])
    model = {}
    for block in text[len(header):].split(nl + nl + "[")[0:]:
        if not block.strip():
            continue
        if block.startswith(nl + "["):
            block = block[len(nl) + 1:]
        elif block.startswith("["):
            block = block[1:]
        close = block.index("]")
        path = block[:close]
        if path.lower() != root.lower() and not path.lower().startswith(root.lower() + "\\"):
            raise ValueError("key %r outside %r" % (path, root))
        relative = path[len(root):]
        values = {}
        rest = block[close + 1:]
        for line in rest.split(nl):
            if not line:
                continue
            name, kind, data = parse_value_line(line, escapes)
            values[name] = (kind, data)
        model[relative] = values
    return model


def unquote(text, escapes):
    """The quoted text at the start of text, unescaped; returns (value, rest)."""
    assert text[0] == '"', text
    out = []
    i = 1
    while text[i] != '"':
        c = text[i]
        if c == "\\" and text[i + 1] in escapes:
            out.append(escapes[text[i + 1]])
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out), text[i + 1:]


def parse_value_line(line, escapes):
    if line.startswith("@="):
        name, rest = "", line[2:]
    else:
        name, rest = unquote(line, escapes)
        assert rest.startswith("="), line
        rest = rest[1:]
    if rest.startswith('"'):
        data, tail = unquote(rest, escapes)
        assert tail == "", line
        return name, "REG_SZ", data
    if rest.startswith("dword:"):
        return name, "REG_DWORD", int(rest[6:], 16)
    return name, "OTHER", rest


# drvreg escapes only backslash and double quote; Wine's reg also writes CR, LF and NUL as \r,
# \n and \0.
NATIVE_ESCAPES = {"\\": "\\", '"': '"'}
WINE_ESCAPES = {"\\": "\\", '"': '"', "r": "\r", "n": "\n", "0": "\0"}


def show(model):
    if model is None:
        return "    (no key)"
    lines = []
    for path in sorted(model):
        lines.append("    [%r]" % path)
        for name in sorted(model[path]):
            lines.append("      %r = %r" % (name, model[path][name]))
    return "\n".join(lines) if lines else "    (empty)"


# ---------------------------------------------------------------------------------------------
# The two runs.

class Sides:
    def __init__(self, args):
        self.args = args
        self.scratch = os.path.join(args.build, "differential")
        if os.path.exists(self.scratch):
            shutil.rmtree(self.scratch)
        os.makedirs(self.scratch)
        self.template = os.path.join(args.build, "prefix-template")
        self.prefixes = queue.Queue()
        self.lock = threading.Lock()
        self.made = 0

    def files(self, index, script):
        d = os.path.join(self.scratch, "row%02d" % index)
        os.makedirs(d, exist_ok=True)
        reg = os.path.join(d, "script.reg")
        with open(reg, "wb") as f:
            f.write(winelib.script_bytes(script))
        native = os.path.join(d, "setup-native")
        windows = os.path.join(d, "setup.exe")
        winelib.pack(self.args.drvpack, self.args.native_image, reg, native)
        winelib.pack(self.args.drvpack, self.args.windows_image, reg, windows)
        return d, native, windows

    def native(self, d, setup):
        env = dict(os.environ, DRVSETUP_REGISTRY=os.path.join(d, "store.db"))
        for knob in ("DRVSETUP_PLATFORM", "DRVSETUP_SHLWAPI", "DRVSETUP_FAIL",
                     "DRVSETUP_DENY_WRITE"):
            env.pop(knob, None)
        done = subprocess.run([setup, "-ns", "-ne"], env=env, capture_output=True, timeout=60)
        outcome = OUTCOME_OF_STATUS.get(done.returncode, "status %d" % done.returncode)
        models = {}
        raw = {}
        for root, _ in EXPORTS:
            ex = subprocess.run([self.args.drvreg, "export", root], env=env, capture_output=True,
                                timeout=60)
            text = ex.stdout.decode("utf-8") if ex.returncode == 0 else None
            raw[root] = text
            models[root] = parse_export(text, "\n", NATIVE_ESCAPES, root)
        return outcome, models, raw

    def wine(self, d, setup, index, script):
        """Runs the row in one of the workers' prefixes: the test keys are deleted first (and
        checked to be gone), then the setup file runs and the keys are exported, all in one cmd
        line. A script writes only under the roots it names, so only those keys are handled
        (each reg command is a Wine process start)."""
        p = self.take_prefix()
        try:
            # A new name per row: an image that a process of this prefix has just run is not
            # rewritten in place.
            exe = p.put(setup, "setup%02d.exe" % index)
            keys = [(n, root, short) for n, (root, short) in enumerate(EXPORTS)
                    if n == 0 or root.split("\\")[0].lower() in script.lower()]
            parts = []
            for n, _, short in keys:
                parts.append("reg delete %s /f >nul 2>nul" % short)
                parts.append("reg query %s >nul 2>nul & echo LEFT=!errorlevel!" % short)
            parts.append("%s -ns -ne & echo EXIT=!errorlevel!" % exe)
            for n, _, short in keys:
                parts.append("del C:\\drvtest\\e%d.reg >nul 2>nul" % n)
                parts.append("reg export %s C:\\drvtest\\e%d.reg /y >nul 2>nul" % (short, n))
            done = p.cmd(" & ".join(parts), timeout=120)
            left = re.findall(r"LEFT=(-?\d+)", done.stdout.decode("utf-8", "replace"))
            if len(left) != len(keys) or "0" in left:
                raise AssertionError("row %d: the test keys of the previous row are still there "
                                     "(%r)" % (index, done.stdout))
            outcome = winelib.exit_code(done.stdout)
            if outcome not in OUTCOME_OF_STATUS.values():
                print("row %d: cmd said %r %r" % (index, done.stdout, done.stderr[-2000:]))
            models = {}
            raw = {}
            for n, (root, _) in enumerate(EXPORTS):
                text = winelib.reg_text(p.read("e%d.reg" % n)) if any(
                    k[0] == n for k in keys) else None
                raw[root] = text
                models[root] = parse_export(text, "\r\n", WINE_ESCAPES, root)
            return outcome, models, raw
        finally:
            self.prefixes.put(p)

    def take_prefix(self):
        """A prefix of the worker's own: one fresh copy of the template per worker, reused from
        row to row with the test keys deleted in between."""
        try:
            return self.prefixes.get_nowait()
        except queue.Empty:
            with self.lock:
                self.made += 1
                n = self.made
            return winelib.Prefix(self.template, os.path.join(self.scratch, "prefix%d" % n))

    def close(self):
        while not self.prefixes.empty():
            self.prefixes.get_nowait().close()


def run_row(sides, index, row):
    name, script, expected = row[:3]
    d, native_setup, windows_setup = sides.files(index, script)
    start = time.monotonic()
    native = sides.native(d, native_setup)
    wine = sides.wine(d, windows_setup, index, script)
    return index, native, wine, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--windows-image", required=True)
    parser.add_argument("--native-image", required=True)
    parser.add_argument("--drvpack", required=True)
    parser.add_argument("--drvreg", required=True)
    parser.add_argument("--only", action="append", help="row names to run")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--show", action="store_true", help="print both registries per row")
    args = parser.parse_args()
    sides = Sides(args)
    rows = [(i, r) for i, r in enumerate(ROWS) if not args.only or r[0] in args.only]
    results = {}
    start = time.monotonic()
    try:
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for index, native, wine, took in pool.map(lambda ir: run_row(sides, *ir), rows):
                results[index] = (native, wine, took)
    finally:
        sides.close()

    failures = 0
    print("%-3s %-34s %8s %8s %8s  %s" % ("#", "row", "expected", "native", "wine",
                                          "registry"))
    for index, row in rows:
        name, script, expected = row[:3]
        wine_defect = row[3] if len(row) > 3 else None
        (n_out, n_models, n_raw), (w_out, w_models, w_raw), took = results[index]
        same_registry = n_models == w_models
        problems = []
        if wine_defect is not None:
            # Only the native build is held to the expected outcome; Wine must show its known
            # departure (and so leave a different registry), nothing else.
            if n_out != expected:
                problems.append("native outcome is not the expected %s" % expected)
            if w_out != wine_defect:
                problems.append("Wine no longer gives %s here: look again at this row" % wine_defect)
            name = name + " (Wine defect)"
        else:
            if n_out != w_out:
                problems.append("outcomes differ")
            if not same_registry:
                problems.append("registries differ")
            if expected is not None and (n_out != expected or w_out != expected):
                problems.append("outcome is not the expected %s" % expected)
        print("%-3d %-34s %8s %8s %8s  %s%s" % (
            index, name, "-" if expected is None else expected, n_out, w_out,
            "same" if same_registry else "DIFFERENT",
            ("   <-- " + "; ".join(problems)) if problems else ""))
        if problems or args.show:
            print("    script: %r" % script)
            for root, _ in EXPORTS:
                if n_models[root] != w_models[root] or args.show:
                    print("  %s, native (drvreg export):\n%s" % (root, show(n_models[root])))
                    print("  %s, Wine (reg export):\n%s" % (root, show(w_models[root])))
        if problems:
            failures += 1
    print("%d rows, %d disagree; %.1f s" % (len(rows), failures, time.monotonic() - start))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
