// The Homebrew formula cannot be tried here (no macOS); what can be checked is that it
// does not drift from the program's version and from the formulae set-up installs.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { programs, run, sourceDir } from '../e2e/lib.mjs';

test('the Homebrew formula names the program version and formulae that set-up installs', async () => {
  const formula = readFileSync(join(sourceDir, 'packaging/homebrew/quillore-tools.rb'), 'utf8');
  const version = (await run(programs.cli, ['--version'])).stdout.toString().trim();
  assert.equal(/^\s*version "([^"]*)"/m.exec(formula)?.[1], version);
  assert.match(/^\s*url "([^"]*)"/m.exec(formula)?.[1], new RegExp(`-${version.replaceAll('.', '\\.')}\\.tar\\.gz$`));

  const setup = readFileSync(join(sourceDir, 'scripts/setup.sh'), 'utf8');
  const installed = /for f in ([^;]*); do\s*brew list/.exec(setup)[1].split(/\s+/);
  const wanted = [...formula.matchAll(/^\s*depends_on "([^"]+)"/gm)].map((m) => m[1]);
  for (const name of wanted) assert.ok(installed.includes(name), `set-up installs ${name}`);
  assert.match(formula, /system "cmake", "--install", "build"/, 'built from the same CMake install');
});
