#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite. Usage:
#   scripts/test.sh [--sanitize address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
dir=$(scripts/build.sh "$@" | tail -n 1)
cmd=(ctest --test-dir "$dir" --output-on-failure -j 2)
if [ "${1:-}" = "--sanitize" ] && [ "${2:-}" = "thread" ]; then
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
  # ThreadSanitizer cannot map its shadow memory under the kernel's widest
  # address randomisation; run the suites without it.
  cmd=(setarch "$(uname -m)" -R "${cmd[@]}")
fi
if [ "${1:-}" = "--sanitize" ] && [ "${2:-}" = "address" ]; then
  export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 ${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
fi
"${cmd[@]}"
