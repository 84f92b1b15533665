#!/usr/bin/env bash
# Runs every fuzz target of the host build for the given number of seconds
# (default 30) on a copy of its seed corpus, and fails on the first crash,
# sanitizer report or hang. Findings are left in build/host/fuzz-findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/host/tests/fuzz
findings=build/host/fuzz-findings
mkdir -p "$findings"
status=0
for target in "$build"/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus_name=${name#fuzz_}
  work=build/host/fuzz-corpus/$corpus_name
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/"$corpus_name"/* "$work"/ 2>/dev/null || true
  echo "== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/$name-" -print_final_stats=1 "$work" 2>"$findings/$name.log"; then
    echo "$name FAILED; see $findings/$name.log"
    tail -40 "$findings/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$findings/$name.log" || true
    echo "corpus: $(ls "$work" | wc -l) inputs"
  fi
done
exit $status
