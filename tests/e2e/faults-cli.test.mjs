// quillore-cli under faults: standard output that cannot be written, an app that
// breaks off in the middle of a line or never ends one, huge messages through small
// socket buffers, a process stopped and continued over and over, image directories
// that cannot be written or run out of space. Whatever happens, the run prints
// exactly one JSON object (when it can) and ends with the exit code of its outcome.
import assert from 'node:assert/strict';
import { existsSync, readdirSync, readFileSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { describe, test } from 'node:test';
import { closedMessage, cli, failed, pretty } from './cli-common.mjs';
import { answerHandshake, faultPeer, noMountReason, readOnlyDir, renderTool, runTo, smallDisk } from './fault-peer.mjs';
import { programs, spawnProgram, tempDir } from './lib.mjs';

const escaped = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
const reply = (id, result) => ({ jsonrpc: '2.0', id, result });
const textResult = (text) => ({ content: [{ type: 'text', text }] });

// A peer that answers the handshake and then the call with `result`, and keeps what
// it receives after that in `extra`.
async function answering(t, result) {
  const extra = [];
  const peer = await faultPeer(t, async (conn) => {
    const call = await answerHandshake(conn);
    if (call) conn.send(reply(call.id, result));
    for (let line; (line = await conn.next()) !== null; ) extra.push(line);
  });
  return { ...peer, extra };
}

describe('standard output that cannot be written keeps the exit code', () => {
  const outcomes = [
    ['a tool result', 0, (t) => answering(t, textResult('done')), ['render_preview', '--photo-id', '1']],
    ['a tool error', 1, (t) => answering(t, { ...textResult('no'), isError: true }), ['render-preview', '--photo-id=1']],
    ['a usage error', 2, (t) => answering(t, {}), ['no_such_tool']],
    ['an unreachable app', 3, (t) => ({ path: join(tempDir(t), 'absent.sock') }), ['tools']],
    ['the version', 0, (t) => ({ path: join(tempDir(t), 'absent.sock') }), ['--version']],
  ];
  for (const stdout of ['full', 'closed', 'none']) {
    for (const [name, status, setUp, args] of outcomes) {
      test(`${name}, standard output ${stdout}`, async (t) => {
        const peer = await setUp(t);
        const result = await runTo(programs.cli, args, { stdout, env: { QL_AGENT_SOCK: peer.path, QL_NO_LAUNCH: '1' } });
        assert.deepEqual([result.status, result.signal, result.stderr], [status, null, '']);
        // With descriptor 1 closed, the app's socket must not take its place.
        await Promise.all(peer.connections?.map((conn) => conn.finished) ?? []);
        assert.deepEqual(peer.extra ?? [], [], 'the app receives nothing after the call');
      });
    }
  }
});

describe('an app that misbehaves during a request', () => {
  // The last step of the app before it closes, by the request it breaks off in.
  const breaks = {
    'half of the initialize reply': async (conn) => {
      const init = await conn.next();
      await conn.write(JSON.stringify(reply(init.id, { capabilities: {} })).slice(0, 20));
    },
    'half of the tools/list reply': async (conn) => {
      const init = await conn.next();
      conn.send(reply(init.id, {}));
      await conn.next();
      const list = await conn.next();
      await conn.write(JSON.stringify(reply(list.id, { tools: [renderTool] })).slice(0, 40));
    },
    'half of the tools/call reply': async (conn) => {
      const call = await answerHandshake(conn);
      await conn.write(JSON.stringify(reply(call.id, textResult('x'))).slice(0, 30));
    },
    '100 MB without a line feed instead of the call reply': async (conn) => {
      await answerHandshake(conn);
      const block = Buffer.alloc(1 << 20, 'x');
      for (let i = 0; i < 100; i++) await conn.write(block);
    },
    'a complete reply for another id, then half of ours': async (conn) => {
      const call = await answerHandshake(conn);
      conn.send(reply(call.id + 1, textResult('not yours')));
      await conn.write(`{"jsonrpc":"2.0","id":${call.id},"res`);
    },
  };
  for (const [name, misbehave] of Object.entries(breaks)) {
    test(`${name}, then the connection closes: exit 3 with the connection message`, async (t) => {
      const peer = await faultPeer(t, async (conn) => {
        await misbehave(conn);
        await conn.end();
      });
      const result = await cli(peer.path, ['render_preview', '--photo-id', '7'], { timeout: 120000 });
      failed(result, 3, closedMessage);
    });
  }

  test('a line of 100 MB before the reply is skipped and the reply still counts', async (t) => {
    const peer = await faultPeer(t, async (conn) => {
      const call = await answerHandshake(conn);
      const block = Buffer.alloc(1 << 20, '[');
      for (let i = 0; i < 100; i++) await conn.write(block);
      await conn.write('\n');
      conn.send(reply(call.id, textResult('after the flood')));
    });
    const result = await cli(peer.path, ['render_preview', '--photo-id', '7'], { timeout: 120000 });
    assert.equal(result.stdout.toString(), pretty({ text: 'after the flood' }));
    assert.equal(result.status, 0);
  });

  test('a reply nested far deeper than any message is skipped, not fatal', async (t) => {
    const deep = 200000;
    const peer = await faultPeer(t, async (conn) => {
      const call = await answerHandshake(conn);
      await conn.write(`{"jsonrpc":"2.0","id":${call.id},"result":{"structuredContent":{"a":${'['.repeat(deep)}${']'.repeat(deep)}}}}\n`);
      await conn.end();
    });
    const result = await cli(peer.path, ['render_preview', '--photo-id', '7']);
    failed(result, 3, closedMessage);
  });
});

describe('large messages through small socket buffers, with the program stopped and continued', () => {
  // A 20 MB input goes out in many short writes (the peer reads it slowly), a 20 MB
  // text comes back; SIGSTOP and SIGCONT keep interrupting the program meanwhile.
  test('the input arrives whole and the output is whole', { timeout: 120_000 }, async (t) => {
    const big = 'é'.repeat(5 << 20) + 'end';
    let received = null;
    const peer = await faultPeer(t, async (conn) => {
      const call = await answerHandshake(conn);
      received = call.params.arguments.note;
      conn.socket.pause();
      await new Promise((resolve) => setTimeout(resolve, 50));
      conn.socket.resume();
      conn.send(reply(call.id, { content: [{ type: 'text', text: received }] }));
    });
    const child = spawnProgram(programs.cli, ['call', 'render_preview', '-', '--photo-id', '1'], {
      t,
      env: { QL_AGENT_SOCK: peer.path, QL_NO_LAUNCH: '1' },
    });
    // Listened for from the start: under load the output may close before the exit is seen.
    const stdoutClosed = new Promise((resolve) => child.stdout.once('close', resolve));
    // A schema without "note" still takes it through the JSON object of `call`.
    child.stdin.end(JSON.stringify({ note: big }));
    const chunks = [];
    child.stdout.on('data', (chunk) => {
      chunks.push(chunk);
      // Read in bursts, so that the program's writes to its output are short too.
      child.stdout.pause();
      setTimeout(() => child.stdout.resume(), 1);
    });
    let running = true;
    const exited = child.exited.then((outcome) => {
      running = false;
      return outcome;
    });
    (async () => {
      while (running) {
        child.kill('SIGSTOP');
        await new Promise((resolve) => setTimeout(resolve, 2));
        child.kill('SIGCONT');
        await new Promise((resolve) => setTimeout(resolve, 3));
      }
    })();
    const { code } = await exited;
    await stdoutClosed;
    assert.equal(received, big);
    assert.equal(code, 0);
    assert.ok(Buffer.concat(chunks).equals(Buffer.from(pretty({ text: big }))), 'the whole text, once');
  });
});

describe('image directories that cannot be written', () => {
  const pngOf = (bytes) => Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), bytes]);
  const image = (bytes) => ({ type: 'image', data: bytes.toString('base64'), mimeType: 'image/png' });

  test('--out on a read-only file system: exit 2 with the system reason', async (t) => {
    const dir = readOnlyDir(t);
    if (!dir) return t.skip(noMountReason);
    const peer = await answering(t, { content: [image(pngOf(Buffer.alloc(100)))] });
    const inside = await cli(peer.path, ['render_preview', '--photo-id', '1', '--out', join(dir, 'sub')]);
    failed(inside, 2, `Can't write images to ${join(dir, 'sub')}: Read-only file system`);
    const peer2 = await answering(t, { content: [image(pngOf(Buffer.alloc(100)))] });
    const itself = await cli(peer2.path, ['render_preview', '--photo-id', '1', '--out', dir]);
    const printed = JSON.parse(itself.stdout.toString());
    assert.match(printed.error, new RegExp(`^Can't write ${escaped(dir)}/render_preview-\\d{8}-\\d{6}-\\d+-1\\.png: Read-only file system$`));
    assert.equal(itself.status, 2);
    assert.deepEqual(readdirSync(dir), []);
  });

  test('a full disk: the images before stay, the one that does not fit is reported, exit 2', async (t) => {
    const disk = smallDisk(t, 256 * 1024);
    if (!disk) return t.skip(noMountReason);
    const small = pngOf(Buffer.alloc(20 * 1024, 1));
    const peer = await answering(t, {
      content: [{ type: 'text', text: 'first' }, image(small), image(pngOf(Buffer.alloc(1 << 20, 2))), image(small)],
    });
    const result = await cli(peer.path, ['render_preview', '--photo-id', '1', '--out', disk]);
    const printed = JSON.parse(result.stdout.toString());
    assert.deepEqual(Object.keys(printed), ['error']);
    assert.match(printed.error, new RegExp(`^Can't write ${escaped(disk)}/render_preview-\\d{8}-\\d{6}-\\d+-2\\.png: No space left on device$`));
    assert.equal(result.status, 2);
    assert.equal(result.stderr.toString(), '');
    const names = readdirSync(disk).sort();
    assert.equal(names.length, 2, 'the first image and what fitted of the second');
    assert.deepEqual(readFileSync(join(disk, names[0])), small);
    assert.ok(statSync(join(disk, names[1])).size < 1 << 20);
    assert.ok(!existsSync(join(disk, names[0].replace(/-1\.png$/, '-3.png'))), 'nothing after the failure');
  });
});
