#!/usr/bin/env bash
# The main job: builds everything, then shows each program at work against the
# stand-in app (scripts/demo-*.sh, in order).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" "$root/build"
export PATH="$root/build:$PATH"
for part in "$root"/scripts/demo-*.sh; do
  [ -e "$part" ] || continue
  bash "$part"
done
