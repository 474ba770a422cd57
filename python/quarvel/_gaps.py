"""The time that series of blocks cover, and their gaps and overlaps, on
integer ticks (milliseconds since 1970): the one rule that info, check,
plot --coverage and the page apply.

A series is the blocks of one channel of one logger (for info, of one
file). A block with n > 0 samples present and a period p > 0 ms covers the
ticks [start, start + n × p), its last sample's period included. A block
with no samples, or whose period is 0 or runs backwards, covers nothing
and does not extend its series' span.

A gap is a maximal stretch inside a series' span that no block covers; an
overlap, a maximal stretch that two or more blocks cover, as long as that
stretch.

A header's first time has whole-second resolution: a logger whose blocks
do not last whole seconds writes the next block's start rounded to the
second. So a block that starts within the second in which the time covered
before it ends (from that end floored to the second to that end raised to
the second) is taken to start where that time ends: the difference is no
finding. Beyond that, a gap is a finding when it lasts at least one period
of the block before it (the block whose end begins it), and an overlap
when it lasts at all. A tolerance, given instead, forgives nothing and
makes a finding of every gap and overlap longer than it.
"""

from __future__ import annotations

from fractions import Fraction
from typing import NamedTuple

import numpy as np

_EMPTY = np.zeros(0, dtype=np.int64)


class Gaps(NamedTuple):
    """Gaps found, one entry per gap in series and then time order: its
    `series`, `start` tick, `length` in ms, and the rows of the block
    `before` it (whose end begins it) and `after` it (whose start ends it)."""

    series: np.ndarray
    start: np.ndarray
    length: np.ndarray
    before: np.ndarray
    after: np.ndarray


class Overlaps(NamedTuple):
    """Overlaps found, one entry per overlap in series and then time order:
    its `series`, `start` tick and `length` in ms; the rows of the blocks
    that cover any of it are `blocks[first[i]:first[i + 1]]`, in row
    order."""

    series: np.ndarray
    start: np.ndarray
    length: np.ndarray
    first: np.ndarray
    blocks: np.ndarray

    def involved(self, i: int) -> np.ndarray:
        """Returns the rows of the blocks that cover overlap `i`."""
        return self.blocks[self.first[i] : self.first[i + 1]]


class Spans(NamedTuple):
    """Per series that covers any time, in series order: its code, the
    ticks where its covered time starts and ends, the time it covers (ms),
    and the time that two or more of its blocks cover (ms, whether a
    finding or not)."""

    series: np.ndarray
    start: np.ndarray
    end: np.ndarray
    covered: np.ndarray
    overlapped: np.ndarray

    def like_several_loggers(self) -> np.ndarray:
        """Returns per series whether its blocks overlap for more than half
        of the time they cover, as the blocks of several loggers merged into
        one series do."""
        return 2 * self.overlapped > self.covered


class Covered(NamedTuple):
    """What covered() finds: the gaps and overlaps that are findings, and
    each series' span."""

    gaps: Gaps
    overlaps: Overlaps
    spans: Spans


def covered(
    series: np.ndarray,
    start: np.ndarray,
    end: np.ndarray,
    period: np.ndarray,
    tolerance: float | None = None,
) -> Covered:
    """Returns the gaps, overlaps and spans of blocks given per row: the code
    of each block's `series` (any integers), its `start` and `end` ticks
    (int64 ms: its first sample's, and its last sample's plus one period)
    and its `period` (int64 ms, signed). Rows of one series that start at
    the same tick are taken in row order. With `tolerance` (seconds), every
    gap and overlap longer than it is a finding, and no start is taken as
    rounded."""
    start, end, period = (np.asarray(a, dtype=np.int64) for a in (start, end, period))
    series = _small(np.asarray(series))
    rows = np.flatnonzero((end > start) & (period > 0))
    order = _order(start[rows], series[rows])
    rows = rows[order]
    del order
    codes, starts, ends = series[rows], start[rows], end[rows]
    first = _segment_starts(codes)
    # The time covered before each block ends at its series' greatest end so
    # far, reached by the block `reach` (the last of equal ends).
    reach = _running_argmax(codes, ends)
    before = np.empty(len(rows), dtype=np.int64)
    before[1:] = reach[:-1]
    before[first] = 0
    covered_end = np.where(first, starts, ends[before])
    if tolerance is None:
        # Arrays of the blocks' number are freed as soon as they are used:
        # a campaign has millions of blocks.
        rounded = ~first & (starts >= covered_end // 1000 * 1000) & (starts <= -(-covered_end // 1000) * 1000)
        effective = np.where(rounded, np.maximum(starts, covered_end), starts)
        gap = ~first & ~rounded & (starts > covered_end)
        del rounded
        at = np.flatnonzero(gap)
        gap[at] = starts[at] - covered_end[at] >= period[rows[before[at]]]
        longer = 0
    else:
        longer = _whole_ms(tolerance)
        effective = starts
        gap = ~first & (starts > covered_end) & (starts - covered_end > longer)
    gaps = Gaps(codes[gap], covered_end[gap], (starts - covered_end)[gap], rows[before[gap]], rows[gap])
    spans = _spans(codes, starts, ends, covered_end, first, reach)
    # Two blocks that cover one tick: the later of them starts before the
    # time covered before it ends. Without such a block, nothing overlaps.
    doubled = ((effective < covered_end) & ~first).any()
    del before, covered_end, first, reach, starts, gap
    if not doubled:
        return Covered(gaps, Overlaps(_EMPTY, _EMPTY, _EMPTY, np.zeros(1, dtype=np.int64), _EMPTY), spans)
    overlaps, (series, overlapped) = _overlaps(codes, effective, ends, rows, longer)
    doubled = spans.overlapped
    doubled[np.searchsorted(spans.series, series)] = overlapped
    return Covered(gaps, overlaps, spans)


def _whole_ms(seconds: float) -> int:
    """Returns the whole ms below `seconds` (exactly): an integer length
    is longer than `seconds` when it is longer than this."""
    if not seconds >= 0:
        raise ValueError(f"a tolerance must be 0 or more seconds, not {seconds}")
    return int(Fraction(seconds) * 1000)


def _small(codes: np.ndarray) -> np.ndarray:
    """Returns `codes` as 16-bit integers when they fit, which numpy's
    stable sort orders by radix, in one pass; else as 64-bit integers."""
    if len(codes) and 0 <= codes.min() and codes.max() < 1 << 15:
        return codes.astype(np.int16)
    return codes.astype(np.int64)


def _order(*keys: np.ndarray) -> np.ndarray:
    """Returns the order that sorts by the last key, then the one before,
    and so on, and then by position, as np.lexsort does; by one stable sort
    per key, which is quicker on keys already in order and on small ones."""
    order = np.argsort(keys[0], kind="stable")
    for key in keys[1:]:
        order = order[np.argsort(key[order], kind="stable")]
    return order


def _segment_starts(codes: np.ndarray) -> np.ndarray:
    """Returns per entry of the sorted `codes` whether it starts a run of
    equal codes."""
    first = np.ones(len(codes), dtype=bool)
    first[1:] = codes[1:] != codes[:-1]
    return first


def _running_argmax(codes: np.ndarray, values: np.ndarray) -> np.ndarray:
    """Returns per entry the position of the greatest of `values` from the
    start of its run of equal (sorted) `codes` up to it; of equal values,
    the last. Ranked by (code, value, position), every rank of a run lies
    above every rank of the runs before it, so one running maximum over
    all the ranks stays within each run."""
    n = len(codes)
    if n and ((values[1:] >= values[:-1]) | (codes[1:] != codes[:-1])).all():  # blocks that end in turn
        return np.arange(n)
    order = _order(values, codes)
    rank = np.empty(n, dtype=np.int64)
    rank[order] = np.arange(n)
    return order[np.maximum.accumulate(rank)] if n else _EMPTY


def _overlaps(
    codes: np.ndarray, starts: np.ndarray, ends: np.ndarray, rows: np.ndarray, longer: int
) -> tuple[Overlaps, tuple[np.ndarray, np.ndarray]]:
    """Returns the overlaps of the blocks [starts, ends) (sorted by code)
    longer than `longer` ms, and the time that two or more blocks cover
    per series (its codes, and the sums), by a sweep over the ticks where blocks start and
    end: the count of blocks after the last change at a tick holds until
    the next tick."""
    live = starts < ends
    if not live.all():  # a start taken as rounded to where an end is: no time left
        codes, starts, ends, rows = codes[live], starts[live], ends[live], rows[live]
    n = len(codes)
    event_codes = np.concatenate([codes, codes])
    ticks = np.concatenate([starts, ends])
    order = _order(ticks, event_codes)
    event_codes, ticks = event_codes[order], ticks[order]
    # A block's start steps the count of blocks up, its end down.
    counts = np.cumsum(np.where(order < n, np.int32(1), np.int32(-1)), dtype=np.int32)
    del order
    last = np.ones(len(ticks), dtype=bool)
    last[:-1] = (event_codes[1:] != event_codes[:-1]) | (ticks[1:] != ticks[:-1])
    event_codes, ticks, counts = event_codes[last], ticks[last], counts[last]
    many = counts >= 2
    del counts
    was = np.zeros(len(many), dtype=bool)
    was[1:] = many[:-1]
    # A series' last tick leaves no block, so every stretch ends in its series.
    series, low, high = event_codes[many & ~was], ticks[many & ~was], ticks[~many & was]
    length = high - low
    overlapped = _sums(series, length)
    keep = length > longer
    series, low, high, length = series[keep], low[keep], high[keep], length[keep]
    if not len(series):
        return Overlaps(series, low, length, np.zeros(1, dtype=np.int64), _EMPTY), overlapped
    first, blocks = _involved(codes, starts, ends, rows, series, low, high)
    return Overlaps(series, low, length, first, blocks), overlapped


def _sums(codes: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns the distinct `codes` (sorted) and the sum of `values` for each."""
    heads = np.flatnonzero(_segment_starts(codes))
    return codes[heads], np.add.reduceat(values, heads) if len(heads) else _EMPTY


def _involved(
    codes: np.ndarray,
    starts: np.ndarray,
    ends: np.ndarray,
    rows: np.ndarray,
    series: np.ndarray,
    low: np.ndarray,
    high: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """Returns, per overlap [low, high) of `series`, the rows of the blocks
    that cover any of it, as offsets and one array: those that start in it,
    and the one that covers its first tick from before (the count of blocks
    is at most one just before an overlap begins, so at most one block
    reaches into it, the one of the greatest end)."""
    # Out of order only where a start taken as rounded passes the next one.
    if not ((codes[1:] > codes[:-1]) | ((codes[1:] == codes[:-1]) & (starts[1:] >= starts[:-1]))).all():
        order = _order(starts, codes)
        codes, starts, ends, rows = codes[order], starts[order], ends[order], rows[order]
    since = _position(codes, starts, series, low)
    until = _position(codes, starts, series, high)
    reach = _running_argmax(codes, ends)
    earlier = np.maximum(since - 1, 0)
    carried = (since > 0) & (codes[earlier] == series) if len(codes) else np.zeros(len(series), dtype=bool)
    if len(codes):
        carried &= ends[reach[earlier]] > low
    spans = until - since
    group = np.repeat(np.arange(len(series)), spans)
    inside = np.arange(int(spans.sum())) - np.repeat(np.cumsum(spans) - spans, spans) + np.repeat(since, spans)
    blocks = np.concatenate([rows[inside], rows[reach[earlier[carried]]]]) if len(codes) else _EMPTY
    group = np.concatenate([group, np.flatnonzero(carried)])
    order = _order(blocks, group)
    first = np.zeros(len(series) + 1, dtype=np.int64)
    np.cumsum(np.bincount(group, minlength=len(series)), out=first[1:])
    return first, blocks[order]


def _position(codes: np.ndarray, ticks: np.ndarray, query_codes: np.ndarray, query_ticks: np.ndarray) -> np.ndarray:
    """Returns per query how many entries of (`codes`, `ticks`), sorted by
    both, come before (query code, query tick): a searchsorted on two keys,
    by sorting the queries in among the entries, each before its equals."""
    n = len(codes)
    all_codes = np.concatenate([codes, query_codes])
    all_ticks = np.concatenate([ticks, query_ticks])
    is_entry = np.concatenate([np.ones(n, dtype=np.int8), np.zeros(len(query_codes), dtype=np.int8)])
    order = _order(is_entry, all_ticks, all_codes)
    entries_before = np.cumsum(is_entry[order]) - is_entry[order]
    found = np.empty(len(query_codes), dtype=np.int64)
    queries = order >= n
    found[order[queries] - n] = entries_before[queries]
    return found


def _spans(
    codes: np.ndarray,
    starts: np.ndarray,
    ends: np.ndarray,
    covered_end: np.ndarray,
    first: np.ndarray,
    reach: np.ndarray,
) -> Spans:
    """Returns each series' span and the time it covers: its span less the
    holes between its blocks, whether findings or not; the time that two
    blocks or more cover is left 0, for the caller to fill in."""
    heads = np.flatnonzero(first)
    tails = np.append(heads[1:], len(codes)) - 1
    span_end = ends[reach[tails]] if len(codes) else _EMPTY
    holes = np.where(first, 0, np.maximum(starts - covered_end, 0))
    hole_sums = np.add.reduceat(holes, heads) if len(heads) else _EMPTY
    series = codes[heads]
    return Spans(series, starts[heads], span_end, span_end - starts[heads] - hole_sums, np.zeros(len(series), np.int64))
