#!/usr/bin/env bash
# Cross-builds the Windows layers (session blob, wave audio, root store) with mingw-w64 and runs
# their tests under wine, headless: the audio test against a private PulseAudio server, and once
# more with no server at all. Installs the cross-compiler and wine when missing (about 1 GB).
# Prints the tests' total as "N passed, N failed"; exits non-zero when any failed.
#   scripts/windows.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/windows"
cxx=x86_64-w64-mingw32-g++-posix
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

packages=(g++-mingw-w64-x86-64-posix wine64 pulseaudio pulseaudio-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  # Never at the price of removing something already installed.
  if apt-get -s install --no-install-recommends "${missing[@]}" | grep -q '^Remv'; then
    echo "installing ${missing[*]} would remove other packages; install them by hand" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# Each test is one static executable: the layer's core and its test, nothing from Qt. Objects go
# through ccache when it is there, so a second run compiles nothing that has not changed.
mkdir -p "$out/obj"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(ccache)
export CCACHE_BASEDIR="$root"
build() {
  local name="$1" libs="$2" objects=() source object
  shift 2
  echo "Building $name.exe"
  for source in "$@"; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    (cd "$root" && "${launcher[@]}" "$cxx" -std=c++20 -Wall -Wextra -Werror -O1 -I. -c "$source" \
      -o "$object")
    objects+=("$object")
  done
  "$cxx" -static "${objects[@]}" $libs -o "$out/$name.exe"
}
build tst_sessionblob_win "-lcrypt32" web/dataprotection_win.cpp tests/web/tst_sessionblob_win.cpp
build tst_systemroots_win "-lcrypt32" app/rootstore_win.cpp tests/app/tst_systemroots_win.cpp
build tst_waveaudio_win "-lwinmm" calls/waveaudio_win.cpp tests/audio/tst_waveaudio_win.cpp

# The adapters between the cores and Qt are built only by a Windows build of the whole program;
# until one exists here, at least check that they compile, against this machine's Qt headers.
# Parsing Qt's headers is slow, so the check is skipped while the files it read are unchanged.
adapters=(web/sessionblob_win.cpp calls/audiodevice_win.cpp app/systemroots_win.cpp)
adapters_read=("${adapters[@]}" web/sessionblob.h web/dataprotection_win.h calls/audiodevice.h
  calls/waveaudio_win.h app/systemroots.h app/rootstore_win.h)
stamp="$out/adapters.sha256"
qt_headers="$(pkg-config --variable=includedir Qt6Core 2>/dev/null || true)"
if [ -z "$qt_headers" ] || [ ! -d "$qt_headers/QtNetwork" ]; then
  echo "Qt headers not found (scripts/setup.sh installs them); the adapters are not checked"
elif ! (cd "$root" && sha256sum --status -c "$stamp" 2>/dev/null); then
  echo "Checking the Qt adapters"
  for adapter in "${adapters[@]}"; do
    (cd "$root" && "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I. -isystem "$qt_headers" \
      -isystem "$qt_headers/QtCore" -isystem "$qt_headers/QtNetwork" "$adapter")
  done
  (cd "$root" && sha256sum "${adapters_read[@]}") >"$stamp"
fi

# A private wine prefix, no display, no prompts for components the tests do not use.
export WINEPREFIX="$out/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
scratch="$(mktemp -d)"
pulse_started=""
cleanup() {
  [ -z "$pulse_started" ] || bash "$root/scripts/pulse-test-server.sh" stop "$scratch/pulse" || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "Preparing the wine prefix"
# One wine server for all the runs below, instead of one started and stopped for each.
mkdir -p "$WINEPREFIX"
"$wineserver" -p
# Only wine's PulseAudio driver, so that a sound card of this machine cannot stand in for the
# missing server. The first start in a new prefix sets the prefix up (about half a minute).
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null 2>&1

passed=0
failed=0
run() {
  local log="$scratch/$1.log"
  echo "Running $*"
  timeout 150 "$wine" "$out/$1" "${@:2}" 2>/dev/null | tr -d '\r' | tee "$log" || true
  local summary
  summary="$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)"
  if [ -z "$summary" ]; then
    echo "FAIL $1 ended without its summary"
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + ${summary%% passed*}))
  summary="${summary#*, }"
  failed=$((failed + ${summary%% failed}))
}

run tst_sessionblob_win.exe
run tst_systemroots_win.exe
# No server: the address leads nowhere and the client may not start one of its own.
mkdir -p "$scratch/none"
printf 'autospawn = no\n' >"$scratch/none/client.conf"
PULSE_SERVER="unix:$scratch/none/native" PULSE_CLIENTCONFIG="$scratch/none/client.conf" \
  run tst_waveaudio_win.exe --no-device

# The private server: its default sink is a null sink and its default source that sink's monitor,
# so what the test plays comes back as what it captures.
bash "$root/scripts/pulse-test-server.sh" start "$scratch/pulse" >"$scratch/pulse.env"
pulse_started=1
set -a
# shellcheck disable=SC1091
. "$scratch/pulse.env"
set +a
pactl set-default-sink busAB
pactl set-default-source busAB.monitor
run tst_waveaudio_win.exe

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
