// Checks of the page's modules that need no browser: each file's outcome
// from the program's records and telling files that are not logs, the option table's
// scanner, the zip's entry names, deflated entries and zip64 records (read
// back by Python's zipfile), the time axis, the block headers' gaps, and
// the readings' counts and flags against logbuilder.py's fault logs.
// Run by page-test.js before it starts Chromium; returns the problems found.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { block, logFile } = require('./logs.js');
global.QuarvelBlocks = require('../blocks.js');
global.QuarvelAxis = require('../axis.js');
const QuarvelQuality = require('../quality.js');
const QuarvelOptions = require('../options.js');
const QuarvelCoverage = require('../coverage.js');
const QuarvelOutcomes = require('../outcomes.js');
const QuarvelZip = require('../zip.js');
const QuarvelAxis = require('../axis.js');

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
// overlaps of a channel across files, by the rule of info.
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
    [1, 12, 0, 1000]]].map((headers, id) => ({ id, rows: rows(headers), size: 1e9, mark: 'converted' }));
  const model = QuarvelCoverage.build(files);
  check(problems, 'coverage: gaps and overlaps', model.channels.map((c) => [c.channel, c.file, c.gaps, c.overlaps]),
    [[1, [0, 1, 2, 1], [{ seconds: 5, after: 1, next: 2 }], [{ seconds: -5, after: 2, next: 3 }]], [2, [0], [], []]]);
  // Times summed sample by sample, as the converter sums them; 1/3 s steps cross binades.
  const sum = (first, step, n) => Array.from({ length: n - 1 }).reduce((t) => t + step, first);
  const sums = [[0, 1 / 3, 1e6], [1, 0.001, 70000], [1796083200, -0.001, 5000], [-5, 0.25, 4]];
  check(problems, 'blocks: last times', sums.map(([f, s, n]) => QuarvelBlocks.lastTime(f, s, n)),
    sums.map(([f, s, n]) => sum(f, s, n)));
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
}

// Every block of logbuilder.py's fault logs, fed as the worker feeds the
// program's reads (pieces of odd lengths, overlapping): the counts and
// flags of its readings, and the gaps and overlaps of the coverage,
// against faults.json.
function faultChecks(problems, work) {
  const dir = path.join(work, 'faults');
  const python = process.env.QUARVEL_PYTHON || '/usr/bin/python3';
  const made = spawnSync(python, [path.join(__dirname, '../../python/tests/logbuilder.py'), 'faults', dir]);
  if (made.status !== 0) return problems.push(`logbuilder.py faults: ${made.stderr}`);
  const expected = JSON.parse(fs.readFileSync(path.join(dir, 'faults.json')));
  const snake = (name) => name.replace(/[A-Z]/g, (c) => '_' + c.toLowerCase());
  const files = Object.keys(expected).map((name, id) => {
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
    return { id, rows, size: bytes.length, mark: 'converted' };
  });
  check(problems, 'quality: stuck lengths', [0, -1, 4294967295, 3, 199, 200].map(QuarvelQuality.stuckLength),
    [50, 50, 50, 3334, 51, 50]);
  const inOrder = (gaps) => gaps.sort((a, b) => a.channel - b.channel || a.from_block - b.from_block);
  const joins = QuarvelCoverage.build(files).channels.flatMap((c) => [...c.gaps, ...c.overlaps].map((gap) =>
    ({ channel: c.channel, from_block: c.block[gap.after], to_block: c.block[gap.next], seconds: gap.seconds })));
  // faults.json lists gaps and overlaps as stretches: those of the fault logs are between two blocks.
  const pairs = Object.values(expected).flatMap((log) => [
    ...log.gaps.map((g) => ({ channel: g.channel, from_block: g.before[1], to_block: g.after[1], seconds: g.length_ms / 1000 })),
    ...log.overlaps.map((o) => ({ channel: o.channel, from_block: o.blocks[0][1], to_block: o.blocks[1][1], seconds: -o.length_ms / 1000 }))]);
  return check(problems, 'coverage: gaps of the fault logs', inOrder(joins), inOrder(pairs));
}

async function unitChecks() {
  const problems = [];
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-units-'));
  try {
    outcomeChecks(problems);
    optionChecks(problems);
    axisChecks(problems);
    blockChecks(problems);
    faultChecks(problems, work);
    await zipChecks(problems, work);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
  return problems;
}

module.exports = { unitChecks, MESSAGES, sayText };
