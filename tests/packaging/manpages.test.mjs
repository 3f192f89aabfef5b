// The manual pages: lint-clean, installed where man finds them, and telling the same
// facts as README.md and the programs themselves.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { before, test } from 'node:test';
import { binDir, programs, run, sourceDir, tempDir } from '../e2e/lib.mjs';

const has = (program) => spawnSync('sh', ['-c', `command -v ${program}`]).status === 0;
const pages = ['quillore-cli', 'quillore-finish'];
const built = (page) => join(binDir, 'man', `${page}.1`);

test('the pages are lint-clean in groff and mandoc, in every output device', (t) => {
  const linters = [];
  if (has('groff')) {
    for (const device of ['ascii', 'utf8', 'ps']) linters.push(['groff', ['-ww', '-z', '-man', `-T${device}`]]);
  }
  if (has('mandoc')) linters.push(['mandoc', ['-T', 'lint', '-W', 'style']]);
  if (!linters.length) return t.skip('neither groff nor mandoc is installed (apt-get install mandoc)');
  for (const page of pages) {
    for (const [linter, args] of linters) {
      const result = spawnSync(linter, [...args, built(page)], { encoding: 'utf8' });
      assert.equal(result.status, 0, `${linter} ${page}: ${result.stderr}`);
      assert.equal(result.stdout + result.stderr, '', `${linter} ${args.join(' ')} ${page}`);
    }
  }
});

// The installed tree.
let prefix;
before(() => {
  prefix = join(tempDir(), 'prefix');
  const install = spawnSync('cmake', ['--install', binDir, '--prefix', prefix], { encoding: 'utf8' });
  assert.equal(install.status, 0, install.stderr + install.stdout);
});

test('cmake --install puts the pages under share/man/man1, where man finds them', (t) => {
  for (const page of [...pages, 'quillore-mcp']) assert.ok(existsSync(join(prefix, 'share/man/man1', `${page}.1`)), page);
  if (!has('man')) return t.skip('man is not installed (apt-get install man-db)');
  const man = (name, locale) =>
    spawnSync('man', ['--warnings', name], {
      encoding: 'utf8',
      env: { ...process.env, MANPATH: join(prefix, 'share/man'), MANPAGER: 'cat', MANWIDTH: '80', LANG: locale, LC_ALL: locale },
    });
  for (const locale of ['C', 'C.UTF-8']) {
    for (const [name, title] of [['quillore-cli', 'QUILLORE-CLI(1)'], ['quillore-mcp', 'QUILLORE-CLI(1)'], ['quillore-finish', 'QUILLORE-FINISH(1)']]) {
      const result = man(name, locale);
      assert.equal(result.status, 0, `man ${name}: ${result.stderr}`);
      assert.equal(result.stderr, '', `man ${name} in ${locale} renders without warnings`);
      assert.ok(result.stdout.startsWith(title), `man ${name} shows ${title}`);
    }
  }
});

// A page as plain text: rendered in ASCII on very long lines, without hyphenation, the
// overstriking of bold and underlined text removed and white space made single spaces.
function text(page) {
  const rendered = has('mandoc')
    ? spawnSync('mandoc', ['-T', 'ascii', '-O', 'width=1000', built(page)], { encoding: 'utf8' })
    : spawnSync('groff', ['-man', '-Tascii', '-rLL=1000n', '-rHY=0', built(page)], { encoding: 'utf8' });
  assert.equal(rendered.status, 0, rendered.stderr);
  return rendered.stdout.replace(/.\x08/g, '').replace(/\s+/g, ' ');
}

// README text as it looks in ASCII: no backquotes, arrows, ellipses and the like.
const ascii = (s) =>
  s.replaceAll('`', '').replaceAll('→', '->').replaceAll('…', '...').replaceAll('×', 'x').replaceAll('−', '-').trim();

// The rows of the README table whose header row starts with `header`: arrays of cells.
function readmeTable(header) {
  const lines = readFileSync(join(sourceDir, 'README.md'), 'utf8').split('\n');
  const start = lines.findIndex((l) => l.startsWith(`| ${header} |`));
  assert.ok(start >= 0, `README has a table headed ${header}`);
  const rows = [];
  for (const line of lines.slice(start + 2)) {
    if (!line.startsWith('|')) break;
    rows.push(line.slice(1, -1).split(/(?<!\\)\|/).map((cell) => cell.trim()));
  }
  return rows;
}

const section = (page, name, next) => {
  const all = text(page);
  const from = all.indexOf(` ${name} `);
  assert.ok(from >= 0, `${page} has ${name}`);
  const to = next ? all.indexOf(` ${next} `, from) : all.length;
  return all.slice(from, to);
};

test('both pages carry the version that quillore-cli --version prints', async () => {
  const version = (await run(programs.cli, ['--version'])).stdout.toString().trim();
  for (const page of pages) assert.match(text(page), new RegExp(` quillore ${version.replaceAll('.', '\\.')} `));
});

test('quillore-finish(1): the usage, modes, options and messages of README.md and the program', async () => {
  const page = text('quillore-finish');
  const usage = (await run(programs.finish, [])).stderr.toString().trim();
  assert.ok(page.includes(usage), `the page gives the usage message ${usage}`);

  for (const [mode, renders, does] of readmeTable('Mode')) {
    assert.ok(page.includes(`${ascii(mode)} (${renders}) ${ascii(does)}`), `mode ${mode}`);
  }
  // Each option's paragraph runs to the next option's heading ("--sky F …").
  const options = section('quillore-finish', 'OPTIONS', 'NOTES');
  const rows = readmeTable('Option');
  const heading = (name) => options.search(new RegExp(` ${name} [A-Z]+ `));
  const starts = rows.map(([option]) => heading(ascii(option))).sort((a, b) => a - b);
  for (const [option, , defaultValue] of rows) {
    const from = heading(ascii(option));
    assert.ok(from >= 0, `the page has ${option}`);
    const paragraph = options.slice(from, starts.find((at) => at > from));
    const wanted = defaultValue === 'required' ? 'required.' : `Default ${defaultValue}.`;
    assert.ok(paragraph.includes(wanted), `${option}: ${wanted}`);
  }
  const status = section('quillore-finish', 'EXIT STATUS', 'EXAMPLES');
  for (const [message, when] of readmeTable('Message')) {
    assert.ok(status.includes(`${ascii(message)} ${ascii(when)}`), `message ${message}`);
  }
});

test('quillore-cli(1): the commands, option kinds, exit codes, environment and files of README.md', async () => {
  const page = text('quillore-cli');
  const synopsis = section('quillore-cli', 'SYNOPSIS', 'DESCRIPTION');
  const help = (await run(programs.cli, ['--help'])).stdout.toString();
  for (const line of help.split('\n').filter((l) => l.startsWith('  quillore-cli '))) {
    // "quillore-cli help <tool>  One tool's…" → "quillore-cli help tool"
    const command = line.trim().split(/\s{2,}/)[0].split(' ').slice(0, 3).join(' ').replace(/[<>]/g, '').replace(/ \[.*$/, '');
    assert.ok(synopsis.includes(command), `the synopsis has ${command}`);
  }
  for (const [schema, takes] of readmeTable('Schema of the property')) {
    const kind = ascii(schema).replace(/<|>/g, '');
    assert.ok(page.replace(/<|>/g, '').includes(`${kind} ${ascii(takes).replace(/<|>/g, '')}`), `option kind ${schema}`);
  }
  const status = section('quillore-cli', 'EXIT STATUS', 'ENVIRONMENT');
  for (const [code, meaning] of readmeTable('Code')) {
    assert.ok(status.includes(` ${code} ${ascii(meaning)} `), `exit code ${code}`);
  }
  const environment = section('quillore-cli', 'ENVIRONMENT', 'FILES');
  for (const [setting] of readmeTable('Setting')) {
    assert.ok(environment.includes(ascii(setting).replace('=1', '')), setting);
  }
  const files = section('quillore-cli', 'FILES', 'EXAMPLES');
  for (const path of ['~/Library/Application Support/Quillore/agent.sock', '~/Library/Caches/Quillore/agent-previews']) {
    assert.ok(files.includes(path), path);
  }
});
