#!/bin/bash
# Makes the benchmark's input triples in the folder given as $1.
#
# Source photograph: "Kleiber" by Lukas Baubkus (6028x3391 JPEG), licensed
# CC-BY-SA-3.0 (https://creativecommons.org/licenses/by-sa/3.0/), shipped in the
# Debian 12 package lomiri-wallpapers-20.04. It is fetched with apt-get download
# unless a path is given with --source. The triples are derived from it and fall
# under the same licence: any copy keeps this attribution (it is also written into
# every file's EXIF Artist and ImageDescription).
# ICC profile: sRGB.icc from the Debian package icc-profiles-free.
#
# Needs: apt-get (or --source), dpkg-deb, /usr/bin/python3 with python3-opencv and
# python3-numpy, exiftool (libimage-exiftool-perl), icc-profiles-free.
#
# usage: make_inputs.sh OUTDIR [--source SOURCE.jpg] [SET...]
#   SET: 6mp 24mp 96mp 6mp16 24mp16 (default all; see gen_triples.py)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: make_inputs.sh OUTDIR [--source SOURCE.jpg] [SET...]}
shift
src=""
if [ "${1:-}" = --source ]; then src=$2; shift 2; fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
PY=${PYTHON:-/usr/bin/python3}
ICC=${ICC:-/usr/share/color/icc/sRGB.icc}
[ -r "$ICC" ] || { echo "no ICC profile at $ICC (apt-get install icc-profiles-free)" >&2; exit 1; }

if [ -z "$src" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && apt-get download lomiri-wallpapers-20.04 >/dev/null)
  dpkg-deb -x "$tmp"/lomiri-wallpapers-20.04_*.deb "$tmp/x"
  src=$(find "$tmp/x" -name 'Kleiber_by_Lukas_Baubkus.jpg' | head -1)
  [ -n "$src" ] || { echo "source photo not found in package" >&2; exit 1; }
fi

sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(6mp 24mp 96mp 6mp16 24mp16)
"$PY" "$here/gen_triples.py" "$src" "$out" "${sets[@]}"

# EXIF + ICC on every file. DARK = -1 EV, BRIGHT = +1 EV.
for s in "${sets[@]}"; do
  for f in "$out/${s}"_base.* "$out/${s}"_dark.* "$out/${s}"_bright.*; do
    case $f in
      *_dark.*) ev=-1 ;;
      *_bright.*) ev=1 ;;
      *) ev=0 ;;
    esac
    exiftool -q -overwrite_original -P \
      "-ICC_Profile<=$ICC" \
      -EXIF:Make=BenchCam -EXIF:Model="Synthetic Bracket" \
      -EXIF:Orientation#=1 \
      -EXIF:DateTimeOriginal="2021:05:01 10:00:00" \
      -EXIF:CreateDate="2021:05:01 10:00:00" \
      -EXIF:ModifyDate="2021:05:01 10:00:00" \
      -EXIF:ExposureCompensation="$ev" \
      -EXIF:Artist="Lukas Baubkus (source photo, CC-BY-SA-3.0)" \
      -EXIF:ImageDescription="synthetic ${ev} EV render of 'Kleiber' by Lukas Baubkus, CC-BY-SA-3.0" \
      "$f"
  done
done
