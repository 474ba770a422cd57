// The page: files and options in, quarvel run in a worker, console text,
// text files, a zip of them and a plot out. The options are both controls
// and a command line; each follows the other.
/* global QUARVEL_WORKER_SOURCE, drawPlot, makeZip */
'use strict';

// The record fields in the order of the record, with their option letters.
const FIELDS = [
  ['t', 'time stamp', true], ['c', 'channel', true], ['p', 'sample period', true], ['N', 'sample count', true],
  ['g', 'calibration gain', true], ['o', 'calibration offset', true], ['r', 'raw count', true],
  ['C', 'calibrated value', false],  // on unless -C
];
const HEADER_MODES = [['', 'before every block'], ['s', 'before the first block only'], ['S', 'none']];
const CONSOLE_LIMIT = 1024 * 1024;  // characters shown (more makes the page slow); the rest is counted

const $ = (selector) => document.querySelector(selector);
let chosenFiles = [];
let worker = null;
let objectUrls = [];
let lastPlot = null;

// Words of a command line, with '…', "…" and \ quoting as a shell has.
function splitWords(text) {
  const words = [];
  let word = null;
  let quote = null;
  for (let i = 0; i < text.length; i++) {
    const ch = text[i];
    if (quote) {
      if (ch === quote) quote = null;
      else if (ch === '\\' && quote === '"' && i + 1 < text.length) word += text[++i];
      else word += ch;
    } else if (ch === "'" || ch === '"') {
      quote = ch;
      word = word ?? '';
    } else if (ch === '\\' && i + 1 < text.length) {
      word = (word ?? '') + text[++i];
    } else if (/\s/.test(ch)) {
      if (word !== null) words.push(word);
      word = null;
    } else {
      word = (word ?? '') + ch;
    }
  }
  if (word !== null) words.push(word);
  return words;
}

function quoteWord(word) {
  return /^[A-Za-z0-9_.,:+=@%\/-]+$/.test(word) ? word : "'" + word.replace(/'/g, "'\\''") + "'";
}

// The number at the start of `text`, as the program reads -n: white space,
// a sign, digits; null when there is none or it leaves 32 bits.
function leadingNumber(text) {
  const match = /^\s*([+-]?\d+)/.exec(text);
  if (!match) return null;
  const value = Number(match[1]);
  return value >= -2147483648 && value <= 2147483647 ? value : null;
}

// The options of the controls as a command line.
function optionsText() {
  let letters = FIELDS.filter(([letter, , on]) => $('#field-' + letter).checked === on).map(([l]) => l).join('');
  letters += $('input[name=headers]:checked').value;
  if ($('#quiet').checked) letters += 'q';
  if ($('#debug').checked) letters += 'd';
  const words = letters ? ['-' + letters] : [];
  const modulus = $('#modulus').value.trim();
  if (modulus !== '' && modulus !== '1') words.push('-n', modulus);
  return words.map(quoteWord).join(' ');
}

// Sets the controls from a command line, scanning it as the program does.
function readOptions(words) {
  const state = { letters: new Set(), headers: '', modulus: 1, unknown: [] };
  const anywhere = $('#anywhere').checked;
  for (let i = 0; i < words.length; i++) {
    const word = words[i];
    if (word.startsWith('--')) break;
    if (!word.startsWith('-') || word === '-') {
      if (anywhere) continue;
      break;
    }
    for (let k = 1; k < word.length; k++) {
      const letter = word[k];
      if (letter === 'n') {
        const value = k + 1 < word.length ? word.slice(k + 1) : words[++i];
        const number = value === undefined ? null : leadingNumber(value);
        if (number !== null) state.modulus = number;
        break;
      }
      if ('tcpNgorCqd'.includes(letter)) state.letters.add(letter);
      else if (letter === 's' || letter === 'S') state.headers = letter;
      else state.unknown.push(letter);
    }
  }
  for (const [letter, , on] of FIELDS) $('#field-' + letter).checked = state.letters.has(letter) === on;
  $('input[name=headers][value="' + state.headers + '"]').checked = true;
  $('#quiet').checked = state.letters.has('q');
  $('#debug').checked = state.letters.has('d');
  $('#modulus').value = String(state.modulus);
  $('#flags').classList.toggle('unknown', state.unknown.length > 0);
  $('#flags').title = state.unknown.length ? 'unknown option letters: ' + state.unknown.join(' ') : '';
}

// The arguments of a run: the command line, and the chosen files after it
// unless it names any of them itself.
function runArguments() {
  const words = splitWords($('#flags').value);
  if (words[0] === 'quarvel') words.shift();
  const names = chosenFiles.map((file) => file.name);
  return words.some((word) => names.includes(word)) ? words : words.concat(names);
}

function showCommand() {
  const zone = $('#zone').value === 'UTC' ? 'TZ=UTC ' : '';
  const anywhere = $('#anywhere').checked ? 'POSIXLY_INCORRECT_GETOPT= ' : '';
  $('#command').textContent = zone + anywhere + ['quarvel', ...runArguments()].map(quoteWord).join(' ');
}

function controlsChanged() {
  $('#flags').value = optionsText();
  $('#flags').classList.remove('unknown');
  showCommand();
}

function chooseFiles(list) {
  const byName = new Map();
  for (const file of list) byName.set(file.name, file);  // the last of a name wins
  chosenFiles = [...byName.values()];
  const dropped = list.length - chosenFiles.length;
  $('#chosen').textContent = chosenFiles.length === 0 ? 'no files chosen'
    : chosenFiles.map((file) => `${file.name} (${file.size.toLocaleString()} bytes)`).join(', ')
      + (dropped ? ` — ${dropped} of the same name left out` : '');
  showCommand();
}

// Console text, as the program wrote it; standard error in spans of its own.
function appendConsole(stream, text) {
  const area = $('#console');
  const shown = Number(area.dataset.shown || 0);
  if (shown + text.length > CONSOLE_LIMIT) {
    area.dataset.hidden = Number(area.dataset.hidden || 0) + text.length;
    $('#console-note').textContent = `${Number(area.dataset.hidden).toLocaleString()} more characters not shown`;
    return;
  }
  area.dataset.shown = shown + text.length;
  const last = area.lastElementChild;
  const kind = stream === 2 ? 'stderr' : 'stdout';
  if (last && last.className === kind) last.firstChild.appendData(text);
  else {
    const span = document.createElement('span');
    span.className = kind;
    span.textContent = text;
    area.append(span);
  }
}

function timeLabel(seconds) {
  const zone = $('#zone').value === 'UTC' ? 'UTC' : undefined;
  const date = new Date(seconds * 1000);
  return date.toLocaleString('sv-SE', { timeZone: zone }) + (zone ? ' UTC' : '');
}

function showPlot() {
  const legend = drawPlot($('#plot'), lastPlot, timeLabel);
  $('#legend').replaceChildren(...legend.map(({ channel, colour }) => {
    const item = document.createElement('span');
    item.style.color = colour;
    item.textContent = '— channel ' + channel;
    return item;
  }));
}

function addLink(parent, blob, name, label) {
  const url = URL.createObjectURL(blob);
  objectUrls.push(url);
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  link.textContent = label;
  const item = document.createElement('li');
  item.append(link);
  parent.append(item);
}

function resetResults() {
  if (worker) worker.terminate();
  objectUrls.forEach((url) => URL.revokeObjectURL(url));
  objectUrls = [];
  $('#console').replaceChildren();
  delete $('#console').dataset.shown;
  delete $('#console').dataset.hidden;
  $('#console-note').textContent = '';
  $('#outputs').replaceChildren();
  $('#zip').replaceChildren();
  lastPlot = null;
  showPlot();
}

function convert() {
  resetResults();
  const env = {};
  if ($('#zone').value === 'UTC') env.TZ = 'UTC';
  if ($('#anywhere').checked) env.POSIXLY_INCORRECT_GETOPT = '';
  const outputs = [];
  const started = performance.now();
  const body = document.body;
  body.dataset.state = 'running';
  $('#status').textContent = 'converting…';
  $('#progress').value = 0;
  const url = URL.createObjectURL(new Blob([QUARVEL_WORKER_SOURCE], { type: 'text/javascript' }));
  worker = new Worker(url);
  URL.revokeObjectURL(url);
  const canvas = $('#plot');
  worker.onmessage = ({ data }) => {
    if (data.type === 'text') appendConsole(data.stream, data.text);
    else if (data.type === 'progress') $('#progress').value = data.total ? data.done / data.total : 1;
    else if (data.type === 'output') {
      outputs.push(data);
      addLink($('#outputs'), data.blob, data.name, `${data.name} (${data.size.toLocaleString()} bytes)`);
    } else if (data.type === 'plot') {
      lastPlot = data.plot;
      showPlot();
      if (data.error) $('#legend').textContent = 'no plot: ' + data.error;
    } else if (data.type === 'exit') {
      if (outputs.length > 1) {
        const zip = makeZip(outputs, new Date());
        if (zip) addLink($('#zip'), zip, 'quarvel-text.zip', `all ${outputs.length} text files as one zip`);
        else $('#zip').textContent = 'too large for one zip (4 GB): download the files one by one';
      }
      const seconds = ((performance.now() - started) / 1000).toFixed(2);
      const memory = (data.memory / 1048576).toFixed(0);
      $('#status').textContent = data.status === null ? 'the page failed (see the console)'
        : `exit status ${data.status} · ${seconds} s · program memory ${memory} MB`;
      body.dataset.status = data.status;
      body.dataset.state = 'done';
      worker.terminate();
      worker = null;
    }
  };
  worker.onerror = (event) => {
    appendConsole(2, 'quarvel page: ' + event.message + '\n');
    body.dataset.state = 'done';
  };
  const margin = PLOT_MARGIN.left + PLOT_MARGIN.right;
  worker.postMessage({ args: runArguments(), env, files: chosenFiles, columns: Math.max(canvas.width - margin, 1) });
}

function buildControls() {
  $('#fields').append(...FIELDS.map(([letter, words, on]) => {
    const label = document.createElement('label');
    label.innerHTML = `<input type="checkbox" id="field-${letter}"${on ? '' : ' checked'}> ${words}`
      + ` <code>${on ? '-' + letter : 'off: -C'}</code>`;
    return label;
  }));
  $('#headers').append(...HEADER_MODES.map(([letter, words]) => {
    const label = document.createElement('label');
    label.innerHTML = `<input type="radio" name="headers" value="${letter}"${letter ? '' : ' checked'}> ${words}`
      + (letter ? ` <code>-${letter}</code>` : '');
    return label;
  }));
  const zone = Intl.DateTimeFormat().resolvedOptions().timeZone;
  $('#zone option[value=local]').textContent = 'local time' + (zone ? ` (${zone})` : '');
}

function start() {
  buildControls();
  document.querySelectorAll('#fields input, #headers input, #more input').forEach((input) => input.addEventListener('input', controlsChanged));
  $('#anywhere').addEventListener('input', () => { readOptions(splitWords($('#flags').value)); showCommand(); });
  $('#zone').addEventListener('input', () => { showCommand(); showPlot(); });
  $('#flags').addEventListener('input', () => { readOptions(splitWords($('#flags').value)); showCommand(); });
  $('#files').addEventListener('change', () => chooseFiles([...$('#files').files]));
  $('#convert').addEventListener('click', convert);
  const drop = $('#drop');
  drop.addEventListener('dragover', (event) => { event.preventDefault(); drop.classList.add('over'); });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    chooseFiles([...event.dataTransfer.files]);
  });
  chooseFiles([]);
  controlsChanged();
}

start();
