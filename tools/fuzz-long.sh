#!/usr/bin/env bash
# Runs every fuzz target of the host build for a long time: HOURS in total
# (default 8, fractions allowed), shared equally between the targets, each on
# its growing corpus in build/host/fuzz-corpus. Fails on the first crash,
# sanitizer report or hang, like tools/fuzz.sh, which does the work.
set -euo pipefail
cd "$(dirname "$0")/.."
hours=${1:-8}
targets=$(find build/host/tests/fuzz -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x | wc -l)
if [ "$targets" -eq 0 ]; then
  echo "no fuzz targets: build the host preset first" >&2
  exit 1
fi
seconds=$(awk -v h="$hours" -v n="$targets" 'BEGIN { s = int(h * 3600 / n); print (s < 1 ? 1 : s) }')
echo "$targets targets, ${seconds}s each"
exec tools/fuzz.sh "$seconds"
