#!/usr/bin/env python3
"""Whole runs of the x86_64 drvsetup.exe under Wine, one case per ctest test.

usage: wine_cases.py CASE --build DIR --setup EXE --image IMAGE --data REG --drvpack PATH

Each case runs in a fresh copy of the template prefix (see winelib). Exit codes are read through
cmd, so they are the full 32-bit values (cmd shows them as signed: -1 is 4294967295); a Linux
exit status would keep 8 bits only.
"""

import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelib  # noqa: E402
from winelib import MESSAGES, MB_ICONERROR, MB_ICONINFORMATION, CAPTION  # noqa: E402

DRIVER_KEY = r"HKLM\Software\kestrova\DRIVER2"
MAKER_KEY = r"HKLM\Software\kestrova"

CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


class Context:
    def __init__(self, args):
        self.args = args
        self.build = args.build
        self.template = os.path.join(args.build, "prefix-template")
        # Each case has its own directory: cases run in parallel.
        self.scratch = os.path.join(args.build, "cases", args.case)
        if os.path.exists(self.scratch):
            shutil.rmtree(self.scratch)
        os.makedirs(self.scratch)
        self.prefixes = []

    def prefix(self, name):
        p = winelib.Prefix(self.template, os.path.join(self.scratch, name))
        self.prefixes.append(p)
        return p

    def setup_file(self, name, script_text):
        """A setup file that drvpack makes of the image and a small script (CR LF line ends)."""
        script = os.path.join(self.scratch, name + ".reg")
        with open(script, "wb") as f:
            f.write(winelib.script_bytes(script_text.replace("\n", "\r\n")))
        out = os.path.join(self.scratch, name + ".exe")
        winelib.pack(self.args.drvpack, self.args.image, script, out)
        return out

    def corrupt_setup_file(self, name):
        """A setup file whose trailer claims more setup data than the file holds."""
        good = self.setup_file(name + "-good", SMALL_SCRIPT)
        with open(good, "rb") as f:
            data = f.read()
        out = os.path.join(self.scratch, name + ".exe")
        with open(out, "wb") as f:
            f.write(data[:-4] + (len(data) + 1).to_bytes(4, "little"))
        return out

    def outcome_setups(self, p):
        """The shipped setup file and three that end in -1, -2 and -3, put into prefix p: the
        paths of drvsetup.exe, corrupt.exe, noversion.exe and failing.exe there."""
        return (p.put(self.args.setup, "drvsetup.exe"),
                p.put(self.corrupt_setup_file("corrupt"), "corrupt.exe"),
                p.put(self.setup_file("noversion", NO_VERSION_SCRIPT), "noversion.exe"),
                p.put(self.setup_file("failing", FAILING_IMPORT_SCRIPT), "failing.exe"))

    def close(self, failed):
        for p in self.prefixes:
            p.close(keep=failed)


SMALL_SCRIPT = """Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]
"DriverVersion"=dword:00000038

[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\MMC-Writer]
"Write"="1"
"""

NO_VERSION_SCRIPT = """Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]
"Device"="1"
"""

# The import stops at the hex value, before it reaches the version line.
FAILING_IMPORT_SCRIPT = """Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\Broken]
"Device"=hex:01,02

[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]
"DriverVersion"=dword:00000038
"""


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def say(text):
    print(text, flush=True)


# ---------------------------------------------------------------------------------------------
# Item 2: runs, outcomes, exit codes, the registry left.

@case
def typical_run(ctx):
    """The shipped setup file on a fresh prefix: 0, then 1 on the second run."""
    p = ctx.prefix("typical")
    exe = p.put(ctx.args.setup, "drvsetup.exe")
    check(p.export(DRIVER_KEY) is None, "fresh prefix already has DRIVER2")
    start = time.monotonic()
    first = p.run(exe, "-ns -ne")
    took = time.monotonic() - start
    check(first == 0, "first run: exit code %d, want 0" % first)
    second = p.run(exe, "-ns -ne")
    check(second == 1, "second run: exit code %d, want 1" % second)
    text = winelib.reg_text(p.export(DRIVER_KEY))
    check(text is not None and '"DriverVersion"=dword:00000038' in text,
          "DRIVER2 has no DriverVersion 56 after the run")
    say("typical run: exit codes %d then %d; first run %.2f s (cmd and wine start included)"
        % (first, second, took))


@case
def matches_reg_import(ctx):
    """What the setup file leaves equals what Wine's own `reg import` of the same script leaves,
    both read back with `reg export`."""
    ours = ctx.prefix("ours")
    theirs = ctx.prefix("theirs")
    exe = ours.put(ctx.args.setup, "drvsetup.exe")
    reg = theirs.put(ctx.args.data, "drivers.reg")
    # Warm both prefixes' servers so that the timings compare the work, not Wine's start.
    ours.cmd("echo warm")
    theirs.cmd("echo warm")
    start = time.monotonic()
    code = ours.run(exe, "-ns -ne")
    ours_took = time.monotonic() - start
    check(code == 0, "setup run: exit code %d" % code)
    start = time.monotonic()
    done = theirs.cmd("reg import %s & echo EXIT=!errorlevel!" % reg)
    theirs_took = time.monotonic() - start
    check(winelib.exit_code(done.stdout) == 0, "reg import failed: %r" % done.stdout)
    a = ours.export(MAKER_KEY, "a.reg")
    b = theirs.export(MAKER_KEY, "b.reg")
    check(a is not None and b is not None, "%s missing after one of the runs" % MAKER_KEY)
    if a != b:
        diff_report(winelib.reg_text(a), winelib.reg_text(b))
        raise AssertionError("%s differs between drvsetup.exe and reg import" % MAKER_KEY)
    lines = winelib.reg_text(a).count("\r\n")
    say("registry after drvsetup.exe equals registry after reg import (%d export lines)" % lines)
    say("time under Wine: drvsetup.exe -ns -ne %.2f s, reg import %.2f s (through cmd, warm "
        "wineserver)" % (ours_took, theirs_took))


def diff_report(a, b):
    import difflib
    for line in list(difflib.unified_diff(a.splitlines(), b.splitlines(), "drvsetup.exe",
                                          "reg import", lineterm=""))[:60]:
        say(line)


@case
def outcomes_and_exit_codes(ctx):
    """Outcomes -1, -2 and -3 from setup files that drvpack makes, and 0 and 1, read through cmd
    as full 32-bit exit codes; the Linux exit status of wine keeps only the low 8 bits."""
    p = ctx.prefix("outcomes")
    files = {
        "good": ctx.setup_file("good", SMALL_SCRIPT),
        "corrupt": ctx.corrupt_setup_file("corrupt"),
        "noversion": ctx.setup_file("noversion", NO_VERSION_SCRIPT),
        "failing": ctx.setup_file("failing", FAILING_IMPORT_SCRIPT),
    }
    paths = {name: p.put(path, name + ".exe") for name, path in files.items()}
    rows = [("corrupt", -1), ("noversion", -2), ("failing", -3), ("good", 0), ("good", 1)]
    line = " & ".join("%s -ns -ne & echo EXIT=!errorlevel!" % paths[name] for name, _ in rows)
    got = winelib.exit_codes(p.cmd(line).stdout)
    want = [code for _, code in rows]
    check(got == want, "exit codes %s, want %s" % (got, want))
    for (name, code) in rows:
        say("%-10s exit code %d = 0x%08X" % (name, code, code & 0xFFFFFFFF))
    # The same run seen from Linux: wine's own exit status keeps the low 8 bits.
    status = p.wine([paths["corrupt"], "-ns", "-ne"]).returncode
    check(status == 255, "wine's exit status for -1 is %d, want 255" % status)


@case
def removes_old_tree(ctx):
    """An old DRIVER2 tree with subkeys three levels deep and an older version is removed before
    the import; the maker key's other subkeys stay."""
    p = ctx.prefix("removal")
    old = """Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2]
"DriverVersion"=dword:00000037
"Stale"="1"

[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2\\MAPPINGS\\OLD DRIVE\\DEEPER]
"x"="1"

[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2\\SETS\\OldSet]
"load1"="Gone"

[HKEY_LOCAL_MACHINE\\Software\\kestrova\\OTHER]
"keep"="yes"
"""
    reg = p.write("old.reg", winelib.script_bytes(old.replace("\n", "\r\n")))
    done = p.cmd("reg import %s & echo EXIT=!errorlevel!" % reg)
    check(winelib.exit_code(done.stdout) == 0, "reg import of the old tree failed")
    exe = p.put(ctx.setup_file("small", SMALL_SCRIPT), "drvsetup.exe")
    code = p.run(exe, "-ns -ne")
    check(code == 0, "exit code %d, want 0" % code)
    text = winelib.reg_text(p.export(MAKER_KEY))
    for gone in ("Stale", "OLD DRIVE", "DEEPER", "OldSet", "dword:00000037"):
        check(gone not in text, "%r survived the removal:\n%s" % (gone, text))
    for kept in ('"keep"="yes"', "[HKEY_LOCAL_MACHINE\\Software\\kestrova\\OTHER]",
                 '"DriverVersion"=dword:00000038', '"Write"="1"'):
        check(kept in text, "%r missing after the run:\n%s" % (kept, text))
    say("old tree removed, sibling key kept:")
    say(text.replace("\r\n", "\n"))


# ---------------------------------------------------------------------------------------------
# Options and message boxes, on an Xvfb display.

def expect_box(result, text, icon, what):
    check(len(result.calls) == 1, "%s: %d MessageBoxA calls, want 1: %r"
          % (what, len(result.calls), result.calls))
    owner, got_text, caption, flags = result.calls[0]
    check((owner, got_text, caption, flags) == (0, text, CAPTION, icon),
          "%s: MessageBoxA(%r, %r, %r, 0x%x), want (0, %r, %r, 0x%x)"
          % (what, owner, got_text, caption, flags, text, CAPTION, icon))
    check(len(result.windows) == 1 and result.dismissed == 1,
          "%s: %d box windows seen, %d dismissed; %s"
          % (what, len(result.windows), result.dismissed, result.explain()))
    check(not result.other_windows, "%s: other windows appeared: %r" % (what, result.other_windows))


def expect_no_window(result, what):
    check(not result.calls, "%s: MessageBoxA called: %r" % (what, result.calls))
    check(not result.windows and not result.other_windows,
          "%s: windows appeared: %r %r" % (what, result.windows, result.other_windows))


@case
def message_boxes(ctx):
    """The success, up-to-date, error and version boxes appear with their caption, are
    photographed and closed with the Return key; the exit code follows the box."""
    photos = os.path.join(ctx.build, "boxes")
    os.makedirs(photos, exist_ok=True)
    display = winelib.Display()
    try:
        p = ctx.prefix("boxes")
        exe, corrupt, noversion, failing = ctx.outcome_setups(p)
        say("desktop held, version box shown on try %d" % p.hold_desktop(display, exe))
        rows = [
            # picture, exe, arguments, exit code, text, icon
            # In this order: the failing import needs a prefix without driver data.
            ("version", exe, "-v", 0, "Version: 56\n", MB_ICONINFORMATION),
            ("error", failing, "", -3, MESSAGES[-3], MB_ICONERROR),
            ("error-corrupt", corrupt, "", -1, MESSAGES[-1], MB_ICONERROR),
            ("error-data", noversion, "", -2, MESSAGES[-2], MB_ICONERROR),
            ("success", exe, "", 0, MESSAGES[0], MB_ICONINFORMATION),
            ("up-to-date", exe, "", 1, MESSAGES[1], MB_ICONINFORMATION),
        ]
        for name, path, args, code, text, icon in rows:
            photo = os.path.join(photos, "box-%s.png" % name)
            result = winelib.run_on_display(p, display, path, args, photo)
            check(result.exit == code, "%s: exit code %d, want %d" % (name, result.exit, code))
            expect_box(result, text, icon, name)
            w, h, colours = winelib.image_facts(photo)
            check(w >= 100 and h >= 60 and colours >= 8,
                  "%s: the picture (%dx%d, %d colours) shows no box" % (name, w, h, colours))
            say("%-13s exit %2d, box %r (type 0x%02x), picture %s (%dx%d)"
                % (name, code, text, icon, photo, w, h))
    finally:
        display.close()


@case
def version_option(ctx):
    """-v: only the version box, exit code 0, nothing written; -v overrides -ns and -ne; with
    setup data that can't be read, no box at all and -1."""
    display = winelib.Display()
    try:
        p = ctx.prefix("version")
        exe = p.put(ctx.args.setup, "drvsetup.exe")
        corrupt = p.put(ctx.corrupt_setup_file("corrupt"), "corrupt.exe")
        say("desktop held, version box shown on try %d" % p.hold_desktop(display, exe))
        for args in ("-v", "-ne -v -ns", "-ns -v"):
            r = winelib.run_on_display(p, display, exe, args)
            check(r.exit == 0, "%s: exit code %d" % (args, r.exit))
            expect_box(r, "Version: 56\n", MB_ICONINFORMATION, args)
        check(p.export(MAKER_KEY) is None, "-v wrote into the registry")
        r = winelib.run_on_display(p, display, corrupt, "-v")
        check(r.exit == -1, "-v with a corrupt file: exit code %d" % r.exit)
        expect_no_window(r, "-v with a corrupt file")
        say("-v: version box only, exit 0, registry untouched; corrupt file: no box, -1")
    finally:
        display.close()


@case
def quiet_options(ctx):
    """-ns drops the success boxes only, -ne the error boxes only; with both no window appears
    at all, in every outcome, and the run ends without anyone pressing a key."""
    display = winelib.Display()
    try:
        p = ctx.prefix("quiet")
        exe, corrupt, noversion, failing = ctx.outcome_setups(p)
        say("desktop held, version box shown on try %d" % p.hold_desktop(display, exe))
        rows = [
            # exe, arguments, exit code, box text or None
            (failing, "-ns -ne", -3, None),
            (corrupt, "-ns -ne", -1, None),
            (noversion, "-ne -ns", -2, None),
            (failing, "-ne", -3, None),
            (failing, "-ns", -3, (MESSAGES[-3], MB_ICONERROR)),
            (exe, "-ne", 0, (MESSAGES[0], MB_ICONINFORMATION)),
            (exe, "-ns", 1, None),
            (exe, "-ns -ne", 1, None),
            (exe, "-ne", 1, (MESSAGES[1], MB_ICONINFORMATION)),
        ]
        for path, args, code, box in rows:
            what = "%s %s" % (os.path.basename(path.replace("\\", "/")), args)
            r = winelib.run_on_display(p, display, path, args, timeout=60)
            check(r.exit == code, "%s: exit code %d, want %d" % (what, r.exit, code))
            if box is None:
                expect_no_window(r, what)
            else:
                expect_box(r, box[0], box[1], what)
            say("%-24s exit %2d, %s" % (what, code, "box %r" % box[0] if box else "no window"))
    finally:
        display.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES) + ["prepare"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--setup")
    parser.add_argument("--image")
    parser.add_argument("--data")
    parser.add_argument("--drvpack")
    args = parser.parse_args()
    os.makedirs(args.build, exist_ok=True)
    if args.case == "prepare":
        start = time.monotonic()
        made = winelib.prepare_template(os.path.join(args.build, "prefix-template"))
        say("template prefix %s in %.1f s" % ("made" if made else "kept", time.monotonic() - start))
        return 0
    ctx = Context(args)
    failed = True
    try:
        CASES[args.case](ctx)
        failed = False
    finally:
        ctx.close(failed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
