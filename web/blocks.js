// The blocks of a logger file as the converter reads them, from their
// headers alone: a 24-byte big-endian header (channel, period in ms, first
// sample time, declared samples, gain, offset), then its 16-bit samples.
// Used in the worker (reading headers as the program reads its files, and
// for the plot) and in the page (the batch's coverage, and telling files
// that are not logs).
const QuarvelBlocks = (() => {
  'use strict';

  const HEADER_SIZE = 24;
  const FIELDS = 6;  // int32 words of a header
  // A logger's channel lies from -2^24 to 2^24 - 1: the first byte of its
  // file is 0x00 or 0xFF.
  const CHANNEL_LIMIT = 2 ** 24;
  const TICK_SAFE = 2 ** 52;

  // Collects the headers of a file of `size` bytes from pieces of it, as a
  // program reads them: feed(bytes, position) takes the bytes at
  // `position`, from pieces in the file's order, which may overlap or be
  // read again; wanted() is the position of the next header byte still
  // missing, or -1 when every header is there (the file ends, or a block
  // runs past its end and ends it). rows() gives the headers, FIELDS int32
  // words each. `counter` (QuarvelQuality.counter), when given, is handed
  // the samples of each block, each byte once, as they come.
  function walker(size, counter = null) {
    let rows = new Int32Array(FIELDS * 4);
    let count = 0;
    let next = 0;  // where the next header starts
    const partial = new Uint8Array(HEADER_SIZE);
    let have = 0;  // bytes of it in `partial`
    let done = size < HEADER_SIZE;
    let samplesAt = 0;  // the next sample byte for `counter`...
    let samplesEnd = 0;  // ...and the end of the block's samples
    const take = () => {
      if (FIELDS * (count + 1) > rows.length) {
        const larger = new Int32Array(2 * rows.length);
        larger.set(rows);
        rows = larger;
      }
      const at = FIELDS * count++;
      for (let k = 0; k < FIELDS; k++) {
        const b = 4 * k;
        rows[at + k] = (partial[b] << 24) | (partial[b + 1] << 16) | (partial[b + 2] << 8) | partial[b + 3];
      }
      const declared = rows[at + 3];
      const room = Math.floor((size - next - HEADER_SIZE) / 2);
      if (counter !== null) {
        samplesAt = next + HEADER_SIZE;
        samplesEnd = samplesAt + 2 * Math.max(Math.min(declared, room), 0);
        counter.start((samplesEnd - samplesAt) / 2);
      }
      next += HEADER_SIZE + 2 * Math.max(declared, 0);
      have = 0;
      done = declared > room || next + HEADER_SIZE > size;
    };
    // Hands `counter` the samples in `bytes` at `position`; false when it
    // wants bytes before or beyond them.
    const countSamples = (bytes, position) => {
      const from = samplesAt - position;
      if (from < 0) {
        counter.lose();  // bytes were skipped: nothing counted is whole
        samplesAt = samplesEnd;
        return true;
      }
      if (from >= bytes.length) return false;
      const n = Math.min(samplesEnd - samplesAt, bytes.length - from);
      counter.samples(bytes, from, from + n);
      samplesAt += n;
      return samplesAt === samplesEnd;
    };
    return {
      feed(bytes, position) {
        for (;;) {
          if (samplesAt < samplesEnd && !countSamples(bytes, position)) return;
          if (done) return;
          const from = next + have - position;
          if (from < 0 || from >= bytes.length) return;
          const n = Math.min(HEADER_SIZE - have, bytes.length - from);
          partial.set(bytes.subarray(from, from + n), have);
          have += n;
          if (have < HEADER_SIZE) return;
          take();
        }
      },
      wanted: () => (done ? -1 : next + have),
      rows: () => rows.slice(0, FIELDS * count),
    };
  }

  const bits = new DataView(new ArrayBuffer(4));
  const float32 = (word) => {
    bits.setInt32(0, word);
    return bits.getFloat32(0);
  };

  // Header `k` of `rows` as numbers: the period as the header holds it
  // (unsigned), gain and offset as binary32 values.
  function header(rows, k) {
    const at = FIELDS * k;
    return { channel: rows[at], period: rows[at + 1] >>> 0, time: rows[at + 2], declared: rows[at + 3],
      gain: float32(rows[at + 4]), offset: float32(rows[at + 5]) };
  }

  // The samples each header of `rows` has in a file of `size` bytes, and
  // the byte offset of its first sample: a block that runs past the end of
  // the file has those before it.
  function extents(rows, size) {
    const count = rows.length / FIELDS;
    const present = new Float64Array(count);
    const at = new Float64Array(count);
    let position = 0;
    for (let k = 0; k < count; k++) {
      const declared = rows[FIELDS * k + 3];
      at[k] = position + HEADER_SIZE;
      present[k] = Math.max(0, Math.min(declared, Math.floor((size - at[k]) / 2)));
      position = at[k] + 2 * Math.max(declared, 0);
    }
    return { present, at };
  }

  // The tick of sample `i` of a block whose header holds `time` and
  // `period`: its exact time in integer ms since 1970, time × 1000 + i ×
  // period, the period read as a signed 32-bit number as the converter
  // reads it. A Number while it lies within ±2^52 ms (some 142,000 years,
  // where the difference of any two such ticks is exact too), a BigInt
  // beyond: a period near 2^31 ms gives ticks up to about 4.6·10^18. A
  // product past 2^53 rounds, but then the sum lies beyond 2^52 and is
  // made again in BigInts.
  function tick(time, period, i) {
    const ms = time * 1000 + i * (period | 0);
    return Math.abs(ms) <= TICK_SAFE ? ms : BigInt(time) * 1000n + BigInt(i) * BigInt(period | 0);
  }

  // Whether a channel is beyond any logger's: a file whose first header
  // names one, and that the converter finds cut short, is probably not a
  // logger file.
  const strangeChannel = (channel) => channel < -CHANNEL_LIMIT || channel >= CHANNEL_LIMIT;

  return { HEADER_SIZE, FIELDS, walker, header, extents, tick, strangeChannel };
})();

if (typeof module === 'object') module.exports = QuarvelBlocks;
