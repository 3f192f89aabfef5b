// Helpers of the fault tests (faults-*.test.mjs, finish-faults.test.mjs):
//
//   faultPeer(t, script)   a misbehaving stand-in for the app's endpoint: a Unix-domain
//                          socket server that hands each accepted connection to
//                          script(conn). conn: finished (resolves when the script
//                          has), next() → the next line parsed (the
//                          text when not JSON; null at the end), nextRaw() → the next
//                          line as a Buffer, send(objectOrText)
//                          (a line), write(bytes) → once flushed, end(), destroy(),
//                          socket. → {path, connections}
//   answerHandshake(conn, tools)  answers quillore-cli's initialize, notification and
//                          tools/list; resolves with the message after them
//   lineQueue(stream)      → {next()}: the stream's lines as Buffers, null at its end;
//                          long lines are cheap
//   smallDisk(t, bytes)    a tmpfs of that size, mounted for the test (root only);
//                          null when it cannot be mounted (the caller skips)
//   readOnlyDir(t)         an empty directory on a file system mounted read-only, or null
//   runTo(program, args, {stdout, env, input, holdInput})  runs a program with its
//                          standard output sent to "full" (/dev/full), "closed" (a pipe
//                          whose reader has gone) or "none" (descriptor 1 closed); its
//                          standard input gets `input` and is closed after it unless
//                          holdInput; → {status, signal, stderr}
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { tempDir } from './lib.mjs';

// The lines of a stream (without LF; the unterminated rest at its end; then null).
// Long lines cost one copy: chunks are joined only once their LF has arrived.
export function lineQueue(stream) {
  const ready = [];
  const waiting = [];
  let pending = [];
  let ended = false;
  const deliver = () => {
    while (waiting.length && (ready.length || ended)) waiting.shift()(ready.length ? ready.shift() : null);
  };
  stream.on('data', (chunk) => {
    let at;
    while ((at = chunk.indexOf(0x0a)) !== -1) {
      pending.push(chunk.subarray(0, at));
      ready.push(Buffer.concat(pending));
      pending = [];
      chunk = chunk.subarray(at + 1);
    }
    if (chunk.length) pending.push(chunk);
    deliver();
  });
  const end = () => {
    if (ended) return;
    if (pending.length) ready.push(Buffer.concat(pending));
    pending = [];
    ended = true;
    deliver();
  };
  for (const event of ['end', 'close', 'error']) stream.on(event, end);
  return {
    // The next line as a Buffer; null at the end.
    next: () => new Promise((resolve) => {
      waiting.push(resolve);
      deliver();
    }),
  };
}

export async function faultPeer(t, script) {
  const path = join(tempDir(t), 'peer.sock');
  const connections = [];
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    const input = lineQueue(socket);
    const conn = {
      socket,
      nextRaw: () => input.next(),
      async next() {
        const line = await input.next();
        if (line === null) return null;
        try {
          return JSON.parse(line);
        } catch {
          return line.toString();
        }
      },
      send: (message) => socket.write((typeof message === 'string' ? message : JSON.stringify(message)) + '\n'),
      write: (bytes) => new Promise((resolve) => socket.write(bytes, () => resolve())),
      end: () => new Promise((resolve) => socket.end(resolve)),
      destroy: () => socket.destroy(),
    };
    connections.push(conn);
    conn.finished = Promise.resolve()
      .then(() => script(conn))
      .catch(() => socket.destroy());
  });
  await new Promise((resolve) => server.listen(path, resolve));
  t.after(
    () =>
      new Promise((resolve) => {
        for (const conn of connections) conn.socket.destroy();
        server.close(() => resolve());
      }),
  );
  return { path, connections };
}

export const renderTool = {
  name: 'render_preview',
  title: 'Render preview',
  description: 'Renders a preview.',
  inputSchema: { type: 'object', properties: { photoId: { type: 'string' } }, required: ['photoId'] },
};

export async function answerHandshake(conn, tools = [renderTool]) {
  const init = await conn.next();
  conn.send({ jsonrpc: '2.0', id: init.id, result: { protocolVersion: '2025-11-25', capabilities: {}, serverInfo: { name: 'peer', version: '0' } } });
  const notification = await conn.next();
  if (notification?.method !== 'notifications/initialized') throw new Error('no initialized notification');
  const list = await conn.next();
  conn.send({ jsonrpc: '2.0', id: list.id, result: { tools } });
  return conn.next();
}

// A tmpfs mounted on a fresh directory, unmounted and removed when the test ends.
function mount(t, options) {
  if (process.platform !== 'linux' || process.getuid?.() !== 0) return null;
  const dir = mkdtempSync('/tmp/ql-mount-');
  const result = spawnSync('mount', ['-t', 'tmpfs', '-o', options, 'tmpfs', dir]);
  if (result.status !== 0) {
    rmSync(dir, { recursive: true, force: true });
    return null;
  }
  t.after(() => {
    spawnSync('umount', ['-l', dir]);
    rmSync(dir, { recursive: true, force: true });
  });
  return dir;
}

export const smallDisk = (t, bytes) => mount(t, `size=${bytes},mode=0777`);
export const readOnlyDir = (t) => mount(t, 'size=65536,ro');

export const noMountReason = 'needs root on Linux to mount a small tmpfs (mount -t tmpfs)';

// Runs `program` with standard output sent somewhere that cannot take it.
export function runTo(program, args, { stdout, env = {}, input = '', holdInput = false, argv0 } = {}) {
  const redirect = {
    full: 'exec >/dev/full',
    // The pipe's only reader has ended before the program starts.
    closed: 'exec > >(exec true); wait $!',
    none: 'exec >&-',
  }[stdout];
  const environment = Object.fromEntries(Object.entries(process.env).filter(([k]) => !k.startsWith('QL_')));
  const child = spawn('bash', ['-c', `${redirect}; exec -a "$0" "$@"`, argv0 ?? program, program, ...args], {
    env: { ...environment, ...env },
    stdio: ['pipe', 'ignore', 'pipe'],
  });
  child.stdin.on('error', () => {});
  if (holdInput) child.stdin.write(input);
  else child.stdin.end(input);
  const stderr = [];
  child.stderr.on('data', (b) => stderr.push(b));
  return new Promise((resolve) =>
    child.on('close', (status, signal) => {
      child.stdin.destroy();
      resolve({ status, signal, stderr: Buffer.concat(stderr).toString() });
    }),
  );
}
