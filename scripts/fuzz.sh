#!/usr/bin/env bash
# Builds each fuzz target (fuzz/NAME_fuzz.cpp) with clang and runs it for
# SECONDS on a copy of its seed corpus (fuzz/corpus/NAME/, with fuzz/NAME.dict
# when there is one), so nothing it finds is written into the repository. Fails
# on any crash, leak or sanitizer report. Usage: scripts/fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
case $seconds in '' | *[!0-9]*) echo "fuzz: SECONDS must be a whole number" >&2; exit 2 ;; esac

targets=()
for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done

. scripts/configure.sh
CC=clang CXX=clang++ configure build-fuzz -DTAMSEL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

for target in "${targets[@]}"; do
  name=${target%_fuzz}
  dir="$work/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "fuzz/corpus/$name"/* "$dir/corpus/"
  dict=()
  if [ -f "fuzz/$name.dict" ]; then dict=(-dict="$root/fuzz/$name.dict"); fi
  status=0
  (cd "$dir" && "$root/build-fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    "${dict[@]}" -artifact_prefix="$dir/artifacts/" -print_final_stats=1 \
    corpus) >"$dir/log" 2>&1 || status=$?
  # A report that did not stop the run still fails it.
  if [ "$status" -ne 0 ] || grep -qE 'runtime error:|ERROR: (Address|Leak|Undefined)Sanitizer|deadly signal' "$dir/log"; then
    tail -n 60 "$dir/log" >&2
    for artifact in "$dir"/artifacts/*; do
      [ -e "$artifact" ] && { echo "fuzz: input $(basename "$artifact"):" >&2; od -c "$artifact" | head -n 20 >&2; }
    done
    echo "fuzz: $target failed (status $status)" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_runs|^Done' "$dir/log" || true
  echo "fuzz: $target ran ${seconds} s clean"
done
