#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Halvenor needs, and the
# window manager HALVENOR_TEST_WM names. Idempotent: when everything is present it only checks
# and returns.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config git python3
  # fuzzing and the format check
  clang libclang-rt-14-dev clang-format
  # libraries the program links
  libsdl2-dev libimgui-dev libstb-dev libgl-dev libx11-dev libxext-dev libxrandr-dev libxinerama-dev
  libcurl4-openssl-dev libssl-dev libboost-dev libboost-system-dev
  nlohmann-json3-dev libfmt-dev libpng-dev zlib1g-dev libpulse-dev
  libfontconfig-dev fonts-dejavu-core
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xserver-xephyr xauth xdotool x11-utils x11-xserver-utils imagemagick openbox xcompmgr
  pulseaudio pulseaudio-utils espeak-ng sox
  # desktop helpers the HUD calls at run time
  zenity xdg-utils
  # software OpenGL under Xvfb
  libgl1-mesa-dri libglx-mesa0
)

# The window manager the tests run beside (HALVENOR_TEST_WM; openbox, above, by default): the same
# names as tests/support/window_manager.cpp knows.
case "${HALVENOR_TEST_WM:-}" in
  "" | openbox) ;;
  fluxbox | icewm | awesome) PACKAGES+=("$HALVENOR_TEST_WM") ;;
  mutter | xfwm4 | metacity) PACKAGES+=("$HALVENOR_TEST_WM" dbus-daemon) ;;
  # marco reads the mouse settings of MATE's settings daemon at start and ends without them.
  marco) PACKAGES+=(marco mate-settings-daemon-common dbus-daemon) ;;
  kwin_x11) PACKAGES+=(kwin-x11 dbus-daemon) ;;
  i3) PACKAGES+=(i3-wm) ;;
  *)
    echo "install-deps: HALVENOR_TEST_WM=$HALVENOR_TEST_WM names no window manager the tests know:" \
      "openbox, fluxbox, icewm, awesome, mutter, xfwm4, metacity, marco, kwin_x11, i3" >&2
    exit 1
    ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "install-deps: these packages are missing and this script needs root (or sudo) to install them:" >&2
    echo "  ${missing[*]}" >&2
    exit 1
  fi
fi

export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
