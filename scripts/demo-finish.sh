#!/usr/bin/env bash
# quillore-finish at work: the three finishing modes on the sample renders in
# samples/ (BASE, DARK and BRIGHT of one photo), then one contact sheet of the
# renders and the results, made with libvips' command-line tools. Expects
# quillore-finish on PATH (scripts/demo.sh puts the build folder there). Everything
# goes to out/demo-finish/, or to the folder given as the first argument.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
samples=$root/samples
out=${1:-$root/out/demo-finish}
mkdir -p "$out"
out=$(cd "$out" && pwd)

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

# The contact sheet: the renders on the first row, the results on the second, each
# with its label below it, light on dark grey, and the photo's credit at the foot.
work=$(mktemp -d "${TMPDIR:-/tmp}/quillore-sheet.XXXXXX")
trap 'rm -rf "$work"' EXIT
tile_w=480 tile_h=320 label_h=34 gap=12 margin=16 grey=32 ink=230
cells=()
ink_scale=$(awk -v i="$ink" -v g="$grey" 'BEGIN { printf "%.4f", (i - g) / 255 }')
# label FILE TEXT WIDTH HEIGHT [TOP]: TEXT in light grey, centred in a dark strip of that
# size, TOP (8) pixels down, its baseline at the same height whatever its letters.
label() {
  vips text "$work/text.v" "$2" --font "sans 15" --dpi 96
  vips linear "$work/text.v" "$work/light.v" "$ink_scale" "$grey" --uchar
  local w y
  w=$(vipsheader -f width "$work/text.v")
  y=$((${5:-8} + $(vipsheader -f yoffset "$work/text.v")))
  vips embed "$work/light.v" "$work/strip.v" $((($3 - w) / 2)) "$y" "$3" "$4" --extend background --background "$grey"
  vips bandjoin "$work/strip.v $work/strip.v $work/strip.v" "$1"
}
n=0
for cell in "$samples/base.jpg|BASE" "$samples/dark.jpg|DARK" "$samples/bright.jpg|BRIGHT" \
  "$out/keep-highlights.jpg|keep-highlights, strength 2" "$out/darken-sky.jpg|darken-sky, sky 0.45" \
  "$out/balance.jpg|balance, strength 3"; do
  n=$((n + 1))
  vips thumbnail "${cell%%|*}" "$work/thumb.v" "$tile_w" --height "$tile_h"
  vips gravity "$work/thumb.v" "$work/tile.v" centre "$tile_w" "$tile_h" --extend background --background "$grey"
  label "$work/label.v" "${cell#*|}" "$tile_w" "$label_h"
  vips join "$work/tile.v" "$work/label.v" "$work/cell$n.v" vertical
  cells+=("$work/cell$n.v")
done
vips arrayjoin "${cells[*]}" "$work/grid.v" --across 3 --shim "$gap" --background "$grey"
grid_w=$(vipsheader -f width "$work/grid.v")
grid_h=$(vipsheader -f height "$work/grid.v")
credit='Photo: "Kleiber" by Lukas Baubkus, CC BY-SA 3.0. Top: renders made from it (samples/SOURCE.md); bottom: quillore-finish.'
label "$work/credit.v" "$credit" "$grid_w" $((label_h + gap)) $((8 + gap))
vips join "$work/grid.v" "$work/credit.v" "$work/sheet.v" vertical
vips embed "$work/sheet.v" "$work/framed.v" "$margin" "$margin" $((grid_w + 2 * margin)) \
  $((grid_h + label_h + gap + 2 * margin)) --extend background --background "$grey"
vips copy "$work/framed.v" "$out/contact-sheet.png"
ls -l "$out"
echo "contact sheet: $out/contact-sheet.png"
