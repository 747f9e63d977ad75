#!/usr/bin/env python3
"""Writes the driver database that the setup ships, data/drivers.reg.

The database is a registry editor export (UTF-16LE with a byte order mark,
CR LF line ends) of the DRIVER2 tree: the data version, the FALLBACKS
switches, one MAPPINGS key per drive identification string naming the driver
set that serves the drive, and the SETS keys that chain driver sets onto four
base sets.  Everything below is fixed by the seed and by the tables in this
file, so every run writes the same bytes.

Usage: gen_drivers.py [OUTPUT]   (default: data/drivers.reg of this tree)
"""

import os
import re
import sys

SEED = 0x4B455354524F5641  # any fixed value; changing it changes the drive names

TOTAL_BYTES = 464864  # byte order mark + 232,431 UTF-16 units

ROOT = "HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2"
ROOT_CAPITAL = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrova\\DRIVER2"
DATA_VERSION = 0x38

# Shape of the MAPPINGS subtree.
MAPPING_KEYS = 1699
READER_KEYS = 55            # keys without Caps_WriteMaxSpeed
EMPTY_VENDOR_KEYS = 89      # names that begin with eight blanks
RUN_LINES = 981             # section lines whose name has two blanks in a row
                            # after its first non-blank character
KESTROVA_LINES = 27         # sections of the last batch, written "Kestrova"
SECOND_BATCH_KEYS = 160     # keys added by the second batch of sections
WRITE_SPEED_KEYS = 33
REALSAO_KEYS = 13
SIMULATE_KEYS = 11
DEVICE_KEYS = 5

OPERATIONS = [
    "BeginTAO", "EndTAO", "BeginSAO", "EndSAO", "SetWriteOptions", "OpenTrack",
    "CloseTrack", "Write", "SetReadOptions", "ReadCDStructure", "Read",
    "GetWriterCaps", "GetReaderCaps", "GetFirstWriteAddress", "GetCapacity",
    "GetBufferCapacity", "ModeSense", "ModeSelect", "OpenTray", "CloseTray",
    "EraseDisc",
]

FALLBACKS = [
    "BeginSAO5", "Write2", "BeginSAO6", "Write3", "Write4", "Write5", "Write6",
    "GetBufferCapcity1", "ModeSelect2", "ModeSense2", "Read1",
    "ReadCDStructure2", "SetReadOptions1", "SetWriteOptions3",
    "SetWriteOptions4", "SetWriteOptions5", "Read2", "OpenTray1", "CloseTray1",
]


class Rng:
    """splitmix64: small, fast and the same on every platform and Python."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        mask = 0xFFFFFFFFFFFFFFFF
        self.state = (self.state + 0x9E3779B97F4A7C15) & mask
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n

    def choice(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, num, den):
        return self.below(den) < num

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = self.below(i + 1)
            items[i], items[j] = items[j], items[i]

    def pick(self, items, count):
        """count distinct elements of items, in a random order."""
        pool = list(items)
        self.shuffle(pool)
        return pool[:count]


# ---------------------------------------------------------------------------
# Driver sets

BASE_SETS = ["CW-Writer", "MMC-Writer", "MMC-Reader", "SCSI-Reader"]

# Operations of the base sets.  EraseDisc is left to the sets that can erase.
WRITER_BASE_OPS = [op for op in OPERATIONS if op != "EraseDisc"]
READER_BASE_OPS = ["SetReadOptions", "ReadCDStructure", "Read", "GetReaderCaps",
                   "GetCapacity", "ModeSense", "ModeSelect", "CloseTray"]

# name, parent set (load1), kind.  Parents are base sets or sets that load a
# base set directly, so no chain is longer than two steps.
SETS = [
    ("MMC-Writer-BurnFree", "MMC-Writer", "w"),
    ("MMC-Writer-DVD-Dual", "MMC-Writer", "w"),
    ("MMC-Writer-NoSAO", "MMC-Writer", "w"),
    ("MMC-Writer-RAW", "MMC-Writer", "w"),
    ("MMC-Writer-DVD", "MMC-Writer", "w"),
    ("MMC-Writer-DVDRAM", "MMC-Writer", "w"),
    ("MMC-Writer-Slow", "MMC-Writer", "w"),
    ("MMC-Writer-USB", "MMC-Writer", "w"),
    ("CW-Writer-Old", "CW-Writer", "w"),
    ("CW-Writer-SCSI", "CW-Writer", "w"),
    ("CW-Writer-TAO", "CW-Writer", "w"),
    ("MMC-Reader-DVD", "MMC-Reader", "r"),
    ("MMC-Reader-Slow", "MMC-Reader", "r"),
    ("SCSI-Reader-Old", "SCSI-Reader", "r"),
    ("SCSI-Reader-Tray", "SCSI-Reader", "r"),
    ("PIONEER104", "MMC-Writer-DVD", "w"),
    ("PIONEER105", "MMC-Writer-DVD", "w"),
    ("PIONEER106", "MMC-Writer-DVD-Dual", "w"),
    ("PIONEER107", "MMC-Writer-DVD-Dual", "w"),
    ("PHILIPS2000", "CW-Writer-Old", "w"),
    ("PHILIPS2600", "CW-Writer", "w"),
    ("PHILIPS3600", "MMC-Writer", "w"),
    ("PHILIPS3610", "MMC-Writer-BurnFree", "w"),
    ("SONY140", "CW-Writer-SCSI", "w"),
    ("SONY920", "CW-Writer", "w"),
    ("SONY926", "MMC-Writer-RAW", "w"),
    ("PLEXTOR412", "MMC-Writer", "w"),
    ("PLEXTOR820", "MMC-Writer-BurnFree", "w"),
    ("PLEXTOR1210", "MMC-Writer-BurnFree", "w"),
    ("YAMAHA2260", "CW-Writer-SCSI", "w"),
    ("YAMAHA4260", "CW-Writer", "w"),
    ("YAMAHA8424", "MMC-Writer-RAW", "w"),
    ("RICOH6200", "CW-Writer", "w"),
    ("RICOH6201", "RICOH6200", "w"),
    ("RICOH7060", "MMC-Writer", "w"),
    ("TEAC55", "CW-Writer-SCSI", "w"),
    ("TEAC58", "MMC-Writer", "w"),
    ("HP4020", "CW-Writer", "w"),
    ("HP7100", "CW-Writer-TAO", "w"),
    ("HP9100", "MMC-Writer-NoSAO", "w"),
    ("JVC2010", "CW-Writer-TAO", "w"),
    ("JVC2626", "MMC-Writer", "w"),
    ("KODAK600", "CW-Writer-Old", "w"),
    ("KODAK6000", "CW-Writer", "w"),
    ("MITSUMI2801", "MMC-Writer-Slow", "w"),
    ("MITSUMI4801", "MMC-Writer", "w"),
    ("TOSHIBA-R1", "MMC-Reader-DVD", "r"),
    ("TOSHIBA-W2", "MMC-Writer-DVD", "w"),
    ("NEC-R1", "MMC-Reader-Slow", "r"),
    ("NEC-W2", "MMC-Writer-DVD-Dual", "w"),
    ("MATSHITA-RAM", "MMC-Writer-DVDRAM", "w"),
    ("MATSHITA-CW", "MMC-Writer", "w"),
    ("SANYO-BP", "MMC-Writer", "w"),
    ("SANYO-BP2", "SANYO-BP", "w"),
    ("HITACHI-DVD", "MMC-Reader-DVD", "r"),
    ("LITEON-1", "MMC-Writer", "w"),
    ("LITEON-2", "MMC-Writer-BurnFree", "w"),
    ("SAMSUNG-CW", "MMC-Writer", "w"),
    ("SAMSUNG-DVD", "MMC-Writer-DVD-Dual", "w"),
    ("TDK-VELO", "MMC-Writer-RAW", "w"),
    ("BENQ-SAFE", "MMC-Writer-BurnFree", "w"),
    ("ASUS-CRW", "MMC-Writer", "w"),
    ("ACER-CRW", "MMC-Writer-Slow", "w"),
    ("AOPEN-CRW", "MMC-Writer", "w"),
    ("IOMEGA-ZIP", "MMC-Writer-USB", "w"),
    ("MEMOREX-1", "MMC-Writer", "w"),
    ("GRUNDIG-CDR", "CW-Writer-Old", "w"),
    ("WAITEC-1", "CW-Writer-SCSI", "w"),
    ("SMART-CD", "MMC-Writer-Slow", "w"),
    ("IMATION-1", "MMC-Writer-NoSAO", "w"),
    ("OPTORITE-1", "MMC-Writer-BurnFree", "w"),
    ("CREATIVE-1", "MMC-Writer", "w"),
    ("TRAXDATA-1", "CW-Writer", "w"),
    ("CYBERDRV-1", "MMC-Writer-RAW", "w"),
    ("DELTA-1", "MMC-Writer-NoSAO", "w"),
    ("QPS-1", "MMC-Writer-USB", "w"),
]

# Non-base sets that carry no Device of their own (they take their parent's).
SETS_WITHOUT_DEVICE = ["RICOH6201", "SANYO-BP2", "PIONEER107", "MMC-Writer-Slow",
                       "SCSI-Reader-Tray"]

# The write-mode capabilities are declared by the base writer sets and by
# this many of the other writer sets.
SETS_WITH_WRITE_CAPS = 29

# Operations that individual sets replace.
SET_OPERATIONS = [
    ("PIONEER105", "EraseDisc", "2"),
    ("PIONEER106", "EraseDisc", "2"),
    ("MMC-Writer-DVDRAM", "EraseDisc", "3"),
    ("MMC-Writer-RAW", "BeginSAO", "4"),
    ("MMC-Writer-RAW", "EndSAO", "4"),
    ("CW-Writer-TAO", "BeginTAO", "0"),
    ("SONY926", "GetWriterCaps", "6"),
    ("RICOH6201", "GetFirstWriteAddress", "1"),
    ("KODAK600", "CloseTrack", "5"),
    ("MMC-Reader-Slow", "ReadCDStructure", "0"),
    ("SCSI-Reader-Tray", "CloseTray", "2"),
    ("YAMAHA8424", "OpenTray", "1"),
]


def build_sets(rng):
    """Returns the SETS sections as (name, [(value name, data), ...]), in
    case-insensitive name order, with Device numbers 1 to 73."""
    names = BASE_SETS + [s[0] for s in SETS]
    parents = dict((s[0], s[1]) for s in SETS)
    for name in parents:
        steps, at = 0, name
        while at in parents:
            at, steps = parents[at], steps + 1
            if steps > 2:
                raise SystemExit("set %s loads more than two sets deep" % name)
    devices = {}
    numbered = [n for n in names if n not in SETS_WITHOUT_DEVICE]
    for i, name in enumerate(numbered):
        devices[name] = str(1 + (i * 37) % 73)  # covers 1..73, a few twice

    writer_sets = [s[0] for s in SETS if s[2] == "w"]
    with_caps = rng.pick(writer_sets, SETS_WITH_WRITE_CAPS)
    ops = {}
    for name, op, data in SET_OPERATIONS:
        ops.setdefault(name, []).append((op, data))

    sections = []
    for name in names:
        values = []
        if name in BASE_SETS:
            values.append(("Device", devices[name]))
            if name.endswith("Writer"):
                values.append(("Caps_WriteSAO", "1"))
                values.append(("Caps_WriteREALSAO", "1" if name == "MMC-Writer" else "0"))
                op_names = WRITER_BASE_OPS
            else:
                op_names = READER_BASE_OPS
            for op in op_names:
                values.append((op, str(rng.below(7 if name == "MMC-Writer" else 4))))
        else:
            values.append(("load1", parents[name]))
            if name in devices:
                values.append(("Device", devices[name]))
            if name in with_caps:
                values.append(("Caps_WriteSAO", str(rng.below(2))))
                values.append(("Caps_WriteREALSAO", str(rng.below(2))))
            values.extend(ops.get(name, []))
        sections.append((name, values))
    sections.sort(key=lambda s: s[0].upper())
    return sections


# ---------------------------------------------------------------------------
# Drive identification strings

# Vendor field (padded to eight characters), kind of drives it makes, and the
# model prefixes of its invented product lines.
VENDORS = [
    ("SONY", "cdw", ["CRX", "CRW", "DRU-", "CDU", "DW-Q"]),
    ("TEAC", "cdw", ["CD-W", "CD-R", "DV-W", "CD-E", "DW-"]),
    ("HP", "cdw", ["CD-Writer+ ", "DVD Writer ", "CDW", "DVDW"]),
    ("NEC", "dvd", ["ND-", "CDR-", "NR-", "DV-"]),
    ("JVC", "cdw", ["XR-W", "XJ-R", "MP-R"]),
    ("RICOH", "cdw", ["MP", "RO-", "MP-"]),
    ("YAMAHA", "cdw", ["CRW", "CDR", "CRW-F"]),
    ("TDK", "cdw", ["CDRW", "VELO", "DVDRW"]),
    ("ASUS", "cdw", ["CRW-", "DRW-", "CB-"]),
    ("BENQ", "cdw", ["CRW-", "DW", "DQ"]),
    ("ACER", "cdw", ["CRW-", "CDR", "RW"]),
    ("AOPEN", "cdw", ["CRW", "DRW", "COM"]),
    ("LG", "cdw", ["CD-RW CED-", "GCE-", "GSA-"]),
    ("SANYO", "cdw", ["CRD-", "CRD-BP", "DRW-"]),
    ("KODAK", "cdw", ["PCD", "CDR-", "KCW"]),
    ("IOMEGA", "cdw", ["ZIPCD ", "CDRW", "DVDRW"]),
    ("SMART", "cdw", ["CDRW", "SCD-", "SDW"]),
    ("WAITEC", "cdw", ["WT", "ACTION", "WTS"]),
    ("LACIE", "cdw", ["CDRW", "D2 DVD", "LCW"]),
    ("BTC", "cdw", ["BCE", "BCO", "BDV"]),
    ("QPS", "cdw", ["QUE", "QDR", "QRW"]),
    ("IBM", "cdr", ["CDRM", "DVRM", "CDRW"]),
    ("DELTA", "cdw", ["OME-W", "DVD-W", "CDW"]),
    ("PLEXTOR", "cdw", ["PX-", "PXR-", "PW-"]),
    ("SAMSUNG", "cdw", ["SW-", "SM-", "SH-", "SC-"]),
    ("PHILIPS", "cdw", ["CDD", "PCRW", "PCA", "DVDR"]),
    ("TOSHIBA", "dvd", ["SD-R", "SD-M", "XM-", "SD-W"]),
    ("PIONEER", "dvd", ["DVR-", "DR-", "DVD-"]),
    ("MITSUMI", "cdw", ["CR-", "DW-", "SR-"]),
    ("MEMOREX", "cdw", ["CRW-", "DVD", "CR-"]),
    ("HITACHI", "cdr", ["GD-", "CDR-", "DVD-"]),
    ("GRUNDIG", "cdw", ["CDR", "RW", "GDR"]),
    ("IMATION", "cdw", ["IMW", "CDRW", "DVR"]),
    ("LITE-ON", "cdw", ["LTR-", "LTD-", "SOHW-", "LTC-"]),
    ("MATSHITA", "dvd", ["CW-", "UJ-", "SR-", "LF-"]),
    ("HL-DT-ST", "dvd", ["GCE-", "GSA-", "RW/DVD GCC-", "DVD-RAM GSA-"]),
    ("CREATIVE", "cdw", ["CD", "RW", "DVD"]),
    ("TRAXDATA", "cdw", ["CDRW", "CDR", "TDW"]),
    ("CyberDrv", "cdw", ["CW", "DW", "DVD"]),
    ("OPTORITE", "cdw", ["CW", "DD", "DVD"]),
    ("TSSTcorp", "dvd", ["CD/DVDW TS-", "DVD-ROM TS-", "CDDVDW SH-"]),
]

WRITER_TYPES = ["CD-R", "CD-RW", "CDRW", "CD-R/RW", "CD-RW", "DVD-RW", "DVD+RW",
                "DVD+-RW", "DVDRW", "CDRW/DVD", "DVD-RAM", "COMBO", "DVD-R"]
READER_TYPES = ["CD-ROM", "DVD-ROM", "CDROM", "DVD", "DVDROM", "CD-ROM"]
CD_SPEEDS = [2, 4, 4, 6, 8, 8, 12, 12, 16, 16, 20, 24, 24, 32, 32, 40, 40, 48,
             48, 48, 52, 52, 52]
REWRITE_SPEEDS = [2, 4, 8, 10, 12, 16, 24, 32]
READ_SPEEDS = [6, 8, 16, 24, 32, 40, 48, 52]
SUFFIXES = ["A", "B", "S", "P", "T", "E", "U", "C", "F", "A", "B", "IM"]
REVISIONS = ["1.0", "1.02", "1.10", "1.0A", "2.0", "1.5", "3.02", "1.04"]


def model_number(rng, prefix, speed):
    """An invented model: the vendor's prefix, digits that usually start with
    the drive's speed, and sometimes a letter."""
    style = rng.below(8)
    if style < 3:
        digits = "%d%02d" % (speed, rng.choice(REWRITE_SPEEDS))
    elif style == 3:
        digits = "%d%d%d" % (speed, rng.choice(REWRITE_SPEEDS), rng.choice(READ_SPEEDS))
    elif style < 6:
        digits = str(rng.below(900) + 100)
    else:
        digits = str(rng.below(9000) + 1000)
    suffix = rng.choice(SUFFIXES) if rng.chance(1, 4) else ""
    return prefix + digits + suffix


def product_field(rng, prefix, kind, speed, run):
    """The product part of an identification string: a kind of drive and a
    model number.  With run set, the field is blank-padded between the two, as
    many drives report it ("CD-R   PX-4012A"); otherwise it has single blanks."""
    types = READER_TYPES if kind == "r" else WRITER_TYPES
    if kind == "r":
        prefix = prefix.split(" ")[-1]
        speed = rng.choice(READ_SPEEDS)
    model = model_number(rng, prefix, speed)
    if " " in model:
        word, model = model.split(" ", 1)  # the product line names its kind
    else:
        word = rng.choice(types)
    if run:
        if rng.chance(1, 4):
            gap = max(2, 16 - len(word) - len(model))  # a full 16-character field
        else:
            gap = 2 + rng.below(2)
        return word + " " * gap + model
    style = rng.below(16)
    if style < 9 and " " not in prefix:
        return model
    if style == 9:
        return word + " " + model + " " + rng.choice(REVISIONS)
    return word + " " + model


def generic_product(rng, kind, speed, run):
    """The product field of a drive that reports no vendor: mostly its kind
    and speeds ("CD-RW 52X32X52", "DVD-ROM 16X"), sometimes a bare model."""
    gap = " " * (2 + rng.below(3)) if run else " "
    if kind == "r":
        word = rng.choice(["CD-ROM", "DVD-ROM", "CDROM", "DVD"])
        read = rng.choice(READ_SPEEDS)
        style = rng.below(3)
        if style == 0:
            return word + gap + "%dX" % read
        if style == 1:
            return "%dX" % read + gap + word
        return word + gap + rng.choice(["CD-", "DVD-", "ROM-", "IDE"]) + str(rng.below(900) + 100)
    word = rng.choice(["CD-RW", "CDRW", "CD-R/RW", "DVD-RW", "DVD+RW", "DVD+-RW", "COMBO",
                       "DVDRW"])
    rewrite = rng.choice(REWRITE_SPEEDS)
    read = rng.choice(READ_SPEEDS)
    style = rng.below(5)
    if style == 0:
        return word + gap + "%dX%dX%d" % (speed, rewrite, read)
    if style == 1:
        return "%dX%dX%d" % (speed, rewrite, read) + gap + word
    if style == 2:
        return word + gap + "%dX" % speed
    if style == 3:
        return word + gap + rng.choice(["CRW-", "DW-", "RW-", "DVR-", "IDE", "CDR"]) + \
            "%d%02d" % (speed, rewrite) + (rng.choice(SUFFIXES) if rng.chance(1, 3) else "")
    return word + "%d%d%d" % (speed, rewrite, read) + (gap + "USB" if rng.chance(1, 4) else "")


def has_run(name):
    return "  " in name.lstrip(" ")


# Identification strings that are not drawn at random.  The SAMSUNG and SONY
# strings have two sections each; the TEAC drives load PIONEER105 with "load".
SAMSUNG_DRIVE = "SAMSUNG CD-ROM SC-148T"
SONY_DRIVE = "SONY    CD-RW CRX0811"
TEAC_DRIVES = ["TEAC    DV-W50DII", "TEAC    DV-W58D"]
PHILIPS_DRIVE = "PHILIPS CDRW3602"   # its load1 has a stray leading blank

FIXED_DRIVES = [
    # name, kind, Caps_WriteMaxSpeed, load1
    (SAMSUNG_DRIVE, "r", None, "MMC-Reader"),
    (SONY_DRIVE, "w", 8, "SONY926"),
    (TEAC_DRIVES[0], "w", 24, None),
    (TEAC_DRIVES[1], "w", 32, None),
    ("IOMEGA  ZIPCD 12\u00d710\u00d732", "w", 12, "IOMEGA-ZIP"),
    ("IOMEGA  ZIPCD 12\u00d74\u00d732", "w", 12, "IOMEGA-ZIP"),
    ("        8X8 DVD Dual", "w", 24, "MMC-Writer-DVD-Dual"),
    (PHILIPS_DRIVE, "w", 24, " PHILIPS3600"),
    ("   ATAPI CD-R/RW 40X12", "w", 40, "MMC-Writer"),
    ("   CD-RW  CRW-4012", "w", 40, "MMC-Writer-Slow"),
    ("   DVD-R DR-4012", "w", 16, "MMC-Writer-DVD"),
    ("   ECONO CDRW-2410", "w", 24, "MMC-Writer-NoSAO"),
    ("       DVD+RW 4X", "w", 16, "MMC-Writer-DVD"),
    ("LUXTRON CDRW 8*4*32", "w", 8, "MMC-Writer"),
    ("????????CD-RW 24X10", "w", 24, "MMC-Writer"),
    ("TDK     VELOCD! 2410", "w", 24, "TDK-VELO"),
    ("MAXCELL CD-R|RW 40X", "w", 40, "MMC-Writer"),
    ("        CDRW 12,8,32", "w", 12, "MMC-Writer-Slow"),
    ("RICOH   MP7163A 1.20", "w", 16, "RICOH7060"),
    ("HP      CD-Writer+ 9170", "w", 16, "HP9100"),
]


def invented_drives(rng, taken, slots, set_choices):
    """Draws one identification string per slot.  A slot asks for a reader
    or a writer, an empty vendor field or not, and a blank run or not; names
    are redrawn until they have the asked shape and are new (ignoring case)."""
    drives = []
    for kind, empty_vendor, run in slots:
        while True:
            vendor, makes, prefixes = rng.choice(VENDORS)
            if kind == "r" and makes == "cdw" and rng.chance(2, 3):
                continue
            speed = rng.choice(CD_SPEEDS)
            if makes == "dvd":
                speed = min(speed, 16) if rng.chance(1, 2) else speed
            if empty_vendor:
                name = " " * 8 + generic_product(rng, kind, speed, run)
            else:
                # A vendor of six letters or fewer is padded with a run of
                # blanks already; longer ones need a padded product field.
                vendor_run = len(vendor) <= 6
                if vendor_run and not run:
                    continue
                if run and not vendor_run and rng.chance(1, 2):
                    continue  # most padded names come from short vendor fields
                padded = run and (not vendor_run or rng.chance(1, 4))
                product = product_field(rng, rng.choice(prefixes), kind, speed, padded)
                name = vendor.ljust(8) + product
            if has_run(name) != run or name.endswith(" "):
                continue
            if name.upper() in taken or "\\" in name or "]" in name:
                continue
            taken.add(name.upper())
            load1 = rng.choice(set_choices[kind][vendor if not empty_vendor else ""])
            drives.append((name, kind, None if kind == "r" else speed, load1))
            break
    return drives


def set_choices_by_vendor(sets):
    """For each vendor, the sets its drives are mapped to: the vendor's own
    sets when it has any, weighted, plus the generic ones."""
    # Most drives of makers without sets of their own run on a base set.
    writer_generic = ([n for n, v in sets if n.startswith(("MMC-Writer", "CW-Writer"))]
                      + ["MMC-Writer"] * 24 + ["CW-Writer"] * 6)
    reader_generic = ([n for n, v in sets if n.startswith(("MMC-Reader", "SCSI-Reader"))]
                      + ["MMC-Reader"] * 4)
    readers_named = [s[0] for s in SETS if s[2] == "r"] + ["MMC-Reader", "SCSI-Reader"]
    choices = {"w": {"": writer_generic}, "r": {"": reader_generic}}
    for vendor, _, _ in VENDORS:
        key = vendor.upper().replace("-", "").replace("HLDTST", "LG")
        own_w = [s[0] for s in SETS if s[2] == "w" and s[0].upper().replace("-", "").startswith(key)]
        own_r = [s[0] for s in SETS if s[2] == "r" and s[0].upper().replace("-", "").startswith(key)]
        choices["w"][vendor] = own_w * 6 + writer_generic if own_w else writer_generic
        choices["r"][vendor] = own_r * 4 + readers_named if own_r else readers_named
    return choices


def build_mappings(rng, sets):
    """Returns the MAPPINGS sections as (name, batch, [(value name, data), ...]):
    batch 0 is the first export, 1 and 2 the later additions (see render)."""
    taken = set(d[0].upper() for d in FIXED_DRIVES)
    fixed = list(FIXED_DRIVES)
    fixed_empty = sum(1 for d in fixed if len(d[0]) - len(d[0].lstrip(" ")) == 8)
    fixed_readers = sum(1 for d in fixed if d[1] == "r")
    # Section lines that already have a run: the fixed names, the SONY string
    # counted once more for its second section.
    fixed_runs = sum(1 for d in fixed if has_run(d[0])) + (1 if has_run(SONY_DRIVE) else 0)

    count = MAPPING_KEYS - len(fixed)
    empty_left = EMPTY_VENDOR_KEYS - fixed_empty
    readers_left = READER_KEYS - fixed_readers
    runs_left = RUN_LINES - fixed_runs
    slots = []
    for i in range(count):
        slots.append(["w", i < empty_left, False])
    order = list(range(count))
    rng.shuffle(order)
    for i in order[:readers_left]:
        slots[i][0] = "r"
    rng.shuffle(order)
    for i in order[:runs_left]:
        slots[i][2] = True

    drives = fixed + invented_drives(rng, taken, [tuple(s) for s in slots],
                                     set_choices_by_vendor(sets))
    # Every set that drives can use gets at least one drive.
    used = set(d[3] for d in drives)
    spare = [i for i, d in enumerate(drives) if i >= len(fixed)]
    for name, _ in sets:
        if name in used or name in BASE_SETS or name == "PHILIPS3600":
            continue
        kind = "r" if name in [s[0] for s in SETS if s[2] == "r"] else "w"
        for i in spare:
            if drives[i][1] == kind:
                d = drives[i]
                drives[i] = (d[0], d[1], d[2], name)
                spare.remove(i)
                used.add(name)
                break

    values = {}
    for name, kind, speed, load1 in drives:
        v = []
        if name in TEAC_DRIVES:
            v.append(("load", "PIONEER105"))
        else:
            v.append(("load1", load1))
        if speed is not None:
            v.append(("Caps_WriteMaxSpeed", str(speed)))
        values[name] = v

    # Extra values on a few writers drawn at random.
    plain_writers = [d[0] for d in drives[len(fixed):] if d[1] == "w"]
    extra = rng.pick(plain_writers, WRITE_SPEED_KEYS + REALSAO_KEYS + DEVICE_KEYS + 3)
    ws = extra[:WRITE_SPEED_KEYS]
    for i, name in enumerate(ws):
        top = int(values[name][1][1])
        options = [s for s in (8, 12, 16, 24) if s <= max(top, 8)]
        values[name].append(("WriteSpeed", str(options[i % len(options)])))
    realsao = extra[WRITE_SPEED_KEYS:WRITE_SPEED_KEYS + REALSAO_KEYS]
    for i, name in enumerate(realsao):
        values[name].append(("Caps_WriteREALSAO", "0" if i % 3 == 0 else "1"))
        if i < SIMULATE_KEYS:
            values[name].append(("Caps_SimulateREALSAO", "1" if i % 4 else "0"))
    start = WRITE_SPEED_KEYS + REALSAO_KEYS
    for name, device in zip(extra[start:start + DEVICE_KEYS], ["12", "17", "33", "41", "58"]):
        values[name].append(("Device", device))
    op_keys = extra[start + DEVICE_KEYS:]
    values[op_keys[0]] += [("ModeSelect", "2"), ("ModeSense", "2"),
                           ("SetWriteOptions", "3"), ("BeginTAO", "1"),
                           ("BeginSAO", "5"), ("EndSAO", "5")]
    values[op_keys[1]] += [("ModeSelect", "2"), ("ModeSense", "2")]
    values[op_keys[2]] += [("ModeSelect", "1"), ("ModeSense", "1")]

    # File order: the first export, then two later batches of additions.  The
    # second batch repeats the SAMSUNG section unchanged; the last batch,
    # written by hand with the maker key spelled "Kestrova", corrects the SONY
    # drive's top speed.  render() sorts each batch by name.
    names = [d[0] for d in drives]
    third = names[-(KESTROVA_LINES - 1):]
    rest = [n for n in names if n not in third]
    rng.shuffle(rest)
    second = [n for n in rest[:SECOND_BATCH_KEYS] if n not in (SAMSUNG_DRIVE, SONY_DRIVE)]
    first = [n for n in rest if n not in second]

    sections = []
    for name in first:
        sections.append((name, 0, values[name]))
    for name in second:
        sections.append((name, 1, values[name]))
    sections.append((SAMSUNG_DRIVE, 1, list(values[SAMSUNG_DRIVE])))
    for name in third:
        sections.append((name, 2, values[name]))
    sections.append((SONY_DRIVE, 2, [("load1", values[SONY_DRIVE][0][1]),
                                     ("Caps_WriteMaxSpeed", "16")]))
    return sections


# ---------------------------------------------------------------------------
# Length tuning

# A model number such as "CRW-5224" or "SD-M1612", which drives often follow
# with a letter for the variant ("CRW-5224A").
MODEL = re.compile(r"^[A-Z]+-?[A-Z]*[0-9]{3,}$")
MODEL_WITH_SUFFIX = re.compile(r"^[A-Z]+-?[A-Z]*[0-9]{3,}[A-Z]$")


def adjust_lengths(sections, fixed_names, change):
    """Makes the invented drive names `change` characters longer in all (or
    shorter, for a negative change), one character per name: a name that
    ends in a plain model number gets a variant letter, or a name that ends
    in a variant letter loses it.  Names are taken with a stride so that the
    changed ones are spread over the list; a change that would make two names
    equal (ignoring case) is skipped.  Blanks are never touched, so the
    shapes of the names stay as drawn."""
    taken = set(s[0].upper() for s in sections)
    pattern = MODEL if change > 0 else MODEL_WITH_SUFFIX
    candidates = [i for i, s in enumerate(sections)
                  if s[0] not in fixed_names and pattern.match(s[0].split(" ")[-1])]
    want = abs(change)
    done = 0
    for k in range(len(candidates)):
        if done == want:
            break
        # 7919 is a prime above any list length here, so this visits every
        # candidate once.
        i = candidates[(k * 7919) % len(candidates)]
        name = sections[i][0]
        options = [name + c for c in "ABSEPU"] if change > 0 else [name[:-1]]
        for new in options:
            if new.upper() not in taken:
                taken.discard(name.upper())
                taken.add(new.upper())
                sections[i] = (new,) + tuple(sections[i][1:])
                done += 1
                break
    if done != want:
        raise SystemExit("cannot reach %d bytes: changed %d of %d names"
                         % (TOTAL_BYTES, done, want))
    return sections


# ---------------------------------------------------------------------------
# Output

def render(mapping_sections, set_sections, fallbacks):
    """The export text: the header, then every section after an empty line;
    two empty lines where a later batch of MAPPINGS sections begins and
    before SETS.  MAPPINGS sections go batch by batch, each batch in
    case-insensitive name order.  Lines are joined with CR LF and the last
    one has no line end."""
    lines = ["Windows Registry Editor Version 5.00", ""]

    def section(path, values, two_blank=False):
        if two_blank:
            lines.append("")
        lines.append("[" + path + "]")
        for name, data in values:
            if name == "DriverVersion":
                lines.append('"%s"=dword:%08x' % (name, int(data)))
            else:
                lines.append('"%s"="%s"' % (name, data))
        lines.append("")

    section(ROOT, [("DriverVersion", DATA_VERSION)])
    section(ROOT + "\\FALLBACKS", fallbacks)
    section(ROOT + "\\MAPPINGS", [])
    ordered = sorted(mapping_sections, key=lambda s: (s[1], s[0].upper()))
    for k, (name, batch, values) in enumerate(ordered):
        root = ROOT_CAPITAL if batch == 2 else ROOT
        starts_batch = k > 0 and ordered[k - 1][1] != batch
        section(root + "\\MAPPINGS\\" + name, values, starts_batch)
    section(ROOT + "\\SETS", [], True)
    for name, values in set_sections:
        section(ROOT + "\\SETS\\" + name, values)
    lines.pop()  # the last value line has no line end
    return "\r\n".join(lines)


def generate():
    rng = Rng(SEED)
    # Mostly off; the first two are set so that both values occur.
    fallbacks = [(name, "1" if rng.chance(1, 3) else "0") for name in FALLBACKS]
    fallbacks[0] = (fallbacks[0][0], "1")
    fallbacks[1] = (fallbacks[1][0], "0")
    sets = build_sets(rng)
    mappings = build_mappings(rng, sets)
    text = render(mappings, sets, fallbacks)
    units = (TOTAL_BYTES - 2) // 2
    fixed_names = set(d[0] for d in FIXED_DRIVES)
    mappings = adjust_lengths(mappings, fixed_names, units - len(text))
    text = render(mappings, sets, fallbacks)
    data = b"\xff\xfe" + text.encode("utf-16-le")
    if len(data) != TOTAL_BYTES:
        raise SystemExit("generated %d bytes instead of %d" % (len(data), TOTAL_BYTES))
    return data


def main(argv):
    if len(argv) > 2:
        sys.stderr.write(__doc__)
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) == 2 else os.path.join(here, "..", "..", "data", "drivers.reg")
    data = generate()
    with open(out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
