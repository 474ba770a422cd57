"""Many logs as one lazy Dask DataFrame, built from the block index.

Each partition is a list of pieces (see _pieces): whole blocks, or a
stretch of a few million samples of a long one. What a task carries is
plain numbers and the paths of its files; it opens one file at a time and
reads only its own samples.
"""

from __future__ import annotations

import numbers
import operator
import warnings
from typing import TYPE_CHECKING, Iterable, NamedTuple, Sequence

import numpy as np

from ._columns import SAMPLE_COLUMNS
from ._headers import TruncatedBlockWarning, truncated_message
from ._index import BlockTable, PathArg, path_categories
from ._loggers import LoggerRule, check_rule, logger_names
from ._optional import require
from ._pieces import (
    block_pieces,
    partition_bounds,
    piece_times,
    read_columns,
    repeat,
    selected_channels,
    selection_stride,
    split_pieces,
    time_ordered,
    window_pieces,
)
from ._routes import Paths, block_table
from ._ticks import samples_within, start_ticks, tick_bound
from ._times import signed_ms

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

# A partition holds about this many samples (about 100 MB with every
# column), by default. Each of its pieces costs a task some microseconds
# (a file opened and checked, for a piece alone in its file), so it holds
# at most one piece per SAMPLES_PER_PIECE of its samples (4,096 by
# default), and at least LEAST_PIECES: thousands of small logs still make
# several tasks, and a task's overhead stays in proportion to its samples.
PARTITION_SAMPLES = 1 << 21
SAMPLES_PER_PIECE = 512
LEAST_PIECES = 64
FRAME_COLUMNS = ("path", *SAMPLE_COLUMNS)


def frame_columns(loggers: Sequence | None) -> tuple[str, ...]:
    """The frame's columns: `logger` after `path` when there are loggers."""
    return FRAME_COLUMNS if loggers is None else ("path", "logger", *SAMPLE_COLUMNS)


class Part:
    """What one task reads: the paths of its files, each file's stamp as it
    was indexed, its code in the `path` column's categories, its logger
    (names, and codes in the `logger` column's categories; None without a
    rule), and its pieces."""

    __slots__ = ("paths", "stamps", "codes", "pieces", "loggers", "logger_codes")

    def __init__(self, paths: tuple, stamps: tuple, codes: np.ndarray, pieces: np.ndarray) -> None:
        self.paths = paths
        self.stamps = stamps
        self.codes = codes
        self.pieces = pieces
        self.loggers: tuple | None = None
        self.logger_codes: np.ndarray | None = None

    def __getstate__(self) -> tuple:
        return self.paths, self.stamps, self.codes, self.pieces, self.loggers, self.logger_codes

    def __setstate__(self, state: tuple) -> None:
        self.paths, self.stamps, self.codes, self.pieces, self.loggers, self.logger_codes = state

    def per_sample(self, codes: np.ndarray) -> np.ndarray:
        """Returns per row the value of `codes` (one per file) of its file."""
        counts = self.pieces["count"]
        return repeat(codes[self.pieces["file"]], counts, int(counts.sum()))


class PartitionReader:
    """Makes the pandas DataFrame of one Part. Dask's optimizer narrows its
    `columns` to those a computation uses (column projection), so that a
    question about one column reads and computes that column alone."""

    def __init__(
        self, categories: Sequence, columns: Sequence[str] | None = None, loggers: Sequence | None = None
    ) -> None:
        self.categories = categories
        self._columns = None if columns is None else list(columns)
        self.loggers = loggers  # the `logger` column's categories; None without one

    @property
    def columns(self) -> list[str] | None:
        """The columns it makes; None for all of them."""
        return self._columns

    def project_columns(self, columns: Sequence[str]) -> PartitionReader:
        """Returns a reader of the columns `columns` alone."""
        return PartitionReader(self.categories, columns, self.loggers)

    def __call__(self, part: Part, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        """Returns the DataFrame of `part`: its rows in order, indexed by
        their time stamps."""
        pd = require("pandas")
        if columns is None:
            columns = frame_columns(self.loggers) if self._columns is None else self._columns
        names = list(columns)
        wanted = [name for name in names if name not in ("path", "logger")]
        data = read_columns(part.paths, part.stamps, part.pieces, dict.fromkeys(["time", *wanted]))
        times = data["time"]
        if "time" in wanted:  # the column gets its own copy: the index must not change with it
            data["time"] = times.copy()
        if "path" in names:
            kind = pd.CategoricalDtype(self.categories)
            data["path"] = pd.Categorical.from_codes(part.per_sample(part.codes), dtype=kind)
        if "logger" in names:
            kind = pd.CategoricalDtype(self.loggers)
            data["logger"] = pd.Categorical.from_codes(part.per_sample(part.logger_codes), dtype=kind)
        index = pd.Index(times, dtype=np.float64, copy=False)
        return pd.DataFrame({name: data[name] for name in names}, index=index, columns=names, copy=False)


def empty_frame(pd, categories: Sequence, loggers: Sequence | None = None) -> pandas.DataFrame:  # noqa: ANN001
    """Returns the DataFrame of no rows with the columns and types of a
    partition (with `loggers`, the categories of its `logger` column)."""
    columns = {"path": pd.Categorical.from_codes([], dtype=pd.CategoricalDtype(categories))}
    if loggers is not None:
        columns["logger"] = pd.Categorical.from_codes([], dtype=pd.CategoricalDtype(loggers))
    columns.update((name, np.empty(0, dtype=column.dtype)) for name, column in SAMPLE_COLUMNS.items())
    return pd.DataFrame(columns, index=pd.Index([], dtype=np.float64), columns=frame_columns(loggers))


def divisions(pieces: np.ndarray, bounds: np.ndarray) -> tuple[float, ...] | None:
    """Returns the partitions' divisions when the rows are in time order:
    every piece in order within itself and after the one before, and every
    partition strictly after the one before. Else None."""
    if not time_ordered(pieces).all():
        return None
    first, last = piece_times(pieces)
    if not (first[1:] >= last[:-1]).all():
        return None
    starts, ends = first[bounds[:-1]], last[bounds[1:] - 1]
    if not (starts[1:] > ends[:-1]).all():
        return None
    return tuple(starts.tolist()) + (float(ends[-1]),)


def plan(
    table_paths: list,
    table: BlockTable,
    stride: int,
    channels: Iterable[int] | None,
    window: tuple[int, int] | None = None,
    partition_samples: int = PARTITION_SAMPLES,
    rows: np.ndarray | None = None,
    loggers: list[str] | None = None,
) -> tuple[list[Part], np.ndarray, np.ndarray]:
    """Returns the Parts of the blocks of `table` (of `channels` and of the
    rows that `rows` marks true, cut to the samples whose ticks lie in the
    `window`), its pieces and the bounds of the Parts among them; with
    `loggers` (a name per file of `table`), each Part knows its files'."""
    pieces = block_pieces(table, stride, channels, rows)
    if window is not None:
        pieces = window_pieces(pieces, *window)
    pieces, cut = split_pieces(pieces, partition_samples)
    most = max(LEAST_PIECES, partition_samples // SAMPLES_PER_PIECE)
    bounds = partition_bounds(pieces, cut, partition_samples, most)
    _, codes = path_categories(table_paths)
    if loggers is not None:  # the names sorted, and each file's code among them
        names, logger_codes = np.unique(np.array(loggers, dtype=object), return_inverse=True)
    parts = []
    for low, high in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
        own = pieces[low:high].copy()
        files, own["file"] = np.unique(own["file"], return_inverse=True)
        chosen = files.tolist()
        stamps = tuple(table.stamps[f] for f in chosen)
        part = Part(tuple(table_paths[f] for f in chosen), stamps, codes[files], own)
        if loggers is not None:
            part.loggers, part.logger_codes = tuple(names[logger_codes[files]].tolist()), logger_codes[files]
        parts.append(part)
    return parts, pieces, bounds


class Selection(NamedTuple):
    """The samples of many logs that a frame or a dataset holds."""

    files: list  # the paths, as given or expanded
    table: BlockTable
    parts: list[Part]
    pieces: np.ndarray
    bounds: np.ndarray
    loggers: list[str] | None  # the logger of each file, by the rule given; None without one

    def logger_categories(self) -> list[str] | None:
        """The loggers' names, sorted; None without a rule."""
        return None if self.loggers is None else sorted(set(self.loggers))


def select(
    paths: PathArg | Iterable[PathArg],
    step: int,
    channels: int | Iterable[int] | None,
    time: tuple | None,
    partition_samples: int | None,
    stacklevel: int,
    logger: LoggerRule = None,
) -> Selection:
    """Checks the arguments of dask_dataframe() and open_dataset(), reads
    the block headers of `paths`, names each file's logger by the rule
    `logger` (NoLoggerError for a file that an expression does not match),
    warns with TruncatedBlockWarning for each file cut short (at the caller
    `stacklevel` frames up), and returns the selected samples in
    partitions."""
    stride = selection_stride(step)
    channels = selected_channels(channels)
    window = time_window(time)
    size = partition_size(partition_samples)
    logger = check_rule(logger)
    table = block_table(paths)
    files = table.paths  # a file named twice once
    loggers = logger_names(files, logger)
    warn_cut(table, channels, window, stacklevel + 1)
    return Selection(files, table, *plan(files, table, stride, channels, window, size, loggers=loggers), loggers)


def warn_cut(
    table: BlockTable, channels: Sequence[int] | None, window: tuple[int, int] | None, stacklevel: int
) -> None:
    """Warns with TruncatedBlockWarning, in the converter's words, for each
    block of `table` cut short that is asked for: of `channels` (all when
    None), and with the samples its header declares reaching into the time
    `window` (when given), at the caller `stacklevel` frames up from the
    caller of this. A block that is not read is not warned about."""
    cut = table.truncated()
    if channels is not None:
        cut &= np.isin(table.channel, np.array(channels, dtype=np.int64))
    rows = np.flatnonzero(cut)
    if window is not None and len(rows):
        start = start_ticks(table.first_time[rows])
        _, within = samples_within(start, signed_ms(table.period_ms[rows]), table.declared_samples[rows], *window)
        rows = rows[within > 0]
    for row in rows.tolist():
        path = table.paths[int(table.file[row])]
        message = truncated_message(path, int(table.present_samples[row]), int(table.declared_samples[row]))
        warnings.warn(message, TruncatedBlockWarning, stacklevel=stacklevel + 1)


def time_window(time: tuple | None) -> tuple[int, int] | None:
    """Returns the bounds of a `time` window (t0, t1) as whole ticks (see
    _ticks.tick_bound): a sample is in it when t0 × 1000 <= tick <= t1 ×
    1000. A bound is seconds since the epoch (int or float), numpy
    datetime64 or pandas Timestamp, or None for an open end; None for no
    window. Raises TypeError for what is not such a pair, ValueError for a
    NaN or NaT bound."""
    if time is None:
        return None
    pair = () if isinstance(time, (str, bytes)) or not isinstance(time, Iterable) else tuple(time)
    if len(pair) != 2:
        raise TypeError("time must be a pair (t0, t1) of seconds since the epoch, datetime64 or Timestamp")
    for value in pair:
        if type(value).__name__ == "NaTType" or (isinstance(value, np.datetime64) and np.isnat(value)):
            raise ValueError("time: a bound must not be NaT")
        date = isinstance(value, np.datetime64) or type(value).__name__ == "Timestamp"
        if value is not None and not date and not isinstance(value, numbers.Real):
            raise TypeError(f"time: {value!r} is not a number of seconds since the epoch, a datetime64 or a Timestamp")
    return tick_bound(pair[0], upper=False), tick_bound(pair[1], upper=True)


def partition_size(samples: int | None) -> int:
    """Returns the samples a partition holds: `samples`, or the default for
    None. Raises TypeError for what is not an integer and ValueError for
    less than 1."""
    if samples is None:
        return PARTITION_SAMPLES
    samples = operator.index(samples)
    if samples < 1:
        raise ValueError("partition_samples must be 1 or more")
    return min(samples, 1 << 62)  # more than any campaign holds


def dask_dataframe(
    paths: PathArg | Iterable[PathArg],
    step: int = 1,
    channels: int | Iterable[int] | None = None,
    time: tuple | None = None,
    partition_samples: int | None = None,
    logger: LoggerRule = None,
) -> dask.dataframe.DataFrame:
    """Returns a lazy Dask DataFrame of the samples of the logger files
    `paths` (one path, a list of paths, or a glob pattern, as
    quarvel.index() takes them): every `step`-th sample of each block from
    its first, as ``-n step`` selects them, of the blocks of `channels`
    (one channel or several; all when None), and with `time` = (t0, t1)
    only the samples whose tick holds t0 × 1000 <= tick <= t1 × 1000 (t0
    and t1 seconds since the epoch, numpy datetime64 or pandas Timestamp;
    None for an open end): only the files with blocks in that window are
    read.

    Its columns are ``path`` (categorical), with a `logger` rule (see
    _loggers: "folder", a regular expression or a callable) ``logger``
    (categorical, its categories sorted), and those of
    LogFile.to_dataframe(), with their types; its rows, once computed, are
    those of concatenating each file's ``to_dataframe(step)`` in path order
    (less those the selection leaves out). Its index is each row's time
    stamp (float64, unnamed). When the block headers show that the rows are
    in time order, the divisions are known and ``.loc`` on time reads only
    the partitions it needs; otherwise they are unknown. A partition holds
    about `partition_samples` rows (2**21 when None).

    Reads the block headers now, and warns with TruncatedBlockWarning once
    for each file that cuts a block short; reads the samples when computed.
    Raises ValueError for a step of 0, a NaN or NaT bound or a partition of
    less than 1 sample, TypeError for a step or size that is not an integer
    or a window that is not a pair of bounds, NoLoggerError (a ValueError)
    for a file that the logger expression does not match, the errors of
    quarvel.index() for a file that cannot be read, and ImportError when dask or pandas is
    missing. A computation raises FileChangedError for a file that is no
    longer the one indexed: another file under its name, shorter, modified
    without growing, or another block header where one was indexed."""
    dd = require("dask.dataframe")
    pd = require("pandas")
    tokenize = require("dask.base").tokenize
    chosen = select(paths, step, channels, time, partition_samples, stacklevel=2, logger=logger)
    categories, _ = path_categories(chosen.files)
    loggers = chosen.logger_categories()
    meta = empty_frame(pd, categories, loggers)
    if not chosen.parts:
        return dd.from_pandas(meta, npartitions=1)
    token = tokenize(chosen.files, chosen.table.stamps, chosen.pieces, chosen.bounds, chosen.loggers)
    frame = dd.from_map(
        PartitionReader(categories, loggers=loggers),
        chosen.parts,
        meta=meta,
        divisions=divisions(chosen.pieces, chosen.bounds),
        label="quarvel",
        token=token,
        enforce_metadata=False,
    )
    if not frame.known_divisions and not partitions_in_order(chosen.pieces, chosen.bounds):
        guard_loc(frame)
    return frame


def partitions_in_order(pieces: np.ndarray, bounds: np.ndarray) -> bool:
    """Whether the rows of every partition are in time order (each one's
    index never decreases), whether or not the partitions overlap."""
    first, last = piece_times(pieces)
    follows = np.ones(len(pieces), dtype=bool)
    follows[1:] = first[1:] >= last[:-1]
    follows[bounds[:-1]] = True  # a partition's first piece
    return bool((time_ordered(pieces) & follows).all())


UNORDERED = (
    "the rows of this frame are not in time order, so .loc cannot select them by time (pandas refuses a slice of"
    " an index that is not sorted): give quarvel.dask_dataframe the window as time=(t0, t1), which also reads"
    " only the files with samples in it, or select frame[frame['tick'].between(t0 * 1000, t1 * 1000)]"
)


def guard_loc(frame: dask.dataframe.DataFrame) -> None:
    """Makes `frame.loc` with a time or a slice of times raise a KeyError
    that says why (UNORDERED), where Dask would send it to every partition
    and pandas refuse it there, which Dask then reports as KeyError: None.
    A boolean mask or a list goes to Dask as before. The frame becomes an
    instance of a subclass of its own class; where that cannot be (another
    Dask), it is left as it is."""
    try:
        frame.__class__ = _guarded_class(type(frame))
    except TypeError:
        pass


_GUARDED: dict[type, type] = {}


def _guarded_class(base: type) -> type:
    """The subclass of the Dask DataFrame class `base` whose .loc is guarded."""
    if base not in _GUARDED:

        def loc(self):  # noqa: ANN001, ANN202 - Dask's own types
            return _TimeLoc(base.loc.__get__(self))

        def __reduce_ex__(self, protocol):  # noqa: ANN001, ANN202, N807 - pickled as the plain frame
            return _plain_frame, (base, self.__dict__)

        _GUARDED[base] = type(base.__name__, (base,), {"loc": property(loc), "__reduce_ex__": __reduce_ex__})
    return _GUARDED[base]


def _plain_frame(base: type, state: dict) -> object:
    """The frame of the Dask class `base` with the attributes `state`."""
    frame = object.__new__(base)
    frame.__dict__.update(state)
    return frame


class _TimeLoc:
    """Dask's .loc indexer, which refuses rows chosen by time."""

    def __init__(self, indexer: object) -> None:
        self.indexer = indexer

    def __getitem__(self, key: object) -> object:
        rows = key[0] if isinstance(key, tuple) else key
        if isinstance(rows, (slice, numbers.Number, np.number)):
            raise KeyError(UNORDERED)
        return self.indexer[key]
