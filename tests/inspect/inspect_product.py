#!/usr/bin/env python3
"""Static checks of the shipped NimboraService.exe (the 32-bit build): a PE32
for the graphical subsystem that needs no MinGW DLLs, with the manifest that
declares Vista to 10, and the message texts as string resources equal to the
ones the code falls back to."""

import argparse
import re
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import inspect_resources as pe  # noqa: E402

RT_STRING = 6
RT_MANIFEST = 24
IMPORT_DIRECTORY = 1
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": "Vista",
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": "7",
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": "8",
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": "8.1",
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": "10",
}
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "ole32.dll", "msvcrt.dll",
               "psapi.dll", "wtsapi32.dll"}


def imported_dlls(image):
    rva, size = image.directory(IMPORT_DIRECTORY)
    names = []
    at = rva
    while size:
        entry = image.read_rva(at, 20)
        name_rva = struct.unpack_from("<I", entry, 12)[0]
        if name_rva == 0:
            break
        raw = b""
        while not raw.endswith(b"\0"):
            raw += image.read_rva(name_rva + len(raw), 1)
        names.append(raw[:-1].decode("ascii").lower())
        at += 20
    return names


def check_windowed_i386(image, check, system_dlls):
    """A 32-bit x86 image of the graphical subsystem that imports only `system_dlls`."""
    check(image.is_32bit, f"PE32 for i386 (machine 0x{image.machine:X})")
    check(image.subsystem == 2, f"graphical subsystem (subsystem {image.subsystem})")
    dlls = imported_dlls(image)
    check(bool(dlls) and set(dlls) <= system_dlls, "imports only system DLLs: " + ", ".join(dlls))


def string_table(resources):
    """id -> text of every RT_STRING entry (blocks of 16 counted UTF-16 strings)."""
    texts = {}
    for r in pe.find_resources(resources, RT_STRING):
        block = r.name
        data, at = r.data, 0
        for i in range(16):
            (length,) = struct.unpack_from("<H", data, at)
            at += 2
            if length:
                texts[(block - 1) * 16 + i] = data[at:at + 2 * length].decode("utf-16-le")
            at += 2 * length
    return texts


def expected_texts(header):
    """IDS_x -> the C++ literal of TXT_x, from the shared header."""
    source = Path(header).read_text(encoding="utf-8")
    ids = {m[1]: int(m[2]) for m in re.finditer(r"#define IDS_(\w+) (\d+)", source)}
    # The C++ branch of the header: escaped quotes rather than doubled ones.
    cxx = source.split("#else", 1)[-1] if "#else" in source else source
    literals = {}
    for part in (source, cxx):
        for m in re.finditer(r'#define TXT_(\w+) L"((?:[^"\\]|\\.)*)"\s*$', part, re.M):
            literals[m[1]] = m[2].replace('\\"', '"')
    return {ids[k]: v for k, v in literals.items() if k in ids}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe")
    parser.add_argument("--texts", required=True, help="the message-text header")
    args = parser.parse_args(argv)

    image = pe.load(args.exe)
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    check_windowed_i386(image, check, SYSTEM_DLLS)

    resources = image.resources()
    manifests = [r for r in pe.find_resources(resources, RT_MANIFEST) if r.name == 1]
    check(len(manifests) == 1, "one application manifest (RT_MANIFEST 1)")
    if manifests:
        xml = manifests[0].data.decode("utf-8").lower()
        for guid, release in SUPPORTED_OS.items():
            check(f'supportedos id="{{{guid}}}"' in xml, f"manifest declares Windows {release}")

    table = string_table(resources)
    for ident, text in sorted(expected_texts(args.texts).items()):
        check(table.get(ident) == text, f"string {ident}: {text!r}")

    size = Path(args.exe).stat().st_size
    print(f"size of {Path(args.exe).name}: {size} bytes ({size / 1024:.0f} KiB)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
