#!/usr/bin/env python3
"""Static checks of every shipped program of one build, read from its PE image.

Usage: inspect_programs.py --bits 32|64 --version VERSION SUBSYSTEM:EXE...

SUBSYSTEM is gui or console. Each EXE is checked for:
- the machine of the build (i386 for 32, AMD64 for 64) and the PE format
  that goes with it (PE32, PE32+);
- its subsystem, and a subsystem version the loader of Windows Vista (6.0)
  accepts;
- imports from system DLLs only (no MinGW runtime DLL beside the program);
- the version resource of the project (the checks of inspect_version.py).
Exits 0 when every check passes, 1 with one line per problem otherwise.
"""

import argparse
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import inspect_resources as pe  # noqa: E402
import inspect_version  # noqa: E402
from inspect_product import SYSTEM_DLLS, imported_dlls  # noqa: E402

MACHINES = {32: (0x14C, "i386"), 64: (0x8664, "AMD64")}
SUBSYSTEMS = {"gui": 2, "console": 3}
VISTA = (6, 0)


def subsystem_version(image):
    """MajorSubsystemVersion and MinorSubsystemVersion: the same offsets in
    PE32 and PE32+ optional headers."""
    coff = struct.unpack_from("<I", image.data, 0x3C)[0] + 4
    optional = coff + 20
    return struct.unpack_from("<HH", image.data, optional + 48)


def check(path, bits, subsystem, version):
    name = Path(path).name
    image = pe.load(path)
    problems = []
    machine, machine_name = MACHINES[bits]
    if image.machine != machine:
        problems.append(f"{name}: machine 0x{image.machine:X}, expected 0x{machine:X} ({machine_name})")
    if image.is_32bit != (bits == 32):
        problems.append(f"{name}: {'PE32' if image.is_32bit else 'PE32+'} image in a {bits}-bit build")
    if image.subsystem != SUBSYSTEMS[subsystem]:
        problems.append(f"{name}: subsystem {image.subsystem}, expected {SUBSYSTEMS[subsystem]} ({subsystem})")
    major, minor = subsystem_version(image)
    if (major, minor) > VISTA:
        problems.append(f"{name}: subsystem version {major}.{minor}, Vista loads {VISTA[0]}.{VISTA[1]} at most")
    dlls = imported_dlls(image)
    if not dlls or not set(dlls) <= SYSTEM_DLLS:
        problems.append(f"{name}: imports {', '.join(sorted(set(dlls) - SYSTEM_DLLS)) or 'nothing'}")
    problems += inspect_version.check(path, version)
    print(f"{name}: machine 0x{image.machine:X}, subsystem {image.subsystem} version {major}.{minor}, "
          f"imports {', '.join(dlls)}")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bits", type=int, choices=sorted(MACHINES), required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("programs", nargs="+", metavar="SUBSYSTEM:EXE")
    args = parser.parse_args(argv)

    problems = []
    for entry in args.programs:
        subsystem, _, path = entry.partition(":")
        if subsystem not in SUBSYSTEMS or not path:
            parser.error(f"not SUBSYSTEM:EXE: {entry}")
        problems += check(path, args.bits, subsystem, args.version)
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
