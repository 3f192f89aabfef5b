#!/usr/bin/env bash
# quillore-finish at work: the three finishing modes on the sample renders in
# samples/ (BASE, DARK and BRIGHT of one photo). Expects quillore-finish on PATH
# (scripts/demo.sh puts the build folder there). The results go to a temporary
# folder, or to the folder given as the first argument.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
samples=$root/samples
out=${1:-}
if [ -z "$out" ]; then
  out=$(mktemp -d "${TMPDIR:-/tmp}/quillore-finish-demo.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
mkdir -p "$out"

echo "== quillore-finish on $(basename "$samples")/base.jpg, dark.jpg, bright.jpg"
run() {
  echo "\$ quillore-finish $*"
  quillore-finish "$@"
}
run --mode keep-highlights --strength 2 --out "$out/keep-highlights.jpg" \
  "$samples/base.jpg" "$samples/dark.jpg"
run --mode darken-sky --sky 0.45 --out "$out/darken-sky.jpg" \
  "$samples/base.jpg" "$samples/dark.jpg"
run --mode balance --strength 3 --out "$out/balance.jpg" \
  "$samples/base.jpg" "$samples/dark.jpg" "$samples/bright.jpg"

# A failure: one message on standard error, status 1, nothing written.
echo "\$ quillore-finish --mode balance --out $out/none.jpg base.jpg dark.jpg"
status=0
quillore-finish --mode balance --out "$out/none.jpg" "$samples/base.jpg" "$samples/dark.jpg" 2>&1 || status=$?
echo "(exit status $status)"
[ "$status" = 1 ] && [ ! -e "$out/none.jpg" ]
ls -l "$out"
