#!/usr/bin/env python3
"""Checks the shipped driver database, data/drivers.reg, figure by figure.

It reads the file on its own terms (bytes, UTF-16 text, lines, sections and
value lines) and compares what it finds with the figures the setup relies on:
sizes, line structure, the subtrees and their values, the driver set chains
and the shapes of the drive identification strings.  Every figure is printed
as "ok <figure>: <value>" or "FAIL <figure>: expected X, got Y"; the exit
status is 1 when any figure is off.

Usage: check_drivers_reg.py PATH
"""

import re
import sys
from collections import Counter, OrderedDict

KEY_ROOT = ["HKEY_LOCAL_MACHINE", "SOFTWARE", "kestrova", "DRIVER2"]

OPERATIONS = [
    "BeginTAO", "EndTAO", "BeginSAO", "EndSAO", "SetWriteOptions", "OpenTrack",
    "CloseTrack", "Write", "SetReadOptions", "ReadCDStructure", "Read",
    "GetWriterCaps", "GetReaderCaps", "GetFirstWriteAddress", "GetCapacity",
    "GetBufferCapacity", "ModeSense", "ModeSelect", "OpenTray", "CloseTray",
    "EraseDisc",
]
FALLBACK_NAMES = [
    "BeginSAO5", "Write2", "BeginSAO6", "Write3", "Write4", "Write5", "Write6",
    "GetBufferCapcity1", "ModeSelect2", "ModeSense2", "Read1",
    "ReadCDStructure2", "SetReadOptions1", "SetWriteOptions3",
    "SetWriteOptions4", "SetWriteOptions5", "Read2", "OpenTray1", "CloseTray1",
]
OTHER_NAMES = ["DriverVersion", "load1", "load", "Device", "Caps_WriteMaxSpeed",
               "WriteSpeed", "Caps_WriteREALSAO", "Caps_WriteSAO",
               "Caps_SimulateREALSAO"]
CAPS_FLAGS = ["Caps_WriteSAO", "Caps_WriteREALSAO", "Caps_SimulateREALSAO"]

MAPPING_VALUE_COUNTS = {
    "load1": 1699, "load": 2, "Caps_WriteMaxSpeed": 1645, "WriteSpeed": 33,
    "Caps_WriteREALSAO": 13, "Caps_SimulateREALSAO": 11, "Device": 5,
    "ModeSelect": 3, "ModeSense": 3, "SetWriteOptions": 1, "BeginTAO": 1,
    "BeginSAO": 1, "EndSAO": 1,
}
SET_VALUE_COUNTS = {"load1": 76, "Device": 75, "Caps_WriteSAO": 31,
                    "Caps_WriteREALSAO": 31}
BASE_SET_SIZES = {"CW-Writer": 23, "MMC-Writer": 23, "MMC-Reader": 9,
                  "SCSI-Reader": 9}

SAMSUNG = "SAMSUNG CD-ROM SC-148T"
SONY = "SONY    CD-RW CRX0811"
TEAC = ["TEAC    DV-W50DII", "TEAC    DV-W58D"]
IOMEGA = ["IOMEGA  ZIPCD 12\u00d710\u00d732", "IOMEGA  ZIPCD 12\u00d74\u00d732"]

VALUE_LINE = re.compile(r'^"([^"\\]*)"=(?:"([^"\\]*)"|dword:([0-9a-fA-F]{8}))$')
DECIMAL = re.compile(r"^[0-9]+$")

_ASCII_FOLD = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def fold(text):
    """Registry names compare ignoring the case of ASCII letters only."""
    return text.translate(_ASCII_FOLD)


class Report:
    def __init__(self):
        self.failed = 0

    def check(self, figure, expected, got):
        if expected == got:
            print("ok %s: %s" % (figure, show(got)))
        else:
            self.failed += 1
            print("FAIL %s: expected %s, got %s" % (figure, show(expected), show(got)))

    def holds(self, figure, condition, expected, got):
        """For figures given as a rule (a range, a set of allowed values)."""
        if condition:
            print("ok %s: %s" % (figure, show(got)))
        else:
            self.failed += 1
            print("FAIL %s: expected %s, got %s" % (figure, show(expected), show(got)))


def show(value):
    if isinstance(value, str):
        return repr(value)
    if isinstance(value, (dict, OrderedDict)):
        return "{" + ", ".join("%s: %s" % (show(k), show(v)) for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(show(v) for v in value) + "]"
    return str(value)


class Section:
    def __init__(self, line_no, path):
        self.line_no = line_no
        self.path = path
        self.parts = path.split("\\")
        self.values = []  # (line number, name, string data or None, dword or None)

    def kind(self):
        """Which part of the tree the section belongs to."""
        rest = self.parts[4:]
        if [fold(p) for p in self.parts[:4]] != [fold(p) for p in KEY_ROOT]:
            return "outside"
        if not rest:
            return "DRIVER2"
        if len(rest) == 1:
            return rest[0]
        return rest[0] + "\\*"

    def leaf(self):
        return "\\".join(self.parts[5:])

    def names(self):
        return [v[1] for v in self.values]

    def get(self, name):
        return [v[2] for v in self.values if v[1] == name]


def parse_sections(lines):
    """Sections in file order and the lines that are neither empty, a
    section line, a value line nor the header."""
    sections = []
    stray = []
    for no, line in enumerate(lines, 1):
        if no == 1 or line == "":
            continue
        if line.startswith("[") and line.endswith("]"):
            sections.append(Section(no, line[1:-1]))
        elif line.startswith('"') and sections:
            m = VALUE_LINE.match(line)
            if m:
                dword = int(m.group(3), 16) if m.group(3) is not None else None
                sections[-1].values.append((no, m.group(1), m.group(2), dword))
            else:
                stray.append(no)
        else:
            stray.append(no)
    return sections, stray


def check_bytes(r, raw):
    r.check("file size in bytes", 464864, len(raw))
    r.check("byte order mark", "ff fe", raw[:2].hex(" "))
    r.check("odd trailing byte", 0, len(raw) % 2)
    r.check("UTF-16 units after the mark", 232431, (len(raw) - 2) // 2)


def check_text(r, text):
    crlf = text.count("\r\n")
    r.check("CR LF line ends", 7292, crlf)
    r.check("lone CR or LF", 0, text.count("\r") + text.count("\n") - 2 * crlf)
    lines = text.split("\r\n")
    r.check("lines", 7293, len(lines))
    r.check("line 1", "Windows Registry Editor Version 5.00", lines[0])
    r.check("line 2", "", lines[1] if len(lines) > 1 else None)
    r.check("last line, without line end", '"OpenTray"="1"', lines[-1])
    r.check("tab characters", 0, text.count("\t"))
    r.check("NUL characters", 0, text.count("\0"))
    r.check("lines beginning or ending with a blank", 0,
            sum(1 for l in lines if l[:1] == " " or l[-1:] == " "))
    non_ascii = Counter(c for c in text if ord(c) > 0x7F)
    r.check("characters outside ASCII", {"\u00d7": 4}, dict(non_ascii))
    return lines


def check_layout(r, lines, sections, stray):
    r.check("lines that are no header, empty line, section or value line", [], stray[:10])
    r.check("section lines", 1785, len(sections))
    r.check("distinct keys, ignoring case", 1783, len(set(fold(s.path) for s in sections)))
    r.check("first section on line", 3, sections[0].line_no if sections else None)

    # Empty lines: one before each section, two in three places, none elsewhere.
    before = Counter()
    for s in sections:
        n = 0
        while s.line_no - 2 - n >= 1 and lines[s.line_no - 2 - n] == "":
            n += 1
        before[n] += 1
    r.check("sections by number of empty lines before them", {1: 1782, 2: 3}, dict(sorted(before.items())))
    r.check("empty lines", 1788, sum(1 for l in lines if l == ""))

    # Every section under the driver data key, as the script spells it.
    r.check("sections outside HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2", 0,
            sum(1 for s in sections if s.kind() == "outside"))
    r.check("sections whose path does not begin HKEY_LOCAL_MACHINE\\SOFTWARE\\", 0,
            sum(1 for s in sections if s.parts[:2] != KEY_ROOT[:2]))
    spelled = Counter((s.parts[2], s.kind()) for s in sections if len(s.parts) > 2)
    kestrova = {k[1]: v for k, v in spelled.items() if k[0] == "Kestrova"}
    r.check("sections writing the maker key as Kestrova, by subtree", {"MAPPINGS\\*": 27}, kestrova)
    r.check("other spellings of the maker key", [],
            sorted(set(k[0] for k in spelled if k[0] not in ("kestrova", "Kestrova"))))

    # Subtrees in order.
    runs = []
    for s in sections:
        if runs and runs[-1][0] == s.kind():
            runs[-1][1] += 1
        else:
            runs.append([s.kind(), 1])
    r.check("subtrees in order, with their section counts",
            [["DRIVER2", 1], ["FALLBACKS", 1], ["MAPPINGS", 1], ["MAPPINGS\\*", 1701],
             ["SETS", 1], ["SETS\\*", 80]], runs)


def check_values(r, lines, sections):
    value_lines = [l for l in lines if l.startswith('"')]
    all_values = [v for s in sections for v in s.values]
    r.check("value lines", 3719, len(value_lines))
    r.check("string values", 3718, sum(1 for v in all_values if v[2] is not None))
    dwords = [(v[0], v[1], v[3]) for v in all_values if v[3] is not None]
    r.check("dword values (line, name, value)", [(4, "DriverVersion", 56)], dwords)
    r.check("line 4", '"DriverVersion"=dword:00000038', lines[3] if len(lines) > 3 else None)
    r.check("value lines with a backslash or an escaped quote", 0,
            sum(1 for l in value_lines if "\\" in l))
    strings = [v[2] for v in all_values if v[2] is not None]
    r.check("longest string value", 19, max(len(s) for s in strings) if strings else None)
    r.check("sections without values",
            ["HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\MAPPINGS",
             "HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS"],
            [s.path for s in sections if not s.values])
    names = set(v[1] for v in all_values)
    r.check("distinct value names", 49, len(names))
    r.check("value names other than the known ones", [],
            sorted(names - set(OPERATIONS + FALLBACK_NAMES + OTHER_NAMES)))
    r.check("known value names that never occur", [],
            sorted(set(OPERATIONS + FALLBACK_NAMES + OTHER_NAMES) - names))

    # Value ranges.
    def numbers(name, where=None):
        return [v[2] for s in sections if where is None or s.kind() == where
                for v in s.values if v[1] == name]

    not_decimal = [v[2] for v in all_values
                   if v[2] is not None and v[1] not in ("load", "load1") and not DECIMAL.match(v[2])]
    r.check("string values other than load and load1 that are no decimal number", [], not_decimal[:10])

    def value_range(name, lo, hi):
        got = [int(x) for x in numbers(name) if DECIMAL.match(x)]
        r.check("%s range" % name, "%d-%d" % (lo, hi),
                "%d-%d" % (min(got), max(got)) if got else "none")

    value_range("Device", 1, 73)
    value_range("Caps_WriteMaxSpeed", 2, 52)
    r.check("WriteSpeed values", ["12", "16", "24", "8"], sorted(set(numbers("WriteSpeed"))))
    for flag in CAPS_FLAGS:
        r.check("%s values" % flag, ["0", "1"], sorted(set(numbers(flag))))
    ops = [x for op in OPERATIONS for x in numbers(op)]
    got = sorted(set(ops), key=lambda x: (len(x), x))
    r.holds("operation values", set(ops) <= set("0123456") and "0" in ops and "6" in ops,
            "0 to 6, both ends present", got)


def check_subtrees(r, sections):
    by_kind = OrderedDict()
    for s in sections:
        by_kind.setdefault(s.kind(), []).append(s)
    driver2 = by_kind.get("DRIVER2", [])
    r.check("DRIVER2 section values", [["DriverVersion"]], [s.names() for s in driver2])

    fallbacks = by_kind.get("FALLBACKS", [])
    fb = fallbacks[0].values if fallbacks else []
    r.check("FALLBACKS names in order", FALLBACK_NAMES, [v[1] for v in fb])
    r.check("FALLBACKS values other than 0 or 1", [], [v[2] for v in fb if v[2] not in ("0", "1")])

    maps = by_kind.get("MAPPINGS\\*", [])
    sets = by_kind.get("SETS\\*", [])
    check_mappings(r, maps, sets)
    check_sets(r, sets)

    op_places = Counter(s.kind() for s in sections if set(s.names()) & set(OPERATIONS))
    r.check("sections outside SETS with operation values, by subtree",
            {"MAPPINGS\\*": 3}, {k: v for k, v in op_places.items() if k != "SETS\\*"})


def check_mappings(r, maps, sets):
    r.check("MAPPINGS key sections", 1701, len(maps))
    keys = Counter(fold(s.leaf()) for s in maps)
    r.check("MAPPINGS keys, ignoring case", 1699, len(keys))
    counts = Counter(v[1] for s in maps for v in s.values)
    r.check("MAPPINGS value counts by name",
            dict(sorted(MAPPING_VALUE_COUNTS.items())), dict(sorted(counts.items())))

    repeated = sorted(k for k, n in keys.items() if n > 1)
    r.check("MAPPINGS keys with more than one section",
            sorted([fold(SAMSUNG), fold(SONY)]), repeated)
    r.check("sections per repeated key", [2, 2], [keys[fold(SAMSUNG)], keys[fold(SONY)]])
    samsung = [[(v[1], v[2]) for v in s.values] for s in maps if s.leaf() == SAMSUNG]
    r.holds("SAMSUNG sections carry the same values",
            len(samsung) == 2 and samsung[0] == samsung[1], "two equal sections", samsung)
    sony = [x for s in maps if s.leaf() == SONY for x in s.get("Caps_WriteMaxSpeed")]
    r.check("SONY Caps_WriteMaxSpeed, in order", ["8", "16"], sony)

    set_names = set(s.leaf() for s in sets)
    load1 = [x for s in maps for x in s.get("load1")]
    r.check("MAPPINGS load1 values naming a set exactly", 1698, sum(1 for x in load1 if x in set_names))
    r.check("MAPPINGS load1 values naming no set", [" PHILIPS3600"],
            [x for x in load1 if x not in set_names])
    without = sorted(s.leaf() for s in maps if not s.get("load1"))
    r.check("MAPPINGS keys without load1", sorted(TEAC), without)
    r.check("load values", [(t, ["PIONEER105"]) for t in sorted(TEAC)],
            [(s.leaf(), s.get("load")) for s in sorted(maps, key=lambda s: s.leaf()) if s.get("load")])
    r.holds("load names a set", "PIONEER105" in set_names, "PIONEER105 among the sets",
            "PIONEER105" in set_names)

    # Shapes of the drive identification strings, over section lines.
    leaves = [s.leaf() for s in maps]
    lead = Counter(len(n) - len(n.lstrip(" ")) for n in leaves)
    r.check("MAPPINGS names beginning with blanks, by number of blanks",
            {3: 4, 7: 1, 8: 89}, {k: v for k, v in sorted(lead.items()) if k})
    r.check("MAPPINGS names with two or more blanks in a row after the first non-blank",
            981, sum(1 for n in leaves if "  " in n.lstrip(" ")))
    missing = [c for c in "/*+?!|,." if not any(c in n for n in leaves)]
    r.check("special characters / * + ? ! | , . missing from MAPPINGS names", [], missing)
    vendor_field = sum(1 for n in leaves
                       if len(n) > 8 and n[:8].strip(" ") and " " not in n[:8].rstrip(" "))
    r.holds("MAPPINGS names with an 8-character vendor field", vendor_field * 2 > len(leaves),
            "more than half of %d" % len(leaves), vendor_field)
    times = sorted((n, n.count("\u00d7")) for n in leaves if "\u00d7" in n)
    r.check("names holding U+00D7, with their count", sorted((n, 2) for n in IOMEGA), times)
    r.check("names with characters that are no key name characters", [],
            [n for n in leaves if "\\" in n or "]" in n or "[" in n][:5])


def check_sets(r, sets):
    r.check("SETS key sections", 80, len(sets))
    r.check("SETS keys, ignoring case", 80, len(set(fold(s.leaf()) for s in sets)))
    counts = Counter(v[1] for s in sets for v in s.values)
    r.check("SETS value counts of load1, Device, Caps_WriteSAO, Caps_WriteREALSAO",
            SET_VALUE_COUNTS, {k: counts[k] for k in SET_VALUE_COUNTS})
    r.check("SETS value names that are neither those nor operations", [],
            sorted(set(counts) - set(SET_VALUE_COUNTS) - set(OPERATIONS)))

    by_name = {s.leaf(): s for s in sets}
    bases = sorted(s.leaf() for s in sets if not s.get("load1"))
    r.check("sets without load1", sorted(BASE_SET_SIZES), bases)
    r.check("values of the sets without load1", BASE_SET_SIZES,
            {n: len(by_name[n].values) for n in BASE_SET_SIZES if n in by_name})
    r.check("sets with more than one load1", [],
            sorted(s.leaf() for s in sets if len(s.get("load1")) > 1))

    longest = 0
    bad = []
    ends = set()
    for s in sets:
        name, steps, seen = s.leaf(), 0, {s.leaf()}
        while by_name[name].get("load1"):
            name = by_name[name].get("load1")[0]
            steps += 1
            if name not in by_name or name in seen:
                bad.append(s.leaf())
                break
            seen.add(name)
        else:
            longest = max(longest, steps)
            ends.add(name)
    r.check("SETS load1 chains that break or loop", [], bad)
    r.check("longest SETS load1 chain, in steps", 2, longest)
    r.check("sets where the chains end", sorted(BASE_SET_SIZES), sorted(ends))


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        raw = f.read()
    r = Report()
    check_bytes(r, raw)
    try:
        text = raw[2:].decode("utf-16-le")
    except UnicodeDecodeError as e:
        r.check("UTF-16LE text", "valid", str(e))
        return 1
    lines = check_text(r, text)
    sections, stray = parse_sections(lines)
    check_layout(r, lines, sections, stray)
    check_values(r, lines, sections)
    check_subtrees(r, sections)
    if r.failed:
        print("%d figure(s) off" % r.failed)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
