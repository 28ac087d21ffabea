"""Checks the boot-time unit with systemd-analyze verify.

The unit is copied unchanged into a staged root, next to the built pinfile-pending at the path
where the package installs it, so a directive systemd does not know, a value it cannot parse
or an ExecStart= that does not name the installed program all fail. The same check is then run
on broken copies of the unit, which it must reject: a verifier that passes everything would
make this test worthless.
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

import unit_check


def stage(root, unit_text, unit_dir, program_file, program_path):
    unit_path = os.path.join(root, unit_dir, "pinfile-pending.service")
    os.makedirs(os.path.dirname(unit_path), exist_ok=True)
    with open(unit_path, "w", encoding="utf-8") as unit:
        unit.write(unit_text)
    if program_file:
        target = os.path.join(root, program_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(program_file, target)
    return unit_path


def broken(unit_text, pattern, replacement):
    changed, count = re.subn(pattern, replacement, unit_text, count=1, flags=re.MULTILINE)
    if count != 1:
        raise SystemExit(f"the unit has no line matching {pattern!r} to break")
    return changed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--systemd-analyze", required=True)
    parser.add_argument("--unit", required=True)
    parser.add_argument("--unit-dir", required=True,
                        help="relative to the root, e.g. usr/lib/systemd/system")
    parser.add_argument("--program-file", required=True, help="the built pinfile-pending")
    parser.add_argument("--program-path", required=True,
                        help="where the package installs it, e.g. usr/bin/pinfile-pending")
    args = parser.parse_args()

    with open(args.unit, encoding="utf-8") as unit:
        unit_text = unit.read()

    cases = [
        ("the unit as shipped", unit_text, True, True),
        ("an unknown directive", broken(unit_text, r"^Type=", "Typo="), True, False),
        ("a value systemd cannot parse", broken(unit_text, r"^Type=.*$", "Type=oneshoot"), True,
         False),
        ("the program missing", unit_text, False, False),
    ]
    failures = 0
    for name, text, with_program, should_pass in cases:
        with tempfile.TemporaryDirectory(prefix="pinfile-unit-") as root:
            program_file = args.program_file if with_program else None
            unit_path = stage(root, text, args.unit_dir, program_file, args.program_path)
            passed, report = unit_check.verify(args.systemd_analyze, root, unit_path)
        verdict = "accepted" if passed else "rejected"
        if passed == should_pass:
            print(f"ok: {name}: {verdict}")
        else:
            failures += 1
            print(f"FAIL: {name}: {verdict}, expected the opposite\n{report}")
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
