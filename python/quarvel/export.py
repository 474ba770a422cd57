"""`python3 -m quarvel export OUT FILE...`: every sample of the logs into one
NetCDF-4 file (OUT ending in .nc) or Zarr store (OUT ending in .zarr).

The output has three dimensions:

    sample  time (float64), tick (int64), calData (float32), rawCounts
            (int16), and sample_block (int32): the row along `block` of the
            sample's block
    block   a row per block header, in file order: block_file (the row
            along `file`), block_in_file, channel, period_ms, first_time,
            declared_samples, present_samples, gain, offset, data_offset,
            and first_sample (the row along `sample` of its first sample)
    file    path and file_size of each log, in operand order, and with a
            rule of loggers each one's logger

The numbers are stored as the reader returns them, bit for bit, without
fill values or scale factors that a reader would decode. The ticks carry
CF time units, so that plain xarray reads them as dates (datetime64[ns],
exactly) when every one of them lies within the years that datetime64[ns]
spans, 1677 to 2262, and as the int64 ticks with decode_times=False; an
export with a tick outside them has no units, which xarray would refuse.
The samples are written a chunk at a time, compressed; memory does not
grow with the input.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, Sequence, TextIO

import numpy as np

from ._catalog import Catalog
from ._columns import EXPORT_BLOCKS, EXPORT_FILES, EXPORT_LOGGER, EXPORT_SAMPLES, TICK_UNITS
from ._index import BlockTable, cut_messages, expand_runs
from ._loggers import LoggerRule, operand_loggers
from ._output import Output, OutputError
from ._pieces import block_pieces, partition_bounds, read_columns, repeat, split_pieces
from ._progress import bar, each
from ._routes import operand_files, scan_operands
from ._signatures import is_zarr_store, read_log_headers
from ._ticks import start_ticks
from ._times import signed_ms
from ._version import version
from ._words import display_name, failure

# Samples per chunk of the stored arrays, and per write.
CHUNK = 1 << 20
# The ticks that datetime64[ns] holds, as xarray decodes them: whole ms
# whose ns lie within +-(2^63 - 1), the years 1677 to 2262 (-2^63 is NaT).
DATES_IN_NS = (-((2**63 - 1) // 1_000_000), (2**63 - 1) // 1_000_000)
_ZSTD_LEVEL = 3
_ZLIB_LEVEL = 1


class ReadError(Exception):
    """A log could not be read while its samples were being exported."""

    def __init__(self, path: str, error: Exception) -> None:
        super().__init__(path, error)
        self.path = path
        self.error = error


# ---- the stores


class NetcdfStore:
    """A NetCDF-4 file, written with netCDF4, else h5netcdf."""

    # Set when a file could not be closed (a write that failed, under a
    # file size limit): HDF5 1.10 then crashes closing it again on exit.
    unclosed = False

    def __init__(self, path: str) -> None:
        self._cache: tuple | None = None
        try:
            import netCDF4
            from netCDF4 import Dataset

            self._no_fill: Any = False
            # Every chunk is written whole, once: a chunk cache would only
            # hold memory, tens of MB of it. The setting is the process's,
            # and is put back on closing.
            self._cache = netCDF4.get_chunk_cache()
            netCDF4.set_chunk_cache(0, 0, 1.0)
        except ImportError:
            try:
                from h5netcdf.legacyapi import Dataset
            except ImportError as error:
                raise ImportError(
                    "writing NetCDF needs the package 'netCDF4' or 'h5netcdf', and neither is installed "
                    "(pip install netCDF4, or on Debian: apt install python3-netcdf4)"
                ) from error
            self._no_fill = None
        try:
            self.data = Dataset(path, "w")
        except BaseException:
            self._restore_cache()
            raise

    def dimension(self, name: str, size: int) -> None:
        self.data.createDimension(name, size if size > 0 else None)

    def variable(self, name: str, dtype: Any, dimension: str, size: int, attributes: dict[str, str]) -> Any:
        if dtype is str:
            variable = self.data.createVariable(name, str, (dimension,))
        else:
            variable = self.data.createVariable(
                name,
                np.dtype(dtype),
                (dimension,),
                zlib=True,
                complevel=_ZLIB_LEVEL,
                shuffle=True,
                chunksizes=(max(1, min(CHUNK, size)),),
                fill_value=self._no_fill,
            )
        for key, value in attributes.items():
            variable.setncattr(key, value)
        return variable

    def attribute(self, key: str, value: str) -> None:
        self.data.setncattr(key, value)

    def close(self) -> None:
        try:
            self.data.close()
        except BaseException:
            NetcdfStore.unclosed = True
            raise
        finally:
            self._restore_cache()

    def _restore_cache(self) -> None:
        if self._cache is not None:
            import netCDF4

            netCDF4.set_chunk_cache(*self._cache)
            self._cache = None


class ZarrStore:
    """A Zarr (version 2) store in a folder, as xarray lays it out."""

    def __init__(self, path: str) -> None:
        from ._optional import require

        self.zarr = require("zarr")
        self.codecs = require("numcodecs")
        self.path = path
        self.group = self.zarr.open_group(path, mode="w")
        self.compressor = self.codecs.Blosc(cname="zstd", clevel=_ZSTD_LEVEL, shuffle=self.codecs.Blosc.SHUFFLE)

    def dimension(self, name: str, size: int) -> None:
        pass  # a Zarr array names its dimensions itself

    def variable(self, name: str, dtype: Any, dimension: str, size: int, attributes: dict[str, str]) -> Any:
        chunks = (max(1, min(CHUNK, size)),)
        if dtype is str:
            array = self.group.create_dataset(
                name, shape=(size,), chunks=chunks, dtype=object, object_codec=self.codecs.VLenUTF8()
            )
        else:
            # No fill value: xarray would read one as a missing value.
            array = self.group.create_dataset(
                name, shape=(size,), chunks=chunks, dtype=dtype, compressor=self.compressor, fill_value=None
            )
        array.attrs.update({"_ARRAY_DIMENSIONS": [dimension], **attributes})
        return array

    def attribute(self, key: str, value: str) -> None:
        self.group.attrs[key] = value

    def close(self) -> None:
        self.zarr.consolidate_metadata(self.path)


STORES: dict[str, Callable[[str], Any]] = {".nc": NetcdfStore, ".zarr": ZarrStore}


def store_kind(path: str) -> str | None:
    """Returns the extension that says which store `path` is, or None."""
    for extension in STORES:
        if path.lower().endswith(extension):
            return extension
    return None


# ---- writing


class SampleWriter:
    """Writes the per-sample columns a chunk at a time, whatever the size
    of the pieces handed to it: every write but the last fills a whole
    chunk, so nothing is compressed twice."""

    def __init__(self, variables: dict[str, Any]) -> None:
        self.variables = variables
        self.buffers = {name: np.empty(CHUNK, dtype=variable.dtype) for name, variable in variables.items()}
        self.filled = 0
        self.written = 0

    def append(self, columns: dict[str, np.ndarray]) -> None:
        length = len(next(iter(columns.values())))
        done = 0
        while done < length:
            take = min(CHUNK - self.filled, length - done)
            for name, buffer in self.buffers.items():
                buffer[self.filled : self.filled + take] = columns[name][done : done + take]
            self.filled += take
            done += take
            if self.filled == CHUNK:
                self.flush()

    def flush(self) -> None:
        if self.filled == 0:
            return
        for name, variable in self.variables.items():
            variable[self.written : self.written + self.filled] = self.buffers[name][: self.filled]
        self.written += self.filled
        self.filled = 0


def write_store(
    store: Any, paths: list[str], sizes: np.ndarray, table: BlockTable, version: str, loggers: list[str] | None = None
) -> None:
    """Writes every sample of `table`'s blocks, and the block and file
    tables (with `loggers`, a name per path, each file's logger), into
    `store`. Raises ReadError for a log that cannot be read."""
    present = table.present_samples.astype(np.int64)
    total = int(present.sum())
    first_sample = np.cumsum(present) - present
    for name, size in (("sample", total), ("block", len(table)), ("file", len(paths))):
        store.dimension(name, size)
    store.attribute("title", "quarvel logs: every sample, block header and file")
    store.attribute("source", f"python3 -m quarvel export (quarvel {version})")
    # The block variables that are not the index's own columns.
    blocks = {"block_file": table.file, "block_in_file": table.block, "present_samples": present}
    blocks["first_sample"] = first_sample
    for name, column in EXPORT_BLOCKS.items():
        variable = store.variable(name, column.dtype, "block", len(table), {"long_name": column.long_name})
        if len(table):
            variable[:] = np.asarray(blocks[name] if name in blocks else getattr(table, name), dtype=column.dtype)
    files = {"path": np.array([_storable(path) for path in paths], dtype=object), "file_size": sizes}
    per_file = dict(EXPORT_FILES)
    if loggers is not None:
        per_file["logger"] = EXPORT_LOGGER
        files["logger"] = np.array([_storable(name) for name in loggers], dtype=object)
    for name, column in per_file.items():
        variable = store.variable(name, column.dtype, "file", len(paths), {"long_name": column.long_name})
        if paths:
            variable[:] = files[name]
    variables = {}
    for name, column in EXPORT_SAMPLES.items():
        attributes = {"long_name": column.long_name}
        if name in ("calData", "rawCounts"):
            attributes["coordinates"] = "time tick"
        if name == "tick" and ticks_are_dates(table):
            attributes.update(units=TICK_UNITS, calendar="standard")
        variables[name] = store.variable(name, column.dtype, "sample", total, attributes)
    writer = SampleWriter(variables)
    first_row = np.cumsum(_counts(table)) - _counts(table)  # each file's first block
    pieces, cut = split_pieces(block_pieces(table), CHUNK)
    bounds = partition_bounds(pieces, cut, CHUNK, 4096)
    with bar(total, "sample", "exporting") as shown:
        for low, high in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
            part = pieces[low:high]
            try:
                columns = read_columns(paths, table.stamps, part, ("time", "tick", "calData", "rawCounts"))
            except OSError as error:
                raise ReadError(paths[int(part["file"][_failed_piece(part, error, paths)])], error) from error
            rows = first_row[part["file"]] + part["block"]
            columns["sample_block"] = repeat(rows.astype(np.int32), part["count"], int(part["count"].sum()))
            writer.append(columns)
            shown.update(int(part["count"].sum()))
    writer.flush()


def ticks_are_dates(table: BlockTable) -> bool:
    """Whether every sample's tick of `table` is a date of datetime64[ns]:
    the first and last of each block with samples lie in DATES_IN_NS."""
    rows = table.present_samples > 0
    first = start_ticks(table.first_time[rows])
    last = first + (table.present_samples[rows] - 1) * signed_ms(table.period_ms[rows]).astype(np.int64)
    low, high = DATES_IN_NS
    return bool(((np.minimum(first, last) >= low) & (np.maximum(first, last) <= high)).all())


def _counts(table: BlockTable) -> np.ndarray:
    """The blocks of each file of `table`."""
    return np.bincount(table.file, minlength=len(table.paths)).astype(np.int64)


def _failed_piece(part: np.ndarray, error: OSError, paths: list[str]) -> int:
    """The piece of `part` whose file `error` names (the first if none)."""
    for i, file in enumerate(part["file"].tolist()):
        if error.filename == paths[file]:
            return i
    return 0


def _storable(path: str) -> str:
    """`path` as text that UTF-8 can hold: a name with bytes that were not
    valid in the file system's encoding is kept in info's escaped form."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return display_name(path, "ascii")
    return path


# ---- the command


def scan(
    files: Sequence[tuple[str, Exception | None]], err: TextIO, catalog: Catalog | None = None
) -> tuple[list[str], np.ndarray, BlockTable, int]:
    """Reads the block headers of `files` (as operand_files gives them, or
    operand_loggers with a file refused); reports on `err` each file that
    cannot be read, is not a log or is refused, each pattern that matches
    nothing, and each block cut short; with a `catalog`, which chose the
    files, takes the headers from it. Returns the readable paths, their
    sizes, their block table and the exit status so far."""
    (found,) = scan_operands(each(files, "file", "reading headers"), read_log_headers, catalog=catalog)
    encoding = getattr(err, "encoding", None)
    failed = [entry for entry in found.files if entry.error is not None]
    for entry in failed:
        print(f"quarvel export: {failure(entry.path, entry.error, encoding)}", file=err)
    for message in cut_messages(found.table):
        print(message, file=err)
    table = expand_runs(found.table)  # the store has a row per block
    return table.paths, table.sizes, table, 1 if failed else 0


def run(
    out: str, paths: Sequence[str], err: TextIO = sys.stderr, logger: LoggerRule = None, catalog: Catalog | None = None
) -> int:
    """Exports the logs `paths` (glob patterns expanded as quarvel.index
    expands them) into `out` (.nc or .zarr), with the `logger` of each by
    that rule ("folder" or a regular expression; None: none); returns the
    exit status: 1 when a log could not be read, an input is not a log, a
    log's path does not match the logger expression, a pattern matched
    nothing, or `out` could not be written. Nothing is written when `out`
    is one of the inputs, or a folder that holds one. The output appears
    whole or not at all: it is written beside `out` and put in its place
    when complete (see _output). With a `catalog`, the logs are its own
    (those that `paths` choose, or all), their headers taken from it."""
    encoding = getattr(err, "encoding", None)
    kind = store_kind(out)
    if kind is None:
        name = display_name(out, encoding)
        print(f"quarvel export: {name}: the name must end in .nc (NetCDF-4) or .zarr (Zarr)", file=err)
        return 1
    files = operand_files(paths, catalog)
    output = Output(out, (is_zarr_store, "a Zarr store") if kind == ".zarr" else None)
    try:
        output.prepare(path for path, error in files if error is None)
    except OutputError as error:
        print(f"quarvel export: {error.line(encoding)}; nothing written", file=err)
        return 1
    files, names = operand_loggers(files, logger)
    readable, sizes, table, status = scan(files, err, catalog)
    if not readable:
        print("quarvel export: no log could be read; nothing written", file=err)
        return 1
    try:
        with output.writing(passes=(ReadError,)) as partial:
            store = STORES[kind](partial)
            try:
                loggers = None if names is None else [names[path] for path in readable]
                write_store(store, readable, sizes, table, version(), loggers)
            finally:
                store.close()
    except ReadError as error:
        print(f"quarvel export: {failure(error.path, error.error, encoding)}; nothing written", file=err)
        return 1
    except OutputError as error:
        print(f"quarvel export: {error.line(encoding)}", file=err)
        return 1
    return status
