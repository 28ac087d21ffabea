#!/usr/bin/env bash
# Makes a fresh Wine prefix at the given folder for one test run.
set -euo pipefail
prefix=$1
if [ -d "$prefix" ]; then
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
mkdir -p "$(dirname "$prefix")"
WINEPREFIX="$prefix" WINEDEBUG=-all wineboot -i >/dev/null 2>&1
WINEPREFIX="$prefix" wineserver -w
test -d "$prefix/drive_c/windows/system32"
echo "wine prefix ready: $prefix"
