#!/usr/bin/env bash
# Runs every fuzzer of a build directory for a bounded time, seeded from the project's test data.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
for fuzzer in "$build"/tests/fuzz/*_fuzzer; do
  corpus="$build/corpus/$(basename "$fuzzer")"
  mkdir -p "$corpus"
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 4
done
