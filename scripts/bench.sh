#!/usr/bin/env bash
# The benchmarks: builds in Release into build-bench/, then prints one line per
# figure, each a ratio against its limit measured in the same run (see
# docs/performance.md). Scratch files go to $TMPDIR (default /tmp): run it on the
# file system whose cost you want to see. Extra arguments go to scripts/bench.py
# (--only PARTS, --repeat N for the protocol runs, --messages N for the pushes
# through the connector, --json FILE for every raw number).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
dir=build-bench
# The build's output goes to build-bench/build.log and is shown only when it fails.
mkdir -p "$dir"
. scripts/configure.sh
if ! { configure "$dir" -DCMAKE_BUILD_TYPE=Release -DTAMSEL_TESTS=OFF -DTAMSEL_BENCH=ON -DTAMSEL_SANITIZE= &&
       cmake --build "$dir" -j "$(nproc)" --target tamsel_bench tamsel-notification-service \
         tamsel-delivery-service tamsel-push-connector
     } > "$dir/build.log" 2>&1; then
  cat "$dir/build.log" >&2
  exit 1
fi
# The connector's figures speak D-Bus: Debian's python3, which has python3-dbus.
exec /usr/bin/python3 scripts/bench.py "$dir" "$@"
