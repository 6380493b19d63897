#!/usr/bin/env bash
# Configures and builds into build/ (or build-<sanitizer>/) and prints that
# directory as its last line; the build's own progress goes to stderr. Usage:
#   scripts/build.sh [--sanitize address|thread] [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; shift 2; fi
dir=build${sanitize:+-$sanitize}
. scripts/configure.sh
# Options are always given, so that one build dir serves every script.
configure "$dir" -DTAMSEL_SANITIZE="$sanitize" -DTAMSEL_TESTS=ON -DTAMSEL_BENCH=ON "$@" >/dev/null
echo "build: building in $dir" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
