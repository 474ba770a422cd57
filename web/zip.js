// A zip archive of the text files: the few headers that the format needs
// around each file's bytes, stored as they are (they stay in their blobs)
// or deflated (QuarvelPacker). The CRC-32 it needs is computed as the text
// is written. Entry names are safe to extract anywhere; past 65,535
// entries or 4 GB the archive is a zip64 one.
const QuarvelZip = (() => {
  'use strict';

  const LIMIT_16 = 0xffff;
  const LIMIT_32 = 0xffffffff;
  const VERSION_NEEDED = 20;  // 2.0: what a stored or deflated entry needs
  const METHOD_DEFLATED = 8;
  const VERSION_ZIP64 = 45;
  const MADE_ON_UNIX = 3 << 8;
  const FLAG_UTF8 = 0x0800;  // names are UTF-8
  const UNIX_FILE_MODE = 0o100644;

  // CRC-32 (the zip one), eight bytes a step: table k gives the CRC of a
  // byte followed by k zero bytes.
  const CRC_TABLES = (() => {
    const tables = new Int32Array(8 * 256);
    for (let n = 0; n < 256; n++) {
      let c = n;
      for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      tables[n] = c;
    }
    for (let n = 0; n < 256; n++) {
      for (let t = 1; t < 8; t++) {
        const previous = tables[(t - 1) * 256 + n];
        tables[t * 256 + n] = (previous >>> 8) ^ tables[previous & 0xff];
      }
    }
    return tables;
  })();

  // The CRC-32 of `bytes` (a Uint8Array), continued from `crc`.
  function crc32(crc, bytes) {
    const t = CRC_TABLES;
    let c = ~crc;
    let i = 0;
    for (const end = bytes.length - (bytes.length & 7); i < end; i += 8) {
      const low = c ^ (bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (bytes[i + 3] << 24));
      c = t[1792 + (low & 0xff)] ^ t[1536 + ((low >>> 8) & 0xff)] ^ t[1280 + ((low >>> 16) & 0xff)]
        ^ t[1024 + (low >>> 24)] ^ t[768 + bytes[i + 4]] ^ t[512 + bytes[i + 5]] ^ t[256 + bytes[i + 6]]
        ^ t[bytes[i + 7]];
    }
    for (; i < bytes.length; i++) c = t[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return ~c >>> 0;
  }

  // The bidirectional controls, which make a name show as another (a
  // character class's contents).
  const BIDI_CONTROLS = '\\u061c\\u200e\\u200f\\u202a-\\u202e\\u2066-\\u2069';
  // Characters that Windows, macOS or Linux read as a separator, a drive or
  // a control, or that Windows refuses in a name; the bidirectional
  // controls; and lone surrogates, which UTF-8 cannot hold (so two of them
  // would give one name).
  const UNSAFE = new RegExp(`[\\u0000-\\u001f\\u007f-\\u009f/\\\\:*?"<>|${BIDI_CONTROLS}]|\\p{Cs}`, 'gu');
  // The names Windows keeps for its devices, also before an extension, and
  // with the spaces after them, which Windows ignores.
  const DEVICE = /^(con|prn|aux|nul|com[0-9¹²³]|lpt[0-9¹²³]|conin\$|conout\$|clock\$) *(\.|$)/i;
  const NAME_LIMIT = 255;  // UTF-8 bytes (Linux), UTF-16 code units (Windows, macOS)
  const EXTENSION_LIMIT = 16;  // the longest extension kept whole when a name is cut
  const encoder = new TextEncoder();

  // The sizes of `text` against NAME_LIMIT: its UTF-8 bytes, and its
  // UTF-16 code units once decomposed as macOS's HFS+ stores it (as given,
  // they are never more than its bytes). Each adds up code point by code
  // point.
  const nameSizes = (text) => [encoder.encode(text).length, text.normalize('NFD').length];

  // What names are compared by: two names of one key meet where case
  // (Windows, macOS) or Unicode normalisation (macOS) is ignored.
  const meetingKey = (name) => name.normalize('NFD').toUpperCase().toLowerCase().normalize('NFD');

  // `name` as [head, middle, last]: `last` its last extension and `middle`
  // the one before it, each when it is at most EXTENSION_LIMIT long (''
  // otherwise), and `head` the rest.
  function nameParts(name) {
    const parts = [name, '', ''];
    for (const at of [2, 1]) {
      const dot = parts[0].lastIndexOf('.');
      if (dot <= 0 || parts[0].length - dot > EXTENSION_LIMIT) break;
      parts[at] = parts[0].slice(dot);
      parts[0] = parts[0].slice(0, dot);
    }
    return parts;
  }

  // The name of `parts` with " (k)" before its last extension when k > 1,
  // its head cut a code point at a time until the name fits, and a space or
  // a dot at its end (which Windows drops) made '_'.
  function candidateName([head, middle, last], k) {
    const tail = middle + (k > 1 ? ` (${k})` : '') + last;
    const points = Array.from(head);
    let [bytes, units] = nameSizes(head + tail);
    while ((bytes > NAME_LIMIT || units > NAME_LIMIT) && points.length > 0) {
      const [pointBytes, pointUnits] = nameSizes(points.pop());
      bytes -= pointBytes;
      units -= pointUnits;
    }
    return (points.join('') + tail).replace(/[ .]+$/, (end) => '_'.repeat(end.length));
  }

  // Gives each name (the base name of a file) it is called with, in turn,
  // within its folders (the names of the folders it lies in, outermost
  // first), a path of the same folders that extracts as one file,
  // wherever. In each name, of a file or a folder, unsafe characters become
  // '_', a device name gets '_' in front and a long name is cut; a name
  // that an earlier one took in the same folder (see meetingKey) gets
  // " (2)", " (3)"... before its last extension: a file, and a folder other
  // than one given before, so that the files of two folders are never put
  // in one. The folders of a path are taken when first given.
  function entryNamer() {
    const taken = new Set();
    // By the key of a path without " (k)", the k it took last: where the
    // next path of that key starts looking, so that many files of one name
    // take no quadratic time.
    const nextK = new Map();
    const folders = new Map();  // a folder's names as given → its path in the zip, with a '/' at its end
    const place = (parent, name) => {
      let safe = name.replace(UNSAFE, '_');
      if (safe === '' || DEVICE.test(safe)) safe = '_' + safe;
      const parts = nameParts(safe);
      const plain = meetingKey(parent + candidateName(parts, 1));
      let k = nextK.get(plain) || 1;
      let unique = parent + candidateName(parts, k);
      while (taken.has(meetingKey(unique))) unique = parent + candidateName(parts, ++k);
      nextK.set(plain, k);
      taken.add(meetingKey(unique));
      return unique;
    };
    return (name, within = []) => {
      let parent = '';
      within.forEach((folder, k) => {
        const key = JSON.stringify(within.slice(0, k + 1));
        if (!folders.has(key)) folders.set(key, place(parent, folder) + '/');
        parent = folders.get(key);
      });
      return place(parent, name);
    };
  }

  // The names entryNamer gives `names`, in order: each a name, or [name,
  // folders].
  const entryNames = (names) => {
    const namer = entryNamer();
    return names.map((name) => (Array.isArray(name) ? namer(...name) : namer(name)));
  };

  // MS-DOS date and time of `date`, as zip stores them.
  function dosDateTime(date) {
    const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
    const day = ((Math.min(Math.max(date.getFullYear(), 1980), 2107) - 1980) << 9) | ((date.getMonth() + 1) << 5)
      | date.getDate();
    return { time, day };
  }

  // Bytes of little-endian fields: [width, value], width 2, 4 or 8, or 0
  // for a byte array.
  function record(fields) {
    const size = fields.reduce((sum, [width, value]) => sum + (width === 0 ? value.length : width), 0);
    const bytes = new Uint8Array(size);
    const view = new DataView(bytes.buffer);
    let at = 0;
    for (const [width, value] of fields) {
      if (width === 2) view.setUint16(at, value, true);
      else if (width === 4) view.setUint32(at, value, true);
      else if (width === 8) view.setBigUint64(at, BigInt(value), true);
      else bytes.set(value, at);
      at += width === 0 ? value.length : width;
    }
    return bytes;
  }

  // The zip64 extra field holding `values` (8 bytes each).
  function zip64Extra(values) {
    return values.length === 0 ? new Uint8Array(0)
      : record([[2, 0x0001], [2, 8 * values.length], ...values.map((value) => [8, value])]);
  }

  // Whether an entry, or an archive, needs zip64 records.
  const bigEntry = (entry, force) => force || entry.size >= LIMIT_32 || (entry.packed || 0) >= LIMIT_32;

  // The fields that an entry's local and central headers share: `entry`
  // is {name, crc, size, packed}, stored when `packed` (its deflated size)
  // is undefined, made on `date`.
  function commonFields(entry, date, big) {
    const { time, day } = dosDateTime(date);
    const deflated = entry.packed !== undefined;
    const packed = deflated ? entry.packed : entry.size;
    return [[2, FLAG_UTF8], [2, deflated ? METHOD_DEFLATED : 0], [2, time], [2, day], [4, entry.crc],
      [4, big ? LIMIT_32 : packed], [4, big ? LIMIT_32 : entry.size]];
  }

  // The local header of `entry` (see commonFields), which its bytes follow.
  // `force` writes zip64 records where they are not needed (for tests).
  function localRecord(entry, date, force = false) {
    const name = encoder.encode(entry.name);
    const big = bigEntry(entry, force);
    const extra = zip64Extra(big ? [entry.size, entry.packed === undefined ? entry.size : entry.packed] : []);
    return record([[4, 0x04034b50], [2, big ? VERSION_ZIP64 : VERSION_NEEDED], ...commonFields(entry, date, big),
      [2, name.length], [2, extra.length], [0, name], [0, extra]]);
  }

  // The central directory's header of `entry`, whose local header is at
  // `offset`.
  function centralRecord(entry, offset, date, force = false) {
    const name = encoder.encode(entry.name);
    const big = bigEntry(entry, force);
    const bigOffset = force || offset >= LIMIT_32;
    const version = big || bigOffset ? VERSION_ZIP64 : VERSION_NEEDED;
    const extra = zip64Extra([...(big ? [entry.size, entry.packed === undefined ? entry.size : entry.packed] : []),
      ...(bigOffset ? [offset] : [])]);
    return record([[4, 0x02014b50], [2, MADE_ON_UNIX | version], [2, version], ...commonFields(entry, date, big),
      [2, name.length], [2, extra.length], [2, 0], [2, 0], [2, 0], [4, (UNIX_FILE_MODE << 16) >>> 0],
      [4, bigOffset ? LIMIT_32 : offset], [0, name], [0, extra]]);
  }

  // A Blob of the archive whose entries' local records (headers and bytes)
  // are `records` (Blobs or bytes, `size` bytes in all), for `entries`
  // (see localRecord, each with the `offset` of its local header).
  function finishZip(records, size, entries, date, force = false) {
    const directory = entries.map((entry) => centralRecord(entry, entry.offset, date, force));
    const directorySize = directory.reduce((sum, bytes) => sum + bytes.length, 0);
    const count = entries.length;
    const tail = [];
    if (force || count >= LIMIT_16 || directorySize >= LIMIT_32 || size >= LIMIT_32) {
      tail.push(record([[4, 0x06064b50], [8, 44], [2, MADE_ON_UNIX | VERSION_ZIP64], [2, VERSION_ZIP64], [4, 0], [4, 0],
        [8, count], [8, count], [8, directorySize], [8, size]]));
      tail.push(record([[4, 0x07064b50], [4, 0], [8, size + directorySize], [4, 1]]));
    }
    tail.push(record([[4, 0x06054b50], [2, 0], [2, 0], [2, Math.min(count, LIMIT_16)], [2, Math.min(count, LIMIT_16)],
      [4, Math.min(directorySize, LIMIT_32)], [4, Math.min(size, LIMIT_32)], [2, 0]]));
    return new Blob([...records, ...directory, ...tail], { type: 'application/zip' });
  }

  // Some of the local records `records` (Blobs or bytes, in order):
  // those of `entries` (see localRecord, each with the `offset` of its
  // local header there, and `packed`), in their order, made on `date`.
  // Returns {records, size, entries} for finishZip, each entry with its
  // offset among the records picked. The Blobs are sliced, not copied, a
  // slice per run of records that follow each other: the browser keeps
  // each Blob apart, and one per file of ten thousand costs 100 MB.
  function pickRecords(records, entries, date) {
    const all = new Blob(records);
    const runs = [];  // [start, end] in `all`
    let size = 0;
    const placed = entries.map((entry) => {
      const length = localRecord(entry, date).length + (entry.packed === undefined ? entry.size : entry.packed);
      const last = runs[runs.length - 1];
      if (last && last[1] === entry.offset) last[1] += length;
      else runs.push([entry.offset, entry.offset + length]);
      const offset = size;
      size += length;
      return { ...entry, offset };
    });
    return { records: runs.map(([start, end]) => all.slice(start, end)), size, entries: placed };
  }

  // A Blob of the archive of `entries` (see localRecord, and `data`: the
  // text as a Blob or bytes, or when `packed` its deflated bytes, or a list
  // of them), made on `date`.
  function makeZip(entries, date, force = false) {
    const records = [];
    let size = 0;
    const placed = entries.map((entry) => {
      const local = localRecord(entry, date, force);
      records.push(local, ...(Array.isArray(entry.data) ? entry.data : [entry.data]));
      const offset = size;
      size += local.length + (entry.packed === undefined ? entry.size : entry.packed);
      return { ...entry, offset };
    });
    return finishZip(records, size, placed, date, force);
  }

  return { crc32, entryNamer, entryNames, localRecord, pickRecords, finishZip, makeZip, BIDI_CONTROLS };
})();

if (typeof module === 'object') module.exports = QuarvelZip;
