"""The xarray backend: ``xarray.open_dataset(path, engine="quarvel")``.

Opening a log reads its block headers; the arrays are lazy and read only
the samples that an index or a Dask chunk asks for.
"""

from __future__ import annotations

import os
import re
from typing import Any, Callable, Iterable

import numpy as np

from ._columns import LOGGER, PATH, SAMPLE_COLUMNS
from ._headers import FileStamp, open_regular
from ._index import warn_truncated
from ._loggers import LoggerRule, logger_names
from ._optional import require
from ._pieces import block_pieces, read_columns, select_rows, selected_channels, selection_stride
from ._scan import scan_files
from ._signatures import refusal

xr = require("xarray")
indexing = require("xarray.core.indexing")
BackendArray = require("xarray.backends").BackendArray
BackendEntrypoint = require("xarray.backends").BackendEntrypoint

# Dask chunks of this many samples (open_mfdataset, or chunks={}).
PREFERRED_CHUNK = 1 << 21
DATA_VARIABLES = ("calData", "rawCounts")
# The variables it can make: the per-sample columns, each sample's path, and
# with a rule of loggers each sample's logger.
VARIABLES = {**SAMPLE_COLUMNS, "path": PATH, "logger": LOGGER}
# Names the logger gives its files: a number as the extension (run7.002).
_LOGGER_NAME = re.compile(r"\.[0-9]+$")


def make_dataset(
    data_of: Callable[[str], Any],
    names: Iterable[str],
    drop_variables: str | Iterable[str] | None,
    encoding: dict | None = None,
) -> Any:
    """Returns the Dataset of the per-sample columns `names` (of
    SAMPLE_COLUMNS, and "path") but `drop_variables`, along the dimension
    ``sample``, each column's array made by `data_of(name)`: calData and
    rawCounts as data variables, the others as coordinates, with their
    attributes, and `encoding` besides each one's type."""
    drop = {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ())
    variables = {}
    for name in names:
        if name not in drop:
            column = VARIABLES[name]
            own = {**(encoding or {}), "dtype": column.dtype}
            variables[name] = xr.Variable(("sample",), data_of(name), {"long_name": column.long_name}, own)
    data_vars = {name: variables.pop(name) for name in DATA_VARIABLES if name in variables}
    dataset = xr.Dataset(data_vars, coords=variables)
    # No file stays open; open_mfdataset calls every dataset's closer.
    dataset.set_close(_nothing_to_close)
    return dataset


class LogArray(BackendArray):
    """One per-sample column of a log's selected samples, read when indexed
    from the file as it was indexed (`stamp`); or its `logger`, the same for
    every sample, which checks the file all the same."""

    __slots__ = ("path", "stamp", "pieces", "name", "shape", "dtype", "logger")

    def __init__(self, path: str, stamp: FileStamp, pieces: np.ndarray, name: str, logger: str | None = None) -> None:
        self.path = path
        self.stamp = stamp
        self.pieces = pieces
        self.name = name
        self.shape = (int(pieces["count"].sum()),)
        self.dtype = VARIABLES[name].dtype
        self.logger = logger

    def __getitem__(self, key: Any) -> np.ndarray:
        # Decoded here rather than by indexing.explicit_indexing_adapter,
        # whose rewriting of a slice with a negative step can drop its
        # first item (xarray before 2023.03).
        (where,) = key.tuple
        if isinstance(where, slice):
            return self._read(range(*where.indices(self.shape[0])))
        if isinstance(where, (int, np.integer)):
            return self._read(range(self.shape[0])[int(where) : int(where) + 1 or None]).reshape(())
        # integers, one array or several broadcast into one: read the rows they span
        positions = np.asarray(where, dtype=np.int64)
        positions = np.where(positions < 0, positions + self.shape[0], positions)
        if positions.size == 0:
            return np.empty(positions.shape, dtype=self.dtype)
        if positions.min() < 0 or positions.max() >= self.shape[0]:
            raise IndexError(f"index out of bounds for {self.shape[0]} samples")
        low = int(positions.min())
        return self._read(range(low, int(positions.max()) + 1))[positions - low]

    def _read(self, rows: range) -> np.ndarray:
        """Returns the samples `rows` (a range of either direction)."""
        if len(rows) == 0:
            return np.empty(0, dtype=self.dtype)
        if len(rows) == 1:  # whatever its stride, which may not fit 64 bits
            rows = range(rows.start, rows.start + 1)
        ascending = rows if rows.step > 0 else rows[::-1]
        pieces = select_rows(self.pieces, ascending.start, ascending.stop, ascending.step)
        if self.name == "logger":
            read_columns([self.path], [self.stamp], pieces, [])
            return np.full(len(rows), self.logger, dtype=object)
        data = read_columns([self.path], [self.stamp], pieces, [self.name])[self.name]
        return data if rows.step > 0 else data[::-1]


class QuarvelBackendEntrypoint(BackendEntrypoint):
    """Opens a quarvel logger file as an xarray Dataset with the dimension
    ``sample``: the data variables ``calData`` and ``rawCounts``, and the
    coordinates ``block``, ``time``, ``tick``, ``adcChan``,
    ``samplePeriod``, ``totalSamples``, ``calGain`` and ``calOffset``,
    every one a value per sample, as LogFile.to_dataframe() has them.
    Options: ``step`` (every step-th sample of each block, as ``-n``),
    ``channels`` (only the blocks of these channels) and ``logger`` (a
    rule, as quarvel.dask_dataframe() takes it: the coordinate ``logger``,
    the log's logger, for every sample)."""

    description = "quarvel ADC logger files, read lazily from their block headers"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "step", "channels", "logger")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: str | os.PathLike,
        *,
        drop_variables: str | Iterable[str] | None = None,
        step: int = 1,
        channels: int | Iterable[int] | None = None,
        logger: LoggerRule = None,
    ) -> Any:
        """Returns the Dataset of the log, having read its block headers
        only. Warns with TruncatedBlockWarning for a block the file cuts
        short; raises the errors of quarvel.open(), the ValueError or
        TypeError of quarvel.dask_dataframe() for a step, channels or
        logger rule it refuses, and NoLoggerError for a path that the
        logger expression does not match. Reading its arrays raises
        FileChangedError for a file that is no longer the one indexed."""
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            raise TypeError("the quarvel engine opens a path to a logger file")
        stride = selection_stride(step)
        channels = selected_channels(channels)
        path = os.fspath(filename_or_obj)
        names = logger_names([path], logger)
        table = scan_files([path])
        warn_truncated(table, stacklevel=3)
        pieces = block_pieces(table, stride, channels)
        own = None if names is None else names[0]
        return make_dataset(
            lambda name: indexing.LazilyIndexedArray(LogArray(path, table.stamps[0], pieces, name, own)),
            [*SAMPLE_COLUMNS, *(["logger"] if names is not None else [])],
            drop_variables,
            {"preferred_chunks": {"sample": PREFERRED_CHUNK}},
        )

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """True for a regular file named as the logger names them (a number
        as its extension, such as run7.002) that is not an HDF5 or NetCDF
        file; False for anything else, Zarr stores (folders) included."""
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        if not _LOGGER_NAME.search(os.fsdecode(path)):
            return False
        try:
            fd, _ = open_regular(path)  # a pipe or a folder is refused without waiting
        except OSError:
            return False
        try:
            return refusal(path, fd) is None
        except OSError:
            return False
        finally:
            os.close(fd)


def _nothing_to_close() -> None:
    pass
