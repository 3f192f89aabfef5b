// Shared by the cli*.test.mjs files: running quillore-cli against a stand-in app and
// comparing what it prints with the exact bytes expected.
import assert from 'node:assert/strict';
import { programs, run, spawnProgram } from './lib.mjs';

export const usageText = (name = 'quillore-cli') =>
  [
    ": drive Quillore, which converts Fujifilm RAF files on the user's own camera.\n\nUsage:\n  ",
    ' tools                        List the tools, as JSON.\n  ',
    " help <tool>                  One tool's options and input schema, as JSON.\n  ",
    " <tool> [--option value\u2026] [--json '<object>' | --json -]\n  ",
    " call <tool> ['<object>']     The same, with all input as JSON.\n  ",
    ' mcp                          Serve MCP on stdin/stdout.\n  ',
    " --version\n\nTool names take _ or - (render_preview, render-preview); options take the input's keys as\n" +
      "--photoId or --photo-id. Nested input (render_preview's variants) goes in --json.\n\nOptions:\n" +
      '  --json <object>   Tool input as a JSON object; - reads it from stdin. Options override its keys.\n' +
      '  --out <dir>       Where images are written (default ~/Library/Caches/Quillore/agent-previews,\n' +
      '                    cleared after a day).\n\nOutput is one JSON object on stdout; images come back as files ' +
      'listed in "images".\nExit codes: 0 done, 1 the tool reported an error, 2 usage error, 3 Quillore can\'t be ' +
      'reached\n(it is opened in the background when needed; Settings \u2192 AI agents must be on).\n',
  ]
    .map((piece) => name + piece)
    .join('');

export const closedMessage = 'Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off.';
export const notRunning =
  'Quillore is not running. Ask the user to open Quillore and turn on Settings \u2192 AI agents, then try again.';

// Keys sorted at every depth, as the program prints its final object.
function sorted(value) {
  if (Array.isArray(value)) return value.map(sorted);
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.keys(value).sort().map((key) => [key, sorted(value[key])]));
  }
  return value;
}

// The bytes the program prints for `value`: indented, keys sorted, one LF.
export const pretty = (value) => JSON.stringify(sorted(value), null, 2) + '\n';

// Runs quillore-cli with the app's socket; launching is off so that no other test's
// app is ever started or waited for.
export function cli(socket, args, opts = {}) {
  return run(programs.cli, args, { ...opts, env: { QL_AGENT_SOCK: socket, QL_NO_LAUNCH: '1', ...opts.env } });
}

// The run printed exactly `value` and exited with `status`, writing nothing on stderr.
export function printed(result, status, value) {
  assert.equal(result.stderr.toString(), '', 'nothing on standard error');
  assert.equal(result.stdout.toString(), typeof value === 'string' ? value : pretty(value));
  assert.equal(result.status, status);
}

export const failed = (result, status, message) => printed(result, status, { error: message });

// Like cli(), also giving the program's process id and the local times (yyyyMMdd-HHmmss)
// that its run spanned, to check image file names with.
export async function cliTimed(socket, args, opts = {}) {
  const stamp = (date) => {
    const two = (n) => String(n).padStart(2, '0');
    return `${date.getFullYear()}${two(date.getMonth() + 1)}${two(date.getDate())}-` +
      `${two(date.getHours())}${two(date.getMinutes())}${two(date.getSeconds())}`;
  };
  const start = Math.floor(Date.now() / 1000) * 1000;
  const child = spawnProgram(programs.cli, args, { ...opts, env: { QL_AGENT_SOCK: socket, QL_NO_LAUNCH: '1', ...opts.env } });
  const stdout = [];
  const stderr = [];
  child.stdout.on('data', (b) => stdout.push(b));
  child.stderr.on('data', (b) => stderr.push(b));
  child.stdin.end(opts.input ?? '');
  const closed = new Promise((resolve) => child.on('close', resolve));
  const { code } = await child.exited;
  await closed;
  const stamps = [];
  for (let t = start; t <= Date.now(); t += 1000) stamps.push(stamp(new Date(t)));
  return { status: code, stdout: Buffer.concat(stdout), stderr: Buffer.concat(stderr), pid: child.pid, stamps };
}
