// The batch's coverage: what each channel of each logger recorded and
// when, from the block headers alone. A row per series (logger, channel),
// time across (QuarvelAxis: long gaps cut out, as in the plot), a bar per
// block with samples, coloured by what became of its file, or as suspect
// when its readings are clipped, stuck or dead; gaps stay open. Where a
// pixel column holds more time than a block, the bar there is as dark as
// the share of that time that was recorded: hourly logs of ten minutes
// each look pale, not whole. Gaps and overlaps are those of QuarvelGaps,
// over a series' blocks from every file of the batch.
/* global QuarvelAxis, QuarvelBlocks, QuarvelGaps, QuarvelPlot */
const QuarvelCoverage = (() => {
  'use strict';

  const MARKS = ['converted', 'cut', 'flagged', 'failed'];  // a column shows the last of them that it holds
  const PALEST = 0.3;  // the opacity of a column with almost nothing recorded
  const COLOURS = { converted: '#1f77b4', cut: '#ff7f0e', flagged: '#9467bd', failed: '#d62728' };
  const CUT_END = '#5a1d00';  // the end of a block that its file cuts short
  const MARGIN = { left: 70, right: 12, top: 6, bottom: 46 };
  const MOST_ROWS = 128;
  const COLUMNS = ['start', 'end', 'period', 'file', 'block', 'samples', 'cutShort', 'mark', 'flags'];

  // The logger of each file whose path ('/' between folders, relative to
  // where it was chosen) is in `paths`, by `rule`: null, one logger (null
  // for every file); 'folder', the file's folder, named by its path
  // relative to the folder common to them all, or '.' for that folder.
  function loggersOf(paths, rule) {
    if (rule !== 'folder') return paths.map(() => null);
    const folders = paths.map((path) => path.split('/').slice(0, -1));
    let common = folders.length ? folders[0].length : 0;
    for (const folder of folders) {
      let k = 0;
      while (k < common && folder[k] === folders[0][k]) k++;
      common = k;
    }
    return folders.map((folder) => folder.slice(common).join('/') || '.');
  }

  // The coverage of `files` ({id, logger (null: one logger), rows
  // (QuarvelBlocks.walker), size, mark: 'converted', 'cut' or 'failed',
  // flags: each block's QuarvelQuality flags, or null}): {series: [{logger,
  // channel, start and end (ticks), period (ms, signed), file, block,
  // samples, cutShort, mark, flags (columns of its blocks with samples,
  // and of a block cut short without any, in time order; a block flagged
  // has the mark 'flagged'), gaps: [{series, start, length, before,
  // after}] and overlaps: [{series, start, length, blocks}] (QuarvelGaps,
  // with the positions of the blocks in the columns), several: whether its
  // blocks overlap for more than half of the time they cover, as several
  // loggers' blocks would}], in order of logger and channel; blocks (every
  // block of the files), loggers (how many), starts and ends (of every
  // column, in seconds)}. A block covers its series from its first
  // sample's tick to its last's plus one period; one cut short is marked
  // where it starts.
  function build(files) {
    const byLogger = new Map();  // logger → channel → its series
    let count = 0;
    for (const file of files) {
      const { present } = QuarvelBlocks.extents(file.rows, file.size);
      count += present.length;
      if (!byLogger.has(file.logger)) byLogger.set(file.logger, new Map());
      const channels = byLogger.get(file.logger);
      for (let k = 0; k < present.length; k++) {
        const header = QuarvelBlocks.header(file.rows, k);
        if (present[k] === 0 && header.declared <= 0) continue;
        if (!channels.has(header.channel)) {
          channels.set(header.channel, { logger: file.logger, channel: header.channel, gaps: [], overlaps: [],
            several: false, ...Object.fromEntries(COLUMNS.map((column) => [column, []])) });
        }
        const c = channels.get(header.channel);
        const flags = file.flags ? file.flags[k] : 0;
        c.start.push(header.time * 1000);
        c.end.push(QuarvelBlocks.tick(header.time, header.period, present[k]));
        c.period.push(header.period | 0);
        c.file.push(file.id);
        c.block.push(k);
        c.samples.push(present[k]);
        c.cutShort.push(present[k] < header.declared);
        c.mark.push(flags ? 'flagged' : file.mark);
        c.flags.push(flags);
      }
    }
    const byName = (a, b) => (a === b ? 0 : a === null ? -1 : b === null ? 1 : a < b ? -1 : 1);
    const series = [...byLogger.entries()].sort(([a], [b]) => byName(a, b))
      .flatMap(([, channels]) => [...channels.values()].sort((a, b) => a.channel - b.channel));
    series.forEach(inTimeOrder);
    // The rule on the blocks in that order, which it keeps: a block's row there is its position in all the
    // columns, one series after another.
    const first = [0];
    series.forEach((c, i) => first.push(first[i] + c.start.length));
    const all = (column) => series.flatMap((c) => c[column]);
    const found = QuarvelGaps.covered(series.flatMap((c, i) => c.start.map(() => i)), all('start'), all('end'),
      all('period'));
    const position = (row, i) => row - first[i];
    for (const gap of found.gaps) {
      [gap.before, gap.after] = [position(gap.before, gap.series), position(gap.after, gap.series)];
      series[gap.series].gaps.push(gap);
    }
    for (const overlap of found.overlaps) {
      overlap.blocks = overlap.blocks.map((row) => position(row, overlap.series));
      series[overlap.series].overlaps.push(overlap);
    }
    for (const span of found.spans) series[span.series].several = span.overlapped + span.overlapped > span.covered;
    const seconds = (column) => {
      const ticks = new Float64Array(first[series.length]);
      series.forEach((c, i) => c[column].forEach((tick, k) => { ticks[first[i] + k] = Number(tick) / 1000; }));
      return ticks;
    };
    return { series, blocks: count, loggers: new Set(series.map((c) => c.logger)).size, starts: seconds('start'),
      ends: seconds('end') };
  }

  // Puts the columns of series `c` in time order (blocks of one time in
  // the order of the files and blocks). Its blocks come mostly in time
  // order, often wholly.
  function inTimeOrder(c) {
    const start = c.start;
    let sorted = true;
    for (let k = 1; k < start.length && sorted; k++) sorted = start[k - 1] <= start[k];
    if (sorted) return;
    const order = start.map((_, k) => k).sort((a, b) => start[a] - start[b] || a - b);
    for (const column of COLUMNS) c[column] = order.map((k) => c[column][k]);
  }

  // The name of a series: its channel, and with loggers, "LOGGER/chN".
  const seriesName = (c) => (c.logger === null ? String(c.channel) : `${c.logger}/ch${c.channel}`);

  // `text` cut from its start ("…" in front) to fit `width` pixels of `context`.
  function fitted(context, text, width) {
    let cut = text;
    while (cut.length > 1 && context.measureText(cut).width > width) cut = '…' + cut.slice(2);
    return cut;
  }

  // Draws `model` (build) on `canvas`, as tall as its rows need; `clock`
  // as for QuarvelPlot.draw. Returns at(x, y), which gives what lies at a
  // point of the canvas (in its pixels): {series (the row's position in
  // model.series)} and, on a bar, the block's `index` in its series'
  // columns, or in a gap, the gap's position in its `gap`; or null. Its
  // name, which may be cut, points at the row.
  function draw(canvas, model, clock) {
    const columns = Math.max(canvas.width - MARGIN.left - MARGIN.right, 1);
    const rows = model.series.slice(0, MOST_ROWS);
    const rowHeight = Math.min(22, Math.max(4, Math.floor(360 / Math.max(rows.length, 1))));
    canvas.height = MARGIN.top + MARGIN.bottom + rowHeight * Math.max(rows.length, 1);
    const context = canvas.getContext('2d');
    context.clearRect(0, 0, canvas.width, canvas.height);
    const axis = QuarvelAxis.layout(model.starts, model.ends, model.starts.length, columns);
    if (!axis) return () => null;
    const box = { x: MARGIN.left, y: MARGIN.top, width: columns, height: rowHeight * rows.length };
    context.font = '12px sans-serif';
    context.strokeStyle = '#888';
    context.fillStyle = '#333';
    context.strokeRect(box.x - 0.5, box.y - 0.5, box.width + 1, box.height + 1);
    axis.breaks.forEach((cut) => QuarvelPlot.drawBreak(context, box, cut));
    const bar = Math.max(2, rowHeight - 4);
    const at = (tick) => position(axis, Number(tick) / 1000);
    const hits = rows.map((c, row) => {
      const y = box.y + row * rowHeight;
      context.fillStyle = '#333';
      context.textAlign = 'right';
      if (rowHeight >= 10) {
        context.fillText(fitted(context, seriesName(c), MARGIN.left - 8), box.x - 6, y + rowHeight / 2 + 4);
      }
      const hit = new Int32Array(columns).fill(-1);
      const recorded = new Float64Array(columns);  // the share of each column that blocks cover
      const worst = new Int8Array(columns).fill(-1);  // the last of MARKS among them
      const cutEnds = [];
      for (let i = 0; i < c.start.length; i++) {
        const mark = MARKS.indexOf(c.mark[i]);
        const [from, to] = [at(c.start[i]), at(c.end[i])];
        const [x0, x1] = [Math.min(from, to), Math.max(from, to)];
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
      // The empty columns of each gap point at it.
      const gap = new Int32Array(columns).fill(-1);
      c.gaps.forEach(({ start, length }, g) => {
        const [x0, x1] = [at(start), at(start + length)];
        for (let x = Math.max(Math.floor(x0), 0); x <= Math.min(Math.ceil(x1) - 1, columns - 1); x++) {
          if (hit[x] < 0) gap[x] = g;
        }
      });
      return { hit, gap };
    });
    context.fillStyle = '#333';
    QuarvelPlot.drawTimeAxis(context, box, axis, clock);
    return (x, y) => {
      const row = Math.floor((y - box.y) / rowHeight);
      const column = Math.floor(x - box.x);
      if (row < 0 || row >= rows.length || x < 0 || column >= columns) return null;
      if (column < 0) return { series: row, index: null, gap: null };  // its name
      const [index, gap] = [hits[row].hit[column], hits[row].gap[column]];
      return { series: row, index: index >= 0 ? index : null, gap: gap >= 0 ? gap : null };
    };
  }

  // The position of `time` on `axis`, in columns (fractional).
  function position(axis, time) {
    const piece = QuarvelAxis.pieceOf(axis, time);
    const span = piece.end - piece.start;
    return span > 0 ? piece.x + (time - piece.start) / span * piece.width : piece.x + piece.width / 2;
  }

  return { loggersOf, build, draw, COLOURS, MARGIN, MOST_ROWS };
})();

if (typeof module === 'object') module.exports = QuarvelCoverage;
