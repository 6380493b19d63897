#!/usr/bin/env bash
# Checks that includes run one way only, from the programs down to the platform:
#   host/, connector/, tools/  ->  NotificationService/  ->  Services/  ->  platform/
# platform/ never sees the services or the programs; the services never see the
# platform's backends (platform/file, platform/linux) or its test doubles.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
forbid() {  # forbid DIR PATTERN WHY
    local hits
    hits=$(grep -rnE "^#include \"($2)" "$1" --include='*.h' --include='*.cpp' || true)
    if [ -n "$hits" ]; then
        echo "layout: $1 must not include $3:" >&2
        echo "$hits" >&2
        status=1
    fi
}
programs='host/|connector/|tools/|bench/|tests/'
forbid platform "NotificationService/|Services/|$programs" "the services or the programs"
forbid Services "NotificationService/|platform/(file|linux|testing)/|$programs" "the front, the backends or the programs"
forbid NotificationService "platform/(file|linux|testing)/|$programs" "the backends or the programs"
for d in platform/file platform/linux; do
    forbid "$d" "platform/testing/" "the test doubles"
done
if [ "$status" -eq 0 ]; then echo "layout: includes run one way"; fi
exit "$status"
