#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Quick when everything is present: apt is only asked when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ca-certificates curl openssl
  libcurl4-openssl-dev nlohmann-json3-dev libpcre2-dev libplist-dev
  libcpp-httplib-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev python3
  # Desktop backends and their headless tests: sd-bus and the journal, the
  # Secret Service client, a private session bus, a mock notification server and
  # a real keyring daemon; the screenshot needs an X server, a notification
  # daemon and an image writer.
  libsystemd-dev libsecret-1-dev libdbus-1-dev dbus python3-dbusmock gnome-keyring help2man
  xvfb dunst x11-apps imagemagick
  # The test UnifiedPush distributor: D-Bus with a GLib main loop, VAPID checks.
  python3-dbus python3-gi python3-cryptography
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
