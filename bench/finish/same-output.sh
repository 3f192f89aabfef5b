#!/usr/bin/env bash
# Checks that two builds of quillore-finish write the same bytes: every mode (and
# every strength of the modes that have one) on the given triples, and on crops of
# odd sizes made from the first triple of each kind.
#
#   bench/finish/same-output.sh REFERENCE NEW [--quick] TRIPLE…
#     REFERENCE, NEW   the two quillore-finish programs
#     TRIPLE           BASE:DARK:BRIGHT (three paths joined by colons)
#     --quick          one strength per mode on triples over 30 MP
# Prints one line per difference and "same: N runs" at the end; exits 1 on any
# difference or failure.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
ref=$1 new=$2
shift 2
quick=0
if [ "$1" = --quick ]; then quick=1; shift; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=0 bad=0

# one TRIPLE-LABEL BASE DARK BRIGHT MODE [OPTIONS…]
one() {
  local label=$1 b=$2 d=$3 r=$4 mode=$5
  shift 5
  local files=("$b" "$d")
  [ "$mode" = balance ] && files+=("$r")
  local ext=${b##*.}
  local a=$work/ref.$ext z=$work/new.$ext
  rm -f "$a" "$z"
  local sa=0 sz=0
  "$ref" --mode "$mode" "$@" --out "$a" "${files[@]}" >/dev/null 2>"$work/ref.err" || sa=$?
  "$new" --mode "$mode" "$@" --out "$z" "${files[@]}" >/dev/null 2>"$work/new.err" || sz=$?
  runs=$((runs + 1))
  if [ "$sa" != "$sz" ] || ! cmp -s "$work/ref.err" "$work/new.err"; then
    echo "DIFFERENT outcome: $label $mode $* (exit $sa / $sz)"; bad=$((bad + 1))
  elif [ "$sa" = 0 ] && ! cmp -s "$a" "$z"; then
    echo "DIFFERENT bytes: $label $mode $*"; bad=$((bad + 1))
  fi
}

all_modes() { # label base dark bright big
  local label=$1 b=$2 d=$3 r=$4 big=$5 strengths="1 2 3"
  [ "$big" = 1 ] && [ "$quick" = 1 ] && strengths=2
  for s in $strengths; do
    one "$label" "$b" "$d" "$r" balance --strength "$s"
    one "$label" "$b" "$d" "$r" keep-highlights --strength "$s"
  done
  one "$label" "$b" "$d" "$r" darken-sky
  [ "$big" = 1 ] && [ "$quick" = 1 ] || one "$label" "$b" "$d" "$r" darken-sky --sky 0.2
}

declare -A cropped
for triple in "$@"; do
  IFS=: read -r b d r <<<"$triple"
  pixels=$(( $(vipsheader -f width "$b") * $(vipsheader -f height "$b") ))
  big=0; [ "$pixels" -gt 30000000 ] && big=1
  all_modes "$(basename "$b")" "$b" "$d" "$r" "$big"
  # Odd sizes, once per file type and depth: sizes that cut unevenly into the
  # stripes and bands of the sweeps, a pyramid of one level, one row.
  kind="${b##*.}$(vipsheader -f format "$b")"
  [ -n "${cropped[$kind]:-}" ] && continue
  cropped[$kind]=1
  bw=$(vipsheader -f width "$b") bh=$(vipsheader -f height "$b")
  for size in 1001x667 613x431 517x987 70x37 31x29 45x1; do
    w=${size%x*} h=${size#*x}
    [ $((w + 7)) -le "$bw" ] && [ $((h + 5)) -le "$bh" ] || continue
    ext=${b##*.}
    for f in b d r; do
      vips crop "${!f}" "$work/crop_$f.$ext" 7 5 "$w" "$h"
    done
    all_modes "$size $kind" "$work/crop_b.$ext" "$work/crop_d.$ext" "$work/crop_r.$ext" 0
  done
done
echo "same: $((runs - bad)) of $runs runs"
[ "$bad" = 0 ]
