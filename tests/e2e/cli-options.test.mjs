// Options and JSON input as the app receives them: every option kind, flags and their
// negation, --json (also from standard input), and every usage error, which ends the
// run before any tool is called.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { startApp } from './lib.mjs';
import { cli, failed, printed } from './cli-common.mjs';

const echoOptions =
  '--count, --flag, --level, --max-width-px, --mode, --nested, --numbers, --photo-id, --ratio, --tags';
const noOption = (name) => `echo has no option ${name}. Its options: ${echoOptions}. Run \`quillore-cli help echo\`.`;

describe('options', () => {
  let app;
  before(async () => {
    app = await startApp();
  });
  after(() => app.stop());

  // The arguments line of the last tools/call, exactly as the app received it.
  const callLine = () => {
    const calls = app.logText().split('\n').filter((line) => line.includes('"method":"tools/call"'));
    const line = calls.at(-1);
    return line.slice(line.indexOf('"arguments":') + '"arguments":'.length, line.indexOf(',"name":'));
  };
  const callCount = () => app.messages().filter((m) => m.method === 'tools/call').length;

  // echo answers with its arguments as one JSON text, which is printed as it is.
  async function echoes(args, expected, opts) {
    const result = await cli(app.socket, ['echo', ...args], opts);
    printed(result, 0, JSON.stringify(expected) + '\n');
  }

  test('each kind turns its text into the right JSON value', async () => {
    await echoes(['--photo-id', '42'], { photoId: '42' });
    await echoes(['--photoId=42'], { photoId: '42' });
    await echoes(['--count', '-7', '--max-width-px', '+800'], { count: -7, maxWidthPx: 800 });
    assert.equal(callLine(), '{"count":-7,"maxWidthPx":800}');
    assert.equal((await cli(app.socket, ['echo', '--count', '9223372036854775807'])).status, 0);
    assert.equal(callLine(), '{"count":9223372036854775807}', 'all 64 bits reach the app');
    await echoes(['--ratio', '0x1p3'], { ratio: 8 });
    assert.match(callLine(), /^\{"ratio":8(\.0)?\}$/);
    await echoes(['--ratio=-2.5e-1'], { ratio: -0.25 });
    await echoes(['--mode', 'full', '--level', '4'], { level: 4, mode: 'full' });
    assert.equal(callLine(), '{"level":4,"mode":"full"}', 'an enum number stays a number');
    await echoes(['--tags', 'a', '--tags=b c', '--tags', '--count'], { tags: ['a', 'b c', '--count'] });
    await echoes(['--photo-id', ''], { photoId: '' });
    await echoes(['--photo-id', '-x'], { photoId: '-x' });
    await echoes(['--photo-id', 'a', '--photo-id', 'b'], { photoId: 'b' });
  });

  test('flags', async () => {
    await echoes(['--flag'], { flag: true });
    await echoes(['--flag', 'false'], { flag: false });
    await echoes(['--flag', 'true', '--count', '1'], { count: 1, flag: true });
    await echoes(['--flag', '--count', '1'], { count: 1, flag: true });
    await echoes(['--flag=false'], { flag: false });
    await echoes(['--no-flag'], { flag: false });
    await echoes(['--no-flag=true'], { flag: false });
    await echoes(['--flag', '--no-flag'], { flag: false });
  });

  test('--json gives the input; options override its keys', async () => {
    await echoes(['--json', '{"nested":{"inner":{"value":"v/w"}},"tags":["x"],"photoId":"j"}', '--tags', 'y'],
      { nested: { inner: { value: 'v/w' } }, photoId: 'j', tags: ['y'] });
    await echoes(['--json={"count":1}', '--json', '{"count":2}'], { count: 2 });
    await echoes(['--count', '3', '--json', '{"count":2,"ratio":1.5}'], { count: 3, ratio: 1.5 });
    await echoes(['--json', '-'], { numbers: [1, 2.5], photoId: 'in' }, { input: '{"photoId":"in","numbers":[1,2.5]}' });
    await echoes(['--json=-', '--photo-id', 'opt'], { photoId: 'opt' }, { input: ' {"photoId":"in"}\n' });
  });

  test('usage errors, exactly, and no tool is called', async () => {
    const before = callCount();
    const cases = [
      [['--bogus', '1'], noOption('--bogus')],
      [['--bogus=1'], noOption('--bogus')],
      [['--flag', 'no'], noOption('no')],
      [['--no-count'], noOption('--no-count')],
      [['--no-count=1'], noOption('--no-count')],
      [['--count'], '--count needs a value'],
      [['--nested'], '--nested needs a value'],
      [['--nested', '{}'], '--nested is nested input; pass it in --json'],
      [['--numbers=1'], '--numbers is nested input; pass it in --json'],
      [['--count', '1.0'], '--count takes a whole number, not 1.0'],
      [['--maxWidthPx', '9223372036854775808'], '--maxWidthPx takes a whole number, not 9223372036854775808'],
      [['--count', ' 1'], '--count takes a whole number, not  1'],
      [['--ratio', '1,5'], '--ratio takes a number, not 1,5'],
      [['--ratio', 'inf'], '--ratio takes a number, not inf'],
      [['--ratio', 'NaN'], '--ratio takes a number, not NaN'],
      [['--ratio', '1e400'], '--ratio takes a number, not 1e400'],
      [['--ratio', '1 '], '--ratio takes a number, not 1 '],
      [['--flag=1'], '--flag takes true or false, not 1'],
      [['--mode', 'slow'], '--mode takes one of fast, full, not slow'],
      [['--level', '3'], '--level takes one of 1, 2, 4, not 3'],
      [['--level', 'x', '--bogus'], '--level takes one of 1, 2, 4, not x'],
      [['--json', '[1]'], '--json takes a JSON object'],
      [['--json', '{"a":1} x'], '--json takes a JSON object'],
      [['--json', ''], '--json takes a JSON object'],
      [['--json', '[', '--bogus'], '--json takes a JSON object'],
    ];
    for (const [args, message] of cases) failed(await cli(app.socket, ['echo', ...args]), 2, message);
    for (const input of ['[1]', '', 'null', '{"a":']) {
      failed(await cli(app.socket, ['echo', '--json', '-'], { input }), 2, '--json takes a JSON object');
    }
    failed(await cli(app.socket, ['get_status', '--verbose']), 2,
      'get_status has no option --verbose. Its options: none. Run `quillore-cli help get_status`.');
    assert.equal(callCount(), before, 'no tools/call was sent');
  });
});
