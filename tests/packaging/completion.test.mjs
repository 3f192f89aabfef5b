// Shell completion of quillore-cli and quillore-finish, as `cmake --install` puts it in
// place: one table of command lines and what Tab must offer at their end, run in bash
// (the completion function driven through COMP_WORDS/COMP_CWORD in a bash child), zsh
// (a real completion in an interactive zsh on a pseudo-terminal) and fish (complete -C).
// Every quillore-cli that a Tab runs is a logging wrapper: it must run with
// QL_NO_LAUNCH=1, only as `tools` or `help TOOL`, at most once per Tab.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync, mkdirSync, readFileSync, writeFileSync, existsSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { before, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { tools as standInTools } from '../e2e/app/tools.js';
import { answerHandshake, faultPeer } from '../e2e/fault-peer.mjs';
import { binDir, run, startApp, tempDir } from '../e2e/lib.mjs';

const has = (program) => spawnSync('sh', ['-c', `command -v ${program}`]).status === 0;
const shells = {
  bash: { missing: has('bash') ? null : 'bash is not installed' },
  zsh: { missing: has('zsh') ? null : 'zsh is not installed (apt-get install zsh)' },
  fish: { missing: has('fish') ? null : 'fish is not installed (apt-get install fish)' },
};

// The installed tree, a logging quillore-cli in front of the real one, and a folder
// with a few files for file-name completion.
let prefix, wrapperDir, logFile, filesDir, shellHome;
before(() => {
  const dir = tempDir();
  prefix = join(dir, 'prefix');
  const install = spawnSync('cmake', ['--install', binDir, '--prefix', prefix], { encoding: 'utf8' });
  assert.equal(install.status, 0, install.stderr + install.stdout);
  wrapperDir = join(dir, 'bin');
  logFile = join(dir, 'runs.log');
  mkdirSync(wrapperDir);
  const wrapper = join(wrapperDir, 'quillore-cli');
  writeFileSync(
    wrapper,
    `#!/usr/bin/env bash\nprintf '%s %s\\n' "\${QL_NO_LAUNCH-unset}" "$*" >>"$QUILLORE_RUNS_LOG"\n` +
      `exec -a quillore-cli ${JSON.stringify(join(prefix, 'bin', 'quillore-mcp'))} "$@"\n`,
  );
  chmodSync(wrapper, 0o755);
  shellHome = join(dir, 'home');
  mkdirSync(shellHome);
  filesDir = join(dir, 'files');
  mkdirSync(join(filesDir, 'renders'), { recursive: true });
  for (const name of ['base.jpg', 'dark.png']) writeFileSync(join(filesDir, name), '');
});

// The words bash hands to a completion function: split at spaces, and at "=" (which is in
// COMP_WORDBREAKS), "=" being a word of its own.
function bashWords(line) {
  return line.split(' ').flatMap((word) => {
    const m = /^(--[^=]+)=(.*)$/.exec(word);
    return m ? [m[1], '=', ...(m[2] === '' ? [] : [m[2]])] : [word];
  });
}

const bashDriver = `
. "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE=$LINE; COMP_POINT=\${#LINE}
spec=$(complete -p "\${COMP_WORDS[0]}") || exit 9
function=\${spec#*-F }; function=\${function%% *}
"$function" "\${COMP_WORDS[0]}" "\${COMP_WORDS[COMP_CWORD]}" "\${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\\n' "\${COMPREPLY[@]}"
`;

// What one shell offers at the end of the line: {offers (sorted, without repeats, a
// directory's "/" removed), stderr, runs (the logged quillore-cli runs)}.
async function complete(shell, line, socket) {
  writeFileSync(logFile, '');
  const command = line.split(' ')[0];
  const env = {
    PATH: `${wrapperDir}:${join(prefix, 'bin')}:${process.env.PATH}`,
    QL_AGENT_SOCK: socket,
    QUILLORE_RUNS_LOG: logFile,
    // fish keeps its history and settings there.
    XDG_CONFIG_HOME: shellHome,
    XDG_DATA_HOME: shellHome,
    LINE: line,
  };
  let result;
  if (shell === 'bash') {
    const file = join(prefix, 'share/bash-completion/completions', command);
    result = await run('bash', ['--norc', '--noprofile', '-c', bashDriver, 'bash', file, ...bashWords(line)], {
      env,
      cwd: filesDir,
    });
  } else if (shell === 'zsh') {
    const harness = join(dirname(fileURLToPath(import.meta.url)), 'zsh-complete.zsh');
    result = await run('zsh', ['-f', harness, join(prefix, 'share/zsh/site-functions'), line], { env, cwd: filesDir });
  } else {
    const path = join(prefix, 'share/fish/vendor_completions.d');
    const script = `set -p fish_complete_path ${path}; complete -C ${JSON.stringify(line)}`;
    result = await run('fish', ['--no-config', '-c', script], { env, cwd: filesDir });
  }
  assert.equal(result.status, 0, `${shell}: ${result.stderr}`);
  const offers = result.stdout
    .toString()
    .split('\n')
    .filter(Boolean)
    .map((l) => l.split('\t')[0].replace(/\/$/, ''));
  const runs = readFileSync(logFile, 'utf8').split('\n').filter(Boolean);
  return { offers: [...new Set(offers)].sort(), stderr: result.stderr.toString(), runs };
}

// Each case: the line (Tab is pressed at its end), what every shell offers, and where a
// shell differs by its own conventions: zsh offers options only once "-" is typed; fish
// offers an option again after it was given and keeps "--option=" in front of a value.
const appCommands = ['tools', 'help', 'call', 'mcp'];
const callable = standInTools.map((t) => t.name).filter((n) => !n.includes('-'));
const standInCases = [
  ['quillore-cli ', [...appCommands, ...callable.filter((n) => !appCommands.includes(n)).map((n) => n.replaceAll('_', '-'))],
    { fish: (o) => o.filter((n) => !n.startsWith('.')) }], // fish hides names that start with "."
  ['quillore-cli list-', ['list-photos']],
  ['quillore-cli render_', ['render_preview']],
  ['quillore-cli -', ['--help', '--version']],
  ['quillore-cli help list', ['list-photos']],
  ['quillore-cli call he', ['help']], // a tool named like a command, reached through call
  ['quillore-cli tools ', []],
  ['quillore-cli mcp ', []],
  ['quillore-cli help render-preview --', []],
  ['quillore-cli nope --', []],
  ['quillore-cli render-preview --', ['--hdr', '--json', '--no-hdr', '--out', '--photo-id', '--quality']],
  ['quillore-cli render-preview ', ['--hdr', '--json', '--no-hdr', '--out', '--photo-id', '--quality'], { zsh: [] }],
  ['quillore-cli render-preview --photoId 7 --q', ['--quality']],
  ['quillore-cli list-photos --sort ', ['date', 'name', 'rating']],
  ['quillore-cli list-photos --sort=n', ['name'], { fish: ['--sort=name'] }],
  ['quillore-cli list-photos --rating ', ['1', '2', '3', '4', '5']],
  ['quillore-cli list-photos --album --sort --', // --sort is the album's name here
    ['--album', '--favorites-only', '--json', '--limit', '--no-favorites-only', '--out', '--rating', '--sort', '--tags']],
  ['quillore-cli echo --flag ',
    ['--count', '--flag', '--json', '--level', '--max-width-px', '--mode', '--no-flag', '--out', '--photo-id', '--ratio',
      '--tags', 'false', 'true'], { zsh: ['false', 'true'] }],
  ['quillore-cli echo --flag false --m', ['--max-width-px', '--mode']],
  ['quillore-cli call echo --level ', ['1', '2', '4']],
  ['quillore-cli echo --json {} --mode f', ['fast', 'full']],
  ['quillore-cli echo --count ', []],
  ['quillore-cli render-preview --out ', ['renders']],
  ['quillore-cli render-preview --json ', ['-', 'base.jpg', 'dark.png', 'renders']],
  ['quillore-cli render-preview --out=r', ['renders'], { fish: ['--out=renders'] }],
  ['quillore-finish --', ['--mode', '--out', '--quality', '--sky', '--strength']],
  ['quillore-finish --mode ', ['balance', 'darken-sky', 'keep-highlights']],
  ['quillore-finish --mode balance --', ['--out', '--quality', '--sky', '--strength'],
    { fish: ['--mode', '--out', '--quality', '--sky', '--strength'] }],
  ['quillore-finish --strength ', ['1', '2', '3']],
  ['quillore-finish --sky ', []],
  ['quillore-finish --out ', ['base.jpg', 'dark.png', 'renders']],
  ['quillore-finish --mode balance --out r.jpg b', ['base.jpg']],
];

// Tools whose help output is harder to read: enum values with spaces, quotes and a
// backslash, keys with capitals, a nested "enum" that belongs to no option, a tool named
// like a command and one that cannot be called.
const awkwardTools = [
  {
    name: 'set_look',
    title: 'Set look',
    description: 'Sets a look. Then renders.',
    inputSchema: {
      type: 'object',
      properties: {
        look: { enum: ['soft light', 'say "cheese"', 'back\\slash', 'x'], description: 'The look: "soft" or not' },
        maxWidthPx: { type: 'integer' },
        useHDR: { type: 'boolean' },
        level: { type: 'integer', enum: [1, 2, 10] },
        settings: { type: 'object', properties: { look: { enum: ['nested-only'] }, level: { enum: [99] } } },
        mode: { type: 'string' },
      },
      required: ['look'],
    },
  },
  { name: 'tools', description: 'Named like a command.', inputSchema: { type: 'object' } },
  { name: 'my-tool', description: 'Listed with a hyphen.', inputSchema: { type: 'object' } },
];
const shellQuoted = ['back\\\\slash', 'say\\ \\"cheese\\"', 'soft\\ light', 'x'];
const awkwardCases = [
  ['quillore-cli ', ['call', 'help', 'mcp', 'set-look', 'tools']],
  ['quillore-cli call t', ['tools']],
  ['quillore-cli set-look --',
    ['--json', '--level', '--look', '--max-width-px', '--mode', '--no-use-h-d-r', '--out', '--use-h-d-r']],
  // Quoted for the shell where it inserts the text as it is.
  ['quillore-cli set-look --look ', ['back\\slash', 'say "cheese"', 'soft light', 'x'],
    { bash: shellQuoted, zsh: shellQuoted }],
  ['quillore-cli set-look --maxWidthPx 5 --useHDR --le', ['--level']],
  ['quillore-cli set-look --level ', ['1', '10', '2']],
  ['quillore-cli set-look --mode ', []],
];

function expected(want, overrides, shell) {
  const override = overrides?.[shell];
  if (override === undefined) return [...want].sort();
  return (typeof override === 'function' ? override(want) : override).sort();
}

async function check(shell, cases, socket) {
  for (const [line, want, overrides] of cases) {
    const got = await complete(shell, line, socket);
    assert.deepEqual(got.offers, expected(want, overrides, shell), `${shell}: ${line}⇥`);
    if (shell !== 'zsh') assert.equal(got.stderr, '', `${shell}: ${line}⇥ prints nothing`);
    assert.ok(got.runs.length <= 1, `${shell}: ${line}⇥ runs quillore-cli at most once: ${got.runs}`);
    for (const r of got.runs) assert.match(r, /^1 (tools|help \S+)$/, `${shell}: ${line}⇥`);
  }
}

for (const [shell, { missing }] of Object.entries(shells)) {
  describe(`${shell} completion`, { skip: missing ?? false }, () => {
    test('offers commands, tools, options and values from the stand-in app', async (t) => {
      const app = await startApp({ t });
      await check(shell, standInCases, app.socket);
    });

    test('reads awkward tool descriptions', async (t) => {
      const peer = await faultPeer(t, (conn) => answerHandshake(conn, awkwardTools));
      await check(shell, awkwardCases, peer.path);
    });

    test('offers nothing and prints nothing when the app cannot be reached', async (t) => {
      const socket = join(tempDir(t), 'none.sock');
      for (const line of ['quillore-cli ', 'quillore-cli help ', 'quillore-cli render-preview --', 'quillore-cli list-photos --sort ']) {
        const got = await complete(shell, line, socket);
        assert.deepEqual(got.offers, [], `${shell}: ${line}⇥`);
        if (shell !== 'zsh') assert.equal(got.stderr, '', `${shell}: ${line}⇥`);
        assert.deepEqual(got.runs.map((r) => r.split(' ')[0]), got.runs.length ? ['1'] : []);
      }
      // Files need no app.
      assert.deepEqual((await complete(shell, 'quillore-cli render-preview --out ', socket)).offers, ['renders']);
    });
  });
}

test('the completion files are installed where each shell looks for them', () => {
  for (const path of [
    'share/bash-completion/completions/quillore-cli',
    'share/bash-completion/completions/quillore-finish',
    'share/zsh/site-functions/_quillore-cli',
    'share/zsh/site-functions/_quillore-finish',
    'share/fish/vendor_completions.d/quillore-cli.fish',
    'share/fish/vendor_completions.d/quillore-finish.fish',
  ]) {
    assert.ok(existsSync(join(prefix, path)), path);
  }
});
