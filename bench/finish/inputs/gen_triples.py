#!/usr/bin/python3
"""Make BASE/DARK/BRIGHT benchmark triples from one real photograph.

Source photograph: "Kleiber" by Lukas Baubkus, CC-BY-SA-3.0
(https://creativecommons.org/licenses/by-sa/3.0/), as shipped in the Debian
package lomiri-wallpapers-20.04. The triples are derived from it and fall under
the same licence; any copy must keep this attribution.

DARK and BRIGHT are synthetic: the photo is decoded, converted from sRGB to
linear light, scaled x0.5 (DARK, -1 EV) and x2 (BRIGHT, +1 EV, clipped at 1.0)
and encoded back to sRGB. The photo is first centre-cropped to 3:2 and resized
to the target size (Lanczos; 24 MP is a mild upscale of the source, 96 MP a
twofold one).

usage: gen_triples.py SOURCE.jpg OUTDIR [SET...]
SET is one of 6mp, 24mp, 96mp (8-bit JPEG, quality 95) and 6mp16, 24mp16
(16-bit uncompressed TIFF); default: all of them. Writes
OUTDIR/<set>_{base,dark,bright}.{jpg,tif}. EXIF and ICC are added afterwards
by make_inputs.sh (exiftool).
"""
import os
import sys

import cv2
import numpy as np

SETS = {
    "6mp": (3000, 2000, 8),
    "24mp": (6000, 4000, 8),
    "96mp": (12000, 8000, 8),
    "6mp16": (3000, 2000, 16),
    "24mp16": (6000, 4000, 16),
}


def srgb_to_lin(v):
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def lin_to_srgb(v):
    v = np.clip(v, 0.0, 1.0)
    return np.where(v <= 0.0031308, v * 12.92, 1.055 * np.power(v, 1 / 2.4) - 0.055)


def write(path, enc, bits):
    if bits == 8:
        q = np.clip(np.rint(enc * 255.0), 0, 255).astype(np.uint8)
        ok = cv2.imwrite(path, q, [cv2.IMWRITE_JPEG_QUALITY, 95])
    else:
        q = np.clip(np.rint(enc * 65535.0), 0, 65535).astype(np.uint16)
        ok = cv2.imwrite(path, q, [cv2.IMWRITE_TIFF_COMPRESSION, 1])
    if not ok:
        sys.exit("cannot write " + path)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    src, out = sys.argv[1], sys.argv[2]
    wanted = sys.argv[3:] or list(SETS)
    for s in wanted:
        if s not in SETS:
            sys.exit("unknown set " + s)
    os.makedirs(out, exist_ok=True)
    img = cv2.imread(src, cv2.IMREAD_COLOR)  # BGR uint8
    if img is None:
        sys.exit("cannot read " + src)
    h, w = img.shape[:2]
    # centre crop to 3:2
    if w * 2 > h * 3:
        cw, ch = (h * 3) // 2, h
    else:
        cw, ch = w, (w * 2) // 3
    x0, y0 = (w - cw) // 2, (h - ch) // 2
    img = img[y0:y0 + ch, x0:x0 + cw]
    for tag in wanted:
        tw, th, bits = SETS[tag]
        ext = "jpg" if bits == 8 else "tif"
        interp = cv2.INTER_AREA if tw < cw else cv2.INTER_LANCZOS4
        f = cv2.resize(img, (tw, th), interpolation=interp).astype(np.float32) / np.float32(255.0)
        # Row blocks keep the large sets' working memory down.
        for name, k in (("base", 1.0), ("dark", 0.5), ("bright", 2.0)):
            if k == 1.0:
                enc = f
            else:
                enc = np.empty_like(f)
                for r in range(0, th, 1000):
                    block = srgb_to_lin(f[r:r + 1000]) * np.float32(k)
                    enc[r:r + 1000] = lin_to_srgb(block)
            write(os.path.join(out, "%s_%s.%s" % (tag, name, ext)), enc, bits)
            del enc
        del f


if __name__ == "__main__":
    main()
