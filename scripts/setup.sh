#!/usr/bin/env bash
# Installs the Debian packages one purpose needs, and nothing more:
#   scripts/setup.sh demo      build the programs and run the main job
#   scripts/setup.sh test      also the test suites, sanitizers, fuzzers, the package
#   scripts/setup.sh desktop   also a headless desktop for scripts/desktop-screenshot.sh
#   scripts/setup.sh bench     also the benchmarks
#   scripts/setup.sh all       everything (the default)
# Quick when everything is present: apt is asked only when a package is missing.
# Installing needs root: as another user it runs apt-get through sudo.
set -euo pipefail
purpose=${1:-all}

# Building the programs: the extension host, the push connector (sd-bus), the
# desktop backends (Secret Service), and the reference delivery service.
build=(build-essential cmake ninja-build pkg-config ca-certificates
  libcurl4-openssl-dev nlohmann-json3-dev libpcre2-dev libplist-dev libssl-dev
  libsystemd-dev libsecret-1-dev libdbus-1-dev libcpp-httplib-dev)
# The main job: a private session bus, the test distributor (D-Bus with a GLib
# main loop, VAPID checks), curl and python3 for the script itself.
demo=(dbus python3 python3-dbus python3-gi python3-cryptography curl)
# The suites: GoogleTest, clang for the fuzzers, clang-format for CI's check,
# a mock notification server and a real keyring daemon, man pages and the
# Debian package, a compiler cache.
test=(libgtest-dev libgmock-dev clang libclang-rt-14-dev clang-format
  python3-dbusmock gnome-keyring help2man dpkg-dev ccache git)
desktop=(xvfb dunst x11-apps imagemagick)
bench=(libbenchmark-dev)

packages=("${build[@]}" "${demo[@]}")
case $purpose in
  demo) ;;
  test) packages+=("${test[@]}" "${bench[@]}") ;;
  desktop) packages+=("${desktop[@]}") ;;
  bench) packages+=("${test[@]}" "${bench[@]}") ;;
  all) packages+=("${test[@]}" "${bench[@]}" "${desktop[@]}") ;;
  *) echo "setup: unknown purpose '$purpose' (demo, test, desktop, bench or all)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "setup: installing ${#missing[@]} Debian packages for '$purpose' (a few minutes the first time): ${missing[*]}" >&2
"${sudo_cmd[@]}" apt-get update -q >&2
# apt's own progress, one line per step, rather than minutes of silence.
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
  -o Dpkg::Progress-Fancy=0 "${missing[@]}" | grep -E '^(Get:|Setting up|Unpacking)' >&2 || true
# grep's status says nothing about apt's: check that everything is there now.
for p in "${missing[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { echo "setup: $p did not install" >&2; exit 1; }
done
echo "setup: done" >&2
