// Helpers for the process-level tests (node --test, cwd tests/e2e).
//
//   programs               {mcp, cli, finish}: paths of the built programs, from
//                          QUILLORE_BIN_DIR (ctest sets it), else ../../build
//   binDir, sourceDir      the build tree and the repository
//   appScript              app/run-app.sh, to start the stand-in app by hand
//   images                 {preview, second, photo}: the bytes of the images the app
//                          sends (two PNGs, one JPEG), to compare written files with
//   tempDir(t?)            a fresh directory under /tmp (short: socket paths are
//                          limited to 103 bytes); removed when the test (t) or the
//                          process ends; QUILLORE_KEEP_TMP=1 keeps it
//   startApp(opts)         starts the stand-in app (app/run-app.sh); resolves once its
//                          socket accepts (once it runs, with agentsOff/listenAfter).
//                          opts: socket (default: <tempDir>/app.sock), quitAfter,
//                          listenAfter (ms), agentsOff, dropOnCall, failInitialize,
//                          failList (true, or the JSON-RPC error object to answer
//                          with), args (more switches), t (stop it when t ends).
//                          → {pid, socket, logPath, stop(), kill(signal), log(),
//                             exited, output(), agentsOff(), agentsOn()}
//                          agentsOff()/agentsOn() switch AI agents off (socket gone,
//                          connections ended, process alive) and on again
//                          log() → the parsed log lines: {conn, event: "open"|"close"},
//                          {conn, msg} per received JSON line, {conn, raw} otherwise;
//                          messages(conn?) → just the msg values; logText() → the
//                          file as written (exact ids: JSON.parse rounds big numbers);
//                          waitForLog(predicate(lines), timeoutMs?) → lines, once
//                          the predicate holds
//   run(program, args, opts) → {status, signal, stdout, stderr (Buffers), timedOut}
//                          opts: env (added to the environment; a value of undefined
//                          removes a variable; QL_* of the caller are never passed on),
//                          input (stdin text or Buffer; stdin is closed after it),
//                          argv0 (the name the program is started under), cwd,
//                          timeout (ms, default 30000: then SIGKILL), isolated
//   spawnProgram(program, args, opts) the same, for long runs: the ChildProcess
//                          (stdio pipes), killed when the test (opts.t) or process ends
//   lines(stream)          → {next(timeoutMs?)}: the stream's lines one by one, without
//                          LF; null at its end; rejects after timeoutMs
//   connect(socketPath)    a raw line client of the app: {send(objectOrText),
//                          next(timeoutMs?) → parsed object (or the text when not
//                          JSON), null at end; close()}
//   canIsolate             whether opts.isolated works here (Linux, root)
//
// isolated: the program runs in its own pid namespace, as its pid 1, so
// `pgrep -x Quillore` sees only the apps started inside it (tests running in
// parallel start apps of their own). isolated: {launch: [switches…]} also puts
// a launcher (app/launcher/) in place of the platform's one: starting the app
// then runs the stand-in in the namespace with --socket $QL_AGENT_SOCK and these
// switches; {launch: false} makes the launcher fail. isolated: {home: dir} makes dir the user's
// home directory in the user database that the program reads (a copy of /etc/passwd in
// place of the real one), so nothing is covered up: a checkout inside the real home stays
// where it is. Options combine.
// Children of the namespace end with its pid 1. As pid 1, the program ignores
// signals it has no handler for when they come from inside the namespace, and an
// abort() ends it with SIGSEGV instead of SIGABRT.

import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, existsSync } from 'node:fs';
import net from 'node:net';
import { dirname, join, resolve } from 'node:path';
import process from 'node:process';
import { after } from 'node:test';
import { fileURLToPath } from 'node:url';
import { images } from './app/tools.js';

const here = dirname(fileURLToPath(import.meta.url));
export const sourceDir = process.env.QUILLORE_SOURCE_DIR || resolve(here, '../..');
export const binDir = process.env.QUILLORE_BIN_DIR || resolve(here, '../../build');
export const programs = {
  mcp: join(binDir, 'quillore-mcp'),
  cli: join(binDir, 'quillore-cli'),
  finish: join(binDir, 'quillore-finish'),
};
export const appScript = join(here, 'app', 'run-app.sh');
export { images };

// Children and directories still alive: whatever the tests leave is cleaned up
// once the file's tests are done (so no child keeps the file from ending), and
// at exit.
const children = new Set();
const dirs = new Set();
function cleanUp() {
  for (const child of children) child.kill('SIGKILL');
  if (process.env.QUILLORE_KEEP_TMP !== '1') for (const dir of dirs) rmSync(dir, { recursive: true, force: true });
  dirs.clear();
}
after(cleanUp);
process.on('exit', cleanUp);

export function tempDir(t) {
  const dir = mkdtempSync('/tmp/ql-');
  dirs.add(dir);
  t?.after(() => {
    if (process.env.QUILLORE_KEEP_TMP === '1') return;
    rmSync(dir, { recursive: true, force: true });
    dirs.delete(dir);
  });
  return dir;
}

function track(child, t) {
  children.add(child);
  const exited = new Promise((resolve) =>
    child.on('exit', (code, signal) => {
      children.delete(child);
      resolve({ code, signal });
    }),
  );
  t?.after(() => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    return exited;
  });
  return exited;
}

// ---- the stand-in app ------------------------------------------------------

function appSwitches(o) {
  const args = [];
  if (o.quitAfter !== undefined) args.push(`--quit-after=${o.quitAfter}`);
  if (o.listenAfter !== undefined) args.push(`--listen-after=${o.listenAfter}`);
  if (o.agentsOff) args.push('--agents-off');
  if (o.dropOnCall) args.push('--drop-on-call');
  for (const [key, name] of [['failInitialize', '--fail-initialize'], ['failList', '--fail-list']]) {
    if (o[key] === true) args.push(name);
    else if (o[key]) args.push(`${name}=${JSON.stringify(o[key])}`);
  }
  return [...args, ...(o.args ?? [])];
}

export async function startApp(opts = {}) {
  const dir = tempDir();
  const socket = opts.socket ?? join(dir, 'app.sock');
  const logPath = join(dir, 'app.log');
  const child = spawn(appScript, ['--socket', socket, '--log', logPath, '--exit-with-stdin', ...appSwitches(opts)], {
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  const exited = track(child);
  // At the test's end: the app first, then its directory.
  opts.t?.after(async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    await exited;
    if (process.env.QUILLORE_KEEP_TMP !== '1') rmSync(dir, { recursive: true, force: true });
  });
  let output = '';
  child.stdout.setEncoding('utf8').on('data', (s) => (output += s));
  child.stderr.setEncoding('utf8').on('data', (s) => (output += s));
  const ready = opts.agentsOff || opts.listenAfter !== undefined ? /started, pid/ : /listening on/;
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the app did not start:\n${output}`)), 15000);
    const check = () => {
      if (ready.test(output)) {
        clearTimeout(timer);
        resolve();
      }
    };
    child.stdout.on('data', check);
    exited.then(({ code, signal }) => {
      clearTimeout(timer);
      reject(new Error(`the app ended (${code ?? signal}) before it was ready:\n${output}`));
    });
  });
  const log = () => {
    if (!existsSync(logPath)) return [];
    return readFileSync(logPath, 'utf8').split('\n').filter(Boolean).map((line) => JSON.parse(line));
  };
  // Resolves once the app's output, from `mark` on, matches `pattern`.
  const outputMatches = (pattern, mark) =>
    new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`the app never printed ${pattern}:\n${output}`)), 15000);
      const check = () => {
        if (!pattern.test(output.slice(mark))) return;
        clearTimeout(timer);
        child.stdout.off('data', check);
        resolve();
      };
      child.stdout.on('data', check);
      check();
    });
  const toggle = (signal, pattern) => {
    const mark = output.length;
    child.kill(signal);
    return outputMatches(pattern, mark);
  };
  const kill = (signal = 'SIGKILL') => {
    if (child.exitCode === null && child.signalCode === null) child.kill(signal);
    return exited;
  };
  return {
    pid: child.pid,
    socket,
    logPath,
    exited,
    log,
    logText: () => (existsSync(logPath) ? readFileSync(logPath, 'utf8') : ''),
    async waitForLog(predicate, timeoutMs = 10000) {
      const deadline = Date.now() + timeoutMs;
      for (;;) {
        const lines = log();
        if (predicate(lines)) return lines;
        if (Date.now() > deadline) throw new Error(`the app's log never matched:\n${JSON.stringify(lines)}`);
        await new Promise((resolve) => setTimeout(resolve, 20));
      }
    },
    messages: (conn) => log().filter((l) => 'msg' in l && (conn === undefined || l.conn === conn)).map((l) => l.msg),
    output: () => output,
    stop: () => kill('SIGTERM'),
    agentsOff: () => toggle('SIGUSR1', /agents off/),
    agentsOn: () => toggle('SIGUSR2', /listening on/),
    kill,
  };
}

// ---- running the programs --------------------------------------------------

export const canIsolate =
  process.platform === 'linux' &&
  process.getuid?.() === 0 &&
  spawnSync('unshare', ['--pid', '--fork', '--mount-proc', '--mount', 'true']).status === 0;

function environment(env = {}) {
  const result = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('QL_')));
  for (const [k, v] of Object.entries(env)) {
    if (v === undefined) delete result[k];
    else result[k] = String(v);
  }
  return result;
}

// In isolation the launcher (Linux: /usr/bin/gtk-launch) can be replaced: an
// overlay on /usr/bin, visible inside the namespace only, adds app/launcher/,
// whose gtk-launch starts the stand-in app or fails.
const launcherDir = join(here, 'app', 'launcher');

const quote = (text) => `'${text.replaceAll("'", "'\\''")}'`;

function isolate(program, args, argv0, isolated, env) {
  const { launch, home } = typeof isolated === 'object' ? isolated : {};
  let setup = '';
  if (home !== undefined) {
    if (/[:\n]/.test(home)) throw new Error(`a user database entry cannot hold ${home}`);
    // The user's own entry first, with `home` in its home field, then the others.
    setup +=
      `passwd=$(mktemp) && { getent passwd "$(id -u)" | home=${quote(home)} awk -F: -v OFS=: '{ $6 = ENVIRON["home"]; print }' && ` +
      `awk -F: -v uid="$(id -u)" '$3 != uid' /etc/passwd; } >"$passwd" && chmod 644 "$passwd" && ` +
      `mount --bind "$passwd" /etc/passwd && rm "$passwd" && `;
  }
  if (launch !== undefined) {
    if (/[:,]/.test(launcherDir)) throw new Error(`an overlay cannot use ${launcherDir}`);
    env.QUILLORE_APP_SCRIPT = appScript;
    if (launch === false) env.QUILLORE_LAUNCH_FAILS = '1';
    else env.QUILLORE_LAUNCH_SWITCHES = launch.join('\n');
    setup += `mount -t overlay overlay -o lowerdir=${launcherDir}:/usr/bin /usr/bin && `;
  }
  return {
    file: 'unshare',
    args: ['--pid', '--fork', '--mount-proc', '--mount', '--kill-child', 'bash', '-c', `${setup}exec -a "$0" "$@"`,
      argv0 ?? program, program, ...args],
  };
}

export function spawnProgram(program, args = [], opts = {}) {
  const env = environment(opts.env);
  const command = opts.isolated ? isolate(program, args, opts.argv0, opts.isolated, env) : { file: program, args };
  const child = spawn(command.file, command.args, {
    env,
    cwd: opts.cwd,
    argv0: opts.isolated ? undefined : opts.argv0,
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  child.exited = track(child, opts.t);
  child.stdin.on('error', () => {}); // a program that ends without reading all its input
  return child;
}

export async function run(program, args = [], opts = {}) {
  const child = spawnProgram(program, args, opts);
  const stdout = [];
  const stderr = [];
  child.stdout.on('data', (b) => stdout.push(b));
  child.stderr.on('data', (b) => stderr.push(b));
  child.stdin.end(opts.input ?? '');
  let timedOut = false;
  const timer = setTimeout(() => {
    timedOut = true;
    child.kill('SIGKILL');
  }, opts.timeout ?? 30000);
  const closed = new Promise((resolve) => child.on('close', resolve));
  const { code, signal } = await child.exited;
  await closed;
  clearTimeout(timer);
  return { status: code, signal, stdout: Buffer.concat(stdout), stderr: Buffer.concat(stderr), timedOut };
}

// ---- lines -----------------------------------------------------------------

export function lines(stream) {
  const ready = [];
  const waiting = [];
  let rest = Buffer.alloc(0);
  let ended = false;
  const deliver = () => {
    while (waiting.length && (ready.length || ended)) waiting.shift()(ready.length ? ready.shift() : null);
  };
  stream.on('data', (chunk) => {
    rest = Buffer.concat([rest, chunk]);
    let at;
    while ((at = rest.indexOf(0x0a)) !== -1) {
      ready.push(rest.toString('utf8', 0, at));
      rest = rest.subarray(at + 1);
    }
    deliver();
  });
  const end = () => {
    if (ended) return;
    if (rest.length) ready.push(rest.toString('utf8'));
    rest = Buffer.alloc(0);
    ended = true;
    deliver();
  };
  stream.on('end', end);
  stream.on('close', end);
  stream.on('error', end);
  return {
    next(timeoutMs = 10000) {
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => {
          waiting.splice(waiting.indexOf(settle), 1);
          reject(new Error(`no line within ${timeoutMs} ms`));
        }, timeoutMs);
        const settle = (line) => {
          clearTimeout(timer);
          resolve(line);
        };
        waiting.push(settle);
        deliver();
      });
    },
  };
}

export function connect(socketPath) {
  return new Promise((resolve, reject) => {
    const socket = net.createConnection(socketPath);
    socket.once('error', reject);
    socket.once('connect', () => {
      socket.off('error', reject);
      socket.on('error', () => {});
      const input = lines(socket);
      resolve({
        socket,
        send: (message) => socket.write((typeof message === 'string' ? message : JSON.stringify(message)) + '\n'),
        async next(timeoutMs) {
          const line = await input.next(timeoutMs);
          if (line === null) return null;
          try {
            return JSON.parse(line);
          } catch {
            return line;
          }
        },
        close: () => socket.destroy(),
      });
    });
  });
}
