#!/usr/bin/env bash
# Installs everything the product and the tests need on a fresh Debian 12 machine, then builds the
# given CMake preset. Safe to run again: each step is skipped when already done.
#   scripts/setup.sh <preset>     (preset: release, asan or debug)
set -euo pipefail
preset="${1:-release}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  g++ cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-websockets-dev qt6-image-formats-plugins libqrencode-dev libssl-dev libpulse-dev
  openssl xvfb xauth x11-utils imagemagick zbar-tools pulseaudio pulseaudio-utils sox clang-format
  libcanberra-dev libcanberra-pulse sound-theme-freedesktop qt6-translations-l10n dbus
)
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

if [ ! -d "$root/localservice/node_modules" ] ||
   [ "$root/localservice/package-lock.json" -nt "$root/localservice/node_modules" ]; then
  echo "Installing the local service's npm packages"
  (cd "$root/localservice" && npm ci --no-audit --no-fund --loglevel=error)
  touch "$root/localservice/node_modules"
fi

bash "$root/localservice/make-certs.sh"

# Lets compiler caches be shared between checkouts in different folders.
export CCACHE_BASEDIR="$root"
echo "Building ($preset)"
cmake --preset "$preset" -S "$root" >/dev/null
cmake --build --preset "$preset"
