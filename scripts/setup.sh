#!/usr/bin/env bash
# Installs what building and running need on a Debian 12 machine, with --test also what the tests
# need, then builds the given CMake preset. Safe to run again: each step is skipped when done.
#
#   scripts/setup.sh [--test] <preset>     (preset: release, asan, debug or package)
#
# It never removes or downgrades a package. apt is asked first (a simulation); if it would take
# anything away, set-up stops and names what conflicts, leaving the machine as it was.
set -euo pipefail
with_tests=0
if [ "${1:-}" = --test ]; then
  with_tests=1
  shift
fi
preset="${1:-release}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Building and running. The client talks to whatever sound server the desktop has through libpulse
# (PipeWire's pulse server included), so it needs no sound server package of its own. Xvfb and
# ImageMagick's import serve scripts/run.sh's demonstration on a machine without a display.
packages=(
  g++ cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-websockets-dev qt6-image-formats-plugins libqrencode-dev libssl-dev libpulse-dev
  openssl xvfb imagemagick
  libcanberra-dev libcanberra-pulse sound-theme-freedesktop qt6-translations-l10n
)
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
# cpack's .deb computes its dependencies with dpkg-shlibdeps, and finds the binaries with file.
[ "$preset" != package ] || packages+=(dpkg-dev file lintian)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ]; then
    "${sudo_cmd[@]}" apt-get update
    apt_updated=1
  fi
}

# What apt would remove or downgrade to install the given packages, one "remove NAME" or
# "downgrade NAME" a line, or apt's own errors if it cannot install them at all; empty when the
# install only adds and upgrades.
would_take_away() {
  local plan
  if ! plan="$(LC_ALL=C apt-get -s install --no-install-recommends "$@" 2>&1)"; then
    printf '%s\n' "$plan" | grep '^E:' || echo "E: apt-get -s install $* failed"
    return 0
  fi
  printf '%s\n' "$plan" | awk '
    /^Remv / { print "remove " $2 }
    /^The following packages will be DOWNGRADED:/ { downgrading = 1; next }
    downgrading && /^ / { for (i = 1; i <= NF; i++) print "downgrade " $i; next }
    { downgrading = 0 }'
}

if [ "$with_tests" -eq 1 ]; then
  # The tests' tools: a private X server, tone and QR tools, formatting, the desktop entry and
  # metainfo validators, and what makes and inspects the .deb.
  packages+=(
    xvfb xauth x11-utils sox zbar-tools imagemagick clang-format pulseaudio-utils dbus
    desktop-file-utils appstream dpkg-dev file
  )
  # The voice tests need a private audio server (scripts/pulse-test-server.sh). On a desktop with
  # PipeWire the pulseaudio package would displace the desktop's sound stack, so there the private
  # server is PipeWire's own programs instead.
  # TOVIK_AUDIO_SERVER=pulseaudio|pipewire chooses by hand, as for scripts/pulse-test-server.sh.
  audio="${TOVIK_AUDIO_SERVER:-}"
  if [ -n "$audio" ]; then
    :
  elif installed pulseaudio; then
    audio=pulseaudio
  elif installed pipewire-pulse; then
    audio=pipewire
  else
    apt_update
    audio=pulseaudio
    if [ -n "$(would_take_away pulseaudio)" ]; then
      audio=pipewire
      echo "The pulseaudio package would replace this desktop's sound server; the audio tests" \
        "will use a private PipeWire instead."
    fi
  fi
  case "$audio" in
    pulseaudio) packages+=(pulseaudio) ;;
    pipewire) packages+=(pipewire pipewire-pulse wireplumber dbus) ;;
    *) echo "TOVIK_AUDIO_SERVER must be pulseaudio or pipewire" >&2; exit 2 ;;
  esac
  echo "The audio tests will use a private $audio server."
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# Each name once, in the order given.
mapfile -t missing < <(printf '%s\n' ${missing[@]+"${missing[@]}"} | awk 'NF && !seen[$0]++')
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  apt_update
  taken="$(would_take_away "${missing[@]}")"
  if [ -n "$taken" ]; then
    echo "Stopped: apt cannot install ${missing[*]} without taking something away:" >&2
    printf '%s\n' "$taken" | sed 's/^/  /' >&2
    for p in "${missing[@]}"; do
      conflict="$(would_take_away "$p" | paste -sd, | sed 's/,/, /g')"
      [ -z "$conflict" ] || echo "The conflict: $p alone would $conflict" >&2
    done
    echo "Nothing was installed or removed. Resolve that conflict by hand, or install the other" \
      "packages yourself and run this script again." >&2
    exit 1
  fi
  # --no-remove makes apt refuse, rather than do, any removal the simulation did not foresee.
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-remove \
    --no-install-recommends "${missing[@]}"
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
