#!/usr/bin/env bash
# Builds the command-line benchmark and runs it against a build tree's quillore-cli.
#   bench/cli/run.sh [BUILD_DIR] [--runs N] [--image-mb M] [--image-runs K]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
bench=$build/bench-cli
mkdir -p "$bench"
c++ -std=c++20 -O2 -Wall -Wextra -o "$bench/cli_bench" "$root/bench/cli/cli_bench.cpp"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
"$bench/cli_bench" "$build/quillore-cli" "$@"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || uptime)"
