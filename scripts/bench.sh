#!/usr/bin/env bash
# Builds Release and runs every benchmark.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"
configure_build "$ROOT/build-release" Release -DHALVENOR_BUILD_TESTS=OFF -DHALVENOR_BUILD_BENCH=ON
cmake --build "$ROOT/build-release" -j "$JOBS"
for bench in "$ROOT"/build-release/bench/*_bench; do
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
