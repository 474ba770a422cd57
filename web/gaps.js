// The time that series of blocks cover, and their gaps and overlaps, on
// ticks (integer ms since 1970): the one rule of the page's coverage, the
// rule of python3 -m quarvel info, check and plot --coverage.
//
// A series is the blocks of one channel of one logger. A block with n > 0
// samples and a period p > 0 ms covers the ticks [start, start + n × p),
// its last sample's period included; a block without samples, or whose
// period is 0 or runs backwards, covers nothing and does not extend its
// series' span. A gap is a maximal stretch inside a series' span that no
// block covers; an overlap, a maximal stretch that two or more blocks
// cover, as long as that stretch.
//
// A header's first time has whole-second resolution: a logger whose blocks
// do not last whole seconds writes the next block's start rounded to the
// second. So a block that starts within the second in which the time
// covered before it ends (from that end floored to the second to that end
// raised to the second) is taken to start where that time ends: the
// difference is no finding. Beyond that, a gap is a finding when it lasts
// at least one period of the block before it (the block whose end begins
// it), and an overlap when it lasts at all.
//
// Ticks are Numbers, or BigInts where a batch's ticks go beyond ±2^52 (see
// QuarvelBlocks.tick); the arithmetic here is the same for both.
const QuarvelGaps = (() => {
  'use strict';

  const compare = (a, b) => (a < b ? -1 : a > b ? 1 : 0);

  // `values` as BigInts when any of them is one, so that the arithmetic
  // of ticks meets one kind of number; else as they are.
  const oneKind = (values, big) => (big ? Array.from(values, BigInt) : values);

  // The gaps, overlaps and spans of blocks given per row: the code of each
  // block's `series` (integers), its `start` and `end` ticks (its first
  // sample's, and its last sample's plus one period) and its `period` (ms,
  // signed). Rows of one series that start at the same tick are taken in
  // row order. Returns {gaps: [{series, start, length, before, after}],
  // overlaps: [{series, start, length, blocks}], spans: [{series, start,
  // end, covered, overlapped}]}: gaps and overlaps in series and then time
  // order, `before` the row of the block whose end begins a gap and
  // `after` the one whose start ends it, `blocks` the rows of the blocks
  // that cover any of an overlap (in row order); a span per series that
  // covers any time, with the time it covers and the time that two or more
  // of its blocks cover (findings or not). Lengths are in ms.
  function covered(series, start, end, period) {
    const big = start.some((tick) => typeof tick === 'bigint') || end.some((tick) => typeof tick === 'bigint');
    [start, end] = [oneKind(start, big), oneKind(end, big)];
    const rows = [];
    for (let r = 0; r < start.length; r++) if (end[r] > start[r] && period[r] > 0) rows.push(r);
    const order = (a, b) => series[a] - series[b] || compare(start[a], start[b]) || a - b;
    if (rows.some((row, k) => k > 0 && order(rows[k - 1], row) > 0)) rows.sort(order);
    const found = { gaps: [], overlaps: [], spans: [] };
    for (let head = 0; head < rows.length;) {
      let tail = head + 1;
      while (tail < rows.length && series[rows[tail]] === series[rows[head]]) tail++;
      oneSeries(rows.slice(head, tail), series[rows[head]], start, end, period, big ? BigInt : Number, found);
      head = tail;
    }
    return found;
  }

  // Adds to `found` what the blocks `rows` of one series (sorted by start)
  // give; `kind` makes a constant of the ticks' kind of number.
  function oneSeries(rows, code, start, end, period, kind, found) {
    const ZERO = kind(0);
    const SECOND = kind(1000);
    let reach = rows[0];  // the block of the greatest end so far (the last of equal ends)
    let holes = ZERO;
    let crossing = false;  // whether a block starts before the time covered before it ends
    const taken = [start[rows[0]]];  // where each block is taken to start
    for (let k = 1; k < rows.length; k++) {
      const r = rows[k];
      const s = start[r];
      const before = end[reach];
      const within = ((before % SECOND) + SECOND) % SECOND;
      const rounded = s >= before - within && s <= (within === ZERO ? before : before - within + SECOND);
      if (s > before) {
        holes += s - before;
        if (!rounded && s - before >= period[reach]) {
          found.gaps.push({ series: code, start: before, length: s - before, before: reach, after: r });
        }
      }
      taken.push(rounded && before > s ? before : s);
      crossing = crossing || (taken[k] < before && taken[k] < end[r]);
      if (end[r] >= end[reach]) reach = r;
    }
    // [start taken, end, row] of the blocks that cover time once taken so.
    const live = () => rows.map((r, k) => [taken[k], end[r], r]).filter(([from, to]) => from < to);
    const overlapped = crossing ? overlapsOf(live(), code, ZERO, found.overlaps) : ZERO;
    const first = start[rows[0]];
    found.spans.push({ series: code, start: first, end: end[reach], covered: end[reach] - first - holes, overlapped });
  }

  // Adds the overlaps of the blocks `live` ([start, end, row]) of series
  // `code` to `overlaps`, by a sweep over the ticks where blocks start and
  // end (the count of blocks after the last change at a tick holds until
  // the next tick); returns the time that two or more of them cover.
  function overlapsOf(live, code, ZERO, overlaps) {
    const events = live.flatMap(([s, e]) => [[s, 1], [e, -1]]).sort((a, b) => compare(a[0], b[0]));
    live.sort((a, b) => compare(a[0], b[0]));
    // Per block in order of start, the position of the one of the greatest
    // end among it and those before it: the block that may cover a tick
    // from before.
    const reach = [];
    live.forEach(([, e], k) => reach.push(k > 0 && live[reach[k - 1]][1] > e ? reach[k - 1] : k));
    let [count, low, sum] = [0, null, ZERO];
    for (let i = 0; i < events.length;) {
      const [tick, was] = [events[i][0], count];
      while (i < events.length && events[i][0] === tick) count += events[i++][1];
      if (count >= 2 && was < 2) low = tick;
      else if (count < 2 && was >= 2) {
        sum += tick - low;
        overlaps.push({ series: code, start: low, length: tick - low, blocks: involved(live, reach, low, tick) });
      }
    }
    return sum;
  }

  // The rows of the blocks of `live` (sorted by start) that cover any of
  // [low, high): those that start in it, and the one that covers `low`
  // from before (the count of blocks is at most one just before an overlap
  // begins, so at most one block reaches into it: the one of the greatest
  // end). In row order.
  function involved(live, reach, low, high) {
    const since = firstFrom(live, low);
    const rows = live.slice(since, firstFrom(live, high)).map(([, , row]) => row);
    if (since > 0 && live[reach[since - 1]][1] > low) rows.push(live[reach[since - 1]][2]);
    return rows.sort((a, b) => a - b);
  }

  // The position of the first block of `live` (sorted by start) that starts
  // at `tick` or later.
  function firstFrom(live, tick) {
    let [lowest, highest] = [0, live.length];
    while (lowest < highest) {
      const middle = (lowest + highest) >> 1;
      if (live[middle][0] < tick) lowest = middle + 1;
      else highest = middle;
    }
    return lowest;
  }

  return { covered };
})();

if (typeof module === 'object') module.exports = QuarvelGaps;
