"""What a route reads: the files that paths name, or those of a catalog.

Every route (quarvel.index, the Dask frame, the Dataset, the wide table,
check, and the commands) takes one or the other. Paths are expanded and
their headers read (_scan); a catalog answers from its generation
(_catalog) without opening a log, each file's FileStamp the identity it
recorded, so that the samples read later are checked against it as they
are against a scan's."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Sequence

import numpy as np

from ._catalog import Catalog
from ._headers import FileStamp, Headers, read_file_headers
from . import _scan
from ._index import BlockTable, PathArg, table_frame
from ._loggers import LoggerRule, check_rule, logger_names
from ._optional import require
from ._scan import Operand, Scanned, expand_paths, scan_files, scan_headers
from ._scan import operand_files as path_operands

if TYPE_CHECKING:
    import pandas

Paths = Any  # a path, a list of paths, a glob pattern, or a quarvel.Catalog


def block_table(paths: Paths) -> BlockTable:
    """Returns the block table of `paths`: of the files that a path, a list
    of paths or a glob pattern names (their headers read), or of every
    file of a Catalog (none read). Raises the errors of quarvel.index()."""
    if isinstance(paths, Catalog):
        return paths.table_at(None)[0]
    return scan_files([os.fspath(path) for path in expand_paths(paths)])


def operand_files(operands: Sequence[str], catalog: Catalog | None = None) -> list[tuple[str, Exception | None]]:
    """Returns the files that command-line operands name, in order, each
    with None, as _scan.operand_files() does; with a `catalog`, the files
    of the catalog that they choose (every one when there is no operand),
    without listing a folder. An operand that names nothing is kept, with
    its error (FileNotFoundError or NoMatchError)."""
    if catalog is None:
        return path_operands(operands)
    if not operands:
        return [(path, None) for path in catalog.paths()]
    files: list[tuple[str, Exception | None]] = []
    for operand in operands:
        try:
            files += [(path, None) for path in catalog.chosen_paths(operand)]
        except (OSError, ValueError) as error:
            files.append((operand, error))
    return files


def scan_operands(
    files: Iterable[tuple[PathArg, Exception | None]],
    read: Callable[[PathArg, Headers], FileStamp] = read_file_headers,
    stretch: int | None = None,
    catalog: Catalog | None = None,
) -> Iterator[Scanned]:
    """Yields the Scanned of `files` (as operand_files() gives them), as
    _scan.scan_headers() does: their headers read with `read`, in stretches
    of about `stretch` blocks; with a `catalog` (of which operand_files()
    chose them), all at once from the catalog, no file opened, a file
    named twice taken once."""
    if catalog is None:
        yield from scan_headers(files, read, stretch)
        return
    files = list(files)
    where = {path: i for i, path in enumerate(catalog.paths())}
    named = list(dict.fromkeys(path for path, error in files if error is None))
    table, _ = catalog.table_at(np.array([where[path] for path in named], dtype=np.int64))
    first_rows = np.searchsorted(table.file, np.arange(len(named) + 1)).tolist()
    blocks = np.bincount(table.file, weights=table.repeats, minlength=len(named)).astype(np.int64).tolist()
    entries: list[Operand] = []
    position = {path: i for i, path in enumerate(named)}
    done = 0  # the files taken so far: a file that gives nothing stands before the next one's rows
    for path, error in files:
        if error is not None:
            entries.append(Operand(path, error, first_rows[done], 0))
            continue
        i = position.pop(path, None)
        if i is not None:  # the first time it is named
            entries.append(Operand(path, None, first_rows[i], blocks[i]))
            done += 1
    yield Scanned(entries, table)


def index(paths: Paths, logger: LoggerRule = None) -> pandas.DataFrame:
    """Returns quarvel.index() of `paths`: a path, a list of paths, a glob
    pattern, or a quarvel.Catalog, whose frame comes from the catalog
    without a log opened (its paths resolved, in sorted order)."""
    if not isinstance(paths, Catalog):
        return _scan.index(paths, logger)
    pd = require("pandas")
    logger = check_rule(logger)
    table = block_table(paths)
    return table_frame(pd, table, share=True, loggers=logger_names(table.paths, logger))
