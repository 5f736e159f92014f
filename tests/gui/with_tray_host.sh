#!/usr/bin/env bash
# Runs a command on a private X server (Xvfb) with a system tray host
# (trayer) and a private session bus, as on a desktop: tray icons are
# embedded and mouse clicks on them are real X events. All are stopped when
# the command ends.
set -uo pipefail
dir=$(mktemp -d)
cleanup() {
  [ -n "${tray_pid:-}" ] && kill "$tray_pid" 2>/dev/null
  [ -n "${x_pid:-}" ] && kill "$x_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

# Xvfb writes its display number to the descriptor once it accepts clients.
exec 3>"$dir/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
x_pid=$!
exec 3>&-
for _ in $(seq 1 200); do
  [ -s "$dir/display" ] && break
  kill -0 "$x_pid" 2>/dev/null || { cat "$dir/xvfb.log" >&2; exit 1; }
  sleep 0.05
done
[ -s "$dir/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$dir/display")"

trayer --edge top --align right --widthtype request --height 32 --expand false >"$dir/trayer.log" 2>&1 &
tray_pid=$!
# The tray is ready when trayer's window exists; the test waits for the
# tray selection itself.
for _ in $(seq 1 200); do
  xdotool search --class trayer >/dev/null 2>&1 && break
  kill -0 "$tray_pid" 2>/dev/null || { cat "$dir/trayer.log" >&2; exit 1; }
  sleep 0.05
done

# A session bus of its own, as a desktop session has, for the desktop
# notifications; it ends with the command.
QT_QPA_PLATFORM=xcb dbus-run-session -- "$@"
