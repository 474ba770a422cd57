// The page: files and options in; quarvel run in a worker; what became of
// each file, the text files and a zip of them, a plot and the console out.
// The options are both controls and a command line; each follows the other.
/* global QUARVEL_WORKER_SOURCE, QuarvelOptions, QuarvelOutcomes, QuarvelZip, QuarvelPlot, QuarvelFileList */
(() => {
  'use strict';

  const CONSOLE_LIMIT = 1024 * 1024;  // characters shown (more makes the page slow); the rest is counted
  const $ = (selector) => document.querySelector(selector);
  const workerUrl = URL.createObjectURL(new Blob([QUARVEL_WORKER_SOURCE], { type: 'text/javascript' }));
  const numberText = (n) => n.toLocaleString('en-US');

  let chosen = [];  // the chosen Files
  let run = null;  // the running or last run
  let plotWorker = null;
  let plotId = 0;
  let objectUrls = new Map();
  let fileList = null;

  function bytesText(size) {
    if (size < 1000) return `${numberText(size)} bytes`;
    const [unit, name] = size < 1e6 ? [1e3, 'kB'] : size < 1e9 ? [1e6, 'MB'] : [1e9, 'GB'];
    return `${(size / unit).toFixed(1)} ${name}`;
  }

  // A file name as it can be shown: a line end as ↵, a tab as →, other
  // control characters as �.
  function shownName(name) {
    const signs = { '\n': '↵', '\r': '↵', '\t': '→' };
    return name.replace(/[\u0000-\u001f\u007f-\u009f]/g, (c) => signs[c] || '\ufffd');
  }

  // ---- Options: controls and command line

  function buildControls() {
    const control = (parent, type, id, name, value, checked, words, code) => {
      const label = document.createElement('label');
      const input = document.createElement('input');
      input.type = type;
      if (id) input.id = id;
      if (name) input.name = name;
      if (value !== null) input.value = value;
      input.checked = checked;
      label.append(input, ' ' + words);
      if (code) {
        const letter = document.createElement('code');
        letter.textContent = code;
        label.append(' ', letter);
      }
      parent.append(label);
    };
    control($('#headers'), 'radio', null, 'headers', '', true, 'before every block', '');
    const flagsAt = $('#more label:last-of-type');
    for (const option of QuarvelOptions.OPTIONS) {
      const code = '-' + option.letter;
      if (option.kind === 'field') {
        control($('#fields'), 'checkbox', 'field-' + option.letter, null, null, Boolean(option.clears), option.words,
          option.clears ? `off: ${code}` : code);
      } else if (option.kind === 'headers') {
        control($('#headers'), 'radio', null, 'headers', option.letter, false, option.words, code);
      } else if (option.kind === 'flag') {
        const holder = document.createDocumentFragment();
        control(holder, 'checkbox', 'flag-' + option.letter, null, null, false, option.words, code);
        flagsAt.before(holder);
      }
    }
    const zone = Intl.DateTimeFormat().resolvedOptions().timeZone;
    $('#zone option[value=local]').textContent = 'this computer' + (zone ? ` (${zone})` : '');
  }

  function controlSettings() {
    const settings = QuarvelOptions.defaultSettings();
    for (const field of QuarvelOptions.FIELDS) settings[field.letter] = $('#field-' + field.letter).checked;
    settings.headers = $('input[name=headers]:checked').value;
    settings.q = $('#flag-q').checked;
    settings.d = $('#flag-d').checked;
    settings.modulus = $('#modulus').value.trim() || '1';
    return settings;
  }

  function showSettings(settings) {
    for (const field of QuarvelOptions.FIELDS) $('#field-' + field.letter).checked = settings[field.letter];
    $(`input[name=headers][value="${settings.headers}"]`).checked = true;
    $('#flag-q').checked = settings.q;
    $('#flag-d').checked = settings.d;
    $('#modulus').value = String(settings.modulus);
  }

  // The words typed as options; a leading "quarvel" is the program's name.
  function typedWords() {
    const words = QuarvelOptions.splitWords($('#flags').value);
    if (words[0] === 'quarvel') words.shift();
    return words;
  }

  // What is wrong with the typed options: words the page cannot pass on
  // (it refuses to run), and what the program will refuse itself.
  function optionProblems(scan) {
    const quoted = (words) => words.map((w) => `“${w}”`).join(', ');
    if (scan.notOptions.length) {
      return { blocking: true, text: `${quoted(scan.notOptions)}: not an option. The files to convert are the ones`
        + ' chosen above; the page puts -- before their names itself.' };
    }
    const notes = [];
    if (scan.unknown.length) notes.push(`unknown option ${scan.unknown.map((l) => '-' + l).join(' ')}`);
    if (scan.missingValue) notes.push('-n needs a number after it');
    if (scan.settings.modulus === 0) notes.push('-n 0 selects no sample');
    return { blocking: false, text: notes.length ? notes.join('; ') + ': quarvel will refuse to run.' : '' };
  }

  function refresh() {
    const words = typedWords();
    const scan = QuarvelOptions.scanWords(words);
    const problems = optionProblems(scan);
    $('#flags-problem').textContent = problems.text;
    $('#flags').classList.toggle('unknown', problems.text !== '');
    const utc = $('#zone').value === 'UTC';
    $('#command').textContent = QuarvelOptions.commandText(words, utc, chosen.map((file) => file.name));
    const modulus = QuarvelOptions.leadingNumber(String(scan.settings.modulus));
    $('#modulus-words').textContent = modulus ? `(${QuarvelOptions.everyNth(modulus)})` : '';
    const running = run !== null && run.worker !== null;
    $('#convert').disabled = running || chosen.length === 0 || problems.blocking;
    const hint = 'Choose or drop the logger files to convert.';
    if (!running && chosen.length === 0) $('#status').textContent = hint;
    else if ($('#status').textContent === hint) $('#status').textContent = '';
  }

  function controlsChanged() {
    $('#flags').value = QuarvelOptions.optionWords(controlSettings()).map(QuarvelOptions.quoteWord).join(' ');
    refresh();
  }

  function typedOptionsChanged() {
    showSettings(QuarvelOptions.scanWords(typedWords()).settings);
    refresh();
  }

  // ---- Files

  function chooseFiles(files) {
    chosen = [...files];
    const size = chosen.reduce((sum, file) => sum + file.size, 0);
    const names = new Set(chosen.map((file) => file.name));
    let text = chosen.length === 0 ? 'no files chosen'
      : chosen.length <= 3 ? chosen.map((file) => `${shownName(file.name)} (${bytesText(file.size)})`).join(', ')
        : `${numberText(chosen.length)} files, ${bytesText(size)}`;
    if (names.size < chosen.length) {
      text += ` — some share a name: each is converted from a folder of its own (2/, 3/...)`;
    }
    $('#chosen').textContent = text;
    refresh();
  }

  // Where each file lies for the program: by its name, and when an earlier
  // file has that name, in a folder named 2, 3... (or 2_... when a chosen
  // file has the folder's name). Null for a name that no file may have.
  function runPaths(files) {
    const names = new Set(files.map((file) => file.name));
    const seen = new Map();
    return files.map((file) => {
      if (file.name === '' || file.name === '.' || file.name === '..' || /[/\0]/.test(file.name)) return null;
      const k = (seen.get(file.name) || 0) + 1;
      seen.set(file.name, k);
      if (k === 1) return file.name;
      let folder = String(k);
      while (names.has(folder)) folder += '_';
      return `${folder}/${file.name}`;
    });
  }

  // ---- Running

  function appendConsole(stream, text) {
    const area = $('#console');
    const shown = Number(area.dataset.shown || 0);
    if (shown + text.length > CONSOLE_LIMIT) {
      area.dataset.hidden = Number(area.dataset.hidden || 0) + text.length;
      $('#console-note').textContent = `${numberText(Number(area.dataset.hidden))} more characters not shown`;
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

  function resetResults() {
    for (const url of objectUrls.values()) URL.revokeObjectURL(url);
    objectUrls = new Map();
    $('#console').replaceChildren();
    delete $('#console').dataset.shown;
    delete $('#console').dataset.hidden;
    $('#console-note').textContent = '';
    $('#summary').textContent = '';
    $('#zip').replaceChildren();
    $('#problems-only').checked = false;
    fileList.show([]);
    $('#plot-file').replaceChildren();
    $('#plot-channel').replaceChildren();
    $('#plot-note').textContent = '';
    $('#legend').replaceChildren();
    QuarvelPlot.draw($('#plot'), null, null);
  }

  function showProgress(files, bytes) {
    const total = run.total;
    $('#progress').value = total > 0 ? bytes / total : files / Math.max(run.inputs.length, 1);
    $('#progress-text').textContent = `${numberText(files)} of ${numberText(run.inputs.length)} files`
      + ` · ${bytesText(bytes)} of ${bytesText(total)}`;
  }

  function convert() {
    resetResults();
    const paths = runPaths(chosen);
    const inputs = [];
    const runIndex = paths.map((path, i) => (path === null ? -1 : inputs.push({ file: chosen[i], path }) - 1));
    const utc = $('#zone').value === 'UTC';
    const args = [...typedWords(), '--', ...inputs.map((input) => input.path)];
    run = { worker: new Worker(workerUrl), files: chosen, paths, runIndex, inputs, utc, stderr: [], status: undefined,
      outputs: inputs.map(() => null), total: inputs.reduce((sum, input) => sum + input.file.size, 0),
      started: performance.now(), debug: QuarvelOptions.scanWords(typedWords()).settings.d };
    document.body.dataset.state = 'running';
    delete document.body.dataset.status;
    $('#results').hidden = false;
    $('#status').textContent = 'converting…';
    $('#stop').hidden = false;
    $('#progress').hidden = false;
    showProgress(0, 0);
    refresh();
    const thisRun = run;
    run.worker.onmessage = ({ data }) => {
      if (run !== thisRun) return;
      if (data.type === 'text') {
        appendConsole(data.stream, data.text);
        if (data.stream === 2) run.stderr.push(data.text);
      } else if (data.type === 'progress') showProgress(data.files, data.bytes);
      else if (data.type === 'outputs') {
        for (const item of data.items) run.outputs[item.index] = item;
      } else if (data.type === 'exit') finish(data.status, data.memory, false);
    };
    run.worker.onerror = (event) => {
      appendConsole(2, 'quarvel page: ' + event.message + '\n');
      finish(null, 0, false);
    };
    run.worker.postMessage({ type: 'convert', args, env: utc ? { TZ: 'UTC' } : {}, inputs });
  }

  function stop() {
    if (run && run.worker) finish(null, 0, true);
  }

  // The run is over: the program ended with `status` (null: the page
  // failed, or `stopped`).
  function finish(status, memory, stopped) {
    run.worker.terminate();
    run.worker = null;
    run.status = status;
    run.stopped = stopped;
    const seconds = ((performance.now() - run.started) / 1000).toFixed(2);
    const messages = QuarvelOutcomes.readMessages(run.stderr.join(''), run.inputs.map((input) => input.path));
    const outcomes = QuarvelOutcomes.outcomes(messages.files,
      run.outputs.map((output) => output && { produced: true, records: output.records, size: output.size }));
    run.items = run.files.map((file, i) => ({
      index: i, file, path: run.paths[i], output: run.runIndex[i] < 0 ? null : run.outputs[run.runIndex[i]],
      outcome: run.runIndex[i] < 0
        ? { kind: 'failed', what: 'the browser gave it a name that no file may have', records: 0, messages: [] }
        : outcomes[run.runIndex[i]],
    }));
    const produced = run.items.filter((item) => item.output);
    QuarvelZip.entryNames(produced.map((item) => item.file.name + '.txt'))
      .forEach((name, k) => { produced[k].entryName = name; });
    $('#stop').hidden = true;
    $('#progress').hidden = true;
    $('#progress-text').textContent = '';
    const ending = stopped ? 'stopped: no exit status' : status === null ? 'the page failed (see the console)'
      : `exit status ${status}`;
    const programMemory = memory ? ` · program memory ${(memory / 1048576).toFixed(0)} MB` : '';
    $('#status').textContent = `${ending} · ${seconds} s${programMemory}`;
    showSummary(messages.general);
    showFiles();
    showZip(produced);
    choosePlotFiles();
    document.body.dataset.status = status === null ? '' : String(status);
    document.body.dataset.state = 'done';
    refresh();
  }

  // ---- Results

  function showSummary(general) {
    const counts = QuarvelOutcomes.countKinds(run.items.map((item) => item.outcome));
    const parts = [`${numberText(counts.converted)} converted`
      + (counts.empty ? ` (${numberText(counts.empty)} with no samples)` : '')];
    if (counts.cut) parts.push(`${numberText(counts.cut)} cut short`);
    if (counts.failed) parts.push(`${numberText(counts.failed)} not converted`);
    if (counts.skipped) {
      parts.push(`${numberText(counts.skipped)} ${run.stopped ? 'left when stopped' : 'not reached'}`);
    }
    const files = run.items.length === 1 ? '1 file' : `${numberText(run.items.length)} files`;
    let text = `${files}: ${parts.join(', ')}.`;
    if (run.status !== null && run.status !== undefined) {
      text += ` The command would end with exit status ${run.status}.`;
    }
    const said = general.join('').trim();
    if (said) text += ` quarvel said: ${said.split('\n').filter((line) => line.trim()).slice(0, 3).join(' ')}`;
    $('#summary').textContent = text;
    $('#summary').className = counts.cut || counts.failed || counts.skipped || said ? 'problem' : '';
  }

  function outcomeWords(item) {
    const outcome = item.outcome;
    const records = `${numberText(outcome.records)} record${outcome.records === 1 ? '' : 's'}`;
    const size = item.output ? ` · ${bytesText(item.output.size)}` : '';
    switch (outcome.kind) {
    case 'converted':
      if (outcome.records > 0) return ['converted', `${records}${size}`];
      return ['converted', item.output && item.output.size > 0 ? `no samples, header lines only${size}`
        : 'no samples: an empty text file'];
    case 'cut': {
      const room = Math.floor(Math.max(item.file.size - 24, 0) / 2);
      const absurd = outcome.declared > 10 * room + 10 ? ' — far more than the file holds: is it a logger file?' : '';
      return ['cut short', `its last block has ${numberText(outcome.read)} of its ${numberText(outcome.declared)}`
        + ` samples${absurd} · ${records}${size}`];
    }
    case 'failed': {
      let why = outcome.what + (outcome.reason ? `: ${outcome.reason}` : '');
      if (!outcome.reason && outcome.messages.some((m) => m.text.startsWith('failed to open')) && !run.debug) {
        why += ' (with debug, -d, quarvel says why)';
      }
      return ['not converted', why + (item.output ? ` · ${records} written${size}` : '')];
    }
    default:
      return [run.stopped ? 'stopped' : 'not reached', run.stopped ? 'stopped before it was converted'
        : 'quarvel stopped before this file'];
    }
  }

  // The download address of a text file: small ones come as bytes, made a
  // blob only when shown.
  function urlOf(item) {
    const output = item.output;
    if (!output.blob) output.blob = new Blob([output.bytes], { type: 'text/plain' });
    if (!objectUrls.has(item.index)) objectUrls.set(item.index, URL.createObjectURL(output.blob));
    return objectUrls.get(item.index);
  }

  function fillRow(row, item) {
    const [badgeText, detailText] = outcomeWords(item);
    row.dataset.kind = item.outcome.kind;
    row.dataset.index = String(item.index);
    const badge = document.createElement('span');
    badge.className = 'badge ' + item.outcome.kind + (QuarvelOutcomes.isProblem(item.outcome) ? ' problem' : '');
    badge.textContent = badgeText;
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = shownName(item.file.name) + (item.path && item.path !== item.file.name
      ? ` (as ${shownName(item.path)})` : '');
    name.title = name.textContent;
    const detail = document.createElement('span');
    detail.className = 'detail';
    detail.textContent = detailText;
    detail.title = detailText;
    row.append(badge, name, detail);
    if (item.output) {
      const link = document.createElement('a');
      link.href = urlOf(item);
      link.download = item.entryName;
      link.textContent = item.entryName;
      row.append(link);
    }
  }

  function showFiles() {
    const problemsOnly = $('#problems-only').checked;
    fileList.show(problemsOnly ? run.items.filter((item) => QuarvelOutcomes.isProblem(item.outcome)) : run.items);
    const problems = run.items.filter((item) => QuarvelOutcomes.isProblem(item.outcome)).length;
    $('#problems-only').parentElement.lastChild.textContent = ` only the files with problems (${numberText(problems)})`;
  }

  function showZip(produced) {
    if (produced.length < 2) return;
    const entries = produced.map((item) => ({ name: item.entryName, data: item.output.blob || item.output.bytes,
      size: item.output.size, crc: item.output.crc }));
    const zip = QuarvelZip.makeZip(entries, new Date());
    const link = document.createElement('a');
    const url = URL.createObjectURL(zip);
    objectUrls.set('zip', url);
    link.href = url;
    link.download = 'quarvel-text.zip';
    link.textContent = `all ${numberText(produced.length)} text files as one zip (${bytesText(zip.size)})`;
    $('#zip').replaceChildren(link);
  }

  // ---- Plot

  // `seconds` since the epoch as a date and time in the run's zone, with
  // milliseconds when `span` (of the axis, in seconds) is short.
  function timeLabel(seconds, span) {
    const whole = Math.floor(seconds);
    const date = new Date(whole * 1000);
    if (Number.isNaN(date.getTime())) return `${seconds} s`;
    const millis = span < 10 ? '.' + String(Math.min(Math.round((seconds - whole) * 1000), 999)).padStart(3, '0') : '';
    return date.toLocaleString('sv-SE', { timeZone: run.utc ? 'UTC' : undefined }) + millis + (run.utc ? ' UTC' : '');
  }

  function choosePlotFiles() {
    const candidates = run.items.filter((item) => item.output && item.outcome.records > 0);
    $('#plot-file').replaceChildren(...candidates.map((item) => {
      const option = document.createElement('option');
      option.value = String(item.index);
      option.textContent = shownName(item.path || item.file.name) + (item.outcome.kind === 'cut' ? ' (cut short)' : '')
        + (item.outcome.kind === 'failed' ? ' (not converted to its end)' : '');
      return option;
    }));
    $('#plot-note').textContent = candidates.length ? '' : 'no file with samples to plot';
    if (candidates.length) requestPlot(null);
  }

  function requestPlot(channel) {
    if (plotWorker === null) {
      plotWorker = new Worker(workerUrl);
      plotWorker.onmessage = ({ data }) => { if (data.id === plotId) showPlot(data); };
    }
    const item = run.items[Number($('#plot-file').value)];
    plotId++;
    $('#plot-note').textContent = 'reading…';
    plotWorker.postMessage({ type: 'plot', id: plotId, file: item.file, channel,
      columns: QuarvelPlot.columnsFor($('#plot')) });
  }

  function showPlot({ plot, error }) {
    if (error) {
      $('#plot-note').textContent = 'no plot: ' + error;
      return;
    }
    const select = $('#plot-channel');
    const current = select.value;
    select.replaceChildren(new Option('all channels', 'all'), ...plot.channels.map(([channel, samples]) =>
      new Option(`${channel} (${numberText(samples)} samples)`, String(channel))));
    select.value = plot.shown.length === 1 && current !== 'all' && current !== '' ? String(plot.shown[0]) : 'all';
    const notes = [];
    if (plot.cut) notes.push('cut short: its last block runs past the end of the file');
    if (plot.shown.length < plot.channels.length && select.value === 'all') {
      notes.push(`the first ${plot.shown.length} of ${numberText(plot.channels.length)} channels`);
    }
    if (plot.axis && plot.axis.breaks.length) notes.push('long gaps between blocks are cut out of the time axis');
    $('#plot-note').textContent = notes.join('; ');
    const legend = QuarvelPlot.draw($('#plot'), plot, timeLabel);
    $('#legend').replaceChildren(...legend.map(({ channel, colour }) => {
      const item = document.createElement('span');
      item.className = 'channel-' + QuarvelPlot.COLOURS.indexOf(colour);
      item.textContent = '— channel ' + channel;
      return item;
    }));
  }

  // ---- Start

  function start() {
    buildControls();
    fileList = QuarvelFileList.create($('#file-list'), fillRow);
    document.querySelectorAll('#fields input, #headers input, #more input').forEach((input) =>
      input.addEventListener('input', controlsChanged));
    $('#zone').addEventListener('input', refresh);
    $('#flags').addEventListener('input', typedOptionsChanged);
    $('#files').addEventListener('change', () => chooseFiles($('#files').files));
    $('#convert').addEventListener('click', convert);
    $('#stop').addEventListener('click', stop);
    $('#problems-only').addEventListener('input', showFiles);
    $('#plot-file').addEventListener('input', () => requestPlot(null));
    $('#plot-channel').addEventListener('input', () =>
      requestPlot($('#plot-channel').value === 'all' ? null : Number($('#plot-channel').value)));
    const drop = $('#drop');
    drop.addEventListener('dragover', (event) => {
      event.preventDefault();
      drop.classList.add('over');
    });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (event) => {
      event.preventDefault();
      drop.classList.remove('over');
      chooseFiles(event.dataTransfer.files);
    });
    chooseFiles([]);
    controlsChanged();
  }

  start();
})();
