#!/usr/bin/env bash
# quillore-finish against its peers: enfuse and OpenCV's exposure fusion, on
# the same three renders, whole process from start to exit (reading and
# writing the files included), each with all cores, side by side in one run.
#
#   bench/finish/run.sh [options]
#     --finish PATH     the quillore-finish to measure (default <repo>/build/quillore-finish;
#                       when it does not exist its rows show "missing")
#     --baseline PATH   another quillore-finish (an earlier build, say) measured in the same
#                       rounds, interleaved with the first; its rows are marked "baseline"
#     --inputs DIR      cache of the input triples (default $BENCH_INPUTS or
#                       <repo>/build-bench/inputs); missing sets are made there with
#                       bench/finish/inputs/make_inputs.sh
#     --rounds N        rounds (default 5); every round runs every program once, in an order
#                       that rotates from round to round
#     --sets "A B"      which sets to run (default all): 6mp, 24mp, 96mp (JPEG triples of
#                       3000×2000, 6000×4000, 12000×8000), 6mp16, 24mp16 (16-bit TIFF
#                       triples of 3000×2000, 6000×4000)
#     --skip-large      leave out 96mp and 24mp16 (enfuse alone takes over half a minute
#                       a round on 96mp)
#     --skip-24mp       leave out 24mp
#     --chart FILE      where to write the SVG chart of the table (default
#                       bench/finish/latest.svg; "-" for none)
#     --build DIR       where the helper programs are built (default <repo>/build-bench/finish,
#                       configured with -DQUILLORE_BENCH=ON)
#     --no-install      do not apt-get install missing packages
#     --keep DIR        keep the last output of every program in DIR (default: a temporary
#                       folder that is removed at the end)
#
# What runs, per input set (BASE, DARK, BRIGHT of one photo; L the pyramid depth
# quillore-finish itself uses, read from its code by finish-model):
#   enfuse      enfuse --exposure-weight=1 --saturation-weight=1 --contrast-weight=1
#               --blend-colorspace=identity -l L --compression=95 (JPEG) / none (TIFF)
#   opencv      bench/finish/mertens.cpp: imread ×3, createMergeMertens(1,1,1), imwrite
#   floor-3     bench/finish/floor.cpp (libvips): decode the three renders into memory,
#               encode one (JPEG quality 95 / uncompressed TIFF, metadata kept)
#   floor-3c    the same with the three decodes on three threads (for information)
#   floor-2     the same for two renders (the floor of the two-render modes)
#   finish <mode>   quillore-finish --mode <mode> --out OUT BASE DARK [BRIGHT], for
#               balance (three renders), keep-highlights and darken-sky (two renders),
#               and the same for the --baseline program
# plus, every round, bench/finish/bandwidth.cpp: a multi-threaded copy on all cores.
#
# Each run is timed by /usr/bin/time (wall seconds, peak RSS, kernel and user
# seconds, minor page faults). The table shows the median wall time over the rounds,
# the range, the largest peak RSS, the median kernel time, CPU time (user + kernel,
# the steadier figure when other work shares the cores) and minor faults, and:
#   enfuse/this, OpenCV/this   how many times faster than the peer (higher is better)
#   this/floor                 time over the modelled floor (lower is better)
#
# The modelled floor of a mode = the measured floor-3 (balance) or floor-2 (two-render
# modes) + the blend's memory traffic / the measured bandwidth. The traffic (bytes read
# plus written per level-0 pixel, pass by pass over the blend's sweeps) is worked out
# by bench/finish/model.cpp from the program's own level sizes; its header describes
# the count. Not counted: the first writes to fresh memory (the kernel's page
# clearing, which the kernel-time column shows). Bandwidth is counted the same way
# (bytes read + bytes written per second of a copy).
#
# Nothing here is a test: the figures are noisy on a shared machine; run it again
# (more rounds) for figures worth quoting.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

finish=$repo/build/quillore-finish
baseline=""
inputs=${BENCH_INPUTS:-$repo/build-bench/inputs}
rounds=5
sets="6mp 24mp 96mp 6mp16 24mp16"
build=$repo/build-bench/finish
chart=$here/latest.svg
install=1
keep=""

drop() { sets=$(echo "$sets" | tr ' ' '\n' | grep -vx "$1" | tr '\n' ' '); }
while [ $# -gt 0 ]; do
  case $1 in
    --finish) finish=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --inputs) inputs=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --skip-24mp) drop 24mp; shift ;;
    --skip-large) drop 96mp; drop 24mp16; shift ;;
    --sets) sets=$2; shift 2 ;;
    --chart) chart=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --no-install) install=0; shift ;;
    --keep) keep=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --rounds needs a positive number" >&2; exit 2; }
for s in $sets; do
  case $s in 6mp|24mp|96mp|6mp16|24mp16) ;; *) echo "run.sh: unknown set $s (6mp, 24mp, 96mp, 6mp16, 24mp16)" >&2; exit 2 ;; esac
done
if [ -n "$baseline" ] && [ ! -x "$baseline" ]; then echo "run.sh: no program at $baseline" >&2; exit 2; fi

# ---- packages ---------------------------------------------------------------
packages=(g++ cmake ninja-build pkg-config time libvips-dev libopencv-dev enfuse
  python3 python3-opencv python3-numpy libimage-exiftool-perl icc-profiles-free dpkg)
if [ "$install" = 1 ]; then
  . "$repo/scripts/lib/install.sh"
  install_missing run.sh "${packages[@]}"
fi

# ---- inputs -----------------------------------------------------------------
ext_of() { case $1 in *16) echo tif ;; *) echo jpg ;; esac; }
missing_sets=()
for s in $sets; do
  for k in base dark bright; do
    if [ ! -s "$inputs/${s}_$k.$(ext_of "$s")" ]; then missing_sets+=("$s"); break; fi
  done
done
if [ ${#missing_sets[@]} -gt 0 ]; then
  echo "run.sh: making the input sets ${missing_sets[*]} in $inputs (once)" >&2
  mkdir -p "$inputs"
  staging=$(mktemp -d "$inputs/.making.XXXXXX")
  bash "$here/inputs/make_inputs.sh" "$staging" "${missing_sets[@]}" >/dev/null
  for s in "${missing_sets[@]}"; do mv -f "$staging/${s}"_* "$inputs/"; done
  rm -rf "$staging"
fi

# ---- helper programs --------------------------------------------------------
echo "run.sh: building the helper programs in $build" >&2
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLORE_TESTS=OFF \
  -DQUILLORE_BENCH=ON >/dev/null
cmake --build "$build" --target finish-floor finish-bandwidth finish-mertens finish-model >/dev/null
bin=$build/bench

# ---- measuring --------------------------------------------------------------
if [ -n "$keep" ]; then mkdir -p "$keep"; work=$(cd "$keep" && pwd); else work=$(mktemp -d); fi
scratch=$(mktemp -d)
cleanup() { rm -rf "$scratch"; [ -n "$keep" ] || rm -rf "$work"; }
trap cleanup EXIT
results=$scratch/results    # lines: set program seconds peak-KiB kernel-s minor-faults user-s ("fail" / "missing" rows too)
: >"$results"

have_finish=0; [ -x "$finish" ] && have_finish=1

# measure SET PROGRAM OUT command…
measure() {
  local set=$1 prog=$2 out=$3; shift 3
  rm -f "$out"
  local log=$scratch/$set.$prog.log tf=$scratch/time
  if /usr/bin/time -f '%e %M %S %R %U' -o "$tf" "$@" >"$log" 2>&1 && [ -s "$out" ]; then
    echo "$set $prog $(tail -1 "$tf")" >>"$results"
  else
    echo "$set $prog fail" >>"$results"
    if [ ! -e "$scratch/$set.$prog.reported" ]; then
      touch "$scratch/$set.$prog.reported"
      { echo "run.sh: $prog on $set failed:"; tail -5 "$log" | sed 's/^/    /'; } >&2
    fi
  fi
}

modes=(balance keep-highlights darken-sky)
for set in $sets; do
  ext=$(ext_of "$set"); bits=8; enfuse_comp=95
  [ "$ext" = tif ] && { bits=16; enfuse_comp=none; }
  B=$inputs/${set}_base.$ext D=$inputs/${set}_dark.$ext R=$inputs/${set}_bright.$ext
  read -r w h < <("$bin/finish-floor" --size "$B")
  model=$("$bin/finish-model" "$w" "$h" "$bits")
  L=$(awk '$1 == "levels" { print $2 }' <<<"$model")
  echo "$set size $w $h $L $bits" >>"$results"
  awk -v s="$set" '$1 != "levels" { print s, "traffic", $1, $2 }' <<<"$model" >>"$results"
  progs=(enfuse opencv floor-3 floor-3c floor-2 "${modes[@]}")
  [ -n "$baseline" ] && progs+=("${modes[@]/#/baseline-}")
  k=${#progs[@]}
  for ((r = 0; r < rounds; r++)); do
    echo "run.sh: $set round $((r + 1))/$rounds" >&2
    bw=$("$bin/finish-bandwidth" 2>>"$scratch/bandwidth.log")
    echo "$set bandwidth $bw" >>"$results"
    for ((i = 0; i < k; i++)); do
      p=${progs[$(( (i + r) % k ))]}
      o=$work/$set.$p.$ext
      case $p in
        enfuse) measure "$set" "$p" "$o" enfuse --exposure-weight=1 --saturation-weight=1 \
                  --contrast-weight=1 --blend-colorspace=identity -l "$L" \
                  --compression="$enfuse_comp" -o "$o" "$B" "$D" "$R" ;;
        opencv) measure "$set" "$p" "$o" "$bin/finish-mertens" "$o" "$B" "$D" "$R" ;;
        floor-3) measure "$set" "$p" "$o" "$bin/finish-floor" "$o" "$B" "$D" "$R" ;;
        floor-3c) measure "$set" "$p" "$o" "$bin/finish-floor" --concurrent "$o" "$B" "$D" "$R" ;;
        floor-2) measure "$set" "$p" "$o" "$bin/finish-floor" "$o" "$B" "$D" ;;
        *)
          mode=${p#baseline-} program=$finish
          [ "$mode" != "$p" ] && program=$baseline
          if [ -x "$program" ]; then
            args=("$B" "$D"); [ "$mode" = balance ] && args+=("$R")
            measure "$set" "$p" "$o" "$program" --mode "$mode" --out "$o" "${args[@]}"
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
[ -z "$baseline" ] || echo "baseline: $baseline"
echo "inputs: $inputs; rounds: $rounds; cores: $(nproc); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v sets="$sets" -v chart="$chart" -v cores="$(nproc)" -f "$here/report.awk" "$results"
echo
echo "bandwidth details (last lines):"
tail -3 "$scratch/bandwidth.log" | sed 's/^/  /'
[ "$chart" = - ] || echo "chart: $chart"
[ -z "$keep" ] || echo "outputs kept in $work"
