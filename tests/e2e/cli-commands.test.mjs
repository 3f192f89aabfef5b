// quillore-cli's commands as processes: help requests, reaching the app, the
// handshake, tools, help <tool>, call, a tool name as first word, and every error
// in the order the checks come.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { programs, run, startApp, tempDir } from './lib.mjs';
import { cli, closedMessage, failed, notRunning, printed, usageText } from './cli-common.mjs';

const renderPreviewHelp = {
  name: 'render_preview',
  title: 'Render preview',
  description: 'Renders a preview. Writes a PNG.',
  usage: 'quillore-cli render_preview --photo-id <string> [--hdr] [--quality <number>] [variants (in --json)]',
  options: [
    { key: 'photoId', type: 'string', required: true, option: '--photo-id',
      description: 'The photo to render, as listed by list_photos' },
    { key: 'hdr', type: 'boolean', required: false, option: '--hdr', description: 'Render with the HDR tone curve' },
    { key: 'quality', type: 'number', required: false, option: '--quality' },
    { key: 'variants', type: 'json', required: false, jsonOnly: true,
      description: 'Extra renders, each with its own settings' },
  ],
  inputSchema: {
    type: 'object',
    properties: {
      photoId: { type: 'string', description: 'The photo to render, as listed by list_photos' },
      hdr: { type: 'boolean', description: 'Render with the HDR tone curve' },
      variants: {
        type: 'array',
        description: 'Extra renders, each with its own settings',
        items: { type: 'object', properties: { name: { type: 'string' }, exposure: { type: 'number' } } },
      },
      quality: { type: 'number', minimum: 0, maximum: 1 },
    },
    required: ['photoId'],
  },
};

const toolList = {
  tools: [
    ['render_preview', 'Render preview', 'Renders a preview.'],
    ['list_photos', 'List photos', 'Lists photos.'],
    ['echo', 'Echo', 'Echoes its arguments.'],
    ['get_status', '', '.'],
    ['export-album', 'Export album', 'Exports an album.'],
    ['compare_renders', 'Compare renders', 'Renders two versions of a photo.'],
    ['export_jpeg', 'Export JPEG', 'Exports a photo as JPEG.'],
    ['broken_image', 'Broken image', 'Returns an image that cannot be decoded, then a good one.'],
    ['image_then_text', 'Image then text', 'Returns an image followed by its caption.'],
    ['fail_tool', 'Failing tool', 'Always fails.'],
    ['photo_info', 'Photo info', 'Describes a photo as JSON.'],
    ['slow', 'Slow tool', 'Answers after a delay.'],
    ['drop_connection', 'Drop connection', 'Closes the connection without answering.'],
    ['../evil', 'Evil name', 'A tool whose name is a relative path.'],
    ['chatty', 'Chatty tool', 'Sends a notification and a ping request before it answers.'],
    ['respond', 'Respond', 'Answers with the given result or error.'],
    ['help', 'Help', 'A tool named like a command.'],
  ].map(([name, title, summary]) => ({ name, title, summary })),
};

describe('without the app', () => {
  // No socket and no launching: any attempt to reach the app would end with exit 3.
  const nowhere = '/tmp/ql-no-such-app.sock';

  test('help requests print the usage on standard output', async () => {
    for (const args of [['-h'], ['--help'], ['help'], ['-h', 'tools', '--x'], ['--help', 'x'], ['help', '--photo-id', '1']]) {
      const result = await cli(nowhere, args);
      assert.equal(result.stdout.toString(), usageText(), args.join(' '));
      assert.equal(result.stderr.toString(), '');
      assert.equal(result.status, 0, args.join(' '));
    }
    const named = await cli(nowhere, ['-h'], { argv0: 'ql' });
    assert.equal(named.stdout.toString(), usageText('ql'));
  });

  test('no words: the usage on standard error, exit 2', async () => {
    for (const args of [[], ['--photo-id', '1'], ['--json', '{}'], ['--out=x'], ['--x', '--help']]) {
      const result = await cli(nowhere, args);
      assert.equal(result.stdout.toString(), '', args.join(' '));
      assert.equal(result.stderr.toString(), usageText());
      assert.equal(result.status, 2);
    }
  });

  test('--json or --out without a value, before anything else', async () => {
    for (const [args, flag] of [[['--json'], '--json'], [['-h', '--json'], '--json'], [['tools', '--out'], '--out'],
      [['render_preview', '--json', '{}', '--out'], '--out']]) {
      failed(await cli(nowhere, args), 2, `${flag} needs a value`);
    }
  });

  test('every other command needs the app: exit 3 with the reason', async () => {
    for (const args of [['tools'], ['help', 'render_preview'], ['call'], ['bogus', 'extra'], ['render_preview', '--json', '[]'],
      ['-v'], ['MCP']]) {
      failed(await cli(nowhere, args), 3, notRunning);
    }
  });
});

describe('with the app', () => {
  let app;
  before(async () => {
    app = await startApp();
  });
  after(() => app.stop());
  const ql = (args, opts) => cli(app.socket, args, opts);

  test('the handshake, the listing and the call, with ids 1, 2 and 3', async () => {
    const own = await startApp();
    try {
      printed(await cli(own.socket, ['photo-info', '--photo-id', 'a/b']), 0,
        '{"photoId": "DSCF0001", "camera": "X-T5", "iso": 400, "path": "a/b"}\n');
      assert.deepEqual(own.messages(), [
        { jsonrpc: '2.0', id: 1, method: 'initialize',
          params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'quillore-cli', version: '0.3.0-beta.17' } } },
        { jsonrpc: '2.0', method: 'notifications/initialized' },
        { jsonrpc: '2.0', id: 2, method: 'tools/list', params: {} },
        { jsonrpc: '2.0', id: 3, method: 'tools/call', params: { name: 'photo_info', arguments: { photoId: 'a/b' } } },
      ]);
      // Compact lines with plain slashes.
      assert.match(own.logText(), /"arguments":\{"photoId":"a\/b"\}/);
      assert.ok(own.log().every((line) => !('raw' in line)), 'every line is JSON');
    } finally {
      await own.stop();
    }
  });

  test('tools lists every tool with its summary', async () => {
    printed(await ql(['tools']), 0, toolList);
    printed(await ql(['tools', 'more', '--json', '[', '--bogus']), 0, toolList);
  });

  test('tools with a failing listing prints no tools', async () => {
    const own = await startApp({ failList: true });
    try {
      printed(await cli(own.socket, ['tools']), 0, { tools: [] });
      failed(await cli(own.socket, ['render_preview']), 2, 'No tool named render_preview. Run `quillore-cli tools`.');
    } finally {
      await own.stop();
    }
  });

  test('a refused initialize ends with exit 3', async () => {
    for (const [error, message] of [[true, 'Quillore could not open its library'], [{ code: -32603 }, 'initialize failed'],
      [{ code: 1, message: 7 }, 'initialize failed']]) {
      const own = await startApp({ failInitialize: error });
      try {
        failed(await cli(own.socket, ['tools']), 3, message);
        assert.equal(own.messages().length, 1, 'nothing is sent after a refused initialize');
      } finally {
        await own.stop();
      }
    }
  });

  test('help <tool> prints options in help order, the usage line and the schema', async () => {
    for (const name of ['render_preview', 'render-preview']) printed(await ql(['help', name]), 0, renderPreviewHelp);
    printed(await ql(['help', 'render_preview', 'more', '--bogus', '--json', '[']), 0, renderPreviewHelp);
    printed(await ql(['help', 'render_preview'], { argv0: 'ql' }), 0,
      { ...renderPreviewHelp, usage: renderPreviewHelp.usage.replace('quillore-cli', 'ql') });
    printed(await ql(['help', 'get_status']), 0, {
      name: 'get_status', title: '', description: '', usage: 'quillore-cli get_status', options: [],
      inputSchema: { type: 'object' },
    });
    const list = JSON.parse((await ql(['help', 'list_photos'])).stdout);
    assert.equal(list.usage, 'quillore-cli list_photos [--album <string>] [--favorites-only] [--limit <integer>] ' +
      '[--rating <1|2|3|4|5>] [--sort <date|name|rating>] [--tags <string> (repeat for more)]');
    assert.deepEqual(list.options.map((o) => [o.key, o.type]), [['album', 'string'], ['favoritesOnly', 'boolean'],
      ['limit', 'integer'], ['rating', 'choice'], ['sort', 'choice'], ['tags', 'list of strings']]);
  });

  test('tool names: "-" reads as "_"; a listed name with "-" is never found', async () => {
    failed(await ql(['help', 'render.preview']), 2, 'No tool named render.preview. Run `quillore-cli tools`.');
    failed(await ql(['export-album', '--album-id', 'a']), 2, 'No tool named export-album. Run `quillore-cli tools`.');
    failed(await ql(['call', 'export_album']), 2, 'No tool named export_album. Run `quillore-cli tools`.');
    failed(await ql(['Render_Preview'], { argv0: '/opt/bin/qc' }), 2, 'No tool named Render_Preview. Run `qc tools`.');
  });

  test('call: the tool from the second word, one JSON object from the third', async () => {
    failed(await ql(['call']), 2, "Usage: quillore-cli call <tool> ['<json object>']");
    failed(await ql(['call', '--json', '{}']), 2, "Usage: quillore-cli call <tool> ['<json object>']");
    printed(await ql(['call', 'echo', '{"photoId":"x","count":2}']), 0, '{"count":2,"photoId":"x"}\n');
    // The third word replaces --json entirely; options still override it.
    printed(await ql(['call', 'echo', '--json', '{"tags":["j"]}', '{"photoId":"x","count":2}', '--count', '5']), 0,
      '{"count":5,"photoId":"x"}\n');
    printed(await ql(['call', 'echo', '--json', '{"photoId":"j"}', '--flag']), 0, '{"flag":true,"photoId":"j"}\n');
    printed(await ql(['call', 'echo', '-'], { input: '{"photoId":"stdin"}' }), 0, '{"photoId":"stdin"}\n');
    printed(await ql(['call', 'help']), 0, { text: 'The help tool ran' });
  });

  test('call: errors in order', async () => {
    failed(await ql(['call', 'nope', 'x', 'y']), 2, 'No tool named nope. Run `quillore-cli tools`.');
    failed(await ql(['call', 'echo', '--json', '[1]', '{}']), 2, '--json takes a JSON object');
    failed(await ql(['call', 'echo', 'not json', 'extra']), 2, '--json takes a JSON object');
    failed(await ql(['call', 'echo', '{}', 'extra']), 2, 'call takes one JSON object; quote it');
    failed(await ql(['call', 'echo', '{}', 'extra', '--bogus']), 2, 'call takes one JSON object; quote it');
    failed(await ql(['call', 'echo', '{}', '--bogus']), 2,
      'echo has no option --bogus. Its options: --count, --flag, --level, --max-width-px, --mode, --nested, --numbers, ' +
      '--photo-id, --ratio, --tags. Run `quillore-cli help echo`.');
  });

  test('a tool name as first word allows no further word', async () => {
    failed(await ql(['render-preview', 'extra', '--photo-id', '1']), 2,
      'Unexpected extra. Options start with --; run `quillore-cli help render_preview`.');
    failed(await ql(['nope', 'extra']), 2, 'No tool named nope. Run `quillore-cli tools`.');
    failed(await ql(['echo', 'extra', '--json', '[']), 2, 'Unexpected extra. Options start with --; run `quillore-cli help echo`.');
    failed(await ql(['echo', '--json', '[', '--bogus']), 2, '--json takes a JSON object');
    // "tools", "help" and "call" are commands; the tool named help is reached through call only.
    printed(await ql(['help']), 0, usageText());
  });

  test('text from the command line that is not UTF-8 still reaches the user', async () => {
    const result = await run('/bin/bash', ['-c', 'exec "$0" "$(printf "bad\\377name")" x', programs.cli],
      { env: { QL_AGENT_SOCK: app.socket, QL_NO_LAUNCH: '1' } });
    failed(result, 2, 'No tool named bad\ufffdname. Run `quillore-cli tools`.');
    const option = await run('/bin/bash', ['-c', 'exec "$0" echo --count "$(printf "\\3011")"', programs.cli],
      { env: { QL_AGENT_SOCK: app.socket, QL_NO_LAUNCH: '1' } });
    failed(option, 2, '--count takes a whole number, not \ufffd1');
  });

  test('a closed standard output does not change the exit code', async () => {
    const env = { QL_AGENT_SOCK: app.socket, QL_NO_LAUNCH: '1' };
    for (const [args, status] of [[['bogus'], 2], [['tools'], 0], [['fail_tool'], 1], [['photo_info'], 0]]) {
      const result = await run('/bin/bash', ['-c', 'exec "$0" "$@" >&-', programs.cli, ...args], { env });
      assert.equal(result.status, status, args.join(' '));
      assert.equal(result.stderr.toString(), '');
    }
    const unreachable = await run('/bin/bash', ['-c', 'exec "$0" tools >&-', programs.cli],
      { env: { QL_AGENT_SOCK: join(tempDir(), 'none.sock'), QL_NO_LAUNCH: '1' } });
    assert.equal(unreachable.status, 3);
  });

  test('the app closing the connection during a call: exit 3', async () => {
    failed(await ql(['drop_connection']), 3, closedMessage);
    const dropping = await startApp({ dropOnCall: true });
    try {
      failed(await cli(dropping.socket, ['render_preview', '--photo-id', '1']), 3, closedMessage);
    } finally {
      await dropping.stop();
    }
    // The app quits while the tool runs.
    const quitting = await startApp();
    const running = cli(quitting.socket, ['slow', '--ms', '20000']);
    await quitting.waitForLog((lines) => lines.some((l) => l.msg?.method === 'tools/call'));
    await quitting.stop();
    failed(await running, 3, closedMessage);
  });
});
