#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each of them for SECONDS
# (default 60), all at once. New inputs collect in build-fuzz/tests/fuzz/corpus/<name>/, the
# seeds stay in tests/fuzz/corpus/<name>/; a crash leaves its input beside the target's log.
#   ./scripts/fuzz.sh 600        ten minutes each
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
"$ROOT/scripts/install-deps.sh"
seconds="${1:-60}"
dir="$ROOT/build-fuzz"
targets=(sse_line stt_result transcription_response settings markdown)

CC=clang CXX=clang++ configure_build "$dir" RelWithDebInfo -DHALVENOR_FUZZ=ON \
  -DHALVENOR_BUILD_TESTS=ON -DHALVENOR_BUILD_BENCH=OFF
cmake --build "$dir" -j "$JOBS" --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:suppressions=$ROOT/tests/asan.supp}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp:print_suppressions=0}"
pids=()
for name in "${targets[@]}"; do
  work="$dir/tests/fuzz/corpus/$name"
  mkdir -p "$work" "$dir/tests/fuzz/crashes"
  (cd "$dir/tests/fuzz/crashes" &&
    "$dir/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 \
      -artifact_prefix="$dir/tests/fuzz/crashes/$name-" \
      "$work" "$ROOT/tests/fuzz/corpus/$name" >"$dir/tests/fuzz/$name.log" 2>&1) &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  name="${targets[$i]}"
  if wait "${pids[$i]}"; then
    runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$dir/tests/fuzz/$name.log" | awk '{print $2}')
    echo "fuzz $name: ${runs:-?} inputs in ${seconds} s, no crash"
  else
    echo "fuzz $name: FAILED (see $dir/tests/fuzz/$name.log)"
    tail -40 "$dir/tests/fuzz/$name.log"
    failed=1
  fi
done
exit $failed
