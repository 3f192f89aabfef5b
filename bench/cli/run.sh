#!/usr/bin/env bash
# Builds the command-line benchmark and runs it against a build tree's quillore-cli.
#   bench/cli/run.sh [BUILD_DIR] [--runs N] [--image-mb M] [--image-runs K]
# The benchmark program (target cli-bench) is built in BUILD_DIR (default <repo>/build),
# configured with -DQUILLORE_BENCH=ON.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -DQUILLORE_BENCH=ON >/dev/null
cmake --build "$build" --target quillore-mcp cli-bench -j "${JOBS:-2}" >/dev/null
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
"$build/bench/cli-bench" "$build/quillore-cli" "$@"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
