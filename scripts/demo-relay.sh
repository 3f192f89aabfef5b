#!/usr/bin/env bash
# quillore-mcp as an agent host uses it: an agent (the MCP SDK's client, started on
# quillore-mcp over stdin/stdout) lists the tools and calls one; the stand-in app
# (tests/e2e/app) quits in the middle, with a call in flight, and starts again; the
# agent's next call works without the agent doing its handshake again. Expects
# quillore-mcp on PATH (scripts/demo.sh puts the build folder there). The app's
# socket and its log live in a temporary folder, removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
command -v quillore-mcp >/dev/null || { echo "demo-relay: quillore-mcp is not on PATH" >&2; exit 1; }
[ -d "$root/tests/e2e/node_modules/@modelcontextprotocol/sdk" ] ||
  (cd "$root/tests/e2e" && npm ci --no-audit --no-fund --loglevel=error)

work=$(mktemp -d "${TMPDIR:-/tmp}/quillore-relay-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The agent: a small script on the SDK's Client and StdioClientTransport. It runs in
# tests/e2e, where the SDK is installed, and starts and stops the stand-in app itself.
cd "$root/tests/e2e"
DEMO_DIR=$work node --input-type=module - <<'AGENT'
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';

const dir = process.env.DEMO_DIR;
const socket = join(dir, 'app.sock');
let starts = 0;
const apps = new Set();
process.on('exit', () => apps.forEach((child) => child.kill('SIGKILL')));  // none is left behind

// The stand-in app on `socket`, logging what it receives; resolves once it listens.
async function startApp() {
  const logPath = join(dir, `app-${++starts}.log`);
  const child = spawn('app/run-app.sh', ['--socket', socket, '--log', logPath], { stdio: ['ignore', 'pipe', 'inherit'] });
  apps.add(child);
  child.on('exit', () => apps.delete(child));
  let output = '';
  await new Promise((resolve, reject) => {
    child.stdout.on('data', (chunk) => {
      output += chunk;
      if (output.includes('listening on')) resolve();
    });
    child.on('exit', (code) => reject(new Error(`the stand-in app ended (${code}):\n${output}`)));
  });
  const messages = () =>
    (existsSync(logPath) ? readFileSync(logPath, 'utf8') : '').split('\n').filter(Boolean)
      .map((line) => JSON.parse(line)).filter((entry) => 'msg' in entry).map((entry) => entry.msg);
  return {
    messages,
    async waitFor(predicate) {
      while (!messages().some(predicate)) await new Promise((resolve) => setTimeout(resolve, 20));
    },
    stop: () => new Promise((resolve) => {
      child.once('exit', resolve);
      child.kill('SIGTERM');
    }),
  };
}

const say = (text) => console.log(text);
const show = (result) => {
  const parts = result.content.map((item) =>
    item.type === 'text' ? JSON.stringify(item.text) : `${item.mimeType} of ${Buffer.from(item.data, 'base64').length} bytes`);
  return parts.join(' + ');
};
const describe = (m) =>
  m.method === 'tools/call' ? `tools/call ${m.params.name} ${JSON.stringify(m.params.arguments)} (id ${JSON.stringify(m.id)})`
  : `${m.method}${'id' in m ? ` (id ${JSON.stringify(m.id)})` : ''}`;

say('== quillore-mcp between an agent and the stand-in app');
let app = await startApp();
say(`Quillore (stand-in) is listening on ${socket}`);

const transport = new StdioClientTransport({
  command: 'quillore-mcp',
  args: [],
  env: { PATH: process.env.PATH, QL_AGENT_SOCK: socket, QL_NO_LAUNCH: '1' },
});
const agent = new Client({ name: 'demo-agent', version: '1.0.0' });
const stray = [];
agent.onerror = (error) => stray.push(error);

say('\n-- The agent starts quillore-mcp and does its MCP handshake through it');
await agent.connect(transport);
say(`agent: connected to ${agent.getServerVersion().name}`);
const { tools } = await agent.listTools();
say(`agent: tools/list → ${tools.length} tools: ${tools.map((t) => t.name).slice(0, 6).join(', ')}, …`);
let result = await agent.callTool({ name: 'render_preview', arguments: { photoId: '42' } });
say(`agent: tools/call render_preview {"photoId":"42"} → ${show(result)}`);

say('\n-- Quillore quits while a call is in flight');
const inFlight = agent.callTool({ name: 'slow', arguments: { ms: 60000 } }).catch((error) => error);
await app.waitFor((message) => message.params?.name === 'slow');
await app.stop();
say('Quillore has quit');
const error = await inFlight;
say(`agent: tools/call slow → error ${error.code}: ${error.message.replace(/^MCP error -?\d+: /, '')}`);

say('\n-- Quillore starts again; the agent just makes its next call');
app = await startApp();
result = await agent.callTool({ name: 'render_preview', arguments: { photoId: '43' } });
say(`agent: tools/call render_preview {"photoId":"43"} → ${show(result)}`);
say('What the new Quillore received on its connection, in order:');
for (const message of app.messages()) say(`  ${describe(message)}`);
say('(the first two are the agent\'s handshake, replayed by quillore-mcp; their reply never reached the agent)');

await agent.close();
await app.stop();
if (stray.length) {
  console.error(`demo-relay: the agent saw unexpected messages: ${stray.join('; ')}`);
  process.exit(1);
}
say('\nThe agent closed its end; quillore-mcp ended with it.');
process.exit(0);
AGENT
