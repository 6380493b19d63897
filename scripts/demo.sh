#!/usr/bin/env bash
# The main job: builds the host and answers a sample push with it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
dir=$(scripts/build.sh -DTAMSEL_TESTS=OFF | tail -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bundle"
cat > "$work/bundle/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.brindaxel.tamsel.NotificationService</string>
  <key>TAMSEL_API_BASE_URL</key><string>https://127.0.0.1:9/</string>
</dict></plist>
PLIST
group=$(printf '0123456789abcdef%.0s' 1 2 3 4)
{
  echo '{"identifier":"visible-1","content":{"title":"Hello","body":"An ordinary push","userInfo":{}}}'
  echo "{\"identifier\":\"wakeup-1\",\"content\":{\"title\":\"New message\",\"userInfo\":{\"tamsel\":{\"version\":\"notification-wakeup.v2\",\"groupKey\":\"$group\"}}}}"
} | "$dir/tamsel-notification-service" --bundle "$work/bundle" --platform-root "$work/root" --time-budget 2
