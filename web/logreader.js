// The plot's reader of logger files, in the worker: the blocks of a file,
// and per channel the least and greatest calibrated value in each column of
// the time axis (QuarvelAxis). Times are ticks, each sample's exact time
// (QuarvelBlocks.tick), not the text files' running sum, which drifts from
// them; values are raw × gain + offset rounded to single precision, as in
// the text files. Reads the file in windows: memory stays small whatever
// its size.
/* global FileReaderSync, QuarvelAxis, QuarvelBlocks */
const QuarvelLogReader = (() => {
  'use strict';

  const { HEADER_SIZE } = QuarvelBlocks;
  const WINDOW = 1 << 20;
  const MOST_CHANNELS = 8;  // drawn at once

  // Reads `file` through a window of WINDOW bytes: bytes(start, length)
  // returns a DataView and the position of `start` in it. Reads that go on
  // through the file cost one read per window.
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

  // The blocks of `file` that hold samples, as the program reads them: a
  // block whose samples run past the end of the file is cut there and ends
  // the file. Returns {blocks (columns: channel, period (ms, signed), time
  // (the first sample's tick), last (the last one's tick), count, gain,
  // offset, at), headers, cut, channels: Map channel → samples}. Ticks
  // past 2^52 ms are kept as the nearest Number: the plot draws them to a
  // pixel, not to the ms.
  function readBlocks(file) {
    const bytes = byteWindow(file);
    const walk = QuarvelBlocks.walker(file.size);
    for (let at = walk.wanted(); at >= 0; at = walk.wanted()) {
      const [view, i] = bytes(at, HEADER_SIZE);
      walk.feed(new Uint8Array(view.buffer, view.byteOffset + i, HEADER_SIZE), at);
    }
    const rows = walk.rows();
    const headers = rows.length / QuarvelBlocks.FIELDS;
    const { present, at } = QuarvelBlocks.extents(rows, file.size);
    const columns = { channel: new Int32Array(headers), period: new Float64Array(headers),
      time: new Float64Array(headers), last: new Float64Array(headers), count: new Float64Array(headers),
      gain: new Float32Array(headers), offset: new Float32Array(headers), at: new Float64Array(headers) };
    const channels = new Map();
    let length = 0;
    for (let k = 0; k < headers; k++) {
      if (present[k] === 0) continue;
      const header = QuarvelBlocks.header(rows, k);
      const row = { channel: header.channel, period: header.period | 0, time: header.time * 1000, count: present[k],
        gain: header.gain, offset: header.offset, at: at[k],
        last: Number(QuarvelBlocks.tick(header.time, header.period, present[k] - 1)) };
      for (const name of Object.keys(columns)) columns[name][length] = row[name];
      length++;
      channels.set(header.channel, (channels.get(header.channel) || 0) + present[k]);
    }
    const cut = headers > 0 && present[headers - 1] < QuarvelBlocks.header(rows, headers - 1).declared;
    return { blocks: { length, columns }, headers, cut, channels };
  }

  // Per channel of `shown`, the least and greatest value in each column of
  // `axis`, and the first and last block in it (the plot joins columns of
  // one block only).
  function binSamples(file, blocks, shown, axis) {
    const bytes = byteWindow(file);
    const columns = axis.columns;
    const series = new Map(shown.map((channel) => [channel, {
      min: new Float64Array(columns).fill(Infinity), max: new Float64Array(columns).fill(-Infinity),
      firstBlock: new Int32Array(columns).fill(-1), lastBlock: new Int32Array(columns).fill(-1),
    }]));
    const c = blocks.columns;
    const piece = WINDOW / 2;  // samples read at a time
    for (let b = 0; b < blocks.length; b++) {
      const s = series.get(c.channel[b]);
      if (s === undefined) continue;
      const place = QuarvelAxis.pieceOf(axis, Math.min(c.time[b], c.last[b]) / 1000);
      const gain = c.gain[b];
      const offset = c.offset[b];
      const period = c.period[b];
      for (let done = 0; done < c.count[b]; done += piece) {
        const n = Math.min(piece, c.count[b] - done);
        const [samples, at] = bytes(c.at[b] + 2 * done, 2 * n);
        for (let i = 0, tick = c.time[b] + done * period; i < n; i++, tick += period) {
          const value = Math.fround(samples.getInt16(at + 2 * i) * gain + offset);
          if (!Number.isFinite(value)) continue;
          const column = QuarvelAxis.columnIn(place, tick / 1000);
          if (value < s.min[column]) s.min[column] = value;
          if (value > s.max[column]) s.max[column] = value;
          if (s.firstBlock[column] < 0) s.firstBlock[column] = b;
          s.lastBlock[column] = b;
        }
      }
    }
    return series;
  }

  // The plot of `file` for `channel` (null: the first MOST_CHANNELS
  // channels) over `columns` columns: {channels: [[channel, samples]],
  // shown, headers, cut, axis, series}; axis null when nothing has samples.
  function plotFile(file, channel, columns) {
    const { blocks, headers, cut, channels } = readBlocks(file);
    const all = [...channels.entries()].sort((a, b) => a[0] - b[0]);
    const shown = channel === null ? all.slice(0, MOST_CHANNELS).map(([ch]) => ch) : all.some(([ch]) => ch === channel)
      ? [channel] : [];
    const wanted = new Set(shown);
    const c = blocks.columns;
    const starts = [];
    const ends = [];
    for (let b = 0; b < blocks.length; b++) {
      if (!wanted.has(c.channel[b])) continue;
      starts.push(c.time[b] / 1000);
      ends.push(c.last[b] / 1000);
    }
    const axis = QuarvelAxis.layout(starts, ends, starts.length, columns);
    const series = axis ? binSamples(file, blocks, shown, axis) : new Map();
    return { channels: all, shown, headers, cut, axis, series };
  }

  return { readBlocks, plotFile };
})();

if (typeof module === 'object') module.exports = QuarvelLogReader;
