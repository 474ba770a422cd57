"""`python3 -m quarvel table FILE... --every E -o OUT`: the wide table of
many logs as CSV (see _table for the methods, _tabletext for the text).

A partition of the grid at a time is computed and written, so memory does
not grow with the logs or the table; OUT is written beside its place and
put there when whole (see _output). A file that cannot be read is
reported as check reports it, and the others are used.
"""

from __future__ import annotations

import sys
import warnings
from typing import Any, BinaryIO, TextIO

import numpy as np

from ._headers import FILE_ERRORS, NotALogError, TruncatedBlockWarning
from ._index import probably_not_logs
from ._loggers import operand_loggers
from ._output import STANDARD_OUTPUT, Output, OutputError
from ._progress import bar, each
from ._routes import operand_files, scan_operands
from ._signatures import read_log_headers
from ._table import OverlapError, compute, make_plan, select
from ._tabletext import header_bytes, iso_range_error, row_stretches
from ._words import display_name, failure

# Cells computed and written at once: memory stays far below 200 MB.
PARTITION_CELLS = 1 << 20
# Bytes handed to a stream at once: less than its buffer, so that a write
# that the system takes in part raises its error (see __main__._SmallWrites).
PIECE = 4096


class ReadError(Exception):
    """A log could not be read while the table was being written."""

    def __init__(self, error: Exception) -> None:
        super().__init__(error)
        self.error = error


def run(args: Any, err: TextIO = sys.stderr, catalog: Any = None) -> int:
    """Writes the table that `args` asks for (files, every, output, method,
    overlap, values, channels, start, end, logger, time); returns the exit
    status: 0, 1 when a file could not be read or OUT not written, 3 for
    a table that cannot be written as asked. With a `catalog`, the files
    are its own (those that args.files choose, or all), their headers
    taken from it."""
    encoding = getattr(err, "encoding", None)
    # A path that the expression misses is refused.
    files, names = operand_loggers(operand_files(args.files, catalog), args.logger)
    to_stdout = args.output == STANDARD_OUTPUT
    output = Output(args.output)
    if not to_stdout:
        try:
            output.prepare(path for path, error in files if error is None)
        except OutputError as error:
            print(f"quarvel table: {error.line(encoding)}; nothing written", file=err)
            return 1
    (found,) = scan_operands(each(files, "file", "reading headers"), read_log_headers, catalog=catalog)
    table = found.table
    status = 0
    for entry in found.files:
        if entry.error is not None:
            print(f"quarvel table: {failure(entry.path, entry.error, encoding)}", file=err)
            status = status if isinstance(entry.error, NotALogError) else 1
    use = ~probably_not_logs(table)
    first_rows = np.searchsorted(table.file, np.arange(len(table.paths)))
    for f in np.flatnonzero(~use).tolist():
        channel = int(table.channel[first_rows[f]])
        print(f"quarvel table: {display_name(table.paths[f], encoding)}: probably not a logger file: cut short, and"
              f" its first block's channel, {channel}, is no logger's; left out", file=err)  # fmt: skip
    loggers = None if names is None else [names[path] for path in table.paths]
    if not use.any():
        print("quarvel table: no log could be read; nothing written", file=err)
        return 1
    rows, series = select(table, loggers, args.channels, use)
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        try:
            plan = make_plan(table, rows, series, args.every, args.start, args.end, args.method, args.overlap,
                             args.values, cells=PARTITION_CELLS)  # fmt: skip
        except OverlapError as error:
            plan = None
            overlapped = error
    for warning in said:
        text = " ".join(str(warning.message).split())
        print(text if issubclass(warning.category, TruncatedBlockWarning) else f"quarvel table: warning: {text}",
              file=err)  # fmt: skip
    if plan is None:
        print(f"quarvel table: {overlapped.where}; give --overlap last or first to take one of them; nothing written",
              file=err)  # fmt: skip
        return 1
    if args.time == "iso" and plan.rows:
        why = iso_range_error(plan.first, plan.first + (plan.rows - 1) * plan.every)
        if why:
            print(f"quarvel table: --time iso: {why}; give --time seconds", file=err)
            return 3
    try:
        if to_stdout:
            _write_table(plan, sys.stdout.buffer, args.time == "iso", sys.stdout)
        else:
            with output.writing(passes=(ReadError,)) as partial, open(partial, "wb") as file:  # noqa: PTH123
                _write_table(plan, file, args.time == "iso")
    except ReadError as caught:
        error = caught.error
        path = error.filename if isinstance(error, OSError) and error.filename is not None else "a log"
        print(f"quarvel table: {failure(path, error, encoding)}; the table is not written", file=err)
        return 1
    except OutputError as error:
        print(f"quarvel table: {error.line(encoding)}", file=err)
        return 1
    return status


def _write_table(plan: Any, out: BinaryIO, iso: bool, stream: Any = None) -> None:
    """Writes the header and the rows of `plan`, a partition at a time, in
    pieces smaller than the stream's buffer."""
    kinds = plan.kinds()
    _write(out, header_bytes(plan.names))
    with bar(plan.rows, "row", "table", beside=stream) as shown:
        for part in plan.parts():
            try:
                cells = compute(part)
            except FILE_ERRORS as error:
                raise ReadError(error) from error
            for stretch in row_stretches(cells.ticks, list(zip(cells.values, cells.has, kinds)), iso):
                _write(out, stretch)
            shown.update(part.rows)
    out.flush()


def _write(out: BinaryIO, data: bytes) -> None:
    view = memoryview(data)
    for low in range(0, len(view), PIECE):
        out.write(view[low : low + PIECE])
