// The conversion worker: runs quarvel (createQuarvel, compiled to
// WebAssembly) on the chosen files as the command line would, in a fresh
// instance per run, so that each run starts as a new process does.
//
// Request: {args, env, files: [File], columns}. Replies, in order:
// {type: 'text', stream: 1 | 2, text}, {type: 'progress', done, total},
// {type: 'output', name, blob, crc, size}, {type: 'plot', plot},
// {type: 'exit', status, memory}.
/* global createQuarvel, FileReaderSync */
'use strict';

const WORK_DIR = '/work';
const INPUT_DIR = '/input';
const TEXT_CHUNK = 65536;
const POST_INTERVAL = 50;
const BLOB_CHUNK = 4 * 1024 * 1024;
const WINDOW = 1 << 20;
const EIO = 29;  // emscripten's errno

const CRC_TABLE = (() => {
  const table = new Int32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c;
  }
  return table;
})();

// CRC-32 (the zip one) of `bytes`, continued from `crc`.
function crc32(crc, bytes) {
  let c = ~crc;
  for (let i = 0; i < bytes.length; i++) c = CRC_TABLE[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
  return ~c >>> 0;
}

// The console: standard output (1) and error (2), decoded as UTF-8 and
// posted in pieces at most every POST_INTERVAL ms, in the order written.
function consoleStreams() {
  const streams = [1, 2].map((stream) => ({ stream, decoder: new TextDecoder(), bytes: new Uint8Array(TEXT_CHUNK), used: 0 }));
  let lastPost = 0;
  const flush = (s) => {
    if (s.used === 0) return;
    postMessage({ type: 'text', stream: s.stream, text: s.decoder.decode(s.bytes.subarray(0, s.used), { stream: true }) });
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

// A text file that the program writes: collected in blobs of BLOB_CHUNK
// bytes, which the browser may keep out of memory, with its CRC-32.
function textFile(name) {
  const file = { name, parts: [], buffer: new Uint8Array(BLOB_CHUNK), used: 0, crc: 0, size: 0 };
  file.reset = () => {
    file.parts = [];
    file.used = 0;
    file.crc = 0;
    file.size = 0;
  };
  file.write = (bytes) => {
    file.crc = crc32(file.crc, bytes);
    file.size += bytes.length;
    for (let at = 0; at < bytes.length;) {
      const n = Math.min(bytes.length - at, BLOB_CHUNK - file.used);
      file.buffer.set(bytes.subarray(at, at + n), file.used);
      file.used += n;
      at += n;
      if (file.used === BLOB_CHUNK) file.seal();
    }
  };
  file.seal = () => {
    if (file.used > 0) file.parts.push(new Blob([file.buffer.subarray(0, file.used)]));
    file.used = 0;
  };
  return file;
}

// Makes NAME.txt of every input a device whose writes go to a textFile:
// the text never sits in the program's memory, however long it is.
function makeOutputDevices(FS, names) {
  const files = new Map();
  names.forEach((name, index) => {
    const file = textFile(name + '.txt');
    const device = FS.makedev(64, index);
    FS.registerDevice(device, {
      open(stream) { file.reset(); files.set(file.name, file); },
      close() {},
      read() { return 0; },
      write(stream, buffer, offset, length) {
        file.write(buffer.subarray(offset, offset + length));
        return length;
      },
    });
    try {
      FS.mkdev(WORK_DIR + '/' + file.name, device);
    } catch (e) {
      // An input has that name: the program will say it cannot write it.
    }
  });
  return files;
}

// Mounts the files, read in place, and links each into the work folder
// under its own name, as the files beside a command line would be.
function mountInputs(FS, files, onRead) {
  const WORKERFS = FS.filesystems.WORKERFS;
  const read = WORKERFS.stream_ops.read;
  WORKERFS.stream_ops.read = function (stream, buffer, offset, length, position) {
    let n;
    try {
      n = read.call(this, stream, buffer, offset, length, position);
    } catch (e) {
      throw new FS.ErrnoError(EIO);  // a file that cannot be read (a folder, a file gone): as the system says
    }
    onRead(n);
    return n;
  };
  FS.mkdir(INPUT_DIR);
  FS.mount(WORKERFS, { files }, INPUT_DIR);
  for (const file of files) FS.symlink(INPUT_DIR + '/' + file.name, WORK_DIR + '/' + file.name);
}

function progressReporter(total) {
  let done = 0;
  let last = 0;
  return (n) => {
    done += n;
    const now = Date.now();
    if (now - last > 100) {
      last = now;
      postMessage({ type: 'progress', done: Math.min(done, total), total });
    }
  };
}

// Reads `file` through a window of WINDOW bytes: bytes(start, length)
// returns a DataView and the position of `start` in it. Reads that go on
// through the file, as the plot's do, cost one read per window.
function byteWindow(file) {
  const reader = new FileReaderSync();
  let windowStart = 0;
  let view = new DataView(new ArrayBuffer(0));
  return (start, length) => {
    if (start < windowStart || start + length > windowStart + view.byteLength) {
      windowStart = start;
      view = new DataView(reader.readAsArrayBuffer(file.slice(start, start + Math.max(length, WINDOW))));
    }
    return [view, start - windowStart];
  };
}

// Per channel, the least and greatest calibrated value in each of `columns`
// time slots, and which block each slot begins and ends with, so that the
// plot leaves gaps between blocks. Reads the logs in pieces: memory stays
// small whatever their size.
function plotData(files, columns) {
  const blocksOf = (file, visit) => {
    const bytes = byteWindow(file);
    let offset = 0;
    while (offset + 24 <= file.size) {
      const [h, at] = bytes(offset, 24);
      const count = h.getInt32(at + 12);
      const present = Math.max(0, Math.min(count, Math.floor((file.size - offset - 24) / 2)));
      visit({
        channel: h.getInt32(at), step: h.getInt32(at + 4) / 1000, time: h.getInt32(at + 8), count: present,
        gain: h.getFloat32(at + 16), offset: h.getFloat32(at + 20), start: offset + 24, bytes,
      });
      if (present < count) break;
      offset += 24 + 2 * present;
    }
  };
  const blocks = [];
  let first = Infinity;
  let last = -Infinity;
  for (const file of files) {
    blocksOf(file, (block) => {
      if (block.count === 0) return;
      blocks.push(block);
      const end = block.time + (block.count - 1) * block.step;
      first = Math.min(first, block.time, end);
      last = Math.max(last, block.time, end);
    });
  }
  const channels = new Map();
  if (blocks.length === 0) return { first: 0, last: 0, columns, channels };
  const span = last - first || 1;
  const series = (channel) => {
    if (!channels.has(channel)) {
      channels.set(channel, {
        min: new Float64Array(columns).fill(Infinity), max: new Float64Array(columns).fill(-Infinity),
        firstBlock: new Int32Array(columns).fill(-1), lastBlock: new Int32Array(columns).fill(-1),
      });
    }
    return channels.get(channel);
  };
  const PIECE = WINDOW / 2;  // samples read at a time
  blocks.forEach((block, index) => {
    const s = series(block.channel);
    for (let done = 0; done < block.count; done += PIECE) {
      const n = Math.min(PIECE, block.count - done);
      const [samples, at] = block.bytes(block.start + 2 * done, 2 * n);
      for (let i = 0; i < n; i++) {
        const value = Math.fround(samples.getInt16(at + 2 * i) * block.gain + block.offset);
        if (!Number.isFinite(value)) continue;
        const time = block.time + (done + i) * block.step;
        const column = Math.min(columns - 1, Math.floor((time - first) / span * columns));
        if (value < s.min[column]) s.min[column] = value;
        if (value > s.max[column]) s.max[column] = value;
        if (s.firstBlock[column] < 0) s.firstBlock[column] = index;
        s.lastBlock[column] = index;
      }
    }
  });
  return { first, last, columns, channels };
}

function wasmMemory(module) {
  return module.HEAPU8 ? module.HEAPU8.buffer.byteLength : 0;
}

async function convert(request) {
  const terminal = consoleStreams();
  const names = request.files.map((file) => file.name);
  const total = request.files.reduce((sum, file) => sum + file.size, 0);
  let outputs = new Map();
  const module = await createQuarvel({
    thisProgram: 'quarvel',
    noInitialRun: true,
    quit: (status, toThrow) => { throw toThrow; },
    print: () => {},
    printErr: () => {},
    preRun: [(m) => {
      const { FS, ENV } = m;
      Object.assign(ENV, request.env);
      FS.init(() => null, (byte) => terminal.put(1, byte), (byte) => terminal.put(2, byte));
      FS.mkdir(WORK_DIR);
      mountInputs(FS, request.files, progressReporter(total));
      outputs = makeOutputDevices(FS, names);
      FS.chdir(WORK_DIR);
    }],
  });
  const status = module.callMain(request.args);
  terminal.flush();
  postMessage({ type: 'progress', done: total, total });
  for (const file of outputs.values()) {
    file.seal();
    postMessage({ type: 'output', name: file.name, blob: new Blob(file.parts, { type: 'text/plain' }),
      crc: file.crc, size: file.size });
  }
  const memory = wasmMemory(module);
  try {
    postMessage({ type: 'plot', plot: plotData(request.files, request.columns) });
  } catch (e) {
    postMessage({ type: 'plot', plot: null, error: e.message });
  }
  postMessage({ type: 'exit', status, memory });
}

onmessage = (event) => {
  convert(event.data).catch((error) => {
    postMessage({ type: 'text', stream: 2, text: 'quarvel page: ' + (error && error.message || error) + '\n' });
    postMessage({ type: 'exit', status: null, memory: 0 });
  });
};
