// What a tool call prints: tool errors, images written as files (names, numbers,
// labels, directories), a single JSON text as it is, structured content, plain
// text, and the JSON-RPC errors of the call with their exit codes.
import assert from 'node:assert/strict';
import { existsSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { images, startApp, tempDir } from './lib.mjs';
import { cli, cliTimed, failed, printed } from './cli-common.mjs';

describe('tool output', () => {
  let app;
  before(async () => {
    app = await startApp();
  });
  after(() => app.stop());
  const ql = (args, opts) => cli(app.socket, args, opts);
  // The `respond` tool answers with exactly the given reply members.
  const respond = (input, opts) => ql(['call', 'respond', JSON.stringify(input), ...(opts?.args ?? [])], opts);

  // Checks a written image: its name (stem from the tool name, the run's local time and
  // pid, then its number), its place and its bytes.
  function checkImage(run, path, { dir, tool, number, ext, bytes }) {
    const name = path.slice(dir.length + 1);
    assert.equal(path, `${dir}/${name}`);
    const match = name.match(/^(.*)-(\d{8}-\d{6})-(\d+)-(\d+)\.(png|jpg)$/);
    assert.ok(match, name);
    assert.equal(match[1], tool);
    assert.ok(run.stamps.includes(match[2]), `${match[2]} is local time during the run (${run.stamps})`);
    assert.equal(Number(match[3]), run.pid);
    assert.equal(Number(match[4]), number);
    assert.equal(match[5], ext);
    assert.deepEqual(readFileSync(path), bytes);
  }

  test('a text then an image: structured content plus the image with its label', async () => {
    const dir = tempDir();
    const run = await cliTimed(app.socket, ['render-preview', '--photo-id', '42', '--out', dir]);
    assert.equal(run.status, 0);
    const out = JSON.parse(run.stdout);
    printed(run, 0, { photoId: '42', width: 8, height: 6, hdr: false,
      images: [{ label: 'Preview of 42', path: out.images[0].path }] });
    checkImage(run, out.images[0].path, { dir, tool: 'render_preview', number: 1, ext: 'png', bytes: images.preview });
    assert.deepEqual(readdirSync(dir), [out.images[0].path.slice(dir.length + 1)]);
  });

  test('two images after one text: -1 with the label, -2 without', async () => {
    const dir = tempDir();
    const run = await cliTimed(app.socket, ['compare_renders', '--out', dir]);
    const out = JSON.parse(run.stdout);
    printed(run, 0, { images: [{ label: 'Before and after', path: out.images[0].path }, { path: out.images[1].path }] });
    checkImage(run, out.images[0].path, { dir, tool: 'compare_renders', number: 1, ext: 'png', bytes: images.preview });
    checkImage(run, out.images[1].path, { dir, tool: 'compare_renders', number: 2, ext: 'png', bytes: images.second });
    assert.equal(out.images[0].path.replace(/-1\.png$/, ''), out.images[1].path.replace(/-2\.png$/, ''), 'one stem');
  });

  test('an undecodable image is skipped without using a number', async () => {
    const dir = tempDir();
    const run = await cliTimed(app.socket, ['broken_image', '--out', dir]);
    const out = JSON.parse(run.stdout);
    printed(run, 0, { images: [{ path: out.images[0].path }] });
    checkImage(run, out.images[0].path, { dir, tool: 'broken_image', number: 1, ext: 'png', bytes: images.second });
    assert.equal(readdirSync(dir).length, 1);
  });

  test('JPEG and other types are .jpg; an image first has no label; texts are not printed', async () => {
    const dir = tempDir();
    const jpeg = await cliTimed(app.socket, ['export_jpeg', '--out', dir]);
    const out = JSON.parse(jpeg.stdout);
    printed(jpeg, 0, { format: 'jpeg', images: [{ path: out.images[0].path }] });
    checkImage(jpeg, out.images[0].path, { dir, tool: 'export_jpeg', number: 1, ext: 'jpg', bytes: images.photo });

    const first = await cliTimed(app.socket, ['image_then_text', '--out', dir]);
    printed(first, 0, { images: [{ path: JSON.parse(first.stdout).images[0].path }] });

    const data = images.second.toString('base64');
    const mixed = await cliTimed(app.socket, ['call', 'respond', JSON.stringify({ result: {
      content: [
        { type: 'image', data, mimeType: 'image/webp' },
        { type: 'image', data },
        { type: 'text', text: 7 },
        { type: 'image', data, mimeType: 'IMAGE/PNG' },
        { type: 'text', text: 'a/b' },
        { type: 'image', data, mimeType: 'image/png' },
        { type: 'image', data: `${data}\n`, mimeType: 'image/png' },
        { type: 'image', mimeType: 'image/png' },
        { type: 'image', data: 'Zm9v', mimeType: 'image/png' },
      ],
      structuredContent: { images: 'replaced', kept: 1 },
    } }), '--out', dir]);
    const paths = JSON.parse(mixed.stdout).images.map((image) => image.path);
    printed(mixed, 0, { kept: 1, images: [{ path: paths[0] }, { path: paths[1] }, { path: paths[2] },
      { label: 'a/b', path: paths[3] }, { path: paths[4] }] });
    const expected = [['jpg', images.second], ['jpg', images.second], ['jpg', images.second], ['png', images.second],
      ['png', Buffer.from('foo')]];
    expected.forEach(([ext, bytes], i) =>
      checkImage(mixed, paths[i], { dir, tool: 'respond', number: i + 1, ext, bytes }));
  });

  test('all images undecodable: an empty list', async () => {
    printed(await respond({ result: { content: [{ type: 'image', data: 'not base64!', mimeType: 'image/png' }],
      structuredContent: { a: 1 } }, args: ['--out', tempDir()] }), 0, { a: 1, images: [] });
    printed(await respond({ result: { content: [{ type: 'text', text: 'x' }, { type: 'image', data: 7 }] } },
      { args: ['--out', tempDir()] }), 0, { images: [] });
  });

  test('a tool error prints the texts and writes nothing', async () => {
    const dir = join(tempDir(), 'never-made');
    failed(await ql(['fail_tool', '--out', dir]), 1, 'The photo is locked.\nUnlock it in Quillore first.');
    assert.equal(existsSync(dir), false);
    failed(await respond({ result: { isError: true, content: [{ type: 'image', data: 'Zm9v' }] } }), 1, '');
    // "isError" that is not true is no error.
    printed(await respond({ result: { isError: 'true', content: [{ type: 'text', text: 'fine' }] } }), 0, { text: 'fine' });
  });

  test('one JSON text is printed as it is, ahead of structured content', async () => {
    printed(await ql(['photo_info']), 0, '{"photoId": "DSCF0001", "camera": "X-T5", "iso": 400, "path": "a/b"}\n');
    printed(await respond({ result: { content: [{ type: 'text', text: ' {"b":1,\n "a":"\\/"} ' }] } }), 0,
      ' {"b":1,\n "a":"\\/"} \n');
    // An array, or two objects, are plain text.
    printed(await respond({ result: { content: [{ type: 'text', text: '[1]' }], structuredContent: { s: 1 } } }), 0, { s: 1 });
    printed(await respond({ result: { content: [{ type: 'text', text: '[1]' }] } }), 0, { text: '[1]' });
    printed(await respond({ result: { content: [{ type: 'text', text: '{}' }, { type: 'text', text: '{}' }] } }), 0,
      { text: '{}\n{}' });
  });

  test('structured content, then plain text', async () => {
    printed(await ql(['list_photos']), 0, { photos: [
      { id: 'DSCF0001', name: 'Harbour at dusk' }, { id: 'DSCF0002', name: 'Lighthouse' }, { id: 'DSCF0003', name: 'Gulls' }] });
    printed(await ql(['get_status']), 0, { text: 'Quillore is ready\nNo import is running' });
    printed(await respond({ result: {} }), 0, { text: '' });
    printed(await respond({ result: { content: 'x', structuredContent: [1] } }), 0, { text: '' });
    printed(await respond({ result: { content: [{ type: 'text', text: 'a' }, 'b'] } }), 0, { text: '' });
    printed(await respond({ result: { content: [{ type: 'text', text: 'a' }, { type: 'audio' }, { text: 'b' },
      { type: 'text', text: 'c' }] } }), 0, { text: 'a\nc' });
    printed(await respond({ reply: {} }), 0, { text: '' });
    printed(await respond({ reply: { result: 'text' } }), 0, { text: '' });
    printed(await ql(['chatty']), 0, { text: 'Done' });
  });

  test('JSON-RPC errors of the call and their exit codes', async () => {
    const cases = [
      [{ code: -32602, message: 'Unknown photo' }, 2, 'Unknown photo'],
      [{ code: -32602 }, 2, 'The call failed'],
      [{ code: -32000, message: 'Quillore is busy' }, 3, 'Quillore is busy'],
      [{ code: -32603, message: 'Internal' }, 1, 'Internal'],
      [{ code: -32602.5, message: 'fraction' }, 1, 'fraction'],
      [{ code: '-32602', message: 7 }, 1, 'The call failed'],
      [{}, 1, 'The call failed'],
    ];
    for (const [error, status, message] of cases) failed(await respond({ error }), status, message);
    // An "error" that is not an object does not count; the result is printed.
    printed(await respond({ reply: { error: 'x', result: { structuredContent: { ok: true } } } }), 0, { ok: true });
  });

  test('lines that are not the reply are skipped', async () => {
    const before = ['', 'garbage', '[3]', '{"jsonrpc":"2.0","method":"notifications/message","params":{}}',
      '{"jsonrpc":"2.0","id":"3","result":{"structuredContent":{"wrong":"text id"}}}',
      '{"jsonrpc":"2.0","id":2,"result":{"structuredContent":{"wrong":"old id"}}}',
      '{"jsonrpc":"2.0","id":3.5,"result":{"structuredContent":{"wrong":"fraction"}}}'];
    printed(await respond({ before, result: { structuredContent: { right: true } } }), 0, { right: true });
  });

  test('--out: made absolute and normalised, created with its parents, never cleared', async () => {
    const cwd = tempDir();
    writeFileSync(join(cwd, 'old.png'), 'old');
    const nested = await ql(['render_preview', '--out=./a/../b/c/'], { cwd });
    const path = JSON.parse(nested.stdout).images[0].path;
    assert.match(path, new RegExp(`^${cwd}/b/c/render_preview-\\d{8}-\\d{6}-\\d+-1\\.png$`));
    assert.equal(nested.status, 0);
    // An empty --out is the working directory itself.
    const here = await ql(['render_preview', '--out='], { cwd });
    assert.match(JSON.parse(here.stdout).images[0].path, new RegExp(`^${cwd}/render_preview-`));
    assert.ok(existsSync(join(cwd, 'old.png')));
  });

  test("a tool name that is a path writes inside the directory", async () => {
    const dir = join(tempDir(), 'inside');
    const run = await cliTimed(app.socket, ['call', '../evil', '--out', dir]);
    const out = JSON.parse(run.stdout);
    printed(run, 0, { images: [{ label: 'Escaped?', path: out.images[0].path }] });
    checkImage(run, out.images[0].path, { dir, tool: '.._evil', number: 1, ext: 'png', bytes: images.preview });
    assert.deepEqual(readdirSync(join(dir, '..')), ['inside']);
  });

  test("Can't write… with the system's reason", async () => {
    const base = tempDir();
    writeFileSync(join(base, 'file'), '');
    failed(await ql(['render_preview', '--out', join(base, 'file', 'sub')]), 2,
      `Can't write images to ${base}/file/sub: Not a directory`);
    failed(await ql(['render_preview', '--out', `${base}/./file/`]), 2,
      `Can't write images to ${base}/file: Not a directory`);
    if (process.platform === 'linux') {
      // /proc takes no new files, not even from root.
      const result = await ql(['compare_renders', '--out', '/proc']);
      assert.match(JSON.parse(result.stdout).error,
        /^Can't write \/proc\/compare_renders-\d{8}-\d{6}-\d+-1\.png: No such file or directory$/);
      assert.equal(result.status, 2);
    }
  });
});
