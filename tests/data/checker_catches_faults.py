#!/usr/bin/env python3
"""Damages copies of the driver database one way at a time and makes sure
check_drivers_reg.py rejects each copy, naming the figure that broke.

Each row: what is damaged, how (a function over the decoded text), and the
figure that the checker must report as FAIL.  The intact file must pass.

Usage: checker_catches_faults.py PATH-TO-drivers.reg
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_drivers_reg.py")
MAPPINGS = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\MAPPINGS\\"
SETS = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\\"


def replace_once(old, new, nth=0):
    """A damage that replaces the nth occurrence of old."""
    def damage(text):
        at = -1
        for _ in range(nth + 1):
            at = text.index(old, at + 1)
        return text[:at] + new + text[at + len(old):]
    return damage


def set_section(name):
    """The text of one SETS section, up to its trailing empty line."""
    def find(text):
        start = text.index(SETS + name + "]\r\n")
        return start, text.index("\r\n\r\n", start)
    return find


def make_three_step_chain(text):
    # Point a set that loads a base set directly at a set that is already
    # two steps from a base set.
    chains = {}
    for block in text.split("\r\n\r\n"):
        if block.startswith(SETS):
            name = block.split("\r\n")[0][len(SETS):-1]
            loads = [l[len('"load1"="'):-1] for l in block.split("\r\n") if l.startswith('"load1"=')]
            chains[name] = loads[0] if loads else None

    def depth(n):
        return 0 if chains[n] is None else 1 + depth(chains[n])

    deep = next(n for n in chains if depth(n) == 2)
    shallow = next(n for n in chains if depth(n) == 1 and n != chains[deep])
    start, end = set_section(shallow)(text)
    block = text[start:end]
    old = '"load1"="%s"' % chains[shallow]
    return text[:start] + block.replace(old, '"load1"="%s"' % deep) + text[end:]


def swap_first_fallbacks(text):
    return replace_once('"BeginSAO5"=', '"Write2X"=')(
        replace_once('"Write2"=', '"BeginSAO5"=')(text)).replace('"Write2X"=', '"Write2"=')


def extra_empty_line_before_sets(text):
    return text.replace("\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS]",
                        "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS]", 1)


def widen_a_name(text):
    # A name with single blanks only gets a second blank in a row.
    start = 0
    while True:
        start = text.index(MAPPINGS, start) + len(MAPPINGS)
        name = text[start:text.index("]", start)]
        if name[:1] != " " and "  " not in name and " " in name:
            blank = start + name.index(" ")
            return text[:blank] + " " + text[blank:]


ROWS = [
    ("one byte missing at the end", None, "file size in bytes"),
    ("a line end without its CR", replace_once("\r\n", "\n", 100), "lone CR or LF"),
    ("a tab in a value line", replace_once('"load1"="', '"load1"=\t"'), "tab characters"),
    ("the last line with a line end", lambda t: t + "\r\n", "last line, without line end"),
    ("the data version 57", replace_once("dword:00000038", "dword:00000039"),
     "dword values (line, name, value)"),
    ("one Kestrova spelled kestrova",
     replace_once("\\SOFTWARE\\Kestrova\\", "\\SOFTWARE\\kestrova\\"),
     "sections writing the maker key as Kestrova, by subtree"),
    ("the SONY correction lost", replace_once(
        '\\MAPPINGS\\SONY    CD-RW CRX0811]\r\n"load1"="SONY926"\r\n"Caps_WriteMaxSpeed"="8"',
        '\\MAPPINGS\\SONY    CD-RW CRX0811]\r\n"load1"="SONY926"\r\n"Caps_WriteMaxSpeed"="16"'),
     "SONY Caps_WriteMaxSpeed, in order"),
    ("a three-step set chain", make_three_step_chain, "longest SETS load1 chain, in steps"),
    ("a Device number 74", replace_once('"Device"="73"', '"Device"="74"'), "Device range"),
    ("two FALLBACKS names swapped", swap_first_fallbacks, "FALLBACKS names in order"),
    ("one U+00D7 replaced by x", replace_once("\u00d7", "x"), "characters outside ASCII"),
    ("a backslash in a value", replace_once('"load1"="MMC-Writer"', '"load1"="MMC\\Writer"'),
     "value lines with a backslash or an escaped quote"),
    ("a third empty line before a section", extra_empty_line_before_sets,
     "sections by number of empty lines before them"),
    ("one more name with a blank run", widen_a_name,
     "MAPPINGS names with two or more blanks in a row after the first non-blank"),
    ("the PHILIPS load1 without its blank", replace_once('"load1"=" PHILIPS3600"', '"load1"="PHILIPS3600"'),
     "MAPPINGS load1 values naming no set"),
    ("a TEAC drive with load1", replace_once('"load"="PIONEER105"', '"load1"="PIONEER105"'),
     "MAPPINGS keys without load1"),
]


def run_checker(data):
    fd, path = tempfile.mkstemp(suffix=".reg")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        result = subprocess.run([sys.executable, CHECKER, path],
                                stdout=subprocess.PIPE, universal_newlines=True)
        return result.returncode, result.stdout
    finally:
        os.unlink(path)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        original = f.read()
    text = original[2:].decode("utf-16-le")
    failures = 0

    code, out = run_checker(original)
    if code != 0:
        print("FAIL intact file: checker exit %d\n%s" % (code, out))
        failures += 1

    for what, damage, figure in ROWS:
        if damage is None:
            data = original[:-1]
        else:
            damaged = damage(text)
            if damaged == text:
                print("FAIL %s: the damage changed nothing" % what)
                failures += 1
                continue
            data = original[:2] + damaged.encode("utf-16-le")
        code, out = run_checker(data)
        reported = [l for l in out.splitlines() if l.startswith("FAIL %s:" % figure)]
        if code != 1 or not reported:
            print("FAIL %s: expected exit 1 and a FAIL line for '%s', got exit %d" % (what, figure, code))
            failures += 1
        else:
            print("ok %s: %s" % (what, reported[0]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
