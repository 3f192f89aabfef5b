#!/usr/bin/env bash
# Every test: the layout check, the plain build, then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the relay's tests under ThreadSanitizer.
#   scripts/test.sh            all three, then a brief run of every fuzz target
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || sysctl -n hw.ncpu)

run() { # build-dir ctest-arguments…
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

"$root/scripts/setup.sh" "$root/build"
"$root/scripts/check-format.sh"
run "$root/build"
[ "${1:-}" = --quick ] && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$root/scripts/setup.sh" "$root/build-asan" -DQUILLORE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
run "$root/build-asan" -LE nosanitize

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# Only the relay runs threads of its own around shared state: the bridge and its tests
# are built here, not quillore-finish.
QUILLORE_BUILD_TARGETS="quillore-mcp test_cli_relay" \
  "$root/scripts/setup.sh" "$root/build-tsan" -DQUILLORE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
run "$root/build-tsan" -L relay

# Every fuzz target over its seed corpus and for a few seconds, so that a crash that
# was once found and fixed, or an easy new one, fails the run.
"$root/scripts/fuzz.sh" 5
