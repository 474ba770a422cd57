"""Many logs as one lazy xarray Dataset, built from the block index in one
pass: the variables of the xarray engine, as Dask arrays whose chunks are
the Dask frame's partitions. A chunk of a variable is one task, which
reads that variable of its partition alone."""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable

import numpy as np

from ._dask import CatalogPart, Part, select
from ._routes import Paths
from ._loggers import LoggerRule
from ._optional import require
from ._pieces import read_columns
from ._xarray import VARIABLES, make_dataset

if TYPE_CHECKING:
    import xarray


def part_column(part: Part | CatalogPart, name: str) -> np.ndarray:
    """Returns the column `name` (of VARIABLES) of the rows of `part`, having
    checked that each of its files is still the one indexed (FileChangedError
    if not), whatever the column."""
    if isinstance(part, CatalogPart):
        part = part.load()
    per_file = {"path": part.paths, "logger": part.loggers}.get(name)
    columns = read_columns(part.paths, part.stamps, part.pieces, [] if per_file is not None else [name])
    if per_file is None:
        return columns[name]
    values = np.empty(len(per_file), dtype=object)
    values[:] = per_file
    return part.per_sample(values)


def open_dataset(
    paths: Paths,
    step: int = 1,
    channels: int | Iterable[int] | None = None,
    time: tuple[float | None, float | None] | None = None,
    partition_samples: int | None = None,
    drop_variables: str | Iterable[str] | None = None,
    logger: LoggerRule = None,
    partition_bytes: int | None = None,
) -> xarray.Dataset:
    """Returns one lazy xarray Dataset of the samples of the logger files
    `paths` (one path, a list of paths, or a glob pattern, as
    quarvel.index() takes them), selected as quarvel.dask_dataframe()
    selects them (`step`, `channels`, `time`), in the same order.

    It has the variables of the xarray engine along the dimension
    ``sample`` (the data variables calData and rawCounts, the coordinates
    block, time, tick, adcChan, samplePeriod, totalSamples, calGain,
    calOffset), the coordinate ``path``, each sample's file (str, or bytes
    as given), and with a `logger` rule (as quarvel.dask_dataframe() takes
    it) the coordinate ``logger``, each sample's logger (str), all but
    `drop_variables`. Each is a Dask array whose chunks are
    the frame's partitions, of `partition_samples` or `partition_bytes`
    as quarvel.dask_dataframe() makes them; a chunk is read when computed,
    that variable alone. `paths` may be a quarvel.Catalog, read as
    quarvel.dask_dataframe() reads one: no log opened until a chunk is
    computed, no path in the graph.

    Reads the block headers now, and warns with TruncatedBlockWarning once
    for each file that cuts a block short. Raises the errors of
    quarvel.dask_dataframe() when called, and ImportError when xarray or
    dask is missing. A computation raises FileChangedError for a file that
    is no longer the one indexed."""
    require("xarray")
    da = require("dask.array")
    chosen = select(paths, step, channels, time, partition_samples, stacklevel=2, logger=logger,
                    partition_bytes=partition_bytes, window_only=True)  # fmt: skip
    counts = np.add.reduceat(chosen.pieces["count"], chosen.bounds[:-1]) if chosen.parts else []
    chunks = (tuple(int(count) for count in counts) or (0,),)
    token = chosen.token()

    def array_of(name: str):  # noqa: ANN202 - a dask array
        dtype = VARIABLES[name].dtype
        if not chosen.parts:
            return da.from_array(np.empty(0, dtype=dtype), chunks=chunks)
        key = f"quarvel-{name}-{token}"
        graph = {(key, i): (part_column, part, name) for i, part in enumerate(chosen.parts)}
        return da.Array(graph, key, chunks, dtype=dtype)

    names = [name for name in VARIABLES if name != "logger" or chosen.loggers is not None]
    return make_dataset(array_of, names, drop_variables)
