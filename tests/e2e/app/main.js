// The stand-in for the desktop app's agent endpoint: MCP over newline-delimited
// JSON-RPC on a Unix-domain socket, one SDK server per accepted connection.
// Start it through run-app.sh so that its process is named "Quillore".
// Switches: see usage below and README.md.

import { closeSync, lstatSync, openSync, unlinkSync, writeSync } from 'node:fs';
import net from 'node:net';
import process from 'node:process';
import { Server } from '@modelcontextprotocol/sdk/server/index.js';
import { EmptyResultSchema, ErrorCode, ListToolsRequestSchema } from '@modelcontextprotocol/sdk/types.js';
import { rawMember, SocketTransport } from './transport.js';
import { listing, tools } from './tools.js';

const usage = `Usage: run-app.sh --socket PATH [switches]
  --socket PATH          Unix-domain socket to listen on (at most 103 bytes)
  --log FILE             append every received message to FILE, one JSON line each:
                         {"conn":N,"msg":…} ({"conn":N,"raw":"…"} when not JSON),
                         and {"conn":N,"event":"open"|"close"}
  --quit-after MS        quit MS milliseconds after start
  --agents-off           run without listening (AI agents turned off)
  --listen-after MS      start listening only MS milliseconds after start
  --exit-with-stdin      quit when standard input ends (the tests' harness uses it so
                         that no app outlives its test)
  --drop-on-call         close every connection, unanswered, at its first tools/call
  --fail-initialize[=E]  answer "initialize" with the JSON-RPC error object E
  --fail-list[=E]        answer "tools/list" with the JSON-RPC error object E
Signals: SIGUSR1 turns AI agents off (socket closed, connections ended),
SIGUSR2 turns them on again; SIGTERM, SIGINT and SIGHUP quit.
`;

const defaultInitializeError = { code: -32603, message: 'Quillore could not open its library' };
const defaultListError = { code: -32603, message: 'Quillore could not list its tools' };

function parseSwitches(argv) {
  const options = { dropOnCall: false, agentsOff: false };
  const numberOf = (name, text) => {
    if (!/^\d+$/.test(text ?? '')) fail(`${name} needs a number of milliseconds`);
    return Number(text);
  };
  const errorOf = (name, text, fallback) => {
    if (text === undefined) return fallback;
    try {
      const error = JSON.parse(text);
      if (error && typeof error === 'object' && !Array.isArray(error)) return error;
    } catch {}
    fail(`${name}= needs a JSON object`);
  };
  for (let i = 0; i < argv.length; i++) {
    const [name, inline] = argv[i].startsWith('--') && argv[i].includes('=')
      ? [argv[i].slice(0, argv[i].indexOf('=')), argv[i].slice(argv[i].indexOf('=') + 1)]
      : [argv[i], undefined];
    const value = () => (inline !== undefined ? inline : argv[++i]);
    switch (name) {
      case '--socket': options.socket = value(); break;
      case '--log': options.log = value(); break;
      case '--quit-after': options.quitAfter = numberOf(name, value()); break;
      case '--listen-after': options.listenAfter = numberOf(name, value()); break;
      case '--agents-off': options.agentsOff = true; break;
      case '--drop-on-call': options.dropOnCall = true; break;
      case '--exit-with-stdin': options.exitWithStdin = true; break;
      case '--fail-initialize': options.initializeError = errorOf(name, inline, defaultInitializeError); break;
      case '--fail-list': options.listError = errorOf(name, inline, defaultListError); break;
      case '-h': case '--help': process.stdout.write(usage); process.exit(0); break;
      default: fail(`unknown switch ${argv[i]}`);
    }
  }
  if (!options.socket && !options.agentsOff) fail('--socket PATH is required');
  return options;
}

function fail(message) {
  process.stderr.write(`Quillore stand-in: ${message}\n${usage}`);
  process.exit(2);
}

const options = parseSwitches(process.argv.slice(2));

// The log is written synchronously, line by line, so tests can read it while the app runs.
const logFd = options.log ? openSync(options.log, 'a') : undefined;
function log(line) {
  if (logFd !== undefined) writeSync(logFd, line + '\n');
}

const connections = new Set();
let connectionCount = 0;

function serve(socket) {
  const conn = ++connectionCount;
  log(JSON.stringify({ conn, event: 'open' }));
  let calls = 0;

  const transport = new SocketTransport(socket, {
    received(line, isJson) {
      // JSON goes into the log as written, so the log keeps its exact ids and numbers.
      log(isJson ? `{"conn":${conn},"msg":${line}}` : JSON.stringify({ conn, raw: line }));
    },
    intercept(message, line) {
      const error =
        message.method === 'initialize' ? options.initializeError :
        message.method === 'tools/list' ? options.listError : undefined;
      if (!error) return false;
      const id = rawMember(line, 'id');
      if (id !== undefined) transport.writeLine(`{"jsonrpc":"2.0","id":${id},"error":${JSON.stringify(error)}}`);
      return true;
    },
  });

  const server = new Server(
    { name: 'Quillore', version: '1.0.0' },
    { capabilities: { tools: {}, logging: {} } },
  );
  server.setRequestHandler(ListToolsRequestSchema, () => ({ tools: listing() }));

  const never = new Promise(() => {});
  // The SDK answers a thrown error with its code and message, unchanged.
  const rpcError = (code, message) => Object.assign(new Error(message), { code });
  // Tool calls bypass the SDK's checks of results on purpose: some tools answer
  // with results a real app should not send (undecodable images and the like).
  server.fallbackRequestHandler = async (request, extra) => {
    if (request.method !== 'tools/call') throw rpcError(ErrorCode.MethodNotFound, 'Method not found');
    if (options.dropOnCall && calls++ === 0) {
      transport.drop();
      return never;
    }
    const name = request.params?.name;
    const tool = tools.find((t) => t.name === name);
    if (!tool) throw rpcError(ErrorCode.InvalidParams, `Unknown tool: ${name}`);
    const args = request.params.arguments ?? {};
    let answered = false;
    const connection = {
      drop: () => {
        answered = true;
        transport.drop();
      },
      notify: (method, params) => server.notification({ method, params }),
      writeLine: (line) => transport.writeLine(line),
      // No time limit: a client that never answers (the command line) is not reminded.
      ping: () => server.request({ method: 'ping' }, EmptyResultSchema, { timeout: 0x7fffffff }).catch(() => {}),
      replyRaw: (body) => {
        answered = true;
        transport.reply(extra.requestId, body);
      },
    };
    const result = await tool.call(args, connection);
    return answered ? never : result;
  };

  server.onerror = () => {}; // lines the SDK cannot use are in the log; nothing to report
  server.onclose = () => {
    connections.delete(transport);
    log(JSON.stringify({ conn, event: 'close' }));
  };
  connections.add(transport);
  server.connect(transport);
}

function listen() {
  const listener = net.createServer({ allowHalfOpen: true }, serve);
  try {
    if (lstatSync(options.socket).isSocket()) unlinkSync(options.socket); // left by a crash
  } catch {}
  listener.on('error', (error) => {
    process.stderr.write(`Quillore stand-in: cannot listen on ${options.socket}: ${error.message}\n`);
    process.exit(1);
  });
  listener.listen(options.socket, () => {
    process.stdout.write(`Quillore stand-in: listening on ${options.socket}\n`);
  });
  return listener;
}

let listener;

// Settings → AI agents switched while the app runs: SIGUSR1 turns them off (the
// socket goes, connections end), SIGUSR2 on again.
function turnAgentsOff() {
  listener?.close();
  listener = undefined;
  for (const transport of connections) transport.drop();
  process.stdout.write('Quillore stand-in: agents off\n');
}
function turnAgentsOn() {
  listener ??= listen();
}

function quit() {
  listener?.close(); // removes the socket file
  for (const transport of connections) transport.drop();
  if (logFd !== undefined) closeSync(logFd);
  process.exit(0);
}

process.on('SIGTERM', quit);
process.on('SIGINT', quit);
process.on('SIGHUP', quit);
process.on('SIGUSR1', turnAgentsOff);
process.on('SIGUSR2', turnAgentsOn);
process.stdout.on('error', () => {}); // whoever started us may stop reading

if (options.exitWithStdin) {
  process.stdin.on('end', quit).on('error', quit).resume();
}
process.stdout.write(`Quillore stand-in: started, pid ${process.pid}\n`);
if (options.quitAfter !== undefined) setTimeout(quit, options.quitAfter);
if (options.agentsOff) {
  setInterval(() => {}, 1 << 30); // stays alive without a socket
} else if (options.listenAfter !== undefined) {
  setTimeout(() => (listener = listen()), options.listenAfter);
} else {
  listener = listen();
}
