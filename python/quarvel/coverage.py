"""`python3 -m quarvel plot --coverage`: the picture of what many logs
recorded (see _coverage), from their block headers alone, shown or saved,
and the files that could not be read said on standard error."""

from __future__ import annotations

import sys
from typing import Any, Sequence, TextIO

from ._catalog import Catalog
from ._coverage import Coverage, coverage_of, picture
from ._figure import picture_target, save
from ._loggers import LoggerRule, operand_loggers
from ._optional import require
from ._output import Output
from ._progress import each
from ._routes import operand_files, scan_operands
from ._words import failure


def scan(operands: Sequence[str], logger: LoggerRule = None) -> Coverage:
    """Returns the Coverage of the files that `operands` name (paths, or
    glob patterns expanded as quarvel.index expands them; a file named
    twice taken once), a series per channel of each logger by the rule
    `logger` (None: one logger; see quarvel.check). Reads their block
    headers only."""
    return _scan(operand_files(operands), logger)


def _scan(
    files: list[tuple[str, Exception | None]], logger: LoggerRule = None, catalog: Catalog | None = None
) -> Coverage:
    """The Coverage of `files`, as operand_files() gives them: a file that
    the logger expression does not match is among those that could not be
    read. With a `catalog`, which chose the files, the headers are its own."""
    files, loggers = operand_loggers(files, logger)
    (scanned,) = scan_operands(each(files, "file", "reading headers"), catalog=catalog)
    table = scanned.table
    failed = [(entry.path, entry.error) for entry in scanned.files if entry.error is not None]
    return coverage_of(table, failed, loggers=None if loggers is None else [loggers[path] for path in table.paths])


def draw(found: Coverage, output: str | None = None) -> Any:
    """Draws the coverage `found`; saves it to `output` when given (never
    over one of its files: see _output), else shows it. Returns the
    matplotlib figure."""
    return _draw(found, _target(output, [(path, None) for path in found.table.paths]))


def _target(output: str | None, files: list[tuple[str, Exception | None]]) -> tuple[str, str] | None:
    """The file and format of the picture `output` (None: none), refused
    when it is one of `files`: raises PlotError for a format that
    matplotlib cannot write, OutputError for an output that cannot be."""
    if output is None:
        return None
    picture_file, extension = picture_target(output)
    Output(picture_file).prepare(path for path, error in files if error is None)
    return picture_file, extension


def _draw(found: Coverage, target: tuple[str, str] | None) -> Any:
    matplotlib = require("matplotlib")
    if target is not None:
        matplotlib.use("Agg")  # no window needed to write a file
    figure = picture(found)
    if target is not None:
        save(figure, *target)
    else:
        require("matplotlib.pyplot").show()
    return figure


def plot_coverage(paths: Sequence[str], output: str | None = None, logger: LoggerRule = None) -> Any:
    """Draws what the logger files `paths` (paths, or glob patterns
    expanded as quarvel.index expands them) recorded, from their block
    headers alone: a row per channel (of each logger, by the rule `logger`:
    see quarvel.check), time across, a bar per block, gaps open, blocks cut
    short marked, and the files that could not be read or are probably not
    logger files listed under it. Saves the figure to
    `output` when given, else shows it; returns the matplotlib figure.
    Raises PlotError when matplotlib cannot write the format `output`
    names, OutputError (before reading any file) when `output` is one of
    the files or cannot be written."""
    files = operand_files(paths)
    target = _target(output, files)
    return _draw(_scan(files, logger), target)


def run(
    operands: Sequence[str],
    output: str | None,
    err: TextIO = sys.stderr,
    logger: LoggerRule = None,
    catalog: Catalog | None = None,
) -> int:
    """Runs `plot --coverage`: draws the picture, a row per channel of each
    logger by the rule `logger`, and says on `err` which files could not be
    read. With a `catalog`, the files are its own (those that `operands`
    choose, or all), their headers taken from it. Returns 1 when any could
    not be read, else 0."""
    files = operand_files(operands, catalog)
    target = _target(output, files)  # before reading thousands of headers
    found = _scan(files, logger, catalog)
    encoding = getattr(err, "encoding", None)
    for path, error in found.failed:
        print(f"quarvel plot: {failure(path, error, encoding)}", file=err)
    _draw(found, target)
    return 1 if found.failed else 0
