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
from ._catalog import Catalog, opened, segments, share
from ._headers import SAMPLE_SIZE, TruncatedBlockWarning, truncated_message
from ._index import BlockTable, path_categories
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
# Sized by bytes (partition_bytes=), a partition reads about that many
# bytes of the logs: its samples' and, for each piece, PIECE_BYTES (the
# cost of a piece above, as bytes). By default a campaign of more than
# SCALED_BYTES makes partitions of its bytes / (MOST_PARTITIONS / 2), which
# keeps its tasks below MOST_PARTITIONS: 10 TB makes about 25,000 of 400 MB.
PIECE_BYTES = SAMPLES_PER_PIECE * SAMPLE_SIZE
MOST_PARTITIONS = 50_000
SCALED_BYTES = (MOST_PARTITIONS // 2) * (PARTITION_SAMPLES * SAMPLE_SIZE)
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


class CatalogPaths(NamedTuple):
    """The paths of a catalog's generation, in path order, which a worker
    reads once (Catalog.path_type): a graph of a million logs need not
    carry them."""

    folder: str
    generation: str


class PartitionReader:
    """Makes the pandas DataFrame of one Part. Dask's optimizer narrows its
    `columns` to those a computation uses (column projection), so that a
    question about one column reads and computes that column alone."""

    def __init__(
        self,
        categories: Sequence | CatalogPaths,
        columns: Sequence[str] | None = None,
        loggers: Sequence | None = None,
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

    def path_type(self) -> pandas.CategoricalDtype:
        """Returns the type of the `path` column."""
        pd = require("pandas")
        if isinstance(self.categories, CatalogPaths):
            return opened(*self.categories).path_type(pd)
        return pd.CategoricalDtype(self.categories)

    def __call__(self, part: Part | CatalogPart, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        """Returns the DataFrame of `part`: its rows in order, indexed by
        their time stamps."""
        pd = require("pandas")
        if isinstance(part, CatalogPart):
            part = part.load()
        if columns is None:
            columns = frame_columns(self.loggers) if self._columns is None else self._columns
        names = list(columns)
        wanted = [name for name in names if name not in ("path", "logger")]
        data = read_columns(part.paths, part.stamps, part.pieces, dict.fromkeys(["time", *wanted]))
        times = data["time"]
        if "time" in wanted:  # the column gets its own copy: the index must not change with it
            data["time"] = times.copy()
        if "path" in names:
            kind = self.path_type()
            data["path"] = pd.Categorical.from_codes(part.per_sample(part.codes), dtype=kind)
        if "logger" in names:
            kind = pd.CategoricalDtype(self.loggers)
            data["logger"] = pd.Categorical.from_codes(part.per_sample(part.logger_codes), dtype=kind)
        index = pd.Index(times, dtype=np.float64, copy=False)
        return pd.DataFrame({name: data[name] for name in names}, index=index, columns=names, copy=False)


def empty_frame(pd, categories: Sequence, loggers: Sequence | None = None) -> pandas.DataFrame:  # noqa: ANN001
    """Returns the DataFrame of no rows with the columns and types of a
    partition: `categories`, the paths (or their CategoricalDtype), and
    with `loggers`, the categories of its `logger` column."""
    kind = categories if isinstance(categories, pd.CategoricalDtype) else pd.CategoricalDtype(categories)
    columns = {"path": pd.Categorical.from_codes([], dtype=kind)}
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
    partition_bytes: int | None = None,
    scaled: bool = False,
    catalog: Catalog | None = None,
    keys: np.ndarray | None = None,
    whole: bool = True,
) -> tuple[list[Part], np.ndarray, np.ndarray]:
    """Returns the Parts of the blocks of `table` (of `channels` and of the
    rows that `rows` marks true, cut to the samples whose ticks lie in the
    `window`), its pieces and the bounds of the Parts among them; with
    `loggers` (a name per file of `table`), each Part knows its files'.
    A Part holds about `partition_samples` samples, or with
    `partition_bytes` reads about that many bytes (see PIECE_BYTES); with
    `scaled`, a campaign of more than SCALED_BYTES is sized by bytes so
    that it makes fewer than MOST_PARTITIONS. With the `catalog` whose
    files (all of them if `whole`) of the folders `keys` `table` holds,
    the Parts are CatalogParts, which carry no path."""
    pieces = block_pieces(table, stride, channels, rows)
    if window is not None:
        pieces = window_pieces(pieces, *window)
    split, bounds, pieces = sized(pieces, partition_samples, partition_bytes, scaled)
    if catalog is not None:
        selection = (stride, channels, window, split)
        return catalog_parts(catalog, table, keys, whole, pieces, bounds, selection, loggers), pieces, bounds
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


def sized(
    pieces: np.ndarray, samples: int, most_bytes: int | None, scaled: bool
) -> tuple[int, np.ndarray, np.ndarray]:
    """Returns the samples at most of a piece, the bounds of the partitions
    and the pieces cut to that length: of about `samples` samples each, or
    reading about `most_bytes` bytes each (see plan())."""
    cost = pieces["count"] * SAMPLE_SIZE + PIECE_BYTES
    total = int(cost.sum())
    if most_bytes is None and scaled and total > SCALED_BYTES:
        most_bytes = -(-total // (MOST_PARTITIONS // 2))
    if most_bytes is None:
        cut_pieces, cut = split_pieces(pieces, samples)
        most = max(LEAST_PIECES, samples // SAMPLES_PER_PIECE)
        return samples, partition_bounds(cut_pieces, cut, samples, most), cut_pieces
    while True:
        split = max(1, (most_bytes - PIECE_BYTES) // SAMPLE_SIZE)
        cut_pieces, cut = split_pieces(pieces, split)
        weights = np.zeros(len(cut_pieces), dtype=[("count", np.int64)])
        weights["count"] = cut_pieces["count"] * SAMPLE_SIZE + PIECE_BYTES
        bounds = partition_bounds(weights, cut, most_bytes, max(len(cut_pieces), 1))
        if not scaled or len(bounds) - 1 <= MOST_PARTITIONS:
            return split, bounds, cut_pieces
        most_bytes *= 2


class CatalogPart:
    """What one task of a graph built from a catalog reads: the catalog's
    folder and generation, its files as runs of names of a folder
    (Catalog.segment_table), the position of the first among all the
    generation's files in path order (`low`, the code of its path), and
    which of the pieces of those files are its own (`skip` of them, then
    `count`), selected as the graph selected them (`selection`: stride,
    channels, window, and the samples at most of a piece); and the codes
    of its files' loggers. The task reads its files' rows of the
    generation (read-only, immutable), makes their pieces again and checks
    its files against the identities recorded there, so that the graph
    carries a few names, not every path."""

    __slots__ = ("folder", "generation", "segments", "low", "skip", "count", "selection", "loggers", "logger_codes")

    def __init__(self, folder: str, generation: str, segments: tuple, low: int, skip: int, count: int,
                 selection: tuple) -> None:  # fmt: skip
        self.folder, self.generation, self.segments, self.low = folder, generation, segments, low
        self.skip, self.count, self.selection = skip, count, selection
        self.loggers: tuple | None = None
        self.logger_codes: np.ndarray | None = None

    def __getstate__(self) -> tuple:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state: tuple) -> None:
        for name, value in zip(self.__slots__, state):
            setattr(self, name, value)

    def load(self) -> Part:
        """Returns the Part that this stands for, from the catalog."""
        stride, channels, window, split = self.selection
        table = opened(self.folder, self.generation).segment_table(self.segments)
        pieces = block_pieces(table, stride, channels)
        if window is not None:
            pieces = window_pieces(pieces, *window)
        own = split_pieces(pieces, split)[0][self.skip : self.skip + self.count].copy()
        files, own["file"] = np.unique(own["file"], return_inverse=True)
        chosen = files.tolist()
        part = Part(tuple(table.paths[f] for f in chosen), tuple(table.stamps[f] for f in chosen),
                    files + self.low if self.low >= 0 else None, own)  # fmt: skip
        if self.loggers is not None:
            codes = self.logger_codes[files]
            part.loggers, part.logger_codes = tuple(self.loggers[c] for c in codes.tolist()), codes
        return part


def catalog_parts(
    catalog: Catalog,
    table: BlockTable,
    keys: np.ndarray,
    whole: bool,
    pieces: np.ndarray,
    bounds: np.ndarray,
    selection: tuple,
    loggers: list[str] | None,
) -> list[CatalogPart]:
    """Returns the CatalogParts of `pieces` (of `table`, the catalog's
    files of the folders `keys`, all of them if `whole`, as `selection`
    selects them) in the partitions of `bounds`."""
    files = pieces["file"]
    lows, highs = bounds[:-1], bounds[1:]
    first, last = files[lows], files[highs - 1]
    skips = lows - np.searchsorted(files, first)  # the pieces of the first file before the part's
    if loggers is not None:
        names, codes = np.unique(np.array(loggers, dtype=object), return_inverse=True)
        names = tuple(names.tolist())
        kind = np.uint8 if len(names) <= 1 << 8 else np.uint16 if len(names) <= 1 << 16 else np.int64
        codes = codes.astype(kind)
    parts = []
    for low, high, skip, count in zip(first.tolist(), (last + 1).tolist(), skips.tolist(), (highs - lows).tolist()):
        runs = segments(keys[low:high], table.paths, low)
        part = CatalogPart(catalog.folder, catalog.generation, runs, low if whole else -1, skip, count, selection)
        if loggers is not None:
            part.loggers, part.logger_codes = names, codes[low:high]
        parts.append(part)
    return parts


class Selection(NamedTuple):
    """The samples of many logs that a frame or a dataset holds."""

    files: list  # the paths, as given or expanded
    table: BlockTable
    parts: list[Part]
    pieces: np.ndarray
    bounds: np.ndarray
    loggers: list[str] | None  # the logger of each file, by the rule given; None without one
    catalog: Catalog | None  # the catalog read, whose parts are CatalogParts

    def token(self) -> str:
        """Returns the token of the selection for Dask's names: from the
        catalog's generation, or the files' identities, and the pieces."""
        tokenize = require("dask.base").tokenize
        if self.catalog is not None:
            return tokenize(self.catalog.folder, self.catalog.generation, self.pieces, self.bounds, self.loggers)
        return tokenize(self.files, self.table.stamps, self.pieces, self.bounds, self.loggers)

    def reader_categories(self) -> Sequence | CatalogPaths:
        """The paths for the frame's readers: a catalog's, by its generation."""
        return self.files if self.catalog is None else CatalogPaths(self.catalog.folder, self.catalog.generation)

    def logger_categories(self) -> list[str] | None:
        """The loggers' names, sorted; None without a rule."""
        return None if self.loggers is None else sorted(set(self.loggers))


def select(
    paths: Paths,
    step: int,
    channels: int | Iterable[int] | None,
    time: tuple | None,
    partition_samples: int | None,
    stacklevel: int,
    logger: LoggerRule = None,
    partition_bytes: int | None = None,
    window_only: bool = False,
) -> Selection:
    """Checks the arguments of dask_dataframe() and open_dataset(), reads
    the block headers of `paths`, names each file's logger by the rule
    `logger` (NoLoggerError for a file that an expression does not match),
    warns with TruncatedBlockWarning for each file cut short (at the caller
    `stacklevel` frames up), and returns the selected samples in
    partitions: of `partition_samples` or `partition_bytes` (one of them at
    most), or by default as plan() scales them. From a Catalog, the
    partitions are CatalogParts; with `window_only` (no `path` column
    made, whose categories are every file), a time window and no logger
    rule, the table holds only the files with blocks in the window,
    found in the catalog without listing every file."""
    stride = selection_stride(step)
    channels = selected_channels(channels)
    window = time_window(time)
    size = partition_size(partition_samples)
    if partition_bytes is not None:
        if partition_samples is not None:
            raise ValueError("give partition_samples or partition_bytes, not both")
        partition_bytes = partition_size(partition_bytes, "partition_bytes")
    logger = check_rule(logger)
    catalog = paths if isinstance(paths, Catalog) else None
    keys = None
    whole = catalog is None or window is None or not window_only or logger is not None
    ordered = None
    if catalog is not None and window_only and window is None and logger is None:
        ordered = catalog.ordered_table()  # no path read: the Dataset's tasks read their own
    if ordered is not None:
        table, keys = ordered
    elif whole:
        table = block_table(paths)
        if catalog is not None:
            keys = catalog.folder_keys()
    else:  # the files of blocks in the window alone, found by SQL
        table, keys = catalog.window_table(*window)  # type: ignore[union-attr]
    files = table.paths  # a file named twice once
    loggers = logger_names(files, logger)
    warn_cut(table, channels, window, stacklevel + 1)
    if catalog is not None:
        share(catalog)
    found = plan(files, table, stride, channels, window, size, loggers=loggers, partition_bytes=partition_bytes,
                 scaled=partition_samples is None and partition_bytes is None, catalog=catalog, keys=keys,
                 whole=whole)  # fmt: skip
    return Selection(files, table, *found, loggers, catalog)


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


def partition_size(samples: int | None, name: str = "partition_samples") -> int:
    """Returns the samples a partition holds: `samples`, or the default for
    None. Raises TypeError for what is not an integer and ValueError for
    less than 1 (the argument called `name`)."""
    if samples is None:
        return PARTITION_SAMPLES
    samples = operator.index(samples)
    if samples < 1:
        raise ValueError(f"{name} must be 1 or more")
    return min(samples, 1 << 62)  # more than any campaign holds


def dask_dataframe(
    paths: Paths,
    step: int = 1,
    channels: int | Iterable[int] | None = None,
    time: tuple | None = None,
    partition_samples: int | None = None,
    logger: LoggerRule = None,
    partition_bytes: int | None = None,
) -> dask.dataframe.DataFrame:
    """Returns a lazy Dask DataFrame of the samples of the logger files
    `paths` (one path, a list of paths, a glob pattern, or a Catalog, as
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
    about `partition_samples` rows (2**21 when None), or with
    `partition_bytes` reads about that many bytes of the logs (each piece
    of a block counted as 1,024 bytes more, for its opening and checking);
    by default, a campaign of more than 100 GB of samples is cut into
    partitions of its bytes / 25,000, so that 10 TB makes at most 50,000
    tasks (about 25,000 of 400 MB).

    `paths` may be a quarvel.Catalog: the block headers come from it,
    without a log opened, and each task reads the rows of its files from
    the catalog's generation when computed, so that the graph carries no
    path; the samples are checked against the identities the catalog
    recorded.

    Reads the block headers now, and warns with TruncatedBlockWarning once
    for each file that cuts a block short; reads the samples when computed.
    Raises ValueError for a step of 0, a NaN or NaT bound, a partition of
    less than 1 sample or byte or both sizes given, TypeError for a step
    or size that is not an integer or a window that is not a pair of
    bounds, NoLoggerError (a ValueError)
    for a file that the logger expression does not match, the errors of
    quarvel.index() for a file that cannot be read, and ImportError when dask or pandas is
    missing. A computation raises FileChangedError for a file that is no
    longer the one indexed: another file under its name, shorter, modified
    without growing, or another block header where one was indexed."""
    dd = require("dask.dataframe")
    pd = require("pandas")
    chosen = select(paths, step, channels, time, partition_samples, stacklevel=2, logger=logger,
                    partition_bytes=partition_bytes)  # fmt: skip
    categories = chosen.catalog.path_type(pd) if chosen.catalog is not None else path_categories(chosen.files)[0]
    if chosen.catalog is not None:
        share(chosen.catalog)  # the paths' type too, for the tasks of this process
    loggers = chosen.logger_categories()
    meta = empty_frame(pd, categories, loggers)
    if not chosen.parts:
        return dd.from_pandas(meta, npartitions=1)
    frame = dd.from_map(
        PartitionReader(chosen.reader_categories(), loggers=loggers),
        chosen.parts,
        meta=meta,
        divisions=divisions(chosen.pieces, chosen.bounds),
        label="quarvel",
        token=chosen.token(),
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
