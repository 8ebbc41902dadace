#!/usr/bin/env python3
"""Checks the version resource of built executables against the project's version.

Usage: inspect_version.py VERSION EXE...

Each executable carries exactly one RT_VERSION resource whose fixed part
(VS_FIXEDFILEINFO) holds VERSION as its file and product version, and whose
string table holds VERSION as FileVersion and ProductVersion, "Nimbora" as
ProductName and the file's own name as OriginalFilename. Exits 0 when every
check passes, 1 with one line per problem otherwise.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import inspect_resources as pe  # noqa: E402

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def strings_of(data):
    """The StringFileInfo pairs of a VS_VERSIONINFO block, as a dict."""
    text = data.decode("utf-16-le", errors="replace")
    pairs = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "OriginalFilename", "ProductName", "ProductVersion"):
        at = text.find(key + "\0")
        if at < 0:
            continue
        rest = text[at + len(key) + 1:]
        rest = rest.lstrip("\0")  # padding to the value's 32-bit boundary
        pairs[key] = rest.split("\0", 1)[0]
    return pairs


def check(path, version):
    problems = []
    name = os.path.basename(path)
    image = pe.load(path)
    found = pe.find_resources(image.resources(), RT_VERSION)
    if len(found) != 1:
        return [f"{name}: {len(found)} version resources, expected 1"]
    data = found[0].data
    at = data.find(struct.pack("<I", FIXED_SIGNATURE))
    if at < 0:
        return [f"{name}: no VS_FIXEDFILEINFO"]
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)
    major, minor, patch = (int(p) for p in version.split("."))
    wanted_ms, wanted_ls = (major << 16) | minor, patch << 16
    if (file_ms, file_ls) != (wanted_ms, wanted_ls):
        problems.append(f"{name}: file version {file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16}.{file_ls & 0xFFFF}")
    if (product_ms, product_ls) != (wanted_ms, wanted_ls):
        problems.append(f"{name}: product version {product_ms >> 16}.{product_ms & 0xFFFF}.{product_ls >> 16}")
    strings = strings_of(data)
    for key, wanted in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "Nimbora"),
                        ("OriginalFilename", name)):
        if strings.get(key) != wanted:
            problems.append(f"{name}: {key} {strings.get(key)!r}, expected {wanted!r}")
    return problems


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    version = argv[1]
    problems = []
    for path in argv[2:]:
        problems += check(path, version)
        print(f"{os.path.basename(path)}: version resource checked")
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
