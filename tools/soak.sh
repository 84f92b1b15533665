#!/usr/bin/env bash
# Soaks the board: the real velmorant.exe in a window under Xvfb for MINUTES
# (default 30) against the board server's random documents and faults,
# sampling its memory, threads, descriptors, kernel handles, GDI objects and
# windows; fails on growth after the warm-up or when the last document is
# not shown at the end. Needs the windows build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
minutes=${1:-30}
build=$root/build/windows
export WINEDEBUG=-all
# Wine maps file names through the Unix locale; kanji names need UTF-8.
export LC_ALL=C.UTF-8
# A prefix of its own, so that a long soak and a test run can go side by side.
export WINEPREFIX=$build/wineprefix-soak
export VELMORANT_EXE=$build/src/shell/velmorant.exe
export VELMORANT_PROBE=$build/tests/e2e/velmorant_probe.exe
export VELMORANT_SOURCE_DIR=$root
for f in "$VELMORANT_EXE" "$VELMORANT_PROBE"; do
  [ -f "$f" ] || { echo "missing $f: build the windows preset first" >&2; exit 1; }
done
tools/wine-prefix.sh start "$WINEPREFIX"
exec python3 tests/e2e/soak_e2e.py "$minutes"
