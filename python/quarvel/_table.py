"""The wide table: a row per tick of a regular grid, a column per series
(logger, channel), computed on integer ticks (ms since 1970).

Every block with n > 0 samples and a period p > 0 ms covers [s, s + n·p)
(the coverage of _gaps); blocks of a period of 0 or one that runs
backwards cover nothing and are left out. Where blocks of a series cover
a tick together, its owner is the one that starts later (overlap="last")
or earlier ("first"), blocks that start at the same tick ordered by file
and then block; a sample is kept when its own tick is owned by its block.
The owners cut a series' time into segments, each one block's: from them
alone every method is computed (see METHODS and doc/python-table.md).

A plan is made from the block headers; the grid is cut into stretches of
rows, and each stretch (a Part) carries only the segments and blocks that
it needs, so that a task reads only the samples near its own ticks (or,
for an aggregation, those in its bins, a chunk at a time). The union of
all sample times is never made.
"""

from __future__ import annotations

import datetime
import heapq
import os
import re
import warnings
from typing import TYPE_CHECKING, Any, Iterable, Iterator, NamedTuple, Sequence

import numpy as np

from ._gaps import covered
from ._headers import TruncatedBlockWarning, truncated_message
from ._index import BlockTable, PathArg
from ._loggers import LoggerRule, Series, logger_names, series_of
from ._optional import require
from ._pieces import read_columns, row_pieces, selected_channels
from ._tabletext import FLOAT, INTEGER, SAMPLE, time_text
from ._ticks import TICK_BOUND, start_ticks, tick_bound
from ._times import MAX_MILLIS, MIN_MILLIS, signed_ms

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

METHODS = ("previous", "exact", "nearest", "linear", "mean", "min", "max", "count")
AGGREGATIONS = ("mean", "min", "max", "count")
OVERLAPS = ("last", "first", "error")
VALUES = ("calData", "raw")
# A partition holds about this many cells (rows × columns), and at least
# MIN_ROWS rows; an aggregation's partition reads about PARTITION_SAMPLES
# samples, and a task reads them AGGREGATE_CHUNK at a time.
PARTITION_CELLS = 1 << 22
MIN_ROWS = 1024
PARTITION_SAMPLES = 1 << 22
AGGREGATE_CHUNK = 1 << 20
# The samples of a block that a task needs are read as one stretch when
# they are at least one in DENSE of that stretch; else in runs of one stride.
DENSE = 8
# The ticks that datetime64[ns] holds: 1677-09-21T00:12:43.146 to
# 2262-04-11T23:47:16.854 UTC.
NS_TICKS = (-((1 << 63) - 1) // 1_000_000 + 1, ((1 << 63) - 1) // 1_000_000)
_NONE = -1
_EMPTY = np.zeros(0, dtype=np.int64)
_UNITS = {"ms": 1, "s": 1000, "min": 60_000, "h": 3_600_000, "D": 86_400_000}


class OverlapError(ValueError):
    """Two blocks of a series cover a common tick of the table, and
    overlap="error". `where` says which and when; str() adds how to take
    one of them."""

    def __init__(self, where: str) -> None:
        super().__init__(where)
        self.where = where

    def __str__(self) -> str:
        return f"{self.where}; give overlap='last' or overlap='first' to take one of them"


# ---- arguments


def every_ms(every: Any) -> int:
    """Returns the grid's step in whole ms: `every` as an integer number of
    ms, or a fixed pandas offset or Timedelta of whole ms ("1s", "250ms",
    pandas.Timedelta, datetime.timedelta, numpy.timedelta64). Raises
    ValueError for a calendar offset ("1M"), a step finer than a whole ms
    ("1us"), or one of less than 1 ms; TypeError for anything else."""
    if isinstance(every, bool):
        raise TypeError("every must be a number of ms or an offset such as '1s', not a bool")
    if isinstance(every, (int, np.integer)):
        ms = int(every)
    else:
        nanos = _nanos(every)
        if nanos % 1_000_000:
            raise ValueError(f"every={every!r} is not a whole number of milliseconds: the table's ticks are whole ms")
        ms = nanos // 1_000_000
    if ms < 1:
        raise ValueError(f"every={every!r}: the step must be 1 ms or more")
    return ms


def _nanos(every: Any) -> int:
    """Returns the length in ns of an offset or a length of time."""
    if isinstance(every, str):
        simple = re.fullmatch(r"\s*(\d*)\s*(ms|s|min|h|D)\s*", every)
        if simple:  # the common forms, without importing pandas
            return int(simple.group(1) or 1) * _UNITS[simple.group(2)] * 1_000_000
    if isinstance(every, datetime.timedelta):
        return ((every.days * 86_400 + every.seconds) * 1_000_000 + every.microseconds) * 1000
    if isinstance(every, np.timedelta64):
        if np.isnat(every):
            raise ValueError("every must not be NaT")
        return int(every.astype("timedelta64[ns]").astype(np.int64))
    pd = require("pandas")
    if isinstance(every, pd.Timedelta):
        return int(every.value)
    if not isinstance(every, (str, pd.DateOffset)):
        raise TypeError(f"every must be a number of ms or a pandas offset such as '1s', not {type(every).__name__}")
    try:
        offset = pd.tseries.frequencies.to_offset(every)
    except ValueError:
        raise ValueError(f"every={every!r} is neither a number of ms nor a pandas offset such as '1s' or"
                         " '250ms'") from None  # fmt: skip
    try:
        return int(offset.nanos)
    except ValueError:
        raise ValueError(f"every={every!r} is a calendar offset ({type(offset).__name__}), whose length varies: give a"
                         " fixed one, such as '1s', '250ms' or '1D'") from None  # fmt: skip


def time_tick(bound: Any, upper: bool) -> int | None:
    """Returns the tick of a grid's `start` (the least tick at or after it)
    or `end` (`upper`: the greatest at or before it): seconds since 1970
    (int or float), an ISO 8601 text (UTC unless it names its offset),
    datetime.datetime (UTC when naive), numpy.datetime64 or
    pandas.Timestamp; None for None. Raises ValueError for a text that is
    no time and for NaN."""
    if bound is None:
        return None
    if isinstance(bound, str):
        try:
            bound = datetime.datetime.fromisoformat(bound.strip())
        except ValueError:
            raise ValueError(f"{bound!r} is neither seconds since 1970 nor an ISO 8601 time") from None
    if isinstance(bound, datetime.datetime) and type(bound).__name__ != "Timestamp":
        offset = bound.utcoffset() or datetime.timedelta(0)
        since = bound.replace(tzinfo=None) - datetime.datetime(1970, 1, 1) - offset
        micros = (since.days * 86_400 + since.seconds) * 1_000_000 + since.microseconds
        return micros // 1000 if upper else -(-micros // 1000)
    if type(bound).__name__ == "Timestamp" and bound.tzinfo is not None:
        bound = bound.tz_convert("UTC").tz_localize(None)
    return tick_bound(bound, upper)


def checked(method: str, overlap: str, values: str) -> None:
    """Raises ValueError for a method, overlap or values it does not know."""
    for name, value, known in (("method", method, METHODS), ("overlap", overlap, OVERLAPS), ("values", values, VALUES)):
        if value not in known:
            raise ValueError(f"{name} must be one of {', '.join(map(repr, known))}, not {value!r}")


# ---- the plan, from the block headers


class Plan(NamedTuple):
    """A table planned from block headers: its column `names`, the grid
    (`first` tick, `rows`, `every` ms), the bounds of its partitions in
    rows, and what the partitions are cut from."""

    names: list[str]
    first: int
    rows: int
    every: int
    method: str
    values: str
    bounds: np.ndarray
    paths: list
    stamps: list
    table: BlockTable
    blocks: np.ndarray  # the table rows of the blocks used
    segments: dict  # arrays, one entry per segment in (series, time) order; "offsets": per series
    influence: tuple  # per segment the ticks [lo, hi] whose cells need it; prefix max of hi, suffix min of lo

    def kinds(self) -> list[str]:
        """Returns the kind of every column's cells (see _tabletext.cell_text)."""
        if self.method == "count" or self.values == "raw" and self.method not in ("linear", "mean"):
            return [INTEGER] * len(self.names)
        return [FLOAT if self.method in ("linear", "mean") else SAMPLE] * len(self.names)

    def dtype(self) -> np.dtype:
        """Returns the dtype of every column of the frame."""
        if self.method == "count":
            return np.dtype(np.int64)
        if self.method in ("linear", "mean") or self.values == "raw":
            return np.dtype(np.float64)
        return np.dtype(np.float32)

    def parts(self) -> Iterator[Part]:
        """Yields the Part of each partition, in order."""
        for low, high in zip(self.bounds[:-1].tolist(), self.bounds[1:].tolist()):
            yield self.part(low, high)

    def part(self, low: int, high: int) -> Part:
        """Returns the Part of rows low to high - 1: the segments whose
        ticks it needs, and their blocks."""
        tick_low = self.first + low * self.every
        tick_high = self.first + (high - 1) * self.every + (self.every - 1 if self.method in AGGREGATIONS else 0)
        lo, hi, most, least = self.influence
        offsets = self.segments["offsets"]
        chosen, counts = [], []
        for c in range(len(self.names)):
            a, b = int(offsets[c]), int(offsets[c + 1])
            begin = a + int(np.searchsorted(most[a:b], tick_low, side="left"))
            stop = a + int(np.searchsorted(least[a:b], tick_high, side="right"))
            mine = np.arange(begin, max(begin, stop))
            mine = mine[(lo[mine] <= tick_high) & (hi[mine] >= tick_low)]
            chosen.append(mine)
            counts.append(len(mine))
        segments = np.concatenate(chosen) if chosen else _EMPTY
        seg = {name: self.segments[name][segments] for name in SEGMENT_FIELDS}
        referenced = [seg["block"], seg["before_block"], seg["after_block"]]
        used, local = np.unique(np.concatenate(referenced), return_inverse=True)
        local = local.reshape(3, -1)
        if len(used) and used[0] == _NONE:
            used, local = used[1:], local - 1  # _NONE stays below every block
        seg["block"], seg["before_block"], seg["after_block"] = local[0], local[1], local[2]
        pieces = row_pieces(self.table, self.blocks[used])
        files, pieces["file"] = np.unique(pieces["file"], return_inverse=True)
        offsets_out = np.zeros(len(self.names) + 1, dtype=np.int64)
        np.cumsum(counts, out=offsets_out[1:])
        return Part(
            tuple(self.paths[f] for f in files.tolist()),
            tuple(self.stamps[f] for f in files.tolist()),
            pieces,
            seg,
            offsets_out,
            tick_low if high > low else self.first,
            high - low,
            self.every,
            self.method,
            self.values,
        )


# Per segment: its start and end tick, its block, the first and last kept
# sample of the block in it (k1 < k0: none), the last kept sample of its
# series before it and the first after it (block _NONE: none).
SEGMENT_FIELDS = ("start", "end", "block", "k0", "k1", "before_block", "before_index", "after_block", "after_index")


class Part(NamedTuple):
    """What one partition reads and computes: its files, its blocks as
    pieces (every sample; "file" is a position in `paths`), its segments
    (blocks local to it), the grid of its rows, and the method."""

    paths: tuple
    stamps: tuple
    blocks: np.ndarray
    segments: dict
    offsets: np.ndarray
    first: int
    rows: int
    every: int
    method: str
    values: str


def select(
    table: BlockTable,
    loggers: list[str] | None,
    channels: Sequence[int] | None,
    files: np.ndarray | None = None,
) -> tuple[np.ndarray, Series]:
    """Returns the rows of `table` with samples (of `channels`, and of the
    files that `files` marks, when given) and their series."""
    keep = table.present_samples > 0
    if channels is not None:
        keep &= np.isin(table.channel, np.array(channels, dtype=np.int64))
    if files is not None:
        keep &= files[table.file]
    rows = np.flatnonzero(keep)
    return rows, series_of(loggers, table.file[rows], table.channel[rows])


def make_plan(
    table: BlockTable,
    rows: np.ndarray,
    series: Series,
    every: int,
    start: int | None = None,
    end: int | None = None,
    method: str = "previous",
    overlap: str = "last",
    values: str = "calData",
    cells: int = PARTITION_CELLS,
    stacklevel: int = 2,
) -> Plan:
    """Returns the plan of a table of the blocks `rows` of `table`, of the
    series `series` (per row), on the grid of step `every` ms from the
    tick `start` to the tick `end` (None: from the first sample's tick
    floored to a multiple of `every`, to the last sample's tick). Warns
    (at the caller `stacklevel` frames up) of blocks left out, of blocks
    cut short that the table reaches, and per series of the cells where
    blocks overlap; raises OverlapError when they overlap in the table
    with overlap="error"."""
    checked(method, overlap, values)
    names = series.column_names()
    s = start_ticks(table.first_time[rows])
    p = signed_ms(table.period_ms[rows]).astype(np.int64)
    n = table.present_samples[rows].astype(np.int64)
    codes = series.codes
    still = p <= 0
    if still.any():
        count = int(still.sum())
        warnings.warn(f"{count:,} block{'s' if count != 1 else ''} with a period of 0 or one that runs backwards"
                      f" cover{'s' if count == 1 else ''} no time and {'is' if count == 1 else 'are'} left out",
                      stacklevel=stacklevel + 1)  # fmt: skip
        rows, s, p, n, codes = rows[~still], s[~still], p[~still], n[~still], codes[~still]
    e = s + n * p
    if start is None:
        first = int(s.min()) // every * every if len(s) else 0
    else:
        first = start
    last = end if end is not None else (int((e - p).max()) if len(s) else first - 1)
    count = (last - first) // every + 1 if last >= first else 0
    # The ticks that the table stands for: [first, reach).
    reach = first + (count - 1) * every + (every if method in AGGREGATIONS else 1)
    _warn_cut(table, rows, first, reach, stacklevel + 1)
    _check_overlaps(table, rows, codes, s, e, p, names, overlap, method, first, count, every, stacklevel + 1)
    segments = _segments(codes, s, e, p, n, rows, len(names), "first" if overlap == "first" else "last")
    influence = _influence(segments, s, p, method)
    bounds = _bounds(count, len(names), cells, segments, s, p, first, every, method)
    return Plan(names, first, count, every, method, values, bounds, list(table.paths), list(table.stamps or
                [None] * len(table.paths)), table, rows, segments, influence)  # fmt: skip


def _warn_cut(table: BlockTable, rows: np.ndarray, first: int, reach: int, stacklevel: int) -> None:
    """Warns with TruncatedBlockWarning, in the converter's words, for each
    block cut short whose declared samples reach into the ticks [first, reach)."""
    cut = rows[table.present_samples[rows] < table.declared_samples[rows]]
    start = start_ticks(table.first_time[cut])
    declared_end = start + table.declared_samples[cut].astype(np.int64) * signed_ms(table.period_ms[cut])
    for row in cut[(declared_end > first) & (start < reach)].tolist():
        path = table.paths[int(table.file[row])]
        message = truncated_message(path, int(table.present_samples[row]), int(table.declared_samples[row]))
        warnings.warn(message, TruncatedBlockWarning, stacklevel=stacklevel + 1)


def _check_overlaps(
    table: BlockTable,
    rows: np.ndarray,
    codes: np.ndarray,
    s: np.ndarray,
    e: np.ndarray,
    p: np.ndarray,
    names: list[str],
    overlap: str,
    method: str,
    first: int,
    count: int,
    every: int,
    stacklevel: int,
) -> None:
    """Raises OverlapError for the first stretch of the table's ticks that
    two blocks of a series cover (overlap="error"); else warns once per
    series with the cells whose tick (or bin) meets such a stretch."""
    if count == 0 or not len(rows):
        return
    found = covered(codes, s, e, p, tolerance=0.0).overlaps
    bins = method in AGGREGATIONS
    reach = first + (count - 1) * every + (every if bins else 1)
    meets = (found.start < reach) & (found.start + found.length > first)
    if overlap == "error":
        if meets.any():
            i = int(np.flatnonzero(meets)[0])
            at = max(int(found.start[i]), first)
            involved = found.involved(i)
            both = involved[(s[involved] <= at) & (e[involved] > at)]
            both = both[np.lexsort((rows[both], s[both]))][:2]
            named = " and ".join(_block_name(table, int(rows[b])) for b in both)
            raise OverlapError(f"{names[int(found.series[i])]}: {named} both cover {_when(at)}")
        return
    low = np.maximum(found.start, first)
    high = np.minimum(found.start + found.length, reach)  # exclusive
    if bins:  # the bins [g, g + every) that meet [low, high)
        k_low = (low - first) // every
    else:  # the grid ticks in [low, high)
        k_low = -(-(low - first) // every)
    k_high = (high - 1 - first) // every
    for c in np.unique(found.series[meets]).tolist():
        mine = np.flatnonzero(meets & (found.series == c))
        lows, highs = k_low[mine], k_high[mine]
        # Stretches are disjoint and in order, so the ranges of rows are too;
        # a row may end one and start the next.
        ceiling = np.maximum.accumulate(highs)
        previous = np.concatenate([[lows[0] - 1], ceiling[:-1]])
        cells = int(np.maximum(highs - np.maximum(lows, previous + 1) + 1, 0).sum())
        if cells:
            taken = "later" if overlap == "last" else "earlier"
            warnings.warn(f"{names[c]}: {cells:,} cell{'s' if cells != 1 else ''} of the table met blocks that"
                          f" overlap; the block that starts {taken} was taken",
                          stacklevel=stacklevel + 1)  # fmt: skip


def _block_name(table: BlockTable, row: int) -> str:
    return f"block {int(table.block[row])} of {os.fsdecode(table.paths[int(table.file[row])])}"


def _when(tick: int) -> str:
    inside = MIN_MILLIS <= tick <= MAX_MILLIS
    return time_text(tick, iso=True) if inside else f"{time_text(tick)} s"


# ---- segments: which block owns each tick


def _segments(
    codes: np.ndarray,
    s: np.ndarray,
    e: np.ndarray,
    p: np.ndarray,
    n: np.ndarray,
    rows: np.ndarray,
    series: int,
    overlap: str,
) -> dict:
    """Returns the segments of every series (see SEGMENT_FIELDS), blocks
    given by their position among the blocks used, and "offsets", where
    each series' segments begin."""
    order = np.lexsort((rows, s, codes))  # a series' blocks by start, then file and block order
    heads = np.searchsorted(codes[order], np.arange(series + 1))
    parts = []
    for c in range(series):
        mine = order[heads[c] : heads[c + 1]]
        parts.append(_owners(s[mine], e[mine], mine, overlap))
    start = np.concatenate([part[0] for part in parts]) if parts else _EMPTY
    end = np.concatenate([part[1] for part in parts]) if parts else _EMPTY
    block = np.concatenate([part[2] for part in parts]) if parts else _EMPTY
    offsets = np.zeros(series + 1, dtype=np.int64)
    np.cumsum([len(part[0]) for part in parts], out=offsets[1:])
    bs, bp = s[block], p[block]
    k0 = -((bs - start) // bp)  # the first sample at or after the segment's start
    k1 = -((bs - end) // bp) - 1  # the last before its end
    segments = {"start": start, "end": end, "block": block, "k0": k0, "k1": k1, "offsets": offsets}
    segments.update(_neighbours(block, k0, k1, offsets))
    return segments


def _owners(s: np.ndarray, e: np.ndarray, blocks: np.ndarray, overlap: str) -> tuple[np.ndarray, ...]:
    """Returns the segments (start, end, block) of one series' blocks
    [s, e), given in the order of their keys (start, file, block): each
    stretch of time owned by one block, in time order."""
    count = len(s)
    if not count:
        return _EMPTY, _EMPTY, _EMPTY
    before = np.maximum.accumulate(e)  # the end of the time covered up to each block
    reached = np.concatenate([[s[0]], before[:-1]])
    if overlap == "first":
        # Every earlier block starts no later, so the earlier ones cover [s, reached) of a block, and no more.
        low, high = np.maximum(s, reached), e
        keep = low < high
        return low[keep], high[keep], blocks[keep]
    # "last": a block is owned until the next one starts, when every later
    # block that starts before it ends reaches as far (a chain): then the
    # next block covers the rest of it. Else (a later block ends inside
    # it), the owners of that stretch of overlapping blocks are swept.
    following = np.append(s[1:], e[-1])
    high = np.minimum(e, following)
    cluster = np.cumsum(s >= reached) - 1  # stretches of blocks that overlap one another
    nested = np.zeros(count, dtype=bool)
    nested[:-1] = (following[:-1] < e[:-1]) & (e[1:] < e[:-1])
    low = s
    if nested.any():
        swept = np.isin(cluster, cluster[nested])
        pieces = [(low[~swept], high[~swept], blocks[~swept])]
        for c in np.unique(cluster[swept]).tolist():
            mine = np.flatnonzero(cluster == c)
            pieces.append(_sweep(s[mine], e[mine], blocks[mine]))
        low = np.concatenate([piece[0] for piece in pieces])
        high = np.concatenate([piece[1] for piece in pieces])
        owner = np.concatenate([piece[2] for piece in pieces])
        order = np.argsort(low, kind="stable")
        low, high, owner = low[order], high[order], owner[order]
    else:
        owner = blocks
    keep = low < high
    return low[keep], high[keep], owner[keep]


def _sweep(s: np.ndarray, e: np.ndarray, blocks: np.ndarray) -> tuple[np.ndarray, ...]:
    """Returns the segments of blocks [s, e) given in key order, each tick
    owned by the last of the blocks that cover it: a sweep over the ticks
    where blocks start and end, with a heap of the blocks that cover."""
    starts, ends, keys = s.tolist(), e.tolist(), range(len(s))
    ticks = sorted(set(starts) | set(ends))
    by_start = sorted(keys, key=lambda k: starts[k])
    heap: list[int] = []
    out_low, out_high, out_block = [], [], []
    i = 0
    for tick, following in zip(ticks, ticks[1:]):
        while i < len(by_start) and starts[by_start[i]] <= tick:
            heapq.heappush(heap, -by_start[i])
            i += 1
        while heap and ends[-heap[0]] <= tick:
            heapq.heappop(heap)
        if heap:
            owner = -heap[0]
            if out_block and out_block[-1] == owner and out_high[-1] == tick:
                out_high[-1] = following
            else:
                out_low.append(tick)
                out_high.append(following)
                out_block.append(owner)
    chosen = np.array(out_block, dtype=np.int64)
    return np.array(out_low, dtype=np.int64), np.array(out_high, dtype=np.int64), blocks[chosen]


def _neighbours(block: np.ndarray, k0: np.ndarray, k1: np.ndarray, offsets: np.ndarray) -> dict:
    """Returns per segment the last kept sample of its series before it and
    the first after it (block and index; block _NONE where none)."""
    count = len(block)
    has = k1 >= k0
    positions = np.arange(count)
    series_start = np.repeat(offsets[:-1], np.diff(offsets))
    series_end = np.repeat(offsets[1:], np.diff(offsets))
    last = np.maximum.accumulate(np.where(has, positions, -1)) if count else _EMPTY
    before = np.concatenate([[-1], last[:-1]]) if count else _EMPTY
    before = np.where(before >= series_start, before, -1)
    following = np.minimum.accumulate(np.where(has, positions, count)[::-1])[::-1] if count else _EMPTY
    after = np.concatenate([following[1:], [count]]) if count else _EMPTY
    after = np.where(after < series_end, after, count)
    safe_before, safe_after = np.maximum(before, 0), np.minimum(after, count - 1)
    return {
        "before_block": np.where(before >= 0, block[safe_before] if count else _EMPTY, _NONE),
        "before_index": np.where(before >= 0, k1[safe_before] if count else _EMPTY, 0),
        "after_block": np.where(after < count, block[safe_after] if count else _EMPTY, _NONE),
        "after_index": np.where(after < count, k0[safe_after] if count else _EMPTY, 0),
    }


def _influence(segments: dict, s: np.ndarray, p: np.ndarray, method: str) -> tuple[np.ndarray, ...]:
    """Returns per segment the ticks [lo, hi] whose cells need it, and per
    series the prefix maximum of hi and the suffix minimum of lo, by which
    a partition finds its segments by bisection."""
    start, end, block, k0, k1 = (segments[name] for name in ("start", "end", "block", "k0", "k1"))
    bs, bp = s[block], p[block]
    has = k1 >= k0
    if method in AGGREGATIONS:  # the ticks of its kept samples
        lo = np.where(has, bs + k0 * bp, TICK_BOUND)
        hi = np.where(has, bs + k1 * bp, -TICK_BOUND)
    else:
        lo, hi = start, end - 1
        if method == "nearest":  # and the ticks that its kept samples are nearest to
            half = bp // 2
            lo = np.where(has, np.minimum(lo, bs + k0 * bp - half), lo)
            hi = np.where(has, np.maximum(hi, bs + k1 * bp + half), hi)
    most, least = np.empty_like(hi), np.empty_like(lo)
    offsets = segments["offsets"]
    for a, b in zip(offsets[:-1].tolist(), offsets[1:].tolist()):
        if b > a:
            most[a:b] = np.maximum.accumulate(hi[a:b])
            least[a:b] = np.minimum.accumulate(lo[a:b][::-1])[::-1]
    return lo, hi, most, least


def _bounds(
    rows: int,
    columns: int,
    cells: int,
    segments: dict,
    s: np.ndarray,
    p: np.ndarray,
    first: int,
    every: int,
    method: str,
) -> np.ndarray:
    """Returns the bounds of the partitions in rows: about `cells` cells
    each, and for an aggregation about PARTITION_SAMPLES samples at most
    (in steps of a 64th of a partition)."""
    size = max(MIN_ROWS, cells // max(columns, 1))
    if method not in AGGREGATIONS or method == "count" or rows <= 1:
        return np.unique(np.append(np.arange(0, rows, size, dtype=np.int64), rows))
    marks = np.unique(np.append(np.arange(0, rows, max(1, size // 64), dtype=np.int64), rows))
    before = _kept_before(segments, s, p, first + marks * every).tolist()
    marks = marks.tolist()
    bounds, opened = [0], 0  # the mark where the partition being filled began
    for i in range(1, len(marks)):
        if marks[i] - bounds[-1] >= size or before[i] - before[opened] >= PARTITION_SAMPLES or i == len(marks) - 1:
            bounds.append(marks[i])
            opened = i
    return np.array(bounds, dtype=np.int64)


def _kept_before(segments: dict, s: np.ndarray, p: np.ndarray, ticks: np.ndarray) -> np.ndarray:
    """Returns per tick of `ticks` the kept samples of every series whose tick lies before it."""
    start, block, k0, k1 = segments["start"], segments["block"], segments["k0"], segments["k1"]
    kept = np.maximum(k1 - k0 + 1, 0)
    total = np.zeros(len(ticks), dtype=np.int64)
    offsets = segments["offsets"]
    for a, b in zip(offsets[:-1].tolist(), offsets[1:].tolist()):
        if b == a:
            continue
        i = np.searchsorted(start[a:b], ticks, side="right") - 1
        whole = np.concatenate([[0], np.cumsum(kept[a:b])])
        inside = i >= 0
        j = a + np.maximum(i, 0)
        bs, bp = s[block[j]], p[block[j]]
        partial = np.clip(-((bs - ticks) // bp), k0[j], k1[j] + 1) - k0[j]  # kept samples before the tick
        total += np.where(inside, whole[np.maximum(i, 0)] + np.maximum(partial, 0), 0)
    return total


# ---- a partition's cells


class Cells(NamedTuple):
    """A partition's grid `ticks` and per column its values (NaN in the
    cells without one) and the mask of the cells that have one (None:
    every cell)."""

    ticks: np.ndarray
    values: list[np.ndarray]
    has: list[np.ndarray | None]
    matrix: np.ndarray | None = None  # the values as rows of one array (columns by rows), when they are


def compute(part: Part) -> Cells:
    """Returns the cells of one partition, reading the samples it needs."""
    ticks = part.first + part.every * np.arange(part.rows, dtype=np.int64)
    blocks = part.blocks
    s = start_ticks(blocks["first_time"])
    p = signed_ms(blocks["period_ms"]).astype(np.int64)
    if part.method in AGGREGATIONS:
        return _aggregate(part, ticks, s, p)
    if part.method == "previous":
        return _previous(part, ticks, s, p)
    return _points(part, ticks, s, p)


def _previous(part: Part, ticks: np.ndarray, s: np.ndarray, p: np.ndarray) -> Cells:
    """The cells of previous. The rows of the grid in a segment are a range,
    and sample floor((tick - s) / p) of its block fills each. A segment's
    samples are read in the order of its rows: as a piece of one stride
    when p divides every (a sample a row, so that they are the cells), or
    as the stretch they span when they are dense in it (each row then
    takes its own from them). Other segments (sparse samples at an odd
    stride) go the general way."""
    seg, first, every, rows = part.segments, part.first, part.every, part.rows
    low = np.clip(-((first - seg["start"]) // every), 0, rows)
    high = np.clip(-((first - seg["end"]) // every), 0, rows)
    live = np.flatnonzero(high > low)
    column = np.repeat(np.arange(len(part.offsets) - 1), np.diff(part.offsets))[live]
    low, high, block = low[live], high[live], seg["block"][live]
    bs, bp = s[block], p[block]
    j0 = (first + low * every - bs) // bp  # the samples of a segment's first and last row
    j1 = (first + (high - 1) * every - bs) // bp
    cells = high - low
    strided = (every % bp == 0) & (every >= bp)
    dense = ~strided & (j1 - j0 + 1 <= DENSE * cells)
    fast = np.flatnonzero(strided | dense)
    pieces = part.blocks[block[fast]]
    pieces["first"] = j0[fast]
    pieces["stride"] = np.where(strided[fast], every // bp[fast], 1)
    pieces["count"] = np.where(strided[fast], cells[fast], j1[fast] - j0[fast] + 1)
    values = read_in_order(part, pieces) if len(fast) else np.zeros(0, dtype=_sample_dtype(part))
    read_ends = np.cumsum(pieces["count"])
    odd = np.flatnonzero(~strided & ~dense)
    odd_rows, odd_values, odd_columns = _EMPTY, values[:0], _EMPTY
    if len(odd):
        odd_rows, which = _covering(low[odd], high[odd], 0, 1, rows)
        own = odd[which]
        (odd_values,) = _gather(part, [(block[own], (first + odd_rows * every - bs[own]) // bp[own])])
        odd_columns = column[own]
    columns = len(part.offsets) - 1
    out_all = np.full((columns, rows), np.nan, dtype=np.float32 if part.values == "calData" else np.float64)
    has_all = np.zeros((columns, rows), dtype=bool)
    for c in range(columns):
        out, has = out_all[c], has_all[c]
        mine = np.flatnonzero(column[fast] == c)  # among the fast ones, in time order
        if len(mine):
            begin = int(read_ends[mine[0]] - pieces["count"][mine[0]])
            filled = values[begin : int(read_ends[mine[-1]])]
            own = fast[mine]
            if dense[own].any():
                filled = _fill(filled, pieces["count"][mine], own, dense, cells, low, j0, bs, bp, first, every)
            lows, highs = low[fast[mine]], high[fast[mine]]
            if (lows[1:] == highs[:-1]).all():  # one stretch of rows, without a gap
                out[lows[0] : highs[-1]] = filled
                has[lows[0] : highs[-1]] = True
            else:
                has[:] = _ranges(lows, highs, rows)
                out[has] = filled
        if len(odd):
            at = odd_rows[odd_columns == c]
            out[at] = odd_values[odd_columns == c]
            has[at] = True
    return Cells(ticks, list(out_all), list(has_all), out_all)


def _fill(
    values: np.ndarray,
    read: np.ndarray,
    own: np.ndarray,
    dense: np.ndarray,
    cells: np.ndarray,
    low: np.ndarray,
    j0: np.ndarray,
    bs: np.ndarray,
    bp: np.ndarray,
    first: int,
    every: int,
) -> np.ndarray:
    """Returns the cells of a column's segments `own` (in time order) from
    the `values` read for them (`read` per segment): a strided segment's
    values are its cells; a dense one's row takes its own sample, the
    sample (first + row × every - s) // p of the block, less the first one
    read (j0). Where each sample lasts many rows (p of 4 every or more),
    each is repeated for the rows its period holds, else each row finds
    its own."""
    long = dense[own] & (bp[own] >= 4 * every)
    if long.all() or not (dense[own] & ~long).any() and long.any():
        # Repeat each sample for its rows: from its own tick's row to the next sample's.
        counts = np.where(dense[own], read, 0)
        reach = np.repeat(np.where(dense[own], j0[own], 0), counts + 1) + _within(counts + 1)
        where = np.repeat(own, counts + 1)
        edge = np.clip(-((first - bs[where] - reach * bp[where]) // every), low[where], low[where] + cells[where])
        steps = np.delete(np.diff(edge), np.cumsum(counts + 1)[:-1] - 1)  # not from one segment to the next
        repeats = np.ones(len(values), dtype=np.int64)
        starts = np.cumsum(read) - read
        repeats[np.repeat(starts, counts) + _within(counts)] = steps
        return np.repeat(values, repeats)
    # Each row finds its sample: (F + k × every) // p + G, k its place in the segment, for strided
    # segments with p = every and F = 0 (their values are their cells).
    k = _within(cells[own])
    period = np.where(dense[own], bp[own], every)
    offset = np.where(dense[own], first + low[own] * every - bs[own], 0)
    base = np.cumsum(read) - read - np.where(dense[own], j0[own], 0)
    if (period == period[0]).all():
        position = (k * every + np.repeat(offset, cells[own])) // int(period[0])
    else:
        position = (k * every + np.repeat(offset, cells[own])) // np.repeat(period, cells[own])
    position += np.repeat(base, cells[own])
    return values[position]


def _within(counts: np.ndarray) -> np.ndarray:
    """Returns 0 to count - 1 for each of `counts`, one after another."""
    return np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts)


def _ranges(low: np.ndarray, high: np.ndarray, rows: int) -> np.ndarray:
    """Returns the mask of `rows` rows that is true in the disjoint ranges [low, high)."""
    marks = np.zeros(rows + 1, dtype=np.int8)
    marks[low] += 1  # distinct starts; an end may be where the next range starts
    marks[high] -= 1
    return np.cumsum(marks[:-1], dtype=np.int8) > 0


def _sample_dtype(part: Part) -> np.dtype:
    return np.dtype(np.float32 if part.values == "calData" else np.int16)


def _points(part: Part, ticks: np.ndarray, s: np.ndarray, p: np.ndarray) -> Cells:
    """The cells of exact, nearest and linear: the samples that each cell
    needs (one, or linear's two) are found for every covered row, and read
    together."""
    seg = part.segments
    wants: list[tuple[np.ndarray, np.ndarray]] = []  # (block, index) of the samples to read
    plans = []
    for c in range(len(part.offsets) - 1):
        a, b = int(part.offsets[c]), int(part.offsets[c + 1])
        mine = {name: seg[name][a:b] for name in SEGMENT_FIELDS}
        at, i = _covering(mine["start"], mine["end"], part.first, part.every, part.rows)
        t = part.first + part.every * at
        if part.method == "nearest":
            at, block, index = _nearest(mine, ticks, at, i, s, p)
            plans.append(("one", at, len(wants)))
            wants.append((block, index))
            continue
        block = mine["block"][i]
        offset = t - s[block]
        if part.method == "exact":
            on = offset % p[block] == 0
            plans.append(("one", at[on], len(wants)))
            wants.append((block[on], offset[on] // p[block[on]]))
        else:
            plans.append(("linear", *_linear(mine, t, at, i, s, p, wants)))
    values = _gather(part, wants)
    kind = np.float32 if part.values == "calData" and part.method != "linear" else np.float64
    out_all = np.full((len(plans), part.rows), np.nan, dtype=kind)
    out_values, out_has = list(out_all), []
    for plan, cells in zip(plans, out_values):
        has = np.zeros(part.rows, dtype=bool)
        if plan[0] == "one":
            _, at, want = plan
            cells[at] = values[want]
        else:
            _, at, exact_at, a_want, between, b_want, t_between, ta, tb = plan
            va = values[a_want].astype(np.float64)
            cells[at[exact_at]] = va[exact_at]
            va_between = va[between]
            vb = values[b_want].astype(np.float64)
            cells[at[between]] = interpolate(va_between, vb, t_between - ta, tb - ta)
            at = np.concatenate([at[exact_at], at[between]])
        has[at] = True
        out_has.append(has)
    return Cells(ticks, out_values, out_has, out_all)


def _covering(start: np.ndarray, end: np.ndarray, first: int, every: int, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Returns the rows of the grid (first + row × every, rows of them)
    whose ticks a segment [start, end) covers, in order, and that segment
    of each: the rows of a segment are a range, found by division."""
    low = np.clip(-((first - start) // every), 0, rows)  # the first row at or after its start
    high = np.clip(-((first - end) // every), 0, rows)  # ... at or after its end
    counts = np.maximum(high - low, 0)
    total = int(counts.sum())
    segment = np.repeat(np.arange(len(start)), counts)
    return np.arange(total) + np.repeat(low - (np.cumsum(counts) - counts), counts), segment


def _nearest(
    seg: dict, ticks: np.ndarray, at: np.ndarray, i: np.ndarray, s: np.ndarray, p: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Returns, for the covered ticks, the nearest kept sample within half
    its period (a tie to the earlier): the positions of the ticks that have
    one, and its block and index. Each segment's kept samples claim the
    ticks within half a period of them; every (segment, tick) pair it
    claims is a candidate."""
    covered_tick = np.zeros(len(ticks), dtype=bool)
    covered_tick[at] = True
    k0, k1, block = seg["k0"], seg["k1"], seg["block"]
    has = np.flatnonzero(k1 >= k0)
    if not len(ticks) or not len(has):
        return _EMPTY, _EMPTY, _EMPTY
    bs, bp, lo_k, hi_k = s[block[has]], p[block[has]], k0[has], k1[has]
    half = bp // 2
    first, every = int(ticks[0]), int(ticks[1] - ticks[0]) if len(ticks) > 1 else 1
    low = np.maximum(bs + lo_k * bp - half, first)
    high = np.minimum(bs + hi_k * bp + half, int(ticks[-1]))
    row_low = -(-(low - first) // every)
    row_high = (high - first) // every
    counts = np.maximum(row_high - row_low + 1, 0)
    pair = np.repeat(np.arange(len(has)), counts)
    row = np.repeat(row_low, counts) + (np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts))
    keep = covered_tick[row]
    pair, row = pair[keep], row[keep]
    t = ticks[row]
    ps, pp = bs[pair], bp[pair]
    below = (t - ps) // pp
    index = np.where(2 * (t - (ps + below * pp)) <= pp, below, below + 1)
    index = np.clip(index, lo_k[pair], hi_k[pair])
    tau = ps + index * pp
    distance = np.abs(tau - t)
    ok = 2 * distance <= pp
    pair, row, index, tau, distance = pair[ok], row[ok], index[ok], tau[ok], distance[ok]
    order = np.lexsort((tau, distance, row))
    first_of_row = np.ones(len(order), dtype=bool)
    first_of_row[1:] = row[order][1:] != row[order][:-1]
    chosen = order[first_of_row]
    return row[chosen], block[has][pair[chosen]], index[chosen]


def _linear(
    seg: dict, t: np.ndarray, at: np.ndarray, i: np.ndarray, s: np.ndarray, p: np.ndarray, wants: list
) -> tuple:
    """Plans linear's cells at the covered ticks `t` (positions `at`, in
    segments `i`): a, the last kept sample at or before the tick, and b,
    the next kept sample after it. Appends the samples to read to `wants`."""
    block, k0, k1 = seg["block"][i], seg["k0"][i], seg["k1"][i]
    bs, bp = s[block], p[block]
    own = (k1 >= k0) & (t >= bs + k0 * bp)  # a is in the tick's own segment
    a_block = np.where(own, block, seg["before_block"][i])
    a_index = np.where(own, (t - bs) // bp, seg["before_index"][i])
    has = k1 >= k0
    # b, the next kept sample after a: the next of the segment's own, or the
    # first of its series after the segment; or, for an a before the
    # segment, the segment's first kept sample.
    next_own = own & (a_index + 1 <= k1)
    from_segment = next_own | (~own & has)
    b_block = np.where(from_segment, block, seg["after_block"][i])
    b_index = np.where(next_own, a_index + 1, np.where(from_segment, k0, seg["after_index"][i]))
    found = a_block != _NONE
    at, t, a_block, a_index, b_block, b_index = (x[found] for x in (at, t, a_block, a_index, b_block, b_index))
    safe_b = np.maximum(b_block, 0)
    ta = s[a_block] + a_index * p[a_block]
    tb = s[safe_b] + b_index * p[safe_b]
    exact_at = ta == t
    between = ~exact_at & (b_block != _NONE) & (tb - ta == p[a_block]) & (t < tb)
    a_want = len(wants)
    wants.append((a_block, a_index))
    b_want = len(wants)
    wants.append((b_block[between], b_index[between]))
    return at, exact_at, a_want, between, b_want, t[between], ta[between], tb[between]


def _gather(part: Part, wants: list[tuple[np.ndarray, np.ndarray]]) -> list[np.ndarray]:
    """Returns the values of the samples `wants` (per entry, their blocks
    and indices, each block's indices in order where it follows itself)."""
    name = "calData" if part.values == "calData" else "rawCounts"
    sizes = [len(block) for block, _ in wants]
    if not sum(sizes):
        kind = np.float32 if name == "calData" else np.int16
        return [np.zeros(0, dtype=kind) for _ in wants]
    block = np.concatenate([block for block, _ in wants]).astype(np.int64)
    index = np.concatenate([index for _, index in wants]).astype(np.int64)
    bounds = np.cumsum([0, *sizes])
    head = np.zeros(len(block), dtype=bool)
    head[bounds[:-1][np.array(sizes) > 0]] = True
    pieces, position = _runs(part.blocks, block, index, head)
    values = read_columns(part.paths, part.stamps, pieces, [name])[name][position]
    return [values[low:high] for low, high in zip(bounds[:-1], bounds[1:])]


def _runs(blocks: np.ndarray, block: np.ndarray, index: np.ndarray, head: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns pieces that read the samples (`block`, `index`; a run starts
    where `head` says), and the position of each sample among the samples
    they read, in the pieces' order (that of the files). Samples of one
    block that follow one another in order (a run) are read as one piece:
    of one stride when evenly spaced (one sample, when it repeats); else
    as the stretch from the first to the last where they are one in DENSE
    of it at least; else in shorter runs, each of one stride."""
    count = len(block)
    step = np.zeros(count, dtype=np.int64)
    np.subtract(index[1:], index[:-1], out=step[1:])
    head = head.copy()
    head[0] = True
    head[1:] |= (block[1:] != block[:-1]) | (step[1:] < 0)
    starts, sizes, low, high, spacing = _run_ends(head, index, step)
    steps = step.copy()
    steps[starts] = spacing  # so that only a run's own steps are compared
    even = np.maximum.reduceat(steps, starts) == np.minimum.reduceat(steps, starts)
    dense = ~even & (high - low + 1 <= DENSE * sizes)
    sparse = np.repeat(~even & ~dense, sizes)
    if sparse.any():  # cut at every change of step: runs of one stride
        was_dense = np.repeat(dense, sizes)
        head[1:] |= sparse[1:] & ((step[1:] == 0) | (~head[:-1] & (step[1:] != step[:-1])))
        starts, sizes, low, high, spacing = _run_ends(head, index, step)
        dense = was_dense[starts]
    stride = np.where(dense | (spacing == 0), 1, spacing)
    samples = np.where(dense, high - low + 1, np.where(spacing == 0, 1, sizes))
    pieces = blocks[block[starts]]
    pieces["first"] = low
    pieces["stride"] = stride
    pieces["count"] = samples
    order = np.argsort(block[starts], kind="stable")  # read file after file, each once
    before = np.empty(len(order), dtype=np.int64)
    before[order] = np.cumsum(samples[order]) - samples[order]
    position = index - np.repeat(low, sizes)
    if (stride > 1).any():
        position //= np.repeat(stride, sizes)
    position += np.repeat(before, sizes)
    return pieces[order], position


def _run_ends(head: np.ndarray, index: np.ndarray, step: np.ndarray) -> tuple[np.ndarray, ...]:
    """Returns per run (from each `head`): its first position, its size,
    its first and last index, and its step (0 for a run of one)."""
    starts = np.flatnonzero(head)
    sizes = np.diff(np.append(starts, len(head)))
    spacing = np.where(sizes > 1, step[np.minimum(starts + 1, len(head) - 1)], 0)
    return starts, sizes, index[starts], index[starts + sizes - 1], spacing


def _aggregate(part: Part, ticks: np.ndarray, s: np.ndarray, p: np.ndarray) -> Cells:
    """The cells of mean, min, max and count: over the kept samples whose
    ticks lie in each bin [tick, tick + every), read a chunk at a time in
    each series' tick order."""
    rows, every, first = part.rows, part.every, part.first
    columns = len(part.offsets) - 1
    stream = _kept_pieces(part, s, p, ticks)  # (column, block, first index, count) in column and then tick order
    group_cell, group_start, group_length = _groups(stream, s, p, first, every, rows)
    cells = columns * rows
    state = _State(cells, part.method, part.values)
    if part.method == "count":
        np.add.at(state.count, group_cell, group_length)
    else:
        total = int(stream[3].sum())
        for low in range(0, total, AGGREGATE_CHUNK):
            high = min(low + AGGREGATE_CHUNK, total)
            values = _read_stream(part, stream, low, high)
            chosen = (group_start < high) & (group_start + group_length > low)
            g_start = np.maximum(group_start[chosen], low)
            g_end = np.minimum(group_start[chosen] + group_length[chosen], high)
            state.add(values, group_cell[chosen], g_start - low, g_end - g_start)
    matrix, out_has = state.results(columns, rows)
    return Cells(ticks, list(matrix), out_has, matrix)


def _kept_pieces(part: Part, s: np.ndarray, p: np.ndarray, ticks: np.ndarray) -> tuple[np.ndarray, ...]:
    """Returns the runs of kept samples in the partition's bins, per column
    in tick order: (column, block, first index, count)."""
    seg = part.segments
    low_tick = int(ticks[0]) if len(ticks) else 0
    high_tick = low_tick + len(ticks) * part.every  # exclusive
    block, k0, k1 = seg["block"], seg["k0"], seg["k1"]
    bs, bp = s[block], p[block]
    first = np.maximum(k0, -((bs - low_tick) // bp))
    last = np.minimum(k1, -((bs - high_tick) // bp) - 1)
    column = np.repeat(np.arange(len(part.offsets) - 1), np.diff(part.offsets))
    keep = last >= first
    return column[keep], block[keep], first[keep], (last - first + 1)[keep]


def _groups(
    stream: tuple[np.ndarray, ...], s: np.ndarray, p: np.ndarray, first_tick: int, every: int, rows: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Returns the runs of the stream's samples that fall in one cell
    (column × rows + bin): the cell, the position of the run's first
    sample in the stream, and its length; consecutive runs of one cell
    joined."""
    column, block, first, count = stream
    bs, bp = s[block], p[block]
    tau_first = bs + first * bp
    tau_last = tau_first + (count - 1) * bp
    bin_first = (tau_first - first_tick) // every
    bin_last = (tau_last - first_tick) // every
    spans = bin_last - bin_first + 1
    piece = np.repeat(np.arange(len(block)), spans)
    k = np.repeat(bin_first, spans) + (np.arange(int(spans.sum())) - np.repeat(np.cumsum(spans) - spans, spans))
    edge = first_tick + k * every
    ps, pp, pf, pc = bs[piece], bp[piece], first[piece], count[piece]
    low = np.maximum(-((ps - edge) // pp), pf)  # the first sample at or after the bin's start
    high = np.minimum(-((ps - (edge + every)) // pp), pf + pc)  # past the last before its end
    length = high - low
    stream_start = np.cumsum(count) - count
    start = stream_start[piece] + (low - pf)
    cell = column[piece] * rows + k
    keep = length > 0
    cell, start, length = cell[keep], start[keep], length[keep]
    head = np.ones(len(cell), dtype=bool)
    head[1:] = cell[1:] != cell[:-1]
    heads = np.flatnonzero(head)
    return cell[heads], start[heads], np.add.reduceat(length, heads) if len(heads) else _EMPTY


def _read_stream(part: Part, stream: tuple[np.ndarray, ...], low: int, high: int) -> np.ndarray:
    """Returns the values of the stream's samples low to high - 1."""
    column, block, first, count = stream
    ends = np.cumsum(count)
    begins = ends - count
    chosen = np.flatnonzero((begins < high) & (ends > low))
    skip = np.maximum(low - begins[chosen], 0)
    pieces = part.blocks[block[chosen]]
    pieces["first"] = first[chosen] + skip
    pieces["stride"] = 1
    pieces["count"] = np.minimum(ends[chosen], high) - begins[chosen] - skip
    return read_in_order(part, pieces)


def read_in_order(part: Part, pieces: np.ndarray) -> np.ndarray:
    """Returns the values of the samples of `pieces`, in the pieces' order:
    read in the order of the files (each file opened once), and put back."""
    name = "calData" if part.values == "calData" else "rawCounts"
    take = pieces["count"]
    order = np.lexsort((pieces["data_offset"], pieces["file"]))
    read = read_columns(part.paths, part.stamps, pieces[order], [name])[name]
    if (order[1:] > order[:-1]).all():
        return read
    read_begin = np.empty(len(order), dtype=np.int64)
    read_begin[order] = np.cumsum(take[order]) - take[order]
    if len(pieces) * 1024 < len(read):  # few long pieces: a copy each
        out = np.empty_like(read)
        for begin, low, size in zip((np.cumsum(take) - take).tolist(), read_begin.tolist(), take.tolist()):
            out[begin : begin + size] = read[low : low + size]
        return out
    shift = np.repeat(read_begin - (np.cumsum(take) - take), take)
    return read[np.arange(len(read)) + shift]


class _State:
    """What an aggregation knows of each cell so far: the count, the
    sequential sum, the least and greatest value (as ordered keys), and
    the first NaN."""

    def __init__(self, cells: int, method: str, values: str) -> None:
        self.method, self.raw = method, values == "raw"
        self.count = np.zeros(cells, dtype=np.int64)
        if method == "mean":
            self.sum = np.zeros(cells)
        if method in ("min", "max"):
            self.extreme = np.iinfo(np.int64).max if method == "min" else np.iinfo(np.int64).min
            self.key = np.full(cells, self.extreme, dtype=np.int64)
            self.nan = np.zeros(cells, dtype=np.uint32)
            self.has_nan = np.zeros(cells, dtype=bool)

    def add(self, values: np.ndarray, cell: np.ndarray, start: np.ndarray, length: np.ndarray) -> None:
        """Takes in the runs of `values` [start, start + length), each of one `cell`, in tick order."""
        if self.method == "mean":
            carried = self.count[cell] > 0
            self.sum[cell] = sequential_sums(values.astype(np.float64), start, length, self.sum[cell], carried)
        else:
            self._extremes(values, cell, start)
        self.count[cell] += length

    def _extremes(self, values: np.ndarray, cell: np.ndarray, start: np.ndarray) -> None:
        reduce = np.minimum if self.method == "min" else np.maximum
        if self.raw:
            keys = values.astype(np.int64)
        else:
            bits = values.view(np.int32).astype(np.int64)
            keys = np.where(bits < 0, bits ^ 0x7FFFFFFF, bits)  # ordered as the floats, -0 below +0
            nan = np.isnan(values)
            if nan.any():
                keys[nan] = self.key.dtype.type(self.extreme)
                where = np.minimum.reduceat(np.where(nan, np.arange(len(values)), len(values)), start)
                new = (where < len(values)) & ~self.has_nan[cell]
                self.nan[cell[new]] = values.view(np.uint32)[where[new]]
                self.has_nan[cell[new]] = True
        self.key[cell] = reduce(self.key[cell], reduce.reduceat(keys, start))

    def results(self, columns: int, rows: int) -> tuple[np.ndarray, list[np.ndarray | None]]:
        """Returns the cells' values, a row per column, and per column which have one."""
        has = self.count > 0
        if self.method == "count":
            values = self.count
            masks: list = [None] * columns
        else:
            if self.method == "mean":
                values = np.full(len(has), np.nan)
                values[has] = self.sum[has] / self.count[has]
            elif self.raw:
                values = np.where(has, self.key, 0).astype(np.float64)
                values[~has] = np.nan
            else:
                keys = np.where(has & ~self.has_nan, self.key, 0)
                bits = np.where(keys < 0, keys ^ 0x7FFFFFFF, keys).astype(np.int32).view(np.uint32)
                bits = np.where(self.has_nan, self.nan, np.where(has, bits, np.uint32(0x7FC00000)))
                values = bits.astype(np.uint32).view(np.float32)
            masks = [has[c * rows : (c + 1) * rows] for c in range(columns)]
        return values.reshape(columns, rows), masks


def sequential_sums(
    values: np.ndarray, start: np.ndarray, length: np.ndarray, carry: np.ndarray, carried: np.ndarray
) -> np.ndarray:
    """Returns per run [start, start + length) of `values` its sum added one
    value after another in order, from `carry` where `carried` (else from
    the run's first value): a sequential float64 sum, which np.add.reduceat
    (pairwise) is not. Runs of one length (or, of many lengths, of lengths
    within a power of two) are summed together by cumsum, each a row of a
    matrix: the values themselves where the runs follow one another, else
    a copy padded with -0.0 (x + -0.0 is x, for every x).
    A NaN sum is the NaN that x86-64 makes, without its payload: that of the
    first NaN added, or negative where inf - inf makes one first."""
    out = np.empty(len(start))
    total = length + carried
    exact = len(np.unique(total)) <= 64  # runs of one length each, when few lengths: of equal bins, often
    classes = total if exact else np.ceil(np.log2(np.maximum(total, 1))).astype(np.int64)
    for kind in np.unique(classes).tolist():
        mine = np.flatnonzero(classes == kind)
        width = int(total[mine].max())
        lengths = length[mine]
        first = int(start[mine[0]])
        if exact and not carried[mine].any() and (start[mine] == first + width * np.arange(len(mine))).all():
            matrix = values[first : first + width * len(mine)].reshape(len(mine), width)  # one after another
        else:
            matrix = np.full((len(mine), width), -0.0)
            row = np.repeat(np.arange(len(mine)), lengths)
            within = np.arange(int(lengths.sum())) - np.repeat(np.cumsum(lengths) - lengths, lengths)
            shift = carried[mine].astype(np.int64)
            matrix[row, within + shift[row]] = values[np.repeat(start[mine], lengths) + within]
            matrix[shift == 1, 0] = carry[mine][shift == 1]
        summed = np.cumsum(matrix, axis=1)
        out[mine] = summed[:, -1]
        nan = np.flatnonzero(np.isnan(out[mine]))
        if len(nan):  # the first NaN: a value's own, or of inf - inf
            where = np.argmax(np.isnan(summed[nan]), axis=1)
            value = matrix[nan, where]
            out[mine[nan]] = nan_of(np.where(np.isnan(value), np.signbit(value), True))
    return out


# The quiet NaNs of float64, positive and negative: no payload.
QUIET_NANS = np.array([0x7FF8000000000000, 0xFFF8000000000000], dtype=np.uint64).view(np.float64)


def nan_of(negative: np.ndarray) -> np.ndarray:
    """Returns the quiet NaN of each sign (True: negative)."""
    return QUIET_NANS[np.asarray(negative, dtype=np.int64)]


def interpolate(va: np.ndarray, vb: np.ndarray, elapsed: np.ndarray, period: np.ndarray) -> np.ndarray:
    """Returns va + (vb - va) × elapsed / period in float64, evaluated in
    that order. A NaN comes out as x86-64 makes it, whatever the CPU and
    however numpy's loops order the operands: va's when va is NaN, else
    vb's, else (inf - inf) negative; without its payload."""
    with np.errstate(invalid="ignore"):  # infinite samples make NaNs, on purpose
        out = va + (vb - va) * elapsed.astype(np.float64) / period.astype(np.float64)
    nan = np.isnan(out)
    if nan.any():
        a, b = va[nan], vb[nan]
        out[nan] = nan_of(np.where(np.isnan(a), np.signbit(a), np.where(np.isnan(b), np.signbit(b), True)))
    return out


# ---- the faces: the Dask frame, and the rows of the command


def plan_of(
    paths: PathArg | Iterable[PathArg],
    every: Any,
    start: Any,
    end: Any,
    channels: int | Iterable[int] | None,
    logger: LoggerRule,
    method: str,
    overlap: str,
    values: str,
    stacklevel: int,
) -> Plan:
    """Checks table()'s arguments, reads the block headers of `paths`, and
    returns the plan (warning at the caller `stacklevel` frames up)."""
    from ._routes import block_table

    checked(method, overlap, values)
    step = every_ms(every)
    low, high = time_tick(start, upper=False), time_tick(end, upper=True)
    chosen = selected_channels(channels)
    table = block_table(paths)
    rows, series = select(table, logger_names(table.paths, logger), chosen)
    plan = make_plan(table, rows, series, step, low, high, method, overlap, values, stacklevel=stacklevel + 1)
    if plan.rows:
        last = plan.first + (plan.rows - 1) * plan.every
        if plan.first < NS_TICKS[0] or last > NS_TICKS[1]:
            raise ValueError(f"the grid from {_when(plan.first)} to {_when(last)} does not fit the index's"
                             " datetime64[ns], which holds 1677-09-21T00:12:43.146Z to 2262-04-11T23:47:16.854Z")
    return plan


def table(
    paths: PathArg | Iterable[PathArg],
    every: Any,
    *,
    start: Any = None,
    end: Any = None,
    channels: int | Iterable[int] | None = None,
    logger: LoggerRule = None,
    method: str = "previous",
    overlap: str = "last",
    values: str = "calData",
) -> dask.dataframe.DataFrame:
    """Returns a lazy Dask DataFrame of the logger files `paths` (one path,
    a list of paths, a glob pattern, or a quarvel.Catalog, whose headers
    are taken without opening a log, as quarvel.index takes them) on one
    time base: a row per tick of a regular grid of step `every` (an integer
    number of ms, or a fixed pandas offset of whole ms such as "1s" or
    "250ms"), from `start` (default: the first sample's tick, floored to a
    multiple of `every`) to `end` (default: the last sample's tick),
    included where a tick falls on it; `start` and `end` are seconds since
    1970, ISO 8601 texts, datetimes or Timestamps (UTC unless they say).

    Its index, named "time", is the grid as datetime64[ns], from integer
    ticks; there is a column per series (logger, channel) in that order,
    of the blocks with samples of `channels` (all when None): ``ch<N>`` for
    one logger, ``<logger>/ch<N>`` with a `logger` rule (see
    quarvel.index's loggers). `method` makes each cell from the series'
    samples (see the table of methods in the docs): "previous" (the sample
    whose period holds the tick), "exact", "nearest", "linear", or over the
    bin [tick, tick + every): "mean", "min", "max", "count". Nothing is
    carried into time that no block covers. `overlap` says which block
    owns a tick that two cover: "last" (the one that starts later), "first"
    or "error". `values` are "calData" (float32, as the reader gives them)
    or "raw" (the counts). Columns are float32 for calData's samples,
    float64 for raw ones and for linear and mean, int64 for count; NaN is
    a cell without a value.

    Partitions are stretches of the grid with known divisions; a task
    reads only the samples near its ticks (or in its bins). Reads the
    block headers now, and warns of blocks cut short, blocks left out
    (a period of 0 or running backwards), and per series of cells where
    blocks overlap. Raises ValueError for an `every` that is a calendar
    offset or finer than a ms, a method, overlap or values it does not
    know, a grid outside the years 1677 to 2262, OverlapError (a
    ValueError) for blocks that overlap in the table with
    overlap="error", NoLoggerError for a path that a logger expression
    does not match, and the errors of quarvel.index."""
    dd = require("dask.dataframe")
    pd = require("pandas")
    plan = plan_of(paths, every, start, end, channels, logger, method, overlap, values, stacklevel=2)
    meta = empty_frame(pd, plan)
    if not plan.rows:
        return dd.from_pandas(meta, npartitions=1)
    tokenize = require("dask.base").tokenize
    times = pd.to_datetime((plan.first + plan.every * plan.bounds[:-1]) * 1_000_000)
    last = pd.Timestamp((plan.first + (plan.rows - 1) * plan.every) * 1_000_000)
    token = tokenize(plan.paths, plan.stamps, plan.names, plan.first, plan.rows, plan.every, method, overlap, values,
                     plan.bounds, plan.segments["start"], plan.segments["block"])  # fmt: skip
    return dd.from_map(FrameMaker(plan.names, plan.dtype()), list(plan.parts()), meta=meta,
                       divisions=(*times, last), label="quarvel-table", token=token,
                       enforce_metadata=False)  # fmt: skip


def empty_frame(pd, plan: Plan) -> pandas.DataFrame:  # noqa: ANN001 - the pandas module
    """Returns the frame of no rows with the table's columns and types."""
    index = pd.DatetimeIndex(np.zeros(0, dtype="datetime64[ns]"), name="time")
    kind = plan.dtype()
    return pd.DataFrame({name: np.zeros(0, dtype=kind) for name in plan.names}, index=index, columns=plan.names)


class FrameMaker:
    """Makes the pandas DataFrame of one Part: NaN in the cells without a value."""

    def __init__(self, names: list[str], kind: np.dtype) -> None:
        self.names, self.kind = names, kind

    def __call__(self, part: Part) -> pandas.DataFrame:
        pd = require("pandas")
        cells = compute(part)  # NaN already where there is no value
        ns = cells.ticks * 1_000_000
        index = pd.DatetimeIndex(ns.view("datetime64[ns]"), name="time")
        matrix = cells.matrix
        if matrix is not None and matrix.shape == (len(self.names), len(ns)) and matrix.dtype == self.kind:
            # The columns' block as pandas keeps it (a row per column): no copy.
            return pd.DataFrame(matrix.T, index=index, columns=self.names, copy=False)
        columns = {name: values.astype(self.kind, copy=False) for name, values in zip(self.names, cells.values)}
        return pd.DataFrame(columns, index=index, columns=self.names, copy=False)
