#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   BUILD_DIR   build folder (default: build)
#   SANITIZE    "", "address" (ASan+UBSan) or "thread" (TSan)
#   WERROR=1    treat warnings as errors
#   CTEST_ARGS  extra ctest arguments, e.g. "-L threaded"
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"

BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
werror=OFF
[ "${WERROR:-0}" = 1 ] && werror=ON
configure_build "$BUILD_DIR" "${BUILD_TYPE:-RelWithDebInfo}" \
  -DHALVENOR_SANITIZE="${SANITIZE:-}" -DHALVENOR_WERROR="$werror" -DHALVENOR_BUILD_BENCH=OFF
cmake --build "$BUILD_DIR" -j "$JOBS"

# Sanitizer settings: fail on the first report, keep going through benign leaks in system libraries.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:suppressions=$ROOT/tests/asan.supp}"
# The program started by the process-level suites: no leak check at its exit (LeakSanitizer's
# thread-stopping can crash among Mesa's exiting threads); the in-process suites check leaks.
export HALVENOR_CHILD_ASAN_OPTIONS="${HALVENOR_CHILD_ASAN_OPTIONS:-${ASAN_OPTIONS}:detect_leaks=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp}"

cd "$BUILD_DIR"
# shellcheck disable=SC2086
ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
