"""Many logs as one lazy Dask DataFrame, built from the block index.

Each partition is a list of pieces (see _pieces): whole blocks, or a
stretch of a few million samples of a long one. What a task carries is
plain numbers and the paths of its files; it opens one file at a time and
reads only its own samples.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Iterable, Sequence

import numpy as np

from ._index import BlockTable, PathArg, _path_categories, expand_paths, scan_files
from ._optional import require
from ._pieces import (
    SAMPLE_COLUMNS,
    block_pieces,
    partition_bounds,
    piece_times,
    read_columns,
    repeat,
    selection_step,
    split_pieces,
    time_ordered,
)

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

# A partition holds about this many samples (about 100 MB with every
# column), and at most this many pieces, so that thousands of small logs
# still make several tasks.
PARTITION_SAMPLES = 1 << 21
PARTITION_PIECES = 1024
FRAME_COLUMNS = ("path",) + tuple(name for name, _ in SAMPLE_COLUMNS)


class Part:
    """What one task reads: the paths of its files, each file's stamp as it
    was indexed and its code in the `path` column's categories, and its
    pieces."""

    __slots__ = ("paths", "stamps", "codes", "pieces")

    def __init__(self, paths: tuple, stamps: tuple, codes: np.ndarray, pieces: np.ndarray) -> None:
        self.paths = paths
        self.stamps = stamps
        self.codes = codes
        self.pieces = pieces

    def __getstate__(self) -> tuple:
        return self.paths, self.stamps, self.codes, self.pieces

    def __setstate__(self, state: tuple) -> None:
        self.paths, self.stamps, self.codes, self.pieces = state


class PartitionReader:
    """Makes the pandas DataFrame of one Part. Dask's optimizer narrows its
    `columns` to those a computation uses (column projection), so that a
    question about one column reads and computes that column alone."""

    def __init__(self, categories: Sequence, columns: Sequence[str] | None = None) -> None:
        self.categories = categories
        self._columns = None if columns is None else list(columns)

    @property
    def columns(self) -> list[str] | None:
        """The columns it makes; None for all of them."""
        return self._columns

    def project_columns(self, columns: Sequence[str]) -> PartitionReader:
        """Returns a reader of the columns `columns` alone."""
        return PartitionReader(self.categories, columns)

    def __call__(self, part: Part, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        """Returns the DataFrame of `part`: its rows in order, indexed by
        their time stamps."""
        pd = require("pandas")
        if columns is None:
            columns = FRAME_COLUMNS if self._columns is None else self._columns
        names = list(columns)
        wanted = [name for name in names if name != "path"]
        data = read_columns(part.paths, part.stamps, part.pieces, dict.fromkeys(["time", *wanted]))
        times = data["time"]
        if "time" in wanted:  # the column gets its own copy: the index must not change with it
            data["time"] = times.copy()
        if "path" in names:
            counts = part.pieces["count"]
            codes = repeat(part.codes[part.pieces["file"]], counts, int(counts.sum()))
            data["path"] = pd.Categorical.from_codes(codes, dtype=pd.CategoricalDtype(self.categories))
        index = pd.Index(times, dtype=np.float64, copy=False)
        return pd.DataFrame({name: data[name] for name in names}, index=index, columns=names, copy=False)


def empty_frame(pd, categories: Sequence) -> pandas.DataFrame:  # noqa: ANN001 - the pandas module
    """Returns the DataFrame of no rows with the columns and types of a partition."""
    columns = {"path": pd.Categorical.from_codes([], dtype=pd.CategoricalDtype(categories))}
    columns.update((name, np.empty(0, dtype=dtype)) for name, dtype in SAMPLE_COLUMNS)
    return pd.DataFrame(columns, index=pd.Index([], dtype=np.float64), columns=FRAME_COLUMNS)


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
    table_paths: list, table: BlockTable, step: int, channels: Iterable[int] | None
) -> tuple[list[Part], np.ndarray, np.ndarray]:
    """Returns the Parts of the blocks of `table`, its pieces and the bounds of
    the Parts among them."""
    pieces, cut = split_pieces(block_pieces(table, step, channels), PARTITION_SAMPLES)
    bounds = partition_bounds(pieces, cut, PARTITION_SAMPLES, PARTITION_PIECES)
    _, codes = _path_categories(table_paths)
    parts = []
    for low, high in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
        own = pieces[low:high].copy()
        files, own["file"] = np.unique(own["file"], return_inverse=True)
        chosen = files.tolist()
        stamps = tuple(table.stamps[f] for f in chosen)
        parts.append(Part(tuple(table_paths[f] for f in chosen), stamps, codes[files], own))
    return parts, pieces, bounds


def dask_dataframe(
    paths: PathArg | Iterable[PathArg], step: int = 1, channels: int | Iterable[int] | None = None
) -> dask.dataframe.DataFrame:
    """Returns a lazy Dask DataFrame of the samples of the logger files
    `paths` (one path, a list of paths, or a glob pattern, as
    quarvel.index() takes them): every `step`-th sample of each block from
    its first, as ``-n step`` selects them, of the blocks of `channels`
    (one channel or several; all when None).

    Its columns are ``path`` (categorical) and those of
    LogFile.to_dataframe(), with their types; its rows, once computed, are
    those of concatenating each file's ``to_dataframe(step)`` in path order.
    Its index is each row's time stamp (float64, unnamed). When the block
    headers show that the rows are in time order, the divisions are known
    and ``.loc`` on time reads only the partitions it needs; otherwise they
    are unknown.

    Reads the block headers now and the samples when computed. Raises
    ValueError for a step of 0 and TypeError for a step that is not an
    integer, the errors of quarvel.index() for a file that cannot be read,
    and ImportError when dask or pandas is missing. A computation raises
    FileChangedError for a file that is no longer the one indexed: another
    file under its name, shorter, modified without growing, or another
    block header where one was indexed."""
    dd = require("dask.dataframe")
    pd = require("pandas")
    tokenize = require("dask.base").tokenize
    step = selection_step(step)
    if isinstance(channels, (int, np.integer)):
        channels = [channels]
    elif channels is not None:
        channels = [int(c) for c in channels]
    files = [os.fspath(path) for path in expand_paths(paths)]
    table = scan_files(files)
    categories, _ = _path_categories(files)
    parts, pieces, bounds = plan(files, table, step, channels)
    meta = empty_frame(pd, categories)
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    token = tokenize(files, table.stamps, pieces, bounds)
    return dd.from_map(
        PartitionReader(categories),
        parts,
        meta=meta,
        divisions=divisions(pieces, bounds),
        label="quarvel",
        token=token,
        enforce_metadata=False,
    )
