// quillore-finish with bad renders and an OUT that cannot be written: every failure
// is one message on standard error and status 1, OUT keeps what it held and no
// temporary file is left beside it; renders that can be read (palette, alpha, 16-bit)
// give an RGB result without alpha.
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';
import { deflateSync } from 'node:zlib';
import { noMountReason, readOnlyDir, runTo, smallDisk } from './fault-peer.mjs';
import { images, programs, run, tempDir } from './lib.mjs';
import { chunk, pngSignature } from './png.mjs';

// A w×h PNG of colour type `type` (0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA)
// and `depth` bits; sample(x, y, channel) gives each sample; extra chunks go before
// the image data.
function png({ w = 40, h = 30, type = 2, depth = 8, sample = (x, y, c) => (x * 5 + y * 3 + c * 60) % 256, extra = [] }) {
  const channels = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 }[type];
  const bytes = depth / 8;
  const row = 1 + w * channels * bytes;
  const raw = Buffer.alloc(h * row);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      for (let c = 0; c < channels; c++) {
        const at = y * row + 1 + (x * channels + c) * bytes;
        if (bytes === 2) raw.writeUInt16BE(sample(x, y, c) * 257, at);
        else raw[at] = sample(x, y, c);
      }
    }
  }
  const header = Buffer.alloc(13);
  header.writeUInt32BE(w, 0);
  header.writeUInt32BE(h, 4);
  header.set([depth, type, 0, 0, 0], 8);
  return Buffer.concat([
    pngSignature,
    chunk('IHDR', header),
    ...extra,
    chunk('IDAT', deflateSync(raw)),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

const palette = chunk('PLTE', Buffer.from(Array.from({ length: 256 * 3 }, (_, i) => (i * 7) % 256)));
const pngHeader = (file) => ({ depth: file[24], type: file[25] });

// What the first pixel rows of a render look like after damage.
const good = png({});
const damaged = {
  'an empty file': Buffer.alloc(0),
  'a PNG cut inside its image data': good.subarray(0, good.length - 40),
  'a PNG whose image data has flipped bits': (() => {
    const copy = Buffer.from(good);
    for (let i = 60; i < copy.length - 20; i += 7) copy[i] ^= 0x5a;
    return copy;
  })(),
  'a PNG signature and nothing else': good.subarray(0, 8),
  'random bytes': randomBytes(2000),
  'grey-scale, 16 bits': png({ type: 0, depth: 16 }),
  'grey-scale with alpha': png({ type: 4 }),
  'a PNG with no image data': Buffer.concat([good.subarray(0, 33), chunk('IEND', Buffer.alloc(0))]),
};

function folderWith(t, files) {
  const dir = tempDir(t);
  for (const [name, bytes] of Object.entries(files)) writeFileSync(join(dir, name), bytes);
  return dir;
}

const finish = (dir, args) => run(programs.finish, args, { cwd: dir, timeout: 120000 });
const earlier = 'an earlier result\n';

describe('renders that cannot be read', () => {
  for (const [name, bytes] of Object.entries(damaged)) {
    for (const [role, base, dark] of [
      ['BASE', 'bad.png', 'good.png'],
      ['DARK', 'good.png', 'bad.png'],
    ]) {
      test(`${name} as ${role}: one message, status 1, OUT as it was`, async (t) => {
        const dir = folderWith(t, { 'bad.png': bytes, 'good.png': good, 'out.png': earlier });
        const before = readdirSync(dir).sort();
        const result = await finish(dir, ['--mode', 'keep-highlights', '--out', 'out.png', base, dark]);
        assert.equal(result.status, 1);
        assert.equal(result.stdout.toString(), '');
        assert.match(result.stderr.toString(), /^cannot read bad\.png( \([^\n]*\))?\n$/);
        assert.equal(readFileSync(join(dir, 'out.png'), 'utf8'), earlier);
        assert.deepEqual(readdirSync(dir).sort(), before);
      });
    }
  }

  // libjpeg carries on over some damage in the scan data, with grey blocks where it
  // could not decode: a picture or a message are both sound answers; a crash is not.
  test('a JPEG whose scan data has flipped bits: a picture or a message', async (t) => {
    const jpeg = images.photo;
    const scan = jpeg.indexOf(Buffer.from([0xff, 0xda]));
    assert.ok(scan > 0);
    for (const [name, bytes] of [
      ['flipped', Buffer.from(jpeg).map((b, i) => (i > scan + 20 && i < jpeg.length - 4 && i % 5 === 0 ? b ^ 0x21 : b))],
      ['cut', jpeg.subarray(0, scan + 30)],
    ]) {
      const dir = folderWith(t, { 'bad.jpg': bytes, 'good.jpg': jpeg, 'out.jpg': earlier });
      const result = await finish(dir, ['--mode', 'keep-highlights', '--out', 'out.jpg', 'bad.jpg', 'good.jpg']);
      if (result.status === 0) {
        assert.deepEqual([...readFileSync(join(dir, 'out.jpg')).subarray(0, 2)], [0xff, 0xd8], name);
      } else {
        assert.deepEqual([result.status, result.stderr.toString()], [1, 'cannot read bad.jpg\n'], name);
        assert.equal(readFileSync(join(dir, 'out.jpg'), 'utf8'), earlier, name);
      }
    }
  });
});

describe('renders that can be read', () => {
  const cases = {
    'palette colours': png({ type: 3, sample: (x, y) => (x + y) % 256, extra: [palette] }),
    'palette colours with transparency': png({
      type: 3,
      sample: (x, y) => (x + y) % 256,
      extra: [palette, chunk('tRNS', Buffer.from(Array.from({ length: 256 }, (_, i) => i)))],
    }),
    'RGBA, 8 bits': png({ type: 6 }),
    'RGBA, 16 bits': png({ type: 6, depth: 16 }),
  };
  for (const [name, bytes] of Object.entries(cases)) {
    test(`${name}: an RGB result without alpha, in the depth of BASE`, async (t) => {
      const dir = folderWith(t, { 'base.png': bytes, 'dark.png': bytes });
      const result = await finish(dir, ['--mode', 'darken-sky', '--out', 'out.png', 'base.png', 'dark.png']);
      assert.equal(result.stderr.toString(), '');
      assert.equal(result.status, 0);
      const out = readFileSync(join(dir, 'out.png'));
      assert.deepEqual(pngHeader(out), { depth: pngHeader(bytes).depth === 16 ? 16 : 8, type: 2 });
    });
  }
});

describe('an OUT that cannot be written', () => {
  // Noise does not compress: the result needs about as many bytes as its pixels.
  const noisy = () => png({ w: 160, h: 120, sample: () => Math.floor(Math.random() * 256) });

  test('a full disk: "cannot write", OUT as it was, no temporary file left', async (t) => {
    const disk = smallDisk(t, 32 * 1024);
    if (!disk) return t.skip(noMountReason);
    const dir = folderWith(t, { 'base.png': noisy(), 'dark.png': noisy() });
    const out = join(disk, 'out.png');
    writeFileSync(out, earlier);
    const result = await finish(dir, ['--mode', 'keep-highlights', '--out', out, 'base.png', 'dark.png']);
    assert.deepEqual([result.status, result.stdout.toString(), result.stderr.toString()], [1, '', `cannot write ${out}\n`]);
    assert.equal(readFileSync(out, 'utf8'), earlier);
    assert.deepEqual(readdirSync(disk), ['out.png']);
  });

  test('a read-only file system: "cannot write", nothing created', async (t) => {
    const folder = readOnlyDir(t);
    if (!folder) return t.skip(noMountReason);
    const dir = folderWith(t, { 'base.png': good, 'dark.png': good });
    const out = join(folder, 'out.png');
    const result = await finish(dir, ['--mode', 'balance', '--out', out, 'base.png', 'dark.png', 'base.png']);
    assert.deepEqual([result.status, result.stderr.toString()], [1, `cannot write ${out}\n`]);
    assert.deepEqual(readdirSync(folder), []);
  });
});

describe('standard output that cannot be written', () => {
  for (const stdout of ['full', 'closed', 'none']) {
    test(`standard output ${stdout}: the result is written all the same`, async (t) => {
      const dir = folderWith(t, { 'base.png': good, 'dark.png': good });
      const result = await runTo(programs.finish, ['--mode', 'keep-highlights', '--out', join(dir, 'out.png'),
        join(dir, 'base.png'), join(dir, 'dark.png')], { stdout });
      // The timing line is written once OUT is complete; to a pipe nobody reads, the
      // write ends the program by SIGPIPE, as it would any ordinary command.
      const ended = stdout === 'closed' && result.signal === 'SIGPIPE' ? [0, null] : [result.status, result.signal];
      assert.deepEqual([...ended, result.stderr], [0, null, '']);
      assert.deepEqual(readFileSync(join(dir, 'out.png')).subarray(0, 8), good.subarray(0, 8));
      assert.deepEqual(readdirSync(dir).sort(), ['base.png', 'dark.png', 'out.png']);
    });
  }
});
