// Writes the images the stand-in app sends (fixtures/). Run once by hand; the
// results are committed so every machine sends the very same bytes.
//   node app/make-fixtures.mjs        (needs the `vips` program for the JPEG)
import { execFileSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { deflateSync } from 'node:zlib';
import { chunk, pngSignature } from '../png.mjs';

const dir = new URL('./fixtures/', import.meta.url).pathname;

// An 8-bit RGB PNG of w×h pixels, colour(x, y) → [r, g, b].
function png(w, h, colour) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(w, 0);
  ihdr.writeUInt32BE(h, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  const raw = Buffer.alloc(h * (1 + 3 * w));
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) raw.set(colour(x, y), y * (1 + 3 * w) + 1 + 3 * x);
  }
  return Buffer.concat([
    pngSignature,
    chunk('IHDR', ihdr),
    chunk('IDAT', deflateSync(raw, { level: 9 })),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

const mix = (a, b, t) => a.map((v, i) => Math.round(v + (b[i] - v) * t));
writeFileSync(dir + 'preview.png', png(8, 6, (x, y) => mix([208, 64, 32], [32, 64, 208], (x + y) / 12)));
writeFileSync(dir + 'second.png', png(4, 4, () => [32, 160, 96]));
const source = dir + 'photo-source.png';
writeFileSync(source, png(16, 12, (x, y) => mix([240, 192, 64], [64, 32, 16], (x + 2 * y) / 37)));
execFileSync('vips', ['copy', source, dir + 'photo.jpg[Q=90,strip]']);
execFileSync('rm', ['-f', source]);
