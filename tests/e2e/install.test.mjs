// `cmake --install` of this build tree into a fresh prefix, then the installed
// programs run from there.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { lstatSync, readlinkSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { binDir, run, tempDir } from './lib.mjs';

test('the programs and the quillore-cli link are installed under the prefix and run from there', async (t) => {
  const prefix = join(tempDir(t), 'prefix with space');
  const install = spawnSync('cmake', ['--install', binDir, '--prefix', prefix], { encoding: 'utf8' });
  assert.equal(install.status, 0, install.stderr + install.stdout);

  const bin = join(prefix, 'bin');
  for (const name of ['quillore-mcp', 'quillore-finish']) {
    assert.ok(lstatSync(join(bin, name)).isFile(), `${name} is a file`);
    assert.ok(lstatSync(join(bin, name)).mode & 0o111, `${name} is executable`);
  }
  assert.ok(lstatSync(join(bin, 'quillore-cli')).isSymbolicLink());
  assert.equal(readlinkSync(join(bin, 'quillore-cli')), 'quillore-mcp', 'a relative link, so the prefix can move');

  const env = { QL_AGENT_SOCK: join(prefix, 'no.sock'), QL_NO_LAUNCH: '1' };
  const version = await run(join(bin, 'quillore-cli'), ['--version'], { env });
  assert.deepEqual([version.status, version.stdout.toString(), version.stderr.toString()], [0, '0.3.0-beta.17\n', '']);

  // Under its own name the program is the relay, whatever the arguments: no version,
  // and the end of its input ends it.
  const relay = await run(join(bin, 'quillore-mcp'), ['--version'], { env });
  assert.deepEqual([relay.status, relay.stdout.toString(), relay.stderr.toString()], [0, '', '']);

  const usage = await run(join(bin, 'quillore-cli'), [], { env });
  assert.equal(usage.status, 2);
  assert.match(usage.stderr.toString(), /^quillore-cli: drive Quillore/);

  const finish = await run(join(bin, 'quillore-finish'), []);
  assert.deepEqual(
    [finish.status, finish.stdout.toString(), finish.stderr.toString()],
    [1, '', 'usage: quillore-finish --mode M --strength S --out OUT BASE DARK [BRIGHT]\n'],
  );
});
