#!/usr/bin/env python3
"""Checks the README's figures against the code they describe.

Reads the constants from the sources (no build needed) and compares them
with the README's tables and texts: the settings table (names and the
defaults the service's tick uses), the exit codes of nimbora.exe and of
NimboraDefrag.exe, the event sources, the uptime the service waits for and
the size of one launch. Prints one line per mismatch and exits 1 if any.

    check_readme.py <source dir> [README path]
"""

import pathlib
import re
import sys

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def read(root, path):
    return (root / path).read_text(encoding="utf-8")


def wide_constants(root):
    """Every `constexpr wchar_t name[] = L"text";` of the sources, by name."""
    constants = {}
    for folder in ("settings", "admin", "defrag", "service", "svchost"):
        for path in sorted((root / folder).glob("*.[hc]*")):
            for name, text in re.findall(r'constexpr\s+wchar_t\s+(\w+)\[\]\s*=\s*L"([^"]*)"', path.read_text()):
                constants.setdefault(name, text)
    return constants


def integer_constants(text, prefix):
    """`constexpr int|std::int64_t kName = N;` of one file, by name."""
    return {
        name: int(value)
        for name, value in re.findall(r"constexpr\s+[\w:]+\s+(" + prefix + r"\w*)\s*=\s*(-?\d+)\s*;", text)
    }


def table(readme, header):
    """The rows of the README table whose header row starts with `header`, as lists of cells."""
    lines = readme.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("| " + header + " |"):
            rows = []
            for row in lines[i + 2:]:
                if not row.startswith("|"):
                    break
                rows.append([cell.strip() for cell in row.strip().strip("|").split("|")])
            return rows
    fail(f"README: no table headed '{header}'")
    return []


def code_cell(cell):
    match = re.fullmatch(r"`([^`]+)`", cell)
    return match.group(1) if match else cell


def check_settings(root, readme, constants):
    rows = {code_cell(r[0]): r[1] for r in table(readme, "Value | Default")}

    # Every setting nimbora.exe knows, and the companion's own record.
    admin = read(root, "admin/AdminSettings.cpp")
    definitions = re.search(r"kDefinitions\[\]\s*=\s*\{(.*?)\n\};", admin, re.S)
    names = [constants[k] for k in re.findall(r"\{\s*(k\w+)\s*,", definitions.group(1))]
    names.append(constants["kDefragTrimmed"])
    names.append(constants["kDefragRefusedUtc"])
    for name in names:
        if name not in rows:
            fail(f"settings table: {name} is missing")
    for name in rows:
        if name not in names:
            fail(f"settings table: {name} is no setting of the code")

    # The ten settings of the tick: TickSettingValues' initialisers.
    header = read(root, "service/TickDecision.h")
    struct = re.search(r"struct TickSettingValues \{(.*?)\};", header, re.S).group(1)
    switch = {"true": 1, "false": 0}
    defaults = {}
    for field, value in re.findall(r"(\w+)\s*=\s*(\w+)\s*;", struct):
        defaults[field[0].upper() + field[1:]] = int(value) if value.isdigit() else switch[value]
    for name, value in defaults.items():
        if name not in rows:
            continue
        match = re.match(r"(\d+)", rows[name])
        if not match or int(match.group(1)) != value:
            fail(f"settings table: {name} default '{rows[name]}', the code's is {value}")

    # The smaller machine's percentages and where "smaller" ends.
    body = read(root, "service/TickDecision.cpp")
    small = dict(re.findall(r"values\.(\w+)\s*=\s*(\d+)\s*;", body))
    limit_mb = integer_constants(body, "kLargeMachineMegabytes")["kLargeMachineMegabytes"]
    for field, value in small.items():
        name = field[0].upper() + field[1:]
        match = re.search(r"\((\d+) below ([\d.]+) GB", rows.get(name, ""))
        if not match:
            fail(f"settings table: {name} does not give its default below {limit_mb} MB")
        elif int(match.group(1)) != int(value) or float(match.group(2)) * 1024 != limit_mb:
            fail(f"settings table: {name} '{rows[name]}', the code's is {value} below {limit_mb} MB")

    language = code_cell(rows.get(constants["kLanguage"], ""))
    if language != constants["kDefaultLanguage"]:
        fail(f"settings table: Language default '{language}', the code's is '{constants['kDefaultLanguage']}'")


def check_exit_codes(root, readme, header, path):
    codes = set(integer_constants(read(root, path), "kExit").values())
    documented = {int(r[0]) for r in table(readme, header) if r[0].isdigit()}
    if documented != codes:
        fail(f"{header}: the README lists {sorted(documented)}, {path} defines {sorted(codes)}")


def check_event_sources(root, readme, constants):
    documented = {code_cell(r[0]) for r in table(readme, "Source | What it writes")}
    form = read(root, "service/NimboraServiceForm.cpp")
    service = re.search(r'TService\(application,\s*L"([^"]+)"', form).group(1)
    program = re.search(r"add_executable\((\w+)", read(root, "service/CMakeLists.txt")).group(1) + ".exe"
    sources = {service, program, constants["kDefragEventSource"]}
    if documented != sources:
        fail(f"event sources: the README lists {sorted(documented)}, the code writes under {sorted(sources)}")


def check_uptime_and_launch(root, readme):
    body = read(root, "service/TickDecision.cpp")
    minutes = integer_constants(body, "kLeastUptimeMinutes")["kLeastUptimeMinutes"]
    # The tick rounds the uptime's minutes to the nearest, a half to the even
    # neighbour (as Python's round does): the first second that reaches it.
    second = next(s for s in range(minutes * 60 + 1) if round(s / 60) >= minutes)
    opening = f"{second // 60} min {second % 60} s"
    if opening not in readme:
        fail(f"uptime: the service acts from {opening} of uptime, which the README does not say")
    for stale in re.findall(r"\d+(?:½| and a half| 1/2)? minutes? of uptime|about \d+½ minutes", readme):
        fail(f"uptime: the README says '{stale}'; the gate opens at {opening}")
    needed = f"{minutes} min needed"
    if needed not in read(root, "admin/AdminCommand.cpp") or needed not in readme:
        fail(f"uptime: status's '{needed}' is not what nimbora.exe prints and the README shows")

    launch = integer_constants(read(root, "service/MaintenanceTick.h"), "kMegabytesPerLaunch")["kMegabytesPerLaunch"]
    claims = re.findall(r"once per\s+(\d+)\s+MB|at most\s+(\d+)\s+MB\s+each", readme)
    if not claims:
        fail("launch size: the README does not say how much one launch frees")
    for claim in claims:
        megabytes = int(claim[0] or claim[1])
        if megabytes != launch:
            fail(f"launch size: the README says {megabytes} MB, the service launches per {launch} MB")


def main():
    root = pathlib.Path(sys.argv[1])
    readme_path = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else root / "README.md"
    readme = readme_path.read_text(encoding="utf-8")
    constants = wide_constants(root)
    check_settings(root, readme, constants)
    check_exit_codes(root, readme, "nimbora.exe exit code", "admin/AdminCommand.h")
    check_exit_codes(root, readme, "NimboraDefrag.exe exit code", "defrag/ExitCodes.h")
    check_event_sources(root, readme, constants)
    check_uptime_and_launch(root, readme)
    if failures:
        print(f"{readme_path}: {len(failures)} of the checks above do not match the code")
        return 1
    print(f"{readme_path}: settings, exit codes, event sources, uptime and launch size match the code")
    return 0


if __name__ == "__main__":
    sys.exit(main())
