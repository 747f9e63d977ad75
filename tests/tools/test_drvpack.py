#!/usr/bin/env python3
"""drvpack driven as its users drive it.

Every script under test is also packed onto the native image and run, so that what
drvpack says about a script is held against what the setup program does with it.

The built programs come from the environment: DRVPACK, DRVSETUP_IMAGE, DRVREG,
SHIPPED_SETUP (the setup file the build packs) and SHIPPED_SCRIPT (data/drivers.reg).

Usage: test_drvpack.py [unittest arguments, e.g. a test class name]
"""

import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

DRVPACK = os.environ.get("DRVPACK", "")
IMAGE = os.environ.get("DRVSETUP_IMAGE", "")
DRVREG = os.environ.get("DRVREG", "")
SHIPPED_SETUP = os.environ.get("SHIPPED_SETUP", "")
SHIPPED_SCRIPT = os.environ.get("SHIPPED_SCRIPT", "")

# The setup's outcomes as exit statuses (the low 8 bits of the outcome code).
UPDATED, DATA_INVALID, INSTALL_FAILED = 0, 254, 253


def utf16(text, bom=True):
    return (b"\xff\xfe" if bom else b"") + text.encode("utf-16-le", "surrogatepass")


def trailer(length):
    return struct.pack("<I", length)


class Workspace:
    """A temporary directory; every program runs with its registry store inside it."""

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory(prefix="drvpack-test-")
        self.path = self.dir.name
        self.store = self.file("registry.db")

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, data):
        path = self.file(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_bytes(self, argv, store=None):
        """Runs a program; returns its exit status and standard output, as bytes."""
        env = dict(os.environ)
        env["DRVSETUP_REGISTRY"] = store or self.store
        for knob in ("DRVSETUP_FAIL", "DRVSETUP_DENY_WRITE", "DRVSETUP_PLATFORM",
                     "DRVSETUP_SHLWAPI"):
            env.pop(knob, None)
        result = subprocess.run(argv, env=env, cwd=self.path, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=600)
        self.last_err = result.stderr.decode("utf-8")
        return result.returncode, result.stdout

    def run(self, argv, store=None):
        """Runs a program; returns its exit status, standard output and standard error."""
        status, out = self.run_bytes(argv, store)
        return status, out.decode("utf-8"), self.last_err

    def drvpack(self, *args):
        return self.run([DRVPACK] + list(args))

    def close(self):
        self.dir.cleanup()


def info_rows(stdout):
    rows = {}
    for line in stdout.splitlines():
        label, _, value = line.partition(":")
        rows[label] = value.strip()
    return rows


class DrvpackTest(unittest.TestCase):
    def setUp(self):
        for name, value in (("DRVPACK", DRVPACK), ("DRVSETUP_IMAGE", IMAGE), ("DRVREG", DRVREG)):
            self.assertTrue(value and os.access(value, os.X_OK), f"{name} is not set to a program")
        self.ws = Workspace()

    def tearDown(self):
        self.ws.close()

    def pack(self, script_name, script_bytes, out_name, force=True):
        script = self.ws.write(script_name, script_bytes)
        out = self.ws.file(out_name)
        args = ["pack"] + (["--force"] if force else []) + [IMAGE, script, out]
        status, _, err = self.ws.drvpack(*args)
        self.assertEqual(status, 0, err)
        return out

    def run_setup(self, setup_file):
        """Runs a setup file on a fresh store of its own; returns the exit status and the store."""
        store = setup_file + ".db"
        status, _, _ = self.ws.run([setup_file, "-ne", "-ns"], store=store)
        return status, store


# The start of a script like the shipped one; a broken line appended to it is line 8.
HEAD = ("Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2]\r\n"
        "\"DriverVersion\"=dword:00000038\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\MAPPINGS\\SONY    CD-RW CRX0811]\r\n"
        "\"load1\"=\"MMC-Writer\"\r\n")
VERSION = "\"DriverVersion\"=dword:00000038"
LONG_KEY = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + "K" * 256 + "]"
LONG_NAME = "\"" + "N" * 16384 + "\"=\"1\""

# {what, script, line (None: no line), reason, the line as shown, the setup's outcome}
REJECTED = [
    ("no version line",
     "REGEDIT\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=\"b\"\r\n",
     None, "no \"DriverVersion\"=dword: line", None, DATA_INVALID),
    ("blank before the version digits",
     HEAD.replace(VERSION, "\"DriverVersion\"=dword: 38"),
     4, "no hexadecimal digit after \"DriverVersion\"=dword:", "\"DriverVersion\"=dword: 38",
     DATA_INVALID),
    ("0x before the version digits",
     HEAD.replace(VERSION, "\"DriverVersion\"=dword:0x38"),
     4, "text after the data version's digits", "\"DriverVersion\"=dword:0x38", DATA_INVALID),
    ("section header without bracket",
     HEAD + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS\r\n\"Device\"=\"16\"\r\n",
     8, "section header without \"]\"", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\kestrova\\DRIVER2\\SETS",
     INSTALL_FAILED),
    ("section under another root",
     HEAD + "[HKEY_USERS\\.DEFAULT\\Software]\r\n",
     8, "section header names no HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_CLASSES_ROOT "
        "sub-key", "[HKEY_USERS\\.DEFAULT\\Software]", INSTALL_FAILED),
    ("key name of 256 bytes",
     HEAD + LONG_KEY + "\r\n",
     8, "the registry refused to create the key", LONG_KEY[:200] + " ...", INSTALL_FAILED),
    ("value name without closing quote",
     HEAD + "\"Device=16\r\n",
     8, "value name without its closing double quote", "\"Device=16", INSTALL_FAILED),
    ("no equals sign, leading blanks shown",
     HEAD + "  \"Device\" \"16\"\r\n",
     8, "no \"=\" after the value name", "  \"Device\" \"16\"", INSTALL_FAILED),
    ("escaped closing quote, shown as written",
     HEAD + "\"load\"=\"a\\\\b\\\"c\r\n",
     8, "string data without its closing double quote", "\"load\"=\"a\\\\b\\\"c", INSTALL_FAILED),
    ("text after the string",
     HEAD + "\"Device\"=\"16\" ; drive\r\n",
     8, "text after the string's closing double quote", "\"Device\"=\"16\" ; drive",
     INSTALL_FAILED),
    ("hex value",
     HEAD + "\"Device\"=hex:10,00\r\n",
     8, "value is neither a quoted string nor dword:", "\"Device\"=hex:10,00", INSTALL_FAILED),
    ("blank after dword:",
     HEAD + "\"Caps\"=dword: 1\r\n",
     8, "no hexadecimal digit right after dword:", "\"Caps\"=dword: 1", INSTALL_FAILED),
    ("text after the dword's digits",
     HEAD + "\"Caps\"=dword:1;\r\n",
     8, "text after the dword's digits", "\"Caps\"=dword:1;", INSTALL_FAILED),
    ("value name of 16384 bytes",
     HEAD + LONG_NAME + "\r\n",
     8, "the registry refused to write the value", LONG_NAME[:200] + " ...", INSTALL_FAILED),
    # Where the line number and the shown line are easy to get wrong.
    ("a lone CR ends no line",
     HEAD + "; note\rmore\r\n\"Device\"=16\r\n",
     9, "value is neither a quoted string nor dword:", "\"Device\"=16", INSTALL_FAILED),
    ("bare LF line ends",
     HEAD.replace("\r\n", "\n") + "\n\"Device\"=16\n\"x\"=\"y\"\n",
     9, "value is neither a quoted string nor dword:", "\"Device\"=16", INSTALL_FAILED),
    ("after a header that runs over two lines",
     HEAD + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a\r\nb]\r\n\"x\" \"y\"\r\n",
     10, "no \"=\" after the value name", "\"x\" \"y\"", INSTALL_FAILED),
    ("non-ASCII characters shown as they are",
     HEAD + "[HKEY_USERS\\IOMEGA  ZIPCD 12\u00d710\u00d732]\r\n",
     8, "section header names no HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_CLASSES_ROOT "
        "sub-key", "[HKEY_USERS\\IOMEGA  ZIPCD 12\u00d710\u00d732]", INSTALL_FAILED),
    ("CR inside the version line: the scan takes it, the import does not",
     HEAD.replace(VERSION, VERSION + "\rX"),
     4, "text after the dword's digits", VERSION + "^MX", INSTALL_FAILED),
    ("the version scan stops before the import",
     HEAD.replace(VERSION, "\"DriverVersion\"=dword:0x38") + "[HKEY_USERS\\x]\r\n",
     4, "text after the data version's digits", "\"DriverVersion\"=dword:0x38", DATA_INVALID),
    ("last line without line end",
     HEAD + "\"Device\"=\"16",
     8, "string data without its closing double quote", "\"Device\"=\"16", INSTALL_FAILED),
    ("first line",
     "[HKEY_USERS\\x]\r\n" + VERSION + "\r\n",
     1, "section header names no HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or HKEY_CLASSES_ROOT "
        "sub-key", "[HKEY_USERS\\x]", INSTALL_FAILED),
]


class CheckRejects(DrvpackTest):
    """check names the line and the reason the setup stops at, for every kind of failure."""

    def expected(self, name, line, reason, text):
        if line is None:
            return f"{name}: {reason}\n"
        return f"{name}:{line}: {reason}\n    {text}\n"

    def test_rejected_scripts(self):
        for i, (what, script, line, reason, text, outcome) in enumerate(REJECTED):
            with self.subTest(what):
                bare = self.ws.write(f"bad{i}.reg", utf16(script))
                status, out, err = self.ws.drvpack("check", bare)
                self.assertEqual((status, out, err),
                                 (1, self.expected(bare, line, reason, text), ""))
                self.assertFalse(os.path.exists(self.ws.store), "check wrote a registry store")

                # The same script packed: check says the same of the setup file, and the setup
                # itself fails with the outcome of that step.
                setup = self.pack(f"bad{i}.reg", utf16(script), f"bad{i}.setup")
                status, out, _ = self.ws.drvpack("check", setup)
                self.assertEqual((status, out), (1, self.expected(setup, line, reason, text)))
                self.assertEqual(self.run_setup(setup)[0], outcome)


def registry_values(test, store):
    """The number of values a store holds under the three roots, as drvreg exports them."""
    count = 0
    for root in ("HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT"):
        status, out, err = test.ws.run([DRVREG, "export", root], store=store)
        test.assertEqual(status, 0, err)
        count += sum(1 for line in out.splitlines() if line.startswith(("\"", "@")))
    return count


# {what, script, what check says it would write, values the registry holds afterwards}
ACCEPTED = [
    ("two sections",
     HEAD + "\"Device\"=\"16\"\r\n",
     "2 keys (2 section lines), 2 string values, 1 dword value; data version 56", 3),
    ("a key named twice, in other case, and a value replaced",
     "[HKEY_LOCAL_MACHINE\\S\\a]\r\n\"DriverVersion\"=dword:1\r\n\"x\"=\"1\"\r\n"
     "[hkey_local_machine\\s\\A]\r\n\"X\"=\"2\"\r\n\"y\"=dword:2\r\n",
     "1 key (2 section lines), 2 string values, 2 dword values; data version 1", 3),
    ("other roots, a header that takes in the next line, the version line before any section",
     "\"DriverVersion\"=dword:ffffffff\n[HKEY_CURRENT_USER\\u]\n\"a\"=dword:2\n"
     "[HKEY_CLASSES_ROOT\\.x\n[y]\n\"b\"=\"\"\n",
     "2 keys (2 section lines), 1 string value, 1 dword value; data version 4294967295", 2),
    ("only the version line",
     "\"DriverVersion\"=dword:1",
     "0 keys (0 section lines), 0 string values, 0 dword values; data version 1", 0),
]


class CheckAccepts(DrvpackTest):
    """check says what the import writes, and the setup writes just that."""

    def test_accepted_scripts(self):
        for i, (what, script, summary, kept) in enumerate(ACCEPTED):
            with self.subTest(what):
                bare = self.ws.write(f"good{i}.reg", utf16(script))
                status, out, err = self.ws.drvpack("check", bare)
                self.assertEqual((status, out, err), (0, f"{bare}: ok: {summary}\n", ""))
                self.assertFalse(os.path.exists(self.ws.store), "check wrote a registry store")

                status, out, _ = self.ws.drvpack("info", bare)
                self.assertEqual(status, 0)
                self.assertEqual(info_rows(out)["values in registry"].split()[0], str(kept))

                setup = self.pack(f"good{i}.reg", utf16(script), f"good{i}.setup")
                status, store = self.run_setup(setup)
                self.assertEqual(status, UPDATED)
                self.assertEqual(registry_values(self, store), kept)


class ShippedSetupFile(DrvpackTest):
    """The setup file the build makes carries the shipped data, with its documented figures."""

    SCRIPT_FIGURES = {
        "byte order mark": "FF FE (UTF-16LE)",
        "UTF-16 units": "232431",
        "lines": "7293",
        "line ends": "7292 CR LF",
        "section lines": "1785",
        "distinct keys": "1783",
        "string values": "3718",
        "dword values": "1",
        "data version": "56 (0x38), line 4",
        "non-ASCII characters": "4 (4 of U+00D7 '\u00d7')",
    }

    def test_info_on_the_setup_file(self):
        status, out, err = self.ws.drvpack("info", SHIPPED_SETUP)
        self.assertEqual((status, err), (0, ""))
        rows = info_rows(out)
        image_size = os.path.getsize(IMAGE)
        self.assertEqual(rows["kind"], "setup file")
        self.assertEqual(rows["size"], f"{image_size + 464864 + 4} bytes")
        self.assertEqual(rows["setup data"], f"464864 bytes at offset {image_size}")
        self.assertEqual(rows["trailer"], "E0 17 07 00 (464864)")
        for label, value in self.SCRIPT_FIGURES.items():
            self.assertEqual(rows.get(label), value, label)

    def test_info_on_the_script_alone(self):
        status, out, err = self.ws.drvpack("info", SHIPPED_SCRIPT)
        self.assertEqual((status, err), (0, ""))
        rows = info_rows(out)
        self.assertEqual(rows["kind"], "script (no setup trailer)")
        self.assertEqual(rows["size"], "464864 bytes")
        for label, value in self.SCRIPT_FIGURES.items():
            self.assertEqual(rows.get(label), value, label)

    def test_check(self):
        status, out, err = self.ws.drvpack("check", SHIPPED_SETUP)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, f"{SHIPPED_SETUP}: ok: 1783 keys (1785 section lines), "
                              "3718 string values, 1 dword value; data version 56\n")

    def test_extract_gives_the_script(self):
        out = self.ws.file("extracted.reg")
        status, _, err = self.ws.drvpack("extract", SHIPPED_SETUP, out)
        self.assertEqual((status, err), (0, ""))
        with open(out, "rb") as a, open(SHIPPED_SCRIPT, "rb") as b:
            self.assertEqual(a.read(), b.read())


# {what, file name, file bytes, expected info rows (a subset)}
VERSION_LINE = "\"DriverVersion\"=dword:1"
INFO_CASES = [
    ("odd length", "odd.reg", utf16(VERSION_LINE) + b"\x00",
     {"kind": "script (no setup trailer)", "size": "49 bytes",
      "UTF-16 units": "23 (odd length: the last byte is ignored)", "lines": "1",
      "data version": "1 (0x1), line 1"}),
    ("a U+0000 ends the text", "nul.reg",
     utf16(VERSION_LINE + "\r\n\x00[HKEY_USERS\\x]\r\n"),
     {"UTF-16 units": "42 (the text ends at the U+0000 after 25 units)", "lines": "1",
      "line ends": "1 CR LF", "section lines": "0", "string values": "0"}),
    ("lone CR and bare LF", "ends.reg", utf16("a\rb\nc\r\n" + VERSION_LINE),
     {"lines": "3", "line ends": "1 CR LF, 1 LF, 1 lone CR (no line end)",
      "data version": "1 (0x1), line 3"}),
    ("characters the code page lacks", "chars.reg",
     utf16(VERSION_LINE + "\r\n; \u2192\u2192 \u00d7\U0001F600\r\n"),
     {"UTF-16 units": str(len(("\r\n; \u2192\u2192 \u00d7\U0001F600\r\n" + VERSION_LINE)
                              .encode("utf-16-le")) // 2),
      "non-ASCII characters": "4 (1 of U+00D7 '\u00d7', 2 of U+2192 '\u2192', "
                              "1 of U+1F600 '\U0001F600')",
      "not in ANSI code page": "3 characters, shown as '?' in the script text and the registry"}),
    ("setup data without byte order mark", "nobom.setup",
     b"MZ" + utf16(VERSION_LINE, bom=False) + trailer(len(utf16(VERSION_LINE, bom=False))),
     {"kind": "setup file", "setup data": "46 bytes at offset 2",
      "byte order mark": "none: the first two bytes, 22 00, are dropped as if they were one",
      "data version": "none: no \"DriverVersion\"=dword: line"}),
    ("only a byte order mark", "empty.reg", b"\xff\xfe",
     {"UTF-16 units": "0", "lines": "0", "section lines": "0",
      "data version": "none: no \"DriverVersion\"=dword: line"}),
    ("a script packed on an empty image", "empty-image.setup",
     utf16(VERSION_LINE) + trailer(len(utf16(VERSION_LINE))),
     {"kind": "setup file", "setup data": "48 bytes at offset 0", "data version": "1 (0x1), line 1"}),
    ("import that stops", "stops.reg", utf16(HEAD + "\"Device\"=16\r\n"),
     {"import": "stops at line 8: value is neither a quoted string nor dword:",
      "data version": "56 (0x38), line 4"}),
]


class InfoFigures(DrvpackTest):
    """info's figures of small files worked out by hand."""

    def test_figures(self):
        for what, name, data, expected in INFO_CASES:
            with self.subTest(what):
                path = self.ws.write(name, data)
                status, out, err = self.ws.drvpack("info", path)
                self.assertEqual((status, err), (0, ""))
                rows = info_rows(out)
                for label, value in expected.items():
                    self.assertEqual(rows.get(label), value, label)
                if "import" in expected:
                    self.assertNotIn("string values", rows)


class DamagedFiles(DrvpackTest):
    """Files that hold no setup data: every command names the file and says what is wrong."""

    def test_rejected_by_every_command(self):
        no_bom = "; nor is it a script (no FF FE byte order mark)"
        cases = [
            ("shorter than a trailer", b"MZ",
             "not a setup file: 2 bytes, too short for the 4-byte setup trailer" + no_bom),
            ("trailer beyond the file", b"MZ" + b"\x00" * 8 + trailer(1000),
             "not a setup file: its trailer gives 1000 bytes of setup data, but only 10 bytes "
             "precede the trailer" + no_bom),
        ]
        utf8_script = ("REGEDIT4\r\n" + VERSION_LINE + "\r\n").encode()
        cases.append(("script in UTF-8", utf8_script,
                      "not a setup file: its trailer gives %d bytes of setup data, but only %d "
                      "bytes precede the trailer%s" % (struct.unpack("<I", utf8_script[-4:])[0],
                                                       len(utf8_script) - 4, no_bom)))
        for what, data, problem in cases:
            path = self.ws.write("damaged", data)
            for command in (["info", path], ["check", path], ["extract", path, "out"]):
                with self.subTest(what, command=command[0]):
                    status, out, err = self.ws.drvpack(*command)
                    self.assertEqual((status, out, err), (1, "", f"drvpack: {path}: {problem}\n"))
        self.assertFalse(os.path.exists(self.ws.file("out")))

    def test_unreadable(self):
        missing = self.ws.file("missing")
        for command in (["info", missing], ["check", missing], ["extract", missing, "out"],
                        ["pack", IMAGE, missing, "out"], ["pack", missing, IMAGE, "out"]):
            with self.subTest(command=command[0]):
                status, out, err = self.ws.drvpack(*command)
                self.assertEqual((status, out, err),
                                 (1, "", f"drvpack: {missing}: No such file or directory\n"))
        status, _, err = self.ws.drvpack("info", self.ws.path)
        self.assertEqual((status, err), (1, f"drvpack: {self.ws.path}: cannot read: Is a directory\n"))

    def test_extract_refuses_a_bare_script(self):
        path = self.ws.write("bare.reg", utf16(VERSION_LINE))
        status, out, err = self.ws.drvpack("extract", path, "out")
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err, f"drvpack: {path}: not a setup file: a bare script (it begins with "
                              "FF FE and has no setup trailer)\n")


class PackAndExtract(DrvpackTest):
    """pack lays the script behind the image; extract gives its bytes back."""

    def test_round_trip(self):
        with open(SHIPPED_SCRIPT, "rb") as f:
            shipped = f.read()
        with open(IMAGE, "rb") as f:
            image = f.read()
        scripts = [("shipped", shipped), ("small", utf16(HEAD)),
                   ("odd length", utf16(VERSION_LINE) + b"\x00"),
                   ("broken, forced", utf16(HEAD + "\"x\"\r\n"))]
        for i, (what, script) in enumerate(scripts):
            with self.subTest(what):
                setup = self.pack(f"s{i}.reg", script, f"s{i}.setup")
                with open(setup, "rb") as f:
                    self.assertEqual(f.read(), image + script + trailer(len(script)))
                self.assertEqual(stat.S_IMODE(os.stat(setup).st_mode),
                                 stat.S_IMODE(os.stat(IMAGE).st_mode))
                out = self.ws.file(f"s{i}.out")
                status, _, err = self.ws.drvpack("extract", setup, out)
                self.assertEqual((status, err), (0, ""))
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), script)
                self.assertEqual(self.ws.run_bytes([DRVPACK, "extract", setup, "-"]), (0, script))

    def test_empty_image(self):
        script = utf16(HEAD)
        empty = self.ws.write("empty-image", b"")
        path = self.ws.write("s.reg", script)
        out = self.ws.file("s.setup")
        status, _, err = self.ws.drvpack("pack", empty, path, out)
        self.assertEqual((status, err), (0, ""))
        with open(out, "rb") as f:
            self.assertEqual(f.read(), script + trailer(len(script)))
        # It begins with FF FE, but its trailer frames all of it: a setup file, not a script.
        status, info, _ = self.ws.drvpack("info", out)
        self.assertEqual(info_rows(info)["kind"], "setup file")
        status, extracted = self.ws.run_bytes([DRVPACK, "extract", out, "-"])
        self.assertEqual((status, extracted), (0, script))

    def test_prints_what_it_packed(self):
        script = utf16(HEAD + "\"Device\"=\"16\"\r\n")
        path = self.ws.write("s.reg", script)
        out = self.ws.file("s.setup")
        status, stdout, err = self.ws.drvpack("pack", IMAGE, path, out)
        self.assertEqual((status, err), (0, ""))
        image_size = os.path.getsize(IMAGE)
        self.assertEqual(stdout,
                         f"{out}: {image_size + len(script) + 4} bytes: image {image_size} bytes, "
                         f"setup data {len(script)} bytes at offset {image_size}, trailer 4 bytes\n"
                         f"{path}: 2 keys (2 section lines), 2 string values, 1 dword value; "
                         "data version 56\n")

    def test_refuses_what_check_rejects(self):
        cases = [
            ("broken line", utf16(HEAD + "\"Device\"=16\r\n"),
             "{script}:8: value is neither a quoted string nor dword:\n    \"Device\"=16\n"
             "drvpack: {script}: not packed: the setup would not install this script; "
             "--force packs it anyway\n"),
            ("no version line", utf16("[HKEY_LOCAL_MACHINE\\x]\r\n"),
             "{script}: no \"DriverVersion\"=dword: line\n"
             "drvpack: {script}: not packed: the setup would not install this script; "
             "--force packs it anyway\n"),
            ("no byte order mark", utf16(HEAD, bom=False),
             "drvpack: {script}: not packed: not a UTF-16LE script (it does not begin with "
             "FF FE); --force packs it anyway\n"),
        ]
        for i, (what, script, message) in enumerate(cases):
            with self.subTest(what):
                path = self.ws.write(f"bad{i}.reg", script)
                out = self.ws.write(f"bad{i}.setup", b"earlier setup file")
                status, stdout, err = self.ws.drvpack("pack", IMAGE, path, out)
                self.assertEqual((status, stdout, err), (1, "", message.format(script=path)))
                with open(out, "rb") as f:
                    self.assertEqual(f.read(), b"earlier setup file")
                self.assertEqual(sorted(os.listdir(self.ws.path)).count(f"bad{i}.setup.tmp"), 0)

                status, _, err = self.ws.drvpack("pack", "--force", IMAGE, path, out)
                self.assertEqual(status, 0)
                self.assertIn("--force", err)
                status, _, _ = self.ws.drvpack("extract", out, self.ws.file(f"bad{i}.out"))
                with open(self.ws.file(f"bad{i}.out"), "rb") as f:
                    self.assertEqual(f.read(), script)


class Usage(DrvpackTest):
    """Help on standard output with status 0; bad usage on standard error with status 2."""

    def test_help(self):
        cases = [
            (["--help"], "Usage: drvpack COMMAND [OPTION]... [ARGUMENT]..."),
            (["-h"], "Usage: drvpack COMMAND [OPTION]... [ARGUMENT]..."),
            (["help"], "Usage: drvpack COMMAND [OPTION]... [ARGUMENT]..."),
            (["help", "check"], "Usage: drvpack check FILE"),
            (["check", "--help"], "Usage: drvpack check FILE"),
            (["info", "-h"], "Usage: drvpack info FILE"),
            (["extract", "--help"], "Usage: drvpack extract SETUPFILE OUT"),
            (["pack", "--help"], "Usage: drvpack pack [--force] IMAGE SCRIPT OUT"),
            (["pack", "a", "--help", "b"], "Usage: drvpack pack [--force] IMAGE SCRIPT OUT"),
        ]
        for args, first_line in cases:
            with self.subTest(args=args):
                status, out, err = self.ws.drvpack(*args)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(out.splitlines()[0], first_line)

    def test_bad_usage(self):
        cases = [
            ([], "drvpack: missing command", "drvpack"),
            (["frobnicate"], "drvpack: unknown command 'frobnicate'", "drvpack"),
            (["--bogus"], "drvpack: unrecognized option '--bogus'", "drvpack"),
            (["help", "frobnicate"], "drvpack: unknown command 'frobnicate'", "drvpack"),
            (["info"], "drvpack info: missing operand (usage: drvpack info FILE)", "drvpack info"),
            (["info", "a", "b"], "drvpack info: extra operand 'b'", "drvpack info"),
            (["info", "-x", "a"], "drvpack info: invalid option -- 'x'", "drvpack info"),
            (["check"], "drvpack check: missing operand (usage: drvpack check FILE)",
             "drvpack check"),
            (["check", "--force", "a"], "drvpack check: unrecognized option '--force'",
             "drvpack check"),
            (["extract", "a"],
             "drvpack extract: missing operand (usage: drvpack extract SETUPFILE OUT)",
             "drvpack extract"),
            (["pack", "a", "b"],
             "drvpack pack: missing operand (usage: drvpack pack [--force] IMAGE SCRIPT OUT)",
             "drvpack pack"),
            (["pack", "--bogus", "a", "b", "c"], "drvpack pack: unrecognized option '--bogus'",
             "drvpack pack"),
            (["pack", "a", "b", "c", "d"], "drvpack pack: extra operand 'd'", "drvpack pack"),
        ]
        for args, message, who in cases:
            with self.subTest(args=args):
                status, out, err = self.ws.drvpack(*args)
                self.assertEqual((status, out), (2, ""))
                self.assertEqual(err, f"{message}\nTry '{who} --help' for more information.\n")


if __name__ == "__main__":
    unittest.main()
