// scripts/demo-finish.sh: the three results and the contact sheet beside them.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { binDir, run, sourceDir, tempDir } from '../e2e/lib.mjs';

test('demo-finish.sh writes the results and a contact sheet of two rows of three, and prints its path', async (t) => {
  if (spawnSync('sh', ['-c', 'command -v vips']).status !== 0) return t.skip('libvips command-line tools are missing (apt-get install libvips-tools)');
  const out = join(tempDir(t), 'demo out');
  const demo = await run('bash', [join(sourceDir, 'scripts/demo-finish.sh'), out], {
    env: { PATH: `${binDir}:${process.env.PATH}` },
    timeout: 120000,
  });
  assert.equal(demo.status, 0, demo.stdout.toString() + demo.stderr.toString());
  const sheet = join(out, 'contact-sheet.png');
  assert.equal(demo.stdout.toString().trimEnd().split('\n').at(-1), `contact sheet: ${sheet}`);
  for (const name of ['keep-highlights.jpg', 'darken-sky.jpg', 'balance.jpg']) assert.ok(existsSync(join(out, name)), name);

  // A PNG of three 480×320 tiles across (12 pixels apart, 16 of margin) and two rows,
  // each tile with a 34-pixel label below it, and a credit line at the foot.
  const png = readFileSync(sheet);
  assert.equal(png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a');
  assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20)], [16 + 3 * 480 + 2 * 12 + 16, 16 + 2 * (320 + 34) + 12 + 12 + 34 + 16]);
});
