// The batch's coverage: what each channel recorded and when, from the block
// headers alone. A row per channel, time across (QuarvelAxis: long gaps cut
// out, as in the plot), a bar per block with samples, coloured by what
// became of its file, or as suspect when its readings are clipped, stuck
// or dead; gaps stay open. Where a pixel column holds more time
// than a block, the bar there is as dark as the share of that time that
// was recorded: hourly logs of ten minutes each look pale, not whole.
// Gaps and overlaps follow the rule of `info`, over a channel's blocks
// from every file of the batch.
/* global QuarvelAxis, QuarvelBlocks, QuarvelPlot */
const QuarvelCoverage = (() => {
  'use strict';

  const MARKS = ['converted', 'cut', 'flagged', 'failed'];  // a column shows the last of them that it holds
  const PALEST = 0.3;  // the opacity of a column with almost nothing recorded
  const COLOURS = { converted: '#1f77b4', cut: '#ff7f0e', flagged: '#9467bd', failed: '#d62728' };
  const CUT_END = '#5a1d00';  // the end of a block that its file cuts short
  const MARGIN = { left: 70, right: 12, top: 6, bottom: 46 };
  const MOST_ROWS = 128;

  // The coverage of `files` ({id, rows (QuarvelBlocks.walker), size, mark:
  // 'converted', 'cut' or 'failed', flags: each block's QuarvelQuality
  // flags, or null}): {channels: [{channel, start, end, file, block,
  // samples, cutShort, mark, flags (columns of its blocks with samples,
  // and of a block cut short without any, in time order; a block flagged
  // has the mark 'flagged'), gaps and overlaps: [{seconds, after, next}]
  // (the positions of the blocks before and after it)}], blocks (every
  // block of the files), starts, ends}. A block covers its
  // channel from its first sample's time to its last's plus one period;
  // between a block and the next of its channel in time order (blocks of
  // one time in the order of the files and blocks), the difference
  // between the next one's first time and that end is a gap when positive,
  // an overlap when negative. Blocks without samples are neither; one cut
  // short is marked where it starts.
  function build(files) {
    const byChannel = new Map();
    let blocks = 0;
    for (const file of files) {
      const { present } = QuarvelBlocks.extents(file.rows, file.size);
      blocks += present.length;
      for (let k = 0; k < present.length; k++) {
        const header = QuarvelBlocks.header(file.rows, k);
        if (present[k] === 0 && header.declared <= 0) continue;
        const step = QuarvelBlocks.step(header.period);
        if (!byChannel.has(header.channel)) {
          byChannel.set(header.channel, { channel: header.channel, start: [], end: [], file: [], block: [], samples: [],
            cutShort: [], mark: [], flags: [] });
        }
        const c = byChannel.get(header.channel);
        c.start.push(header.time);
        c.end.push(present[k] ? QuarvelBlocks.lastTime(header.time, step, present[k]) + step : header.time);
        c.file.push(file.id);
        c.block.push(k);
        c.samples.push(present[k]);
        c.cutShort.push(present[k] < header.declared);
        const flags = file.flags ? file.flags[k] : 0;
        c.mark.push(flags ? 'flagged' : file.mark);
        c.flags.push(flags);
      }
    }
    const channels = [...byChannel.values()].sort((a, b) => a.channel - b.channel).map(inTimeOrder);
    const starts = channels.flatMap((c) => c.start);
    const ends = channels.flatMap((c) => c.end);
    return { channels, blocks, starts, ends };
  }

  // A channel's columns in time order, with its gaps and overlaps.
  function inTimeOrder(c) {
    const order = c.start.map((_, i) => i).sort((a, b) => c.start[a] - c.start[b]);
    const sorted = { channel: c.channel, gaps: [], overlaps: [] };
    for (const name of ['start', 'end', 'file', 'block', 'samples', 'cutShort', 'mark', 'flags']) {
      sorted[name] = order.map((i) => c[name][i]);
    }
    let before = -1;  // the last block with samples
    for (let i = 0; i < order.length; i++) {
      if (sorted.samples[i] === 0) continue;
      const seconds = before < 0 ? 0 : sorted.start[i] - sorted.end[before];
      if (seconds !== 0) (seconds > 0 ? sorted.gaps : sorted.overlaps).push({ seconds, after: before, next: i });
      before = i;
    }
    return sorted;
  }

  // Draws `model` (build) on `canvas`, as tall as its rows need;
  // `timeLabel` as for QuarvelPlot.draw. Returns at(x, y), which gives what
  // lies at a point of the canvas (in its pixels): {channel, row} and,
  // on a bar, the block's `index` in its channel's columns; or null.
  function draw(canvas, model, timeLabel) {
    const columns = Math.max(canvas.width - MARGIN.left - MARGIN.right, 1);
    const channels = model.channels.slice(0, MOST_ROWS);
    const rowHeight = Math.min(22, Math.max(4, Math.floor(360 / Math.max(channels.length, 1))));
    canvas.height = MARGIN.top + MARGIN.bottom + rowHeight * Math.max(channels.length, 1);
    const context = canvas.getContext('2d');
    context.clearRect(0, 0, canvas.width, canvas.height);
    const axis = QuarvelAxis.layout(model.starts, model.ends, model.starts.length, columns);
    if (!axis) return () => null;
    const box = { x: MARGIN.left, y: MARGIN.top, width: columns, height: rowHeight * channels.length };
    context.font = '12px sans-serif';
    context.strokeStyle = '#888';
    context.fillStyle = '#333';
    context.strokeRect(box.x - 0.5, box.y - 0.5, box.width + 1, box.height + 1);
    axis.breaks.forEach((cut) => QuarvelPlot.drawBreak(context, box, cut));
    const bar = Math.max(2, rowHeight - 4);
    const hits = channels.map((c, row) => {
      const y = box.y + row * rowHeight;
      context.fillStyle = '#333';
      context.textAlign = 'right';
      if (rowHeight >= 10) context.fillText(String(c.channel), box.x - 6, y + rowHeight / 2 + 4);
      const hit = new Int32Array(columns).fill(-1);
      const recorded = new Float64Array(columns);  // the share of each column that blocks cover
      const worst = new Int8Array(columns).fill(-1);  // the last of MARKS among them
      const cutEnds = [];
      for (let i = 0; i < c.start.length; i++) {
        const mark = MARKS.indexOf(c.mark[i]);
        const x0 = position(axis, Math.min(c.start[i], c.end[i]));
        const x1 = position(axis, Math.max(c.start[i], c.end[i]));
        const last = Math.min(Math.max(Math.ceil(x1) - 1, Math.floor(x0)), columns - 1);
        for (let x = Math.floor(x0); x <= last; x++) {
          recorded[x] += Math.min(x1, x + 1) - Math.max(x0, x);
          if (mark >= worst[x]) {
            worst[x] = mark;
            hit[x] = i;
          }
        }
        if (c.cutShort[i]) cutEnds.push(last);
      }
      for (let x = 0; x < columns; x++) {
        if (worst[x] < 0) continue;
        context.globalAlpha = PALEST + (1 - PALEST) * Math.min(recorded[x], 1);
        context.fillStyle = COLOURS[MARKS[worst[x]]];
        context.fillRect(box.x + x, y + (rowHeight - bar) / 2, 1, bar);
      }
      context.globalAlpha = 1;
      context.fillStyle = CUT_END;
      for (const x of cutEnds) context.fillRect(box.x + Math.max(x - 1, 0), y, 2, rowHeight);
      return hit;
    });
    context.fillStyle = '#333';
    QuarvelPlot.drawTimeAxis(context, box, axis, timeLabel);
    return (x, y) => {
      const row = Math.floor((y - box.y) / rowHeight);
      const column = Math.floor(x - box.x);
      if (row < 0 || row >= channels.length || column < 0 || column >= columns) return null;
      const index = hits[row][column];
      return { row, channel: channels[row].channel, index: index >= 0 ? index : null };
    };
  }

  // The position of `time` on `axis`, in columns (fractional).
  function position(axis, time) {
    const piece = QuarvelAxis.pieceOf(axis, time);
    const span = piece.end - piece.start;
    return span > 0 ? piece.x + (time - piece.start) / span * piece.width : piece.x + piece.width / 2;
  }

  return { build, draw, COLOURS, MARGIN, MOST_ROWS };
})();

if (typeof module === 'object') module.exports = QuarvelCoverage;
