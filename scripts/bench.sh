#!/usr/bin/env bash
# Builds Release and runs every benchmark: the per-component Google Benchmark binaries and the
# whole program's figures. Prints one table and writes bench/results/all.json (each binary's own
# JSON beside it). Extra arguments go to each Google Benchmark binary.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"
# The benchmarks share the test fixtures (local servers), so the test tree is configured too.
configure_build "$ROOT/build-bench" Release -DHALVENOR_BUILD_TESTS=ON -DHALVENOR_BUILD_BENCH=ON
cmake --build "$ROOT/build-bench" -j "$JOBS"
results="$ROOT/bench/results"
mkdir -p "$results"
for bench in "$ROOT"/build-bench/bench/*_bench; do
  name="$(basename "$bench")"
  [ "$name" = program_bench ] && continue
  echo "== $name"
  "$bench" --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@"
done
echo "== program_bench"
"$ROOT/build-bench/bench/program_bench" "$results/program.json"
echo
python3 "$ROOT/scripts/bench_table.py" "$results"
