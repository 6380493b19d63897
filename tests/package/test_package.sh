#!/usr/bin/env bash
# Builds the Debian packages from a build directory with CPack and checks what
# they install: the programs, the desktop module they load on demand, the files
# that let D-Bus start the connector, the installed bundle and defaults (pointing
# into /usr), the man pages.
# Usage: tests/package/test_package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: test_package.sh BUILD_DIR}")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }

failures=0
fail() { echo "package: $*" >&2; failures=$((failures + 1)); }
contents() { dpkg-deb --contents "$1" | awk '{print $6}'; }
expect_files() {  # expect_files DEB PATH...
  local deb=$1 listing
  shift
  listing=$(contents "$deb")
  for path in "$@"; do grep -qxF "./$path" <<<"$listing" || fail "$(basename "$deb") lacks /$path"; done
}

extension=$(ls "$out"/tamsel-notification-service_*.deb 2>/dev/null) || true
service=$(ls "$out"/tamsel-delivery-service_*.deb 2>/dev/null) || true
[ -n "$extension" ] || { echo "package: no tamsel-notification-service package was built" >&2; exit 1; }
[ -n "$service" ] || { echo "package: no tamsel-delivery-service package was built" >&2; exit 1; }

expect_files "$extension" usr/bin/tamsel-notification-service usr/bin/tamsel-push-connector \
  usr/lib/tamsel-notification-service/tamsel-desktop.so \
  usr/share/dbus-1/services/com.brindaxel.tamsel.service \
  usr/lib/systemd/user/tamsel-push-connector.service \
  usr/share/applications/com.brindaxel.tamsel.desktop \
  usr/share/tamsel-notification-service/defaults.json \
  usr/share/tamsel-notification-service/bundle/Info.plist \
  usr/share/man/man1/tamsel-notification-service.1 usr/share/man/man1/tamsel-push-connector.1
expect_files "$service" usr/bin/tamsel-delivery-service usr/share/man/man1/tamsel-delivery-service.1
if contents "$extension" | grep -q tamsel-delivery-service; then fail "the extension package holds the delivery service"; fi

# What names installed paths must name the package's own.
root="$out/root"
dpkg-deb -x "$extension" "$root"
grep -qx 'Exec=/usr/bin/tamsel-push-connector serve' "$root/usr/share/dbus-1/services/com.brindaxel.tamsel.service" ||
  fail "the D-Bus service file does not start /usr/bin/tamsel-push-connector serve"
grep -qx 'SystemdService=tamsel-push-connector.service' "$root/usr/share/dbus-1/services/com.brindaxel.tamsel.service" ||
  fail "the D-Bus service file does not name the systemd unit"
grep -qx 'Type=dbus' "$root/usr/lib/systemd/user/tamsel-push-connector.service" || fail "the unit is not Type=dbus"
grep -qx 'BusName=com.brindaxel.tamsel' "$root/usr/lib/systemd/user/tamsel-push-connector.service" ||
  fail "the unit does not name the bus name"
python3 - "$root/usr/share/tamsel-notification-service/defaults.json" <<'PY' || fail "defaults.json is not what an install needs"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["bundle"] == "/usr/share/tamsel-notification-service/bundle", d
assert d["notifications"] == "desktop" and d["keychain"] == "secret-service", d
PY
dpkg-deb --field "$extension" Depends | grep -q 'libsystemd0' || fail "the extension package does not depend on libsystemd0"
dpkg-deb --field "$extension" Depends | grep -q 'libplist' ||
  fail "the extension package does not depend on libplist (which the host loads to read its bundle)"
dpkg-deb --field "$extension" Depends | grep -q 'libsecret-1-0' ||
  fail "the extension package does not depend on libsecret-1-0 (which its desktop module needs)"

# The host links none of the desktop's libraries; the module has them.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
host="$root/usr/bin/tamsel-notification-service"
module="$root/usr/lib/tamsel-notification-service/tamsel-desktop.so"
if needed "$host" | grep -qE '^lib(glib|gio|gobject|secret|systemd)'; then
  fail "the host links a desktop library itself: $(needed "$host" | tr '\n' ' ')"
fi
needed "$module" | grep -q '^libsecret-1' || fail "the desktop module does not link libsecret"
# The connector makes no requests: it loads no HTTP client while it waits.
connector="$root/usr/bin/tamsel-push-connector"
if needed "$connector" | grep -qE '^lib(curl|ssl|gnutls|nghttp2)'; then
  fail "the connector links an HTTP client: $(needed "$connector" | tr '\n' ' ')"
fi

# The installed host finds its module where the package put it: its defaults ask for
# the Secret Service, which loads it (no push, so nothing else happens); without the
# module it refuses to start.
run_installed() {
  "$host" --bundle "$root/usr/share/tamsel-notification-service/bundle" --platform-root "$out/platform" \
    --notifications file </dev/null 2>"$out/host.err"
}
run_installed || fail "the installed host did not start with its module: $(cat "$out/host.err")"
rm "$module"
status=0
run_installed || status=$?
[ "$status" -eq 2 ] && grep -q 'keychain secret-service is not available' "$out/host.err" ||
  fail "without its module the installed host did not refuse (status $status): $(cat "$out/host.err")"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "package: $(basename "$extension") and $(basename "$service") install what they should"
