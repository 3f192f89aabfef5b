#!/usr/bin/env bash
# quillore-cli at work against the stand-in app (tests/e2e/app): the tool list, one
# tool's help, and a call that writes the PNG preview it gets back. Expects
# quillore-cli on PATH (scripts/demo.sh puts the build folder there). The app listens
# on a socket in a temporary folder, where the images go too; both are removed at
# the end. Every command is printed before its output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillore-cli-demo.XXXXXX")
app_pid=""
cleanup() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export QL_AGENT_SOCK=$work/app.sock
export QL_NO_LAUNCH=1  # the stand-in is started here; never start anything else
"$root/tests/e2e/app/run-app.sh" --socket "$QL_AGENT_SOCK" >"$work/app.out" 2>&1 &
app_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/app.out" 2>/dev/null && break
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.out" >&2; exit 1; }
  sleep 0.1
done
grep -q "listening on" "$work/app.out" || { echo "demo-cli: the stand-in app did not start" >&2; exit 1; }

echo "== quillore-cli against the stand-in app on $QL_AGENT_SOCK"
# run EXPECTED-STATUS ARGUMENTS…: shows the command, its output and its exit status.
run() {
  local expected=$1
  shift
  echo "\$ quillore-cli $*"
  local status=0
  quillore-cli "$@" || status=$?
  echo "(exit status $status)"
  echo
  [ "$status" = "$expected" ] || { echo "demo-cli: expected exit status $expected" >&2; exit 1; }
}
run 0 tools
run 0 help render-preview
run 0 render-preview --photo-id DSCF0042 --out "$work/previews"
echo "\$ ls -l $work/previews"
ls -l "$work/previews"
echo
ls "$work"/previews/render_preview-*-1.png >/dev/null
# A usage error: one JSON object with the message, exit status 2, no call made.
run 2 render-preview --photo-id DSCF0042 --quality high
