#!/usr/bin/env bash
# Runs a fuzz target over a copy of its corpus for a bounded time, seeded so
# a run can be repeated; on a finding, prints the fuzzer's report and the
# input that failed.
#   run_fuzz.sh TARGET CORPUS_DIR SECONDS
set -uo pipefail
target=$1 seeds=$2 seconds=$3
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$seeds"/* "$corpus"/
if ! "$target" -seed=1 -max_total_time="$seconds" -timeout=20 -print_final_stats=1 -artifact_prefix="$corpus/" "$corpus" \
     > "$corpus/log" 2>&1; then
  grep -v '^#' "$corpus/log" | tail -40
  for f in "$corpus"/crash-* "$corpus"/leak-* "$corpus"/oom-* "$corpus"/timeout-*; do
    [ -e "$f" ] && { echo "input that failed ($f):"; od -c "$f" | head -20; }
  done
  exit 1
fi
tail -3 "$corpus/log"
