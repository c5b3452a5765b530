#!/usr/bin/env bash
# Fuzzes every target for a while (seconds, default 60), starting from its kept
# corpus, two targets at a time (DSCAM_FUZZ_JOBS): a fuzzer keeps one core busy.
# Needs the sanitizer build of scripts/test.sh. New inputs go to a scratch
# folder; crashes fail the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${DSCAM_FUZZ_JOBS:-2}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs one target; its log and new inputs stay in its own scratch folder.
fuzz_one() {
  local target=$1 name=$2
  mkdir -p "$scratch/$name/inputs"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/$name/" \
    "$scratch/$name/inputs" "fuzz/$name/corpus" 2>"$scratch/$name/log"
}

names=()
pids=()
for target in build/asan/fuzz/*/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  name=${name#fuzz_}
  # Corpus writers (fuzz_<name>_make_corpus) are tools, not targets.
  [ -d "fuzz/$name/corpus" ] || continue
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
  echo "== fuzz $name for ${seconds}s"
  fuzz_one "$target" "$name" &
  names+=("$name")
  pids+=($!)
done

status=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  if wait "${pids[$i]}"; then
    echo "$name: $(grep -E '^stat::number_of_executed_units' "$scratch/$name/log" || echo 'no stats')"
  else
    echo "== fuzz $name failed"
    tail -n 40 "$scratch/$name/log"
    status=1
  fi
done
exit $status
