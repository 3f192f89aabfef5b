#!/usr/bin/env bash
# The main job: builds the three programs (quillore-mcp, the quillore-cli link and
# quillore-finish; scripts/test.sh builds the tests), then shows each at work against
# the stand-in app (scripts/demo-*.sh, in order).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
QUILLORE_BUILD_TARGETS="quillore-mcp quillore-finish" "$root/scripts/setup.sh" "$root/build"
export PATH="$root/build:$PATH"
for part in "$root"/scripts/demo-*.sh; do
  [ -e "$part" ] || continue
  bash "$part"
done
