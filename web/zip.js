// A zip archive of text files, stored without compression: the few headers
// that the format needs around each file's bytes, which stay in their blobs.
// Entries: [{name, blob, size, crc}] with the CRC-32 already computed.
// Sizes and offsets must stay below 4 GB (no zip64).
'use strict';

const ZIP_LIMIT = 0xffffffff;

// MS-DOS date and time of `date`, as zip stores them.
function dosDateTime(date) {
  const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
  const day = ((Math.max(date.getFullYear(), 1980) - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
  return { time, day };
}

function zipRecord(fields) {
  const size = fields.reduce((sum, [width, value]) => sum + (width === 0 ? value.length : width), 0);
  const bytes = new Uint8Array(size);
  const view = new DataView(bytes.buffer);
  let at = 0;
  for (const [width, value] of fields) {
    if (width === 2) view.setUint16(at, value, true);
    else if (width === 4) view.setUint32(at, value, true);
    else bytes.set(value, at);
    at += width === 0 ? value.length : width;
  }
  return bytes;
}

// Returns a Blob of the archive, or null when it would pass 4 GB.
function makeZip(entries, date) {
  const { time, day } = dosDateTime(date);
  const encoder = new TextEncoder();
  const parts = [];
  const directory = [];
  let offset = 0;
  for (const entry of entries) {
    const name = encoder.encode(entry.name);
    // Version 2.0, flag bit 11: the name is UTF-8; method 0: stored.
    const common = [[2, 20], [2, 0x0800], [2, 0], [2, time], [2, day], [4, entry.crc], [4, entry.size],
      [4, entry.size], [2, name.length], [2, 0]];
    const local = zipRecord([[4, 0x04034b50], ...common, [0, name]]);
    directory.push(zipRecord([[4, 0x02014b50], [2, 20], ...common, [2, 0], [2, 0], [2, 0], [4, 0], [4, offset],
      [0, name]]));
    parts.push(local, entry.blob);
    offset += local.length + entry.size;
    if (offset > ZIP_LIMIT) return null;
  }
  const directorySize = directory.reduce((sum, record) => sum + record.length, 0);
  if (offset + directorySize > ZIP_LIMIT || entries.length > 0xffff) return null;
  const end = zipRecord([[4, 0x06054b50], [2, 0], [2, 0], [2, entries.length], [2, entries.length],
    [4, directorySize], [4, offset], [2, 0]]);
  return new Blob([...parts, ...directory, end], { type: 'application/zip' });
}
