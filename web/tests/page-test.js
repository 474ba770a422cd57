// Drives the built page in headless Chromium as a user would: chooses files,
// types a command line or sets the controls, presses Convert, and fetches
// every text file it offers. Each run must give what the native program
// gives for the same files, arguments and environment: the text files byte
// for byte, standard output (banner dates masked), standard error and exit
// status. Also checks the zip of several files, that the plot is drawn with
// its gaps, and saves a screenshot.
//
// Usage: node page-test.js SITE_DIR NATIVE_QUARVEL OUT_DIR [--bench MB]
// With --bench, converts one log of about MB megabytes instead and reports
// the time and the peak memory of the page's process.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const puppeteer = require('puppeteer-core');
const { logFile, block, floatBits, sineSamples } = require('./logs.js');

const [siteDir, nativeQuarvel, outDir] = process.argv.slice(2, 5).map((p) => path.resolve(p));
const benchIndex = process.argv.indexOf('--bench');
const LOCAL_ZONE = 'America/New_York';  // the browser's zone, and TZ of the native runs in local time
const BANNER = /quarvel version 1\.0, built on [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at [0-9:]{8}/g;
const PLOT_COLOURS = [[0x1f, 0x77, 0xb4], [0xd6, 0x27, 0x28], [0x2c, 0xa0, 0x2c]];
const INF = 0x7f800000;
const NAN = 0x7fc00000;

// Logs with non-finite calibrations, several blocks, a cut block and
// things that are no logs at all.
function testLogs() {
  const t = 1796083200;
  return {
    'nonfinite.002': logFile([
      block({ channel: 1, time: t, gain: INF, offset: 0, samples: [0, 1, -1, 32767, -32768] }),
      block({ channel: 2, time: t + 10, gain: NAN, offset: floatBits(1), samples: [5, 6] }),
      block({ channel: 3, time: t + 20, gain: floatBits(0.5), offset: 0xff800000, samples: [1, 2] }),
      block({ channel: 4, time: t + 30, gain: INF, offset: 0xff800000, samples: [3] }),
      block({ channel: 5, time: t + 40, gain: 0xffc00000, offset: NAN, samples: [7, -7] }),
    ]),
    'blocks.002': logFile([
      block({ channel: 0, time: t, period: 250, gain: floatBits(0.01), offset: floatBits(-3), samples: sineSamples(400, 0) }),
      block({ channel: 1, time: t + 30, period: 1000, count: 0, samples: [] }),
      block({ channel: 1, time: t + 5000, period: 250, gain: floatBits(0.02), offset: 0, samples: sineSamples(300, 1) }),
      block({ channel: -7, time: -86400, period: 4294967295, gain: floatBits(1e30), offset: floatBits(3.5),
        samples: [1, 2, 3] }),
    ]),
    'cut.002': Buffer.concat([
      logFile([block({ channel: 2, time: t, count: 100, gain: floatBits(0.25), offset: floatBits(1), samples: sineSamples(40, 2) })]),
      Buffer.from([0x7f]),
    ]),
    'fragment.002': Buffer.concat([logFile([block({ channel: 9, time: t, samples: [1, 2, 3] })]), Buffer.alloc(13, 0x41)]),
    // More text than one of the worker's 4 MB blobs: the file and its CRC
    // come in pieces.
    'long.002': logFile([
      block({ channel: 6, time: t, period: 2, gain: floatBits(0.003), offset: floatBits(-2), samples: sineSamples(250000, 4) }),
      block({ channel: 6, time: t + 600, period: 2, gain: floatBits(0.003), offset: floatBits(-2), samples: sineSamples(150000, 5) }),
    ]),
    'empty.002': Buffer.alloc(0),
    'notes.csv': Buffer.from('time,value\r\n1,2\r\n3,4\r\nthis is no logger file at all\r\n'),
  };
}

// A log for the screenshot: three channels, two runs each, a gap between.
function showcaseLog() {
  const t = 1796083200;
  const blocks = [];
  for (const [start, part] of [[t, 0], [t + 900, 1]]) {
    for (let channel = 0; channel < 3; channel++) {
      blocks.push(block({ channel, time: start, period: 100, gain: floatBits(0.001 * (channel + 1)),
        offset: floatBits(channel * 20 - 20), samples: sineSamples(4000, channel + 3 * part) }));
    }
  }
  return logFile(blocks);
}

// The page's arguments: the words typed, then the files unless it names one.
function runArguments(flags, names) {
  const words = flags.split(/\s+/).filter((word) => word !== '');
  return words.some((word) => names.includes(word)) ? words : words.concat(names);
}

function runNative(testCase, workDir) {
  fs.mkdirSync(workDir, { recursive: true });
  const names = Object.keys(testCase.files);
  for (const name of names) fs.writeFileSync(path.join(workDir, name), testCase.files[name]);
  const env = { TZ: testCase.zone === 'UTC' ? 'UTC' : LOCAL_ZONE, LC_ALL: 'C.UTF-8' };
  if (testCase.anywhere) env.POSIXLY_INCORRECT_GETOPT = '';
  const done = spawnSync(nativeQuarvel, runArguments(testCase.flags, names), { cwd: workDir, env });
  const outputs = {};
  for (const name of fs.readdirSync(workDir).sort()) {
    if (!names.includes(name)) outputs[name] = fs.readFileSync(path.join(workDir, name));
  }
  return { status: done.status, stdout: done.stdout.toString(), stderr: done.stderr.toString(), outputs };
}

async function runPage(page, testCase, inputDir) {
  await page.reload();
  fs.mkdirSync(inputDir, { recursive: true });
  const paths = Object.keys(testCase.files).map((name) => {
    fs.writeFileSync(path.join(inputDir, name), testCase.files[name]);
    return path.join(inputDir, name);
  });
  if (paths.length) await (await page.$('#files')).uploadFile(...paths);
  await page.select('#zone', testCase.zone === 'UTC' ? 'UTC' : 'local');
  if (testCase.anywhere) await page.click('#anywhere');
  if (testCase.controls) await testCase.controls(page);
  else {
    await page.click('#flags', { clickCount: 3 });
    await page.keyboard.press('Backspace');
    await page.type('#flags', testCase.flags);
  }
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  return page.evaluate(async () => {
    const text = (kind) => [...document.querySelectorAll('#console .' + kind)].map((s) => s.textContent).join('');
    const outputs = {};
    for (const link of document.querySelectorAll('#outputs a[download]')) {
      const bytes = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
      outputs[link.download] = Array.from(bytes, (b) => String.fromCharCode(b)).join('');
    }
    const zipLink = document.querySelector('#zip a[download]');
    const zip = zipLink ? Array.from(new Uint8Array(await (await fetch(zipLink.href)).arrayBuffer()),
      (b) => String.fromCharCode(b)).join('') : null;
    return {
      status: document.body.dataset.status === undefined ? null : Number(document.body.dataset.status),
      stdout: text('stdout'), stderr: text('stderr'), outputs, zip, flags: document.querySelector('#flags').value,
      checked: [...document.querySelectorAll('#fields input:checked')].map((box) => box.id.slice(-1)).join(''),
    };
  });
}

// Counts the plot's pixels in series colours, in the columns of the plot
// area from `from` to `to` (fractions of its width).
async function plotPixels(page, from, to) {
  return page.evaluate((colours, from, to) => {
    const canvas = document.querySelector('#plot');
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    const left = PLOT_MARGIN.left;
    const inner = width - PLOT_MARGIN.left - PLOT_MARGIN.right;
    let count = 0;
    for (let y = 0; y < height; y++) {
      for (let x = Math.ceil(left + from * inner); x < left + to * inner; x++) {
        const i = 4 * (y * width + x);
        if (data[i + 3] > 0 && colours.some(([r, g, b]) => Math.abs(data[i] - r) + Math.abs(data[i + 1] - g)
          + Math.abs(data[i + 2] - b) < 60)) count++;
      }
    }
    return count;
  }, PLOT_COLOURS, from, to);
}

// The entries of a stored zip, checked with Python's zipfile (CRCs included).
function zipEntries(zipBytes, dir) {
  const file = path.join(dir, 'all.zip');
  fs.writeFileSync(file, zipBytes);
  const script = 'import json, sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nbad = z.testzip()\n'
    + 'print(json.dumps({"bad": bad, "files": {i.filename: z.read(i).decode("latin-1") for i in z.infolist()}}))';
  const done = spawnSync('/usr/bin/python3', ['-c', script, file], { maxBuffer: 1 << 30 });
  if (done.status !== 0) return { error: `python3 zipfile: status ${done.status} ${done.stderr}` };
  return JSON.parse(done.stdout.toString());
}

function compare(name, expected, actual) {
  const problems = [];
  if (expected.status !== actual.status) problems.push(`exit status ${expected.status} (native) vs ${actual.status} (page)`);
  const mask = (text) => text.replace(BANNER, 'quarvel version 1.0, built on <date>');
  if (mask(expected.stdout) !== mask(actual.stdout)) problems.push(`stdout differs:\n${expected.stdout.slice(0, 600)}\n---- page:\n${actual.stdout.slice(0, 600)}`);
  if (expected.stderr !== actual.stderr) problems.push(`stderr differs: ${JSON.stringify(expected.stderr)} vs ${JSON.stringify(actual.stderr)}`);
  const expectedNames = Object.keys(expected.outputs).sort();
  const actualNames = Object.keys(actual.outputs).sort();
  if (expectedNames.join('/') !== actualNames.join('/')) problems.push(`text files ${expectedNames} (native) vs ${actualNames} (page)`);
  for (const file of expectedNames) {
    if (actual.outputs[file] === undefined) continue;
    const page = Buffer.from(actual.outputs[file], 'latin1');
    if (!page.equals(expected.outputs[file])) {
      const at = [...page].findIndex((b, i) => b !== expected.outputs[file][i]);
      problems.push(`${file}: ${expected.outputs[file].length} bytes (native) vs ${page.length} (page), first difference at ${at}`);
    }
  }
  return problems.map((p) => `${name}: ${p}`);
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

function testCases() {
  const example = { '1.002': fs.readFileSync(path.join(__dirname, '../../examples/1.002')) };
  const logs = testLogs();
  const several = { ...logs };
  const checkbox = (id) => (page) => page.click(id);
  return [
    { name: 'example, -tc, local time', files: example, flags: '-tc', zone: 'local', checked: 'tcC' },
    { name: 'example, defaults, UTC', files: example, flags: '', zone: 'UTC' },
    { name: 'several logs, all fields, every 3rd, first headers', files: several, flags: '-tcpNgor -n 3 -s', zone: 'UTC', zip: true },
    { name: 'several logs, debug, local time', files: several, flags: '-d', zone: 'local', zip: true },
    { name: 'options after a file name', files: { 'blocks.002': logs['blocks.002'], 'cut.002': logs['cut.002'] },
      flags: 'cut.002 -qSrC blocks.002 -t', zone: 'UTC', anywhere: true, checked: 'tr' },
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
    { name: 'empty file', files: { 'empty.002': logs['empty.002'] }, flags: '', zone: 'UTC' },
    { name: 'not a log', files: { 'notes.csv': logs['notes.csv'] }, flags: '-r', zone: 'UTC' },
    { name: 'unknown option', files: example, flags: '-tx', zone: 'UTC' },
    { name: 'modulus 0', files: example, flags: '-n 0', zone: 'UTC' },
    { name: 'missing file named', files: example, flags: '-q 1.002 missing.002', zone: 'UTC' },
    { name: 'nothing at all: usage', files: {}, flags: '', zone: 'UTC' },
    { name: 'showcase', files: { 'lab.002': showcaseLog() }, flags: '-tc', zone: 'UTC', screenshot: true },
  ];
}

async function runTests(page, work) {
  const problems = [];
  let index = 0;
  for (const testCase of testCases()) {
    const dir = path.join(work, String(index++));
    const expected = runNative(testCase, path.join(dir, 'native'));
    const actual = await runPage(page, testCase, path.join(dir, 'page'));
    const found = compare(testCase.name, expected, actual);
    if (testCase.checked !== undefined && actual.checked !== testCase.checked) {
      found.push(`${testCase.name}: the command line checked the fields ${actual.checked}, not ${testCase.checked}`);
    }
    if (testCase.controls && actual.flags !== testCase.flags) {
      found.push(`${testCase.name}: the controls gave the command line ${JSON.stringify(actual.flags)}`);
    }
    if (testCase.zip) {
      const zip = actual.zip === null ? { error: 'no zip offered' } : zipEntries(Buffer.from(actual.zip, 'latin1'), dir);
      if (zip.error || zip.bad) found.push(`${testCase.name}: zip: ${zip.error || 'bad CRC in ' + zip.bad}`);
      else {
        const names = Object.keys(actual.outputs);
        if (Object.keys(zip.files).join('/') !== names.join('/')) found.push(`${testCase.name}: zip holds ${Object.keys(zip.files)}`);
        for (const name of names.filter((n) => zip.files[n] !== actual.outputs[n])) {
          found.push(`${testCase.name}: ${name} in the zip: ${(zip.files[name] || '').length} characters, not ${actual.outputs[name].length}`);
        }
      }
    }
    if (Object.keys(expected.outputs).length > 0 && testCase.name.startsWith('several')) {
      if (await plotPixels(page, 0, 1) < 20) found.push(`${testCase.name}: the plot is blank`);
    }
    if (testCase.screenshot) {
      // Two runs 900 s apart, each 400 s long: the middle of the plot is a gap.
      const drawn = await plotPixels(page, 0, 0.3);
      const gap = await plotPixels(page, 0.38, 0.62);
      if (drawn < 500 || gap !== 0) found.push(`${testCase.name}: plot has ${drawn} series pixels, ${gap} in the gap`);
      await page.screenshot({ path: path.join(outDir, 'web.png'), fullPage: true });
    }
    console.log(`${found.length ? 'FAIL' : 'ok  '} ${testCase.name}`);
    problems.push(...found);
  }
  return problems;
}

// A file removed after it was chosen: the program's read fails, and the
// page says so as the program would, with exit status 1.
async function fileGone(page, work) {
  await page.goto('file://' + path.join(siteDir, 'index.html'));
  const file = path.join(work, 'gone.002');
  fs.writeFileSync(file, testLogs()['blocks.002']);
  await (await page.$('#files')).uploadFile(file);
  fs.rmSync(file);
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 120000 });
  const result = await page.evaluate(() => [document.body.dataset.status,
    [...document.querySelectorAll('#console .stderr')].map((s) => s.textContent).join('')]);
  const wanted = ['1', 'failed to read input file gone.002\n'];
  const ok = result[0] === wanted[0] && result[1] === wanted[1];
  console.log(`${ok ? 'ok  ' : 'FAIL'} a file removed after it was chosen`);
  return ok ? [] : [`file removed: status ${result[0]}, stderr ${JSON.stringify(result[1])}`];
}

// The page served by python3 -m http.server instead of opened from disk.
async function overHttp(page, work) {
  const server = require('child_process').spawn('/usr/bin/python3',
    ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', siteDir], { stdio: ['ignore', 'pipe', 'ignore'] });
  try {
    const port = await new Promise((resolve, reject) => {
      server.stdout.on('data', (data) => {
        const match = / port (\d+)/.exec(data.toString());
        if (match) resolve(match[1]);
      });
      server.on('exit', () => reject(new Error('http.server ended')));
    });
    await page.goto(`http://127.0.0.1:${port}/index.html`);
    const testCase = testCases()[0];
    const expected = runNative(testCase, path.join(work, 'http', 'native'));
    const actual = await runPage(page, testCase, path.join(work, 'http', 'page'));
    const found = compare(testCase.name + ' (over http)', expected, actual);
    console.log(`${found.length ? 'FAIL' : 'ok  '} ${testCase.name}, served by python3 -m http.server`);
    return found;
  } finally {
    server.kill();
  }
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

async function bench(browser, page, work, megabytes) {
  const samples = Math.floor(megabytes * 1e6 / 2 / 8) * 8;
  const blocks = [];
  for (let k = 0; k < 8; k++) {
    blocks.push(block({ channel: k % 4, time: 1796083200 + k * 100000, period: 10, gain: floatBits(0.0025),
      offset: floatBits(-1.5), samples: sineSamples(samples / 8, k) }));
  }
  fs.mkdirSync(work, { recursive: true });
  const file = path.join(work, 'big.002');
  fs.writeFileSync(file, logFile(blocks));
  const before = rendererPeak(browser.process().pid);
  await page.reload();
  await (await page.$('#files')).uploadFile(file);
  // The longest the page's own thread went without running a timer: a
  // frozen tab would show the whole conversion here.
  await page.evaluate(() => {
    window.longestStall = 0;
    let last = performance.now();
    setInterval(() => {
      const now = performance.now();
      window.longestStall = Math.max(window.longestStall, now - last);
      last = now;
    }, 10);
  });
  const started = Date.now();
  await page.click('#convert');
  await page.waitForSelector('body[data-state=done]', { timeout: 600000 });
  const seconds = (Date.now() - started) / 1000;
  const status = await page.$eval('#status', (e) => e.textContent);
  const size = await page.$eval('#outputs a[download]', (a) => a.textContent);
  const stall = await page.evaluate(() => window.longestStall);
  const browserPeak = Number(/VmHWM:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${browser.process().pid}/status`, 'latin1'))[1]);
  console.log(`bench: ${fs.statSync(file).size} bytes of log, ${samples} samples: ${seconds.toFixed(1)} s in the page;`
    + ` ${size}; ${status}; longest stall of the page's thread ${stall.toFixed(0)} ms;`
    + ` peak resident memory of the renderer ${(before / 1048576).toFixed(0)} MB before, `
    + `${(rendererPeak(browser.process().pid) / 1048576).toFixed(0)} MB after; of the browser process`
    + ` (which keeps the text files' blobs) ${(browserPeak / 1024).toFixed(0)} MB`);
}

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-web-'));
  const browser = await launch(path.join(work, 'profile'));
  const errors = [];
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1000, height: 900 });
    page.on('pageerror', (error) => errors.push('page error: ' + error.message));
    page.on('console', (message) => { if (message.type() === 'error') errors.push('console error: ' + message.text()); });
    await page.goto('file://' + path.join(siteDir, 'index.html'));
    if (benchIndex > 0) {
      await bench(browser, page, work, Number(process.argv[benchIndex + 1] || 100));
      return;
    }
    errors.push(...await runTests(page, work));
    errors.push(...await fileGone(page, work));
    errors.push(...await overHttp(page, work));
  } finally {
    await browser.close();
    if (errors.length === 0) fs.rmSync(work, { recursive: true, force: true });
  }
  if (errors.length) {
    console.log(errors.join('\n'));
    console.log(`page test: ${errors.length} problem(s); files in ${work}`);
    process.exitCode = 1;
  } else {
    console.log('page test: the page gave the native bytes in every case');
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
