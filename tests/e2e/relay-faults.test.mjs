// The relay (quillore-mcp) under faults: standard output that cannot be written, an
// app that breaks off in the middle of a line, floods without a line feed or hangs up
// at once, an agent that sends 100 MB without a line feed, big lines through small
// socket buffers while the relay is stopped and continued. Every request still gets
// exactly one answer, lines stay whole, and the relay ends with status 0.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { describe, test } from 'node:test';
import { faultPeer, lineQueue, runTo } from './fault-peer.mjs';
import { programs, spawnProgram, tempDir } from './lib.mjs';

const disconnected =
  'Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off. Try the call again; ' +
  'Quillore is opened again if needed.';
const request = (id, method = 'tools/list') => JSON.stringify({ jsonrpc: '2.0', id, method, params: {} });
const errorReply = (id, message) => ({ jsonrpc: '2.0', id, error: { code: -32000, message } });
const relayEnv = (socket) => ({ QL_AGENT_SOCK: socket, QL_NO_LAUNCH: '1' });

// quillore-mcp on pipes; its output as a queue of lines (Buffers).
function relay(t, socket) {
  const child = spawnProgram(programs.mcp, [], { env: relayEnv(socket), t });
  const output = lineQueue(child.stdout);
  let stderr = '';
  child.stderr.on('data', (chunk) => (stderr += chunk));
  t.after(() => assert.equal(stderr, '', 'nothing on standard error'));
  return {
    child,
    send: (line) => child.stdin.write(line + '\n'),
    next: () => output.next(),
    async json() {
      const line = await output.next();
      return line === null ? null : JSON.parse(line);
    },
    // Ends the agent's side and gives every line still to come; the relay's status.
    async finish() {
      child.stdin.end();
      const rest = [];
      for (let line; (line = await output.next()) !== null; ) rest.push(line.toString());
      return { rest, exit: await child.exited };
    },
  };
}

// A peer that answers every request with a result, as an app would.
const answering = (t) =>
  faultPeer(t, async (conn) => {
    for (let message; (message = await conn.next()) !== null; ) {
      if (message.id !== undefined && message.method) conn.send({ jsonrpc: '2.0', id: message.id, result: {} });
    }
  });

describe('standard output that cannot be written ends the relay with status 0', () => {
  for (const stdout of ['full', 'closed', 'none']) {
    for (const [name, socket] of [
      ['when it answers by itself', (t) => join(tempDir(t), 'absent.sock')],
      ['when it copies the reply of the app', async (t) => (await answering(t)).path],
    ]) {
      test(`${name}, standard output ${stdout}`, async (t) => {
        // The input stays open: the relay has to notice the output by itself.
        const result = await runTo(programs.mcp, [], {
          stdout,
          env: relayEnv(await socket(t)),
          input: request(1) + '\n',
          holdInput: true,
        });
        assert.deepEqual([result.status, result.signal, result.stderr], [0, null, '']);
      });
    }
  }
});

describe('an app that misbehaves with requests in flight', () => {
  test('it closes in the middle of a line: the piece is passed on, each request answered once', async (t) => {
    const peer = await faultPeer(t, async (conn) => {
      await conn.next();
      await conn.next();
      await conn.write('{"jsonrpc":"2.0","id":7,"resu');
      await conn.end();
    });
    const agent = relay(t, peer.path);
    agent.send(request(7));
    agent.send(request('7'));
    assert.equal((await agent.next()).toString(), '{"jsonrpc":"2.0","id":7,"resu');
    const answers = [await agent.json(), await agent.json()];
    assert.deepEqual(
      answers.sort((a, b) => typeof a.id < typeof b.id ? -1 : 1),
      [errorReply(7, disconnected), errorReply('7', disconnected)],
    );
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
  });

  test('it sends 100 MB without a line feed and closes: one line of 100 MB, then the answer', async (t) => {
    const size = 100 << 20;
    const peer = await faultPeer(t, async (conn) => {
      await conn.next();
      const block = Buffer.alloc(1 << 20, 'x');
      for (let i = 0; i < 100; i++) await conn.write(block);
      await conn.end();
    });
    const agent = relay(t, peer.path);
    agent.send(request(1));
    const flood = await agent.next();
    assert.equal(flood.length, size);
    assert.equal(flood.indexOf('y'), -1);
    assert.equal(flood[0], 0x78);
    assert.deepEqual(await agent.json(), errorReply(1, disconnected));
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
  });

  test('it hangs up on every connection, half of the time after reading: every request answered once', async (t) => {
    let connections = 0;
    const peer = await faultPeer(t, async (conn) => {
      if (connections++ % 2 === 0) await conn.next();
      conn.destroy();
    });
    const agent = relay(t, peer.path);
    const ids = Array.from({ length: 40 }, (_, i) => (i % 2 ? `s${i}` : i));
    for (const id of ids) agent.send(request(id));
    const answered = [];
    for (let i = 0; i < ids.length; i++) {
      const answer = await agent.json();
      assert.equal(answer.error.code, -32000);
      answered.push(answer.id);
    }
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, [], 'no second answer');
    assert.deepEqual(exit, { code: 0, signal: null });
    assert.deepEqual(
      answered.map((id) => JSON.stringify(id)).sort(),
      ids.map((id) => JSON.stringify(id)).sort(),
    );
  });
});

describe('an agent that misbehaves', () => {
  test('100 MB without a line feed, then the end of input: passed on as one line, status 0', async (t) => {
    const size = 100 << 20;
    let received = null;
    const peer = await faultPeer(t, async (conn) => {
      received = await conn.nextRaw();
    });
    const agent = relay(t, peer.path);
    const block = Buffer.alloc(1 << 20, 'z');
    for (let i = 0; i < 100; i++) {
      if (!agent.child.stdin.write(block)) await new Promise((resolve) => agent.child.stdin.once('drain', resolve));
    }
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
    while (received === null) await new Promise((resolve) => setTimeout(resolve, 10));
    assert.equal(received.length, size);
    assert.equal(received.indexOf('y'), -1);
  });
});

describe('lines nested far deeper than any message', () => {
  // Copying or encoding such an id for the relay's bookkeeping would recurse once per
  // level; the relay must treat these lines as what they are, not JSON-RPC messages.
  const deepId = (levels) => '['.repeat(levels) + ']'.repeat(levels);

  test('a request with such an id, from the agent and from the app: no crash, the next request answered', async (t) => {
    const deep = `{"jsonrpc":"2.0","id":${deepId(300000)},"method":"tools/list"}`;
    const peer = await faultPeer(t, async (conn) => {
      for (let line; (line = await conn.nextRaw()) !== null; ) {
        const text = line.toString();
        if (text.startsWith('{"jsonrpc":"2.0","id":[[[')) {
          conn.send(`{"jsonrpc":"2.0","id":${deepId(300000)},"result":{}}`);
          conn.send(`{"jsonrpc":"2.0","id":${deepId(300000)},"method":"ping"}`);
        } else {
          conn.send({ jsonrpc: '2.0', id: JSON.parse(text).id, result: { ok: true } });
        }
      }
    });
    const agent = relay(t, peer.path);
    agent.send(deep);
    // The app's two lines come through unchanged (they are not replies the relay knows).
    assert.equal((await agent.next()).length, `{"jsonrpc":"2.0","id":${deepId(300000)},"result":{}}`.length);
    assert.equal((await agent.next()).length, `{"jsonrpc":"2.0","id":${deepId(300000)},"method":"ping"}`.length);
    agent.send(request(2));
    assert.deepEqual(await agent.json(), { jsonrpc: '2.0', id: 2, result: { ok: true } });
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
  });

  test('while the app cannot be reached: the line is dropped, the next request answered', async (t) => {
    const agent = relay(t, join(tempDir(t), 'absent.sock'));
    agent.send(`{"jsonrpc":"2.0","id":${deepId(300000)},"method":"tools/list"}`);
    agent.send(request(3));
    const answer = await agent.json();
    assert.equal(answer.id, 3);
    assert.equal(answer.error.code, -32000);
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
  });
});

describe('big lines through small socket buffers, with the relay stopped and continued', () => {
  test('20 MB each way arrives whole', async (t) => {
    const big = 'ä'.repeat(10 << 20);
    const peer = await faultPeer(t, async (conn) => {
      const message = await conn.next();
      conn.socket.pause();
      await new Promise((resolve) => setTimeout(resolve, 20));
      conn.socket.resume();
      conn.send({ jsonrpc: '2.0', id: message.id, result: { echo: message.params.text } });
    });
    const agent = relay(t, peer.path);
    let running = true;
    const storm = (async () => {
      while (running) {
        agent.child.kill('SIGSTOP');
        await new Promise((resolve) => setTimeout(resolve, 2));
        agent.child.kill('SIGCONT');
        await new Promise((resolve) => setTimeout(resolve, 3));
      }
    })();
    agent.child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id: 'big', method: 'echo', params: { text: big } }) + '\n');
    const answer = await agent.json();
    running = false;
    await storm;
    assert.equal(answer.id, 'big');
    assert.equal(answer.result.echo, big);
    const { rest, exit } = await agent.finish();
    assert.deepEqual(rest, []);
    assert.deepEqual(exit, { code: 0, signal: null });
  });
});
