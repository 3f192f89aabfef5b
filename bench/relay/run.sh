#!/usr/bin/env bash
# What the relay costs: small round trips and one large result line through
# quillore-mcp, each against doing without it, measured in the same run.
#   bench/relay/run.sh [relay_bench options: --trips N --rounds N --size MIB]
# Builds an optimised quillore-mcp and the benchmark program (target relay-bench,
# -DQUILLORE_BENCH=ON) in <repo>/build-bench/relay (RelWithDebInfo is what the
# product ships with; BUILD_TYPE=Release changes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build-bench/relay}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DQUILLORE_TESTS=OFF \
  -DQUILLORE_BENCH=ON >/dev/null
cmake --build "$build" --target quillore-mcp relay-bench -j "${JOBS:-2}" >/dev/null
echo "relay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
"$build/bench/relay-bench" "$build/quillore-mcp" "$@"
