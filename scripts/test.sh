#!/usr/bin/env bash
# Every test: the layout check, the plain build, then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then ThreadSanitizer over the two parts that run threads (the
# relay, quillore-finish), then a brief run of every fuzz target.
#   scripts/test.sh            all of it
#   scripts/test.sh --quick    the plain build only
#   scripts/test.sh --aarch64  all of it, then scripts/test-aarch64.sh (aarch64 under emulation)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || sysctl -n hw.ncpu)
quick=0 aarch64=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    --aarch64) aarch64=1 ;;
    *) echo "usage: scripts/test.sh [--quick | --aarch64]" >&2; exit 2 ;;
  esac
done

run() { # build-dir ctest-arguments…
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

"$root/scripts/setup.sh" "$root/build"
"$root/scripts/check-format.sh"
run "$root/build"
[ "$quick" = 1 ] && exit 0

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$root/scripts/setup.sh" "$root/build-asan" -DQUILLORE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
run "$root/build-asan" -LE nosanitize

# The relay (a reader thread per connection) and quillore-finish (a thread pool, and the image
# library's own threads) under ThreadSanitizer: their tests, then quillore-finish on real
# renders in every mode. The suppressions name third-party libraries only. Each word of a
# buffer the image library copies is a suppressed race of its own: without
# suppress_equal_addresses=0 the sanitizer compares each with all the earlier ones, which
# takes minutes per image. GLib hands out memory from slices of its own unless told to use
# malloc, and then memory that one thread gave back and another took looks shared.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppress_equal_addresses=0:suppressions=$root/tests/tsan.supp}
export G_SLICE=always-malloc
QUILLORE_BUILD_TARGETS="quillore-mcp test_cli_relay quillore-finish test_finish" \
  "$root/scripts/setup.sh" "$root/build-tsan" -DQUILLORE_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
run "$root/build-tsan" -L 'relay|finish'
(
  . "$root/scripts/lib/renders.sh"
  finish_every_way "$root/build-tsan/quillore-finish" "$root/build-tsan/renders/inputs" "$root/build-tsan/renders"
  echo "quillore-finish under ThreadSanitizer: 18 runs on real renders passed"
)

# Every fuzz target over its seed corpus and for a few seconds, so that a crash that
# was once found and fixed, or an easy new one, fails the run.
"$root/scripts/fuzz.sh" 5

[ "$aarch64" = 0 ] || "$root/scripts/test-aarch64.sh"
