#!/usr/bin/env bash
# Builds the record fuzz target with clang and runs it for SECONDS on a copy of
# the seed corpus, so nothing it finds is written into the repository. Fails on
# any crash, leak or sanitizer report. Usage: scripts/fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
case $seconds in '' | *[!0-9]*) echo "fuzz: SECONDS must be a whole number" >&2; exit 2 ;; esac

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTAMSEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j 2 --target records_fuzz >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp fuzz/corpus/records/* "$work/corpus/"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
status=0
(cd "$work" && "$root/build-fuzz/records_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -dict="$root/fuzz/records.dict" -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
  corpus) >"$work/log" 2>&1 || status=$?
# A report that did not stop the run still fails it.
if [ "$status" -ne 0 ] || grep -qE 'runtime error:|ERROR: (Address|Leak|Undefined)Sanitizer|deadly signal' "$work/log"; then
  tail -n 60 "$work/log" >&2
  for artifact in "$work"/artifacts/*; do
    [ -e "$artifact" ] && { echo "fuzz: input $(basename "$artifact"):" >&2; od -c "$artifact" | head -n 20 >&2; }
  done
  echo "fuzz: records_fuzz failed (status $status)" >&2
  exit 1
fi
grep -E '^stat::number_of_executed_runs|^Done' "$work/log" || true
echo "fuzz: records_fuzz ran ${seconds} s clean"
