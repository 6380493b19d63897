#!/usr/bin/env bash
# Shows the main job's notifications on a Linux desktop: starts a headless X
# server (Xvfb) and a real notification daemon (dunst) on a session bus of their
# own, runs the main job (scripts/demo.sh) with --notifications desktop, and
# saves a screenshot of the notifications to docs/desktop-notifications.png (or
# the path given).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/desktop-notifications.png}")

if [ -z "${TAMSEL_SCREENSHOT_BUS:-}" ]; then
  scripts/setup.sh desktop
  # Everything below runs on a private session bus that ends with the script,
  # so nothing reaches (or is taken from) the desktop this runs on, if any. Its
  # service directory is where the main job puts the file that lets the bus
  # start the push connector.
  bus_dir=$(mktemp -d)
  trap 'rm -rf "$bus_dir"' EXIT
  mkdir "$bus_dir/services"
  cat > "$bus_dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <servicedir>$bus_dir/services</servicedir>
</busconfig>
CONF
  status=0
  TAMSEL_SCREENSHOT_BUS=1 TAMSEL_DEMO_SERVICES="$bus_dir/services" \
    dbus-run-session --config-file "$bus_dir/bus.conf" -- "$0" "$@" || status=$?
  exit "$status"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $1 tenths of a second for the command that follows to succeed.
within() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

has_owner() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q "boolean true"
}

# A display number of the X server's own choosing, written to fd 3.
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
within 100 test -s "$work/display" || { echo "desktop-screenshot: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"

dunst -config scripts/desktop/dunstrc >"$work/dunst.log" 2>&1 &
pids+=($!)
within 100 has_owner org.freedesktop.Notifications ||
  { echo "desktop-screenshot: dunst did not start" >&2; cat "$work/dunst.log" >&2; exit 1; }

echo "desktop-screenshot: running the main job with --notifications desktop" >&2
HOST_FLAGS="--notifications desktop${HOST_FLAGS:+ $HOST_FLAGS}" scripts/demo.sh

# Let dunst draw what arrived last.
sleep 1
mkdir -p "$(dirname "$out")"
# The notifications stack in the top-right corner; keep that part of the screen.
import -display "$DISPLAY" -window root -crop 540x340+740+0 +repage "$out"
echo "desktop-screenshot: saved $out" >&2
