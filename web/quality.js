// The quality of a log's readings, counted from the raw counts of each
// block as the conversion's worker reads them: samples at the ADC's rails
// (clipped), one count held for long (stuck), and blocks of at most two
// counts (dead). The rules are those of `python3 -m quarvel check`.
// Used in the worker (counting, as the program reads each file) and in
// the page (the flags of a file, and of its blocks in the coverage).
/* global QuarvelBlocks */
const QuarvelQuality = (() => {
  'use strict';

  // Per block, COLUMNS int32 numbers: the samples counted; the samples at
  // -32768 and the longest run of them; the same at 32767; the longest run
  // of one count that is not a rail (the earliest of equal ones) and the
  // index of its first sample in the block; the distinct counts.
  const NAMES = ['samples', 'railLow', 'railLowRun', 'railHigh', 'railHighRun', 'longestStuck', 'stuckStart',
    'distinct'];
  const COLUMNS = NAMES.length;
  // The rails as big-endian 16-bit words read unsigned.
  const LOW = 0x8000;
  const HIGH = 0x7fff;
  const STUCK_SAMPLES = 50;  // a stuck run is at least this long...
  const STUCK_MS = 10000;  // ...and lasts at least this long
  const DEAD_SAMPLES = 100;  // a dead block has at least this many samples...
  const DEAD_DISTINCT = 2;  // ...of at most this many counts
  const CLIPPED = 1;
  const STUCK = 2;
  const DEAD = 4;

  // The distinct counts of a block are marked in a table of 65,536 stamps:
  // a count is new when its stamp is not the block's. A table is taken
  // for a block and given back at its end, so that no table is ever
  // cleared; a file read again from its start while another is half done
  // (quarvel reads the start of some files before the run) takes another.
  const spareTables = [];
  function takeTable() {
    const table = spareTables.pop() || { stamps: new Int32Array(65536), stamp: 0 };
    if (table.stamp === 0x7fffffff) {
      table.stamps.fill(0);
      table.stamp = 0;
    }
    table.stamp++;
    return table;
  }

  // Counts the blocks of one file: start(present) begins a block of
  // `present` samples, samples(bytes, from, end) takes the bytes of its
  // samples from `from` to `end` of `bytes`, in the file's order and each
  // once (QuarvelBlocks.walker hands them so), a sample possibly split
  // between two calls. stats() gives the COLUMNS numbers of each block
  // counted to its end, or null once lose() said that bytes were missed.
  function counter() {
    let stats = new Int32Array(COLUMNS * 8);
    let blocks = 0;
    let lost = false;
    // The block being counted: its samples (-1: none), those taken, the
    // run of the last word so far, the numbers so far, its table.
    const b = { present: -1, taken: 0, last: -1, run: 0, railLow: 0, lowRun: 0, railHigh: 0, highRun: 0, longest: 0,
      longestAt: 0, distinct: 0, table: null };
    let half = -1;  // the first byte of a sample split between calls

    const finish = () => {
      words(b, null, 0, 0);  // ends the last run
      if (b.table !== null) spareTables.push(b.table);
      b.table = null;
      if (COLUMNS * (blocks + 1) > stats.length) {
        const larger = new Int32Array(2 * stats.length);
        larger.set(stats);
        stats = larger;
      }
      stats.set([b.taken, b.railLow, b.lowRun, b.railHigh, b.highRun, b.longest, b.longestAt, b.distinct],
        COLUMNS * blocks++);
      b.present = -1;
    };
    return {
      start(samples) {
        if (b.table !== null) spareTables.push(b.table);
        Object.assign(b, { present: samples, taken: 0, last: -1, run: 0, railLow: 0, lowRun: 0, railHigh: 0,
          highRun: 0, longest: 0, longestAt: 0, distinct: 0, table: samples > 0 ? takeTable() : null });
        half = -1;
        if (samples === 0) finish();
      },
      samples(bytes, from, end) {
        if (lost || b.present <= 0 || from >= end) return;
        if (half >= 0) {
          words(b, Uint8Array.of(half, bytes[from]), 0, 2);
          half = -1;
          from++;
        }
        const even = from + ((end - from) & ~1);
        words(b, bytes, from, even);
        if (even < end) half = bytes[even];
        if (b.taken === b.present) finish();
      },
      lose() { lost = true; },
      stats: () => (lost ? null : stats.slice(0, COLUMNS * blocks)),
    };
  }

  // Takes into block `b` the samples of the big-endian 16-bit words of
  // `bytes` from `from` to `end` (even); with `bytes` null, ends its last
  // run. It sees every sample of a run: the numbers live in locals while
  // it runs.
  function words(b, bytes, from, end) {
    let { last, run, railLow, lowRun, railHigh, highRun, longest, longestAt, distinct } = b;
    const stamps = b.table && b.table.stamps;
    const stamp = b.table && b.table.stamp;
    let at = b.taken;
    const stop = bytes === null ? from + 2 : end;
    for (let i = from; i < stop; i += 2, at++) {
      const word = bytes === null ? -2 : (bytes[i] << 8) | bytes[i + 1];
      if (word === last) {
        run++;
        continue;
      }
      if (last === LOW) {
        railLow += run;
        if (run > lowRun) lowRun = run;
      } else if (last === HIGH) {
        railHigh += run;
        if (run > highRun) highRun = run;
      } else if (run > longest) {
        longest = run;
        longestAt = at - run;
      }
      if (word < 0) break;
      if (stamps[word] !== stamp) {
        stamps[word] = stamp;
        distinct++;
      }
      last = word;
      run = 1;
    }
    if (bytes === null) run = 0;
    Object.assign(b, { last, run, railLow, lowRun, railHigh, highRun, longest, longestAt, distinct, taken: at });
  }

  // The samples a stuck run needs in a block whose period word is
  // `period`: 50, or 10 s of samples when that is more; the period is read
  // as a signed 32-bit number of ms, and one of 0 or less needs 50.
  function stuckLength(period) {
    const ms = period | 0;
    return ms <= 0 ? STUCK_SAMPLES : Math.max(STUCK_SAMPLES, Math.ceil(STUCK_MS / ms));
  }

  // The flags of block `k` (CLIPPED, STUCK, DEAD) from its `stats` and
  // header `rows`.
  function blockFlags(stats, rows, k) {
    const at = COLUMNS * k;
    const period = rows[QuarvelBlocks.FIELDS * k + 1];
    return (stats[at + 1] + stats[at + 3] > 0 ? CLIPPED : 0)
      | (stats[at + 5] >= stuckLength(period) ? STUCK : 0)
      | (stats[at] >= DEAD_SAMPLES && stats[at + 7] <= DEAD_DISTINCT ? DEAD : 0);
  }

  // What a file's blocks show, from its header `rows` and `stats`: null
  // when they were not all counted, or else {flags (a Uint8Array of each
  // block's flags), any, clipped: {samples, blocks, run} (the samples at
  // the rails, in how many blocks, the longest run), stuck: {blocks,
  // longest, block, start} (the longest stuck run of a stuck block, its
  // block and first sample), dead: {blocks, samples}}; a kind not seen is
  // null.
  function fileFlags(rows, stats) {
    const count = rows.length / QuarvelBlocks.FIELDS;
    if (stats === null || stats === undefined || stats.length !== COLUMNS * count) return null;
    const flags = new Uint8Array(count);
    const found = { flags, any: false, clipped: null, stuck: null, dead: null };
    for (let k = 0; k < count; k++) {
      flags[k] = blockFlags(stats, rows, k);
      if (flags[k] === 0) continue;
      found.any = true;
      const at = COLUMNS * k;
      if (flags[k] & CLIPPED) {
        const c = found.clipped || (found.clipped = { samples: 0, blocks: 0, run: 0 });
        c.samples += stats[at + 1] + stats[at + 3];
        c.blocks++;
        c.run = Math.max(c.run, stats[at + 2], stats[at + 4]);
      }
      if (flags[k] & STUCK) {
        const s = found.stuck || (found.stuck = { blocks: 0, longest: 0, block: 0, start: 0 });
        s.blocks++;
        if (stats[at + 5] > s.longest) Object.assign(s, { longest: stats[at + 5], block: k, start: stats[at + 6] });
      }
      if (flags[k] & DEAD) {
        const d = found.dead || (found.dead = { blocks: 0, samples: 0 });
        d.blocks++;
        d.samples += stats[at];
      }
    }
    return found;
  }

  return { NAMES, COLUMNS, CLIPPED, STUCK, DEAD, counter, stuckLength, blockFlags, fileFlags };
})();

if (typeof module === 'object') module.exports = QuarvelQuality;
