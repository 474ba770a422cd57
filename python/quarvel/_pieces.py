"""Stretches of samples of many logs, as plain numbers that pickle: what
LogFile.to_dataframe, a Dask task, an xarray array or an export reads.

A piece is a run of selected samples of one block: the block's place in
its file, its header, and the samples first, first + stride, ... (count
of them). The pieces of a selection, in order, hold its rows: the samples of
every block of every file, as the concatenation of each file's
`to_dataframe(step)` has them. Reading pieces opens one file at a time and
reads only their samples' bytes.
"""

from __future__ import annotations

import functools
import operator
import os
from typing import Callable, Iterable, Sequence

import numpy as np

from ._columns import BLOCK_COLUMNS, HEADER_DTYPE, HEADER_FIELDS, REPEATS, SAMPLE_COLUMNS
from ._headers import HEADER_FORMAT, HEADER_SIZE, SAMPLE_SIZE, FileStamp
from ._arrays import CHUNK
from ._index import BlockTable
from ._samples import FILE_DTYPE, RAW_DTYPE, SampleFile, calibrate, calibrate_runs, read_block_raw, read_block_values
from ._ticks import ceil_div, samples_within, start_ticks
from ._times import fill_times, last_times, signed_ms

PIECE_DTYPE = np.dtype(
    [("file", np.int32)]  # the position of the block's file among the paths read with the pieces
    + [(name, BLOCK_COLUMNS[name].dtype) for name in ("block", "data_offset")]
    # the header's fields in the host's order; the calibrations as the bits of binary32, as stored
    + [(name, HEADER_DTYPE[name].newbyteorder("=")) for name in HEADER_FIELDS]
    # the index in the block of the first sample, the stride between samples, and their count
    + [("first", np.int64), ("stride", np.int64), ("count", np.int64)]
)
_BACKWARD_PERIOD = 1 << 31  # a stored period from here on runs back in time
# Pieces whose header and samples take at most SMALL_EXTENT bytes are read
# in groups: of one file, at most GROUP_GAP bytes apart (read and dropped),
# within GROUP_SPAN bytes.
SMALL_EXTENT = 1 << 16
GROUP_GAP = 1 << 16
GROUP_SPAN = 1 << 20
_LONGEST_STRIDE = 1 << 31  # more than the samples a block can declare


def selection_stride(step: int) -> int:
    """Returns the stride between the samples that ``-n step`` selects
    from each block: the magnitude of `step` (any integer), at most 2^31,
    since a block holds fewer samples: every longer stride selects its
    first sample alone. Raises ValueError for 0 and TypeError for what is
    not an integer: the one check of every step and modulus the reader
    takes."""
    step = operator.index(step)
    if step == 0:
        raise ValueError("the step must not be 0")
    return min(abs(step), _LONGEST_STRIDE)


def selected_channels(channels: int | Iterable[int] | None) -> list[int] | None:
    """Returns the channels that `channels` names (one channel, several, or
    None for all) as a list of ints, or None. Raises TypeError for a
    channel that is not an integer."""
    if channels is None:
        return None
    if isinstance(channels, (int, np.integer)):
        return [int(channels)]
    return [operator.index(channel) for channel in channels]


def block_pieces(
    table: BlockTable, stride: int = 1, channels: Iterable[int] | None = None, rows: np.ndarray | None = None
) -> np.ndarray:
    """Returns a piece for every block of `table` with samples (of one of
    `channels`, and of the rows that `rows` marks true, when given),
    selecting every `stride`-th sample from its first, as ``-n stride``
    selects them."""
    keep = table.present_samples > 0
    if rows is not None:
        keep &= rows
    if channels is not None:
        keep &= np.isin(table.channel, np.array(list(channels), dtype=np.int64))
    return row_pieces(table, np.flatnonzero(keep), stride)


def row_pieces(table: BlockTable, rows: np.ndarray, stride: int = 1) -> np.ndarray:
    """Returns a piece for each of the blocks `rows` of `table`, selecting
    every `stride`-th sample from its first."""
    pieces = np.zeros(len(rows), dtype=PIECE_DTYPE)
    pieces["file"] = table.file[rows]
    for name in ("block", "data_offset", *HEADER_FIELDS):  # the calibrations as their bits
        pieces[name] = getattr(table, name)[rows].view(PIECE_DTYPE[name])
    pieces["stride"] = stride
    pieces["count"] = (table.present_samples[rows] + (stride - 1)) // stride
    return pieces


def split_pieces(pieces: np.ndarray, most: int) -> tuple[np.ndarray, np.ndarray]:
    """Returns `pieces` with every piece of more than `most` samples cut
    into pieces of `most` (the last one shorter), and per new piece whether
    it was cut from a longer one."""
    cuts = np.maximum(-(-pieces["count"] // most), 1)
    source = np.repeat(np.arange(len(pieces)), cuts)
    part = np.arange(len(source)) - np.repeat(np.cumsum(cuts) - cuts, cuts)  # the piece's place in its block
    out = pieces[source]
    out["first"] += part * most * out["stride"]
    out["count"] = np.minimum(out["count"] - part * most, most)
    return out, (cuts > 1)[source]


def partition_bounds(pieces: np.ndarray, cut: np.ndarray, rows: int, most_pieces: int) -> np.ndarray:
    """Returns the bounds (indices into `pieces`) of partitions of about
    `rows` samples: a piece cut from a long block makes a partition of its
    own; other pieces follow each other into a partition while fewer than
    `rows` samples come before them in it, `most_pieces` pieces at most."""
    n = len(pieces)
    if n == 0:
        return np.zeros(1, dtype=np.int64)
    # Stretches of whole pieces between the cut ones; a cut piece is a stretch of its own.
    after_cut = np.concatenate([[True], cut[:-1]])
    first = np.flatnonzero(cut | after_cut).tolist()
    before = np.cumsum(pieces["count"]) - pieces["count"]  # samples before each piece, increasing
    bounds = []
    for low, high in zip(first, first[1:] + [n]):
        while low < high:
            bounds.append(low)
            fill = int(np.searchsorted(before, before[low] + rows))
            low = min(fill, low + most_pieces, high)
    bounds.append(n)
    return np.array(bounds, dtype=np.int64)


def select_rows(pieces: np.ndarray, start: int, stop: int, row_stride: int = 1) -> np.ndarray:
    """Returns the pieces of the rows range(start, stop, row_stride)
    (row_stride 1 or more) of the rows that `pieces` hold in order."""
    ends = np.cumsum(pieces["count"])
    begins = ends - pieces["count"]
    low = int(np.searchsorted(ends, start, side="right"))
    high = int(np.searchsorted(begins, stop, side="left"))
    out = pieces[low:high].copy()
    begins, ends = begins[low:high], ends[low:high]
    # The first selected row in each piece, and how many follow it there.
    first_row = start + -(-np.maximum(begins - start, 0) // row_stride) * row_stride
    last = np.minimum(ends, stop)
    out["count"] = np.maximum(-(-(last - first_row) // row_stride), 0)
    out["first"] += (first_row - begins) * out["stride"]
    # Two rows in one piece are less than a block apart: only a piece of one
    # row could take a stride past 64 bits, and it needs none.
    out["stride"] = np.where(out["count"] > 1, out["stride"] * row_stride, out["stride"])
    return out[out["count"] > 0]


def piece_times(pieces: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns the time stamps of each piece's first and last sample."""
    first = last_times(pieces["first_time"], pieces["period_ms"], pieces["first"] + 1)
    final = pieces["first"] + (pieces["count"] - 1) * pieces["stride"]
    return first, last_times(pieces["first_time"], pieces["period_ms"], final + 1)


def time_ordered(pieces: np.ndarray) -> np.ndarray:
    """Returns per piece whether its time stamps never decrease."""
    return (pieces["period_ms"] < _BACKWARD_PERIOD) | (pieces["count"] == 1)


def window_pieces(pieces: np.ndarray, low: int, high: int) -> np.ndarray:
    """Returns `pieces` cut to their samples whose tick lies in [low, high]
    (whole ms, as _ticks.tick_bound gives a window's ends); pieces left
    without samples are dropped. The ticks of a block move one way, so the
    samples of a piece in the window are one stretch of it: found exactly,
    for the pieces whose first or last tick says that they meet it."""
    period = signed_ms(pieces["period_ms"]).astype(np.int64)
    start = start_ticks(pieces["first_time"])
    last = (pieces["count"] - 1) * pieces["stride"]
    last += pieces["first"]  # each piece's last sample, by its index in its block
    # The ticks of each piece's first and last sample, summed in place: there is a row per block.
    first_tick, last_tick = pieces["first"] * period, last * period
    first_tick += start
    last_tick += start
    meets = (np.minimum(first_tick, last_tick) <= high) & (np.maximum(first_tick, last_tick) >= low)
    del first_tick, last_tick
    rows = np.flatnonzero(meets)
    out = pieces[rows]
    first, stride, count = out["first"], out["stride"], out["count"]
    begin, within = samples_within(start[rows], period[rows], last[rows] + 1, low, high)
    # The piece's samples first + k × stride with an index in [begin, begin + within).
    skip = ceil_div(np.maximum(begin - first, 0), stride)
    stop = np.minimum(ceil_div(np.maximum(begin + within - first, 0), stride), count)
    out["count"] = np.maximum(stop - skip, 0)
    out["first"] += np.where(out["count"] > 0, skip * stride, 0)
    return out[out["count"] > 0]


def header_of(piece: np.void) -> tuple[int, ...]:
    """Returns the stored header fields of a piece's block, as Python ints."""
    return tuple(int(piece[name]) for name in HEADER_FIELDS)


def selection_of(piece: np.void) -> range:
    """Returns the indices in its block of a piece's samples."""
    first, stride = int(piece["first"]), int(piece["stride"])
    return range(first, first + int(piece["count"]) * stride, stride)


def read_columns(
    paths: Sequence[str | bytes | os.PathLike],
    stamps: Sequence[FileStamp | None],
    pieces: np.ndarray,
    names: Iterable[str],
    opened: SampleFile | None = None,
    stored: bool = False,
) -> dict[str, np.ndarray]:
    """Returns the per-sample columns `names` (of SAMPLE_COLUMNS) of the
    rows that `pieces` hold, reading the files `paths` (a piece's "file" is
    a position in it), which were as `stamps` says when they were indexed;
    or, with `opened`, that open file, the one file of every piece, which
    is left open. Whatever the columns, every file is checked to be still
    the one indexed (or opened). Raises the errors of opening a file, and
    FileChangedError when a file is another one, shrank, was modified
    without growing, or no longer holds the block header a piece names.
    With `stored`, rawCounts is big-endian, as the file stores it: for a
    reader that only compares counts, which then need no swapping."""
    names = list(names)
    counts = pieces["count"]
    total = int(counts.sum())
    columns: dict[str, np.ndarray] = {}
    for name in names:
        if name not in SAMPLE_COLUMNS:
            raise KeyError(f"no column {name!r}")
        kind = SAMPLE_COLUMNS[name].dtype
        if name in REPEATS:  # the piece's field, the calibrations as their bits
            columns[name] = repeat(pieces[REPEATS[name]].view(kind), counts, total)
        else:
            columns[name] = np.empty(total, dtype=FILE_DTYPE if stored and name == "rawCounts" else kind)
    if "time" in columns:
        fill_times(pieces, columns["time"])
    if "tick" in columns:
        fill_ticks(pieces, columns["tick"])
    _fill_samples(paths, stamps, pieces, columns.get("rawCounts"), columns.get("calData"), opened)
    return columns


def fill_ticks(pieces: np.ndarray, out: np.ndarray) -> None:
    """Fills `out` with the ticks of the rows of `pieces`: sample i of a
    block has first_time × 1000 + i × period (see _ticks), in int64,
    exact. Many short pieces are done at once; longer ones a piece, and a
    chunk of it, at a time, so that no temporary grows with the rows."""
    counts = pieces["count"]
    period = signed_ms(pieces["period_ms"]).astype(np.int64)
    first = start_ticks(pieces["first_time"]) + pieces["first"] * period
    # From one selected sample to the next. A piece of one sample may carry
    # a stride longer than any block, and needs none.
    step = np.where(counts > 1, pieces["stride"], 0) * period
    total = len(out)
    if len(pieces) * 64 > total:
        within = np.arange(total, dtype=np.int64)
        within -= np.repeat(np.cumsum(counts) - counts, counts)
        np.multiply(within, np.repeat(step, counts), out=out)
        out += np.repeat(first, counts)
        return
    position = 0
    for base, add, count in zip(first.tolist(), step.tolist(), counts.tolist()):
        for low in range(0, count, CHUNK):
            part = out[position + low : position + min(low + CHUNK, count)]
            np.multiply(_counting()[: len(part)], add, out=part)
            part += base + low * add
        position += count


@functools.lru_cache(maxsize=None)
def _counting() -> np.ndarray:
    """0, 1, ... CHUNK - 1 (int64), made when first asked for: not on import."""
    counting = np.arange(CHUNK, dtype=np.int64)
    counting.flags.writeable = False
    return counting


def repeat(values: np.ndarray, counts: np.ndarray, total: int) -> np.ndarray:
    """Returns np.repeat(values, counts): for long runs, each filled in one
    call, which is several times faster than np.repeat's copy per item."""
    if len(values) * 64 > total:
        return np.repeat(values, counts)
    out = np.empty(total, dtype=values.dtype)
    position = 0
    for value, count in zip(values, counts.tolist()):
        out[position : position + count] = value
        position += count
    return out


def _fill_samples(
    paths: Sequence[str | bytes | os.PathLike],
    stamps: Sequence[FileStamp | None],
    pieces: np.ndarray,
    raw: np.ndarray | None,
    values: np.ndarray | None,
    opened: SampleFile | None = None,
) -> None:
    """Checks the files and block headers of `pieces`, and reads their
    samples into `raw` and `values` (either may be None), one file open
    at a time (or the file `opened`, left open). Small pieces near each
    other in a file are read in one call and checked and calibrated
    together (see _groups); each other piece on its own."""
    # A signalling NaN comes out quiet, sign and payload kept, as calibrate()
    # would make it; numpy's warning about it is no news to the caller.
    with np.errstate(invalid="ignore"):
        gains = pieces["gain"].astype(np.uint32).view(np.float32).astype(np.float64)
        offsets = pieces["offset"].astype(np.uint32).view(np.float32).astype(np.float64)
    ends = np.cumsum(pieces["count"]).tolist()
    files = pieces["file"].tolist()
    bounds, grouped = _groups(pieces)
    bounds, grouped = bounds.tolist(), grouped.tolist()
    source = opened if len(pieces) else None
    if source is not None:
        source.check()
    try:
        for low, high, together in zip(bounds[:-1], bounds[1:], grouped):
            if opened is None and (source is None or files[low] != files[low - 1]):
                if source is not None:
                    source.check()
                    source.close()
                source = None  # not closed twice if opening the next one fails
                source = SampleFile(paths[files[low]], stamp=stamps[files[low]])
            rows = slice(ends[low] - int(pieces["count"][low]), ends[high - 1])
            out_raw = None if raw is None else raw[rows]
            out_values = None if values is None else values[rows]
            if together:
                _read_group(source, pieces[low:high], gains[low:high], offsets[low:high], out_raw, out_values)
            else:
                _read_piece(source, pieces[low], float(gains[low]), float(offsets[low]), out_raw, out_values)
        if source is not None:
            source.check()
    finally:
        if source is not None and source is not opened:
            source.close()


def _groups(pieces: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns the bounds of groups of `pieces`, and per group whether it
    is read together: consecutive pieces of one file whose header and
    samples take at most SMALL_EXTENT bytes each, with at most GROUP_GAP
    bytes between one and the next, within a stretch of GROUP_SPAN bytes.
    Every other piece is a group of its own, read alone. Reading up to
    64 kB more costs less than a read call and a check of its own."""
    if not len(pieces):
        return np.zeros(1, dtype=np.int64), np.zeros(0, dtype=bool)
    heads = pieces["data_offset"] - HEADER_SIZE
    tails = pieces["data_offset"] + (pieces["first"] + (pieces["count"] - 1) * pieces["stride"] + 1) * SAMPLE_SIZE
    small = tails - heads <= SMALL_EXTENT
    new = np.ones(len(pieces), dtype=bool)
    new[1:] = (
        (pieces["file"][1:] != pieces["file"][:-1])
        | ~small[1:]
        | ~small[:-1]
        | (heads[1:] - tails[:-1] > GROUP_GAP)
        | (heads[1:] < tails[:-1])
        | (heads[1:] // GROUP_SPAN != heads[:-1] // GROUP_SPAN)
    )
    starts = np.flatnonzero(new)
    return np.append(starts, len(pieces)), small[starts]


def _read_piece(
    source: SampleFile, piece: np.void, gain: float, offset: float, raw: np.ndarray | None, values: np.ndarray | None
) -> None:
    """Checks the header of one piece and reads its samples into `raw` and
    `values` (either may be None)."""
    selection = selection_of(piece)
    data_offset = int(piece["data_offset"])
    source.check_header(data_offset, header_of(piece))
    if raw is not None:
        read_block_raw(source, data_offset, selection, raw)
        if values is not None:
            calibrate(raw, gain, offset, values)
    elif values is not None:
        read_block_values(source, data_offset, selection, gain, offset, values)


def _read_group(
    source: SampleFile,
    group: np.ndarray,
    gains: np.ndarray,
    offsets: np.ndarray,
    raw: np.ndarray | None,
    values: np.ndarray | None,
) -> None:
    """Reads the stretch of the file that holds the pieces `group` (in file
    order, of `gains` and `offsets`) in one call, checks their headers, and
    gathers their samples into `raw` and calibrates them into `values`
    (either may be None)."""
    if len(group) == 1:  # a small log's one block: the same, in plain numbers
        _read_alone(source, group, gains, offsets, raw, values)
        return
    head = int(group["data_offset"][0]) - HEADER_SIZE
    last = group["first"] + (group["count"] - 1) * group["stride"]
    tail = int((group["data_offset"] + (last + 1) * SAMPLE_SIZE).max())
    stretch = np.empty(tail - head, dtype=np.uint8)
    source.read_into(stretch, head)
    at = group["data_offset"] - HEADER_SIZE - head
    wanted = np.empty(len(group), dtype=HEADER_DTYPE)
    for name in HEADER_FIELDS:
        wanted[name] = group[name]
    found = stretch[at[:, None] + np.arange(HEADER_SIZE)]
    differs = np.flatnonzero((found != wanted.view(np.uint8).reshape(-1, HEADER_SIZE)).any(axis=1))
    if len(differs):
        raise source.changed(f"the block header at byte {head + int(at[differs[0]])} is another one")
    if raw is None and values is None:
        return
    counts = group["count"].tolist()
    starts = ((at + HEADER_SIZE) // SAMPLE_SIZE + group["first"]).tolist()
    words = stretch.view(FILE_DTYPE)
    if raw is None:
        raw = np.empty(sum(counts), dtype=RAW_DTYPE)
    position = 0
    for start, count, stride in zip(starts, counts, group["stride"].tolist()):
        raw[position : position + count] = words[start : start + (count - 1) * stride + 1 : stride]
        position += count
    if values is not None:
        calibrate_runs(raw, gains, offsets, group["count"], values)


def _read_alone(
    source: SampleFile,
    group: np.ndarray,
    gains: np.ndarray,
    offsets: np.ndarray,
    raw: np.ndarray | None,
    values: np.ndarray | None,
) -> None:
    """Does what _read_group() does for a group of one piece, without the
    arrays of positions that many pieces need."""
    where, header = _fields(group.dtype)
    row = group[0].item()
    data_offset, first, count, stride = where(row)
    head = data_offset - HEADER_SIZE
    stretch = np.empty(HEADER_SIZE + (first + (count - 1) * stride + 1) * SAMPLE_SIZE, dtype=np.uint8)
    source.read_into(stretch, head)
    if HEADER_FORMAT.unpack_from(stretch) != header(row):
        raise source.changed(f"the block header at byte {head} is another one")
    if raw is None and values is None:
        return
    if raw is None:
        raw = np.empty(count, dtype=RAW_DTYPE)
    raw[:] = stretch[HEADER_SIZE:].view(FILE_DTYPE)[first : first + (count - 1) * stride + 1 : stride]
    if values is not None:
        calibrate_runs(raw, gains, offsets, group["count"], values)


@functools.lru_cache(maxsize=None)
def _fields(dtype: np.dtype) -> tuple[Callable, Callable]:
    """Returns the getters of a piece's data_offset, first, count and stride,
    and of its header's fields, from the tuple of a piece of `dtype`."""
    names = dtype.names
    where = operator.itemgetter(*(names.index(name) for name in ("data_offset", "first", "count", "stride")))
    return where, operator.itemgetter(*(names.index(name) for name in HEADER_FIELDS))
