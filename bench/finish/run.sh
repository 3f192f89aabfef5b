#!/usr/bin/env bash
# quillore-finish against its peers: enfuse and OpenCV's exposure fusion, on
# the same three renders, whole process from start to exit (reading and
# writing the files included), each with all cores, side by side in one run.
#
#   bench/finish/run.sh [options]
#     --finish PATH     the quillore-finish to measure (default <repo>/build/quillore-finish;
#                       when it does not exist its rows show "missing")
#     --inputs DIR      cache of the input triples (default $BENCH_INPUTS or /work/bench-inputs);
#                       made with make_inputs.sh when any file is missing
#     --samples DIR     folder holding make_inputs.sh (default $SAMPLES, /work/shared/samples,
#                       or <repo>/../shared/samples)
#     --rounds N        rounds (default 5); every round runs every program once, in an order
#                       that rotates from round to round
#     --skip-24mp       leave out the 6000×4000 set (it is in by default)
#     --sets "A B"      which sets to run, of 6mp 24mp 6mp16 (default all three)
#     --build DIR       where the helper programs are built (default <repo>/build-bench/finish)
#     --no-install      do not apt-get install missing packages
#     --keep DIR        keep the last output of every program in DIR (default: a temporary
#                       folder that is removed at the end)
#
# What runs, per input set (BASE, DARK, BRIGHT of one photo; levels L as quillore-finish
# uses them: max(floor(log2(min(w, h))) − 3, 1), so 7 at 3000×2000 and 8 at 6000×4000):
#   enfuse      enfuse --exposure-weight=1 --saturation-weight=1 --contrast-weight=1
#               --blend-colorspace=identity -l L --compression=95 (JPEG) / none (TIFF)
#   opencv      bench/finish/mertens.cpp: imread ×3, createMergeMertens(1,1,1), imwrite
#   floor-3     bench/finish/floor.cpp (libvips): decode the three renders into memory,
#               encode one (JPEG quality 95 / uncompressed TIFF, metadata kept)
#   floor-3c    the same with the three decodes on three threads (for information)
#   floor-2     the same for two renders (the floor of the two-render modes)
#   finish <mode>   quillore-finish --mode <mode> --out OUT BASE DARK [BRIGHT], for
#               balance (three renders), keep-highlights and darken-sky (two renders)
# plus, every round, bench/finish/bandwidth.cpp: a multi-threaded copy on all cores.
#
# Each run is timed by /usr/bin/time -f '%e %M' (wall seconds, peak RSS). The table
# shows the median wall time over the rounds, the range, the largest peak RSS, and:
#   enfuse/this, OpenCV/this   how many times faster than the peer (higher is better)
#   this/floor                 time over the modelled floor (lower is better)
#
# The modelled floor of a mode = the measured floor-3 (balance) or floor-2 (two-render
# modes) + the blend's memory traffic / the measured bandwidth. The traffic is the
# count of bytes quillore-finish itself streams through memory (read plus written),
# pass by pass, per level-0 pixel, with f = 4/3 the size of a whole pyramid, n renders
# and Bi bytes per decoded pixel (RGBX: 4 for 8-bit, 8 for 16-bit):
#   weight maps    balance: each render read, its map written, n·(Bi + 4);
#                  keep-highlights: BASE read, luma written, read, both maps written,
#                  Bi + 16; darken-sky: mask written, read, complement written, 12
#   normalising    8n (every map read and written)
#   weight pyramids (n − 1)·(4f + 4(f − 1)) (each level but the last read, the coarser
#                  written; none for the last render, whose weights are worked out as
#                  one minus the others')
#   per channel, the first render   Bi + 8 + 16(f − 1): each level is reduced and its
#                  detail added in one banded sweep, so level 0 is read from the render
#                  once; the weight read, the accumulator written; coarser levels:
#                  level written (by the reduce above), read, weight read, accumulator
#                  written
#   per channel, each other render  Bi + 12 + 20(f − 1) (the accumulator read too),
#                  and for the last one 4(n − 2)f more (it reads the n − 1 other
#                  weights instead of its own)
#   per channel, two renders   one walk down the pyramid of their difference instead:
#                  2·Bi + 8 + 16(f − 1) (level 0 read from both renders), then render 1
#                  added back after the collapse, Bi + 8
#   collapse       8f + 4(f − 1) (each accumulator level read and written, the coarser
#                  one read)
#   emit           the blended plane read, the result's pixel words read and written
#                  (the result lies in BASE's buffer: balance mixes in BASE's value from
#                  the same words), 4 + 2·Bi
#   total          weights + 3 · (renders + collapse + emit): 337 B/px for balance at
#                  8 bits (84 passes over a float plane), 215 for keep-highlights, 207
#                  for darken-sky
# Not counted: the first writes to fresh memory (the kernel's page clearing).
# Bandwidth is counted the same way (bytes read + bytes written per second of a copy).
#
# Nothing here is a test: the figures are noisy on a shared machine; run it again
# (more rounds) for figures worth quoting.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

finish=$repo/build/quillore-finish
inputs=${BENCH_INPUTS:-/work/bench-inputs}
samples=${SAMPLES:-}
rounds=5
sets="6mp 24mp 6mp16"
build=$repo/build-bench/finish
install=1
keep=""

while [ $# -gt 0 ]; do
  case $1 in
    --finish) finish=$2; shift 2 ;;
    --inputs) inputs=$2; shift 2 ;;
    --samples) samples=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --skip-24mp) sets=$(echo "$sets" | tr ' ' '\n' | grep -vx 24mp | tr '\n' ' '); shift ;;
    --sets) sets=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-install) install=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --rounds needs a positive number" >&2; exit 2; }
for s in $sets; do
  case $s in 6mp|24mp|6mp16) ;; *) echo "run.sh: unknown set $s (6mp, 24mp, 6mp16)" >&2; exit 2 ;; esac
done

# ---- packages ---------------------------------------------------------------
packages=(g++ pkg-config time libvips-dev libopencv-dev enfuse
  python3 python3-opencv python3-numpy libimage-exiftool-perl icc-profiles-free dpkg)
if [ "$install" = 1 ]; then
  . "$repo/scripts/lib/install.sh"
  install_missing run.sh "${packages[@]}"
fi

# ---- inputs -----------------------------------------------------------------
names=(6mp_base.jpg 6mp_dark.jpg 6mp_bright.jpg 24mp_base.jpg 24mp_dark.jpg 24mp_bright.jpg
  6mp16_base.tif 6mp16_dark.tif 6mp16_bright.tif)
have_all=1
for f in "${names[@]}"; do [ -s "$inputs/$f" ] || have_all=0; done
if [ "$have_all" = 0 ]; then
  if [ -z "$samples" ]; then
    for d in /work/shared/samples "$repo/../shared/samples"; do
      if [ -f "$d/make_inputs.sh" ]; then samples=$d; break; fi
    done
  fi
  [ -n "$samples" ] && [ -f "$samples/make_inputs.sh" ] ||
    { echo "run.sh: inputs missing in $inputs and no make_inputs.sh found (use --samples)" >&2; exit 1; }
  echo "run.sh: preparing the inputs in $inputs (once)" >&2
  mkdir -p "$inputs"
  staging=$(mktemp -d "$inputs/.making.XXXXXX")
  (cd "$staging" && bash "$samples/make_inputs.sh" "$staging" >/dev/null)
  for f in "${names[@]}"; do mv -f "$staging/$f" "$inputs/$f"; done
  rm -rf "$staging"
fi

# ---- helper programs --------------------------------------------------------
mkdir -p "$build"
compile() { # output source flags…
  local out=$1 src=$2; shift 2
  if [ ! -x "$out" ] || [ "$src" -nt "$out" ] || [ "$0" -nt "$out" ]; then
    echo "run.sh: building $(basename "$out")" >&2
    g++ -std=c++20 -O2 -Wall -o "$out.tmp" "$src" "$@" && mv -f "$out.tmp" "$out"
  fi
}
# shellcheck disable=SC2046
compile "$build/floor" "$here/floor.cpp" $(pkg-config --cflags --libs vips-cpp)
compile "$build/bandwidth" "$here/bandwidth.cpp" -pthread
# shellcheck disable=SC2046
compile "$build/mertens" "$here/mertens.cpp" -Wno-deprecated-enum-enum-conversion \
  $(pkg-config --cflags --libs opencv4)

# ---- measuring --------------------------------------------------------------
if [ -n "$keep" ]; then mkdir -p "$keep"; work=$(cd "$keep" && pwd); else work=$(mktemp -d); fi
scratch=$(mktemp -d)
cleanup() { rm -rf "$scratch"; [ -n "$keep" ] || rm -rf "$work"; }
trap cleanup EXIT
results=$scratch/results    # lines: set program seconds peak-KiB   ("fail" / "missing" rows too)
: >"$results"

have_finish=0; [ -x "$finish" ] && have_finish=1

# measure SET PROGRAM OUT command…
measure() {
  local set=$1 prog=$2 out=$3; shift 3
  rm -f "$out"
  local log=$scratch/$set.$prog.log tf=$scratch/time
  if /usr/bin/time -f '%e %M' -o "$tf" "$@" >"$log" 2>&1 && [ -s "$out" ]; then
    echo "$set $prog $(tail -1 "$tf")" >>"$results"
  else
    echo "$set $prog fail" >>"$results"
    if [ ! -e "$scratch/$set.$prog.reported" ]; then
      touch "$scratch/$set.$prog.reported"
      { echo "run.sh: $prog on $set failed:"; tail -5 "$log" | sed 's/^/    /'; } >&2
    fi
  fi
}

levels_of() { # w h
  local m=$(( $1 < $2 ? $1 : $2 )) k=0
  while [ $(( 1 << (k + 1) )) -le "$m" ]; do k=$((k + 1)); done
  echo $(( k - 3 > 1 ? k - 3 : 1 ))
}

bandwidths=()
for set in $sets; do
  case $set in
    6mp|24mp) ext=jpg; enfuse_comp=95 ;;
    6mp16) ext=tif; enfuse_comp=none ;;
  esac
  B=$inputs/${set}_base.$ext D=$inputs/${set}_dark.$ext R=$inputs/${set}_bright.$ext
  read -r w h < <("$build/floor" --size "$B")
  L=$(levels_of "$w" "$h")
  echo "$set size $w $h $L" >>"$results"
  progs=(enfuse opencv floor-3 floor-3c floor-2 balance keep-highlights darken-sky)
  k=${#progs[@]}
  for ((r = 0; r < rounds; r++)); do
    echo "run.sh: $set round $((r + 1))/$rounds" >&2
    bw=$("$build/bandwidth" 2>>"$scratch/bandwidth.log")
    echo "$set bandwidth $bw" >>"$results"
    for ((i = 0; i < k; i++)); do
      p=${progs[$(( (i + r) % k ))]}
      o=$work/$set.$p.$ext
      case $p in
        enfuse) measure "$set" "$p" "$o" enfuse --exposure-weight=1 --saturation-weight=1 \
                  --contrast-weight=1 --blend-colorspace=identity -l "$L" \
                  --compression="$enfuse_comp" -o "$o" "$B" "$D" "$R" ;;
        opencv) measure "$set" "$p" "$o" "$build/mertens" "$o" "$B" "$D" "$R" ;;
        floor-3) measure "$set" "$p" "$o" "$build/floor" "$o" "$B" "$D" "$R" ;;
        floor-3c) measure "$set" "$p" "$o" "$build/floor" --concurrent "$o" "$B" "$D" "$R" ;;
        floor-2) measure "$set" "$p" "$o" "$build/floor" "$o" "$B" "$D" ;;
        balance|keep-highlights|darken-sky)
          if [ "$have_finish" = 1 ]; then
            args=("$B" "$D"); [ "$p" = balance ] && args+=("$R")
            measure "$set" "$p" "$o" "$finish" --mode "$p" --out "$o" "${args[@]}"
          else
            echo "$set $p missing" >>"$results"
          fi ;;
      esac
    done
  done
done

# ---- report -----------------------------------------------------------------
echo
echo "quillore-finish: $finish$([ "$have_finish" = 1 ] || echo " (missing)")"
echo "inputs: $inputs; rounds: $rounds; cores: $(nproc); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v sets="$sets" '
function median(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
function minimum(list,   a, n, i, m) { n = split(list, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 < m + 0) m = a[i]; return m }
function maximum(list,   a, n, i, m) { n = split(list, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 > m + 0) m = a[i]; return m }
# bytes per level-0 pixel streamed by quillore-finish (see the model in run.sh);
# mode 0 balance, 1 keep-highlights, 2 darken-sky
function traffic(n, bi, mode,   f, weights, first, other, collapse, emit) {
  f = 4 / 3
  weights = (mode == 0 ? n * (bi + 4) : (mode == 1 ? bi + 16 : 12)) + 8 * n + (n - 1) * (4 * f + 4 * (f - 1))
  first = bi + 8 + 16 * (f - 1)
  other = bi + 12 + 20 * (f - 1)
  collapse = 8 * f + 4 * (f - 1)
  emit = 4 + 2 * bi
  if (n == 2) return weights + 3 * ((2 * bi + 8 + 16 * (f - 1)) + (bi + 8) + collapse + emit)
  return weights + 3 * (first + (n - 1) * other + 4 * (n - 2) * f + collapse + emit)
}
function cell(v, fmt) { return v == "" ? "-" : sprintf(fmt, v) }
{
  if ($2 == "size") { w[$1] = $3; h[$1] = $4; L[$1] = $5; next }
  if ($2 == "bandwidth") { bw[$1] = bw[$1] " " $3; next }
  key = $1 SUBSEP $2
  if ($3 == "fail") { fails[key]++; next }
  if ($3 == "missing") { missing[key] = 1; next }
  t[key] = t[key] " " $3
  if ($4 + 0 > peak[key] + 0) peak[key] = $4
}
END {
  title["6mp"] = "6 MP JPEG triple"; title["24mp"] = "24 MP JPEG triple"; title["6mp16"] = "6 MP 16-bit TIFF triple"
  label["enfuse"] = "enfuse"; label["opencv"] = "OpenCV MergeMertens"
  label["floor-3"] = "floor: libvips decode 3 + encode 1"; label["floor-3c"] = "  the same, decodes concurrent"
  label["floor-2"] = "floor: libvips decode 2 + encode 1"
  label["balance"] = "quillore-finish balance"; label["keep-highlights"] = "quillore-finish keep-highlights"
  label["darken-sky"] = "quillore-finish darken-sky"
  np = split("enfuse opencv floor-3 floor-3c floor-2 balance keep-highlights darken-sky", progs, " ")
  ns = split(sets, S, " ")
  for (si = 1; si <= ns; si++) {
    s = S[si]
    if (!(s in w)) continue
    for (i = 1; i <= np; i++) { k = s SUBSEP progs[i]; med[progs[i]] = (k in t) ? median(t[k]) : "" }
    B = median(bw[s]); px = w[s] * h[s]; bi = (s == "6mp16") ? 8 : 4
    tr3 = traffic(3, bi, 0) * px / 1e9; tr2 = traffic(2, bi, 1) * px / 1e9
    fl["balance"] = med["floor-3"] == "" ? "" : med["floor-3"] + tr3 / B
    fl["keep-highlights"] = med["floor-2"] == "" ? "" : med["floor-2"] + tr2 / B
    fl["darken-sky"] = med["floor-2"] == "" ? "" : med["floor-2"] + (traffic(2, bi, 2) * px / 1e9) / B
    fl["enfuse"] = fl["balance"]; fl["opencv"] = fl["balance"]
    printf "\n%s, %dx%d, %d levels; bandwidth (copy, read+write) median %.1f GB/s\n", title[s], w[s], h[s], L[s], B
    printf "%-34s %9s %13s %9s %12s %12s %11s\n", "program", "median s", "range s", "peak MiB", "enfuse/this", "OpenCV/this", "this/floor"
    for (i = 1; i <= np; i++) {
      p = progs[i]; k = s SUBSEP p
      if ((k in missing) && !(k in t)) { printf "%-34s %9s\n", label[p], "missing"; continue }
      if (!(k in t)) { printf "%-34s %9s\n", label[p], "failed"; continue }
      m = med[p]
      fx = ((p in fl) && fl[p] != "") ? m / fl[p] : ""
      ex = (med["enfuse"] != "" && m > 0) ? med["enfuse"] / m : ""
      ox = (med["opencv"] != "" && m > 0) ? med["opencv"] / m : ""
      printf "%-34s %9.2f %13s %9.0f %12s %12s %11s%s\n", label[p], m, sprintf("%.2f-%.2f", minimum(t[k]), maximum(t[k])),
        peak[k] / 1024, cell(ex, "%.2f"), cell(ox, "%.2f"), cell(fx, "%.2f"), (k in fails) ? "  (" fails[k] " failed)" : ""
    }
    if (fl["balance"] != "")
      printf "modelled floor, balance: %.2f s decode/encode + %.2f GB / %.1f GB/s = %.2f s\n", med["floor-3"], tr3, B, fl["balance"]
    if (fl["keep-highlights"] != "")
      printf "modelled floor, keep-highlights: %.2f s + %.2f GB / %.1f GB/s = %.2f s\n", med["floor-2"], tr2, B, fl["keep-highlights"]
    if (med["balance"] != "") {
      gb = med["balance"]; gl = (s == "24mp") ? 2.5 : (s == "6mp" ? 0.7 : "")
      printf "goals: "
      if (gl != "") printf "balance <= %.1f s: %s; ", gl, ((gb <= gl) ? "met" : "not met")
      if (med["enfuse"] != "") printf "enfuse/balance >= 5: %s; ", ((med["enfuse"] / gb >= 5) ? "met" : "not met")
      if (med["opencv"] != "") printf "OpenCV/balance >= 6: %s; ", ((med["opencv"] / gb >= 6) ? "met" : "not met")
      if (s == "24mp") printf "peak <= 1024 MiB: %s; ", ((peak[s SUBSEP "balance"] / 1024 <= 1024) ? "met" : "not met")
      if (fl["balance"] != "") printf "balance/floor <= 1.5: %s", ((gb / fl["balance"] <= 1.5) ? "met" : "not met")
      printf "\n"
      for (q = 0; q < 2; q++) {
        mode = q ? "darken-sky" : "keep-highlights"
        if (med[mode] != "") printf "  %s/balance = %.2f (goal <= 0.67: %s)\n", mode, med[mode] / gb, ((med[mode] / gb <= 2 / 3) ? "met" : "not met")
      }
    }
  }
}' "$results"
echo
echo "bandwidth details (last lines):"
tail -3 "$scratch/bandwidth.log" | sed 's/^/  /'
[ -z "$keep" ] || echo "outputs kept in $work"
