// Deflates the text files for the zip as they come, in workers beside the
// conversion (deflater.js, with the browser's own CompressionStream): the
// page keeps each text once, and hands a worker a copy of a few at a time
// (or a Blob, which is not copied). Each batch comes back as one Blob of
// whole zip records, which stay there until the zip is made of them.
/* global QUARVEL_PACKER_SOURCE */
const QuarvelPacker = (() => {
  'use strict';

  const AHEAD = 16 * 1024 * 1024;  // text bytes handed to a worker and not yet deflated, at most
  // Entries go in batches of up to BATCH_BYTES or BATCH_ENTRIES: a message
  // and a Blob per small text file would cost more than deflating it.
  const BATCH_BYTES = 1024 * 1024;
  const BATCH_ENTRIES = 256;
  const MOST_WORKERS = 4;

  let workerUrl = null;  // kept: a worker may fetch its script after it is made

  // Whether this browser deflates with CompressionStream.
  function supported() {
    try {
      return typeof CompressionStream === 'function' && Boolean(new CompressionStream('deflate-raw'));
    } catch (e) {
      return false;
    }
  }

  // A pool of workers that deflate the entries of a zip made on `date`.
  // add(id, entry) queues one ({name, crc, size, data: bytes, copied when
  // handed over, or a Blob}), in the order of the zip; end() resolves, once
  // every entry is deflated, to {records (Blobs of their zip records, in
  // order), size (their bytes), entries: Map id → {offset, packed}}, or
  // rejects if a worker failed. `onProgress(bytes)` is told how many text
  // bytes are deflated. stop() ends the workers.
  function create(date, onProgress) {
    if (workerUrl === null) {
      workerUrl = URL.createObjectURL(new Blob([QUARVEL_PACKER_SOURCE], { type: 'text/javascript' }));
    }
    const count = Math.min(Math.max(navigator.hardwareConcurrency || 2, 1), MOST_WORKERS);
    // While the conversion runs, one core is left to it, so that its
    // results come as soon as without a zip; end() sets every worker going.
    let active = Math.max(count - 1, 1);
    const waiting = [];
    const batches = [];  // by number: {blob, items}
    let sent = 0;
    let deflated = 0;
    let ending = null;
    let failure = null;
    const settle = () => {
      if (failure && ending) ending.reject(new Error(failure));
      if (failure || !ending || waiting.length || batches.length < sent || batches.includes(undefined)) return;
      const entries = new Map();
      let size = 0;
      for (const { blob, items } of batches) {
        for (const item of items) entries.set(item.id, { offset: size + item.at, packed: item.packed });
        size += blob.size;
      }
      ending.resolve({ records: batches.map((batch) => batch.blob), size, entries });
    };
    let scheduled = false;
    const dispatch = () => {
      scheduled = false;
      while (waiting.length) {
        const next = pool.slice(0, active).reduce((best, w) => (w.ahead < best.ahead ? w : best));
        if (next.ahead > 0 && next.ahead + waiting[0].size > AHEAD) break;
        let bytes = waiting[0].size;
        let taken = 1;
        while (taken < Math.min(waiting.length, BATCH_ENTRIES) && bytes + waiting[taken].size <= BATCH_BYTES) {
          bytes += waiting[taken++].size;
        }
        next.ahead += bytes;
        next.port.postMessage({ type: 'batch', n: sent++, date, entries: waiting.splice(0, taken) });
      }
    };
    const pool = Array.from({ length: count }, () => {
      const w = { port: new Worker(workerUrl), ahead: 0 };
      // A worker that cannot start, fails outside a batch or cannot read a
      // message would never answer: the zip is stored instead.
      w.port.onerror = (event) => {
        event.preventDefault();
        failure = failure || `a worker failed: ${event.message || 'it did not start'}`;
        settle();
      };
      w.port.onmessageerror = () => {
        failure = failure || 'a worker could not read a message';
        settle();
      };
      w.port.onmessage = ({ data }) => {
        if (data.type === 'failed') failure = data.error;
        else {
          const size = data.items.reduce((sum, item) => sum + item.size, 0);
          w.ahead -= size;
          deflated += size;
          batches[data.n] = { blob: data.blob, items: data.items };
          onProgress(deflated);
          dispatch();
        }
        settle();
      };
      return w;
    });
    return {
      // Entries added in one task go out together.
      add(id, entry) {
        waiting.push({ id, ...entry });
        if (!scheduled) queueMicrotask(dispatch);
        scheduled = true;
      },
      end() {
        return new Promise((resolve, reject) => {
          ending = { resolve, reject };
          active = count;
          dispatch();
          settle();
        });
      },
      stop() {
        pool.forEach((w) => w.port.terminate());
      },
    };
  }

  return { supported, create };
})();
