#!/usr/bin/env bash
# Checks that every C++ file of the repository is laid out as .clang-format says.
# The layout is made by clang-format 14 (Debian 12's); other versions lay out a few
# constructs differently, so with another version the check is skipped with a note.
#   scripts/check-format.sh          check, list the files that differ, fail if any
#   scripts/check-format.sh --fix    rewrite them in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tool=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$tool" ]; then
  echo "check-format: clang-format is not installed; skipped" >&2
  exit 0
fi
version=$("$tool" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
if [ "$version" != 14 ]; then
  echo "check-format: $tool is version $version, the layout is made with 14; skipped" >&2
  exit 0
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc' '*.hpp')
if [ "${1:-}" = --fix ]; then
  "$tool" -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  "$tool" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: laid out differently from .clang-format (scripts/check-format.sh --fix mends them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files laid out as .clang-format says"
