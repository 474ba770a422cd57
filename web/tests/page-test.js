// Drives the built page in headless Chromium as a user would: chooses files,
// types options or sets the controls, presses Convert, and takes every text
// file it offers. Each run must give what the native program gives for the
// same files and options (run as quarvel OPTIONS -- FILES): the text files
// byte for byte, standard output (banner dates masked), standard error and
// exit status. Also checks what the page says of each file (its readings'
// flags too), its zip (read
// by Python's zipfile and unzip -t), its plot and coverage (by pixel
// columns and rows), its options, 10,000 small files, the texts written
// into a folder, one table against the command's CSV, and that nothing
// breaks its Content-Security-Policy; saves screenshots.
//
// Usage: node page-test.js SITE_DIR NATIVE_QUARVEL OUT_DIR
//        node page-test.js SITE_DIR NATIVE_QUARVEL OUT_DIR --bench [MB [FILES [OTHER_SITE_DIR]]]
//        node page-test.js SITE_DIR NATIVE_QUARVEL OUT_DIR --bench-folder [LOGS]
//        node page-test.js SITE_DIR NATIVE_QUARVEL OUT_DIR --bench-table
// With --bench, converts one log of about MB megabytes (100), FILES small
// files (10,000), 1,000 campaign logs and FILES of a few hundred samples
// (-tc) in the page, and in OTHER_SITE_DIR's page if given, each in a
// fresh browser, and reports the times, the zip's size and the memory.
// With --bench-folder, converts LOGS campaign logs (5,000) into a folder of
// the page's origin, and a fifth of them into a zip, and reports the same.
// With --bench-table, times the table of an hour of three channels in the
// page and by the command.
// Environment: QUARVEL_VERSION (the version the banner shows, required),
// CHROMIUM (/usr/bin/chromium), QUARVEL_PYTHON (/usr/bin/python3).
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const puppeteer = require('puppeteer-core');
const { logFile, block, floatBits, sineSamples, smallLog, campaignLog } = require('./logs.js');
// The converter's messages (src/messages.h), and one filled in as printf does.
const { unitChecks, MESSAGES, sayText } = require('./units.js');
const REASON = MESSAGES.OPEN_REASON.split('%s')[0];

const VERSION = process.env.QUARVEL_VERSION;
if (!VERSION) {
  console.error('page-test.js: QUARVEL_VERSION is not set; web/tests/run sets it to the version of project() in'
    + ' CMakeLists.txt');
  process.exit(2);
}
const PYTHON = process.env.QUARVEL_PYTHON || '/usr/bin/python3';
const ROOT = path.join(__dirname, '../..');
const [siteDir, nativeQuarvel, outDir] = process.argv.slice(2, 5).map((p) => path.resolve(p));
const benchIndex = process.argv.indexOf('--bench');
const LOCAL_ZONE = 'America/New_York';  // the browser's zone, and TZ of the native runs in local time
const BANNER = new RegExp(`quarvel version ${VERSION.replace(/\./g, '\\.')}, built on [A-Z][a-z]{2} [ 0-9][0-9] `
  + '[0-9]{4} at [0-9:]{8}', 'g');
const SERIES = [[0x1f, 0x77, 0xb4], [0xd6, 0x27, 0x28], [0x2c, 0xa0, 0x2c]];  // the plot's first colours
const INF = 0x7f800000;
const NAN = 0x7fc00000;
const T = 1796083200;

// Logs with non-finite calibrations, several blocks, a cut block and
// things that are no logs at all.
function testLogs() {
  return {
    'nonfinite.002': logFile([
      block({ channel: 1, time: T, gain: INF, offset: 0, samples: [0, 1, -1, 32767, -32768] }),
      block({ channel: 2, time: T + 10, gain: NAN, offset: floatBits(1), samples: [5, 6] }),
      block({ channel: 3, time: T + 20, gain: floatBits(0.5), offset: 0xff800000, samples: [1, 2] }),
      block({ channel: 4, time: T + 30, gain: INF, offset: 0xff800000, samples: [3] }),
      block({ channel: 5, time: T + 40, gain: 0xffc00000, offset: NAN, samples: [7, -7] }),
    ]),
    'blocks.002': logFile([
      block({ channel: 0, time: T, period: 250, gain: floatBits(0.01), offset: floatBits(-3), samples: sineSamples(400, 0) }),
      block({ channel: 1, time: T + 30, period: 1000, count: 0, samples: [] }),
      block({ channel: 1, time: T + 5000, period: 250, gain: floatBits(0.02), offset: 0, samples: sineSamples(300, 1) }),
      block({ channel: -7, time: -86400, period: 4294967295, gain: floatBits(1e30), offset: floatBits(3.5),
        samples: [1, 2, 3] }),
    ]),
    'cut.002': Buffer.concat([
      logFile([block({ channel: 2, time: T, count: 100, gain: floatBits(0.25), offset: floatBits(1), samples: sineSamples(40, 2) })]),
      Buffer.from([0x7f]),
    ]),
    'fragment.002': Buffer.concat([logFile([block({ channel: 9, time: T, samples: [1, 2, 3] })]), Buffer.alloc(13, 0x41)]),
    // More text than one of the worker's 4 MB blobs: the file and its CRC
    // come in pieces.
    'long.002': logFile([
      block({ channel: 6, time: T, period: 2, gain: floatBits(0.003), offset: floatBits(-2), samples: sineSamples(250000, 4) }),
      block({ channel: 6, time: T + 600, period: 2, gain: floatBits(0.003), offset: floatBits(-2), samples: sineSamples(150000, 5) }),
    ]),
    'empty.002': Buffer.alloc(0),
    'notes.csv': Buffer.from('time,value\r\n1,2\r\n3,4\r\nthis is no logger file at all\r\n'),
  };
}

// Three channels of ranges ten times apart, two runs of 400 s or less each,
// `gap` seconds between their starts.
function showcaseLog(gap = 900, samples = 4000) {
  const blocks = [];
  for (const [start, part] of [[T, 0], [T + gap, 1]]) {
    for (let channel = 0; channel < 3; channel++) {
      blocks.push(block({ channel, time: start, period: Math.floor(400000 / samples), gain: floatBits(0.0002 * 10 ** channel),
        offset: floatBits(channel * 20 - 20), samples: sineSamples(samples, channel + 3 * part, samples / 4000) }));
    }
  }
  return logFile(blocks);
}

// [name, bytes] of a case's files, in the order they are chosen.
function fileList(testCase) {
  return Array.isArray(testCase.files) ? testCase.files : Object.entries(testCase.files);
}

// Where the page puts each file for the program: at its name, or its path
// in a folder chosen, and a later file of the same path in a folder 2,
// 3... (2_ when a path starts with a file or folder named 2).
function runPaths(names) {
  const all = new Set(names.map((name) => name.split('/')[0]));
  const seen = new Map();
  return names.map((name) => {
    const k = (seen.get(name) || 0) + 1;
    seen.set(name, k);
    if (k === 1) return name;
    let folder = String(k);
    while (all.has(folder)) folder += '_';
    return `${folder}/${name}`;
  });
}

function runNative(testCase, workDir) {
  const files = fileList(testCase);
  const paths = runPaths(files.map(([name]) => name));
  files.forEach(([, bytes], i) => {
    fs.mkdirSync(path.dirname(path.join(workDir, paths[i])), { recursive: true });
    fs.writeFileSync(path.join(workDir, paths[i]), bytes);
  });
  const env = { TZ: testCase.zone === 'UTC' ? 'UTC' : LOCAL_ZONE, LC_ALL: 'C.UTF-8' };
  const args = [...testCase.flags.split(/\s+/).filter((word) => word !== ''), '--', ...paths];
  const done = spawnSync(nativeQuarvel, args, { cwd: workDir, env, maxBuffer: 1 << 28 });
  // A text file named as another input is that input, not a text file.
  const outputs = paths.map((p) => {
    const file = path.join(workDir, p + '.txt');
    return fs.existsSync(file) && !paths.includes(p + '.txt') ? fs.readFileSync(file) : null;
  });
  return { status: done.status, stdout: done.stdout.toString(), stderr: done.stderr.toString(), outputs, paths };
}

// Writes the files to disk, each in a folder of its own (two may share a
// name), and returns their paths.
function writeInputs(testCase, inputDir) {
  return fileList(testCase).map(([name, bytes], i) => {
    fs.mkdirSync(path.join(inputDir, String(i)), { recursive: true });
    fs.writeFileSync(path.join(inputDir, String(i), name), bytes);
    return path.join(inputDir, String(i), name);
  });
}

// The bytes of a blob the page made, found by its object URL.
async function blobBytes(page, url) {
  const text = await page.evaluate(async (u) => {
    const bytes = new Uint8Array(await window.testBlobs.get(u).arrayBuffer());
    let s = '';
    for (let i = 0; i < bytes.length; i += 8192) s += String.fromCharCode.apply(null, bytes.subarray(i, i + 8192));
    return s;
  }, url);
  return Buffer.from(text, 'latin1');
}

async function setOptions(page, testCase) {
  await page.select('#zone', testCase.zone === 'UTC' ? 'UTC' : 'local');
  await page.click('#flags', { clickCount: 3 });
  await page.keyboard.press('Backspace');
  if (testCase.controls) await testCase.controls(page);
  else await page.type('#flags', testCase.flags);
}

// What the page shows after Convert: exit status, console, per row its
// outcome and text file, the zip.
async function pageResults(page) {
  const shown = await page.evaluate(async () => {
    const text = (kind) => [...document.querySelectorAll('#console .' + kind)].map((s) => s.textContent).join('');
    const list = document.querySelector('#file-list');  // it keeps only the rows in view: scrolled through
    const seen = [];
    for (let top = 0; top === 0 || top < list.scrollHeight; top += list.clientHeight) {
      list.scrollTop = top;
      await new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve)));
      list.querySelectorAll('.row').forEach((row) => { seen[row.dataset.index] = row; });
    }
    const rows = seen.filter(Boolean).map((row) => {
      const link = row.querySelector('a[download]');
      return { index: Number(row.dataset.index), kind: row.dataset.kind, text: row.textContent,
        flags: row.dataset.flags || '', link: link && { name: link.download, url: link.href } };
    });
    list.scrollTop = 0;
    const zip = document.querySelector('#zip a[download]');
    return {
      status: document.body.dataset.status === '' ? null : Number(document.body.dataset.status),
      stdout: text('stdout'), stderr: text('stderr'), rows, zipUrl: zip && zip.href,
      summary: document.querySelector('#summary').textContent, flags: document.querySelector('#flags').value,
      verdict: (document.querySelector('#summary .verdict') || {}).title,
      checked: [...document.querySelectorAll('#fields input:checked')].map((box) => box.id.slice(-1)).join(''),
      plotFiles: [...document.querySelectorAll('#plot-file option')].map((option) => option.textContent),
    };
  });
  for (const row of shown.rows) {
    if (row.link) row.link.bytes = await blobBytes(page, row.link.url);
  }
  shown.outputs = [];
  for (const row of shown.rows) shown.outputs[row.index] = row.link ? row.link.bytes : null;
  shown.zip = shown.zipUrl ? await blobBytes(page, shown.zipUrl) : null;
  return shown;
}

async function runPage(page, testCase, inputDir) {
  await page.reload();
  const paths = writeInputs(testCase, inputDir);
  if (paths.length) await (await page.$('#files')).uploadFile(...paths);
  await setOptions(page, testCase);
  if (testCase.before) await testCase.before(page);
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]:not([data-zip=making])', { timeout: 120000 });
  await plotDrawn(page);
  return pageResults(page);
}

// Waits until the plot's reader has answered.
async function plotDrawn(page) {
  await page.waitForFunction(() => document.querySelector('#plot-note').textContent !== 'reading…', { timeout: 60000 });
}

function compare(name, expected, actual) {
  const problems = [];
  if (expected.status !== actual.status) problems.push(`exit status ${expected.status} (native) vs ${actual.status} (page)`);
  const mask = (text) => text.replace(BANNER, `quarvel version ${VERSION}, built on <date>`);
  if (mask(expected.stdout) !== mask(actual.stdout)) {
    problems.push(`stdout differs:\n${expected.stdout.slice(0, 600)}\n---- page:\n${actual.stdout.slice(0, 600)}`);
  }
  if (expected.stderr !== actual.stderr) {
    problems.push(`stderr differs: ${JSON.stringify(expected.stderr)} vs ${JSON.stringify(actual.stderr)}`);
  }
  if (actual.rows.length !== expected.outputs.length) {
    problems.push(`${actual.rows.length} rows for ${expected.outputs.length} files`);
  }
  expected.outputs.forEach((bytes, i) => {
    const page = actual.outputs[i];
    if ((bytes === null) !== (page === null || page === undefined)) {
      problems.push(`${expected.paths[i]}.txt: ${bytes === null ? 'none' : 'made'} (native) vs ${page ? 'made' : 'none'} (page)`);
    } else if (bytes !== null && !page.equals(bytes)) {
      const at = [...page].findIndex((b, k) => b !== bytes[k]);
      problems.push(`${expected.paths[i]}.txt: ${bytes.length} bytes (native) vs ${page.length} (page), first difference at ${at}`);
    }
  });
  return problems.map((p) => `${name}: ${p}`);
}

// The entries of a zip, read by Python's zipfile: {bad (testzip),
// entries: [[name, made on (3: Unix), UTF-8 flag, bytes as latin-1]]}.
function zipEntries(zipBytes, dir) {
  const file = path.join(dir, 'all.zip');
  fs.writeFileSync(file, zipBytes);
  const script = 'import json, sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nbad = z.testzip()\n'
    + 'print(json.dumps({"bad": bad, "entries": [[i.filename, i.create_system, i.flag_bits & 0x800,'
    + ' z.read(i).decode("latin-1"), i.compress_type] for i in z.infolist()]}))';
  const done = spawnSync(PYTHON, ['-c', script, file], { maxBuffer: 1 << 30 });
  if (done.status !== 0) return { error: `python zipfile: status ${done.status} ${done.stderr}` };
  const tested = spawnSync('unzip', ['-tq', file]);
  if (tested.status !== 0) return { error: `unzip -t: ${tested.stdout}${tested.stderr}` };
  return JSON.parse(done.stdout.toString());
}

// The zip holds every text file the page offers, but those of files that
// are probably not logger files unless `strangers`, under the names it
// offers them, made on Unix with UTF-8 names, by `method` (8: deflated).
function checkZip(name, actual, dir, method = 8, strangers = false) {
  if (actual.zip === null) return [`${name}: no zip offered`];
  const zip = zipEntries(actual.zip, dir);
  if (zip.error || zip.bad) return [`${name}: zip: ${zip.error || 'bad CRC in ' + zip.bad}`];
  const offered = actual.rows.filter((row) => row.link && (strangers || row.kind !== 'stranger'));
  const problems = [];
  const names = zip.entries.map(([entry]) => entry);
  if (names.join('/') !== offered.map((row) => row.link.name).join('/')) problems.push(`zip holds ${JSON.stringify(names)}`);
  for (const [entry, system, utf8, text, compressed] of zip.entries) {
    const row = offered.find((r) => r.link.name === entry);
    if (system !== 3 || !utf8 || compressed !== method) {
      problems.push(`zip entry ${entry}: made on system ${system}, UTF-8 flag ${utf8}, method ${compressed}`);
    }
    if (row && !Buffer.from(text, 'latin1').equals(row.link.bytes)) problems.push(`zip entry ${entry} differs`);
  }
  return problems.map((p) => `${name}: ${p}`);
}

// A screenshot of the page down to its console, into OUT_DIR.
async function screenshot(page, name) {
  const height = await page.evaluate(() => document.querySelector('#console').getBoundingClientRect().top + window.scrollY);
  await page.screenshot({ path: path.join(outDir, name), clip: { x: 0, y: 0, width: 1000, height: Math.ceil(height) - 40 },
    captureBeyondViewport: true });
}

// Per pixel column of the plot area, which of the series colours it shows:
// `columns`, bit sets (bit k: colour k); per colour its first and last
// pixel rows (`rows`); and the canvas's `height`.
async function plotColumns(page) {
  return page.evaluate((colours, margin) => {
    const canvas = document.querySelector('#plot');
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    const columns = [];
    const rows = colours.map(() => [Infinity, -Infinity]);
    for (let x = margin.left; x < width - margin.right; x++) {
      let bits = 0;
      for (let y = margin.top; y < height - margin.bottom; y++) {
        const i = 4 * (y * width + x);
        colours.forEach(([r, g, b], k) => {
          if (data[i + 3] > 0 && Math.abs(data[i] - r) + Math.abs(data[i + 1] - g) + Math.abs(data[i + 2] - b) < 60) {
            bits |= 1 << k;
            rows[k] = [Math.min(rows[k][0], y), Math.max(rows[k][1], y)];
          }
        });
      }
      columns.push(bits);
    }
    return { columns, rows, height };
  }, SERIES, { left: 70, right: 12, top: 12, bottom: 46 });
}

// What the coverage's tip says with the pointer at (x, y) of the canvas (in
// its pixels), after a click there if `click`; null when it shows none.
async function coverageTip(page, x, y, click = false) {
  const at = await page.$eval('#coverage', (c, px, py) => {
    c.scrollIntoView({ block: 'nearest' });
    const box = c.getBoundingClientRect();
    return [box.left + c.clientLeft + px * c.clientWidth / c.width, box.top + c.clientTop + py * c.clientHeight / c.height];
  }, x + 0.5, y + 0.5);
  await page.mouse.move(...at);
  if (click) await page.mouse.click(...at);
  return page.$eval('#coverage-tip', (tip) => (tip.hidden ? null : tip.textContent));
}

// The coverage's rows, top to bottom, found by pointing at their names:
// [channel, y of its middle, its bar colours per column ('b' converted,
// 'o' cut short, 'p' clipped, stuck or dead, 'r' not converted, 'd' the
// end of a block cut short, '.' none), its logger (undefined: one logger),
// what pointing at its name says].
async function coverageRows(page) {
  const rows = [];
  const height = await page.$eval('#coverage', (c) => c.height);
  for (let y = 6; y < height - 46; y += 2) {
    const tip = await coverageTip(page, 30, y);
    const [, logger, channel] = /^(?:(.*) · )?channel (-?\d+):/.exec(tip);
    const last = rows[rows.length - 1];
    if (last && last[3] === tip) last[2].push(y);
    else rows.push([Number(channel), logger, [y], tip]);
  }
  return Promise.all(rows.map(([channel, logger, ys, tip]) => page.$eval('#coverage', (c, py) => {
    const data = c.getContext('2d').getImageData(70, py, c.width - 82, 1).data;
    const kinds = { b: [31, 119, 180], o: [255, 127, 14], p: [148, 103, 189], r: [214, 39, 40], d: [90, 29, 0] };
    const kind = (at) => Object.keys(kinds).find((k) => data[at + 3] && kinds[k].every((v, j) => Math.abs(v - data[at + j]) <= 4));
    return Array.from({ length: data.length / 4 }, (_, i) => kind(4 * i) || '.').join('');
  }, ys[Math.floor(ys.length / 2)]).then((bars) => [channel, ys[Math.floor(ys.length / 2)], bars, logger, tip])));
}

async function launch(profile) {
  return puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: 'new',
    userDataDir: profile,
    env: { ...process.env, TZ: LOCAL_ZONE },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
}

// The page's blobs by object URL, so that the test reads the text files
// and the zip as a download would; and the policy violations.
async function addHooks(page) {
  await page.evaluateOnNewDocument(() => {
    window.testBlobs = new Map();
    const create = URL.createObjectURL;
    URL.createObjectURL = (object) => {
      const url = create.call(URL, object);
      window.testBlobs.set(url, object);
      return url;
    };
    window.testViolations = [];
    document.addEventListener('securitypolicyviolation',
      (event) => window.testViolations.push(`${event.violatedDirective} ${event.blockedURI}`));
  });
}

// The shared test files of python/tests/logbuilder.py: `verb` 'strangers'
// (files that are not logs) or 'cases'; name → bytes.
function sharedFiles(verb, dir) {
  const done = spawnSync(PYTHON, [path.join(__dirname, '../../python/tests/logbuilder.py'), verb, dir]);
  if (done.status !== 0) throw new Error(`logbuilder.py ${verb}: ${done.stderr}`);
  return Object.fromEntries(fs.readdirSync(dir).sort().map((name) => [name, fs.readFileSync(path.join(dir, name))]));
}

function parityCases() {
  const example = { '1.002': fs.readFileSync(path.join(__dirname, '../../examples/1.002')) };
  const logs = testLogs();
  const checkbox = (id) => (page) => page.click(id);
  return [
    { name: 'example, -tc, local time', files: example, flags: '-tc', zone: 'local', checked: 'tcC' },
    { name: 'example, defaults, UTC', files: example, flags: '', zone: 'UTC' },
    { name: 'several logs, all fields, every 3rd, first headers', files: logs, flags: '-tcpNgor -n 3 -s', zone: 'UTC',
      zip: true },
    { name: 'several logs, debug, local time', files: logs, flags: '-d', zone: 'local', zip: true },
    { name: 'controls: raw count, no calibrated value, no headers, every 2nd', files: { 'blocks.002': logs['blocks.002'] },
      flags: '-rCS -n 2', zone: 'UTC',
      controls: async (page) => {
        await checkbox('#field-r')(page);
        await checkbox('#field-C')(page);
        await page.click('input[name=headers][value=S]');
        await page.click('#modulus', { clickCount: 3 });
        await page.type('#modulus', '2');
      } },
    { name: 'cut block alone', files: { 'cut.002': logs['cut.002'] }, flags: '-t', zone: 'local' },
    { name: 'unknown option', files: example, flags: '-tx', zone: 'UTC' },
    { name: 'modulus 0', files: example, flags: '-n 0', zone: 'UTC' },
    { name: 'quiet and debug', files: example, flags: '-qd', zone: 'UTC' },
    { name: 'showcase', files: { 'lab.002': showcaseLog() }, flags: '-tc', zone: 'UTC', showcase: true },
  ];
}

async function parityTests(page, work) {
  const problems = [];
  for (const [index, testCase] of parityCases().entries()) {
    const dir = path.join(work, 'case' + index);
    const expected = runNative(testCase, path.join(dir, 'native'));
    const actual = await runPage(page, testCase, path.join(dir, 'page'));
    const found = compare(testCase.name, expected, actual);
    if (testCase.checked !== undefined && actual.checked !== testCase.checked) {
      found.push(`${testCase.name}: the options typed checked the fields ${actual.checked}, not ${testCase.checked}`);
    }
    if (testCase.controls && actual.flags !== testCase.flags) {
      found.push(`${testCase.name}: the controls gave the options ${JSON.stringify(actual.flags)}`);
    }
    if (testCase.zip) found.push(...checkZip(testCase.name, actual, dir));
    if (testCase.showcase) {
      // Two runs 900 s apart, each 400 s long, three channels: the gap is
      // shorter than the runs, so the axis is to scale: the runs fill the
      // first and last 31% of the width, the gap between stays empty.
      const { columns, rows, height } = await plotColumns(page);
      const drawn = columns.filter((bits) => bits !== 0).length;
      const middle = columns.slice(Math.floor(columns.length * 0.35), Math.ceil(columns.length * 0.65));
      if (drawn < 0.55 * columns.length || middle.some((bits) => bits !== 0)) {
        found.push(`${testCase.name}: ${drawn} of ${columns.length} columns drawn; the middle ones show ${middle}`);
      }
      // Each channel in a panel of its own (3 panels, 74 px of margins and gaps), top to bottom, filled by its values.
      if (rows.some(([top, bottom], k) => bottom - top < 0.7 * (height - 74) / 3 || (k > 0 && top <= rows[k - 1][1]))) {
        found.push(`${testCase.name}: the channels take the rows ${JSON.stringify(rows)} of a plot ${height} high`);
      }
    }
    console.log(`${found.length ? 'FAIL' : 'ok  '} ${testCase.name}`);
    problems.push(...found);
  }
  return problems;
}

// The bundled example: two blocks an hour apart, of channels 3 and 4. Both
// are drawn wide, the first left of the second, each in its own colour.
async function plotTest(page, work) {
  const testCase = { files: { '1.002': fs.readFileSync(path.join(__dirname, '../../examples/1.002')) }, flags: '',
    zone: 'UTC' };
  await runPage(page, testCase, path.join(work, 'plot'));
  const { columns } = await plotColumns(page);
  const first = columns.map((bits, x) => (bits & 1 ? x : -1)).filter((x) => x >= 0);
  const second = columns.map((bits, x) => (bits & 2 ? x : -1)).filter((x) => x >= 0);
  const problems = [];
  // 80 samples over 39.5 s and 64 over 63 s: about 38% and 62% of the width.
  if (first.length < 0.3 * columns.length || second.length < 0.5 * columns.length) {
    problems.push(`the example's blocks take ${first.length} and ${second.length} of ${columns.length} columns`);
  }
  if (first.length && second.length && Math.max(...first) >= Math.min(...second)) {
    problems.push('the example\'s blocks overlap or are out of order');
  }
  const note = await page.$eval('#plot-note', (e) => e.textContent);
  if (!note.includes('cut out')) problems.push(`the plot does not say that a gap is cut out: ${JSON.stringify(note)}`);
  console.log(`${problems.length ? 'FAIL' : 'ok  '} the example's two blocks, an hour apart, both readable`);
  return problems.map((p) => 'plot: ' + p);
}

// Good logs, a cut one, a file that is no log, an empty file, names that
// look like options, a name with ..\ and a newline, two files of one name
// and a text file written by quarvel: each file's outcome, every text
// identical to the command's, a zip that extracts safely.
async function mixedBatch(page, work) {
  const logs = testLogs();
  const dir = path.join(work, 'mixed');
  const good = logs['blocks.002'];
  const earlier = runNative({ files: { 'old.002': good }, flags: '', zone: 'UTC' }, path.join(dir, 'earlier'));
  const testCase = {
    name: 'mixed batch',
    files: [
      ['lab.002', showcaseLog(3600, 90000)], ['cut.002', logs['cut.002']], ['notes.csv', logs['notes.csv']],
      ['empty.002', logs['empty.002']], ['-q', logs['nonfinite.002']], ['--.002', logs['fragment.002']],
      ['..\\..\\evil\n.002', good], ['same.002', logs['cut.002']], ['same.002', good], ['old.002.txt', earlier.outputs[0]],
      ['fig\u202egpj.002', good], ['photo.png', sharedFiles('strangers', path.join(dir, 'strangers'))['photo.png']],
    ],
    flags: '-t', zone: 'UTC',
  };
  const expected = runNative(testCase, path.join(dir, 'native'));
  const actual = await runPage(page, testCase, path.join(dir, 'page'));
  const problems = compare(testCase.name, expected, actual);
  problems.push(...checkZip(testCase.name, actual, dir));
  const refused = expected.stderr.includes(sayText(MESSAGES.INPUT_IS_OWN_TEXT, 'old.002.txt'));
  const records = (bytes) => bytes.toString('latin1').split('\r\n').filter((line, i, all) => i < all.length - 1
    && !line.startsWith('%')).length;
  const wanted = [
    ['converted', `${records(expected.outputs[0]).toLocaleString('en-US')} records`], ['cut', 'its last block has 40 of its 100 samples'],
    ['stranger', 'probably not a logger file: its first block header reads channel 1,953,066,341'],
    ['converted', 'no samples: an empty text file'], ['converted', 'records'],
    ['converted', 'records'], ['converted', 'records'], ['cut', '40 of its 100'], ['converted', 'records'],
    refused ? ['failed', MESSAGES.INPUT_IS_OWN_TEXT.split('%s ')[1].trim()] : null, ['converted', 'records'],
    ['stranger', 'probably not a logger file'],
  ];
  wanted.forEach((want, i) => {
    const row = actual.rows.find((r) => r.index === i);
    if (want && (!row || row.kind !== want[0] || !row.text.includes(want[1]))) {
      problems.push(`${testCase.name}: file ${i} shows ${row ? JSON.stringify([row.kind, row.text]) : 'no row'},`
        + ` not ${JSON.stringify(want)}`);
    }
  });
  const names = actual.rows.map((row) => row.link && row.link.name);
  for (const name of ['.._.._evil_.002.txt', 'same.002.txt', 'same.002 (2).txt', '-q.txt']) {
    if (!names.includes(name)) problems.push(`${testCase.name}: no text file offered as ${JSON.stringify(name)}: ${names}`);
  }
  if (!actual.rows.find((r) => r.index === 8).text.includes('(as 2/same.002)')) {
    problems.push(`${testCase.name}: the second same.002 does not say where it ran`);
  }
  if (!actual.summary.startsWith('12 files: ') || !actual.summary.includes(', 2 probably not logger files,')
    || !actual.summary.includes('quarvel would report a failure') || actual.verdict !== `exit status ${expected.status}`) {
    problems.push(`${testCase.name}: summary ${JSON.stringify(actual.summary)} (${actual.verdict})`);
  }
  const shown = actual.rows.map((row) => row.text).join() + actual.plotFiles.join();
  if (!actual.plotFiles.includes('cut.002 (cut short)') || actual.plotFiles[0] !== 'lab.002' || /\u202e/.test(shown)
    || ['notes.csv', 'photo.png'].some((name) => actual.plotFiles.includes(name)) || !shown.includes('fig\ufffdgpj')) {
    problems.push(`${testCase.name}: the plot offers ${JSON.stringify(actual.plotFiles)}`);
  }
  problems.push(...(await mixedCoverage(page)).map((p) => `${testCase.name}: ${p}`));
  // A long detail is cut to the row's width, and shown whole when its row has the focus.
  const detail = () => page.$eval('#file-list .row[data-index="2"]', (row) => [row.offsetHeight,
    row.querySelector('.detail').scrollWidth - row.querySelector('.detail').clientWidth]);
  const [cut, whole] = [await detail(), await page.focus('#file-list .row[data-index="2"]').then(detail)];
  if (!(cut[1] > 0 && whole[1] <= 0 && whole[0] > cut[0])) problems.push(`the detail, cut and whole: ${cut}, ${whole}`);
  await page.click('#problems-only');
  const filtered = await page.$$eval('#file-list .row', (rows) => rows.map((row) => Number(row.dataset.index)));
  const problemRows = [1, 2, 3, 4, 7, ...(refused ? [9] : []), 11];  // 4: clipped
  if (refused ? filtered.join() !== problemRows.join() : !problemRows.every((i) => filtered.includes(i))) {
    problems.push(`${testCase.name}: the filter shows the files ${filtered}, not ${problemRows}`);
  }
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${testCase.name} (quarvel's own text ${refused ? 'refused' : 'converted: not yet refused'})`);
  return problems;
}

// The mixed batch's coverage: a row per channel of the logs (not of the
// files that are not logs); the cut file marked; pointing at a bar names
// its file (the screenshot shows it), and choosing it plots it.
async function mixedCoverage(page) {
  const [rows, note, problems] = [await coverageRows(page), await page.$eval('#coverage-note', (e) => e.textContent), []];
  const channels = rows.map(([channel]) => channel);
  // lab.002, past 1 MB, is read in place: its headers come from what quarvel reads of it.
  if (channels.join() !== '-7,0,1,2,3,4,5,9' || !note.startsWith('26 blocks of 8 files')) problems.push(`${channels}: ${note}`);
  const bars = Object.fromEntries(rows.map(([channel, , colours]) => [channel, colours]));
  if (!/o.*d/.test(bars[2] || '') || rows.some(([, , colours]) => colours.includes('r'))) {
    problems.push(`coverage of channel 2 ${bars[2]}`);
  }
  const nine = rows.find(([channel]) => channel === 9) || [9, 0, ''];
  const tip = await coverageTip(page, nine[2].search(/[bo]/) + 70, nine[1]);
  await screenshot(page, 'web-mixed.png');
  await coverageTip(page, nine[2].search(/[bo]/) + 70, nine[1], true);
  await plotDrawn(page);
  const plotted = await page.$eval('#plot-file', (select) => select.value);
  if (!tip || !tip.startsWith('--.002 · channel 9 · block 0: 3 samples') || plotted !== '5') {
    problems.push(`coverage: pointing at channel 9 shows ${JSON.stringify(tip)}, choosing it plots ${plotted}`);
  }
  return problems;
}

// logbuilder.py's cases and files that are not logs: the command's text;
// these, and no case, probably not logger files, not in the plot; cases
// cut short stay so. The browser here cannot deflate: the zip is stored.
async function strangersAndCases(page, work) {
  const dir = path.join(work, 'shared');
  const strangers = sharedFiles('strangers', path.join(dir, 'strangers'));
  const testCase = { name: 'the shared cases and files that are not logs', flags: '-q', zone: 'UTC',
    files: { ...sharedFiles('cases', path.join(dir, 'cases')), ...strangers },
    before: (p) => p.evaluate(() => { delete window.CompressionStream; }) };
  const expected = runNative(testCase, path.join(dir, 'native'));
  const actual = await runPage(page, testCase, path.join(dir, 'page'));
  const problems = [...compare(testCase.name, expected, actual), ...checkZip(testCase.name, actual, dir, 0)];
  const names = fileList(testCase).map(([name]) => name);
  const kinds = actual.rows.map((row) => [names[row.index], row.kind]);
  const wanted = names.map((name) => [name, name in strangers ? 'stranger'
    : expected.stderr.includes(MESSAGES.TRUNCATED_BLOCK.split('%ld')[0].replace('%s', name)) ? 'cut' : 'converted']);
  if (JSON.stringify(kinds) !== JSON.stringify(wanted)) problems.push(`kinds ${JSON.stringify(kinds)}`);
  if (!actual.summary.includes(', 4 probably not logger files.') || actual.plotFiles.some((n) => n in strangers)) {
    problems.push(`summary ${actual.summary}, plot ${actual.plotFiles}`);
  }
  // The switch puts them in the zip, made again at once, and is remembered.
  await page.click('#keep-strangers');
  await page.waitForFunction(() => document.querySelector('#zip a[download]').textContent.startsWith('all '));
  const zipUrl = await page.$eval('#zip a[download]', (link) => link.href);
  problems.push(...checkZip('switched', { ...actual, zip: await blobBytes(page, zipUrl) }, dir, 0, true));
  await page.reload();
  if (!await page.$eval('#keep-strangers', (box) => box.checked)) problems.push('the switch is not remembered');
  await page.evaluate(() => localStorage.clear());
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${testCase.name}, left out of the zip unless kept`);
  return problems.map((p) => `${testCase.name}: ${p}`);
}

// logbuilder.py's fault logs: the command's text; each file's flags, with
// the numbers of faults.json in its detail; the files flagged counted in
// the summary; the blocks flagged coloured in the coverage. Its list is
// the screenshot web-flags.png.
async function faultFlags(page, work) {
  const dir = path.join(work, 'faults');
  const { 'faults.json': json, ...logs } = sharedFiles('faults', path.join(dir, 'logs'));
  const faults = JSON.parse(json);
  const expected = Object.keys(logs).map((name) => faults[name.replace(/\.002$/, '')].blocks);
  const testCase = { name: 'the fault logs', files: logs, flags: '-tc', zone: 'UTC' };
  const actual = await runPage(page, testCase, path.join(dir, 'page'));
  const problems = compare(testCase.name, runNative(testCase, path.join(dir, 'native')), actual);
  const n = (value) => value.toLocaleString('en-US');
  const files = { clipped: 0, stuck: 0, dead: 0 };
  const bars = new Map();  // per channel, the colours of its bars: 'p' flagged, or its file's
  for (const row of actual.rows) {
    const blocks = expected[row.index];
    const [clipped, stuck, dead] = ['clipped', 'stuck', 'dead'].map((flag) => blocks.filter((b) => b[flag]));
    const longest = stuck.reduce((a, b) => (b.longest_stuck > a.longest_stuck ? b : a), stuck[0]);
    const words = [
      clipped.length && `clipped: ${n(clipped.reduce((sum, b) => sum + b.rail_low + b.rail_high, 0))} samples at the`
        + ` rails (-32768 or 32767, the ends of the ADC's range) in ${n(clipped.length)} block`,
      stuck.length && `${n(longest.longest_stuck)} samples in a row`,
      stuck.length && `from sample ${n(longest.stuck_start)} of block ${longest.block} at`,
      dead.length && `dead: no signal in ${dead.length} block`,
    ].filter(Boolean);
    const flags = Object.entries({ clipped, stuck, dead }).filter(([, list]) => list.length).map(([flag]) => flag);
    flags.forEach((flag) => files[flag]++);
    if (row.flags !== flags.join(' ') || words.some((w) => !row.text.includes(w))) {
      problems.push(`${row.text} (flags ${row.flags}), not ${flags} and ${JSON.stringify(words)}`);
    }
    const mark = blocks.some((b) => b.cut_short) ? 'o' : 'b';
    for (const b of blocks.filter((block) => block.samples)) {
      bars.set(b.channel, (bars.get(b.channel) || new Set()).add(b.clipped || b.stuck || b.dead ? 'p' : mark));
    }
  }
  const flagged = expected.filter((blocks) => blocks.some((b) => b.clipped || b.stuck || b.dead)).length;
  const summary = ` ${flagged} files with suspect readings: ${files.clipped} clipped, ${files.stuck} stuck, ${files.dead} dead.`;
  if (!actual.summary.includes(summary)) problems.push(`summary ${actual.summary}, not ${summary}`);
  const drawn = (await coverageRows(page)).map(([channel, , colours]) => `${channel}:${[...new Set(colours.replace(/[.d]/g, ''))]}`);
  const wanted = [...bars].sort((a, b) => a[0] - b[0]).map(([channel, colours]) => `${channel}:${[...colours]}`);
  if (drawn.join() !== wanted.join()) problems.push(`coverage ${drawn}, not ${wanted}`);
  await page.focus('#file-list .row[data-index="4"]');  // rails.002: its detail whole
  const [top, bottom] = await page.evaluate(() => [document.querySelector('#results').getBoundingClientRect().top,
    document.querySelector('#file-list').getBoundingClientRect().bottom].map((y) => y + window.scrollY));
  await page.screenshot({ path: path.join(outDir, 'web-flags.png'), captureBeyondViewport: true,
    clip: { x: 0, y: top, width: 1000, height: bottom - top + 8 } });
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${testCase.name}: their flags, as faults.json has them`);
  return problems.map((p) => `${testCase.name}: ${p}`);
}

// 1,000 logs of a campaign (logs.js): a row per channel, gaps open, and
// the gaps between the logs of a channel counted across files.
async function campaignCoverage(page, work) {
  const files = writeLogs(path.join(work, 'campaign'), 1000, campaignLog);
  await page.reload();
  await (await page.$('#files')).uploadFile(...files);
  await setOptions(page, { flags: '-q -n 1000', zone: 'UTC' });
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]:not([data-zip=making])', { timeout: 300000 });
  const note = await page.$eval('#coverage-note', (e) => e.textContent);
  const rows = await coverageRows(page);
  const problems = [];
  // Each log starts an hour or more after the one before, when each block of it has ended.
  if (!note.startsWith('4,000 blocks of 1,000 files on 4 channels · 3,996 gaps')) problems.push(`note ${note}`);
  if (rows.map(([channel]) => channel).join() !== '0,1,2,3'
    || rows.some(([, , bars]) => !/^b.*\..*b$/.test(bars.replace(/\.+$/, '')))) {
    problems.push(`rows ${rows.map(([channel, , bars]) => `${channel}: ${bars}`).join('\n')}`);
  }
  await page.mouse.move(0, 0);  // no tip
  const [top, bottom] = await page.evaluate(() => [document.querySelector('#coverage-tools').getBoundingClientRect().top,
    document.querySelector('#coverage-legend').getBoundingClientRect().bottom].map((y) => y + window.scrollY));
  await page.screenshot({ path: path.join(outDir, 'web-coverage.png'), captureBeyondViewport: true,
    clip: { x: 0, y: top - 40, width: 1000, height: bottom - top + 48 } });
  console.log(`${problems.length ? 'FAIL' : 'ok  '} the coverage of 1,000 logs of a campaign`);
  return problems.map((p) => `campaign coverage: ${p}`);
}

// Drops `folder` on the page, as a file manager would (Chromium's
// DevTools protocol drags it in), and waits until the page has its files.
async function dropFolder(page, folder) {
  const [x, y] = await page.$eval('#drop strong', (strong) => {
    strong.scrollIntoView({ block: 'nearest' });
    const box = strong.getBoundingClientRect();
    return [box.left + 5, box.top + 5];
  });
  const session = await page.target().createCDPSession();
  for (const type of ['dragEnter', 'dragOver', 'drop']) {
    await session.send('Input.dispatchDragEvent', { type, x, y, data: { items: [], files: [folder], dragOperationsMask: 1 } });
  }
  await session.detach();
  await page.waitForFunction(() => !document.querySelector('#convert').disabled);
}

// logbuilder.py's time case of three loggers with channels 0-7, a folder
// each (loggers/a, b, c), dropped as a folder and chosen as one: the
// command's text and messages for the same paths, the zip's entries in
// their folders; in what was recorded, read as one logger, no gap, an
// overlap per channel and the hint of several loggers; with "each folder
// is a logger", a row per logger and channel, b's gap of 10 s on each of
// its channels (pointing at one gives its start and length), and the
// switch remembered. The screenshot web-loggers.png shows them.
async function loggers(page, work) {
  // Not in /dev/shm, where Chromium takes a folder dragged in for a file.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-web-loggers-'));
  spawnSync(PYTHON, [path.join(__dirname, '../../python/tests/logbuilder.py'), 'time-cases', dir]);
  const names = ['a', 'b', 'c'].flatMap((logger) => ['0000.002', '0001.002'].map((name) => `loggers/${logger}/${name}`));
  const testCase = { name: 'three loggers in folders', flags: '-tc', zone: 'UTC',
    files: names.map((name) => [name, fs.readFileSync(path.join(dir, name))]) };
  const expected = runNative(testCase, path.join(work, 'loggers-native'));
  const problems = [];
  await page.evaluate(() => localStorage.clear());
  for (const how of ['dropped', 'chosen']) {
    const folder = path.join(dir, 'loggers');
    const actual = await runPage(page, { ...testCase, files: [], before: how === 'dropped' ? (p) => dropFolder(p, folder)
      : async (p) => (await p.$('#folder')).uploadFile(folder) }, work);
    problems.push(...compare(`${how}`, expected, actual), ...checkZip(how, actual, fs.mkdtempSync(path.join(work, 'zip-'))));
    const entries = actual.rows.map((row) => row.link && row.link.name).join();
    if (entries !== names.map((name) => name + '.txt').join()) problems.push(`${how}: the text files are ${entries}`);
  }
  // What was recorded: its line, and per row what pointing at its name says and its bars.
  const shown = async () => [await page.$eval('#coverage-note', (e) => e.textContent),
    ...(await coverageRows(page)).map(([, , bars, , tip]) => `${tip} ${bars.replace(/(.)\1*/g, '$1')}`)].join('\n');
  const channels = [0, 1, 2, 3, 4, 5, 6, 7];
  const wanted = ['96 blocks of 6 files on 8 channels · no gap · 8 overlaps · the blocks of 8 channels overlap for most'
    + ' of the time they cover, as several loggers\' blocks would: "each folder is a logger" tells them apart',
  ...channels.map((c) => `channel ${c}: 12 blocks, 0 gaps, 1 overlap b`)].join('\n');
  if (await shown() !== wanted) problems.push(`one logger: ${await shown()}`);
  await page.click('#by-folder');
  const byFolder = await shown();
  // b records from 0 to 20 s and from 30 to 50 s, a and c from 0 to 40 s.
  if (byFolder !== ['96 blocks of 6 files on 24 channels of 3 loggers · 8 gaps (the longest 10 s) · no overlap',
    ...['a', 'b', 'c'].flatMap((logger) => channels.map((c) => `${logger} · channel ${c}: 4 blocks, `
      + (logger === 'b' ? '1 gap, 0 overlaps b.b' : '0 gaps, 0 overlaps b.')))].join('\n')) {
    problems.push(`a logger per folder: ${byFolder}`);
  }
  // Pointing at b's gap, on channel 3: the page is scrolled first to what the screenshot shows, as scrolling
  // would take the pointer off the gap.
  const [top, bottom] = await page.evaluate(() => [document.querySelector('#coverage-tools').getBoundingClientRect().top,
    document.querySelector('#coverage-legend').getBoundingClientRect().bottom].map((y) => y + window.scrollY));
  await page.evaluate((y) => window.scrollTo(0, y), top - 40);
  const gap = await coverageTip(page, 70 + 439, 6 + (8 + 3) * 15 + 7);
  if (gap !== 'b · channel 3: a gap of 10 s from 2026-12-03 00:00:20.000 UTC to 2026-12-03 00:00:30.000 UTC') {
    problems.push(`pointing at b's gap: ${gap}`);
  }
  await page.screenshot({ path: path.join(outDir, 'web-loggers.png'), captureBeyondViewport: false,
    clip: { x: 0, y: top - 40, width: 1000, height: bottom - top + 48 } });
  await page.reload();
  if (!await page.$eval('#by-folder', (box) => box.checked)) problems.push('the switch is not remembered');
  await page.evaluate(() => localStorage.clear());
  if (problems.length === 0) fs.rmSync(dir, { recursive: true, force: true });
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${testCase.name}: dropped and chosen, one logger and a logger per folder`);
  return problems.map((p) => `${testCase.name}: ${p}`);
}

// 10,000 small files, one cut short: converted and zipped, the zip read by
// Python's zipfile against the command's text files; the summary, the
// filter and the page's layout stay usable.
async function manyFiles(page, work, count) {
  const dir = path.join(work, 'many');
  const names = Array.from({ length: count }, (_, i) => `f${String(i).padStart(5, '0')}.002`);
  const cut = Math.floor(count / 2);
  fs.mkdirSync(dir, { recursive: true });
  names.forEach((name, i) => fs.writeFileSync(path.join(dir, name), i === cut
    ? logFile([block({ channel: 1, count: 20, samples: sineSamples(5, 1) })]) : smallLog(i)));
  // The command's text files lie beside the logs; the page is given the logs.
  const native = dir;
  const done = spawnSync(nativeQuarvel, ['-q', '--', ...names], { cwd: native, env: { TZ: 'UTC', LC_ALL: 'C.UTF-8' } });
  await page.reload();
  await (await page.$('#files')).uploadFile(...names.map((name) => path.join(dir, name)));
  await setOptions(page, { flags: '-q', zone: 'UTC' });
  const started = Date.now();
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]:not([data-zip=making])', { timeout: 600000 });
  const seconds = (Date.now() - started) / 1000;
  await plotDrawn(page);
  const shown = await page.evaluate(() => ({
    coverage: document.querySelector('#coverage-note').textContent,
    status: Number(document.body.dataset.status), summary: document.querySelector('#summary').textContent,
    stderr: [...document.querySelectorAll('#console .stderr')].map((s) => s.textContent).join(''),
    rows: document.querySelectorAll('#file-list .row').length,
    listHeight: document.querySelector('#file-list').getBoundingClientRect().height,
    convertTop: document.querySelector('#convert').getBoundingClientRect().top + window.scrollY,
    command: document.querySelector('#command').textContent,
    zipUrl: document.querySelector('#zip a[download]').href,
  }));
  const problems = [];
  const want = `${count.toLocaleString('en-US')} files: ${(count - 1).toLocaleString('en-US')} converted, 1 cut short.`;
  if (!shown.summary.startsWith(want)) problems.push(`summary ${JSON.stringify(shown.summary)}, not ${JSON.stringify(want)}`);
  if (shown.status !== done.status || shown.stderr !== done.stderr.toString()) {
    problems.push(`status ${shown.status} and stderr ${JSON.stringify(shown.stderr)}, not ${done.status} and ${done.stderr}`);
  }
  if (shown.rows > 100 || shown.listHeight > 400 || shown.convertTop > 1000) {
    problems.push(`${shown.rows} rows in the page, the list ${shown.listHeight} px high, Convert at y=${shown.convertTop}`);
  }
  if (shown.command !== 'TZ=UTC quarvel -q -- FILE...') problems.push(`command ${JSON.stringify(shown.command)}`);
  const rows = await coverageRows(page);
  if (!shown.coverage.startsWith('10,000 blocks of 10,000 files on 16 channels') || rows.length !== 16
    || !rows.some(([channel, , bars]) => channel === 1 && bars.includes('o'))) {
    problems.push(`coverage: ${shown.coverage}, rows ${rows.map(([channel, , bars]) => channel + bars.slice(0, 40))}`);
  }
  await screenshot(page, 'web-10000.png');
  await page.click('#problems-only');
  const filtered = await page.$$eval('#file-list .row', (rows) => rows.map((row) => Number(row.dataset.index)));
  if (filtered.join() !== String(cut)) problems.push(`the filter shows the files ${filtered}, not ${cut}`);
  // The zip against the command's text files.
  const zipFile = path.join(work, 'many.zip');
  fs.writeFileSync(zipFile, await blobBytes(page, shown.zipUrl));
  const script = 'import json, os, sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nnames = sys.argv[3:]\n'
    + 'infos = z.infolist()\nbad = [i.filename for i, n in zip(infos, names) if i.filename != n + ".txt"'
    + ' or i.create_system != 3 or z.read(i) != open(os.path.join(sys.argv[2], n + ".txt"), "rb").read()]\n'
    + 'print(json.dumps({"entries": len(infos), "testzip": z.testzip(), "bad": bad[:5]}))';
  const checked = spawnSync(PYTHON, ['-c', script, zipFile, native, ...names], { maxBuffer: 1 << 26 });
  const tested = spawnSync('unzip', ['-tq', zipFile]);
  const zip = checked.status !== 0 || tested.status !== 0 ? { error: `${checked.stderr}${tested.stdout}` }
    : JSON.parse(checked.stdout);
  if (zip.error || zip.entries !== count || zip.testzip !== null || zip.bad.length) problems.push(`zip: ${JSON.stringify(zip)}`);
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${count} small files converted and zipped in ${seconds.toFixed(1)} s`);
  return problems.map((p) => `${count} files: ${p}`);
}

// What the page does before any run: a first visit starts from -tc; no
// files, no Convert; a file name typed as an option is refused; an unknown
// option is shown as a problem with Convert still on; a bidirectional
// control in a name is shown replaced; choices are remembered, and the
// defaults come back.
async function beforeRunning(page, work) {
  await page.reload();
  const problems = [];
  const expect = async (what, wanted) => {
    const actual = await page.evaluate(() => ({ flags: document.querySelector('#flags').value,
      zone: document.querySelector('#zone').value, convert: !document.querySelector('#convert').disabled,
      status: document.querySelector('#status').textContent, command: document.querySelector('#command').textContent,
      problem: document.querySelector('#flags-problem').offsetHeight > 0 && document.querySelector('#flags-problem').textContent,
      checked: [...document.querySelectorAll('#fields input:checked')].map((box) => box.id.slice(-1)).join('') }));
    if (Object.entries(wanted).some(([key, value]) => (value instanceof RegExp ? !value.test(actual[key]) : actual[key] !== value))) {
      problems.push(`${what}: ${JSON.stringify(actual)}, not ${JSON.stringify(wanted)}`);
    }
  };
  await expect('a first visit', { flags: '-tc', zone: 'local', checked: 'tcC', convert: false,
    status: 'Choose or drop the logger files to convert.' });
  const file = path.join(work, 'be\u202efore.002');
  fs.writeFileSync(file, smallLog(1));
  await (await page.$('#files')).uploadFile(file);
  await expect('a name with U+202E', { command: "quarvel -tc -- 'be\ufffdfore.002'", convert: true });
  await setOptions(page, { flags: '-t before.002', zone: 'local' });
  await expect('a name typed', { convert: false, problem: /“before\.002”: not an option/ });
  await setOptions(page, { flags: '-tx', zone: 'UTC' });
  await expect('an unknown option', { convert: true, problem: /^⚠ unknown option -x/ });
  await page.reload();
  await expect('remembered', { flags: '-tx', zone: 'UTC' });
  await page.click('#defaults');
  await page.reload();
  await expect('back to the defaults', { flags: '-tc', zone: 'local', checked: 'tcC' });
  console.log(`${problems.length ? 'FAIL' : 'ok  '} before a run: -tc first, choices remembered, problems shown`);
  return problems.map((p) => 'before running: ' + p);
}

// Stop, pressed at once: the run ends without an exit status, every file
// says it was stopped, and the next run converts.
async function stopped(page, work) {
  await page.evaluate(() => localStorage.clear());
  await page.reload();
  const file = path.join(work, 'stopped.002');
  fs.writeFileSync(file, testLogs()['long.002']);
  await (await page.$('#files')).uploadFile(file);
  // Both in one task: the run cannot end between them.
  await page.evaluate(() => {
    document.querySelector('#convert').click();
    document.querySelector('#stop').click();
  });
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const first = await page.evaluate(() => [document.querySelector('#status').textContent,
    document.querySelector('#file-list .row').textContent]);
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const second = await page.$eval('#file-list .row', (row) => row.dataset.kind);
  const ok = first[0].startsWith('stopped') && first[1].includes('stopped before it was converted') && second === 'converted';
  console.log(`${ok ? 'ok  ' : 'FAIL'} Stop, then Convert again`);
  return ok ? [] : [`stop: ${JSON.stringify(first)}, then ${second}`];
}

// An input whose text file would be another input: quarvel refuses to
// write it, and in debug mode says why. The page shows why with debug or
// without, as the program's record of the file tells it.
async function otherInput(page, work) {
  const problems = [];
  let reason = null;
  for (const flags of ['-qd', '-q']) {
    const testCase = { name: `an output that is another input (${flags})`, flags, zone: 'UTC',
      files: [['x.002', smallLog(2)], ['x.002.txt', smallLog(3)]] };
    const expected = runNative(testCase, path.join(work, 'other' + flags, 'native'));
    if (flags === '-qd') {
      if (!expected.stderr.startsWith(sayText(MESSAGES.OPEN_OUTPUT_FAILED, 'x.002.txt') + REASON)) {
        problems.push(`${testCase.name}: quarvel does not refuse it: ${JSON.stringify(expected.stderr)}`);
        break;
      }
      reason = expected.stderr.split('\n')[1].slice(REASON.length);
    }
    const actual = await runPage(page, testCase, path.join(work, 'other' + flags, 'page'));
    problems.push(...compare(testCase.name, expected, actual));
    const row = actual.rows.find((r) => r.index === 0);
    if (!row || row.kind !== 'failed' || !row.text.includes(`its text file could not be opened: ${reason}`)) {
      problems.push(`${testCase.name}: the row says ${row && row.text}`);
    }
  }
  console.log(`${problems.length ? 'FAIL' : 'ok  '} an output that is another input: the reason shown, with -d and without`);
  return problems;
}

// Deflating workers that cannot start: the zip is stored instead, and the
// console says so after quarvel's own words.
async function packerFails(page, work) {
  const logs = testLogs();
  const testCase = { name: 'deflating workers that cannot start', flags: '-q', zone: 'UTC',
    files: { 'blocks.002': logs['blocks.002'], 'cut.002': logs['cut.002'] },
    before: (p) => p.evaluate(() => {
      const Real = window.Worker;
      let first = null;  // the conversion's worker; the ones made after it deflate
      window.Worker = function Worker(url, options) {
        first = first || url;
        return new Real(url === first ? url : URL.createObjectURL(new Blob(['throw new Error("no start")'])), options);
      };
    }) };
  const dir = path.join(work, 'packer');
  const expected = runNative(testCase, path.join(dir, 'native'));
  const actual = await runPage(page, testCase, path.join(dir, 'page'));
  const note = /quarvel page: the zip could not be compressed \(.+\); it is stored instead\n$/;
  const problems = note.test(actual.stderr) ? [] : [`${testCase.name}: the console says ${JSON.stringify(actual.stderr)}`];
  problems.push(...compare(testCase.name, expected, { ...actual, stderr: actual.stderr.replace(note, '') }));
  problems.push(...checkZip(testCase.name, actual, dir, 0));
  console.log(`${problems.length ? 'FAIL' : 'ok  '} ${testCase.name}: the zip stored instead`);
  return problems;
}

// A file removed after it was chosen: the program's read fails, and the
// page says so as the program would, with exit status 1.
async function fileGone(page, work) {
  await page.evaluate(() => localStorage.clear());
  await page.reload();
  const file = path.join(work, 'gone.002');
  fs.writeFileSync(file, testLogs()['blocks.002']);
  await (await page.$('#files')).uploadFile(file);
  fs.rmSync(file);
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const result = await page.evaluate(() => [document.body.dataset.status,
    [...document.querySelectorAll('#console .stderr')].map((s) => s.textContent).join(''),
    document.querySelector('#file-list .row').textContent]);
  const ok = result[0] === '1' && result[1] === sayText(MESSAGES.READ_FAILED, 'gone.002')
    && result[2].includes('not converted') && result[2].includes('could not be read to its end');
  console.log(`${ok ? 'ok  ' : 'FAIL'} a file removed after it was chosen`);
  return ok ? [] : [`file removed: ${JSON.stringify(result)}`];
}

// Serves `site` with python3 -m http.server on 127.0.0.1: {address, close}.
async function serve(site) {
  const server = require('child_process').spawn(PYTHON,
    ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', site], { stdio: ['ignore', 'pipe', 'ignore'] });
  const port = await new Promise((resolve, reject) => {
    server.stdout.on('data', (data) => {
      const match = / port (\d+)/.exec(data.toString());
      if (match) resolve(match[1]);
    });
    server.on('exit', () => reject(new Error('http.server ended')));
  });
  return { address: `http://127.0.0.1:${port}/index.html`, close: () => server.kill() };
}

// The page's one table of logbuilder.py's multi-rate campaign (two
// loggers' logs at 1 to 1000 ms, before 1970, with gaps, overlaps, nested
// and cut blocks, NaN and infinite values), chosen as a folder: byte for
// byte what the command table writes for the same files, for each method,
// on grids of 7 ms and of 1 s, and with "each folder is a logger" as with
// --logger folder.
async function oneTable(page, work) {
  // Not in /dev/shm, where Chromium takes a folder for a file.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-web-table-'));
  const made = spawnSync(PYTHON, [path.join(ROOT, 'python/tests/logbuilder.py'), 'multirate', path.join(dir, 'multirate')]);
  if (made.status !== 0) return [`logbuilder.py multirate: ${made.stderr}`];
  const files = ['a', 'b'].flatMap((logger) => fs.readdirSync(path.join(dir, 'multirate', logger)).sort()
    .map((name) => path.join(dir, 'multirate', logger, name)));
  await page.evaluate(() => localStorage.clear());
  await page.reload();
  await (await page.$('#folder')).uploadFile(path.join(dir, 'multirate'));
  await setOptions(page, { flags: '-q', zone: 'UTC' });
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const problems = [];
  const cases = ['previous', 'exact', 'mean', 'min', 'max', 'count'].flatMap((method) => [[method, 7], [method, 1000]]);
  for (const [method, every, byFolder, overlap = 'last'] of [...cases, ['previous', 7, true], ['mean', 7, true],
    ['previous', 7, false, 'first'], ['max', 7, false, 'first']]) {
    const name = `${method} every ${every} ms, overlap ${overlap}${byFolder ? ', each folder a logger' : ''}`;
    const csv = path.join(work, 'table.csv');
    const command = spawnSync(PYTHON, ['-m', 'quarvel', 'table', ...files, '--every', String(every), '--method', method,
      '--overlap', overlap, ...(byFolder ? ['--logger', 'folder'] : []), '-o', csv], { cwd: path.join(ROOT, 'python'),
      env: { ...process.env, LC_ALL: 'C.UTF-8', TZ: 'UTC' } });
    if (command.status !== 0) {
      problems.push(`quarvel table, ${name}: status ${command.status}: ${command.stderr}`);
      continue;
    }
    if (Boolean(byFolder) !== await page.$eval('#by-folder', (box) => box.checked)) await page.click('#by-folder');
    await page.$eval('#table-every', (input, value) => { input.value = value; }, String(every));
    await page.select('#table-method', method);
    await page.select('#table-overlap', overlap);
    await page.click('#make-table');
    await page.waitForSelector('body[data-table=done]');
    const url = await page.$eval('#table a[download]', (link) => link.href).catch(() => null);
    const bytes = url ? await blobBytes(page, url) : Buffer.from(await page.$eval('#table', (span) => span.textContent));
    const expected = fs.readFileSync(csv);
    if (!bytes.equals(expected)) {
      const at = [...expected].findIndex((byte, k) => byte !== bytes[k]);
      const around = (text) => JSON.stringify(text.slice(Math.max(0, at - 80), at + 40).toString());
      problems.push(`one table, ${name}: ${bytes.length} bytes (page) vs ${expected.length} (command), first difference`
        + ` at ${at}: ${around(expected)} vs ${around(bytes)}`);
    }
  }
  fs.rmSync(dir, { recursive: true, force: true });
  console.log(`${problems.length ? 'FAIL' : 'ok  '} one table: the command's CSV, byte for byte, for every method`);
  return problems;
}

// The page served by python3 -m http.server instead of opened from disk.
async function overHttp(page, work) {
  const server = await serve(siteDir);
  try {
    await page.goto(server.address);
    const testCase = parityCases()[0];
    const expected = runNative(testCase, path.join(work, 'http', 'native'));
    const actual = await runPage(page, testCase, path.join(work, 'http', 'page'));
    const found = compare(testCase.name + ' (over http)', expected, actual);
    console.log(`${found.length ? 'FAIL' : 'ok  '} ${testCase.name}, served by python3 -m http.server`);
    return [...found, ...await intoFolder(page, work)];
  } finally {
    server.close();
  }
}

// The text files written into a folder as they are made: an origin-private
// folder, handed to the page as the folder chosen (it has the same
// interface; the page must be served for it). The logs lie in it, dropped
// as a folder: each text beside its log, byte for byte the native one; a
// text named as another input, or as a file that holds something else,
// is refused with quarvel's message and the file is left as it was; an
// old text of quarvel's is written over. With a queue of 1 MB, the text
// that waits for the folder stays within it (the page's peak).
async function intoFolder(page, work) {
  const logs = testLogs();
  const files = { 'camp/a/x.002': logs['blocks.002'], 'camp/a/x.002.txt': logs['cut.002'],
    'camp/b/long.002': logs['long.002'], 'camp/b/y.002': smallLog(5), 'camp/b/z.002': smallLog(6) };
  const testCase = { name: 'into a folder', flags: '-tc', zone: 'UTC', files: Object.entries(files) };
  const expected = runNative(testCase, path.join(work, 'folder', 'native'));
  const before = { 'camp/b/y.002.txt': 'a note of my own\n', 'camp/b/z.002.txt': expected.outputs[4] };
  const put = (named) => page.evaluate(async (texts) => {
    const root = await navigator.storage.getDirectory();
    for (const [name, text] of Object.entries(texts)) {
      let folder = root;
      const parts = name.split('/');
      for (const part of parts.slice(0, -1)) folder = await folder.getDirectoryHandle(part, { create: true });
      const writable = await (await folder.getFileHandle(parts.pop(), { create: true })).createWritable();
      await writable.write(Uint8Array.from(text, (c) => c.charCodeAt(0)));
      await writable.close();
    }
  }, Object.fromEntries(Object.entries(named).map(([k, v]) => [k, Buffer.from(v).toString('latin1')])));
  await page.evaluate(async () => {
    const root = await navigator.storage.getDirectory();
    for await (const name of root.keys()) await root.removeEntry(name, { recursive: true });
  });
  await put(files);
  // The folder dropped, as Chromium hands it over; then the files that the texts meet.
  await page.evaluate(async () => {
    const root = await navigator.storage.getDirectory();
    window.showDirectoryPicker = async () => root;
    window.quarvelTest = { queueBytes: 1 << 20 };
    const drop = new Event('drop', { bubbles: true, cancelable: true });
    const item = { kind: 'file', getAsFileSystemHandle: async () => root.getDirectoryHandle('camp') };
    Object.defineProperty(drop, 'dataTransfer', { value: { items: [item], files: [] } });
    document.querySelector('#drop').dispatchEvent(drop);
  });
  await page.waitForFunction(() => !document.querySelector('#convert').disabled);
  await put(before);
  await setOptions(page, testCase);
  await page.click('#choose-folder');
  await page.waitForFunction(() => !document.querySelector('#convert').disabled);
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const shown = () => page.evaluate(async () => {
    const texts = {};
    const walk = async (folder, at) => {
      for await (const handle of folder.values()) {
        if (handle.kind === 'directory') await walk(handle, `${at}${handle.name}/`);
        else {
          const bytes = new Uint8Array(await (await handle.getFile()).arrayBuffer());
          texts[at + handle.name] = Array.from(bytes, (b) => String.fromCharCode(b)).join('');
        }
      }
    };
    await walk(await navigator.storage.getDirectory(), '');
    return { texts, peak: Number(document.body.dataset.queuePeak), status: document.querySelector('#status').textContent,
      rows: [...document.querySelectorAll('#file-list .row')].map((row) => row.textContent) };
  });
  const found = await shown();
  const problems = [];
  const want = { 'camp/b/y.002.txt': before['camp/b/y.002.txt'],
    ...Object.fromEntries(Object.entries(files).map(([k, v]) => [k, v.toString('latin1')])) };
  expected.paths.forEach((p, i) => {
    if (expected.outputs[i] && p !== 'camp/b/y.002') want[p + '.txt'] = expected.outputs[i].toString('latin1');
  });
  const differences = (texts) => [...new Set([...Object.keys(want), ...Object.keys(texts)])].filter((name) =>
    want[name] !== texts[name]).map((name) => `${name}: ${(texts[name] || '').length} bytes in the folder,`
    + ` ${(want[name] || '').length} expected`);
  problems.push(...differences(found.texts));
  // Stopped while it writes long.002's text again, into the same folder: no file is left half written.
  await page.evaluate(() => {
    const progress = document.querySelector('#progress-text');
    const watch = new MutationObserver(() => {
      if (!progress.textContent.startsWith('4 of')) return;  // long.002 converted, and at most 1 MB of it waits
      watch.disconnect();
      document.querySelector('#stop').click();
    });
    watch.observe(progress, { childList: true, characterData: true, subtree: true });
    document.querySelector('#convert').click();
  });
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const after = await shown();
  if (!after.status.startsWith('stopped')) problems.push(`stopped: the page says ${after.status}`);
  problems.push(...differences(after.texts).map((p) => `stopped: ${p}`));
  if (!found.status.includes(' · 1 text file not written into the folder')) problems.push(`the page says ${found.status}`);
  // x.002's text is refused by quarvel itself, y.002's by the folder.
  for (const words of [`could not be opened: ${MESSAGES.OUTPUT_IS_ANOTHER_INPUT}`,
    sayText(MESSAGES.OPEN_OUTPUT_FAILED, 'camp/b/y.002.txt').trimEnd() + ' (reason: it holds data']) {
    if (!found.rows.some((row) => row.includes(words))) problems.push(`no row says ${words}: ${found.rows.join(' | ')}`);
  }
  const size = expected.outputs[2].length;
  if (!(found.peak > 0 && found.peak <= (1 << 20) + (256 << 10) && size > 4 << 20)) {
    problems.push(`the queue's peak was ${found.peak} bytes for a bound of 1 MB, with a text of ${size}`);
  }
  console.log(`${problems.length ? 'FAIL' : 'ok  '} the texts written into a folder as they are made (at most ${found.peak} bytes waited)`);
  return problems.map((p) => `into a folder: ${p}`);
}

// The page's policy allows nothing from elsewhere, and is in force: a
// request to another origin is refused. Run last: it adds a violation.
async function policyInForce(page) {
  await page.goto('file://' + path.join(siteDir, 'index.html'));
  const result = await page.evaluate(async () => {
    const meta = document.querySelector('meta[http-equiv=Content-Security-Policy]');
    let fetched = true;
    try {
      await fetch('http://127.0.0.1:9/probe');
    } catch (e) {
      fetched = false;
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
    return { policy: meta && meta.content, fetched, violations: window.testViolations };
  });
  const ok = /default-src 'none'/.test(result.policy || '') && !result.fetched
    && result.violations.some((v) => v.startsWith('connect-src'));
  console.log(`${ok ? 'ok  ' : 'FAIL'} the Content-Security-Policy is in force`);
  return ok ? [] : [`policy: ${JSON.stringify(result)}`];
}

// Peak resident memory of Chromium's renderer processes, in bytes.
function rendererPeak(browserPid) {
  let peak = 0;
  for (const pid of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1');
      const status = fs.readFileSync(`/proc/${pid}/status`, 'latin1');
      const parent = Number(/PPid:\s+(\d+)/.exec(status)[1]);
      if (!cmdline.includes('--type=renderer') || !cmdline.includes('chrom')) continue;
      if (parent !== browserPid && !fs.readFileSync(`/proc/${parent}/cmdline`, 'latin1').includes('chrom')) continue;
      peak = Math.max(peak, Number(/VmHWM:\s+(\d+) kB/.exec(status)[1]) * 1024);
    } catch (e) {
      // the process ended
    }
  }
  return peak;
}

// The memory of `browserPid` and all its descendants, summed, in bytes: their
// proportional set sizes, which count a page shared by n processes 1/n times each.
function summedResident(browserPid) {
  const parents = new Map();
  const resident = new Map();
  for (const pid of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const status = fs.readFileSync(`/proc/${pid}/status`, 'latin1');
      parents.set(Number(pid), Number(/PPid:\s+(\d+)/.exec(status)[1]));
      const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'latin1');
      resident.set(Number(pid), Number((/Pss:\s+(\d+) kB/.exec(rollup) || [0, 0])[1]) * 1024);
    } catch (e) {
      // the process ended
    }
  }
  const within = (pid) => pid === browserPid || (parents.has(pid) && pid > 1 && within(parents.get(pid)));
  return [...resident].reduce((sum, [pid, bytes]) => sum + (within(pid) ? bytes : 0), 0);
}

// Converts `files` with the options `flags` in the page of `site`, in a
// fresh browser: the time until the results show and until the zip is
// offered, what the page says of the run and of the zip, and the peak
// memory of the renderer (the page and its workers) and of the browser
// process (which keeps the blobs).
async function benchRun(site, files, flags, work, address = null) {
  const browser = await launch(fs.mkdtempSync(path.join(work, 'profile-')));
  let summed = 0;
  const sampler = setInterval(() => { summed = Math.max(summed, summedResident(browser.process().pid)); }, 250);
  try {
    const page = await browser.newPage();
    await page.goto(address || 'file://' + path.join(site, 'index.html'));
    await (await page.$('#files')).uploadFile(...files);
    await setOptions(page, { flags, zone: 'UTC' });
    if (address) {
      // Into a folder of the origin's own file system.
      await page.evaluate(() => { window.showDirectoryPicker = () => navigator.storage.getDirectory(); });
      await page.click('#choose-folder');
      await page.waitForFunction(() => !document.querySelector('#convert').disabled);
    }
    const started = Date.now();
    await page.click('#convert');
    await page.waitForSelector('body[data-state=done]', { timeout: 3600000, polling: 50 });
    const done = (Date.now() - started) / 1000;
    if (files.length > 1 && !address) await page.waitForSelector('#zip a[download]', { timeout: 900000, polling: 50 });
    const zipped = (Date.now() - started) / 1000;
    const [status, zip] = await page.evaluate(() => [document.querySelector('#status').textContent,
      document.querySelector('#zip').textContent]);
    const renderer = rendererPeak(browser.process().pid) / 1048576;
    const own = Number(/VmHWM:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${browser.process().pid}/status`, 'latin1'))[1]) / 1024;
    return `results in ${done.toFixed(1)} s, the zip in ${zipped.toFixed(1)} s: ${zip}; peak memory: renderer`
      + ` ${renderer.toFixed(0)} MB, browser process ${own.toFixed(0)} MB, all its processes summed`
      + ` ${(summed / 1048576).toFixed(0)} MB; the page says: ${status}`;
  } catch (error) {
    return `failed: ${error.message}`;
  } finally {
    clearInterval(sampler);
    await browser.close();
  }
}

// Writes the logs `make(i)` for i < count into `folder`; returns their paths.
function writeLogs(folder, count, make) {
  fs.mkdirSync(folder);
  return Array.from({ length: count }, (_, i) => {
    const file = path.join(folder, `f${String(i).padStart(5, '0')}.002`);
    fs.writeFileSync(file, make(i));
    return file;
  });
}

// `count` campaign logs (-tc, about 400 kB of text each) written into a
// folder, and a fifth of them zipped.
async function benchFolder(work, count) {
  const logs = writeLogs(path.join(work, 'campaign'), count, (i) => campaignLog(i, 4000 + (i * 7919) % 20001));
  const server = await serve(siteDir);
  try {
    console.log(`bench: ${count} campaign logs, -tc, into a folder: ${await benchRun(siteDir, logs, '-tc', work, server.address)}`);
    const some = logs.slice(0, Math.ceil(count / 5));
    console.log(`bench: ${some.length} campaign logs, -tc, zipped: ${await benchRun(siteDir, some, '-tc', work)}`);
  } finally {
    server.close();
  }
}

// The table (previous, every 5 ms) of an hour of three channels at 1 ms,
// 7 ms from 1003 s and 1000 ms: the command's time and the page's, in one run.
async function benchTable(work) {
  const dir = path.join(work, 'rates');
  spawnSync(PYTHON, [path.join(ROOT, 'python/tests/logbuilder.py'), 'rates', dir, '--periods', '1,7,1000', '--offsets',
    '0,1003,0', '--seconds', '3600']);
  const files = fs.readdirSync(dir).sort().map((name) => path.join(dir, name));
  let started = Date.now();
  spawnSync(PYTHON, ['-m', 'quarvel', 'table', ...files, '--every', '5', '-o', path.join(work, 'table.csv')],
    { cwd: path.join(ROOT, 'python') });
  const command = (Date.now() - started) / 1000;
  const browser = await launch(fs.mkdtempSync(path.join(work, 'profile-')));
  try {
    const page = await browser.newPage();
    await page.goto('file://' + path.join(siteDir, 'index.html'));
    await (await page.$('#files')).uploadFile(...files);
    await setOptions(page, { flags: '-q', zone: 'UTC' });
    await page.click('#convert');
    await page.waitForSelector('body[data-state=done]', { timeout: 900000 });
    await page.$eval('#table-every', (input) => { input.value = '5'; });
    const made = [];  // the first starts the table's worker and quarvel in it
    for (const time of [1, 2]) {
      await page.evaluate(() => { delete document.body.dataset.table; });
      started = Date.now();
      await page.click('#make-table');
      await page.waitForSelector('body[data-table=done]', { timeout: 900000, polling: 50 });
      made.push(`${((Date.now() - started) / 1000).toFixed(2)} s ${time === 1 ? 'the first time' : 'the second'}`);
    }
    const said = await page.$eval('#table', (span) => span.textContent);
    console.log(`bench: the table of an hour at 1, 7 and 1000 ms every 5 ms: the command ${command.toFixed(2)} s, the page`
      + ` ${made.join(', ')} (${said}); peak memory of the renderer ${(rendererPeak(browser.process().pid) / 1048576).toFixed(0)} MB`);
  } finally {
    await browser.close();
  }
}

async function bench(work, megabytes, count, otherSite) {
  const samples = Math.floor(megabytes * 1e6 / 2 / 8) * 8;
  const blocks = [];
  for (let k = 0; k < 8; k++) {
    blocks.push(block({ channel: k % 4, time: T + k * 100000, period: 10, gain: floatBits(0.0025),
      offset: floatBits(-1.5), samples: sineSamples(samples / 8, k) }));
  }
  const big = path.join(work, 'big.002');
  fs.writeFileSync(big, logFile(blocks));
  const sets = [
    [`${fs.statSync(big).size} bytes of log`, [big], ''],
    [`${count} small files`, writeLogs(path.join(work, 'small'), count, smallLog), ''],
    ['1000 campaign logs of 2,000 to 20,000 samples, -tc', writeLogs(path.join(work, 'campaign'), 1000, campaignLog), '-tc'],
    [`${count} campaign logs of 200 to 500 samples, -tc`,
      writeLogs(path.join(work, 'few'), count, (i) => campaignLog(i, 200 + (i * 37) % 301)), '-tc'],
  ];
  const sites = [['this page', siteDir], ...(otherSite ? [['other page', path.resolve(otherSite)]] : [])];
  for (const [label, files, flags] of sets) {
    for (const [name, site] of sites) console.log(`bench: ${label}, ${name}: ${await benchRun(site, files, flags, work)}`);
  }
}

// A folder for the test's files: in memory where there is a tmpfs, since
// making and removing 20,000 files on a disk can take longer than the test.
function scratchFolder() {
  let base = os.tmpdir();
  try {
    fs.accessSync('/dev/shm', fs.constants.W_OK);
    base = '/dev/shm';
  } catch (e) {
    // no tmpfs there
  }
  return fs.mkdtempSync(path.join(base, 'quarvel-web-'));
}

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const work = scratchFolder();
  if (process.argv.includes('--bench-table')) {
    await benchTable(work);
    fs.rmSync(work, { recursive: true, force: true });
    return;
  }
  const folderIndex = process.argv.indexOf('--bench-folder');
  if (folderIndex > 0) {
    // On disk: the origin's file system, in the profile, gets gigabytes.
    const disk = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-web-'));
    try {
      await benchFolder(disk, Number(process.argv[folderIndex + 1] || 5000));
    } finally {
      fs.rmSync(disk, { recursive: true, force: true });
    }
    return;
  }
  if (benchIndex > 0) {
    const [megabytes, count, otherSite] = process.argv.slice(benchIndex + 1);
    try {
      await bench(work, Number(megabytes || 100), Number(count || 10000), otherSite);
    } finally {
      fs.rmSync(work, { recursive: true, force: true });
    }
    return;
  }
  const errors = await unitChecks();
  console.log(`${errors.length ? 'FAIL' : 'ok  '} the page's modules (options, outcomes, zip, time axis)`);
  const browser = await launch(path.join(work, 'profile'));
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1000, height: 900 });
    page.on('pageerror', (error) => errors.push('page error: ' + error.message));
    page.on('console', (message) => { if (message.type() === 'error') errors.push('console error: ' + message.text()); });
    await addHooks(page);
    await page.goto('file://' + path.join(siteDir, 'index.html'));
    errors.push(...await beforeRunning(page, work));
    errors.push(...await parityTests(page, work));
    errors.push(...await plotTest(page, work));
    errors.push(...await mixedBatch(page, work));
    errors.push(...await strangersAndCases(page, work));
    errors.push(...await faultFlags(page, work));
    errors.push(...await campaignCoverage(page, work));
    errors.push(...await loggers(page, work));
    errors.push(...await manyFiles(page, work, 10000));
    errors.push(...await otherInput(page, work));
    errors.push(...await packerFails(page, work));
    errors.push(...await stopped(page, work));
    errors.push(...await fileGone(page, work));
    errors.push(...await oneTable(page, work));
    errors.push(...await overHttp(page, work));
    const violations = await page.evaluate(() => window.testViolations);
    if (violations.length) errors.push(`policy violations: ${violations}`);
    page.removeAllListeners('console');
    errors.push(...await policyInForce(page));
  } finally {
    await browser.close();
    if (errors.length === 0) fs.rmSync(work, { recursive: true, force: true });
  }
  if (errors.length) {
    console.log(errors.join('\n'));
    console.log(`page test: ${errors.length} problem(s); files in ${work}`);
    process.exitCode = 1;
  } else {
    console.log('page test: the page gave the native bytes and outcomes in every case');
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
