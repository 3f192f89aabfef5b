// The default preview directory under the user's home (from the user database, which an
// isolated run gives a home of its own): images land there, and entries older than a day
// are removed first, but only by runs that write images there by default.
import assert from 'node:assert/strict';
import { existsSync, lstatSync, lutimesSync, mkdirSync, readdirSync, readFileSync, symlinkSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { canIsolate, images, programs, run, startApp, tempDir } from './lib.mjs';
import { failed, printed } from './cli-common.mjs';

const previews = 'Library/Caches/Quillore/agent-previews';

describe('preview directory', { skip: !canIsolate && 'needs root and unshare' }, () => {
  let app;
  before(async () => {
    app = await startApp();
  });
  after(() => app.stop());

  // Runs quillore-cli with `home` as the user's home directory in the user database;
  // $HOME points elsewhere and must not matter.
  const ql = (home, args) =>
    run(programs.cli, args, {
      isolated: { home },
      env: { QL_AGENT_SOCK: app.socket, QL_NO_LAUNCH: '1', HOME: join(home, 'not-the-home') },
    });

  // A preview directory holding entries of known ages (seconds), and what lies outside it.
  function seeded(t) {
    const home = tempDir(t);
    const dir = join(home, previews);
    const outside = tempDir(t);
    mkdirSync(dir, { recursive: true });
    const now = Date.now() / 1000;
    const age = (path, seconds) => lutimesSync(path, now - seconds, now - seconds);
    const file = (name, seconds) => {
      writeFileSync(join(dir, name), name);
      age(join(dir, name), seconds);
    };
    file('old.png', 86401);
    file('young.png', 86390);
    file('.hidden-old', 90000);
    mkdirSync(join(dir, 'old-dir/inner'), { recursive: true });
    writeFileSync(join(dir, 'old-dir/inner/new.png'), '');
    age(join(dir, 'old-dir'), 86401);
    mkdirSync(join(dir, 'young-dir'));
    file('young-dir/ancient.png', 900000);
    age(join(dir, 'young-dir'), 60);
    writeFileSync(join(outside, 'target.png'), 'target');
    symlinkSync(join(outside, 'target.png'), join(dir, 'old-link'));
    age(join(dir, 'old-link'), 86401);
    symlinkSync(outside, join(dir, 'old-dir-link'));
    age(join(dir, 'old-dir-link'), 86401);
    symlinkSync(join(outside, 'target.png'), join(dir, 'young-link-to-old'));
    age(join(outside, 'target.png'), 900000);
    return { home, dir, outside, all: readdirSync(dir).sort() };
  }

  test('a default run creates the directory and writes the images there', async (t) => {
    const home = tempDir(t);
    const result = await ql(home, ['compare_renders']);
    const out = JSON.parse(result.stdout);
    const shown = join(home, previews);
    printed(result, 0, { images: [{ label: 'Before and after', path: out.images[0].path }, { path: out.images[1].path }] });
    assert.equal(existsSync(join(home, 'not-the-home')), false, '$HOME is not used');
    for (const [i, bytes] of [[0, images.preview], [1, images.second]]) {
      const name = out.images[i].path.slice(shown.length + 1);
      assert.equal(out.images[i].path, `${shown}/${name}`);
      assert.deepEqual(readFileSync(join(home, previews, name)), bytes);
    }
  });

  test('a default run removes what is more than a day old, first', async (t) => {
    const { home, dir, outside } = seeded(t);
    const result = await ql(home, ['render_preview', '--photo-id', '1']);
    assert.equal(result.status, 0, result.stdout.toString());
    const left = readdirSync(dir).sort();
    const written = left.filter((name) => name.startsWith('render_preview-'));
    assert.equal(written.length, 1);
    assert.deepEqual(left.filter((name) => !written.includes(name)), ['young-dir', 'young-link-to-old', 'young.png']);
    assert.ok(existsSync(join(dir, 'young-dir/ancient.png')), 'a young directory is not looked into');
    assert.equal(readFileSync(join(outside, 'target.png'), 'utf8'), 'target', 'links are removed, not followed');
    assert.ok(lstatSync(join(dir, 'young-link-to-old')).isSymbolicLink());
  });

  test('runs with --out, without images, or with a tool error clear nothing', async (t) => {
    const { home, dir, all } = seeded(t);
    const shown = join(home, previews);
    // --out naming the preview directory itself still counts as --out.
    assert.equal((await ql(home, ['render_preview', '--out', shown])).status, 0);
    assert.equal((await ql(home, ['render_preview', '--out', join(home, 'elsewhere')])).status, 0);
    printed(await ql(home, ['get_status']), 0, { text: 'Quillore is ready\nNo import is running' });
    failed(await ql(home, ['fail_tool']), 1, 'The photo is locked.\nUnlock it in Quillore first.');
    const left = readdirSync(dir).sort();
    assert.deepEqual(left.filter((name) => !name.startsWith('render_preview-')), all);
    assert.equal(left.length, all.length + 1);
  });

  test('a tool error leaves even a missing preview directory uncreated', async (t) => {
    const home = tempDir(t);
    failed(await ql(home, ['fail_tool']), 1, 'The photo is locked.\nUnlock it in Quillore first.');
    assert.equal(existsSync(join(home, 'Library')), false);
  });
});
