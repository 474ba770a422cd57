"""`python3 -m quarvel plot --coverage`: the picture of what many logs
recorded (see _coverage), from their block headers alone, shown or saved,
and the files that could not be read said on standard error."""

from __future__ import annotations

import sys
from typing import Any, Sequence, TextIO

from ._coverage import Coverage, coverage_of, picture
from ._figure import check_output
from ._optional import require
from ._scan import operand_files, scan_headers
from ._words import failure


def scan(operands: Sequence[str]) -> Coverage:
    """Returns the Coverage of the files that `operands` name (paths, or
    glob patterns expanded as quarvel.index expands them). Reads their
    block headers only."""
    (scanned,) = scan_headers(operand_files(operands))
    return coverage_of(scanned.table, [(entry.path, entry.error) for entry in scanned.files if entry.error is not None])


def draw(found: Coverage, output: str | None = None) -> Any:
    """Draws the coverage `found`; saves it to `output` when given, else
    shows it. Returns the matplotlib figure."""
    matplotlib = require("matplotlib")
    if output is not None:
        check_output(output)
        matplotlib.use("Agg")  # no window needed to write a file
    figure = picture(found)
    if output is not None:
        figure.savefig(output)
    else:
        require("matplotlib.pyplot").show()
    return figure


def plot_coverage(paths: Sequence[str], output: str | None = None) -> Any:
    """Draws what the logger files `paths` (paths, or glob patterns
    expanded as quarvel.index expands them) recorded, from their block
    headers alone: a row per channel, time across, a bar per block, gaps
    open, blocks cut short marked, and the files that could not be read or
    are probably not logger files listed under it. Saves the figure to
    `output` when given, else shows it; returns the matplotlib figure.
    Raises PlotError when matplotlib cannot write the format `output`
    names."""
    if output is not None:
        check_output(output)
    return draw(scan(paths), output)


def run(operands: Sequence[str], output: str | None, err: TextIO = sys.stderr) -> int:
    """Runs `plot --coverage`: draws the picture, and says on `err` which
    files could not be read. Returns 1 when any could not be, else 0."""
    if output is not None:
        check_output(output)  # before reading thousands of headers
    found = scan(operands)
    encoding = getattr(err, "encoding", None)
    for path, error in found.failed:
        print(f"quarvel plot: {failure(path, error, encoding)}", file=err)
    draw(found, output)
    return 1 if found.failed else 0
