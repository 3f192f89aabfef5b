// The Debian package: `cpack -G DEB` in this build tree, then `apt-get install ./….deb` in
// a fresh Debian 12 root (so its dependencies come from the archive, not from this
// machine), and the installed programs at work there: the version, quillore-finish on
// the sample renders, quillore-cli against the stand-in app (which runs out here, its
// socket inside the root).
//
// It needs Linux, root (chroot, mount namespaces), debootstrap and the Debian mirror;
// where any is missing it prints "SKIPPED: why" (ctest counts it as skipped). The root
// made by debootstrap is kept as build/package-test/bookworm-minbase.tar for later runs;
// every run unpacks it afresh.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, readdirSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { binDir, programs, run, sourceDir, startApp, tempDir } from '../e2e/lib.mjs';

const has = (program) => spawnSync('sh', ['-c', `command -v ${program}`]).status === 0;
const osRelease = existsSync('/etc/os-release') ? readFileSync('/etc/os-release', 'utf8') : '';
const cache = readFileSync(join(binDir, 'CMakeCache.txt'), 'utf8');

function whyNot() {
  if (process.platform !== 'linux' || process.getuid() !== 0) return 'needs root on Linux (chroot, mount namespaces)';
  if (!/^VERSION_CODENAME=bookworm$/m.test(osRelease)) return 'the package is built for Debian 12: this machine is not Debian 12';
  for (const program of ['cpack', 'dpkg-deb', 'dpkg-shlibdeps', 'unshare', 'chroot', 'tar']) {
    if (!has(program)) return `${program} is not installed`;
  }
  if (/^QUILLORE_SANITIZE:STRING=.+$/m.test(cache)) return 'packages are made from the plain build, not a sanitizer build';
  return null;
}

// This machine's Debian 12 sources (bookworm and its -updates and -security suites) as
// lines of a sources.list, so that the root gets the same package versions as this
// machine. QUILLORE_DEBIAN_MIRROR, when set, is the only source.
function debianSources() {
  if (process.env.QUILLORE_DEBIAN_MIRROR) return [`deb ${process.env.QUILLORE_DEBIAN_MIRROR} bookworm main`];
  const sources = [];
  const files = ['/etc/apt/sources.list', ...readdirSafe('/etc/apt/sources.list.d').map((f) => join('/etc/apt/sources.list.d', f))];
  for (const file of files.filter((f) => /\.(list|sources)$/.test(f) && existsSync(f))) {
    const text = readFileSync(file, 'utf8');
    for (const stanza of text.split(/\n\s*\n/)) {
      const uri = /^URIs:\s*(\S+)/m.exec(stanza)?.[1];
      const suites = /^Suites:\s*(.*)$/m.exec(stanza)?.[1].split(/\s+/) ?? [];
      if (/^Enabled:\s*no/im.test(stanza) || !/^Components:.*\bmain\b/m.test(stanza)) continue;
      for (const suite of suites) if (uri && /^bookworm(-updates|-security)?$/.test(suite)) sources.push(`deb ${uri} ${suite} main`);
    }
    for (const [, uri, suite] of text.matchAll(/^deb\s+(?:\[[^\]]*\]\s+)?(\S+)\s+(bookworm(?:-updates|-security)?)\s.*\bmain\b/gm)) {
      sources.push(`deb ${uri} ${suite} main`);
    }
  }
  return sources.some((line) => / bookworm main$/.test(line)) ? [...new Set(sources)] : ['deb http://deb.debian.org/debian bookworm main'];
}
const readdirSafe = (dir) => (existsSync(dir) ? readdirSync(dir) : []);

// A fresh bookworm root in dir, from the kept tarball or made now. null when debootstrap
// is missing or fails (no mirror), with the reason in skip.
async function freshRoot(dir, skip) {
  const kept = join(binDir, 'package-test', 'bookworm-minbase.tar');
  if (!existsSync(kept)) {
    if (!has('debootstrap')) return skip('debootstrap is not installed (apt-get install debootstrap)');
    const made = join(dir, 'debootstrap');
    const mirror = debianSources().find((line) => / bookworm main$/.test(line)).split(' ')[1];
    const result = await run('debootstrap', ['--variant=minbase', 'bookworm', made, mirror], { timeout: 900000 });
    if (result.status !== 0) return skip(`debootstrap could not make a Debian 12 root from ${mirror}:\n${result.stdout.toString().slice(-2000)}`);
    mkdirSync(join(binDir, 'package-test'), { recursive: true });
    const tar = spawnSync('tar', ['--numeric-owner', '-C', made, '-cf', `${kept}.part`, '.']);
    assert.equal(tar.status, 0, tar.stderr?.toString());
    renameSync(`${kept}.part`, kept);
    rmSync(made, { recursive: true, force: true });
  }
  const root = join(dir, 'root');
  mkdirSync(root);
  const untar = spawnSync('tar', ['--numeric-owner', '-C', root, '-xf', kept]);
  assert.equal(untar.status, 0, untar.stderr?.toString());
  // The name server, Debian sources and apt's proxy settings of this machine.
  copyFileSync('/etc/resolv.conf', join(root, 'etc/resolv.conf'));
  writeFileSync(join(root, 'etc/apt/sources.list'), debianSources().join('\n') + '\n');
  for (const file of readdirSafe('/etc/apt/apt.conf.d')) {
    const text = readFileSync(join('/etc/apt/apt.conf.d', file), 'utf8');
    if (/Acquire::\w+::Proxy/i.test(text)) writeFileSync(join(root, 'etc/apt/apt.conf.d', file), text);
  }
  return root;
}

// Runs a shell script in the root, with its own /proc; → {status, stdout, stderr} (text).
async function inRoot(root, script, timeout = 120000) {
  const result = await run(
    'unshare',
    ['--mount', '--pid', '--fork', `--mount-proc=${join(root, 'proc')}`, 'chroot', root, '/bin/sh', '-ec', script],
    {
      env: { PATH: '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin', LANG: 'C.UTF-8', DEBIAN_FRONTEND: 'noninteractive', HOME: '/root' },
      timeout,
    },
  );
  return { status: result.status, stdout: result.stdout.toString(), stderr: result.stderr.toString() };
}

const finishRuns = [
  ['keep-highlights.jpg', ['--mode', 'keep-highlights', 'base.jpg', 'dark.jpg']],
  ['darken-sky.jpg', ['--mode', 'darken-sky', '--sky', '0.4', 'base.jpg', 'dark.jpg']],
  ['balance.jpg', ['--mode', 'balance', '--strength', '3', 'base.jpg', 'dark.jpg', 'bright.jpg']],
];

test('the Debian package installs with apt-get in a fresh Debian 12 root and works there', async (t) => {
  const skip = (reason) => {
    console.log(`SKIPPED: ${reason}`);
    t.skip(reason);
    return null;
  };
  const reason = whyNot();
  if (reason) return skip(reason);
  const dir = tempDir(t);

  // The package.
  const pack = await run('cpack', ['-G', 'DEB', '--config', join(binDir, 'CPackConfig.cmake'), '-B', join(dir, 'package')], { timeout: 300000 });
  assert.equal(pack.status, 0, pack.stdout.toString() + pack.stderr.toString());
  const deb = readdirSync(join(dir, 'package')).find((f) => f.endsWith('.deb'));
  const version = (await run(programs.cli, ['--version'])).stdout.toString().trim();
  assert.equal(deb, `quillore-tools_${version.replace('-', '~')}_${spawnSync('dpkg', ['--print-architecture']).stdout.toString().trim()}.deb`);
  const field = (name) => spawnSync('dpkg-deb', ['-f', join(dir, 'package', deb), name]).stdout.toString().trim();
  assert.equal(field('Version'), version.replace('-', '~'), 'the Debian version is the program version, with ~ before the pre-release');
  // Worked out from the programs by dpkg-shlibdeps.
  for (const library of ['libvips42', 'libicu72', 'libsimdjson14', 'libc6']) assert.match(field('Depends'), new RegExp(`\\b${library}\\b`));

  const root = await freshRoot(dir, skip);
  if (!root) return;
  copyFileSync(join(dir, 'package', deb), join(root, 'tmp', deb));
  for (const name of ['base.jpg', 'dark.jpg', 'bright.jpg']) copyFileSync(join(sourceDir, 'samples', name), join(root, 'tmp', name));

  const update = await inRoot(root, 'apt-get update -qq', 600000);
  if (update.status !== 0) return skip(`apt-get update cannot reach the Debian archive:\n${update.stderr}`);
  const install = await inRoot(root, `cd /tmp && apt-get install -y -q ./${deb}`, 900000);
  assert.equal(install.status, 0, install.stdout.slice(-3000) + install.stderr);

  const listed = await inRoot(root, 'dpkg -L quillore-tools');
  for (const path of [
    '/usr/bin/quillore-mcp', '/usr/bin/quillore-cli', '/usr/bin/quillore-finish',
    '/usr/share/man/man1/quillore-cli.1', '/usr/share/man/man1/quillore-finish.1', '/usr/share/man/man1/quillore-mcp.1',
    '/usr/share/bash-completion/completions/quillore-cli', '/usr/share/zsh/site-functions/_quillore-cli',
    '/usr/share/fish/vendor_completions.d/quillore-cli.fish',
  ]) {
    assert.ok(listed.stdout.split('\n').includes(path), `the package holds ${path}`);
  }

  const versionThere = await inRoot(root, 'quillore-cli --version');
  assert.deepEqual([versionThere.status, versionThere.stdout, versionThere.stderr], [0, `${version}\n`, '']);

  // quillore-finish there, and here: the same files when the image libraries are the same.
  const here = join(dir, 'here');
  mkdirSync(here);
  for (const [out, args] of finishRuns) {
    const there = await inRoot(root, `cd /tmp && quillore-finish --out ${out} ${args.join(' ')}`);
    assert.equal(there.status, 0, there.stderr);
    assert.match(there.stdout, new RegExp(`^${args[1]} 1500×1000 in \\d+\\.\\d\\d s\\n$`));
    const local = await run(programs.finish, ['--out', join(here, out), ...args.map((a) => (a.endsWith('.jpg') ? join(sourceDir, 'samples', a) : a))]);
    assert.equal(local.status, 0, local.stderr.toString());
  }
  const libraries = 'libvips42 libjpeg62-turbo libtiff6 libglib2.0-0';
  const versions = await inRoot(root, `dpkg-query -W ${libraries}`);
  const localVersions = spawnSync('sh', ['-c', `dpkg-query -W ${libraries}`]).stdout.toString();
  const sameLibraries = versions.stdout === localVersions;
  t.diagnostic(sameLibraries ? 'same image libraries: results compared byte for byte' : `other image libraries there:\n${versions.stdout}`);
  for (const [out] of finishRuns) {
    const there = readFileSync(join(root, 'tmp', out));
    assert.equal(there.subarray(0, 3).toString('hex'), 'ffd8ff', `${out} is a JPEG`);
    if (sameLibraries) assert.ok(there.equals(readFileSync(join(here, out))), `${out} is the same as here`);
  }

  // quillore-cli there against the stand-in app here.
  const app = await startApp({ t, socket: join(root, 'tmp', 'app.sock') });
  assert.ok(app.socket);
  const env = 'QL_AGENT_SOCK=/tmp/app.sock QL_NO_LAUNCH=1';
  const tools = await inRoot(root, `${env} quillore-cli tools`);
  const localTools = await run(programs.cli, ['tools'], { env: { QL_AGENT_SOCK: app.socket, QL_NO_LAUNCH: '1' } });
  assert.deepEqual([tools.status, tools.stderr], [0, '']);
  assert.equal(tools.stdout, localTools.stdout.toString());
  assert.match(tools.stdout, /"name": "render_preview"/);
});
