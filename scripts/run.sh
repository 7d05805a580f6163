#!/usr/bin/env bash
# Installs what is missing, builds Release and starts the HUD.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"
configure_build "$ROOT/build-release" Release -DHALVENOR_BUILD_TESTS=OFF -DHALVENOR_BUILD_BENCH=OFF
cmake --build "$ROOT/build-release" --target halvenor -j "$JOBS"
exec "$ROOT/build-release/app/halvenor" "$@"
