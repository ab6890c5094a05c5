#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short while.
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
bash scripts/build.sh fuzz
export ASAN_OPTIONS="detect_leaks=1"
for target in build-fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  echo "== $name (${seconds}s)"
  "$target" -max_total_time="$seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
done
