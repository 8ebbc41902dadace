#!/usr/bin/env python3
"""The Group Policy templates shipped beside the packages.

Usage: inspect_policy.py POLICY_DIR SETTINGS_KEYS_H

POLICY_DIR holds Nimbora.admx and, for each of the five caption languages
(en-US, fr-FR, ko-KR, pt-BR, ru-RU), <language>/Nimbora.adml. Checks that
every file is well-formed XML; that every policy writes under the policy key
the service reads (PolicyKeyPath in SETTINGS_KEYS_H) a value the service
reads (a setting named there); that every string and presentation the ADMX
names exists in each ADML, with no text left empty, and each presentation
refers to its policy's element. Exits 0 when every check passes, 1 with one
line per problem otherwise.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
LANGUAGES = ["en-US", "fr-FR", "ko-KR", "pt-BR", "ru-RU"]


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    policy_dir, keys_header = argv[1], argv[2]
    problems = []
    header = open(keys_header, encoding="utf-8").read()
    settings = set(re.findall(r'inline constexpr wchar_t k\w+\[\] = L"(\w+)";', header))
    key_match = re.search(r'PolicyKeyPath\[\] = L"((?:[^"\\]|\\.)*)"', header)
    policy_key = key_match.group(1).replace("\\\\", "\\").strip("\\") if key_match else None
    try:
        admx = ET.parse(os.path.join(policy_dir, "Nimbora.admx")).getroot()
    except (OSError, ET.ParseError) as e:
        print(f"FAIL Nimbora.admx: {e}")
        return 1
    text = ET.tostring(admx, encoding="unicode")
    strings = set(re.findall(r"\$\(string\.(\w+)\)", text))
    presentations = set(re.findall(r"\$\(presentation\.(\w+)\)", text))
    elements = {}
    policies = admx.findall(f"{NS}policies/{NS}policy")
    if not policies:
        problems.append("Nimbora.admx: no policies")
    for policy in policies:
        name = policy.get("name")
        if policy.get("key") != policy_key:
            problems.append(f"policy {name}: key {policy.get('key')!r}, the service reads {policy_key!r}")
        values = [policy.get("valueName")] if policy.get("valueName") else []
        for element in policy.iter():
            if element.get("valueName") and element is not policy:
                values.append(element.get("valueName"))
                elements[name] = element.get("id")
        for value in values:
            if value not in settings:
                problems.append(f"policy {name}: value {value!r} is no setting the service reads")
        if not values:
            problems.append(f"policy {name}: writes no value")
    for language in LANGUAGES:
        path = os.path.join(policy_dir, language, "Nimbora.adml")
        try:
            adml = ET.parse(path).getroot()
        except (OSError, ET.ParseError) as e:
            problems.append(f"{language}: {e}")
            continue
        defined = {s.get("id"): (s.text or "").strip() for s in adml.iter(f"{NS}string")}
        for s in sorted(strings):
            if not defined.get(s):
                problems.append(f"{language}: string {s} missing or empty")
        shown = {p.get("id"): p for p in adml.iter(f"{NS}presentation")}
        for p in sorted(presentations):
            if p not in shown:
                problems.append(f"{language}: presentation {p} missing")
                continue
            refs = [c.get("refId") for c in shown[p]]
            if refs != [elements.get(p)]:
                problems.append(f"{language}: presentation {p} refers to {refs}, expected [{elements.get(p)!r}]")
    for p in problems:
        print(f"FAIL {p}")
    if not problems:
        print(f"ok: {len(policies)} policies, {len(strings)} strings in {len(LANGUAGES)} languages")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
