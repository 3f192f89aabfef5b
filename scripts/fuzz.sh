#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on), replays each
# target's seed corpus, then fuzzes each target for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET…]
# SECONDS per target (default 60); TARGET names such as json or line_reader (default
# all). Inputs found along the way are kept in BUILD/fuzz-corpus/<target>, so a later
# run goes on from there; crashes are saved as BUILD/fuzz-artifacts/<target>-crash-…
# and make the script fail. BUILD is $QUILLORE_FUZZ_BUILD, else build-fuzz.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${QUILLORE_FUZZ_BUILD:-$root/build-fuzz}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

"$root/scripts/setup.sh" "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQUILLORE_FUZZ=ON -DQUILLORE_SANITIZE=address,undefined -DQUILLORE_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/fuzz/fuzz_*; do
    [ -x "$binary" ] && targets+=("${binary##*/fuzz_}")
  done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets built" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/fuzz-artifacts"
failed=()
for name in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$name
  seeds=$root/tests/fuzz/corpus/$name
  found=$build/fuzz-corpus/$name
  mkdir -p "$found" "$seeds"
  flags=(-timeout=30 -rss_limit_mb=2048 -artifact_prefix="$build/fuzz-artifacts/$name-")
  case $name in
    line_reader | line_pump) flags+=(-max_len=8192) ;;
    # The image library keeps caches of its own for the life of the process. A small
    # file may hold a large valid picture: up to the pixel limit, a 16-bit buffer is
    # reserved (4 GiB) and filled as rows are decoded.
    image) flags+=(-max_len=65536 -detect_leaks=0 -rss_limit_mb=4096 -malloc_limit_mb=8192) ;;
  esac
  echo "== $name: seed corpus, then ${seconds}s"
  # Every seed once (crash reproducers kept in the corpus included), then fuzzing.
  if ! "$binary" "${flags[@]}" -runs=0 "$seeds" ||
     ! "$binary" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 "$found" "$seeds"; then
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (see $build/fuzz-artifacts)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets clean"
