#!/usr/bin/env python3
"""Turns the translators' caption tables into the executable's resource bytes.

Usage: make_tables.py SOURCE_DIR OUTPUT_DIR

SOURCE_DIR holds english.txt, french.txt, korean.txt, prtbrzl.txt and
russian.txt: UTF-8, one row per line, rows written as
    Owner, Item, "Text"
with a double quote inside the text written twice, and the groups of one owner
separated by a single empty line. All five tables share one layout: the same
owners and items in the same order, the service's own group (its DisplayName
and Description rows) last. The shipped tables hold that group alone.

OUTPUT_DIR receives captions/<NAME>.bin, the bytes of each RCDATA resource
(ENGLISH and PRTBRZL in Windows-1252 without a byte-order mark, the others
UTF-16LE after FF FE, CR LF between lines and none after the last), and
Captions.rc, which names the five files as RCDATA resources under language
1033. Any table that breaks the layout, or a character that its encoding
cannot hold, fails the build with the file and line at fault.
"""

import os
import re
import sys

# Resource name, source file, encoding of the resource bytes.
TABLES = [
    ("ENGLISH", "english.txt", "cp1252"),
    ("FRENCH", "french.txt", "utf-16"),
    ("KOREAN", "korean.txt", "utf-16"),
    ("PRTBRZL", "prtbrzl.txt", "cp1252"),
    ("RUSSIAN", "russian.txt", "utf-16"),
]

SERVICE_OWNER = "Nimbora"
SERVICE_ITEMS = ["DisplayName", "Description"]

ROW = re.compile(r'^([A-Za-z0-9_]+), ([A-Za-z0-9_]+), "((?:[^"]|"")*)"$')


class TableError(Exception):
    pass


def read_source(path):
    """The lines of one source table, without line ends."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[: e.start].count(b"\n") + 1
        raise TableError(f"{path}:{line}: not valid UTF-8")
    if text.startswith("\ufeff"):
        text = text[1:]  # editors may add a byte-order mark; the resource gets its own
    text = text.replace("\r\n", "\n")
    if text.endswith("\n"):
        text = text[:-1]
    lines = text.split("\n")
    for number, line in enumerate(lines, 1):
        if "\r" in line:
            raise TableError(f"{path}:{number}: stray carriage return")
    return lines


def check_layout(path, lines):
    """Checks the rows and groups of one table; gives its (owner, item) keys in order."""
    keys = []
    groups = []  # owners in order
    owner = None
    items = set()
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        if line == "":
            if owner is None:
                raise TableError(f"{where}: empty line outside a group separator")
            owner = None
            continue
        m = ROW.match(line)
        if not m:
            raise TableError(f'{where}: expected Owner, Item, "Text"')
        row_owner, item = m.group(1), m.group(2)
        if owner is None:
            if row_owner in groups:
                raise TableError(f"{where}: owner {row_owner} has a second group")
            groups.append(row_owner)
            owner = row_owner
            items = set()
        elif row_owner != owner:
            raise TableError(f"{where}: owner {row_owner} inside the group of {owner}")
        if item in items:
            raise TableError(f"{where}: {owner}, {item} appears twice")
        items.add(item)
        keys.append((row_owner, item))
    if owner is None:
        raise TableError(f"{path}: the last line is empty")
    service = [(SERVICE_OWNER, item) for item in SERVICE_ITEMS]
    last_group = [key for key in keys if key[0] == groups[-1]]
    if groups[-1] != SERVICE_OWNER or last_group != service:
        raise TableError(f"{path}: the last group must be {SERVICE_OWNER}'s "
                         f"{' and '.join(SERVICE_ITEMS)}")
    return keys


def encode(path, name, encoding, lines):
    """The resource bytes of one table."""
    if encoding == "utf-16":
        return b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le")
    out = []
    for number, line in enumerate(lines, 1):
        try:
            out.append(line.encode(encoding))
        except UnicodeEncodeError as e:
            raise TableError(f"{path}:{number}: {line[e.start]!r} (U+{ord(line[e.start]):04X}) "
                             f"has no Windows-1252 byte; {name} is an 8-bit table")
        if name == "ENGLISH" and line.startswith(SERVICE_OWNER + ",") and max(out[-1], default=0) > 0x7E:
            raise TableError(f"{path}:{number}: the service's English rows are plain ASCII")
    return b"\r\n".join(out)


def rc_string(path):
    return '"' + path.replace("\\", "/").replace('"', '""') + '"'


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    source_dir, output_dir = argv[1], os.path.abspath(argv[2])
    table_dir = os.path.join(output_dir, "captions")
    os.makedirs(table_dir, exist_ok=True)

    blobs = []
    layout = None
    layout_from = None
    for name, file_name, encoding in TABLES:
        path = os.path.join(source_dir, file_name)
        lines = read_source(path)
        keys = check_layout(path, lines)
        if layout is None:
            layout, layout_from = keys, path
        elif keys != layout:
            first = next(i for i, (a, b) in enumerate(zip(keys, layout)) if a != b)
            raise TableError(f"{path}: row {first + 1} is {', '.join(keys[first])}, "
                             f"{layout_from} has {', '.join(layout[first])} there")
        blobs.append((name, encode(path, name, encoding, lines)))

    rc = [
        "// Generated from settings/captions/*.txt by make_tables.py at build time.",
        "// The caption tables, one RCDATA resource per language, all under 1033.",
        "// N.B. the LANGUAGE statement stays in force for whatever follows the",
        "// #include of this file.",
        "LANGUAGE 9, 1",
    ]
    for name, data in blobs:
        bin_path = os.path.join(table_dir, name + ".bin")
        write(bin_path, data)
        rc.append(f"{name} RCDATA {rc_string(bin_path)}")
    write(os.path.join(output_dir, "Captions.rc"), ("\n".join(rc) + "\n").encode("ascii"))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (TableError, OSError) as e:
        print(f"make_tables.py: error: {e}", file=sys.stderr)
        sys.exit(1)
