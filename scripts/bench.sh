#!/usr/bin/env bash
# Builds Release and runs every benchmark (extra arguments go to each benchmark binary).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"
# The benchmarks share the test fixtures (local servers), so the test tree is configured too.
configure_build "$ROOT/build-bench" Release -DHALVENOR_BUILD_TESTS=ON -DHALVENOR_BUILD_BENCH=ON
cmake --build "$ROOT/build-bench" -j "$JOBS"
for bench in "$ROOT"/build-bench/bench/*_bench; do
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
