// The zip's deflating worker (QuarvelPacker starts it): deflates text files
// with the browser's own CompressionStream("deflate-raw"), and writes each
// as its zip record, its local header (QuarvelZip.localRecord) and its
// deflated bytes, a batch of them into one Blob.
//
// Request {type: 'batch', n, date, entries: [{id, name, crc, size, data:
// bytes or Blob}]}. Reply {type: 'packed', n, blob, items: [{id, at (of its
// record in the blob), packed (its deflated size), size}]}, or {type:
// 'failed', error}.
/* global QuarvelZip */
'use strict';

// A large entry's deflated bytes are gathered into Blobs of this size
// while it is deflated, so that the worker holds little of it.
const GATHER = 4 * 1024 * 1024;

// Deflates `data`: its deflated size, and its bytes as a list of parts.
async function deflate(data) {
  const deflater = new CompressionStream('deflate-raw');
  let output;
  if (data instanceof Blob) output = data.stream().pipeThrough(deflater);
  else {
    const writer = deflater.writable.getWriter();
    writer.write(data);
    writer.close();
    output = deflater.readable;
  }
  const reader = output.getReader();
  const parts = [];
  let pending = [];
  let pendingSize = 0;
  let packed = 0;
  for (let piece = await reader.read(); !piece.done; piece = await reader.read()) {
    pending.push(piece.value);
    pendingSize += piece.value.length;
    packed += piece.value.length;
    if (pendingSize >= GATHER) {
      parts.push(new Blob(pending));
      pending = [];
      pendingSize = 0;
    }
  }
  return { packed, parts: [...parts, ...pending] };
}

async function packBatch({ n, date, entries }) {
  const records = [];
  const items = [];
  let at = 0;
  for (const entry of entries) {
    const { packed, parts } = await deflate(entry.data);
    const local = QuarvelZip.localRecord({ name: entry.name, crc: entry.crc, size: entry.size, packed }, date);
    records.push(local, ...parts);
    items.push({ id: entry.id, at, packed, size: entry.size });
    at += local.length + packed;
  }
  postMessage({ type: 'packed', n, blob: new Blob(records), items });
}

let queue = Promise.resolve();
onmessage = ({ data }) => {
  queue = queue.then(() => packBatch(data)).catch((error) => {
    postMessage({ type: 'failed', error: String(error && error.message || error) });
    queue = new Promise(() => {});  // nothing more from this worker
  });
};
