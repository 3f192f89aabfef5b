// Writes the images the stand-in app sends (fixtures/). Run once by hand; the
// results are committed so every machine sends the very same bytes.
//   node app/make-fixtures.mjs        (needs the `vips` program for the JPEG)
import { execFileSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { deflateSync } from 'node:zlib';

const dir = new URL('./fixtures/', import.meta.url).pathname;

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
const crc32 = (bytes) => {
  let c = 0xffffffff;
  for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
};
const chunk = (type, data) => {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, 'latin1');
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, crc]);
};

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
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
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
