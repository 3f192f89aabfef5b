#!/usr/bin/env bash
# What the relay costs: small round trips and one large result line through
# quillore-mcp, each against doing without it, measured in the same run.
#   bench/relay/run.sh [relay_bench options: --trips N --rounds N --size MIB]
# Builds an optimised quillore-mcp in <repo>/build-bench/relay (RelWithDebInfo is
# what the product ships with; BUILD_TYPE=Release changes it) and the benchmark
# program next to it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench/relay}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DQUILLORE_TESTS=OFF >/dev/null
cmake --build "$build" --target quillore-mcp -j "${JOBS:-2}" >/dev/null
c++ -std=c++20 -O2 -Wall -Wextra -pthread "$root/bench/relay/relay_bench.cpp" -o "$build/relay_bench"
echo "relay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
"$build/relay_bench" "$build/quillore-mcp" "$@"
