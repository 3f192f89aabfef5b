#!/usr/bin/env bash
# Installs what the build and the tests need (only what is missing), then configures
# and builds one tree. Safe to run again.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments…]
#   QUILLORE_BUILD_TARGETS="a b" scripts/setup.sh …   builds only those targets
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
. "$root/scripts/lib/install.sh"
shift || true

debian_packages=(g++ cmake ninja-build pkg-config git libgtest-dev libgmock-dev
  nlohmann-json3-dev libicu-dev libvips-dev libvips-tools libtiff-dev libjpeg-dev libsimdjson-dev nodejs npm procps
  libimage-exiftool-perl clang libclang-rt-14-dev clang-format)

if [ "$(uname)" = Darwin ]; then
  for f in cmake ninja googletest nlohmann-json icu4c vips libtiff jpeg-turbo simdjson node exiftool clang-format; do
    brew list --versions "$f" >/dev/null 2>&1 || brew install "$f"
  done
else
  # nodejs from another source (no npm package) is fine as long as node and npm run.
  wanted=()
  for p in "${debian_packages[@]}"; do
    if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
    if [ "$p" = nodejs ] && command -v node >/dev/null; then continue; fi
    wanted+=("$p")
  done
  install_missing setup "${wanted[@]}"
fi

# The stand-in app and the agent used by the tests run on the MCP SDK from npm.
e2e=$root/tests/e2e
if [ ! -d "$e2e/node_modules" ] || [ "$e2e/package-lock.json" -nt "$e2e/node_modules/.package-lock.json" ]; then
  (cd "$e2e" && npm ci --no-audit --no-fund --loglevel=error)
fi

cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
# QUILLORE_BUILD_TARGETS limits the build to some targets (default: all of them).
targets=()
for t in ${QUILLORE_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" ${targets[@]+"${targets[@]}"}
