// The page: files and options in; quarvel run in a worker; what became of
// each file, the text files and a zip of them (deflated beside the run),
// or the text files written into a folder as they are made, the batch's
// coverage, a plot and the console out. The options are both
// controls and a command line; each follows the other, and both are
// remembered for the next visit.
/* global QUARVEL_WORKER_SOURCE, QuarvelOptions, QuarvelOutcomes, QuarvelZip, QuarvelPacker, QuarvelBlocks,
   QuarvelQuality, QuarvelCoverage, QuarvelPlot, QuarvelFileList */
(() => {
  'use strict';

  const CONSOLE_LIMIT = 1024 * 1024;  // characters shown (more makes the page slow); the rest is counted
  const PROGRESS_INTERVAL = 100;  // ms between updates of the zip's progress
  // What the page starts with: time and channel in each record, this
  // computer's time zone, the text of files that are probably not logger
  // files (a photo read as a log gives megabytes of junk) left out of the
  // zip, one logger for all the files. The person's own choices are kept
  // under STORED.
  const DEFAULTS = { flags: '-tc', zone: 'local', keepStrangers: false, byFolder: false };
  const STORED = 'quarvel-page-options';
  const FLAGS = ['clipped', 'stuck', 'dead'];  // what a file's readings may show, as QuarvelQuality's flag bits 1, 2, 4
  const $ = (selector) => document.querySelector(selector);
  const workerUrl = URL.createObjectURL(new Blob([QUARVEL_WORKER_SOURCE], { type: 'text/javascript' }));
  const numberText = (n) => n.toLocaleString('en-US');
  // `n` and the word for one or for many of it: "1 gap", "2 gaps".
  const count = (n, one, many) => `${numberText(n)} ${n === 1 ? one : many}`;

  let chosen = [];  // the chosen Files
  let given = [];  // the path of each as chosen: its name, or its path from a folder chosen or dropped
  let handles = [];  // the FileSystemFileHandle of each, where the browser gave one (a drop in Chromium), or null
  let folder = null;  // the folder chosen for the text files (a FileSystemDirectoryHandle)
  // Whether the text files can be written into a folder as they are made:
  // the browser lets the page choose one (the File System Access API), and
  // quarvel's writes can wait for the folder's (JavaScript Promise
  // Integration).
  const folders = typeof window.showDirectoryPicker === 'function' && typeof WebAssembly.Suspending === 'function'
    && typeof WebAssembly.promising === 'function';
  let run = null;  // the running or last run
  let plotWorker = null;
  let plotId = 0;
  let objectUrls = new Map();
  let fileList = null;
  let coverageAt = () => null;  // what lies at a point of the coverage

  function bytesText(size) {
    if (size < 1000) return count(size, 'byte', 'bytes');
    const [unit, name] = size < 1e6 ? [1e3, 'kB'] : size < 1e9 ? [1e6, 'MB'] : [1e9, 'GB'];
    return `${(size / unit).toFixed(1)} ${name}`;
  }

  // A file name as it can be shown: a line end as ↵, a tab as →, other
  // control characters and the bidirectional controls (which make a name
  // show as another) as �.
  const HIDDEN = new RegExp(`[\\u0000-\\u001f\\u007f-\\u009f${QuarvelZip.BIDI_CONTROLS}]`, 'g');
  function shownName(name) {
    const signs = { '\n': '↵', '\r': '↵', '\t': '→' };
    return name.replace(HIDDEN, (c) => signs[c] || '\ufffd');
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
    return { blocking: false, text: notes.length ? `⚠ ${notes.join('; ')}: quarvel will refuse to run and convert`
      + ' nothing. Convert shows its message.' : '' };
  }

  function refresh() {
    const words = typedWords();
    const scan = QuarvelOptions.scanWords(words);
    const problems = optionProblems(scan);
    $('#flags-problem').textContent = problems.text;
    $('#flags-problem').hidden = problems.text === '';
    $('#flags').classList.toggle('unknown', problems.text !== '');
    $('#convert').classList.toggle('refused', problems.text !== '' && !problems.blocking);
    const utc = $('#zone').value === 'UTC';
    $('#command').textContent = shownName(QuarvelOptions.commandText(words, utc, given));
    const modulus = QuarvelOptions.leadingNumber(String(scan.settings.modulus));
    $('#modulus-words').textContent = modulus ? `(${QuarvelOptions.everyNth(modulus)})` : '';
    const running = run !== null && run.worker !== null;
    const noFolder = toFolder() && folder === null;
    $('#convert').disabled = running || chosen.length === 0 || problems.blocking || noFolder;
    $('#folder-name').textContent = folder ? `“${shownName(folder.name)}”` : noFolder ? 'none chosen yet' : '';
    const hint = 'Choose or drop the logger files to convert.';
    if (!running && chosen.length === 0) $('#status').textContent = hint;
    else if ($('#status').textContent === hint) $('#status').textContent = '';
  }

  function controlsChanged() {
    $('#flags').value = QuarvelOptions.optionWords(controlSettings()).map(QuarvelOptions.quoteWord).join(' ');
    remember();
    refresh();
  }

  function typedOptionsChanged() {
    showSettings(QuarvelOptions.scanWords(typedWords()).settings);
    remember();
    refresh();
  }

  // The options and zone are kept for the next visit; a browser that keeps
  // nothing (storage off, a private window) starts from DEFAULTS each time.
  function remember() {
    const choice = { flags: $('#flags').value, zone: $('#zone').value, keepStrangers: $('#keep-strangers').checked,
      byFolder: $('#by-folder').checked };
    const defaults = Object.keys(DEFAULTS).every((key) => choice[key] === DEFAULTS[key]);
    try {
      if (defaults) localStorage.removeItem(STORED);
      else localStorage.setItem(STORED, JSON.stringify(choice));
    } catch (e) {
      // nothing kept
    }
    $('#defaults').disabled = defaults;
  }

  function useChoice(choice) {
    $('#flags').value = typeof choice.flags === 'string' ? choice.flags : DEFAULTS.flags;
    $('#zone').value = choice.zone === 'UTC' ? 'UTC' : 'local';
    $('#keep-strangers').checked = choice.keepStrangers === true;
    $('#by-folder').checked = choice.byFolder === true;
    typedOptionsChanged();
    if (run && run.zip) offerZip(run);
    if (run && run.coverage) showCoverage();
  }

  function rememberedChoice() {
    try {
      return JSON.parse(localStorage.getItem(STORED)) || DEFAULTS;
    } catch (e) {
      return DEFAULTS;
    }
  }

  // Whether the text files go into a folder.
  const toFolder = () => folders && $('input[name=destination]:checked').value === 'folder';

  // Asks for the folder of the text files.
  function chooseFolder() {
    window.showDirectoryPicker({ id: 'quarvel-texts', mode: 'readwrite' }).then((handle) => {
      folder = handle;
      $('input[name=destination][value=folder]').checked = true;
      refresh();
    }, () => {});  // none chosen
  }

  // ---- Files

  // Chooses `files`, each by its path in `paths` (null: by its path in
  // the folder chosen, or else its name), and its handle in `fileHandles`
  // (null: none).
  function chooseFiles(files, paths = null, fileHandles = null) {
    chosen = [...files];
    given = paths || chosen.map((file) => file.webkitRelativePath || file.name);
    handles = fileHandles || chosen.map(() => null);
    if (chosen.some((file) => file.webkitRelativePath)) {
      const order = inPathOrder(given);
      [chosen, given, handles] = [order.map((i) => chosen[i]), order.map((i) => given[i]), order.map((i) => handles[i])];
    }
    const size = chosen.reduce((sum, file) => sum + file.size, 0);
    let text = chosen.length === 0 ? 'no files chosen'
      : chosen.length <= 3 ? chosen.map((file, i) => `${shownName(given[i])} (${bytesText(file.size)})`).join(', ')
        : `${numberText(chosen.length)} files, ${bytesText(size)}`;
    if (new Set(given).size < chosen.length) {
      text += ` — some share a name: each is converted from a folder of its own (2/, 3/...)`;
    }
    $('#chosen').textContent = text;
    refresh();
  }

  // The positions of `paths` in order of their folders and names.
  function inPathOrder(paths) {
    const parts = paths.map((path) => path.split('/'));
    const compare = (a, b) => {
      for (let k = 0; k < Math.min(a.length, b.length); k++) if (a[k] !== b[k]) return a[k] < b[k] ? -1 : 1;
      return a.length - b.length;
    };
    return paths.map((_, i) => i).sort((i, j) => compare(parts[i], parts[j]) || i - j);
  }

  // A file or folder dropped, as {name, folder, file() → a File, inside()
  // → what a folder holds}: from Chromium's handles, which read folders
  // also in a page opened from disk (its entries cannot there), or from
  // the entries of other browsers.
  function fromHandle(handle) {
    return { name: handle.name, folder: handle.kind === 'directory', file: () => handle.getFile(), handle,
      inside: async () => {
        const found = [];
        for await (const child of handle.values()) found.push(fromHandle(child));
        return found;
      } };
  }
  function fromEntry(entry) {
    return { name: entry.name, folder: entry.isDirectory,
      file: () => new Promise((resolve, reject) => entry.file(resolve, reject)),
      inside: async () => {
        const reader = entry.createReader();
        const found = [];
        for (let batch = null; batch === null || batch.length;) {
          batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
          found.push(...batch.map(fromEntry));
        }
        return found;
      } };
  }

  // The files of a drop, their paths and their handles (or null): the
  // files dropped by their names, and the files in the folders dropped by
  // their paths from there ("camp/a/0000.002"), in order of their names.
  // Takes the items at once: a drop's are gone once its event ends.
  function droppedFiles(transfer) {
    const items = [...transfer.items].filter((item) => item.kind === 'file');
    const plain = [...transfer.files];
    const dropped = items.length && items.every((item) => item.getAsFileSystemHandle)
      ? Promise.all(items.map((item) => item.getAsFileSystemHandle()))
        .then((handles) => (handles.every(Boolean) ? handles.map(fromHandle) : null))
      : Promise.resolve(items.map((item) => item.webkitGetAsEntry && item.webkitGetAsEntry()))
        .then((entries) => (entries.length && entries.every(Boolean) ? entries.map(fromEntry) : null));
    return dropped.then(async (nodes) => {
      if (nodes === null) return [plain, null, null];
      const [files, paths, fileHandles] = [[], [], []];
      const walk = async (node, folder) => {
        if (!node.folder) {
          files.push(await node.file());
          paths.push(folder + node.name);
          fileHandles.push(node.handle || null);
          return;
        }
        const inside = (await node.inside()).sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
        for (const child of inside) await walk(child, `${folder}${node.name}/`);
      };
      for (const node of nodes) await walk(node, '');
      return [files, paths, fileHandles];
    });
  }

  // Where each file lies for the program: at its path as chosen, and when
  // an earlier file has that path, in a folder named 2, 3... (or 2_...
  // when a chosen path starts with a file or folder of that name). Null
  // for a path that no file may have.
  function runPaths(paths) {
    const tops = new Set(paths.map((path) => path.split('/')[0]));
    const seen = new Map();
    return paths.map((path) => {
      if (path.split('/').some((part) => part === '' || part === '.' || part === '..' || part.includes('\0'))) return null;
      const k = (seen.get(path) || 0) + 1;
      seen.set(path, k);
      if (k === 1) return path;
      let folder = String(k);
      while (tops.has(folder)) folder += '_';
      return `${folder}/${path}`;
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
    $('#strangers').hidden = true;
    $('#problems-only').checked = false;
    fileList.show([]);
    $('#plot-file').replaceChildren();
    $('#plot-channel').replaceChildren();
    $('#plot-note').textContent = '';
    $('#legend').replaceChildren();
    QuarvelPlot.draw($('#plot'), null, null);
    coverageAt = QuarvelCoverage.draw($('#coverage'), QuarvelCoverage.build([]), null);
    $('#coverage-note').textContent = '';
    $('#coverage-tip').hidden = true;
  }

  function showProgress(files, bytes) {
    const total = run.total;
    $('#progress').value = total > 0 ? bytes / total : files / Math.max(run.inputs.length, 1);
    $('#progress-text').textContent = `${numberText(files)} of ${count(run.inputs.length, 'file', 'files')}`
      + ` · ${bytesText(bytes)} of ${bytesText(total)}`;
  }

  function convert() {
    resetResults();
    if (run && run.packer) run.packer.stop();
    const paths = runPaths(given);
    const inputs = [];
    const runIndex = paths.map((path, i) => (path === null ? -1
      : inputs.push({ file: chosen[i], path, given: given[i], handle: handles[i] }) - 1));
    const utc = $('#zone').value === 'UTC';
    const args = [...typedWords(), '--', ...inputs.map((input) => input.path)];
    run = { worker: new Worker(workerUrl), files: chosen, given, paths, runIndex, inputs, utc, stderr: [],
      status: undefined, outputs: inputs.map(() => null), headers: inputs.map(() => null), stats: inputs.map(() => null),
      records: inputs.map(() => null), textBytes: 0, folder: toFolder() ? folder : null,
      packer: null, total: inputs.reduce((sum, input) => sum + input.file.size, 0), started: performance.now(),
      date: new Date() };
    // The zip is deflated as the text files come, where the browser can.
    if (!run.folder && inputs.length >= 2 && QuarvelPacker.supported()) {
      run.packer = QuarvelPacker.create(run.date, showPacking(run));
    }
    document.body.dataset.state = 'running';
    document.body.dataset.zip = 'none';
    delete document.body.dataset.status;
    $('#table').textContent = '';
    $('#results').hidden = false;
    $('#status').textContent = 'converting…';
    $('#status').title = '';
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
        // They come in the order of the files, which is the zip's, named as in the zip.
        for (const item of data.items) {
          run.outputs[item.index] = item;
          run.textBytes += item.size;
          item.entryName = item.name;
          const data = item.bytes || item.blob;
          if (run.packer) run.packer.add(item.index, { name: item.entryName, crc: item.crc, size: item.size, data });
        }
      } else if (data.type === 'outcomes') {
        for (const record of data.items) run.records[record.index] = record;
      } else if (data.type === 'headers') {
        for (const item of data.items) {
          run.headers[item.index] = item.rows;
          run.stats[item.index] = item.stats;
        }
      } else if (data.type === 'exit') {
        document.body.dataset.queuePeak = String(data.queuePeak);  // for the tests
        finish(data.status, data.memory, false);
      }
      else if (data.type === 'stopped') finish(null, 0, true);
    };
    run.worker.onerror = (event) => {
      appendConsole(2, 'quarvel page: ' + event.message + '\n');
      finish(null, 0, false);
    };
    run.worker.postMessage({ type: 'convert', args, env: utc ? { TZ: 'UTC' } : {}, inputs, folder: run.folder,
      keepStrangers: $('#keep-strangers').checked, queueBytes: window.quarvelTest && window.quarvelTest.queueBytes });
  }

  // Stops the run. One writing into a folder is asked to stop between two
  // writes, so that the text being written is dropped rather than left
  // half written (STOP_WAIT ms at most).
  const STOP_WAIT = 2000;
  function stop() {
    if (!run || !run.worker) return;
    if (!run.folder) {
      finish(null, 0, true);
      return;
    }
    const thisRun = run;
    run.worker.postMessage({ type: 'stop' });
    setTimeout(() => { if (run === thisRun && run.worker) finish(null, 0, true); }, STOP_WAIT);
  }

  // The run's end in words; the exit status itself goes in a tooltip.
  function endingWords(status, stopped) {
    if (stopped) return 'stopped';
    if (status === null) return 'the page failed (see the console)';
    return status === 0 ? 'finished without errors' : 'finished with errors';
  }

  // The run is over: the program ended with `status` (null: the page
  // failed, or `stopped`).
  function finish(status, memory, stopped) {
    run.worker.terminate();
    run.worker = null;
    run.status = status;
    run.stopped = stopped;
    const seconds = ((performance.now() - run.started) / 1000).toFixed(2);
    const outcomes = QuarvelOutcomes.outcomes(run.records,
      run.outputs.map((output) => output && { produced: true, records: output.records, size: output.size }),
      run.headers.map((rows) => (rows ? QuarvelBlocks.header(rows, 0) : null)),
      run.headers.map((rows, i) => (rows ? QuarvelQuality.fileFlags(rows, run.stats[i]) : null)));
    run.items = run.files.map((file, i) => ({
      index: i, file, given: run.given[i], path: run.paths[i],
      output: run.runIndex[i] < 0 ? null : run.outputs[run.runIndex[i]],
      headers: run.runIndex[i] < 0 ? null : run.headers[run.runIndex[i]],
      outcome: run.runIndex[i] < 0
        ? { kind: 'failed', what: 'the browser gave it a name that no file may have', records: 0 }
        : outcomes[run.runIndex[i]],
    }));
    const produced = run.items.filter((item) => item.output);
    produced.forEach((item) => { item.entryName = item.output.entryName; });
    $('#stop').hidden = true;
    $('#progress').hidden = true;
    $('#progress-text').textContent = '';
    const programMemory = memory ? ` · program memory ${(memory / 1048576).toFixed(0)} MB` : '';
    // The program wrote every text whole; the folder may still have refused some.
    const refused = run.folder ? produced.filter((item) => item.output.refusal).length : 0;
    const notWritten = refused ? ` · ${count(refused, 'text file', 'text files')} not written into the folder` : '';
    $('#status').textContent = `${endingWords(status, stopped)}${notWritten} · ${seconds} s${programMemory}`;
    $('#status').title = stopped ? 'no exit status: the run was stopped'
      : status === null ? '' : `the command's exit status: ${status}`;
    showSummary(QuarvelOutcomes.generalLines(run.stderr.join(''), run.records));
    showFiles();
    if (run.folder) showFolder();
    else showZip(produced);
    showCoverage();
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
    if (counts.stranger) {
      const files = counts.stranger === 1 ? 'a logger file' : 'logger files';
      parts.push(`${numberText(counts.stranger)} probably not ${files}`);
    }
    if (counts.failed) parts.push(`${numberText(counts.failed)} not converted`);
    if (counts.skipped) {
      parts.push(`${numberText(counts.skipped)} ${run.stopped ? 'left when stopped' : 'not reached'}`);
    }
    const files = run.items.length === 1 ? '1 file' : `${numberText(run.items.length)} files`;
    const summary = $('#summary');
    summary.replaceChildren(`${files}: ${parts.join(', ')}.`);
    if (counts.flagged) {
      const kinds = FLAGS.filter((flag) => counts[flag]).map((flag) => `${numberText(counts[flag])} ${flag}`);
      summary.append(` ${counts.flagged === 1 ? '1 file' : `${numberText(counts.flagged)} files`} with suspect`
        + ` readings: ${kinds.join(', ')}.`);
    }
    if (run.status !== null && run.status !== undefined) {
      const verdict = document.createElement('span');
      verdict.className = 'verdict';
      verdict.textContent = run.status === 0 ? ' As a command, quarvel would report success.'
        : ' As a command, quarvel would report a failure.';
      verdict.title = `exit status ${run.status}`;
      summary.append(verdict);
    }
    const said = general.join('').trim();
    if (said) summary.append(` quarvel said: ${said.split('\n').filter((line) => line.trim()).slice(0, 3).join(' ')}`);
    summary.className = counts.cut || counts.stranger || counts.failed || counts.skipped || counts.flagged || said
      ? 'problem' : '';
  }

  // The shortest decimal that reads back as the binary32 `value`.
  function float32Text(value) {
    for (let digits = 1; digits <= 9; digits++) {
      const text = Number(value.toPrecision(digits));
      if (Math.fround(text) === value) return String(text);
    }
    return String(value);
  }

  // The values of a first block header, for a file that is probably not a
  // logger file.
  function headerWords(header) {
    return `its first block header reads channel ${numberText(header.channel)}, period`
      + ` ${numberText(header.period)} ms, first sample at ${timeLabel(header.time, false)},`
      + ` ${count(header.declared, 'sample', 'samples')}, gain ${float32Text(header.gain)},`
      + ` offset ${float32Text(header.offset)}; no logger has a channel below -16,777,216 or from 16,777,216 up`;
  }

  // What a file's readings show (QuarvelQuality.fileFlags), in words:
  // [flag, words] for each of FLAGS that it shows.
  function qualityWords(item) {
    const quality = item.outcome.quality;
    if (!quality) return [];
    const { clipped, stuck, dead } = quality;
    const words = [];
    if (clipped) {
      words.push(['clipped', `clipped: ${count(clipped.samples, 'sample', 'samples')} at the rails (-32768 or 32767,`
        + ` the ends of the ADC's range) in ${count(clipped.blocks, 'block', 'blocks')},`
        + ` up to ${numberText(clipped.run)} in a row`]);
    }
    if (stuck) {
      const header = QuarvelBlocks.header(item.headers, stuck.block);
      const period = header.period | 0;
      const lasting = period > 0 ? ` (${QuarvelPlot.duration(stuck.longest * period / 1000)})` : '';
      const from = Number(QuarvelBlocks.tick(header.time, header.period, stuck.start)) / 1000;
      words.push(['stuck', `stuck: one value held for ${stuck.blocks > 1 ? 'up to ' : ''}`
        + `${count(stuck.longest, 'sample', 'samples')} in a row${lasting} in ${count(stuck.blocks, 'block', 'blocks')},`
        + ` ${stuck.blocks > 1 ? 'the longest ' : ''}from sample ${numberText(stuck.start)} of block`
        + ` ${numberText(stuck.block)} at ${timeLabel(from, false)}`]);
    }
    if (dead) {
      words.push(['dead', dead.blocks === 1
        ? `dead: no signal in 1 block: its ${count(dead.samples, 'sample', 'samples')} take no more than 2 different values`
        : `dead: no signal in ${numberText(dead.blocks)} blocks of ${numberText(dead.samples)} samples in all: each`
          + ' block\'s samples take no more than 2 different values']);
    }
    return words;
  }

  function outcomeWords(item) {
    const outcome = item.outcome;
    const quality = qualityWords(item).map(([, words]) => words + ' · ').join('');
    const records = `${quality}${numberText(outcome.records)} record${outcome.records === 1 ? '' : 's'}`;
    const size = item.output ? ` · ${bytesText(item.output.size)}` : '';
    const cutWords = () => {
      const room = Math.floor(Math.max(item.file.size - 24, 0) / 2);
      const absurd = outcome.declared > 10 * room + 10 ? ', far more than the file holds' : '';
      return `its last block has ${numberText(outcome.read)} of its ${count(outcome.declared, 'sample', 'samples')}`
        + absurd;
    };
    switch (outcome.kind) {
    case 'converted':
      if (outcome.records > 0) return ['converted', `${records}${size}`];
      return ['converted', item.output && item.output.size > 0 ? `no samples, header lines only${size}`
        : 'no samples: an empty text file'];
    case 'cut':
      return ['cut short', `${cutWords()} · ${records}${size}`];
    case 'stranger':
      return ['not a log?', `probably not a logger file: ${headerWords(outcome.header)}; read as one, ${cutWords()}`
        + ` · ${records}${size}`];
    case 'failed': {
      const why = outcome.what + (outcome.reason ? `: ${outcome.reason}` : '');
      return ['not converted', why + (item.output ? ` · ${records} written${size}` : '')];
    }
    default:
      return [run.stopped ? 'stopped' : 'not reached', run.stopped ? 'stopped before it was converted'
        : 'quarvel stopped before this file'];
    }
  }

  // Whether a file's line shows a problem: of its outcome, or its text
  // file refused by the folder.
  const isProblem = (item) => QuarvelOutcomes.isProblem(item.outcome) || Boolean(item.output && item.output.refusal);

  // What became of a text file written into the folder, in words.
  function folderWords(output) {
    if (output.written) return ` · written as ${shownName(output.entryName)}`;
    if (output.refusal) return ` · not written into the folder: ${output.refusal.message} (reason: ${output.refusal.reason})`;
    return ' · not written into the folder: probably not a logger file';
  }

  // The download address of a text file: small ones come as bytes, made a
  // blob only when shown.
  function urlOf(item) {
    const output = item.output;
    if (!output.blob) output.blob = new Blob([output.bytes], { type: 'text/plain' });
    if (!objectUrls.has(item.index)) objectUrls.set(item.index, URL.createObjectURL(output.blob));
    return objectUrls.get(item.index);
  }

  // A row of the list; focused or pointed at, it shows its detail whole.
  function fillRow(row, item) {
    const [badgeText, detailText] = outcomeWords(item);
    row.dataset.kind = item.outcome.kind;
    row.dataset.index = String(item.index);
    row.tabIndex = 0;
    const badge = document.createElement('span');
    badge.className = 'badge ' + item.outcome.kind + (isProblem(item) ? ' problem' : '');
    badge.textContent = badgeText;
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = shownName(item.given) + (item.path && item.path !== item.given
      ? ` (as ${shownName(item.path)})` : '');
    name.title = name.textContent;
    const detail = document.createElement('span');
    detail.className = 'detail';
    detail.textContent = detailText + (item.output && run.folder ? folderWords(item.output) : '');
    row.append(badge, name);
    const flags = qualityWords(item);
    if (flags.length) row.dataset.flags = flags.map(([flag]) => flag).join(' ');
    for (const [flag, words] of flags) {
      const mark = document.createElement('span');
      mark.className = 'flag ' + flag;
      mark.textContent = flag;
      mark.title = words;
      row.append(mark);
    }
    row.append(detail);
    if (item.output && !run.folder) {
      const link = document.createElement('a');
      link.href = urlOf(item);
      link.download = item.entryName;
      link.textContent = item.entryName;
      row.append(link);
    }
  }

  function showFiles() {
    const problemsOnly = $('#problems-only').checked;
    fileList.show(problemsOnly ? run.items.filter(isProblem) : run.items);
    const problems = run.items.filter(isProblem).length;
    $('#problems-only').parentElement.lastChild.textContent = ` only the files with problems (${numberText(problems)})`;
  }

  // The packer's progress, shown under the files while the zip is made,
  // at most every PROGRESS_INTERVAL ms.
  function showPacking(thisRun) {
    let shown = 0;
    return (deflated) => {
      const now = performance.now();
      thisRun.deflated = deflated;
      if (run !== thisRun || document.body.dataset.zip === 'ready' || now - shown < PROGRESS_INTERVAL) return;
      shown = now;
      if (!$('#zip progress')) {
        $('#zip').replaceChildren(document.createElement('span'), ' ', document.createElement('progress'));
      }
      const total = thisRun.worker ? `${bytesText(thisRun.textBytes)} so far` : bytesText(thisRun.textBytes);
      $('#zip span').textContent = `compressing the zip: ${bytesText(deflated)} of ${total}`;
      $('#zip progress').value = thisRun.textBytes > 0 ? deflated / thisRun.textBytes : 0;
    };
  }

  // Makes the zip of the text files `produced` (two or more): deflated
  // once the packer has them all, or stored where the browser cannot
  // deflate; then offers it (offerZip).
  function showZip(produced) {
    const thisRun = run;
    if (produced.length < 2) {
      if (run.packer) run.packer.stop();
      return;
    }
    const stored = () => {
      thisRun.zip = { deflated: false };
      offerZip(thisRun);
    };
    if (!run.packer) {
      stored();
      return;
    }
    document.body.dataset.zip = 'making';
    showPacking(run)(run.deflated || 0);
    run.packer.end().then(({ records, entries }) => {
      thisRun.zip = { deflated: true, records, entries };
      offerZip(thisRun);
    }, (error) => {
      if (run === thisRun) {
        appendConsole(2, `quarvel page: the zip could not be compressed (${error.message}); it is stored instead\n`);
      }
      stored();
    }).finally(() => thisRun.packer.stop());
  }

  // Offers the zip of the run's text files, less those of files that are
  // probably not logger files unless the switch keeps them: made again
  // from the same records when the switch changes.
  function offerZip(thisRun) {
    if (run !== thisRun) return;
    const made = thisRun.items.filter((item) => item.output);
    const left = made.filter((item) => item.outcome.kind === 'stranger');
    const produced = $('#keep-strangers').checked ? made : made.filter((item) => item.outcome.kind !== 'stranger');
    $('#strangers').hidden = left.length === 0;
    document.body.dataset.zip = 'ready';
    if (objectUrls.has('zip')) URL.revokeObjectURL(objectUrls.get('zip'));
    objectUrls.delete('zip');
    if (produced.length === 0) {
      $('#zip').replaceChildren('no zip: every text file is of a file that is probably not a logger file');
      return;
    }
    const entries = produced.map((item) => ({ name: item.entryName, data: item.output.blob || item.output.bytes,
      size: item.output.size, crc: item.output.crc }));
    let zip = null;
    if (thisRun.zip.deflated) {
      const placed = entries.map((entry, k) => ({ ...entry,
        ...thisRun.zip.entries.get(thisRun.runIndex[produced[k].index]) }));
      const picked = QuarvelZip.pickRecords(thisRun.zip.records, placed, thisRun.date);
      zip = QuarvelZip.finishZip(picked.records, picked.size, picked.entries, thisRun.date);
    } else zip = QuarvelZip.makeZip(entries, thisRun.date);
    const link = document.createElement('a');
    const url = URL.createObjectURL(zip);
    objectUrls.set('zip', url);
    link.href = url;
    link.download = 'quarvel-text.zip';
    const files = produced.length === made.length ? `all ${numberText(produced.length)} text files`
      : `${numberText(produced.length)} text file${produced.length === 1 ? '' : 's'}`;
    link.textContent = `${files} as one zip (${bytesText(zip.size)}`
      + (thisRun.zip.deflated ? `, compressed from ${bytesText(entries.reduce((sum, e) => sum + e.size, 0))})`
        : ', not compressed)');
    const without = produced.length < made.length
      ? ` · without the ${numberText(left.length)} of files that are probably not logger files` : '';
    $('#zip').replaceChildren(link, without);
  }

  // What was written into the folder, and what was not.
  function showFolder() {
    const outputs = run.items.filter((item) => item.output);
    const written = outputs.filter((item) => item.output.written);
    const size = written.reduce((sum, item) => sum + item.output.size, 0);
    const refused = outputs.filter((item) => item.output.refusal).length;
    const left = outputs.length - written.length - refused;
    const parts = [`${count(written.length, 'text file', 'text files')} written into “${shownName(run.folder.name)}”`
      + ` (${bytesText(size)})`];
    if (refused) parts.push(`${numberText(refused)} not written: see their lines`);
    if (left) parts.push(`${numberText(left)} of files that are probably not logger files left out`);
    $('#zip').textContent = parts.join('; ');
    document.body.dataset.zip = 'folder';
  }

  // ---- One table

  // Makes the table of the files converted (the command table's CSV; with
  // "each folder is a logger", its --logger folder) in a worker of its
  // own, and offers it as table.csv.
  let tableWorker = null;
  let tableId = 0;
  function makeTable() {
    if (!run || !run.items) return;  // no run has ended yet
    const every = Number($('#table-every').value);
    if (!Number.isInteger(every) || every < 1) {
      $('#table').textContent = 'give a whole number of milliseconds, 1 or more';
      return;
    }
    const loggers = QuarvelCoverage.loggersOf(run.given, $('#by-folder').checked ? 'folder' : null);
    const logs = run.items.filter((item) => item.output && item.headers && !item.outcome.notLog)
      .map((item) => ({ file: item.file, rows: item.headers, logger: loggers[item.index] }));
    if (tableWorker === null) tableWorker = new Worker(workerUrl);
    const id = ++tableId;
    const started = performance.now();
    tableWorker.onmessage = ({ data }) => {
      if (data.id !== tableId) return;
      document.body.dataset.table = 'done';
      if (data.error) {
        $('#table').textContent = `the table could not be made: ${data.error}`;
        return;
      }
      const link = document.createElement('a');
      link.href = URL.createObjectURL(data.blob);
      link.download = 'table.csv';
      link.textContent = 'table.csv';
      $('#table').replaceChildren(link, ` (${count(data.rows, 'row', 'rows')} of ${count(data.columns, 'channel',
        'channels')}, ${bytesText(data.size)}, ${((performance.now() - started) / 1000).toFixed(1)} s)`);
    };
    document.body.dataset.table = 'making';
    $('#table').textContent = 'making it…';
    tableWorker.postMessage({ type: 'table', id, logs, every, method: $('#table-method').value,
      overlap: $('#table-overlap').value });
  }

  // ---- Coverage

  // Draws what the batch recorded, from the block headers of every file
  // but those that are not logger files (quarvel's own text) or probably
  // not; with the switch on, each folder a logger.
  function showCoverage() {
    const marks = { converted: 'converted', cut: 'cut', failed: 'failed' };
    const loggers = QuarvelCoverage.loggersOf(run.given, $('#by-folder').checked ? 'folder' : null);
    const drawn = run.items.filter((item) => item.headers && marks[item.outcome.kind] && !item.outcome.notLog);
    const model = QuarvelCoverage.build(drawn.map((item) => ({ id: item.index, logger: loggers[item.index],
      rows: item.headers, size: item.file.size, mark: marks[item.outcome.kind],
      flags: item.outcome.quality && item.outcome.quality.flags })));
    run.coverage = model;
    coverageAt = QuarvelCoverage.draw($('#coverage'), model, clock);
    const gaps = model.series.flatMap((c) => c.gaps);
    const longest = gaps.reduce((most, gap) => (gap.length > most ? gap.length : most), 0);
    const overlaps = model.series.reduce((sum, c) => sum + c.overlaps.length, 0);
    const counts = QuarvelOutcomes.countKinds(run.items.map((item) => item.outcome));
    const left = [];
    if (counts.stranger) left.push(count(counts.stranger, 'probably not a logger file', 'probably not logger files'));
    const ownText = run.items.filter((item) => item.outcome.notLog).length;
    if (ownText) left.push(count(ownText, 'text file written by quarvel', 'text files written by quarvel'));
    const unread = run.items.filter((item) => !item.headers && item.file.size >= QuarvelBlocks.HEADER_SIZE).length;
    if (unread) left.push(count(unread, 'file', 'files') + ' whose blocks quarvel did not read');
    const rows = model.series.length;
    const several = model.series.filter((c) => c.several).length;
    $('#coverage-note').textContent = model.starts.length === 0 ? 'no block with samples to draw' : [
      `${count(model.blocks, 'block', 'blocks')} of ${count(new Set(drawn.map((item) => item.index)).size, 'file',
        'files')} on ${count(rows, 'channel', 'channels')}`
      + ($('#by-folder').checked ? ` of ${count(model.loggers, 'logger', 'loggers')}` : '')
      + (rows > QuarvelCoverage.MOST_ROWS ? ` (the first ${QuarvelCoverage.MOST_ROWS} drawn)` : ''),
      gaps.length ? `${count(gaps.length, 'gap', 'gaps')} (the longest ${QuarvelPlot.duration(Number(longest) / 1000)})`
        : 'no gap',
      overlaps ? count(overlaps, 'overlap', 'overlaps') : 'no overlap',
      ...(several ? [`the blocks of ${count(several, 'channel', 'channels')} overlap for most of the time they cover,`
        + ' as several loggers\' blocks would' + ($('#by-folder').checked ? '' : ': "each folder is a logger" tells'
        + ' them apart')] : []),
      ...(left.length ? [`not drawn: ${left.join(', ')}`] : []),
    ].join(' · ');
  }

  // What lies under the pointer, in words: a block's file and times, a
  // gap's start and length, or the row's counts.
  function coverageWords(point) {
    const c = run.coverage.series[point.series];
    const name = c.logger === null ? `channel ${c.channel}` : `${shownName(c.logger)} · channel ${c.channel}`;
    if (point.gap !== null) {
      const gap = c.gaps[point.gap];
      const [from, length] = [Number(gap.start) / 1000, Number(gap.length) / 1000];
      return `${name}: a gap of ${QuarvelPlot.duration(length)} from ${clock.label(from, true)}`
        + ` to ${clock.label(from + length, true)}`;
    }
    if (point.index === null) {
      return `${name}: ${count(c.start.length, 'block', 'blocks')}, ${count(c.gaps.length, 'gap', 'gaps')},`
        + ` ${count(c.overlaps.length, 'overlap', 'overlaps')}`;
    }
    const i = point.index;
    const item = run.items[c.file[i]];
    const span = (Number(c.end[i]) - Number(c.start[i])) / 1000;
    return `${shownName(item.path || item.given)} · channel ${c.channel} · block ${c.block[i]}:`
      + ` ${count(c.samples[i], 'sample', 'samples')} from ${clock.label(Number(c.start[i]) / 1000, Math.abs(span) < 10)},`
      + ` ${QuarvelPlot.duration(Math.abs(span))}`
      + (c.cutShort[i] ? ' · cut short' : '') + (c.mark[i] === 'failed' ? ' · not converted to its end' : '')
      + FLAGS.filter((flag, bit) => c.flags[i] & (1 << bit)).map((flag) => ' · ' + flag).join('');
  }

  function pointAt(event) {
    const canvas = $('#coverage');
    const box = canvas.getBoundingClientRect();
    return coverageAt((event.clientX - box.left - canvas.clientLeft) * canvas.width / canvas.clientWidth,
      (event.clientY - box.top - canvas.clientTop) * canvas.height / canvas.clientHeight);
  }

  function coverageMoved(event) {
    const point = run && run.coverage ? pointAt(event) : null;
    const tip = $('#coverage-tip');
    tip.hidden = point === null;
    $('#coverage').style.cursor = point && point.index !== null ? 'pointer' : '';
    if (point === null) return;
    tip.textContent = coverageWords(point);
    tip.style.left = `${Math.min(event.offsetX + 12, Math.max(event.target.clientWidth - 360, 0))}px`;
    tip.style.top = `${event.offsetY + 16}px`;
  }

  function coverageChosen(event) {
    const point = run && run.coverage ? pointAt(event) : null;
    if (point === null || point.index === null) return;
    const c = run.coverage.series[point.series];
    const index = String(c.file[point.index]);
    if (![...$('#plot-file').options].some((option) => option.value === index)) return;
    $('#plot-file').value = index;
    requestPlot(null);
  }

  // ---- Plot

  // `seconds` since the epoch as a date and time in the run's zone, with
  // milliseconds if `withMillis`.
  function timeLabel(seconds, withMillis) {
    const whole = Math.floor(seconds);
    const date = new Date(whole * 1000);
    if (Number.isNaN(date.getTime())) return `${seconds} s`;
    const millis = withMillis ? '.' + String(Math.min(Math.round((seconds - whole) * 1000), 999)).padStart(3, '0') : '';
    return date.toLocaleString('sv-SE', { timeZone: run.utc ? 'UTC' : undefined }) + millis + (run.utc ? ' UTC' : '');
  }

  // The run's clock, for the time axes: its labels, and the offset of its
  // zone from UTC at a time (ms), on which their round times fall.
  const clock = { label: timeLabel, offset: (ms) => (run.utc ? 0 : -new Date(ms).getTimezoneOffset() * 60000 || 0) };

  function choosePlotFiles() {
    const candidates = run.items.filter((item) => item.output && item.outcome.records > 0
      && item.outcome.kind !== 'stranger');
    $('#plot-file').replaceChildren(...candidates.map((item) => {
      const option = document.createElement('option');
      option.value = String(item.index);
      option.textContent = shownName(item.path || item.given) + (item.outcome.kind === 'cut' ? ' (cut short)' : '')
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
      new Option(`${channel} (${count(samples, 'sample', 'samples')})`, String(channel))));
    select.value = plot.shown.length === 1 && current !== 'all' && current !== '' ? String(plot.shown[0]) : 'all';
    const notes = [];
    if (plot.cut) notes.push('cut short: its last block runs past the end of the file');
    if (plot.shown.length < plot.channels.length && select.value === 'all') {
      notes.push(`the first ${plot.shown.length} of ${numberText(plot.channels.length)} channels`);
    }
    if (plot.axis && plot.axis.breaks.length) notes.push('long gaps between blocks are cut out of the time axis');
    $('#plot-note').textContent = notes.join('; ');
    const legend = QuarvelPlot.draw($('#plot'), plot, clock);
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
    $('#zone').addEventListener('input', () => {
      remember();
      refresh();
    });
    $('#defaults').addEventListener('click', () => useChoice(DEFAULTS));
    $('#keep-strangers').addEventListener('input', () => {
      remember();
      if (run && run.zip) offerZip(run);
    });
    $('#by-folder').addEventListener('input', () => {
      remember();
      if (run && run.coverage) showCoverage();
    });
    $('#flags').addEventListener('input', typedOptionsChanged);
    // The files chosen last are the ones: the other chooser is emptied.
    $('#files').addEventListener('change', () => {
      $('#folder').value = '';
      chooseFiles($('#files').files);
    });
    $('#folder').addEventListener('change', () => {
      $('#files').value = '';
      chooseFiles($('#folder').files);
    });
    $('#convert').addEventListener('click', convert);
    $('#make-table').addEventListener('click', makeTable);
    $('#destination').hidden = !folders;
    $('#choose-folder').addEventListener('click', chooseFolder);
    document.querySelectorAll('input[name=destination]').forEach((input) => input.addEventListener('input', refresh));
    $('#stop').addEventListener('click', stop);
    $('#problems-only').addEventListener('input', showFiles);
    $('#plot-file').addEventListener('input', () => requestPlot(null));
    $('#plot-channel').addEventListener('input', () =>
      requestPlot($('#plot-channel').value === 'all' ? null : Number($('#plot-channel').value)));
    $('#coverage').addEventListener('mousemove', coverageMoved);
    $('#coverage').addEventListener('mouseleave', () => { $('#coverage-tip').hidden = true; });
    $('#coverage').addEventListener('click', coverageChosen);
    const drop = $('#drop');
    drop.addEventListener('dragover', (event) => {
      event.preventDefault();
      drop.classList.add('over');
    });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (event) => {
      event.preventDefault();
      drop.classList.remove('over');
      droppedFiles(event.dataTransfer).then(([files, paths, fileHandles]) => {
        $('#files').value = '';
        $('#folder').value = '';
        chooseFiles(files, paths, fileHandles);
      }, (error) => {
        $('#chosen').textContent = `the files dropped could not be read: ${error.message}`;
      });
    });
    chooseFiles([]);
    useChoice(rememberedChoice());
  }

  start();
})();
