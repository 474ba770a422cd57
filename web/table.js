// One table of the files converted: a row per tick of a regular grid of
// `every` ms, a column per series (ch<N>, or <logger>/ch<N> with loggers),
// as CSV, byte for byte what `python3 -m quarvel table FILES --every E
// --method M --overlap O [--logger folder]` writes
// (doc/python-table.md defines the methods). Computed on integer ticks
// (ms since 1970): a block of n samples of period p > 0 covers [s, s + n·p);
// where blocks of a channel cover a tick together, its owner is the one
// that starts later (overlap "last") or earlier ("first"), blocks that
// start together taken in file order, then block order; a sample is kept
// when its own tick is owned by its block. Blocks of a period of 0, or one
// that runs backwards, cover nothing and are left out.
// Rows are made one at a time and handed on in pieces: only the block
// headers and a window of samples per column are held. Cells are spelled
// by quarvel's own code (`spell`): a sample as the converter writes its
// calData.
/* global FileReaderSync */
const QuarvelTable = (() => {
  'use strict';

  const METHODS = ['previous', 'exact', 'count', 'mean', 'min', 'max'];
  const AGGREGATIONS = ['count', 'mean', 'min', 'max'];
  const WINDOW = 32768;  // samples read at once, where a window serves several rows
  const PIECE = 1 << 20;  // bytes of text handed on at once

  // The blocks with samples of the files `logs` ([{file, rows, size}], rows
  // as QuarvelBlocks.walker gives them), in file then block order.
  function blocksOf(logs, blocks) {
    const all = [];
    logs.forEach(({ file, rows }, f) => {
      const { present, at } = blocks.extents(rows, file.size);
      for (let k = 0; k < present.length; k++) {
        if (present[k] === 0) continue;
        const w = blocks.FIELDS * k;
        all.push({ file: f, channel: rows[w], p: rows[w + 1] | 0, s: rows[w + 2] * 1000, n: present[k], at: at[k],
          gain: rows[w + 4] >>> 0, offset: rows[w + 5] >>> 0 });
      }
    });
    return all;
  }

  // The stretches [lo, hi) of time that each block of one channel owns, in
  // time order: a sweep over the ticks where blocks start and end, with a
  // heap of the blocks that cover (by their order: start, then file and block).
  function owners(blocks, overlap) {
    const order = blocks.map((b, i) => i).sort((a, b) => blocks[a].s - blocks[b].s || a - b);
    const rank = new Int32Array(blocks.length);
    order.forEach((b, r) => { rank[b] = r; });
    const ends = blocks.map((b) => b.s + b.n * b.p);
    const ticks = [...new Set([...blocks.map((b) => b.s), ...ends])].sort((a, b) => a - b);
    const better = overlap === 'first' ? (a, b) => rank[a] < rank[b] : (a, b) => rank[a] > rank[b];
    const heap = [];
    const push = (b) => {
      let i = heap.push(b) - 1;
      while (i > 0 && better(b, heap[(i - 1) >> 1])) [heap[i], i] = [heap[(i - 1) >> 1], (i - 1) >> 1];
      heap[i] = b;
    };
    const pop = () => {
      const last = heap.pop();
      if (heap.length === 0) return;
      let i = 0;
      for (;;) {
        let c = 2 * i + 1;
        if (c >= heap.length) break;
        if (c + 1 < heap.length && better(heap[c + 1], heap[c])) c++;
        if (!better(heap[c], last)) break;
        heap[i] = heap[c];
        i = c;
      }
      heap[i] = last;
    };
    const out = [];
    let next = 0;
    for (let t = 0; t + 1 < ticks.length; t++) {
      const tick = ticks[t];
      while (next < order.length && blocks[order[next]].s <= tick) push(order[next++]);
      while (heap.length && ends[heap[0]] <= tick) pop();
      if (heap.length === 0) continue;
      const owner = blocks[heap[0]];
      const last = out[out.length - 1];
      if (last && last.block === owner && last.hi === tick) last.hi = ticks[t + 1];
      else out.push({ lo: tick, hi: ticks[t + 1], block: owner });
    }
    return out;
  }

  // The samples of a channel's blocks, read through a window: raw(block, k).
  function sampleReader() {
    const reader = new FileReaderSync();
    let block = null;
    let from = 0;
    let view = new DataView(new ArrayBuffer(0));
    return (b, k, ahead) => {
      if (b !== block || k < from || k >= from + view.byteLength / 2) {
        const count = Math.min(b.n - k, ahead);
        view = new DataView(reader.readAsArrayBuffer(b.file.slice(b.at + 2 * k, b.at + 2 * (k + count))));
        [block, from] = [b, k];
      }
      return view.getInt16(2 * (k - from));
    };
  }

  // previous and exact: the cell of grid tick `t` of a channel, as the
  // bits of its calData, or null (no value). Ticks come in increasing order.
  function pointCells(segments, method, every, calibrate) {
    const raw = sampleReader();
    let i = 0;
    return (t) => {
      while (i < segments.length && segments[i].hi <= t) i++;
      if (i === segments.length || segments[i].lo > t) return null;
      const b = segments[i].block;
      const d = t - b.s;
      const k = Math.floor(d / b.p);
      if (method === 'exact' && d !== k * b.p) return null;
      return calibrate(raw(b, k, every < b.p * (WINDOW / 8) ? WINDOW : 1), b.gain, b.offset);
    };
  }

  // count, mean, min and max: the cell of the bin [t, t + every) of a
  // channel from its kept samples in tick order; bins come in order.
  function binCells(segments, method, every, calibrate) {
    const raw = sampleReader();
    const view = new DataView(new ArrayBuffer(8));
    let i = 0;
    let k = segments.length ? firstKept(segments[0]) : 0;
    return (t) => {
      let count = 0;
      let sum = 0;
      let nan = -1;  // the sign of the NaN the sum became, or the first NaN's bits for min and max
      let key = 0;
      for (; i < segments.length; i++, k = i < segments.length ? firstKept(segments[i]) : 0) {
        const { block: b, hi } = segments[i];
        const end = Math.min(b.n, Math.ceil((hi - b.s) / b.p));
        for (; k < end && b.s + k * b.p < t + every; k++) {
          count++;
          if (method === 'count') continue;
          const bits = calibrate(raw(b, k, WINDOW), b.gain, b.offset);
          const isNan = (bits & 0x7fffffff) > 0x7f800000;
          if (method === 'mean') {
            view.setUint32(0, bits);
            const value = view.getFloat32(0);
            // The sum starts from the first value (so -0 stays -0); its first NaN is a value's, or inf - inf's.
            if (nan < 0 && (isNan || Number.isNaN(sum + value))) nan = isNan ? bits >>> 31 : 1;
            sum = count === 1 ? value : sum + value;
          } else if (isNan) {
            if (nan === -1) nan = bits >>> 0;
          } else {
            const ordered = bits < 0 ? bits ^ 0x7fffffff : bits;  // as the floats, -0 below +0
            if (count === 1 || (method === 'min' ? ordered < key : ordered > key)) key = ordered;
          }
        }
        if (k < end) break;
      }
      if (count === 0) return method === 'count' ? { count } : null;
      if (method === 'count') return { count };
      if (method === 'mean') return nan >= 0 ? { nanSign: nan } : { double: sum / count };
      if (nan !== -1) return nan | 0;
      return key < 0 ? key ^ 0x7fffffff : key;
    };
  }

  const firstKept = (segment) => Math.max(0, Math.ceil((segment.lo - segment.block.s) / segment.block.p));

  // The series (logger, channel) of `blocks`, by logger (in order of code
  // points, as Python sorts names), then channel.
  function seriesOf(blocks) {
    const points = (name) => [...name].map((c) => c.codePointAt(0));
    const byName = (a, b) => {
      if (a === null || b === null) return a === b ? 0 : a === null ? -1 : 1;
      const [x, y] = [points(a), points(b)];
      for (let i = 0; i < x.length && i < y.length; i++) if (x[i] !== y[i]) return x[i] - y[i];
      return x.length - y.length;
    };
    const keys = new Map();
    for (const { logger, channel } of blocks) keys.set(JSON.stringify([logger, channel]), { logger, channel });
    return [...keys.values()].sort((a, b) => byName(a.logger, b.logger) || a.channel - b.channel);
  }

  // A column's name as a CSV field: one that starts with =, +, - or @ gets
  // a leading ' (no spreadsheet takes it for a formula); one that holds a
  // comma, a double quote, CR or LF goes between double quotes (RFC 4180).
  function columnName(name) {
    const safe = /^[=+\-@]/.test(name) ? `'${name}` : name;
    return /[,"\r\n]/.test(safe) ? `"${safe.replace(/"/g, '""')}"` : safe;
  }

  // Writes the time field of a tick into `out` at `at`: seconds with three
  // decimals, from integers ("-0.500"). Returns where it ends.
  function putTime(out, at, tick) {
    const ms = Math.abs(tick);
    if (tick < 0) out[at++] = 45;  // '-'
    const whole = Math.floor(ms / 1000);
    let end = at;
    for (let m = whole; end === at || m > 0; m = Math.floor(m / 10)) end++;
    for (let m = whole, k = end; k > at; m = Math.floor(m / 10)) out[--k] = 48 + (m % 10);
    const part = ms - whole * 1000;
    out[end] = 46;  // '.'
    out[end + 1] = 48 + Math.floor(part / 100);
    out[end + 2] = 48 + (Math.floor(part / 10) % 10);
    out[end + 3] = 48 + (part % 10);
    return end + 4;
  }

  // Writes the table of the files `logs` ({file, rows, logger: null for
  // one logger, or its name}) to `write(bytes)`,
  // a piece at a time. `quarvel` spells numbers: calibrate(raw, gainBits,
  // offsetBits) → the calData's bits, sample(out, bits) and
  // double(out, high, low) write "%f" into `out` and give its length.
  // Returns {rows, columns}.
  function write(logs, { every, method = 'previous', overlap = 'last' }, quarvel, blocks, write) {
    if (!METHODS.includes(method)) throw new Error(`no method ${method}`);
    const all = blocksOf(logs, blocks).map((b) => ({ ...b, logger: logs[b.file].logger, file: logs[b.file].file }));
    const series = seriesOf(all);
    const used = all.filter((b) => b.p > 0);
    let first = 0;
    let last = -1;
    if (used.length) {
      first = Infinity;
      last = -Infinity;
      for (const b of used) {
        first = Math.min(first, b.s);
        last = Math.max(last, b.s + (b.n - 1) * b.p);
      }
      first = Math.floor(first / every) * every;
    }
    const rows = last >= first ? Math.floor((last - first) / every) + 1 : 0;
    const make = AGGREGATIONS.includes(method) ? binCells : pointCells;
    const columns = series.map(({ logger, channel }) => make(owners(used.filter((b) => b.channel === channel
      && b.logger === logger), overlap), method, every, quarvel.calibrate));
    const out = new Uint8Array(PIECE + 4096);
    const encoder = new TextEncoder();
    let filled = 0;
    const flush = () => {
      write(out.slice(0, filled));
      filled = 0;
    };
    const put = (text) => {
      filled += encoder.encodeInto(text, out.subarray(filled)).written;
    };
    put(['time', ...series.map(({ logger, channel }) => columnName(logger === null ? `ch${channel}`
      : `${logger}/ch${channel}`))].join(',') + '\r\n');
    const view = new DataView(new ArrayBuffer(8));
    for (let r = 0; r < rows; r++) {
      const t = first + r * every;
      filled = putTime(out, filled, t);
      for (const cell of columns) {
        if (filled >= PIECE) flush();
        out[filled++] = 44;  // ','
        const value = cell(t);
        if (value === null) continue;
        if (typeof value === 'number') filled += quarvel.sample(out, filled, value);
        else if (value.count !== undefined) put(String(value.count));
        else if (value.nanSign !== undefined) put(value.nanSign ? '-nan' : 'nan');
        else {
          view.setFloat64(0, value.double);
          filled += quarvel.double(out, filled, view.getUint32(0), view.getUint32(4));
        }
      }
      out[filled++] = 13;
      out[filled++] = 10;
    }
    flush();
    return { rows, columns: series.length };
  }

  return { METHODS, write };
})();

if (typeof module === 'object') module.exports = QuarvelTable;
