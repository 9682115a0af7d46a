#!/usr/bin/env bash
# A private, headless audio server with PulseAudio's protocol for the voice tests and benchmarks:
# no sound card, no autospawn, nothing shared with a desktop session.
#
#   scripts/pulse-test-server.sh start <dir>   starts it and prints the environment for its clients
#   scripts/pulse-test-server.sh stop <dir>    stops the server started in <dir>
#   scripts/pulse-test-server.sh kind          says which server start would use
#
# It is the `pulseaudio` binary where that is installed; otherwise (a PipeWire desktop, where the
# pulseaudio package would displace the desktop's sound stack) a private `pipewire` with
# `wireplumber` and `pipewire-pulse`, on their own runtime folder and D-Bus, with every hardware
# monitor switched off. TOVIK_AUDIO_SERVER=pulseaudio|pipewire picks one by hand.
#
# Two stereo null sinks carry one direction each, in one clock: busAB's left channel is what A's
# microphone (micA) hears, its right channel what B's loudspeaker (spkB) plays; busBA the same the
# other way round (micB, spkA). Client A uses PULSE_SOURCE=micA PULSE_SINK=spkA, client B micB/spkB.
# Play a stimulus with `paplay -d busAB` (right channel silent) and record `busAB.monitor` in
# stereo to compare what went in with what came out.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop <dir>, or $0 kind" >&2
  exit 2
}

kind() {
  case "${TOVIK_AUDIO_SERVER:-}" in
    pulseaudio | pipewire) echo "$TOVIK_AUDIO_SERVER"; return ;;
    "") ;;
    *) echo "TOVIK_AUDIO_SERVER must be pulseaudio or pipewire" >&2; exit 2 ;;
  esac
  if command -v pulseaudio >/dev/null 2>&1; then
    echo pulseaudio
  elif command -v pipewire >/dev/null 2>&1 && command -v pipewire-pulse >/dev/null 2>&1 &&
    command -v wireplumber >/dev/null 2>&1 && command -v dbus-daemon >/dev/null 2>&1; then
    echo pipewire
  else
    echo none
  fi
}

if [ "${1:-}" = kind ] && [ $# -eq 1 ]; then
  kind
  exit 0
fi
[ $# -eq 2 ] || usage
action="$1"
mkdir -p "$2"
dir="$(cd "$2" && pwd)"
runtime="$dir/runtime"

server_address() {
  if [ "$(cat "$dir/kind" 2>/dev/null)" = pipewire ]; then
    echo "unix:$runtime/pulse/native"
  else
    echo "unix:$runtime/native"
  fi
}

client_env() {
  env HOME="$dir/home" XDG_RUNTIME_DIR="$runtime" PULSE_RUNTIME_PATH="$runtime/pulse" \
    PULSE_SERVER="$(server_address)" PULSE_CLIENTCONFIG="$dir/client.conf" "$@"
}

module_lines() {
  for bus in AB BA; do
    talker="${bus:0:1}"
    listener="${bus:1:1}"
    echo "module-null-sink sink_name=bus$bus rate=8000 channels=2 format=s16le" \
      "channel_map=front-left,front-right"
    echo "module-remap-source source_name=mic$talker master=bus$bus.monitor" \
      "channels=1 master_channel_map=front-left channel_map=mono remix=no"
    echo "module-remap-sink sink_name=spk$listener master=bus$bus channels=1" \
      "master_channel_map=front-right channel_map=mono remix=no"
  done
}

start_pulseaudio() {
  {
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$runtime/native"
    module_lines | sed 's/^/load-module /'
  } >"$dir/server.pa"
  # A server whose owner died without stopping it goes away a minute after its last client.
  client_env pulseaudio -n -F "$dir/server.pa" --daemonize=yes --exit-idle-time=60 \
    --use-pid-file=yes --log-target=file:"$dir/server.log" 2>>"$dir/server.log"
}

start_pipewire() {
  local config="$dir/home/.config/wireplumber"
  mkdir -p "$config/main.lua.d" "$config/bluetooth.lua.d" "$runtime/pulse"
  # Nothing of the machine's: no sound cards, cameras or Bluetooth devices, only the null sinks.
  printf '%s\n' "alsa_monitor.enabled = false" "v4l2_monitor.enabled = false" \
    "libcamera_monitor.enabled = false" >"$config/main.lua.d/60-private.lua"
  echo "bluez_monitor.enabled = false" >"$config/bluetooth.lua.d/60-private.lua"
  dbus-daemon --session --fork --address="unix:path=$runtime/bus" --print-pid \
    >"$dir/dbus.pid" 2>>"$dir/server.log" || return 1
  # The private PipeWire's own environment: its runtime folder, configuration, state and D-Bus.
  local program pipewire_env=(env HOME="$dir/home" XDG_RUNTIME_DIR="$runtime"
    PULSE_RUNTIME_PATH="$runtime/pulse" PIPEWIRE_RUNTIME_DIR="$runtime"
    XDG_CONFIG_HOME="$dir/home/.config" XDG_STATE_HOME="$dir/home/.state"
    DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  : >"$dir/pipewire.pids"
  for program in pipewire wireplumber pipewire-pulse; do
    # A simple command, so that $! is the program itself.
    "${pipewire_env[@]}" setsid "$program" >>"$dir/server.log" 2>&1 </dev/null &
    echo $! >>"$dir/pipewire.pids"
    [ "$program" != pipewire ] || sleep 0.3
  done
  # A server whose owner died without stopping it is stopped by this watcher.
  local owner="$PPID"
  setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 5; done; exec bash "$2" stop "$3"' \
    watcher "$owner" "${BASH_SOURCE[0]}" "$dir" >/dev/null 2>&1 </dev/null &
  echo $! >"$dir/watcher.pid"
}

load_pipewire_modules() {
  local line
  while read -r line; do
    # shellcheck disable=SC2086 # the module's arguments are separate words
    client_env pactl load-module $line >/dev/null || return 1
  done < <(module_lines)
}

start() {
  local kind
  kind="$(kind)"
  if [ "$kind" = none ]; then
    echo "no audio server: install pulseaudio, or pipewire, pipewire-pulse, wireplumber and dbus" >&2
    exit 1
  fi
  mkdir -p "$dir/home" "$runtime"
  chmod 700 "$runtime"
  echo "$kind" >"$dir/kind"
  printf 'autospawn = no\n' >"$dir/client.conf"
  "start_$kind" || {
    echo "$kind did not start; see $dir/server.log" >&2
    stop
    exit 1
  }
  for _ in $(seq 1 100); do
    if client_env pactl info >/dev/null 2>&1; then
      if [ "$kind" = pipewire ] && ! load_pipewire_modules; then
        echo "pipewire-pulse did not load the null sinks; see $dir/server.log" >&2
        stop
        exit 1
      fi
      echo "HOME=$dir/home"
      echo "XDG_RUNTIME_DIR=$runtime"
      echo "PULSE_RUNTIME_PATH=$runtime/pulse"
      echo "PULSE_SERVER=$(server_address)"
      echo "PULSE_CLIENTCONFIG=$dir/client.conf"
      echo "TOVIK_AUDIO_SERVER=$kind"
      return 0
    fi
    sleep 0.1
  done
  echo "$kind did not answer within 10 s; see $dir/server.log" >&2
  stop
  exit 1
}

# A process that has ended but whose parent is gone may linger unreaped; it counts as ended.
running() {
  local stat
  stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  stat="${stat##*) }"
  [ "${stat:0:1}" != Z ]
}

wait_or_kill() {
  local pid="$1"
  for _ in $(seq 1 50); do
    running "$pid" || return 0
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
}

stop() {
  if [ "$(cat "$dir/kind" 2>/dev/null)" = pipewire ]; then
    local pid
    # The watcher first, unless it is the one stopping.
    if [ -f "$dir/watcher.pid" ]; then
      pid="$(tr -dc '0-9' <"$dir/watcher.pid")"
      [ -z "$pid" ] || [ "$pid" = "$$" ] || kill "$pid" 2>/dev/null || true
    fi
    for file in "$dir/pipewire.pids" "$dir/dbus.pid"; do
      [ -f "$file" ] || continue
      for pid in $(tac "$file" | tr -dc '0-9\n'); do
        kill "$pid" 2>/dev/null || true
        wait_or_kill "$pid"
      done
    done
    rm -f "$dir/pipewire.pids" "$dir/dbus.pid" "$dir/watcher.pid"
    return 0
  fi
  local pidfile="$runtime/pulse/pid" pid=""
  [ -f "$pidfile" ] && pid="$(tr -dc '0-9' <"$pidfile")"
  client_env pactl exit >/dev/null 2>&1 || true
  [ -n "$pid" ] || return 0
  wait_or_kill "$pid"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
