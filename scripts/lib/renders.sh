# Sourced by the scripts that run quillore-finish on real renders (the ThreadSanitizer stage
# of scripts/test.sh, scripts/test-aarch64.sh).
#
#   make_tiff16_renders DIR
# Writes DIR/base16.tif, dark16.tif and bright16.tif: the sample renders of samples/ as
# 16-bit RGB TIFF, scaled to 1200×800 in 16 bits (so that they use the depth, not only
# multiples of 257), with their EXIF and colour profile. Needs the `vips` program
# (libvips-tools). Files already there are kept.
#
#   finish_every_way PROGRAM TIFFDIR OUTDIR
# Runs PROGRAM (quillore-finish) in all three modes at strengths 1, 2 and 3 on the sample
# JPEG renders and on the 16-bit TIFF triple in TIFFDIR (made there first when missing),
# writing OUTDIR/<mode>-<strength>.jpg and .tif. Stops at the first run that fails.
renders_samples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../samples" && pwd)

make_tiff16_renders() {
  local dir=$1 r
  mkdir -p "$dir"
  for r in base dark bright; do
    [ -s "$dir/${r}16.tif" ] && continue
    vips colourspace "$renders_samples/$r.jpg" "$dir/$r.v" rgb16
    vips resize "$dir/$r.v" "$dir/${r}16.tif" 0.8
    rm -f "$dir/$r.v"
  done
}

finish_every_way() {
  local program=$1 tiffs=$2 out=$3 mode strength ext base dark bright
  mkdir -p "$out"
  make_tiff16_renders "$tiffs"
  for ext in jpg tif; do
    if [ "$ext" = jpg ]; then
      base=$renders_samples/base.jpg dark=$renders_samples/dark.jpg bright=$renders_samples/bright.jpg
    else
      base=$tiffs/base16.tif dark=$tiffs/dark16.tif bright=$tiffs/bright16.tif
    fi
    for mode in keep-highlights darken-sky balance; do
      for strength in 1 2 3; do
        "$program" --mode "$mode" --strength "$strength" --out "$out/$mode-$strength.$ext" \
          "$base" "$dark" "$bright" >/dev/null ||
          { echo "quillore-finish --mode $mode --strength $strength failed on the .$ext renders" >&2; return 1; }
      done
    done
  done
}
