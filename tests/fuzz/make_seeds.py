#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets from the shipped data and typical cases.
Run from anywhere; rewrites tests/fuzz/corpus/*. The seeds are committed, so this is only needed
when they should change."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
text = open(os.path.join(ROOT, "data", "drivers.reg"), "rb").read().decode("utf-16")
lines = text.split("\r\n")

def excerpt(first, count):
    return "\r\n".join(lines[first:first + count]) + "\r\n"

def put(target, name, data):
    if isinstance(data, str):
        data = data.encode("cp1252", "replace")
    with open(os.path.join(HERE, "corpus", target, name), "wb") as out:
        out.write(data)

head = excerpt(0, 40)
sections = [i for i, l in enumerate(lines) if l.startswith("[")]
middle = excerpt(sections[len(sections) // 2] - 1, 30)
tail = excerpt(len(lines) - 25, 25)

imports = {
    "shipped_head": head,
    "shipped_middle": '"DriverVersion"=dword:38\r\n' + middle,
    "shipped_tail": '"DriverVersion"=dword:38\r\n' + tail,
    "roots": '[HKEY_LOCAL_MACHINE\\Software\\t]\r\n"DriverVersion"=dword:1\r\n'
             '[HKEY_CURRENT_USER\\Software\\u]\r\n"a"="1"\r\n[HKEY_CLASSES_ROOT\\.drv]\r\n"b"="2"\r\n',
    "escapes": '[HKEY_LOCAL_MACHINE\\Software\\t]\n"DriverVersion"=dword:FFFFFFFF\n'
               '"s"="a\\\\b\\"c"  \n"d" = dword:0000000000000012\t\n',
    "dialect": '  "driverversion"=DWORD:7\r\n[HKEY_LOCAL_MACHINE\\Software\\t] x ]\r\n'
               'junk line\r\n"a"\t=\t"x"\r\n;comment\r\n[hkey_local_machine\\software\\t\\sub]\r\n',
    "failing": '[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2]\r\n"DriverVersion"=dword:38\r\n'
               '[HKEY_LOCAL_MACHINE\\Software\\kestrova\\DRIVER2\\x]\r\n"a"=dword:\r\n',
    "cr_only": '[HKEY_LOCAL_MACHINE\\Software\\t]\r"DriverVersion"=dword:2\r"a"="1"\r',
}
for name, data in imports.items():
    put("import", name, data)

def utf16(s, bom=True):
    return (b"\xff\xfe" if bom else b"") + s.encode("utf-16-le")

def setup(image, data, length=None):
    return image + data + struct.pack("<I", len(data) if length is None else length)

image = b"\x7fELF image bytes"
loaders = {
    "shipped_head": setup(image, utf16(head)),
    "no_bom": setup(image, utf16(head, bom=False)),
    "big_endian": setup(image, b"\xfe\xff" + head.encode("utf-16-be")),
    "odd_length": setup(image, utf16('"DriverVersion"=dword:1') + b"\x41"),
    "nul_unit": setup(image, utf16('"DriverVersion"=dword:1\r\n\x00[HKEY_LOCAL_MACHINE\\x]')),
    "empty_data": setup(image, b""),
    "whole_file": setup(b"", utf16(head)),
    "beyond": setup(image, utf16("x"), 0x7FFFFFFC),
    "short": b"\x01\x02\x03",
    "non_latin": setup(image, utf16('"DriverVersion"=dword:1\r\n[HKEY_LOCAL_MACHINE\\\u20ac\u4e2d\U0001F600]')),
}
for name, data in loaders.items():
    put("loader", name, data)

options = {
    "none": "", "version": "-v", "quiet": "-ns -ne", "tabs": "\t-ne\t\t-ns ",
    "line_ends": "\r\n-v\r\n", "near": "-vv -n -nse --v", "mixed": "x -ns\n-ne\r-v",
}
for name, data in options.items():
    put("options", name, data)
