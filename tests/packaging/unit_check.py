"""Runs systemd-analyze verify on a unit that lies in a staged root folder.

With --root, systemd-analyze looks for the unit's programs (ExecStart=) and the units it names
inside that folder, so the check needs neither an installed package nor the machine's own
units. It reports unknown directives and values it cannot parse only as warnings and still
exits 0 unless --recursive-errors is given; any output at all counts as a failure here.
"""

import os
import subprocess


def verify(systemd_analyze, root, unit_path):
    """Returns (passed, report) for the unit file unit_path (a path inside root)."""
    if not systemd_analyze or systemd_analyze.endswith("-NOTFOUND"):
        raise SystemExit("systemd-analyze was not found (Debian package systemd)")
    command = [
        systemd_analyze,
        "verify",
        "--no-pager",
        "--man=no",
        "--recursive-errors=yes",
        f"--root={os.path.abspath(root)}",
        os.path.abspath(unit_path),
    ]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    output = (result.stdout + result.stderr).strip()
    passed = result.returncode == 0 and not output
    report = f"{' '.join(command)}\nexit status {result.returncode}\n{output}".rstrip()
    return passed, report
