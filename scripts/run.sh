#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the product and runs it: the local service on
# https://localhost:8443 and the client. Without a display the client runs under Xvfb for a short
# demonstration and the screenshots are saved.
#
#   scripts/run.sh                 sign-in is confirmed automatically (first client as u1, next u2)
#   scripts/run.sh --manual        confirm sign-ins yourself on the service's confirmation page
#   scripts/run.sh --profile NAME  a client with its own data folder (run twice for two clients)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
manual=0
profile=""
while [ $# -gt 0 ]; do
  case "$1" in
    --manual) manual=1 ;;
    --profile) profile="${2:?--profile needs a name}"; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

bash "$root/scripts/setup.sh" release
client="$root/build/release/tovik-messenger"
port=8443
pids=()
cleanup() {
  # Newest first: the client before Xvfb and the service it talks to.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "The local service is already running on port $port; starting only the client."
else
  args=(--port "$port")
  [ "$manual" -eq 1 ] || args+=(--auto-confirm u1,u2 --auto-confirm-delay 4000)
  node "$root/localservice/server.js" "${args[@]}" &
  pids+=($!)
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
  if [ "$manual" -eq 1 ]; then
    echo "Confirm the sign-in on the page the QR code names (open it in a browser on this machine)."
  else
    echo "Sign-ins are confirmed automatically after 4 s: the first as Анна Соколова (u1), the next as Борис Орлов (u2)."
  fi
fi

if [ -n "$profile" ]; then
  export XDG_DATA_HOME="$root/build/profiles/$profile"
  mkdir -p "$XDG_DATA_HOME"
fi

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$client"
  exit 0
fi

echo "No display found: running the client under Xvfb for a short demonstration."
shots="$root/build/screenshots"
mkdir -p "$shots"
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$shots/.display" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$shots/.display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$shots/.display")"
export QT_QPA_PLATFORM=xcb
"$client" &
pids+=($!)
sleep 3
import -window root "$shots/sign-in.png"
sleep 9
import -window root "$shots/after-sign-in.png"
echo "Screenshots saved: $shots/sign-in.png and $shots/after-sign-in.png"
