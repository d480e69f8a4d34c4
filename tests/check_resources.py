#!/usr/bin/env python3
"""Checks the Windows program's resources by reading its .rsrc section.

    check_resources.py sectpull.exe

The version resource must carry FileVersion and ProductVersion as the file
VERSION says (1.1, say), ProductName sectpull, OriginalFilename sectpull.exe
and a FileDescription, with the fixed file version to match (1.1.0.0); the
manifest must carry that version too, ask for asInvoker and list the
supported versions of Windows.
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION = 16
RT_MANIFEST = 24
FIXED_SIGNATURE = 0xFEEF04BD
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "VERSION")) as f:
    VERSION = f.read().strip()
# major.minor[.patch] as the four numbers of a fixed version.
NUMBERS = ([int(n) for n in VERSION.split(".")] + [0, 0, 0])[:4]


def sections(pe):
    offset = struct.unpack_from("<I", pe, 0x3C)[0]
    if pe[offset:offset + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count = struct.unpack_from("<H", pe, offset + 6)[0]
    optional_size = struct.unpack_from("<H", pe, offset + 20)[0]
    table = offset + 24 + optional_size
    found = []
    for i in range(count):
        name, vsize, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", pe, table + 40 * i)
        found.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size), raw_offset))
    return found


def resources(pe):
    """{type id: [data bytes, ...]} from the resource tree."""
    rsrc = [s for s in sections(pe) if s[0] == ".rsrc"]
    if not rsrc:
        return {}
    _, base_rva, _, base = rsrc[0]

    def entries(directory):
        named, ids = struct.unpack_from("<HH", pe, base + directory + 12)
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", pe, base + directory + 16 + 8 * i)
            yield ident, target

    def leaves(target):
        if target & 0x80000000:
            for _, child in entries(target & 0x7FFFFFFF):
                yield from leaves(child)
        else:
            rva, size = struct.unpack_from("<II", pe, base + target)
            start = base + rva - base_rva
            yield pe[start:start + size]

    return {ident: list(leaves(target)) for ident, target in entries(0)}


def check_version(blob, problems):
    at = blob.find(struct.pack("<I", FIXED_SIGNATURE))
    if at < 0:
        problems.append("no VS_FIXEDFILEINFO")
    else:
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", blob, at + 8)
        ms = NUMBERS[0] << 16 | NUMBERS[1]
        ls = NUMBERS[2] << 16 | NUMBERS[3]
        if (file_ms, file_ls, product_ms, product_ls) != (ms, ls, ms, ls):
            problems.append("fixed version is not %s" % ".".join(map(str, NUMBERS)))
    text = blob.decode("utf-16-le", "replace")
    wanted = {"FileVersion": VERSION, "ProductVersion": VERSION, "ProductName": "sectpull",
              "OriginalFilename": "sectpull.exe"}
    for key, value in wanted.items():
        if not re.search(key + "\0+" + re.escape(value) + "\0", text):
            problems.append("%s is not %s" % (key, value))
    if not re.search("FileDescription\0+[^\0]{8,}\0", text):
        problems.append("no FileDescription")


def check_manifest(blob, problems):
    root = ET.fromstring(blob.decode("utf-8"))
    identity = [e.get("version") for e in root.iter() if e.tag.endswith("assemblyIdentity")]
    if identity != [".".join(map(str, NUMBERS))]:
        problems.append("the manifest's version is %s, not %s" % (
            identity, ".".join(map(str, NUMBERS))))
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        problems.append("requestedExecutionLevel is %s, not asInvoker" % levels)
    systems = [e.get("Id") for e in root.iter() if e.tag.endswith("supportedOS")]
    if WINDOWS_10 not in systems:
        problems.append("supportedOS does not list Windows 10 and 11: %s" % systems)


def main():
    with open(sys.argv[1], "rb") as f:
        pe = f.read()
    found = resources(pe)
    problems = []
    for kind, name, check in ((RT_VERSION, "version", check_version),
                              (RT_MANIFEST, "manifest", check_manifest)):
        blobs = found.get(kind, [])
        if len(blobs) != 1:
            problems.append("%d %s resources, expected 1" % (len(blobs), name))
            continue
        before = len(problems)
        check(blobs[0], problems)
        print(("ok   " if len(problems) == before else "FAIL ") + name + " resource")
    for problem in problems:
        print("  " + problem)
    print("resources: %s" % ("all present" if not problems else "%d problems" % len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
