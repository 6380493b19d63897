#!/usr/bin/env bash
# Configures and builds into build/ (or build-<sanitizer>/). Usage:
#   scripts/build.sh [--sanitize address|thread] [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; shift 2; fi
dir=build${sanitize:+-$sanitize}
# Options are always given, so one build dir serves the demo and the tests alike.
cmake -S . -B "$dir" -DTAMSEL_SANITIZE="$sanitize" -DTAMSEL_TESTS=ON -DTAMSEL_BENCH=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
echo "$dir"
