#!/usr/bin/env python3
"""Static checks of a built Windows executable, read straight from its PE image.

Usage: inspect_resources.py EXE [--captions DIR]

--captions DIR   the five caption tables ENGLISH, FRENCH, KOREAN, PRTBRZL and
                 RUSSIAN are RCDATA resources, each present once, under
                 language 1033, holding exactly the bytes of DIR/<NAME>.bin.

The parser is plain Python for PE32 and PE32+ images; other checks build on
PEImage and its resources() list. Exits 0 when every check passes, 1 with one
line per problem otherwise.
"""

import argparse
import os
import struct
import sys

RT_RCDATA = 10
RT_MANIFEST = 24
RESOURCE_DIRECTORY = 2  # index in the optional header's data directories
LANG_EN_US = 1033
CAPTION_TABLES = ["ENGLISH", "FRENCH", "KOREAN", "PRTBRZL", "RUSSIAN"]


class PEError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_address, virtual_size, raw_offset, raw_size):
        self.name = name
        self.virtual_address = virtual_address
        self.virtual_size = virtual_size
        self.raw_offset = raw_offset
        self.raw_size = raw_size


class Resource:
    """One leaf of the resource tree. type_ and name are ints for numeric
    identifiers and strs for named ones."""

    def __init__(self, type_, name, language, data, code_page):
        self.type = type_
        self.name = name
        self.language = language
        self.data = data
        self.code_page = code_page

    def __repr__(self):
        return f"Resource(type={self.type!r}, name={self.name!r}, language={self.language}, size={len(self.data)})"


class PEImage:
    def __init__(self, data):
        self.data = data
        if self._u16(0) != 0x5A4D:
            raise PEError("no MZ header")
        pe = self._u32(0x3C)
        if self._bytes(pe, 4) != b"PE\0\0":
            raise PEError("no PE signature")
        coff = pe + 4
        self.machine = self._u16(coff)
        section_count = self._u16(coff + 2)
        optional_size = self._u16(coff + 16)
        self.characteristics = self._u16(coff + 18)
        optional = coff + 20
        self.magic = self._u16(optional)
        if self.magic == 0x10B:
            self.pe32_plus = False
            directories_at = optional + 96
            directory_count = self._u32(optional + 92)
        elif self.magic == 0x20B:
            self.pe32_plus = True
            directories_at = optional + 112
            directory_count = self._u32(optional + 108)
        else:
            raise PEError(f"unknown optional header magic 0x{self.magic:X}")
        self.subsystem = self._u16(optional + 68)
        self.dll_characteristics = self._u16(optional + 70)
        self.directories = []
        for i in range(min(directory_count, 16)):
            at = directories_at + 8 * i
            if at + 8 > optional + optional_size:
                break
            self.directories.append((self._u32(at), self._u32(at + 4)))
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            at = table + 40 * i
            name = self._bytes(at, 8).rstrip(b"\0").decode("latin-1")
            self.sections.append(Section(name, self._u32(at + 12), self._u32(at + 8),
                                         self._u32(at + 20), self._u32(at + 16)))

    def _bytes(self, offset, size):
        if offset < 0 or offset + size > len(self.data):
            raise PEError(f"read of {size} bytes at 0x{offset:X} past the end of the file")
        return self.data[offset:offset + size]

    def _u16(self, offset):
        return struct.unpack_from("<H", self._bytes(offset, 2))[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self._bytes(offset, 4))[0]

    @property
    def is_32bit(self):
        return not self.pe32_plus and self.machine == 0x14C

    def directory(self, index):
        """(rva, size) of a data directory, (0, 0) when absent."""
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def rva_to_offset(self, rva):
        for s in self.sections:
            span = max(s.virtual_size, s.raw_size)
            if s.virtual_address <= rva < s.virtual_address + span:
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise PEError(f"RVA 0x{rva:X} lies in the uninitialised part of {s.name}")
                return s.raw_offset + delta
        raise PEError(f"RVA 0x{rva:X} is in no section")

    def read_rva(self, rva, size):
        return self._bytes(self.rva_to_offset(rva), size)

    def resources(self):
        """Every resource as a flat list, in directory order."""
        rva, size = self.directory(RESOURCE_DIRECTORY)
        if rva == 0 or size == 0:
            return []
        base = self.rva_to_offset(rva)
        found = []

        def entries(offset):
            named = self._u16(base + offset + 12)
            numbered = self._u16(base + offset + 14)
            for i in range(named + numbered):
                at = base + offset + 16 + 8 * i
                key, target = self._u32(at), self._u32(at + 4)
                if key & 0x80000000:
                    name_at = base + (key & 0x7FFFFFFF)
                    length = self._u16(name_at)
                    ident = self._bytes(name_at + 2, 2 * length).decode("utf-16-le")
                else:
                    ident = key & 0xFFFF
                yield ident, bool(target & 0x80000000), target & 0x7FFFFFFF

        def walk(offset, path, depth):
            if depth > 3:
                raise PEError("resource tree deeper than type, name, language")
            for ident, is_directory, target in entries(offset):
                if is_directory:
                    walk(target, path + [ident], depth + 1)
                    continue
                if len(path) != 2:
                    raise PEError(f"resource data at depth {len(path) + 1}")
                data_rva, data_size, code_page = (self._u32(base + target), self._u32(base + target + 4),
                                                  self._u32(base + target + 8))
                found.append(Resource(path[0], path[1], ident, self.read_rva(data_rva, data_size), code_page))

        walk(0, [], 1)
        return found


def load(path):
    with open(path, "rb") as f:
        return PEImage(f.read())


def find_resources(resources, type_, name=None):
    return [r for r in resources if r.type == type_ and (name is None or r.name == name)]


def check_captions(image, tables_dir):
    """Problems with the caption tables of `image`, as a list of lines."""
    problems = []
    resources = image.resources()
    for name in CAPTION_TABLES:
        path = os.path.join(tables_dir, name + ".bin")
        with open(path, "rb") as f:
            expected = f.read()
        copies = find_resources(resources, RT_RCDATA, name)
        if not copies:
            problems.append(f"RCDATA {name}: missing")
            continue
        languages = sorted(r.language for r in copies)
        if languages != [LANG_EN_US]:
            problems.append(f"RCDATA {name}: languages {languages}, expected [{LANG_EN_US}] only")
        for r in copies:
            if r.data != expected:
                at = next((i for i, (a, b) in enumerate(zip(r.data, expected)) if a != b),
                          min(len(r.data), len(expected)))
                problems.append(f"RCDATA {name} ({r.language}): {len(r.data)} bytes differ from "
                                f"{path} ({len(expected)} bytes) from offset {at}")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--captions", metavar="DIR", help="directory of the generated caption tables")
    args = parser.parse_args(argv[1:])
    try:
        image = load(args.exe)
        problems = []
        if args.captions:
            problems += check_captions(image, args.captions)
    except (PEError, OSError) as e:
        print(f"{args.exe}: {e}", file=sys.stderr)
        return 1
    for p in problems:
        print(f"{args.exe}: {p}", file=sys.stderr)
    if not problems:
        print(f"{args.exe}: all checks passed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
