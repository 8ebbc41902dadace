#!/usr/bin/env python3
"""The application manifest of every shipped program, read from its PE image.

Usage: inspect_manifests.py EXE...

Each program carries exactly one application manifest (RT_MANIFEST 1), well
formed XML, that
  - requests the asInvoker execution level without UI access: a 32-bit
    interactive program without a requested level is subject to UAC registry
    virtualization, so a non-elevated write under HKLM would land in the
    user's VirtualStore and be reported as done;
  - declares Windows Vista, 7, 8, 8.1 and 10/11 as supported systems.
Exits 0 when every check passes, 1 with one line per problem otherwise.
"""

import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from inspect_resources import RT_MANIFEST, PEError, find_resources, load  # noqa: E402

ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SUPPORTED_OS = {
    "Vista": "e2011457-1546-43c5-a5fe-008deee3d3f0",
    "7": "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
    "8": "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
    "8.1": "1f676c76-80e1-4239-95bb-83d0f6d0da78",
    "10 and 11": "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",
}


def manifest_problems(data):
    """Problems with one manifest's bytes, as a list of lines."""
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        return [f"manifest is not well-formed XML: {e}"]
    problems = []
    levels = root.findall(f".//{{{ASM_V3}}}requestedExecutionLevel")
    if len(levels) != 1:
        problems.append(f"{len(levels)} requestedExecutionLevel elements, expected one")
    for level in levels:
        if level.get("level") != "asInvoker":
            problems.append(f"execution level {level.get('level')!r}, expected 'asInvoker'")
        if level.get("uiAccess", "false").lower() != "false":
            problems.append(f"uiAccess {level.get('uiAccess')!r}, expected 'false'")
    declared = {os_.get("Id", "").strip("{}").lower()
                for os_ in root.findall(f".//{{{COMPATIBILITY}}}supportedOS")}
    for release, guid in SUPPORTED_OS.items():
        if guid not in declared:
            problems.append(f"Windows {release} not declared supported")
    return problems


def program_problems(path):
    try:
        manifests = find_resources(load(path).resources(), RT_MANIFEST)
    except (PEError, OSError) as e:
        return [str(e)]
    if [r.name for r in manifests] != [1]:
        return [f"manifests {[r.name for r in manifests]}, expected exactly one application manifest (1)"]
    return manifest_problems(manifests[0].data)


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    failed = False
    for path in argv[1:]:
        problems = program_problems(path)
        name = os.path.basename(path)
        for p in problems:
            print(f"FAIL {name}: {p}")
        if not problems:
            print(f"ok {name}: asInvoker, Vista to 10/11")
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
