// The page's worker. Runs quarvel (createQuarvel, compiled to WebAssembly)
// on the chosen files as the command line would, in a fresh instance per
// run, so that each run starts as a new process does; and reads logs for
// the plot (QuarvelLogReader).
//
// Requests and replies:
// - {type: 'convert', args, env, inputs: [{file, path, given, handle}],
//   folder, keepStrangers}: the program runs with `args` in the folder
//   WORK_DIR, where each input lies at its `path`. Each text file is named
//   as the zip names it (QuarvelZip.entryNamer, from its input's path as
//   `given`). Without `folder` the texts are kept: replies {type:
//   'outputs', items: [{index, name, bytes or blob, size, crc, records}]},
//   in the order the program wrote them. With `folder` (a
//   FileSystemDirectoryHandle) each is written into it as it is made, and
//   none is kept (folderWriter): items [{index, name, size, records,
//   written, refusal}], in the same order. Other replies: {type: 'text',
//   stream: 1 | 2, text}, {type: 'progress', files, bytes}, {type: 'headers',
//   items: [{index, rows, stats}]} (QuarvelBlocks.walker: the block
//   headers of each input, taken from what the program read of it, and
//   QuarvelQuality.counter's counts of their samples, posted once it is
//   done with the file), {type: 'outcomes', items: [record]} (what became
//   of each file, as the program hands it over: src/system_emscripten.js),
//   then {type: 'exit', status, memory}. {type: 'stop'} ends a run into a
//   folder between two writes, with the text being written left out;
//   replies {type: 'stopped'}.
// - {type: 'plot', id, file, channel, columns}: replies {type: 'plot', id,
//   plot} (QuarvelLogReader.plotFile) or {type: 'plot', id, error}.
// - {type: 'table', id, logs: [{file, rows}], every, method, overlap}:
//   replies {type: 'table', id, blob, size, rows, columns} (QuarvelTable)
//   or {type: 'table', id, error}.
/* global createQuarvel, QuarvelBlocks, QuarvelLogReader, QuarvelQuality, QuarvelTable, QuarvelZip */
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

// Makes PATH.txt of every input a device whose writes go to the text
// that `open(index)` gives ({write(bytes), close()}) when the program
// opens it: the text never sits in the program's memory, however long it
// is.
function makeOutputDevices(FS, inputs, open) {
  inputs.forEach((input, index) => {
    let text = null;
    const device = FS.makedev(64 + Math.floor(index / 256), index % 256);
    FS.registerDevice(device, {
      open() {
        text = open(index);
      },
      close() {
        if (text !== null) text.close();
        text = null;
      },
      read() { return 0; },
      write(stream, buffer, offset, length) {
        text.write(new Uint8Array(buffer.buffer, buffer.byteOffset + offset, length));
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

// Room for a number that quarvel spells with "%f" (format.h: FIXED_MAX_CHARS).
const FORMAT_ROOM = 512;

// quarvel's own entries besides main (src/system_emscripten.cpp), in an
// instance of its own that never runs main: the strict rule of its own
// text, its messages, its formatting of numbers.
let helperInstance = null;
function quarvelHelpers() {
  if (helperInstance === null) {
    helperInstance = createQuarvel({ noInitialRun: true, print: () => {}, printErr: () => {},
      quit: (status, toThrow) => { throw toThrow; } }).then((m) => {
      const text = (pointer) => {
        let end = pointer;
        while (m.HEAPU8[end] !== 0) end++;
        return new TextDecoder().decode(m.HEAPU8.subarray(pointer, end));
      };
      // Writes what `spell(scratch)` writes into quarvel's memory into `out` at `at`; returns its length.
      const copied = (out, at, spell) => {
        const scratch = m._quarvelScratch(FORMAT_ROOM);
        const length = spell(scratch);
        out.set(m.HEAPU8.subarray(scratch, scratch + length), at);
        return length;
      };
      return {
        // Whether `bytes` (a file's first TEXT_HEAD_SIZE bytes, or all of
        // it) are quarvel's own text by the strict rule.
        isStrictText(bytes) {
          const at = m._quarvelScratch(bytes.length);
          m.HEAPU8.set(bytes, at);
          return m._quarvelIsStrictText(at, bytes.length) === 1;
        },
        // The spelling of numbers for the table (QuarvelTable.write).
        table: {
          calibrate: (raw, gainBits, offsetBits) => m._quarvelCalibrate(raw, gainBits, offsetBits) | 0,
          sample: (out, at, bits) => copied(out, at, (scratch) => m._quarvelFormatFloat(scratch, bits)),
          double: (out, at, high, low) => copied(out, at, (scratch) => m._quarvelFormatDouble(scratch, high, low, 6)),
        },
        // The words of a message of src/messages.h, by its name.
        message(name) {
          const bytes = new TextEncoder().encode(name + '\0');
          const at = m._quarvelScratch(bytes.length);
          m.HEAPU8.set(bytes, at);
          return text(m._quarvelMessage(at));
        },
      };
    });
  }
  return helperInstance;
}

// A text file kept in memory (textFile) for the page to offer and zip.
// Returns {open(index) → the text}: the text, once closed, is handed to
// `done` as {index, bytes or blob, size, crc, records}.
function keptTexts(done) {
  let inMemory = 0;
  return {
    open(index) {
      const file = textFile();
      return {
        write: (bytes) => file.write(bytes),
        close() {
          const text = file.close(inMemory + file.size <= TEXT_IN_MEMORY);
          if (text.bytes) inMemory += file.size;
          done({ index, ...text, size: file.size, crc: file.crc, records: file.lines - file.headerLines });
        },
      };
    },
  };
}

// Bytes of text waiting to be written into the folder: past QUEUE_BYTES
// (or the run's own bound), the program's next write to a text file waits
// until they are down to half of it. The writer writes what waits in
// pieces of up to WRITE_PIECE. While the program runs it lets the writer
// go on at least every YIELD_MS.
const QUEUE_BYTES = 32 * 1024 * 1024;
const WRITE_PIECE = 4 * 1024 * 1024;
const YIELD_MS = 10;
// The system's words for what the folder refuses (glibc's, as quarvel
// gives them after "reason:" with -d).
const SYSTEM_WORDS = { NotAFolder: 'Not a directory', Folder: 'Is a directory', NotAllowedError: 'Permission denied',
  QuotaExceededError: 'No space left on device', NoModificationAllowedError: 'Device or resource busy' };
const NOT_TEXT = 'it holds data, and is not a text file written by quarvel';
// The bytes of a file by which quarvel tells its own text (src/owntext.h).
const TEXT_HEAD_SIZE = 4096;

// The next task of the worker's event loop: what waits on the folder
// (its replies) runs before it.
function nextTask() {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => resolve();
    channel.port2.postMessage(null);
  });
}

// Writes each text file into the folder `root` as the program makes it,
// a file at a time, in the order made, under `name(index)`: its folders
// made as needed. A text is not written over a file that is one of the
// `inputs` (by FileSystemHandle.isSameEntry on their `handle`; an input
// without one, by its name, size and time), nor over any other file that
// holds data and is not quarvel's own text by the strict rule; it is
// written beside its place by the browser and put there only when whole.
// `leaveOut(index)` is asked, once the program has said what became of
// the file, whether its text stays out (one of a file that is probably
// not a logger file). `report(item)` hears of each text: {index, name,
// size, records, written, refusal: null or {message, reason}}. `high`
// bounds the bytes that wait (QUEUE_BYTES).
function folderWriter(root, inputs, helpers, name, leaveOut, report, high = QUEUE_BYTES) {
  const texts = [];  // made by the program, not yet written: {index, name, chunks, size, lines, closed}
  let queued = 0;
  let peak = 0;  // the most bytes that waited at once
  let wake = null;  // the writer, waiting for text
  let room = null;  // the program, waiting for room
  let lastYield = performance.now();
  let programDone = false;
  let stopped = false;
  let current = null;  // the writable being written, and whether the writer made its file
  const told = new Set();  // the indices of the files that the program has said what became of
  const waiting = new Map();  // index → the writer, waiting to hear of it
  const folders = new Map([['', Promise.resolve(root)]]);
  const nudge = () => {
    if (wake) wake();
    wake = null;
  };
  const took = (bytes) => {
    queued -= bytes;
    if (room && queued <= high / 2) {
      room();
      room = null;
    }
  };
  const folderOf = (parts) => {
    const key = parts.join('/');
    if (!folders.has(key)) {
      folders.set(key, folderOf(parts.slice(0, -1)).then((parent) =>
        parent.getDirectoryHandle(parts[parts.length - 1], { create: true })));
    }
    return folders.get(key);
  };
  const refusal = (text, reason) => ({ message: helpers.message('OPEN_OUTPUT_FAILED').replace('%s', text.name).trimEnd(),
    reason });
  const byName = new Map();  // an input's name → the indices of the inputs of that name
  inputs.forEach((input, index) => {
    const key = input.handle ? input.handle.name : input.file.name;
    byName.set(key, [...(byName.get(key) || []), index]);
  });
  // The input that `handle`, a file of the folder, is: its index, or -1.
  const inputAt = async (handle, file) => {
    for (const index of byName.get(handle.name) || []) {
      const input = inputs[index];
      if (input.handle ? await input.handle.isSameEntry(handle)
        : input.file.size === file.size && input.file.lastModified === file.lastModified) return index;
    }
    return -1;
  };
  // Where `text` goes: {handle, made} or {refusal}.
  const place = async (text) => {
    const parts = text.name.split('/');
    let folder;
    try {
      folder = await folderOf(parts.slice(0, -1));
    } catch (error) {
      return { refusal: refusal(text, SYSTEM_WORDS[error.name === 'TypeMismatchError' ? 'NotAFolder' : error.name]
        || error.message) };
    }
    const last = parts[parts.length - 1];
    try {
      const handle = await folder.getFileHandle(last);
      const file = await handle.getFile();
      const input = await inputAt(handle, file);
      if (input >= 0) {
        return { refusal: refusal(text, helpers.message(input === text.index ? 'OUTPUT_IS_INPUT'
          : 'OUTPUT_IS_ANOTHER_INPUT')) };
      }
      const head = new Uint8Array(await file.slice(0, TEXT_HEAD_SIZE).arrayBuffer());
      if (head.length > 0 && !helpers.isStrictText(head)) return { refusal: refusal(text, NOT_TEXT) };
      return { handle, made: false };
    } catch (error) {
      if (error.name === 'TypeMismatchError') return { refusal: refusal(text, SYSTEM_WORDS.Folder) };
      if (error.name !== 'NotFoundError') return { refusal: refusal(text, SYSTEM_WORDS[error.name] || error.message) };
    }
    return { handle: await folder.getFileHandle(last, { create: true }), made: true, folder, last };
  };
  // The text's bytes that wait, up to WRITE_PIECE of them in one array.
  const piece = (text) => {
    let size = 0;
    let n = 0;
    while (n < text.chunks.length && (n === 0 || size + text.chunks[n].length <= WRITE_PIECE)) size += text.chunks[n++].length;
    const taken = text.chunks.splice(0, n);
    if (n === 1) return taken[0];
    const bytes = new Uint8Array(size);
    let at = 0;
    for (const chunk of taken) {
      bytes.set(chunk, at);
      at += chunk.length;
    }
    return bytes;
  };
  const heard = (index) => (told.has(index) || programDone ? Promise.resolve()
    : new Promise((resolve) => waiting.set(index, resolve)));
  const writeOne = async (text) => {
    const target = await place(text);
    let failure = target.refusal || null;
    try {
      if (!failure) current = { writable: await target.handle.createWritable(), ...target };
    } catch (error) {
      failure = refusal(text, SYSTEM_WORDS[error.name] || error.message);
    }
    while (!text.closed || text.chunks.length) {
      if (stopped) return;
      if (text.chunks.length === 0) {
        await new Promise((resolve) => { wake = resolve; });
        continue;
      }
      const bytes = piece(text);
      if (!failure) {
        try {
          await current.writable.write(bytes);
        } catch (error) {
          failure = { message: helpers.message('WRITE_FAILED').replace('%s', text.name).trimEnd(),
            reason: SYSTEM_WORDS[error.name] || error.message };
        }
      }
      took(bytes.length);
    }
    await heard(text.index);
    const out = failure !== null || leaveOut(text.index);
    if (current) await finishWritable(out);
    current = null;
    if (stopped) return;
    report({ index: text.index, name: text.name, size: text.size, records: text.lines - text.headerLines,
      written: !out, refusal: failure });
  };
  // Closes the writable being written, or with `out` drops it (and the
  // file the writer made for it).
  const finishWritable = async (out) => {
    const { writable, made, folder, last } = current;
    try {
      if (!out) await writable.close();
      else {
        await writable.abort();
        if (made) await folder.removeEntry(last);
      }
    } catch (error) {
      // dropped already, or gone
    }
  };
  const writing = (async () => {
    for (let next = 0; !stopped; next++) {
      while (next === texts.length && !programDone && !stopped) await new Promise((resolve) => { wake = resolve; });
      if (next === texts.length || stopped) break;
      await writeOne(texts[next]);
      texts[next] = null;
    }
  })();
  return {
    // A text that the program opened: {write(bytes), close()}.
    open(index) {
      const text = { index, name: name(index), chunks: [], size: 0, lines: 0, headerLines: 0, lineStart: true,
        closed: false };
      texts.push(text);
      nudge();
      return {
        write(bytes) {
          text.chunks.push(bytes.slice());
          text.size += bytes.length;
          queued += bytes.length;
          peak = Math.max(peak, queued);
          countLines(text, bytes);
          nudge();
        },
        close() {
          text.closed = true;
          nudge();
        },
      };
    },
    // The program's record of a file (src/system_emscripten.js).
    outcome(record) {
      told.add(record.index);
      if (waiting.has(record.index)) waiting.get(record.index)();
      waiting.delete(record.index);
    },
    // Null, or a promise to wait for before the program writes to the
    // file descriptor `fd`: room in the queue, or a task's time for the
    // writer. The console (1 and 2) never waits: between a text's close
    // and its record the program writes only there, and the writer waits
    // for that record.
    pause(fd) {
      if (stopped) return new Promise(() => {});
      if (fd <= 2) return null;
      if (queued >= high) return new Promise((resolve) => { room = resolve; }).then(() => { lastYield = performance.now(); });
      if (performance.now() - lastYield < YIELD_MS) return null;
      return nextTask().then(() => { lastYield = performance.now(); });
    },
    // The most bytes that waited at once.
    peak: () => peak,
    // Whether it was stopped.
    stopped: () => stopped,
    // The program has ended: resolves once every text is written.
    async end() {
      programDone = true;
      waiting.forEach((resolve) => resolve());
      waiting.clear();
      nudge();
      await writing;
    },
    // Stops between two writes: the text being written is dropped.
    async stop() {
      stopped = true;
      nudge();
      if (current) await finishWritable(true);
      current = null;
    },
  };
}

// The WebAssembly function behind the module's export `name` (Module._x
// calls Module.asm[key] when first called; the build shortens the keys).
function rawExport(module, name) {
  const key = /\["asm"\]\["([^"]+)"\]/.exec(String(module[name]));
  if (key === null || typeof module.asm[key[1]] !== 'function') throw new Error(`no ${name} in quarvel's build`);
  return module.asm[key[1]];
}

// createQuarvel(options), with the program's writes (the import behind
// fd_write) made able to wait: before each, `pause(fd)` gives null or a
// promise to wait for (WebAssembly.Suspending, with JavaScript Promise
// Integration). The build is the one of the page; its imports are found
// by their functions' names.
async function suspendableQuarvel(options, pause) {
  const instantiate = WebAssembly.instantiate;
  let found = false;
  WebAssembly.instantiate = (binary, imports) => {
    for (const functions of Object.values(imports)) {
      for (const [key, write] of Object.entries(functions)) {
        if (typeof write !== 'function' || write.name !== '_fd_write') continue;
        found = true;
        functions[key] = new WebAssembly.Suspending((...args) => {
          const wait = pause(args[0]);
          return wait === null ? write(...args) : wait.then(() => write(...args));
        });
      }
    }
    return instantiate.call(WebAssembly, binary, imports);
  };
  try {
    const module = await createQuarvel(options);
    if (!found) throw new Error("no fd_write in quarvel's build");
    return module;
  } finally {
    WebAssembly.instantiate = instantiate;
  }
}

// Runs main of `module` (suspendableQuarvel) with `args`, as a function
// that may wait: resolves to its exit status. It ends through
// quarvelExit, as returning from main ends through exit.
async function runSuspendable(module, args) {
  const main = WebAssembly.promising(rawExport(module, '_main'));
  const exit = WebAssembly.promising(rawExport(module, '_quarvelExit'));
  const words = ['quarvel', ...args].map((arg) => new TextEncoder().encode(arg + '\0'));
  const argv = module.stackAlloc(4 * (words.length + 1));
  words.forEach((bytes, i) => {
    const at = module.stackAlloc(bytes.length);
    module.HEAPU8.set(bytes, at);
    module.HEAP32[(argv >> 2) + i] = at;
  });
  module.HEAP32[(argv >> 2) + words.length] = 0;
  try {
    await exit(await main(words.length, argv));
  } catch (error) {
    if (error && error.name === 'ExitStatus') return error.status;
    throw error;
  }
  throw new Error('quarvel did not exit');
}

// One table of the logs `logs` ({file, rows, logger}), as the command
// table writes it (QuarvelTable), kept in blobs of a piece each, which
// the browser may keep on disk.
async function table(request) {
  try {
    const helpers = await quarvelHelpers();
    const parts = [];
    let size = 0;
    const shape = QuarvelTable.write(request.logs, request, helpers.table, QuarvelBlocks, (bytes) => {
      parts.push(new Blob([bytes]));
      size += bytes.length;
    });
    postMessage({ type: 'table', id: request.id, blob: new Blob(parts, { type: 'text/csv' }), size, ...shape });
  } catch (error) {
    postMessage({ type: 'table', id: request.id, error: String(error && error.message || error) });
  }
}

let running = null;  // the folder writer of the run, if any

async function convert(request) {
  const terminal = consoleStreams();
  const { inputs } = request;
  const progress = progressReporter(inputs);
  const counters = inputs.map(() => QuarvelQuality.counter());
  const walkers = inputs.map((input, index) => QuarvelBlocks.walker(input.file.size, counters[index]));
  const poster = outputPoster(walkers, counters);
  const namer = QuarvelZip.entryNamer();
  const names = new Map();
  const name = (index) => {
    if (!names.has(index)) {
      const folders = inputs[index].given.split('/');
      names.set(index, namer(folders.pop() + '.txt', folders));
    }
    return names.get(index);
  };
  const records = [];
  // A file that is probably not a logger file: cut short, its first header's channel beyond a logger's.
  const stranger = (index) => {
    const rows = walkers[index].rows();
    return Boolean(records[index] && records[index].cut && rows.length && QuarvelBlocks.strangeChannel(rows[0]));
  };
  const writer = request.folder ? folderWriter(request.folder, inputs, await quarvelHelpers(), name,
    (index) => !request.keepStrangers && stranger(index), (item) => poster.add(item), request.queueBytes) : null;
  const texts = writer || keptTexts((item) => poster.add({ ...item, name: name(item.index) }));
  running = writer;
  const contents = await prefetch(inputs);
  contents.forEach((bytes, index) => walkers[index].feed(bytes, 0));
  const options = {
    thisProgram: 'quarvel',
    noInitialRun: true,
    quit: (status, toThrow) => { throw toThrow; },
    print: () => {},
    printErr: () => {},
    onFileOutcome: (record) => {
      records[record.index] = record;
      poster.outcome(record);
      if (writer) writer.outcome(record);
    },
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
      makeOutputDevices(FS, inputs, (index) => {
        progress.begun(index);
        return texts.open(index);
      });
      FS.chdir(WORK_DIR);
    }],
  };
  let module;
  let status;
  if (writer) {
    module = await suspendableQuarvel(options, writer.pause);
    status = await runSuspendable(module, request.args);
    await writer.end();
    // Stopped while the last texts were written: the run ends as stopped
    // (the page hears {type: 'stopped'}), whatever the program's status.
    if (writer.stopped()) return;
  } else {
    module = await createQuarvel(options);
    status = module.callMain(request.args);
  }
  running = null;
  terminal.flush();
  poster.end();
  progress.end();
  const memory = module.HEAPU8 ? module.HEAPU8.buffer.byteLength : 0;
  postMessage({ type: 'exit', status, memory, queuePeak: writer ? writer.peak() : 0 });
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
  if (event.data.type === 'table') {
    table(event.data);
    return;
  }
  if (event.data.type === 'stop') {
    (running ? running.stop() : Promise.resolve()).then(() => postMessage({ type: 'stopped' }));
    return;
  }
  convert(event.data).catch((error) => {
    postMessage({ type: 'text', stream: 2, text: 'quarvel page: ' + (error && error.message || error) + '\n' });
    postMessage({ type: 'exit', status: null, memory: 0 });
  });
};
