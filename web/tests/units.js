// Checks of the page's modules that need no browser: each file's outcome
// from the program's records and telling files that are not logs, the option table's
// scanner, the zip's entry names, deflated entries and zip64 records (read
// back by Python's zipfile), the time axis and its round labels, ticks,
// the gaps and overlaps against logbuilder.py's time cases and a count
// per tick, and the readings' counts and flags against its fault logs.
// Run by page-test.js before it starts Chromium; returns the problems found.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { block, logFile } = require('./logs.js');
global.QuarvelBlocks = require('../blocks.js');
global.QuarvelAxis = require('../axis.js');
global.QuarvelGaps = require('../gaps.js');
const QuarvelQuality = require('../quality.js');
const QuarvelOptions = require('../options.js');
const QuarvelCoverage = require('../coverage.js');
const QuarvelOutcomes = require('../outcomes.js');
const QuarvelZip = require('../zip.js');
const QuarvelAxis = require('../axis.js');
const QuarvelGaps = require('../gaps.js');
const LOGBUILDER = path.join(__dirname, '../../python/tests/logbuilder.py');
const PYTHON = process.env.QUARVEL_PYTHON || '/usr/bin/python3';

function check(problems, name, actual, expected) {
  const a = JSON.stringify(actual);
  const e = JSON.stringify(expected);
  if (a !== e) problems.push(`${name}: ${a}, not ${e}`);
}

// The converter's messages, by name (src/messages.h): printf formats.
function converterMessages() {
  const header = fs.readFileSync(path.join(__dirname, '../../src/messages.h'), 'utf8');
  return Object.fromEntries([...header.matchAll(/constexpr char (\w+)\[\] = ("(?:[^"\\]|\\.)*");/g)]
    .map(([, name, literal]) => [name, JSON.parse(literal)]));
}
const MESSAGES = converterMessages();

// A message of MESSAGES filled in as printf fills it (%s and %ld).
const sayText = (format, ...values) => format.replace(/%l?[sd]/g, () => String(values.shift()));

// Outcomes from the program's records of its files (src/system_emscripten.js),
// and the lines of standard error about no file, around what the records
// said of theirs: names that look like messages, or like such lines.
function outcomeChecks(problems) {
  const M = MESSAGES;
  const names = ['a.002', `b\n${sayText(M.OPEN_INPUT_FAILED, 'a.002').trim()}`, '2/a.002', 'c', 'd.002',
    'quarvel: a line of no file', 'f'];
  const record = (index, end, fields) => ({ index, end, message: '', refusal: '', reason: '', cut: null, ...fields });
  const records = [
    record(0, 'converted', { cut: { read: 40, declared: 100 }, said: sayText(M.TRUNCATED_BLOCK, names[0], 40, 100) }),
    record(1, 'openInput', { message: M.OPEN_INPUT_FAILED, reason: 'No such file or directory',
      said: sayText(M.OPEN_INPUT_FAILED, names[1]) }),
    record(2, 'openOutput', { message: M.OPEN_OUTPUT_FAILED, refusal: 'OUTPUT_IS_ANOTHER_INPUT',
      reason: M.OUTPUT_IS_ANOTHER_INPUT, said: sayText(M.OPEN_OUTPUT_FAILED, '2/a.002.txt') }),
    record(3, 'refused', { message: M.INPUT_IS_EMPTY_TEXT, refusal: 'INPUT_IS_EMPTY_TEXT',
      said: sayText(M.INPUT_IS_EMPTY_TEXT, names[3]) }),
    record(4, 'refused', { message: M.INPUT_IS_OWN_TEXT, refusal: 'INPUT_IS_OWN_TEXT',
      said: sayText(M.INPUT_IS_OWN_TEXT, names[4]) }),
    record(5, 'readFailed', { message: M.READ_FAILED, said: sayText(M.READ_FAILED, names[5]) }),
    record(6, 'converted', { said: '' }),
    null,
  ];
  const stderr = ['quarvel: a line of no file\n', ...records.map((r) => r && r.said),
    'quarvel: another line of no file\n'].join('');
  check(problems, 'outcomes: lines of no file', QuarvelOutcomes.generalLines(stderr, records),
    ['quarvel: a line of no file\n', 'quarvel: another line of no file\n']);
  const outputs = [{ produced: true, records: 3, size: 9 }, null, null, null, null,
    { produced: true, records: 1, size: 3 }, { produced: true, records: 0, size: 0 }, null];
  check(problems, 'outcomes: kinds', QuarvelOutcomes.outcomes(records, outputs).map((o) =>
    [o.kind, o.what || `${o.read}/${o.declared}`, o.reason, o.notLog]), [
    ['cut', '40/100', undefined, undefined], ['failed', 'could not be opened', 'No such file or directory', false],
    ['failed', 'its text file could not be opened', M.OUTPUT_IS_ANOTHER_INPUT, false],
    ['failed', 'it is empty and is the text file of another input', undefined, false],
    ['failed', 'it is a text file written by quarvel, not a logger file', undefined, true],
    ['failed', 'could not be read to its end', undefined, false], ['converted', 'undefined/undefined', undefined, undefined],
    ['skipped', 'undefined/undefined', undefined, undefined]]);
  const empty = QuarvelOutcomes.outcomes([record(0, 'converted', {})], [{ produced: true, records: 0, size: 0 }]);
  check(problems, 'outcomes: counts', QuarvelOutcomes.countKinds(empty),
    { converted: 1, empty: 1, cut: 0, stranger: 0, failed: 0, skipped: 0, flagged: 0, clipped: 0, stuck: 0, dead: 0 });
  // Cut short with a first channel beyond ±2^24: probably not a logger file; the limits themselves are a logger's.
  const firsts = [2 ** 24, 2 ** 24 - 1, -(2 ** 24), -(2 ** 24) - 1, 2 ** 24].map((channel) => ({ channel }));
  const cut = [...Array(4)].map((_, i) => record(i, 'converted', { cut: { read: 1, declared: 9 } }));
  // Their readings are not flagged, nor those of a file not reached.
  const flagged = firsts.map(() => ({ any: true }));
  check(problems, 'outcomes: not logs', QuarvelOutcomes.outcomes([...cut, null], [], firsts, flagged)
    .map((o) => [o.kind, Boolean(o.quality)]), [['stranger', false], ['cut', true], ['cut', true], ['stranger', false],
    ['skipped', false]]);
}

// Headers collected from pieces read in order, some again; gaps and
// overlaps of a channel across files; ticks exact, as Numbers within
// ±2^52 and as BigInts beyond.
function blockChecks(problems) {
  const bytes = logFile([block({ channel: 1, time: 100, period: 1000, samples: [1, 2, 3] }),
    block({ channel: 1, time: 0, count: -4, samples: [] }), block({ channel: 2, time: 90, count: 9, samples: [7] })]);
  const [whole, pieces] = [QuarvelBlocks.walker(bytes.length), QuarvelBlocks.walker(bytes.length)];
  whole.feed(bytes, 0);
  for (const [at, n] of [[0, 20], [7, 20], [0, 9], [27, 5], [32, 40], [60, 20]]) pieces.feed(bytes.subarray(at, at + n), at);
  check(problems, 'blocks: headers from pieces', [...pieces.rows()], [...whole.rows()]);
  check(problems, 'blocks: a cut block ends the file', [whole.rows().length / 6, whole.wanted()], [3, -1]);
  const rows = (headers) => Int32Array.from(headers.flatMap(([channel, time, n, period]) => [channel, period, time, n, 0, 0]));
  // Channel 1: [0, 10) and [10, 20) meet; [25, 35) after a gap of 5; [30, 32) overlaps; a block without samples
  // and channel 2's blocks play no part.
  const files = [[[1, 0, 10, 1000], [2, 5, 3, 1000]], [[1, 10, 10, 1000], [1, 30, 2, 1000]], [[1, 25, 10, 1000],
    [1, 12, 0, 1000]]].map((headers, id) => ({ id, logger: null, rows: rows(headers), size: 1e9, mark: 'converted' }));
  const model = QuarvelCoverage.build(files);
  check(problems, 'coverage: gaps and overlaps', model.series.map((c) => [c.channel, c.file, c.gaps, c.overlaps]),
    [[1, [0, 1, 2, 1], [{ series: 0, start: 20000, length: 5000, before: 1, after: 2 }],
      [{ series: 0, start: 30000, length: 2000, blocks: [2, 3] }]],
      [2, [0], [], []]]);
  // Ticks past 2^52 ms: two blocks of 2^22 samples 2^31 - 1 ms apart, a second apart, overlap all but that second.
  const far = QuarvelCoverage.build([{ id: 0, logger: null, rows: rows([[3, 0, 2 ** 22, 2 ** 31 - 1], [3, 1, 2 ** 22,
    2 ** 31 - 1]]), size: 1e9, mark: 'converted' }]).series[0];
  check(problems, 'coverage: ticks past 2^52', [String(far.end[1]), ...far.overlaps.map((o) => `${o.start} ${o.length}`),
    far.several], ['9007199250547688', '1000 9007199250545688', true]);
  // Every tick against BigInt arithmetic, at the ends of 32 bits.
  const ticks = [-(2 ** 31), -1, 0, 1796083200, 2 ** 31 - 1].flatMap((time) => [0, 1, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1]
    .flatMap((period) => [0, 1, 4194303, 4194304, 2 ** 31 - 1].map((i) => [time, period, i])));
  check(problems, 'blocks: ticks that are not exact', ticks.filter(([time, period, i]) => {
    const [exact, tick] = [BigInt(time) * 1000n + BigInt(i) * BigInt(period | 0), QuarvelBlocks.tick(time, period, i)];
    return typeof tick !== (exact >= -(2n ** 52n) && exact <= 2n ** 52n ? 'number' : 'bigint') || BigInt(tick) !== exact;
  }), []);
}

// logbuilder.py's time cases: the gaps and overlaps of time-cases.json,
// which the Python faces find too; the `loggers` case looks like several
// loggers read as one.
function timeCaseChecks(problems, work) {
  const dir = path.join(work, 'time-cases');
  const made = spawnSync(PYTHON, [LOGBUILDER, 'time-cases', dir]);
  if (made.status !== 0) return problems.push(`logbuilder.py time-cases: ${made.stderr}`);
  const cases = JSON.parse(fs.readFileSync(path.join(dir, 'time-cases.json')));
  for (const [name, wanted] of Object.entries(cases)) {
    const loggers = QuarvelCoverage.loggersOf(wanted.files, wanted.logger);
    const model = QuarvelCoverage.build(wanted.files.map((file, id) => {
      const bytes = fs.readFileSync(path.join(dir, name, file));
      const walk = QuarvelBlocks.walker(bytes.length);
      walk.feed(bytes, 0);
      return { id, logger: loggers[id], rows: walk.rows(), size: bytes.length, mark: 'converted' };
    }));
    const found = ['gaps', 'overlaps'].map((kind) => model.series.flatMap((c) => c[kind].map((x) => {
      const block = (i) => [wanted.files[c.file[i]], c.block[i]];
      return { channel: c.channel, logger: c.logger, start_tick: Number(x.start), length_ms: Number(x.length),
        ...(x.blocks ? { blocks: x.blocks.map(block).sort(([a, i], [b, j]) => (a < b ? -1 : a > b ? 1 : i - j)) }
          : { before: block(x.before), after: block(x.after) }) };
    })));
    check(problems, `time case ${name}`, [...found, model.series.some((c) => c.several)],
      [wanted.gaps, wanted.overlaps, name === 'loggers']);
  }
  return problems;
}

// The rule on blocks of one series, as Numbers and past 2^53 as BigInts:
// A [0, 10) s and B [10, 20) meet; C [20.5, 21.7) at 100 ms after a gap
// shorter than B's period; D [22, 30) starts within the second in which C
// ends; E [25, 26) lies in D; F runs backwards; G [35, 36) after a gap;
// H [36, 37) and I [36, 36.5) overlap where G ends.
function bigGapChecks(problems) {
  const blocks = [[0, 10000, 1000], [10000, 20000, 1000], [20500, 21700, 100], [22000, 30000, 1000],
    [25000, 26000, 1000], [40000, 39000, -1], [35000, 36000, 1000], [36000, 37000, 1000], [36000, 36500, 500]];
  for (const base of [1796083200000, 10n ** 18n]) {
    const ticks = (k) => blocks.map((b) => (typeof base === 'bigint' ? BigInt(b[k]) : b[k]) + base);
    const found = QuarvelGaps.covered(blocks.map(() => 0), ticks(0), ticks(1), blocks.map((b) => b[2]));
    const at = (tick) => Number(tick - base);
    check(problems, `gaps: one series from ${base}`, [found.gaps.map((g) => [at(g.start), Number(g.length), g.before, g.after]),
      found.overlaps.map((o) => [at(o.start), Number(o.length), o.blocks]),
      found.spans.map((x) => [at(x.start), at(x.end), Number(x.covered), Number(x.overlapped)])],
    [[[30000, 5000, 3, 6]], [[25000, 1000, [3, 4]], [36000, 500, [7, 8]]], [[0, 37000, 31200, 1500]]]);
  }
}

function optionChecks(problems) {
  const scan = (words) => {
    const s = QuarvelOptions.scanWords(words);
    return [QuarvelOptions.optionWords(s.settings).join(' '), s.unknown.join(''), s.missingValue, s.notOptions];
  };
  const table = [
    [['-tc'], ['-tc', '', false, []]],
    [['-C', '-r'], ['-rC', '', false, []]],
    [['-sS', '-qd'], ['-Sqd', '', false, []]],
    [['-n', '5', '-n', 'x'], ['-n 5', '', false, []]],
    [['-n4t'], ['-n 4', '', false, []]],
    [['-n', ' -12abc'], ['-n -12', '', false, []]],
    [['-n', '99999999999'], ['', '', false, []]],
    [['-tx:'], ['-t', 'x:', false, []]],
    [['-tn'], ['-t', '', true, []]],
    [['-t', 'file.002', '--', '--help', '-'], ['-t', '', false, ['file.002', '--', '--help', '-']]],
  ];
  for (const [words, expected] of table) check(problems, `options: ${words.join(' ')}`, scan(words), expected);
  check(problems, 'options: command', QuarvelOptions.commandText(['-tc', '-n', '3'], true, ['-q', "it's"]),
    "TZ=UTC quarvel -tc -n 3 -- -q 'it'\\''s'");
  check(problems, 'options: ordinals', [1, 2, 3, 4, 11, 12, 13, 21, 111, -22].map(QuarvelOptions.everyNth),
    ['every sample', 'every 2nd sample', 'every 3rd sample', 'every 4th sample', 'every 11th sample',
      'every 12th sample', 'every 13th sample', 'every 21st sample', 'every 111th sample', 'every 22nd sample']);
}

async function zipChecks(problems, work) {
  // Names given and the entry names they get: names that meet ignoring case or normalisation; characters Windows
  // refuses, bidirectional controls; devices; names past 255 UTF-8 bytes or NFD code units (ᾂ: 3 bytes, 4 units).
  const [e, greek, smile, long] = ['\u00e9', '\u1f82', '\ud83d\ude00', '\u00e9'.repeat(150) + '.002.txt'];
  const names = [
    [['a.txt', 'A.txt', '..\\..\\evil\n.txt', 'x/y:z.txt', 'a (2).txt', 'nul.txt', 'Con', '\u0085.txt', 'a.txt'],
      ['a.txt', 'A (2).txt', '.._.._evil_.txt', 'x_y_z.txt', 'a (2) (2).txt', '_nul.txt', '_Con', '_.txt', 'a (3).txt']],
    [[`caf${e}.002.txt`, 'cafe\u0301.002.txt', 'CAF\u00c9.002.txt', 'i.txt', '\u0131.txt', '\ud800.txt', '\udc00.txt'],
      [`caf${e}.002.txt`, 'cafe\u0301.002 (2).txt', 'CAF\u00c9.002 (3).txt', 'i.txt', '\u0131 (2).txt', '_.txt', '_ (2).txt']],
    [['?*<>|":.txt', '\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069.txt', '.', '..', 'x. '],
      ['_______.txt', '____________.txt', '_', '__', 'x__']],
    [['Con .002.txt', 'lpt\u00b9.. .txt', 'CONOUT$', 'com0 x.txt'],
      ['_Con .002.txt', '_lpt\u00b9.. .txt', '_CONOUT$', 'com0 x.txt']],
    [[long, long, smile.repeat(80) + '.txt', greek.repeat(80) + '.txt', 'x'.repeat(300) + '.a-long-extension'],
      [e.repeat(123) + '.002.txt', e.repeat(121) + '.002 (2).txt', smile.repeat(62) + '.txt', greek.repeat(62) + '.txt',
        'x'.repeat(255)]],
  ];
  for (const [given, expected] of names) check(problems, 'zip: entry names', QuarvelZip.entryNames(given), expected);
  // Folders kept, each name made safe; a folder meeting another one's name is another folder, and a file of a
  // folder's name another file.
  check(problems, 'zip: entry names in folders', QuarvelZip.entryNames([['0.txt', ['a', 'con']], ['0.txt', ['b']],
    ['0.txt', ['A']], ['1.txt', ['a', 'con']], ['x:y.txt', ['a', 'b?']], ['b'], ['0.txt', ['a', 'b?']]]),
  ['a/_con/0.txt', 'b/0.txt', 'A (2)/0.txt', 'a/_con/1.txt', 'a/b_/x_y.txt', 'b (2)', 'a/b_/0.txt']);
  const encoder = new TextEncoder();
  const texts = ['one\r\n', '', 'three\r\nthree\r\n', 'é\r\n'];
  const deflate = async (bytes) => new Uint8Array(await new Response(new Blob([bytes]).stream()
    .pipeThrough(new CompressionStream('deflate-raw'))).arrayBuffer());
  const entries = await Promise.all(texts.map(async (text, i) => {
    const bytes = encoder.encode(text);
    const entry = { name: `f${i}é.txt`, data: i % 2 ? new Blob([bytes]) : bytes, size: bytes.length,
      crc: QuarvelZip.crc32(0, bytes) };
    if (i < 2) return entry;  // stored, as bytes and as a Blob; deflated as the packer does
    const packed = await deflate(bytes);
    return { ...entry, data: [packed.subarray(0, 1), new Blob([packed.subarray(1)])], packed: packed.length };
  }));
  check(problems, 'zip: CRC-32 of "123456789"', QuarvelZip.crc32(0, encoder.encode('123456789')), 0xcbf43926);
  const script = 'import json, sys, zipfile\n'
    + 'z = zipfile.ZipFile(sys.argv[1])\n'
    + 'print(json.dumps([z.testzip(), [(i.filename, i.create_system, i.flag_bits & 0x800, i.external_attr >> 16,'
    + ' i.compress_type, z.read(i).decode()) for i in z.infolist()]]))';
  const python = process.env.QUARVEL_PYTHON || '/usr/bin/python3';
  // Also a zip of some of the records that the packer made of them all (the page leaves some files out).
  const date = new Date(2026, 11, 8, 12, 0, 0);
  const records = [];
  let size = 0;
  const placed = entries.map((entry) => {
    const local = QuarvelZip.localRecord(entry, date);
    records.push(local, ...(Array.isArray(entry.data) ? entry.data : [entry.data]));
    const offset = size;
    size += local.length + (entry.packed === undefined ? entry.size : entry.packed);
    return { ...entry, offset };
  });
  const some = [0, 2, 3];
  const picked = QuarvelZip.pickRecords([new Blob(records)], some.map((i) => placed[i]), date);
  return Promise.all([false, true, 'picked'].map(async (force) => {
    const file = path.join(work, `units-${force}.zip`);
    const zip = force === 'picked' ? QuarvelZip.finishZip(picked.records, picked.size, picked.entries, date)
      : QuarvelZip.makeZip(entries, date, force);
    fs.writeFileSync(file, Buffer.from(await zip.arrayBuffer()));
    const done = spawnSync(python, ['-c', script, file]);
    const expected = [null, texts.map((text, i) => [`f${i}é.txt`, 3, 0x800, 0o100644, i < 2 ? 0 : 8, text])
      .filter((_, i) => force !== 'picked' || some.includes(i))];
    if (done.status !== 0) problems.push(`zip (zip64 ${force}): python: ${done.stderr}`);
    else check(problems, `zip (zip64 ${force})`, JSON.parse(done.stdout), expected);
    const tested = spawnSync('unzip', ['-tq', file]);
    if (tested.status !== 0) problems.push(`zip (zip64 ${force}): unzip -t: ${tested.stdout}${tested.stderr}`);
  }));
}

function axisChecks(problems) {
  // Two runs an hour apart: the gap is cut, each keeps its share.
  const two = QuarvelAxis.layout([0, 3600], [39.5, 3663], 2, 878);
  check(problems, 'axis: two runs', [two.pieces.length, two.breaks.length, Math.round(two.pieces[0].width),
    Math.round(two.pieces[1].x)], [2, 1, 332, 350]);
  check(problems, 'axis: columns of the first and last sample', [QuarvelAxis.columnIn(two.pieces[0], 0),
    QuarvelAxis.columnIn(two.pieces[0], 39.5), QuarvelAxis.columnIn(two.pieces[1], 3663)], [0, 332, 877]);
  // Gaps as long as the blocks stay to scale; overlapping blocks join.
  const many = QuarvelAxis.layout([0, 2, 4, 5], [1, 3, 6, 5.5], 4, 500);
  check(problems, 'axis: short gaps', [many.pieces.length, many.pieces[0].start, many.pieces[0].end], [1, 0, 6]);
  // Ten blocks of 10 s, 1000 s apart: every gap is cut.
  const ten = QuarvelAxis.layout([...Array(10).keys()].map((k) => 1010 * k), [...Array(10).keys()].map((k) => 1010 * k + 10),
    10, 878);
  check(problems, 'axis: long gaps', [ten.pieces.length, ten.breaks.map((b) => b.gap)], [10, Array(9).fill(1000)]);
  // Blocks of one sample, far apart: pieces of a few columns each.
  const points = QuarvelAxis.layout([0, 1e6, 2e6], [0, 1e6, 2e6], 3, 300);
  check(problems, 'axis: single samples', [points.pieces.length, points.pieces.map((p) => Math.round(p.width))],
    [3, [88, 88, 88]]);
  check(problems, 'axis: nothing', QuarvelAxis.layout([], [], 0, 100), null);
  // Labels on round times, 190 columns apart or more, in UTC and on a clock 5.5 h ahead of it: 5 min apart over
  // 00:20:47 to 00:31:34; 6 h apart over a day, at that clock's 06:00, 12:00...; 200 ms apart; in a piece too
  // narrow for two, its roundest time; in a piece of one sample, that sample's.
  const T = 1796083200;  // 2026-12-01 00:00:00 UTC
  const piece = (start, end, width) => ({ start: T + start, end: T + end, x: 10, width });
  const labels = [
    [piece(1247, 1894, 878), () => 0, [[1500, 300000], [1800, 300000]]],
    [piece(0, 86400, 878), () => 5.5 * 3600000, [1800, 23400, 45000, 66600].map((t) => [t, 21600000])],
    [piece(0.123, 0.9, 878), () => 0, [0.2, 0.4, 0.6, 0.8].map((t) => [t, 200])],
    [piece(1247, 1290, 30), () => 0, [[1260, 60000]]],
    [piece(12.345, 12.345, 3), () => 0, [[12.345, 5]]],
  ];
  for (const [p, offset, expected] of labels) {
    const found = QuarvelAxis.roundTimes(p, 190, offset);
    check(problems, `axis: round times of ${p.start - T} s to ${p.end - T} s`, found.map(({ x, time, step }) =>
      [Math.round((time - T) * 1000) / 1000, step, Math.round(x - p.x - (p.end > p.start ? (time - p.start) / (p.end - p.start) * p.width : 0))]),
    expected.map((mark) => [...mark, 0]));
  }
}

// Every block of logbuilder.py's fault logs, fed as the worker feeds the
// program's reads (pieces of odd lengths, overlapping): the counts and
// flags of its readings against faults.json.
function faultChecks(problems, work) {
  const dir = path.join(work, 'faults');
  const made = spawnSync(PYTHON, [LOGBUILDER, 'faults', dir]);
  if (made.status !== 0) return problems.push(`logbuilder.py faults: ${made.stderr}`);
  const expected = JSON.parse(fs.readFileSync(path.join(dir, 'faults.json')));
  const snake = (name) => name.replace(/[A-Z]/g, (c) => '_' + c.toLowerCase());
  for (const name of Object.keys(expected)) {
    const bytes = fs.readFileSync(path.join(dir, name + '.002'));
    const counter = QuarvelQuality.counter();
    const walk = QuarvelBlocks.walker(bytes.length, counter);
    for (let at = 0; at < bytes.length; at += 51) walk.feed(bytes.subarray(at, at + 61), at);
    const [rows, stats] = [walk.rows(), counter.stats()];
    const { present } = QuarvelBlocks.extents(rows, bytes.length);
    const found = expected[name].blocks.map((want, k) => {
      const flags = QuarvelQuality.blockFlags(stats, rows, k);
      const block = { block: k, channel: rows[6 * k], cut_short: present[k] < rows[6 * k + 3], clipped: Boolean(flags & 1),
        stuck: Boolean(flags & 2), dead: Boolean(flags & 4) };
      QuarvelQuality.NAMES.forEach((field, j) => { block[snake(field)] = stats[QuarvelQuality.COLUMNS * k + j]; });
      return Object.fromEntries(Object.keys(want).map((key) => [key, block[key]]));
    });
    check(problems, `quality: ${name}`, [found, stats.length / QuarvelQuality.COLUMNS], [expected[name].blocks, present.length]);
  }
  return check(problems, 'quality: stuck lengths', [0, -1, 4294967295, 3, 199, 200].map(QuarvelQuality.stuckLength),
    [50, 50, 50, 3334, 51, 50]);
}

async function unitChecks() {
  const problems = [];
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-units-'));
  try {
    outcomeChecks(problems);
    optionChecks(problems);
    axisChecks(problems);
    blockChecks(problems);
    timeCaseChecks(problems, work);
    bigGapChecks(problems);
    faultChecks(problems, work);
    await zipChecks(problems, work);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
  return problems;
}

module.exports = { unitChecks, MESSAGES, sayText };
