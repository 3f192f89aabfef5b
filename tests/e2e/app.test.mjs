// The stand-in app and the harness the other process-level tests stand on.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { describe, test } from 'node:test';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { canIsolate, connect, images, lines, run, startApp, tempDir } from './lib.mjs';
import { SocketTransport, rawMember } from './app/transport.js';

const initialize = (id = 1) => ({
  jsonrpc: '2.0',
  id,
  method: 'initialize',
  params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'quillore-cli', version: '1' } },
});
const call = (id, name, args = {}) => ({ jsonrpc: '2.0', id, method: 'tools/call', params: { name, arguments: args } });

// A raw connection that has done the handshake.
async function session(app) {
  const c = await connect(app.socket);
  c.send(initialize());
  assert.equal((await c.next()).id, 1);
  c.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
  return c;
}

describe('stand-in app', () => {
  test('handshake, listing and a call; log of every received line', async (t) => {
    const app = await startApp({ t });
    const c = await session(app);
    c.send({ jsonrpc: '2.0', id: 2, method: 'tools/list', params: {} });
    const { result } = await c.next();
    const byName = Object.fromEntries(result.tools.map((tool) => [tool.name, tool]));
    assert.deepEqual(byName.render_preview.inputSchema.required, ['photoId']);
    assert.equal(byName.render_preview.description, 'Renders a preview. Writes a PNG.');
    assert.equal(byName.get_status.description, '');
    assert.deepEqual(byName.get_status.inputSchema, { type: 'object' });
    assert.ok(byName['export-album'] && byName['../evil'] && byName.help);

    c.send('not json');
    c.send(call(3, 'render_preview', { photoId: '42' }));
    const reply = await c.next();
    assert.deepEqual(reply.result.content[0], { type: 'text', text: 'Preview of 42' });
    assert.equal(reply.result.content[1].mimeType, 'image/png');
    assert.deepEqual(Buffer.from(reply.result.content[1].data, 'base64'), images.preview);
    assert.deepEqual(reply.result.structuredContent, { photoId: '42', width: 8, height: 6, hdr: false });
    c.close();

    const log = await app.waitForLog((lines) => lines.some((l) => l.event === 'close'));
    assert.deepEqual(log[0], { conn: 1, event: 'open' });
    assert.deepEqual(log[1], { conn: 1, msg: initialize() });
    assert.deepEqual(log.slice(2, 4), [
      { conn: 1, msg: { jsonrpc: '2.0', method: 'notifications/initialized' } },
      { conn: 1, msg: { jsonrpc: '2.0', id: 2, method: 'tools/list', params: {} } },
    ]);
    assert.deepEqual(log[4], { conn: 1, raw: 'not json' });
    assert.deepEqual(log.at(-1), { conn: 1, event: 'close' });

    // Successive connections are numbered.
    const again = await connect(app.socket);
    again.send(initialize(7));
    assert.equal((await again.next()).id, 7);
    assert.deepEqual(app.messages(2), [initialize(7)]);
    again.close();
  });

  test('the process is named Quillore', async (t) => {
    const app = await startApp({ t });
    const found = spawnSync('/usr/bin/pgrep', ['-x', 'Quillore'], { encoding: 'utf8' });
    assert.ok(found.stdout.split('\n').includes(String(app.pid)), found.stdout);
    if (existsSync(`/proc/${app.pid}/comm`)) assert.equal(readFileSync(`/proc/${app.pid}/comm`, 'utf8'), 'Quillore\n');
  });

  test('replies carry the id exactly as the client wrote it', async (t) => {
    const app = await startApp({ t });
    const socket = net.createConnection(app.socket);
    const input = lines(socket);
    const ids = ['1', '1.0', '"quillore-replay-1"', '12345678901234567890', 'null', '-3', '"7"'];
    for (const id of ids) {
      socket.write(`{"jsonrpc":"2.0","id":${id},"method":"initialize","params":${JSON.stringify(initialize().params)}}\n`);
      assert.equal(rawMember(await input.next(), 'id'), id);
    }
    // Also for hand-made replies, and for errors.
    socket.write(`{"jsonrpc":"2.0","id":2.50,"method":"tools/call","params":{"name":"respond","arguments":{"result":{"a":1}}}}\n`);
    assert.equal(await input.next(), '{"jsonrpc":"2.0","id":2.50,"result":{"a":1}}');
    socket.write(`{"id":"x","jsonrpc":"2.0","method":"tools/call","params":{"name":"no_such_tool"}}\n`);
    assert.deepEqual(JSON.parse(await input.next()).error, { code: -32602, message: 'Unknown tool: no_such_tool' });
    // A client that stops writing still gets its answers, then end of file.
    socket.end(`{"jsonrpc":"2.0","id":1e0,"method":"tools/call","params":{"name":"slow","arguments":{"ms":200}}}\n`);
    assert.equal(await input.next(), '{"result":{"content":[{"type":"text","text":"Waited 200 ms"}]},"jsonrpc":"2.0","id":1e0}');
    assert.equal(await input.next(), null);
    assert.match(app.logText(), /"id":12345678901234567890,/);
  });

  test('tool answers', async (t) => {
    const app = await startApp({ t });
    const c = await session(app);
    const answer = async (name, args) => {
      c.send(call(10, name, args));
      return (await c.next()).result;
    };
    assert.deepEqual((await answer('compare_renders')).content.map((i) => i.type), ['text', 'image', 'image']);
    const jpeg = (await answer('export_jpeg')).content[0];
    assert.equal(jpeg.mimeType, 'image/jpeg');
    assert.deepEqual(Buffer.from(jpeg.data, 'base64'), images.photo);
    assert.equal((await answer('fail_tool')).isError, true);
    assert.equal((await answer('photo_info')).content[0].text, '{"photoId": "DSCF0001", "camera": "X-T5", "iso": 400, "path": "a/b"}');
    const echoed = { photoId: 'a', count: 3, ratio: 0.5, flag: true, tags: ['x', 'y'], nested: { inner: { value: 'v' } } };
    assert.deepEqual((await answer('echo', echoed)).structuredContent, echoed);
    assert.deepEqual(await answer('respond', { result: { content: 'not a list' } }), { content: 'not a list' });
    const started = Date.now();
    assert.equal((await answer('slow', { ms: 300 })).content[0].text, 'Waited 300 ms');
    assert.ok(Date.now() - started >= 290);

    // chatty: a logging notification and a ping request come before the answer.
    c.send(call(11, 'chatty', { waitForPing: true }));
    assert.equal((await c.next()).method, 'notifications/message');
    const ping = await c.next();
    assert.equal(ping.method, 'ping');
    c.send({ jsonrpc: '2.0', id: ping.id, result: {} });
    assert.deepEqual(await c.next(), { jsonrpc: '2.0', id: 11, result: { content: [{ type: 'text', text: 'Done after ping' }] } });

    // respond: lines of its own first, then a reply of exactly the given members.
    c.send(call(13, 'respond', { before: ['', 'x', '{"jsonrpc":"2.0","id":"13","result":{}}'], reply: {} }));
    assert.deepEqual([await c.next(), await c.next(), await c.next(), await c.next()],
      ['', 'x', { jsonrpc: '2.0', id: '13', result: {} }, { jsonrpc: '2.0', id: 13 }]);

    c.send(call(12, 'drop_connection'));
    assert.equal(await c.next(), null);
  });

  test('an SDK client can list and call every plain tool', async (t) => {
    const app = await startApp({ t });
    const socket = net.createConnection(app.socket);
    await new Promise((resolve) => socket.once('connect', resolve));
    const client = new Client({ name: 'harness', version: '1' });
    await client.connect(new SocketTransport(socket));
    const { tools } = await client.listTools();
    assert.ok(tools.length >= 15);
    const result = await client.callTool({ name: 'compare_renders', arguments: {} });
    assert.deepEqual(Buffer.from(result.content[2].data, 'base64'), images.second);
    await client.close();
  });

  describe('switches', () => {
    test('--fail-initialize and --fail-list answer with the given errors', async (t) => {
      const custom = { code: -32000, message: 'Locked', data: 1 };
      for (const [opts, method, error] of [
        [{ failInitialize: true }, 'initialize', { code: -32603, message: 'Quillore could not open its library' }],
        [{ failInitialize: custom }, 'initialize', custom],
        [{ failList: true }, 'tools/list', { code: -32603, message: 'Quillore could not list its tools' }],
        [{ failList: { code: 5 } }, 'tools/list', { code: 5 }],
      ]) {
        const app = await startApp({ t, ...opts });
        const c = await connect(app.socket);
        if (method !== 'initialize') {
          c.send(initialize());
          await c.next();
        }
        c.send({ jsonrpc: '2.0', id: 'q', method, params: method === 'initialize' ? initialize().params : {} });
        assert.deepEqual(await c.next(), { jsonrpc: '2.0', id: 'q', error });
        c.close();
        await app.stop();
      }
    });

    test('--drop-on-call drops each connection at its first call', async (t) => {
      const app = await startApp({ t, dropOnCall: true });
      for (let n = 0; n < 2; n++) {
        const c = await session(app);
        c.send(call(5, 'get_status'));
        assert.equal(await c.next(), null);
      }
    });

    test('--agents-off runs without a socket; --listen-after listens late; agents switched at run time', async (t) => {
      const off = await startApp({ t, agentsOff: true });
      process.kill(off.pid, 0); // alive
      assert.ok(!existsSync(off.socket));
      await assert.rejects(connect(off.socket));

      const app = await startApp({ t });
      const c = await connect(app.socket);
      await app.agentsOff();
      assert.equal(await c.next(), null);
      await assert.rejects(connect(app.socket));
      await app.agentsOn();
      (await connect(app.socket)).close();

      const late = await startApp({ t, listenAfter: 1500 });
      await assert.rejects(connect(late.socket));
      for (let tries = 1; ; tries++) {
        try {
          (await connect(late.socket)).close();
          break;
        } catch (error) {
          if (tries === 100) throw error;
          await new Promise((resolve) => setTimeout(resolve, 100));
        }
      }
    });

    test('--quit-after ends the app, its connections and its socket file', async (t) => {
      const app = await startApp({ t, quitAfter: 1500 });
      const c = await connect(app.socket);
      assert.equal(await c.next(5000), null);
      assert.deepEqual(await app.exited, { code: 0, signal: null });
      assert.ok(!existsSync(app.socket));
    });
  });
});

describe('harness', () => {
  test('run passes input, environment and argv0, and returns both outputs', async (t) => {
    const dir = tempDir(t);
    const script = join(dir, 'show.mjs');
    writeFileSync(script, `const env = process.env;
      process.stdout.write(process.argv0 + ' ' + (env.QL_AGENT_SOCK ?? 'unset') + ' ' + (env.EXTRA ?? 'unset') + '\\n');
      process.stdin.pipe(process.stdout);
      process.stdin.on('end', () => { process.stderr.write('oops\\n'); process.exitCode = 3; });`);
    process.env.QL_AGENT_SOCK = '/from/the/caller';
    const result = await run(process.execPath, [script], { env: { EXTRA: 'x' }, input: 'in\n', argv0: 'quillore-mcp' });
    delete process.env.QL_AGENT_SOCK;
    assert.equal(result.status, 3);
    assert.equal(result.stdout.toString(), 'quillore-mcp unset x\nin\n');
    assert.equal(result.stderr.toString(), 'oops\n');

    const slow = await run('/bin/sleep', ['5'], { timeout: 200 });
    assert.equal(slow.signal, 'SIGKILL');
    assert.ok(slow.timedOut);
  });

  test('isolated runs see no app but their own, and can launch one', { skip: !canIsolate && 'needs root and unshare' }, async (t) => {
    await startApp({ t }); // outside: must not be seen inside
    const alone = await run('/usr/bin/pgrep', ['-x', 'Quillore'], { isolated: true });
    assert.equal(alone.status, 1);

    const dir = tempDir(t);
    const socket = join(dir, 'launched.sock');
    const check = 'gtk-launch app.quillore.Quillore && for i in $(seq 50); do [ -S "$QL_AGENT_SOCK" ] && break; sleep 0.1; done; ' +
      'pgrep -x Quillore >/dev/null && [ -S "$QL_AGENT_SOCK" ] && echo launched';
    const launched = await run('/bin/bash', ['-c', check], {
      isolated: { launch: ['--log', join(dir, 'launched.log')] },
      env: { QL_AGENT_SOCK: socket },
    });
    assert.equal(launched.stdout.toString(), 'launched\n', launched.stderr.toString());
    assert.ok(existsSync(join(dir, 'launched.log')));

    const failing = await run('/bin/bash', ['-c', 'gtk-launch app.quillore.Quillore'], { isolated: { launch: false } });
    assert.equal(failing.status, 1);

    const home = tempDir(t);
    writeFileSync(join(home, 'marker'), '');
    const named = await run(process.execPath, ['-p', 'process.argv0 + " " + require("fs").readdirSync(require("os").userInfo().homedir)'], {
      isolated: { home },
      argv0: 'quillore-mcp',
    });
    assert.equal(named.stdout.toString(), 'quillore-mcp marker\n', named.stderr.toString());
  });
});
