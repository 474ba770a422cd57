"""The block index: every block header of one or more logger files, held
as numpy columns (no Python object per block), and what the headers alone
tell: where each block's samples lie, which blocks a file cuts short, the
gaps and overlaps of a series' blocks (by the one rule, _gaps), and the
files that are probably not logs. A run of identical headers without samples (the zeros of a file
that a logger preallocated) is one row, with the number of blocks it
stands for."""

from __future__ import annotations

import hashlib
import os
import warnings
from typing import TYPE_CHECKING, Any, Iterator, Sequence, Union

import numpy as np

from ._columns import BLOCK_COLUMNS, HEADER_DTYPE, INDEX_COLUMNS
from ._gaps import Covered, covered
from ._headers import HEADER_SIZE, SAMPLE_SIZE, FileStamp, Headers, TruncatedBlockWarning, truncated_message
from ._ticks import end_ticks, start_ticks
from ._times import last_times, signed_ms, tick_texts

if TYPE_CHECKING:
    import pandas

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# The channels a logger's first header can name: from -2^24 up to 2^24 - 1,
# whose first byte is 0x00 or 0xFF. A log whose first channel lies outside
# meets the converter's rule for its own text.
LOGGER_CHANNELS = (-(1 << 24), 1 << 24)


class Stamps(Sequence):
    """Each file's FileStamp, made when asked for from three columns (size,
    mtime_ns, and inode as unsigned or as signed 64-bit numbers), so that
    a million files cost three arrays, not a million objects."""

    def __init__(self, sizes: np.ndarray, mtimes: np.ndarray, inodes: np.ndarray) -> None:
        self.sizes, self.mtimes, self.inodes = sizes, mtimes, inodes

    def __len__(self) -> int:
        return len(self.sizes)

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return Stamps(self.sizes[i], self.mtimes[i], self.inodes[i])
        return FileStamp(int(self.sizes[i]), int(self.mtimes[i]), int(self.inodes[i]) & _INODE_MASK)

    def __dask_tokenize__(self) -> str:
        digest = hashlib.sha1()
        for column in (self.sizes, self.mtimes, self.inodes):
            digest.update(np.ascontiguousarray(column).tobytes())
        return digest.hexdigest()


_INODE_MASK = (1 << 64) - 1


class BlockTable:
    """The blocks of one or more files, one row per block in each column
    (numpy arrays), in file order and then block order, except that a run
    of consecutive blocks whose headers have the same 24 bytes and declare
    no samples is one row: `repeats` holds the blocks of each row (1 for
    most), and `block` and `data_offset` are those of a run's first block
    (the others follow it, a header apart). `file` is the position in
    `paths` of each row's file; `stamps` holds each file's FileStamp as it
    was indexed (None where the file is held open)."""

    __slots__ = ("paths", "sizes", "stamps", "file", "repeats", *BLOCK_COLUMNS)

    def __len__(self) -> int:
        """Returns the number of rows."""
        return len(self.block)

    def block_count(self) -> int:
        """Returns the number of blocks, runs counted in full."""
        return int(self.repeats.sum())

    def header(self, i: int) -> tuple[int, int, int, int, int, int]:
        """Returns the stored fields of block `i`'s header (channel, period,
        first time, count, gain bits, offset bits) as Python ints."""
        return (
            int(self.channel[i]),
            int(self.period_ms[i]),
            int(self.first_time[i]),
            int(self.declared_samples[i]),
            int(self.gain[i : i + 1].view(np.uint32)[0]),
            int(self.offset[i : i + 1].view(np.uint32)[0]),
        )

    def truncated(self) -> np.ndarray:
        """Returns per block whether the file cuts it short."""
        return self.present_samples < self.declared_samples

    def start_times(self) -> np.ndarray:
        """Returns each block's first sample time in seconds (NaN without samples)."""
        return np.where(self.present_samples > 0, self.first_time, np.nan)

    def end_times(self) -> np.ndarray:
        """Returns each block's last sample time in seconds, as the converter
        sums it (NaN without samples)."""
        return last_times(self.first_time, self.period_ms, self.present_samples)


def cut_messages(table: BlockTable) -> Iterator[str]:
    """Yields the converter's message for each block of `table` that its
    file cuts short (one a file at most: the last), in order."""
    for row in np.flatnonzero(table.truncated()).tolist():
        path = table.paths[int(table.file[row])]
        yield truncated_message(path, int(table.present_samples[row]), int(table.declared_samples[row]))


def warn_truncated(table: BlockTable, stacklevel: int) -> None:
    """Warns with TruncatedBlockWarning, in the converter's words, for each
    block of `table` that its file cuts short, at the caller `stacklevel`
    frames up from the caller of this."""
    for message in cut_messages(table):
        warnings.warn(message, TruncatedBlockWarning, stacklevel=stacklevel + 1)


def build_table(
    headers: Headers, paths: list[PathArg], sizes: np.ndarray, counts: np.ndarray, stamps: Sequence | None = None
) -> BlockTable:
    """Returns the columns of the records of `headers`, of which `counts[i]`
    belong to the file `paths[i]` of `sizes[i]` bytes (and of `stamps[i]`,
    when given). Empties `headers` as soon as its fields are decoded, to
    keep the peak low."""
    table = BlockTable()
    table.paths = list(paths)
    table.sizes = sizes
    table.stamps = stamps
    raw = headers.raw
    n = len(raw) // HEADER_SIZE
    record = np.frombuffer(raw, dtype=HEADER_DTYPE, count=n)
    for name in HEADER_DTYPE.names:  # in the host's order, then as the index's type: the calibrations' bits kept
        stored = record[name].astype(HEADER_DTYPE[name].newbyteorder("="))
        setattr(table, name, stored.view(BLOCK_COLUMNS[name].dtype))
    del record
    runs = np.frombuffer(headers.runs, dtype=np.int64).reshape(-1, 2).copy()
    raw.clear()
    del headers.runs[:]
    if len(runs):
        table.repeats = np.ones(n, dtype=np.int64)
        table.repeats[runs[:, 0]] = runs[:, 1]
    else:  # one block a row, without an array of ones
        table.repeats = np.broadcast_to(np.int64(1), (n,))
    if len(paths) == 1:  # every block in file 0, without an array of zeros
        table.file = np.broadcast_to(np.int32(0), (n,))
    else:
        table.file = np.repeat(np.arange(len(paths), dtype=np.int32), counts)
    # A block's samples follow its header; the next header follows them.
    data_offset = np.maximum(table.declared_samples, 0).astype(np.int64)
    data_offset *= SAMPLE_SIZE
    data_offset = np.cumsum(data_offset, out=data_offset)
    data_offset[1:] = data_offset[:-1].copy()  # the sample bytes before each block, files joined
    data_offset[:1] = 0
    if len(runs):  # the blocks before each row, files joined
        table.block = np.cumsum(table.repeats)
        table.block -= table.repeats
    else:
        table.block = np.arange(n, dtype=np.int64)
    if len(paths) > 1:
        first_rows = (np.cumsum(counts) - counts)[counts > 0]  # each file's first row
        table.block -= table.block[first_rows].repeat(counts[counts > 0])
        data_offset -= data_offset[first_rows].repeat(counts[counts > 0])
    data_offset += HEADER_SIZE
    data_offset += table.block * HEADER_SIZE
    table.data_offset = data_offset
    # What the file holds after the header, in samples
    room = sizes[0] - data_offset if len(paths) == 1 else sizes[table.file] - data_offset
    room //= SAMPLE_SIZE
    table.present_samples = np.minimum(table.declared_samples, room, out=room)
    np.maximum(table.present_samples, 0, out=table.present_samples)
    return table


def has_runs(table: BlockTable) -> bool:
    """True when a row of `table` stands for more than one block."""
    return table.repeats.strides != (0,) and bool((table.repeats > 1).any())


def block_rows(table: BlockTable, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns, for the rows `rows` of `table` in order, the row of each
    block they stand for, and the block's number in its file."""
    repeats = table.repeats[rows]
    each = np.repeat(rows, repeats)
    within = np.arange(len(each)) - np.repeat(np.cumsum(repeats) - repeats, repeats)
    within += table.block[each]
    return each, within


def stretches(table: BlockTable, rows: np.ndarray, size: int) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """Yields the rows `rows` of `table` in order, `size` blocks at most at
    a time (a run cut where a stretch ends): per row of a stretch, the row,
    the number of its first block in the stretch, and its blocks there."""
    repeats = table.repeats[rows]
    ends = np.cumsum(repeats)  # the blocks up to each row's last
    total = int(ends[-1]) if len(ends) else 0
    for low in range(0, total, size):
        high = min(low + size, total)
        first = int(np.searchsorted(ends, low, side="right"))
        last = int(np.searchsorted(ends, high - 1, side="right")) + 1
        begins = ends[first:last] - repeats[first:last]
        start = np.maximum(begins, low)
        mine = rows[first:last]
        yield mine, table.block[mine] + (start - begins), np.minimum(ends[first:last], high) - start


def rows_of(table: BlockTable, files: np.ndarray, blocks: np.ndarray) -> np.ndarray:
    """Returns the row of `table` that holds block `blocks[i]` of its file `files[i]`."""
    first_rows = np.searchsorted(table.file, np.arange(len(table.paths)))
    if not has_runs(table):
        return first_rows[files] + blocks
    before = np.cumsum(table.repeats) - table.repeats  # the blocks before each row, files joined
    first_blocks = np.append(before, before[-1:] + table.repeats[-1:])[first_rows]
    return np.searchsorted(before, first_blocks[files] + blocks, side="right") - 1


def expand_runs(table: BlockTable) -> BlockTable:
    """Returns `table` with a row per block: each run of blocks its rows."""
    if not has_runs(table):
        return table
    each, number = block_rows(table, np.arange(len(table)))
    out = BlockTable()
    out.paths, out.sizes, out.stamps = table.paths, table.sizes, table.stamps
    out.file = table.file[each] if table.file.strides != (0,) else np.broadcast_to(np.int32(0), (len(each),))
    for name in BLOCK_COLUMNS:
        setattr(out, name, getattr(table, name)[each])
    out.data_offset += (number - out.block) * HEADER_SIZE
    out.block = number
    out.repeats = np.broadcast_to(np.int64(1), (len(each),))
    return out


def series_covered(table: BlockTable, rows: np.ndarray, series: np.ndarray, tolerance: float | None = None) -> Covered:
    """Returns what the one rule of gaps and overlaps (_gaps.covered) finds
    in the blocks `rows` of `table` (row positions, in the order in which
    blocks of one start are taken), each in the series of its code in
    `series` (one per row of `rows`), on their ticks; the blocks of its
    gaps and overlaps are rows of the table. `tolerance` (seconds) as
    covered() takes it."""
    keep = table.present_samples[rows] > 0  # the rest cover nothing
    if not keep.all():
        rows, series = rows[keep], series[keep]
    period = signed_ms(table.period_ms[rows]).astype(np.int64)
    start = start_ticks(table.first_time[rows])
    end = table.present_samples[rows] * period  # as end_ticks(), with one array less at a time
    end += start
    found = covered(series, start, end, period, tolerance)
    gaps = found.gaps._replace(before=rows[found.gaps.before], after=rows[found.gaps.after])
    return Covered(gaps, found.overlaps._replace(blocks=rows[found.overlaps.blocks]), found.spans)


def finding_records(table: BlockTable, found: Covered, keys: list[tuple[str | None, int]]) -> tuple[list, list]:
    """Returns the gaps and the overlaps of `found` (whose blocks are rows
    of `table`, and series positions in `keys`, each its (logger,
    channel)) as JSON's objects: "channel", "logger", "start_tick",
    "length_ms", "start" (the tick in UTC) and for a gap the blocks
    "before" and "after" it, for an overlap the "blocks" that cover any of
    it, each {"path", "block"}."""

    def block(row: int) -> dict:
        return {"path": table.paths[int(table.file[row])], "block": int(table.block[row])}

    def head(series: int, tick: int, length: int, text: str) -> dict:
        logger, channel = keys[series]
        return {"channel": channel, "logger": logger, "start_tick": tick, "length_ms": length, "start": text}

    gaps, overlaps = found.gaps, found.overlaps
    fields = zip(gaps.series.tolist(), gaps.start.tolist(), gaps.length.tolist(), tick_texts(gaps.start))
    gap_list = [{**head(*head_fields), "before": block(b), "after": block(a)}
                for head_fields, b, a in zip(fields, gaps.before.tolist(), gaps.after.tolist())]  # fmt: skip
    blocks = overlaps.blocks.tolist()
    first = overlaps.first.tolist()
    overlap_list = [{**head(*fields), "blocks": [block(row) for row in blocks[first[i] : first[i + 1]]]}
                    for i, fields in enumerate(zip(overlaps.series.tolist(), overlaps.start.tolist(),
                                                   overlaps.length.tolist(), tick_texts(overlaps.start)))]  # fmt: skip
    return gap_list, overlap_list


def time_span(table: BlockTable, rows: np.ndarray) -> tuple[float, float] | None:
    """Returns the earliest and the latest time (seconds since the epoch)
    that the samples of the blocks `rows` (a mask of the table's) reach,
    from a block's first tick to its last tick plus one period, whichever
    way its period runs; None when none has samples."""
    rows = rows & (table.present_samples > 0)
    if not rows.any():
        return None
    first = table.first_time[rows]
    starts = start_ticks(first)
    stops = end_ticks(first, table.period_ms[rows], table.present_samples[rows])
    return int(min(starts.min(), stops.min())) / 1000, int(max(starts.max(), stops.max())) / 1000


def probably_not_logs(table: BlockTable) -> np.ndarray:
    """Returns per file of `table` whether it is probably not a logger
    file: the file is cut short (a block holds fewer samples than its
    header declares) and its first block's header names a channel below
    -2^24 or from 2^24 up. Read as a log, any file is one; a text, a
    picture or an archive is almost always cut short, and its first bytes
    are rarely a logger's channel number. A file without blocks is not
    judged (False)."""
    files = len(table.paths)
    cut = np.zeros(files, dtype=bool)
    cut[table.file[table.truncated()]] = True
    first = np.flatnonzero(table.block == 0)
    low, high = LOGGER_CHANNELS
    channel = table.channel[first]
    unlike = np.zeros(files, dtype=bool)
    unlike[table.file[first]] = (channel < low) | (channel >= high)
    return cut & unlike


def table_frame(
    pd, table: BlockTable, share: bool = False, loggers: list[str] | None = None  # noqa: ANN001 - the pandas module
) -> pandas.DataFrame:
    """Returns the index DataFrame of `table`, a row per block (each run of
    blocks its rows); with `share`, its columns are the table's own arrays,
    not copies (the table must not be used after). With `loggers` (a name
    per path of the table), the categorical column `logger` follows
    `path`, its categories sorted."""
    if has_runs(table):
        table, share = expand_runs(table), True
    categories, codes = path_categories(table.paths)
    columns = {"path": pd.Categorical.from_codes(codes[table.file], categories=categories)}
    names = INDEX_COLUMNS
    if loggers is not None:
        kinds, per_file = np.unique(np.array(loggers, dtype=object), return_inverse=True)
        columns["logger"] = pd.Categorical.from_codes(per_file[table.file], categories=kinds.tolist())
        names = ("path", "logger", *INDEX_COLUMNS[1:])
    columns.update((name, getattr(table, name)) for name in BLOCK_COLUMNS)
    columns.update(truncated=table.truncated(), start=table.start_times(), end=table.end_times())
    columns.update(start_tick=start_ticks(table.first_time))
    columns.update(end_tick=end_ticks(table.first_time, table.period_ms, table.present_samples))
    # Not consolidated: no column is copied into a block of its type.
    return pd.DataFrame(columns, index=pd.RangeIndex(len(table)), columns=names, copy=not share)


def path_categories(paths: list[PathArg]) -> tuple[list[PathArg], np.ndarray]:
    """Returns the distinct paths in their first order, and each path's
    position among them."""
    positions: dict = {}
    codes = [positions.setdefault(path, len(positions)) for path in paths]
    kind = np.int8 if len(positions) < 1 << 7 else np.int16 if len(positions) < 1 << 15 else np.int32
    return list(positions), np.array(codes, dtype=kind)
