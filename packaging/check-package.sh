#!/usr/bin/env bash
# Makes the .deb from a built tree, unpacks it into a temporary root and starts the unpacked
# program on a private X screen: its window must appear with the desktop entry's window class, a
# second start on the same data folder must hand over to the first and end, and a start on another
# data folder must run beside it.
#   packaging/check-package.sh <build dir>
set -euo pipefail
build="$(cd "${1:?usage: $0 <build dir>}" && pwd)"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A sanitizer build needs its runtime's leak check off; a release build ignores this.
export ASAN_OPTIONS=detect_leaks=0

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  fail "cpack did not make the package: $(tail -n 20 "$work/cpack.log")"
deb="$(find "$work/out" -maxdepth 1 -name 'tovik-messenger_*.deb' | head -n 1)"
[ -n "$deb" ] || fail "no tovik-messenger_*.deb in $work/out"
depends="$(dpkg-deb -f "$deb" Depends)"
case "$depends" in
  *libqt6widgets6*libqrencode4* | *libqrencode4*libqt6widgets6*) ;;
  *) fail "Depends lacks the linked libraries (shlibdeps): $depends" ;;
esac

root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/tovik-messenger usr/share/applications/dev.tovik.Messenger.desktop \
  usr/share/metainfo/dev.tovik.Messenger.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/dev.tovik.Messenger.svg \
  usr/share/icons/hicolor/48x48/apps/dev.tovik.Messenger.png \
  usr/share/icons/hicolor/256x256/apps/dev.tovik.Messenger.png \
  usr/share/doc/tovik-messenger/copyright usr/share/man/man1/tovik-messenger.1.gz; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
program="$root/usr/bin/tovik-messenger"

# The command line, with no display at all.
version="$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --version)" || fail "--version failed"
[[ "$version" =~ ^Tovik\ Messenger\ [0-9] ]] || fail "--version printed: $version"
env -u DISPLAY "$program" --help | grep -q -- --version || fail "--help does not list --version"
status=0
env -u DISPLAY "$program" --no-such-option 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown option gave exit status $status, not 2"

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

# Ids of the top-level windows titled like the program's main window.
windows() {
  xwininfo -root -tree 2>/dev/null | awk '/"Tovik Messenger"/ { print $1 }'
}
wait_for_windows() {
  for _ in $(seq 1 300); do
    [ "$(windows | wc -l)" -eq "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

XDG_DATA_HOME="$work/a" "$program" &
pids+=($!)
wait_for_windows 1 || fail "the unpacked program showed no window within 30 s"
id="$(windows)"
xwininfo -id "$id" | grep -q "Map State: IsViewable" || fail "its window is not shown"
wm_class="$(grep '^StartupWMClass=' "$here/dev.tovik.Messenger.desktop" | cut -d= -f2)"
xprop -id "$id" WM_CLASS | grep -q "\"$wm_class\"" ||
  fail "WM_CLASS ($(xprop -id "$id" WM_CLASS)) does not name StartupWMClass $wm_class"

# A second start on the same data folder hands over and ends; no second window appears.
status=0
XDG_DATA_HOME="$work/a" timeout 20 "$program" || status=$?
[ "$status" -eq 0 ] || fail "a second start on the same data folder ended with status $status"
[ "$(windows | wc -l)" -eq 1 ] || fail "a second start on the same data folder opened a window"
kill -0 "${pids[-1]}" 2>/dev/null || fail "the first instance ended when the second started"

# Another data folder (another profile) runs beside it.
XDG_DATA_HOME="$work/b" "$program" &
pids+=($!)
wait_for_windows 2 || fail "a start on another data folder showed no window of its own"
echo "package $(basename "$deb"): unpacked, started, one instance per data folder"
