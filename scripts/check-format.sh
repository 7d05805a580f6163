#!/usr/bin/env bash
# Fails when any C++ source or header of the project differs from what clang-format makes of it
# with the .clang-format at the root. Lists the files that would change; `clang-format -i FILE`
# fixes one. Files git ignores (build folders) are not the project's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
if ! command -v clang-format >/dev/null || [ ! -f .clang-format ]; then
  echo "check-format: needs clang-format (scripts/install-deps.sh) and $ROOT/.clang-format"
  exit 1
fi
mapfile -d '' files < <(git ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.h')
present=()
for file in "${files[@]}"; do
  if [ -f "$file" ]; then present+=("$file"); fi  # not when deleted in the working tree
done
# clang-format names each file it would change in its warnings ("FILE:LINE:COL: error: ...").
mapfile -t unformatted < <(
  printf '%s\0' "${present[@]}" |
    xargs -0 clang-format --dry-run -Werror --style=file 2>&1 >/dev/null |
    sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u || true)
if [ "${#unformatted[@]}" -ne 0 ]; then
  echo "not formatted with clang-format (${#unformatted[@]} of ${#present[@]} files):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "format: ${#present[@]} files formatted"
