// quillore-mcp in relay mode between a real agent and the stand-in app: the MCP SDK's
// own client on its stdio transport, and raw lines where the SDK cannot say enough
// (ids of other types, lines while disconnected, exit statuses).
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { describe, test } from 'node:test';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { LoggingMessageNotificationSchema, McpError } from '@modelcontextprotocol/sdk/types.js';
import { lines, programs, spawnProgram, startApp, tempDir } from './lib.mjs';

const disconnected =
  'Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off. Try the call again; ' +
  'Quillore is opened again if needed.';
const notRunning =
  'Quillore is not running. Ask the user to open Quillore and turn on Settings \u2192 AI agents, then try again.';

const initialize = (id) => ({
  jsonrpc: '2.0',
  id,
  method: 'initialize',
  params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'raw-agent', version: String(id) } },
});
const initialized = { jsonrpc: '2.0', method: 'notifications/initialized' };
const call = (id, name, args = {}) => ({ jsonrpc: '2.0', id, method: 'tools/call', params: { name, arguments: args } });
const errorReply = (id, message) => ({ jsonrpc: '2.0', id, error: { code: -32000, message } });

// The relay's environment: the app's socket, and never a launch, so that the outcome
// does not depend on other tests' apps running at the same time.
const relayEnv = (socket) => ({ QL_AGENT_SOCK: socket, QL_NO_LAUNCH: '1' });

function socketIn(t) {
  return join(tempDir(t), 'app.sock');
}

// An SDK client whose transport spawns quillore-mcp.
async function sdkAgent(t, socket, { connect = true } = {}) {
  const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('QL_')));
  const transport = new StdioClientTransport({
    command: programs.mcp,
    args: [],
    env: { ...env, ...relayEnv(socket) },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr.on('data', (chunk) => (stderr += chunk));
  const client = new Client({ name: 'relay-test-agent', version: '1.0.0' });
  const problems = [];
  client.onerror = (error) => problems.push(error);
  t.after(async () => {
    await client.close();
    assert.doesNotMatch(stderr, /Sanitizer/, 'the relay reported a sanitizer error');
  });
  if (connect) await client.connect(transport);
  return { client, transport, problems };
}

// quillore-mcp on plain pipes: lines in, lines out.
function rawAgent(t, socket) {
  const child = spawnProgram(programs.mcp, [], { env: relayEnv(socket), t });
  const output = lines(child.stdout);
  let stderr = '';
  child.stderr.on('data', (chunk) => (stderr += chunk));
  t.after(() => assert.doesNotMatch(stderr, /Sanitizer/, 'the relay reported a sanitizer error'));
  return {
    child,
    send: (message) => child.stdin.write((typeof message === 'string' ? message : JSON.stringify(message)) + '\n'),
    nextLine: (ms = 10000) => output.next(ms),
    async next(ms = 10000) {
      const line = await output.next(ms);
      return line === null ? null : JSON.parse(line);
    },
    // Nothing more arrives within `ms`.
    async silent(ms = 300) {
      await assert.rejects(output.next(ms), /no line within/);
    },
  };
}

// The app's messages on one of its connections (numbered from 1).
const messagesOn = (app, conn) => app.messages(conn);
const calls = (messages) => messages.filter((m) => m.method === 'tools/call');

async function handshake(agent) {
  agent.send(initialize(1));
  const reply = await agent.next();
  assert.equal(reply.id, 1);
  assert.ok(reply.result);
  agent.send(initialized);
}

describe('relay with the SDK client', () => {
  test('lists the tools and calls one', async (t) => {
    const socket = socketIn(t);
    const app = await startApp({ t, socket });
    const { client, problems } = await sdkAgent(t, socket);

    const { tools } = await client.listTools();
    assert.ok(tools.some((tool) => tool.name === 'render_preview'));
    const result = await client.callTool({ name: 'render_preview', arguments: { photoId: '42' } });
    assert.deepEqual(result.content[0], { type: 'text', text: 'Preview of 42' });
    assert.deepEqual(result.structuredContent, { photoId: '42', width: 8, height: 6, hdr: false });

    assert.deepEqual(
      messagesOn(app, 1).map((m) => m.method),
      ['initialize', 'notifications/initialized', 'tools/list', 'tools/call'],
    );
    assert.deepEqual(problems, []);
  });

  test('the app quits with two calls in flight and comes back: no new handshake by the agent', async (t) => {
    const socket = socketIn(t);
    let app = await startApp({ t, socket });
    const { client, problems } = await sdkAgent(t, socket);
    const agentInitialize = messagesOn(app, 1)[0];

    // The app quits while it works on two calls: both are answered by the relay.
    const quitWithCallsInFlight = async (count) => {
      const pending = Array.from({ length: count }, () =>
        client.callTool({ name: 'slow', arguments: { ms: 60000 } }).then(
          () => assert.fail('a reply from an app that quit'),
          (error) => error,
        ),
      );
      await app.waitForLog(() => calls(app.messages()).filter((m) => m.params.name === 'slow').length === count);
      await app.kill('SIGKILL');
      for (const error of await Promise.all(pending)) {
        assert.ok(error instanceof McpError, String(error));
        assert.equal(error.code, -32000);
        assert.equal(error.message, `MCP error -32000: ${disconnected}`);
      }
    };

    await quitWithCallsInFlight(2);
    for (const replay of [1, 2]) {
      app = await startApp({ t, socket });
      const result = await client.callTool({ name: 'render_preview', arguments: { photoId: String(replay) } });
      assert.equal(result.content[0].text, `Preview of ${replay}`);
      // On the new connection: the replayed handshake first, then the call.
      const [replayed, notification, request, ...rest] = messagesOn(app, 1);
      assert.deepEqual(replayed, { ...agentInitialize, id: `quillore-replay-${replay}` });
      assert.deepEqual(notification, initialized);
      assert.equal(request.method, 'tools/call');
      assert.deepEqual(rest, []);
      if (replay === 1) await quitWithCallsInFlight(1);
    }
    // A reply to a replayed handshake reaching the client would show up here.
    assert.deepEqual(problems, []);
  });

  test('a result of several megabytes arrives whole, and the next call still works', async (t) => {
    const socket = socketIn(t);
    await startApp({ t, socket });
    const { client, problems } = await sdkAgent(t, socket);
    // Passed on by the relay while it arrives (long lines are not held back whole).
    const text = Array.from({ length: 60000 }, (_, i) => `line ${i} of a long result;`).join(' ').padEnd(3_000_000, '=');
    const result = await client.callTool({ name: 'respond', arguments: { result: { content: [{ type: 'text', text }] } } });
    assert.equal(result.content[0].text.length, text.length);
    assert.ok(result.content[0].text === text);
    const next = await client.callTool({ name: 'render_preview', arguments: { photoId: '2' } });
    assert.equal(next.content[0].text, 'Preview of 2');
    assert.deepEqual(problems, []);
  });

  test('the app cannot be reached and may not be launched', async (t) => {
    const { client, transport } = await sdkAgent(t, socketIn(t), { connect: false });
    await assert.rejects(client.connect(transport), (error) => {
      assert.equal(error.code, -32000);
      assert.equal(error.message, `MCP error -32000: ${notRunning}`);
      return true;
    });
  });

  test("the app's own requests and notifications reach the agent, and its answers reach the app", async (t) => {
    const socket = socketIn(t);
    const app = await startApp({ t, socket });
    const { client, problems } = await sdkAgent(t, socket);
    const notes = [];
    client.setNotificationHandler(LoggingMessageNotificationSchema, (note) => notes.push(note.params.data));

    // The app pings the agent and answers only once the ping's reply is back.
    const result = await client.callTool({ name: 'chatty', arguments: { waitForPing: true } });
    assert.equal(result.content[0].text, 'Done after ping');
    assert.deepEqual(notes, ['Rendering']);
    const pong = messagesOn(app, 1).find((m) => !('method' in m) && 'result' in m);
    assert.ok(pong, 'the agent answered the ping');
    assert.deepEqual(problems, []);
  });
});

describe('relay on raw lines', () => {
  test('requests in flight get errors with their own ids; a null id is forwarded but not answered', async (t) => {
    const socket = socketIn(t);
    const app = await startApp({ t, socket });
    const agent = rawAgent(t, socket);
    await handshake(agent);
    agent.send(call(7, 'slow', { ms: 60000 }));
    agent.send(call('7', 'slow', { ms: 60000 }));
    agent.send(call(null, 'slow', { ms: 60000 }));
    await app.waitForLog(() => calls(app.messages()).length === 3);
    assert.equal(calls(app.messages())[2].id, null);
    await app.kill('SIGKILL');

    const answers = [await agent.nextLine(), await agent.nextLine()].sort();
    // Each id keeps its JSON type: the number 7 and the text "7" are two requests.
    assert.match(answers[0], /"id":"7"/);
    assert.match(answers[1], /"id":7[,}]/);
    assert.deepEqual(answers.map((line) => JSON.parse(line)), [errorReply('7', disconnected), errorReply(7, disconnected)]);
    await agent.silent();
  });

  test('while disconnected: notifications are dropped, "initialized" is remembered, own initialize is not replayed', async (t) => {
    const socket = socketIn(t);
    const agent = rawAgent(t, socket);
    agent.send(initialize(1));
    assert.deepEqual(await agent.next(), errorReply(1, notRunning));
    agent.send(initialized);
    agent.send({ jsonrpc: '2.0', method: 'notifications/progress', params: { progressToken: 1, progress: 1 } });
    agent.send({ jsonrpc: '2.0', id: 'app-1', result: {} });
    agent.send('not json');
    agent.send('');
    await agent.silent();

    // The agent's own "initialize" reconnects and goes out alone.
    let app = await startApp({ t, socket });
    agent.send(initialize(2));
    const reply = await agent.next();
    assert.equal(reply.id, 2);
    assert.ok(reply.result.serverInfo);
    agent.send(call(3, 'slow', { ms: 60000 }));
    await app.waitForLog(() => calls(app.messages()).length === 1);
    assert.deepEqual(messagesOn(app, 1), [initialize(2), call(3, 'slow', { ms: 60000 })]);
    await app.kill('SIGKILL');
    assert.deepEqual(await agent.next(), errorReply(3, disconnected));

    // The next connection gets the stored handshake, "initialized" included.
    app = await startApp({ t, socket });
    agent.send(call('four', 'echo', { photoId: 'x' }));
    assert.equal((await agent.next()).id, 'four');
    assert.deepEqual(messagesOn(app, 1), [
      { ...initialize(2), id: 'quillore-replay-1' },
      initialized,
      call('four', 'echo', { photoId: 'x' }),
    ]);
    await agent.silent();
  });

  test('the end of standard input ends the relay with status 0, calls in flight or not', async (t) => {
    const socket = socketIn(t);
    const app = await startApp({ t, socket });
    const agent = rawAgent(t, socket);
    await handshake(agent);
    agent.send(call(2, 'slow', { ms: 60000 }));
    await app.waitForLog(() => calls(app.messages()).length === 1);
    agent.child.stdin.end();
    assert.deepEqual(await agent.child.exited, { code: 0, signal: null });
  });

  for (const [name, appUp] of [
    ['when a reply from the app is copied', true],
    ['when the relay answers by itself', false],
  ]) {
    test(`a closed standard output ends the relay with status 0 ${name}`, async (t) => {
      const socket = socketIn(t);
      if (appUp) await startApp({ t, socket });
      const agent = rawAgent(t, socket);
      agent.child.stdout.destroy();
      agent.send(initialize(1));
      assert.deepEqual(await agent.child.exited, { code: 0, signal: null });
    });
  }

  // Thousands of requests while the app is killed and started again at random moments:
  // each gets exactly one answer (the app's reply or one of the relay's errors), and no
  // line is torn by the relay or interleaved with another. An app killed in the middle
  // of writing a reply leaves a piece of it, which is passed on as a line of its own
  // (the request then gets its error): at most one such piece per kill, each the start
  // of one message.
  test('every request is answered exactly once while the app is killed and restarted', async (t) => {
    const socket = socketIn(t);
    let app = await startApp({ t, socket });
    const agent = rawAgent(t, socket);
    await handshake(agent);

    const minimumRequests = 3000;
    const minimumRestarts = 20;
    const deadline = Date.now() + 40000;
    let sent = 0;
    let restarts = 0;
    let random = 12345;
    const next = (n) => {
      random = (random * 1103515245 + 12345) % 2147483648;
      return random % n;
    };

    const answers = new Map();
    const counts = { lines: 0, replies: 0, errors: 0, disconnects: 0, cut: [] };
    let sendingDone = false;
    const reading = (async () => {
      const giveUp = Date.now() + 60000;
      while (!(sendingDone && counts.lines - counts.cut.length >= sent) && Date.now() < giveUp) {
        const line = await agent.nextLine(200).catch(() => undefined);
        if (line === undefined) continue;
        if (line === null) break;
        counts.lines++;
        let message;
        try {
          message = JSON.parse(line);
        } catch {
          counts.cut.push(line);
          continue;
        }
        const key = JSON.stringify([message.id]);
        answers.set(key, (answers.get(key) ?? 0) + 1);
        if (message.error) {
          counts.errors++;
          if (message.error.message === disconnected) counts.disconnects++;
          assert.ok([disconnected, notRunning].includes(message.error.message), message.error.message);
        } else {
          counts.replies++;
        }
      }
    })();

    const churn = (async () => {
      while (restarts < minimumRestarts || !sendingDone) {
        await sleep(30 + next(200));
        await app.kill('SIGKILL');
        await sleep(next(30));
        app = await startApp({ t, socket });
        restarts++;
      }
    })();

    while ((sent < minimumRequests || restarts < minimumRestarts) && Date.now() < deadline) {
      for (let i = 0; i < 8; i++, sent++) {
        const id = sent % 2 ? sent : `r${sent}`;
        // Now and then a long line, written in several pieces on every side, and a
        // call that takes a while, so that calls are in flight when the app dies.
        if (sent % 10 === 5) agent.send(call(id, 'slow', { ms: 40 }));
        else if (sent % 40 === 0) agent.send(call(id, 'echo', { photoId: String(sent), nested: { pad: 'p'.repeat(150000) } }));
        else agent.send(call(id, 'echo', { photoId: String(sent) }));
      }
      await sleep(20);
    }
    sendingDone = true;
    await churn;
    await reading;

    assert.ok(counts.cut.length <= restarts, `${counts.cut.length} pieces of lines`);
    for (const piece of counts.cut) {
      const start = piece.slice(0, 120);
      assert.ok(piece.startsWith('{"'), `not the start of a message: ${start}`);
      assert.ok(!/\}\s*\{/.test(piece) && piece.split('"jsonrpc"').length <= 2, `two messages in one line: ${start}`);
    }
    const missing = [];
    for (let i = 0; i < sent; i++) if (!answers.has(JSON.stringify([i % 2 ? i : `r${i}`]))) missing.push(i);
    assert.deepEqual(missing, [], `unanswered: ${missing.slice(0, 20)} of ${JSON.stringify(counts)}`);
    assert.ok(restarts >= minimumRestarts, `${restarts} restarts`);
    assert.ok(sent >= minimumRequests, `${sent} requests`);
    assert.equal(counts.lines - counts.cut.length, sent);
    assert.equal(answers.size, sent);
    for (const [key, count] of answers) assert.equal(count, 1, `${key} answered ${count} times`);
    assert.ok(counts.disconnects > 0 && counts.errors > counts.disconnects && counts.replies > 0, JSON.stringify(counts));
    await agent.silent();
  });
});
