#!/usr/bin/env bash
# Fuzzes every target for a while (seconds, default 60), starting from its kept
# corpus. Needs the sanitizer build of scripts/test.sh. New inputs go to a
# scratch folder; crashes fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
status=0
for target in build/asan/fuzz/*/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  name=${name#fuzz_}
  # Corpus writers (fuzz_<name>_make_corpus) are tools, not targets.
  [ -d "fuzz/$name/corpus" ] || continue
  scratch=$(mktemp -d)
  echo "== fuzz $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/" \
      "$scratch" "fuzz/$name/corpus" 2>"$scratch/log"; then
    tail -n 40 "$scratch/log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$scratch/log" || true
  fi
  rm -rf "$scratch"
done
exit $status
