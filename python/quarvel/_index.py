"""The block index: every block header of one or more logger files, held
as numpy columns (no Python object per block), read from the headers
alone."""

from __future__ import annotations

import errno
import glob
import os
import stat
import threading
import warnings
from typing import TYPE_CHECKING, Iterable, NamedTuple, Union

import numpy as np

from ._headers import (
    HEADER_SIZE,
    SAMPLE_SIZE,
    FileStamp,
    read_file_status,
    read_headers,
    running_time,
    stamp_of,
    time_step,
    truncated_message,
)
from ._optional import require
from ._signatures import is_zarr_store

if TYPE_CHECKING:
    import pandas

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

HEADER_DTYPE = np.dtype(
    [
        ("channel", ">i4"),
        ("period_ms", ">u4"),
        ("first_time", ">i4"),
        ("declared_samples", ">i4"),
        ("gain", ">u4"),
        ("offset", ">u4"),
    ]
)
# The index's columns in their order, as quarvel.index() returns them.
INDEX_COLUMNS = (
    "path",
    "block",
    "data_offset",
    "channel",
    "period_ms",
    "first_time",
    "declared_samples",
    "present_samples",
    "gain",
    "offset",
    "truncated",
    "start",
    "end",
)
_GLOB_CHARACTERS = frozenset("*?[")


class NoMatchError(FileNotFoundError):
    """A glob pattern that matches no file."""


class BlockTable:
    """The blocks of one or more files, one entry per block in each column
    (numpy arrays), in file order and then block order. `file` is the
    position in `paths` of each block's file; `stamps` holds each file's
    FileStamp as it was indexed (None where the file is held open)."""

    __slots__ = (
        "paths",
        "sizes",
        "stamps",
        "file",
        "block",
        "data_offset",
        "channel",
        "period_ms",
        "first_time",
        "declared_samples",
        "present_samples",
        "gain",
        "offset",
    )

    def __len__(self) -> int:
        return len(self.block)

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


def warn_truncated(table: BlockTable, stacklevel: int) -> None:
    """Warns with TruncatedBlockWarning, in the converter's words, for each
    block of `table` that its file cuts short (one a file at most: the
    last), at the caller `stacklevel` frames up from the caller of this."""
    from ._reader import TruncatedBlockWarning

    for row in np.flatnonzero(table.truncated()).tolist():
        path = table.paths[int(table.file[row])]
        message = truncated_message(path, int(table.present_samples[row]), int(table.declared_samples[row]))
        warnings.warn(message, TruncatedBlockWarning, stacklevel=stacklevel + 1)


def scan_open_file(path: PathArg, fd: int, size: int) -> BlockTable:
    """Returns the index of the one open file `fd` of `size` bytes."""
    raw = bytearray()
    read_headers(fd, size, path, raw)
    count = len(raw) // HEADER_SIZE
    return build_table(raw, [path], np.array([size], dtype=np.int64), np.array([count], dtype=np.int64))


def scan_files(paths: list[PathArg]) -> BlockTable:
    """Returns the index of the files `paths`, read one after another, or
    taken from those read before in this process (see known_headers).
    Raises the OSError of the first file that cannot be read."""
    raw = bytearray()
    stamps = []
    counts = np.empty(len(paths), dtype=np.int64)
    for i, path in enumerate(paths):
        before = len(raw)
        stamps.append(known_headers(path, raw))
        counts[i] = (len(raw) - before) // HEADER_SIZE
    sizes = np.array([stamp.size for stamp in stamps], dtype=np.int64)
    return build_table(raw, paths, sizes, counts, stamps)


# The block headers of the files read so far, by path: with the file's
# size, modification and change times in ns, inode and device as read, and
# its FileStamp. At most _KNOWN_BYTES of them (each counted with its
# bookkeeping), the oldest dropped first.
_known: dict = {}
_known_bytes = 0
_known_lock = threading.Lock()
_KNOWN_BYTES = 1 << 25
_ENTRY_BYTES = 256


def known_headers(path: PathArg, out: bytearray) -> FileStamp:
    """Appends the block headers of the file `path` to `out`, as
    read_file_headers() does, and returns its stamp. When the file's size,
    modification time, change time, inode and device are what they were
    when its headers were last read in this process, they are taken from
    then instead of read again: any write, rename or change of mode since
    changes one of these (a rewrite within the clock's tick aside, which a
    task's check of each header it reads still tells)."""
    global _known_bytes
    found = _known.get(path)
    if found is not None:
        try:
            info = os.stat(path)
        except OSError:
            info = None  # reading says why
        if info is not None and stat.S_ISREG(info.st_mode) and found[0] == _identity(info):
            out += found[2]
            return found[1]
    before = len(out)
    info = read_file_status(path, out)
    stamp = stamp_of(info)
    headers = bytes(out[before:])
    cost = len(headers) + _ENTRY_BYTES
    with _known_lock:
        old = _known.pop(path, None)
        if old is not None:
            _known_bytes -= len(old[2]) + _ENTRY_BYTES
        if cost <= _KNOWN_BYTES:
            _known[path] = (_identity(info), stamp, headers)
            _known_bytes += cost
        while _known_bytes > _KNOWN_BYTES:
            oldest = _known.pop(next(iter(_known)))
            _known_bytes -= len(oldest[2]) + _ENTRY_BYTES
    return stamp


def _identity(info: os.stat_result) -> tuple[int, ...]:
    return info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino, info.st_dev


def build_table(
    raw: bytearray, paths: list[PathArg], sizes: np.ndarray, counts: np.ndarray, stamps: list | None = None
) -> BlockTable:
    """Returns the columns of the headers in `raw` (24 bytes each), of which
    `counts[i]` belong to the file `paths[i]` of `sizes[i]` bytes (and of
    `stamps[i]`, when given). Empties `raw` as soon as its fields are
    decoded, to keep the peak low."""
    table = BlockTable()
    table.paths = list(paths)
    table.sizes = sizes
    table.stamps = stamps
    n = len(raw) // HEADER_SIZE
    headers = np.frombuffer(raw, dtype=HEADER_DTYPE, count=n)
    for name in ("channel", "first_time", "declared_samples"):
        setattr(table, name, headers[name].astype(np.int32))
    table.period_ms = headers["period_ms"].astype(np.uint32)
    table.gain = headers["gain"].astype(np.uint32).view(np.float32)
    table.offset = headers["offset"].astype(np.uint32).view(np.float32)
    del headers
    raw.clear()
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
    table.block = np.arange(n, dtype=np.int64)
    if len(paths) > 1:
        first_rows = np.cumsum(counts) - counts  # each file's first block
        table.block -= first_rows[table.file]
        data_offset -= data_offset[first_rows[counts > 0]].repeat(counts[counts > 0])
    data_offset += HEADER_SIZE
    data_offset += table.block * HEADER_SIZE
    table.data_offset = data_offset
    # What the file holds after the header, in samples
    room = sizes[0] - data_offset if len(paths) == 1 else sizes[table.file] - data_offset
    room //= SAMPLE_SIZE
    table.present_samples = np.minimum(table.declared_samples, room, out=room)
    np.maximum(table.present_samples, 0, out=table.present_samples)
    return table


def last_times(first_time: np.ndarray, period_ms: np.ndarray, present: np.ndarray) -> np.ndarray:
    """Returns per block the time stamp of its last present sample as the
    converter sums it, step after step (NaN for a block without samples).

    While the running sum stays in the binade of its second term, every
    step from there on adds the same increment, so the last time is the
    second time plus a multiple of it, exactly. Blocks that cross a binade
    are summed in runs by running_time()."""
    ends = np.full(len(present), np.nan)
    ends[present == 1] = first_time[present == 1]
    rows = np.flatnonzero(present >= 2)
    if len(rows) == 0:
        return ends
    step = period_ms[rows].view(np.int32) / 1000.0
    t1 = first_time[rows] + step
    t2 = t1 + step
    t3 = t2 + step
    increment = t3 - t2
    count = present[rows]
    last = t1 + (count - 2) * increment
    fast = (count <= 3) | ((t2 - t1 == increment) & _same_binade(t1, last))
    ends[rows] = np.where(count == 2, t1, np.where(count == 3, t2, last))
    for i in np.flatnonzero(~fast).tolist():
        row = rows[i]
        ends[row] = running_time(int(first_time[row]), time_step(int(period_ms[row])), int(present[row]) - 1)
    return ends


def _same_binade(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a != 0) & (b != 0) & (np.signbit(a) == np.signbit(b)) & (np.frexp(a)[1] == np.frexp(b)[1])


class Gaps(NamedTuple):
    """Pairs of blocks of one channel that follow one another: the rows of
    the earlier and the later block, the later one's first sample time less
    the end of the earlier one (seconds: positive a gap, negative an
    overlap, zero neither), and the earlier one's step in seconds."""

    before: np.ndarray
    after: np.ndarray
    seconds: np.ndarray
    step: np.ndarray


def block_gaps(table: BlockTable, rows: np.ndarray, ends: np.ndarray, per_file: bool = False) -> Gaps:
    """Returns the gaps between the blocks `rows` of `table`, taken in the
    order given, each block against the next of its channel (and of its
    file, with `per_file`). A block with samples covers its channel from its
    first sample's time to its last sample's time (`ends`, per row of the
    table, as last_times() sums it) plus one step: where the next block
    starts later, that is a gap; earlier, an overlap. Blocks without
    samples have no place in time and are left out."""
    rows = rows[table.present_samples[rows] > 0]
    channel = table.channel[rows]
    rows = rows[np.lexsort((channel, table.file[rows])) if per_file else np.argsort(channel, kind="stable")]
    same = table.channel[rows[1:]] == table.channel[rows[:-1]]
    if per_file:
        same &= table.file[rows[1:]] == table.file[rows[:-1]]
    before, after = rows[:-1][same], rows[1:][same]
    step = table.period_ms[before].view(np.int32) / 1000.0
    return Gaps(before, after, table.first_time[after] - (ends[before] + step), step)


def expand_paths(paths: PathArg | Iterable[PathArg]) -> list[PathArg]:
    """Returns the files that `paths` names: one path, a list of paths, or
    a glob pattern (a str with *, ? or [ that names no file itself),
    expanded in sorted order (** reaching into subfolders), never into a
    Zarr store. Raises NoMatchError (a FileNotFoundError) for a pattern
    that matches nothing."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        if isinstance(paths, (str, bytes)) and _is_pattern(paths) and not os.path.lexists(paths):
            matches = _outside_stores(paths, sorted(glob.glob(paths, recursive=True)))
            if not matches:
                raise NoMatchError(errno.ENOENT, "no file matches the pattern", paths)
            return matches
        return [paths]
    return list(paths)


def _outside_stores(pattern: str | bytes, matches: list) -> list:
    """Returns the `matches` of `pattern` that lie in no Zarr store below
    the pattern's first wildcard: the chunk files of an export have no
    signature, and would be read as logs."""
    root = pattern
    while _is_pattern(root):
        root = os.path.dirname(root)
    stores: dict = {}

    def inside(match: str | bytes) -> bool:
        folder = os.path.dirname(match)
        while len(folder) > len(root):
            if folder not in stores:
                stores[folder] = is_zarr_store(folder)
            if stores[folder]:
                return True
            folder = os.path.dirname(folder)
        return False

    return [match for match in matches if not inside(match)]


def _is_pattern(path: str | bytes) -> bool:
    text = os.fsdecode(path)
    return any(c in _GLOB_CHARACTERS for c in text)


def index(paths: PathArg | Iterable[PathArg]) -> pandas.DataFrame:
    """Returns a pandas DataFrame of every block of the logger files
    `paths` (one path, a list of paths, or a glob pattern such as
    ``"logs/**/*.002"``, expanded in sorted order), a row per block in path
    order and then file order, from the block headers alone.

    Columns: ``path`` (categorical, as given or expanded), ``block`` (its
    index in its file), ``data_offset`` (the byte offset of its first
    sample), the header fields ``channel``, ``period_ms``, ``first_time``,
    ``declared_samples``, ``gain``, ``offset``; ``present_samples`` and
    ``truncated`` (the file holds fewer samples than declared); ``start``
    and ``end``, the times of its first and last present sample as the
    converter computes them (float64 seconds, NaN without samples).

    Raises FileNotFoundError, IsADirectoryError, NotRegularFileError or
    another OSError for the first file that cannot be read."""
    pd = require("pandas")
    files = [os.fspath(path) for path in expand_paths(paths)]
    return table_frame(pd, scan_files(files), share=True)


def table_frame(pd, table: BlockTable, share: bool = False) -> pandas.DataFrame:  # noqa: ANN001 - the pandas module
    """Returns the index DataFrame of `table`; with `share`, its columns are
    the table's own arrays, not copies (the table must not be used after)."""
    categories, codes = _path_categories(table.paths)
    columns = {
        "path": pd.Categorical.from_codes(codes[table.file], categories=categories),
        "block": table.block,
        "data_offset": table.data_offset,
        "channel": table.channel,
        "period_ms": table.period_ms,
        "first_time": table.first_time,
        "declared_samples": table.declared_samples,
        "present_samples": table.present_samples,
        "gain": table.gain,
        "offset": table.offset,
        "truncated": table.truncated(),
        "start": table.start_times(),
        "end": table.end_times(),
    }
    # Not consolidated: no column is copied into a block of its type.
    return pd.DataFrame(columns, index=pd.RangeIndex(len(table)), columns=INDEX_COLUMNS, copy=not share)


def _path_categories(paths: list[PathArg]) -> tuple[list[PathArg], np.ndarray]:
    """Returns the distinct paths in their first order, and each path's
    position among them."""
    positions: dict = {}
    codes = [positions.setdefault(path, len(positions)) for path in paths]
    kind = np.int8 if len(positions) < 1 << 7 else np.int16 if len(positions) < 1 << 15 else np.int32
    return list(positions), np.array(codes, dtype=kind)
