# Shared by the scripts in this folder: the project root and the build settings.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-$(nproc)}"

# configure_build DIR BUILD_TYPE [extra cmake arguments...]
configure_build() {
  local dir="$1" type="$2"
  shift 2
  local generator=()
  command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE="$type" "$@"
  else
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  fi
}
