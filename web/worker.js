// The page's worker. Runs quarvel (createQuarvel, compiled to WebAssembly)
// on the chosen files as the command line would, in a fresh instance per
// run, so that each run starts as a new process does; and reads logs for
// the plot (QuarvelLogReader).
//
// Requests and replies:
// - {type: 'convert', args, env, inputs: [{file, path}]}: the program runs
//   with `args` in the folder WORK_DIR, where each input lies at its `path`.
//   Replies {type: 'text', stream: 1 | 2, text}, {type: 'progress', files,
//   bytes}, {type: 'outputs', items: [{index, bytes or blob, size, crc,
//   records}]}, in the order the program wrote them, {type: 'headers',
//   items: [{index, rows, stats}]} (QuarvelBlocks.walker: the block
//   headers of each input, taken from what the program read of it, and
//   QuarvelQuality.counter's counts of their samples, posted once it is
//   done with the file), {type: 'outcomes', items: [record]} (what became
//   of each file, as the program hands it over: src/system_emscripten.js),
//   then {type: 'exit', status, memory}.
// - {type: 'plot', id, file, channel, columns}: replies {type: 'plot', id,
//   plot} (QuarvelLogReader.plotFile) or {type: 'plot', id, error}.
/* global createQuarvel, QuarvelBlocks, QuarvelLogReader, QuarvelQuality, QuarvelZip */
'use strict';

const WORK_DIR = '/work';
const INPUT_DIR = '/input';
const TEXT_CHUNK = 65536;
const POST_INTERVAL = 50;  // ms between posts of console text and text files
const FIRST_BUFFER = 16384;
const BLOB_CHUNK = 4 * 1024 * 1024;
// Text files up to BLOB_CHUNK are handed over as bytes, while they fit in
// TEXT_IN_MEMORY together; the rest as blobs, which the browser may keep
// on disk. Making a blob costs about as much as converting a small log.
const TEXT_IN_MEMORY = 256 * 1024 * 1024;
// Inputs up to PREFETCH_FILE bytes, PREFETCH_TOTAL together, are read
// before the run, many at a time: one read of a file from the worker's
// thread costs more than converting it. Larger ones are read in place.
const PREFETCH_FILE = 1024 * 1024;
const PREFETCH_TOTAL = 64 * 1024 * 1024;
const PREFETCH_AT_ONCE = 64;
const EIO = 29;  // emscripten's errno

// The console: standard output (1) and error (2), decoded as UTF-8 and
// posted in pieces at most every POST_INTERVAL ms, in the order written.
function consoleStreams() {
  const streams = [1, 2].map((stream) => ({ stream, decoder: new TextDecoder(), bytes: new Uint8Array(TEXT_CHUNK),
    used: 0 }));
  let lastPost = 0;
  const flush = (s) => {
    if (s.used === 0) return;
    const text = s.decoder.decode(s.bytes.subarray(0, s.used), { stream: true });
    postMessage({ type: 'text', stream: s.stream, text });
    s.used = 0;
    lastPost = Date.now();
  };
  return {
    put(stream, byte) {
      const s = streams[stream - 1];
      const other = streams[2 - stream];
      if (other.used > 0) flush(other);
      s.bytes[s.used++] = byte;
      if (s.used === TEXT_CHUNK || (byte === 10 && Date.now() - lastPost > POST_INTERVAL)) flush(s);
    },
    flush() { streams.forEach(flush); },
  };
}

// The program writes one text file at a time: the buffer of one closed is
// kept for the next, so that many small files do not each make one.
let spareBuffer = null;

// A text file that the program writes: its bytes, in a buffer that grows
// with the text, and past BLOB_CHUNK bytes in blobs of that size; its
// CRC-32, size and records (lines that are not header lines, which start
// with '%'). `close(inMemory)` gives {bytes} (when it fits in memory and
// `inMemory` allows) or {blob}.
function textFile() {
  const file = { parts: [], buffer: null, used: 0, crc: 0, size: 0, lines: 0, headerLines: 0, lineStart: true };
  file.write = (bytes) => {
    file.crc = QuarvelZip.crc32(file.crc, bytes);
    file.size += bytes.length;
    countLines(file, bytes);
    for (let at = 0; at < bytes.length;) {
      if (file.buffer === null) {
        file.buffer = spareBuffer || new Uint8Array(FIRST_BUFFER);
        spareBuffer = null;
      } else if (file.used === file.buffer.length && file.buffer.length < BLOB_CHUNK) {
        const larger = new Uint8Array(2 * file.buffer.length);
        larger.set(file.buffer);
        file.buffer = larger;
      } else if (file.used === file.buffer.length) {
        file.parts.push(new Blob([file.buffer]));
        file.used = 0;
      }
      const n = Math.min(bytes.length - at, file.buffer.length - file.used);
      file.buffer.set(bytes.subarray(at, at + n), file.used);
      file.used += n;
      at += n;
    }
  };
  file.close = (inMemory) => {
    const rest = file.buffer === null ? new Uint8Array(0) : file.buffer.slice(0, file.used);
    if (file.buffer !== null) spareBuffer = file.buffer;
    file.buffer = null;
    if (file.parts.length === 0 && inMemory) return { bytes: rest };
    return { blob: new Blob([...file.parts, rest], { type: 'text/plain' }) };
  };
  return file;
}

// Counts the lines of `bytes`, and those that start with '%'. A plain loop:
// a call of indexOf per line of 30 bytes costs twice as much.
function countLines(file, bytes) {
  if (bytes.length === 0) return;
  if (file.lineStart && bytes[0] === 37) file.headerLines++;
  const last = bytes.length - 1;
  let lines = 0;
  let headerLines = 0;
  for (let at = 0; at < last; at++) {
    if (bytes[at] === 10) {
      lines++;
      if (bytes[at + 1] === 37) headerLines++;
    }
  }
  file.lineStart = bytes[last] === 10;
  file.lines += lines + (file.lineStart ? 1 : 0);
  file.headerLines += headerLines;
}

// Makes PATH.txt of every input a device whose writes go to a textFile:
// the text never sits in the program's memory, however long it is. A
// file closed is handed to `done` with the index of its input; `opened`
// is told when the program opens one.
function makeOutputDevices(FS, inputs, opened, done) {
  inputs.forEach((input, index) => {
    let file = null;
    const device = FS.makedev(64 + Math.floor(index / 256), index % 256);
    FS.registerDevice(device, {
      open() {
        file = textFile();
        opened(index);
      },
      close() {
        if (file !== null) done(index, file);
        file = null;
      },
      read() { return 0; },
      write(stream, buffer, offset, length) {
        file.write(buffer.subarray(offset, offset + length));
        return length;
      },
    });
    try {
      FS.mkdev(WORK_DIR + '/' + input.path + '.txt', device);
    } catch (e) {
      // An input has that name: the program will say it cannot write it.
    }
  });
}

// Reads the small inputs, many at a time, up to PREFETCH_TOTAL bytes.
// Returns their bytes by index; a file that cannot be read is left out,
// to fail when the program reads it.
async function prefetch(inputs) {
  const chosen = [];
  let total = 0;
  inputs.forEach((input, index) => {
    if (input.file.size <= PREFETCH_FILE && total + input.file.size <= PREFETCH_TOTAL) {
      chosen.push(index);
      total += input.file.size;
    }
  });
  const contents = new Map();
  for (let next = 0; next < chosen.length; next += PREFETCH_AT_ONCE) {
    await Promise.all(chosen.slice(next, next + PREFETCH_AT_ONCE).map(async (index) => {
      try {
        contents.set(index, new Uint8Array(await inputs[index].file.arrayBuffer()));
      } catch (e) {
        // read in place instead, and fail there as the program reports it
      }
    }));
  }
  return contents;
}

// Puts the inputs in INPUT_DIR: those of `contents` in memory, the others
// read in place; and links each into the work folder at its path, as the
// files beside a command line would be. `onRead(index, bytes, position)`
// is told what the program read of a file read in place.
function mountInputs(FS, inputs, contents, onRead) {
  const WORKERFS = FS.filesystems.WORKERFS;
  const read = WORKERFS.stream_ops.read;
  WORKERFS.stream_ops.read = function (stream, buffer, offset, length, position) {
    let n;
    try {
      n = read.call(this, stream, buffer, offset, length, position);
    } catch (e) {
      throw new FS.ErrnoError(EIO);  // a file that cannot be read (a folder, a file gone): as the system says
    }
    onRead(Number(stream.node.name), new Uint8Array(buffer.buffer, buffer.byteOffset + offset, n), position);
    return n;
  };
  FS.mkdir(INPUT_DIR);
  const inPlace = inputs.map((input, index) => index).filter((index) => !contents.has(index));
  FS.mkdir(INPUT_DIR + '/place');
  FS.mount(WORKERFS, { blobs: inPlace.map((index) => ({ name: String(index), data: inputs[index].file })) },
    INPUT_DIR + '/place');
  inputs.forEach((input, index) => {
    const target = contents.has(index) ? `${INPUT_DIR}/${index}` : `${INPUT_DIR}/place/${index}`;
    if (contents.has(index)) FS.writeFile(target, contents.get(index));
    const folders = input.path.split('/').slice(0, -1);
    folders.forEach((_, k) => {
      const folder = [WORK_DIR, ...folders.slice(0, k + 1)].join('/');
      if (!FS.analyzePath(folder).exists) FS.mkdir(folder);
    });
    FS.symlink(target, WORK_DIR + '/' + input.path);
  });
}

// Tells the page how far the run is: files begun and bytes read, at most
// every 100 ms. A file begun counts the files before it as read.
function progressReporter(inputs) {
  const before = [0];
  inputs.forEach((input, i) => before.push(before[i] + input.file.size));
  const total = before[inputs.length];
  let files = 0;
  let bytes = 0;
  let last = 0;
  const report = (force) => {
    const now = Date.now();
    if (force || now - last > 100) {
      last = now;
      postMessage({ type: 'progress', files, bytes: Math.min(bytes, total) });
    }
  };
  return {
    begun(index) {
      files = Math.max(files, index + 1);
      bytes = Math.max(bytes, before[index]);
      report(false);
    },
    read(n) {
      bytes += n;
      report(false);
    },
    end() {
      files = inputs.length;
      bytes = total;
      report(true);
    },
  };
}

// Text files closed by the program, posted in batches, each with the
// headers and counts of its input and of the inputs before it that the
// program is done with; and the outcome of each file, with the next batch.
function outputPoster(walkers, counters) {
  let items = [];
  let headers = [];
  let outcomes = [];
  let headersDone = 0;
  let last = Date.now();
  const takeHeaders = (end) => {
    for (; headersDone < end; headersDone++) {
      const rows = walkers[headersDone].rows();
      if (rows.length) headers.push({ index: headersDone, rows, stats: counters[headersDone].stats() });
    }
  };
  const post = () => {
    const buffers = items.filter((item) => item.bytes).map((item) => item.bytes.buffer);
    if (items.length) postMessage({ type: 'outputs', items }, buffers);
    const tables = headers.flatMap((item) => (item.stats ? [item.rows.buffer, item.stats.buffer] : [item.rows.buffer]));
    if (headers.length) postMessage({ type: 'headers', items: headers }, tables);
    if (outcomes.length) postMessage({ type: 'outcomes', items: outcomes });
    items = [];
    headers = [];
    outcomes = [];
    last = Date.now();
  };
  return {
    add(item) {
      items.push(item);
      takeHeaders(item.index + 1);
      if (Date.now() - last > POST_INTERVAL) post();
    },
    outcome(record) {
      outcomes.push(record);
      if (Date.now() - last > POST_INTERVAL) post();
    },
    end() {
      takeHeaders(walkers.length);
      post();
    },
  };
}

async function convert(request) {
  const terminal = consoleStreams();
  const { inputs } = request;
  const progress = progressReporter(inputs);
  const counters = inputs.map(() => QuarvelQuality.counter());
  const walkers = inputs.map((input, index) => QuarvelBlocks.walker(input.file.size, counters[index]));
  const poster = outputPoster(walkers, counters);
  const contents = await prefetch(inputs);
  contents.forEach((bytes, index) => walkers[index].feed(bytes, 0));
  let inMemory = 0;
  const module = await createQuarvel({
    thisProgram: 'quarvel',
    noInitialRun: true,
    quit: (status, toThrow) => { throw toThrow; },
    print: () => {},
    printErr: () => {},
    onFileOutcome: (record) => poster.outcome(record),
    preRun: [(m) => {
      const { FS, ENV } = m;
      Object.assign(ENV, request.env);
      FS.init(() => null, (byte) => terminal.put(1, byte), (byte) => terminal.put(2, byte));
      FS.mkdir(WORK_DIR);
      mountInputs(FS, inputs, contents, (index, bytes, position) => {
        walkers[index].feed(bytes, position);
        progress.read(bytes.length);
      });
      contents.clear();
      makeOutputDevices(FS, inputs, progress.begun, (index, file) => {
        const text = file.close(inMemory + file.size <= TEXT_IN_MEMORY);
        if (text.bytes) inMemory += file.size;
        poster.add({ index, ...text, size: file.size, crc: file.crc, records: file.lines - file.headerLines });
      });
      FS.chdir(WORK_DIR);
    }],
  });
  const status = module.callMain(request.args);
  terminal.flush();
  poster.end();
  progress.end();
  const memory = module.HEAPU8 ? module.HEAPU8.buffer.byteLength : 0;
  postMessage({ type: 'exit', status, memory });
}

function plot(request) {
  try {
    const result = QuarvelLogReader.plotFile(request.file, request.channel, request.columns);
    const buffers = [];
    for (const s of result.series.values()) {
      buffers.push(s.min.buffer, s.max.buffer, s.firstBlock.buffer, s.lastBlock.buffer);
    }
    postMessage({ type: 'plot', id: request.id, plot: result }, buffers);
  } catch (error) {
    postMessage({ type: 'plot', id: request.id, error: String(error && error.message || error) });
  }
}

onmessage = (event) => {
  if (event.data.type === 'plot') {
    plot(event.data);
    return;
  }
  convert(event.data).catch((error) => {
    postMessage({ type: 'text', stream: 2, text: 'quarvel page: ' + (error && error.message || error) + '\n' });
    postMessage({ type: 'exit', status: null, memory: 0 });
  });
};
