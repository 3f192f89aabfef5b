#!/usr/bin/env bash
# Starts the stand-in app in the foreground, in this very process (exec), under
# the process name "Quillore", so that `pgrep -x Quillore` finds it and its pid
# is the one this script was started with. The name comes from the executable's
# file name, so node is started through a symlink named Quillore.
#   tests/e2e/app/run-app.sh --socket /tmp/quillore.sock [switches]   (--help lists them)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
node=$(command -v node) || { echo "run-app.sh: node is not installed" >&2; exit 127; }
node=$(readlink -f "$node" 2>/dev/null || echo "$node")

# One symlink per user; replaced atomically, so concurrent starts never see it half made.
bin=${TMPDIR:-/tmp}/quillore-app-$(id -u)
mkdir -p "$bin"
if [ "$(readlink "$bin/Quillore" 2>/dev/null)" != "$node" ]; then
  ln -sfn "$node" "$bin/Quillore.$$"
  mv -f "$bin/Quillore.$$" "$bin/Quillore"
fi
exec "$bin/Quillore" "$here/main.js" "$@"
