// The plot's time axis: blocks drawn to scale, with the gaps between them
// as gaps, except that the longest gaps are cut out, and shown as breaks of
// a few pixels, until the blocks fill half of the axis: two runs an hour
// apart are not two slivers. The worker bins samples by it; the page draws its labels.
const QuarvelAxis = (() => {
  'use strict';

  const BREAK_WIDTH = 18;  // columns a break takes
  const DATA_SHARE = 0.5;  // gaps are cut out until the blocks fill this share of what is drawn to scale
  const MIN_WIDTH = 3;  // columns of the shortest piece (a block of one sample)

  // The time ranges covered by blocks ([first, last] sample times, in any
  // order), joined where they overlap, in time order.
  function runsOf(starts, ends, count) {
    const order = Array.from({ length: count }, (_, i) => i).sort((a, b) => starts[a] - starts[b]);
    const runs = [];
    for (const i of order) {
      const last = runs[runs.length - 1];
      if (last && starts[i] <= last.end) last.end = Math.max(last.end, ends[i]);
      else runs.push({ start: starts[i], end: ends[i] });
    }
    return runs;
  }

  // Which gaps between runs to cut out: the longest first, while the runs
  // fill less than DATA_SHARE of what is drawn to scale, and while there is
  // room for the breaks.
  function gapsToCut(runs, columns) {
    const gaps = runs.slice(1).map((run, i) => ({ after: i, length: run.start - runs[i].end }));
    const covered = runs.reduce((sum, run) => sum + (run.end - run.start), 0);
    let toScale = covered + gaps.reduce((sum, gap) => sum + gap.length, 0);
    const most = Math.max(0, Math.floor(columns / (4 * BREAK_WIDTH)));
    const cut = new Set();
    for (const gap of gaps.sort((a, b) => b.length - a.length)) {
      if (cut.size >= most || !(covered < DATA_SHARE * toScale)) break;
      cut.add(gap.after);
      toScale -= gap.length;
    }
    return cut;
  }

  // The axis for blocks whose first and last sample times are `starts[i]`
  // and `ends[i]` (i < count), over `columns` columns: {columns, pieces:
  // [{start, end, x, width}], breaks: [{x, width, gap}]}, pieces in time
  // order, x and width in columns. Null when there is no block.
  function layout(starts, ends, count, columns) {
    const low = Float64Array.from({ length: count }, (_, i) => Math.min(starts[i], ends[i]));
    const high = Float64Array.from({ length: count }, (_, i) => Math.max(starts[i], ends[i]));
    const runs = runsOf(low, high, count);
    if (runs.length === 0) return null;
    const cut = gapsToCut(runs, columns);
    const pieces = [];
    runs.forEach((run, i) => {
      if (i === 0 || cut.has(i - 1)) pieces.push({ start: run.start, end: run.end });
      else pieces[pieces.length - 1].end = run.end;
    });
    const room = Math.max(columns - BREAK_WIDTH * (pieces.length - 1), pieces.length);
    const minimum = Math.min(MIN_WIDTH, room / pieces.length);
    const total = pieces.reduce((sum, piece) => sum + (piece.end - piece.start), 0);
    const breaks = [];
    let x = 0;
    pieces.forEach((piece, i) => {
      if (i > 0) {
        breaks.push({ x, width: BREAK_WIDTH, gap: piece.start - pieces[i - 1].end });
        x += BREAK_WIDTH;
      }
      const share = total > 0 ? (piece.end - piece.start) / total : 1 / pieces.length;
      piece.x = x;
      piece.width = minimum + (room - minimum * pieces.length) * share;
      x += piece.width;
    });
    return { columns, pieces, breaks };
  }

  // The piece of `axis` that holds `time` (which must lie in one).
  function pieceOf(axis, time) {
    let low = 0;
    let high = axis.pieces.length - 1;
    while (low < high) {
      const middle = (low + high + 1) >> 1;
      if (axis.pieces[middle].start <= time) low = middle;
      else high = middle - 1;
    }
    return axis.pieces[low];
  }

  // The column (0 to columns - 1) of `time` in `piece`.
  function columnIn(piece, time) {
    const span = piece.end - piece.start;
    const x = span > 0 ? piece.x + (time - piece.start) / span * piece.width : piece.x + piece.width / 2;
    return Math.min(Math.max(Math.floor(x), Math.floor(piece.x)), Math.ceil(piece.x + piece.width) - 1);
  }

  // The time at column position `x` (fractional) of `axis`, or null in a break.
  function timeAt(axis, x) {
    const piece = axis.pieces.find((p) => x >= p.x && x <= p.x + p.width);
    if (!piece) return null;
    return piece.width > 0 ? piece.start + (x - piece.x) / piece.width * (piece.end - piece.start) : piece.start;
  }

  // The steps between time labels, in ms: 1, 2 or 5 ms to 500 ms; 1, 2,
  // 5, 10, 15 or 30 s; the same in minutes; 1, 2, 3, 6 or 12 h; then 1, 2
  // or 5 days times a power of ten.
  const MINUTE = 60000;
  const HOUR = 60 * MINUTE;
  const DAY = 24 * HOUR;
  const STEPS = [1, 2, 5, 10, 20, 50, 100, 200, 500, ...[1000, MINUTE].flatMap((unit) =>
    [1, 2, 5, 10, 15, 30].map((k) => k * unit)), ...[1, 2, 3, 6, 12].map((k) => k * HOUR),
  ...Array.from({ length: 60 }, (_, k) => [1, 2, 5][k % 3] * 10 ** Math.floor(k / 3) * DAY)];

  // The round times of `piece` ({start, end, x, width}, in seconds and
  // columns) to label: the multiples of the shortest step of STEPS that
  // lies at least `room` columns wide, on the clock of a zone whose offset
  // from UTC at a time is `offsetOf(ms)` (ms), so that hours and days fall
  // on its whole hours and its midnights; or, where no such multiple lies
  // in the piece, the one time of the longest step that does. Returns
  // [{x, time (seconds), step (ms)}] in time order.
  function roundTimes(piece, room, offsetOf) {
    const [low, high] = [Math.round(piece.start * 1000), Math.round(piece.end * 1000)];
    const span = high - low;
    const clockOf = (ms) => ms + offsetOf(ms);
    const utcOf = (clock) => clock - offsetOf(clock - offsetOf(low));
    // The multiples of `step` on the zone's clock from `low` to `high`, at most `most` of them.
    const multiples = (step, most) => {
      const found = [];
      for (let clock = Math.ceil(clockOf(low) / step) * step; found.length < most; clock += step) {
        const ms = utcOf(clock);
        if (ms > high) break;
        const x = span > 0 ? piece.x + (ms - low) / span * piece.width : piece.x;
        if (ms >= low) found.push({ x, time: ms / 1000, step });
      }
      return found;
    };
    const step = STEPS.find((s) => s * piece.width >= room * span) || STEPS[STEPS.length - 1];
    const wide = span > 0 ? multiples(step, Math.ceil(piece.width / room) + 1) : [];
    if (wide.length) return wide;
    for (let k = STEPS.length - 1; k >= 0; k--) {
      const one = multiples(STEPS[k], 1);
      if (one.length) return one;
    }
    return [];
  }

  return { layout, pieceOf, columnIn, timeAt, roundTimes, BREAK_WIDTH };
})();

if (typeof module === 'object') module.exports = QuarvelAxis;
