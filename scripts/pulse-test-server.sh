#!/usr/bin/env bash
# A private, headless PulseAudio server for the voice tests and benchmarks: no sound card, no
# autospawn, nothing shared with a desktop session.
#
#   scripts/pulse-test-server.sh start <dir>   starts it and prints the environment for its clients
#   scripts/pulse-test-server.sh stop <dir>    stops the server started in <dir>
#
# Two stereo null sinks carry one direction each, in one clock: busAB's left channel is what A's
# microphone (micA) hears, its right channel what B's loudspeaker (spkB) plays; busBA the same the
# other way round (micB, spkA). Client A uses PULSE_SOURCE=micA PULSE_SINK=spkA, client B micB/spkB.
# Play a stimulus with `paplay -d busAB` (right channel silent) and record `busAB.monitor` in
# stereo to compare what went in with what came out.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop <dir>" >&2
  exit 2
}
[ $# -eq 2 ] || usage
action="$1"
mkdir -p "$2"
dir="$(cd "$2" && pwd)"
runtime="$dir/runtime"
server="unix:$runtime/native"

client_env() {
  env HOME="$dir/home" XDG_RUNTIME_DIR="$runtime" PULSE_RUNTIME_PATH="$runtime/pulse" \
    PULSE_SERVER="$server" PULSE_CLIENTCONFIG="$dir/client.conf" "$@"
}

start() {
  mkdir -p "$dir/home" "$runtime"
  chmod 700 "$runtime"
  printf 'autospawn = no\n' >"$dir/client.conf"
  {
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$runtime/native"
    for bus in AB BA; do
      talker="${bus:0:1}"
      listener="${bus:1:1}"
      echo "load-module module-null-sink sink_name=bus$bus rate=8000 channels=2 format=s16le" \
        "channel_map=front-left,front-right"
      echo "load-module module-remap-source source_name=mic$talker master=bus$bus.monitor" \
        "channels=1 master_channel_map=front-left channel_map=mono remix=no"
      echo "load-module module-remap-sink sink_name=spk$listener master=bus$bus channels=1" \
        "master_channel_map=front-right channel_map=mono remix=no"
    done
  } >"$dir/server.pa"

  # A server whose owner died without stopping it goes away a minute after its last client.
  client_env pulseaudio -n -F "$dir/server.pa" --daemonize=yes --exit-idle-time=60 \
    --use-pid-file=yes --log-target=file:"$dir/server.log" 2>>"$dir/server.log" || {
    echo "pulseaudio did not start; see $dir/server.log" >&2
    exit 1
  }
  for _ in $(seq 1 100); do
    if client_env pactl info >/dev/null 2>&1; then
      echo "HOME=$dir/home"
      echo "XDG_RUNTIME_DIR=$runtime"
      echo "PULSE_RUNTIME_PATH=$runtime/pulse"
      echo "PULSE_SERVER=$server"
      echo "PULSE_CLIENTCONFIG=$dir/client.conf"
      return 0
    fi
    sleep 0.1
  done
  echo "pulseaudio did not answer within 10 s; see $dir/server.log" >&2
  stop
  exit 1
}

stop() {
  local pidfile="$runtime/pulse/pid" pid=""
  [ -f "$pidfile" ] && pid="$(tr -dc '0-9' <"$pidfile")"
  client_env pactl exit >/dev/null 2>&1 || true
  [ -n "$pid" ] || return 0
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
