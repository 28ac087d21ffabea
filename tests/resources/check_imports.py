#!/usr/bin/env python3
"""Check that pinfile.exe imports only DLLs that ship with Windows.

Usage: check_imports.py PINFILE.EXE

pinfile is handed out as a single .exe, so it must not need the MinGW
runtime DLLs (libstdc++, libgcc, libwinpthread) next to it.  The import table
is read with `x86_64-w64-mingw32-objdump -p` (or the objdump named by $OBJDUMP).
Fails (exit status 1) on any DLL outside the list below, and also when no
import was found at all, since that means the output could not be read.
"""

import os
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "kernelbase.dll", "ntdll.dll", "user32.dll", "gdi32.dll",
    "advapi32.dll", "shell32.dll", "shlwapi.dll", "comctl32.dll", "comdlg32.dll",
    "ole32.dll", "oleaut32.dll", "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll",
    "bcrypt.dll", "crypt32.dll", "secur32.dll", "rpcrt4.dll", "userenv.dll",
    "version.dll", "psapi.dll", "dbghelp.dll",
}
SYSTEM_PREFIXES = ("api-ms-win-",)
TOOLCHAIN_PREFIXES = ("libstdc++", "libgcc", "libwinpthread")


def imported_dlls(exe):
    objdump = os.environ.get("OBJDUMP", "x86_64-w64-mingw32-objdump")
    try:
        result = subprocess.run([objdump, "-p", exe], capture_output=True, text=True)
    except OSError as e:
        sys.exit(f"check_imports: cannot run {objdump}: {e}")
    if result.returncode != 0:
        sys.exit(f"check_imports: {objdump} -p {exe} failed:\n{result.stderr.strip()}")
    return re.findall(r"^\s*DLL Name:\s*(\S+)", result.stdout, re.MULTILINE)


def problem(dll):
    """Why this DLL must not be imported, or None if Windows has it."""
    name = dll.lower()
    if name.startswith(TOOLCHAIN_PREFIXES):
        return f"{dll} belongs to the MinGW toolchain, not Windows (link with -static)"
    if name in SYSTEM_DLLS or name.startswith(SYSTEM_PREFIXES):
        return None
    return f"{dll} is not a DLL that ships with Windows"


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    dlls = imported_dlls(argv[1])
    if not dlls:
        sys.exit(f"check_imports: found no imported DLLs in {argv[1]}; "
                 "the objdump output was not understood")
    problems = [p for p in map(problem, dlls) if p]
    for p in problems:
        print(f"check_imports: {p}", file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"check_imports: {argv[1]} imports only system DLLs: {', '.join(dlls)}")


if __name__ == "__main__":
    main(sys.argv)
