"""Command line: `python3 -m quarvel info [--json] FILE...`,
`python3 -m quarvel plot FILE [-o out.png]`,
`python3 -m quarvel plot --coverage FILE... [-o out.png]` and
`python3 -m quarvel export OUT FILE...`. A FILE may be a glob pattern in
quotes, such as "logs/**/*.002", which each command expands as
quarvel.index does."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Any, Sequence

from ._headers import TruncatedBlockWarning
from ._words import display_name, failure, reason


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python3 -m quarvel",
        description="Look into quarvel logger files. Each FILE may be a glob pattern in quotes, such as"
        ' "logs/**/*.002" (** reaches into subfolders, never into a Zarr store); a pattern that matches'
        " nothing is an error.",
    )
    commands = parser.add_subparsers(dest="command", required=True)
    info = commands.add_parser("info", help="summarise the block headers of logger files")
    info.add_argument("--json", action="store_true", help="write JSON instead of text")
    info.add_argument("files", nargs="+", metavar="FILE", help=FILE_HELP)
    plot = commands.add_parser(
        "plot",
        help="plot the calibrated values of a log against UTC time, or with --coverage what many logs recorded",
        description="Plot the calibrated values of one logger file against UTC time, a line per channel. With"
        " --coverage, draw what many logs recorded, from their block headers alone: a row per channel, time"
        " across, a bar per block, gaps left open, blocks cut short marked, and under it the files that could"
        " not be read and those that are probably not logger files (cut short, with a first channel below"
        " -2^24 or from 2^24 up), which are not drawn.",
    )
    plot.add_argument("--coverage", action="store_true", help="draw the blocks of every FILE, from their headers")
    plot.add_argument("files", nargs="+", metavar="FILE", help=FILE_HELP + "; one, unless --coverage")
    plot.add_argument("-o", "--output", metavar="OUT", help="save to this image file instead of showing it")
    export = commands.add_parser("export", help="write every sample of the logs to NetCDF-4 (.nc) or Zarr (.zarr)")
    export.add_argument("output", metavar="OUT", help="the file (.nc) or folder (.zarr) to write")
    export.add_argument("files", nargs="+", metavar="FILE", help=FILE_HELP)
    args = parser.parse_args(argv)
    if args.command == "export":
        from . import export

        status = export.run(args.output, args.files)
        if export.NetcdfStore.unclosed:  # end before HDF5's exit handler crashes on the file
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)
        return status
    try:
        if args.command == "info":
            from .info import run

            status = run(args.files, args.json, out=_SmallWrites(sys.stdout))
            sys.stdout.flush()  # inside the try: a failure here is a failure to write
            return status
        return run_plot(args.files, args.output, args.coverage)
    except BrokenPipeError:
        # The reader of the output went away (`| head`): stop quietly.
        _drop_standard_output()
        return 1
    except OSError as error:
        # The report could not be written (a full disk, a file size limit):
        # one line, not a traceback. Files that could not be read never get
        # here: the commands report them file by file.
        _drop_standard_output()
        print(f"python3 -m quarvel: failed to write standard output: {error.strerror or error}", file=sys.stderr)
        return 1


FILE_HELP = 'a logger file, or a glob pattern in quotes ("logs/**/*.002")'


class _SmallWrites:
    """Writes text in pieces smaller than a stream's buffer. Given one large
    piece, CPython's buffered writer passes it straight to the file, and
    when the system writes only part of it (a file size limit reached) it
    drops the rest without an error; pieces that go through its buffer
    raise the error as they should."""

    PIECE = 2048

    def __init__(self, out: Any) -> None:
        self.out = out
        self.encoding = getattr(out, "encoding", None)  # which names info must escape

    def write(self, text: str) -> None:
        for start in range(0, len(text), self.PIECE):
            self.out.write(text[start : start + self.PIECE])


def _drop_standard_output() -> None:
    """Points standard output at the null device, so that what is still
    buffered cannot fail again when Python exits."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def run_plot(paths: Sequence[str], output: str | None, coverage: bool = False) -> int:
    """Runs `plot`: every failure is one line on standard error and status 1."""
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _one_line_warning
            from ._figure import PlotError
            from .plot import plot_file

            if output is None and not _can_show():
                raise RuntimeError("no display to show the plot on: give -o FILE to save it to a file")
            if coverage:
                from .coverage import run

                return run(paths, output)
            if len(paths) > 1:
                raise PlotError(
                    f"{len(paths):,} files given, and plot draws one:"
                    " give one, or draw the blocks of them all with plot --coverage"
                )
            plot_file(paths[0], output)
    except Exception as error:  # noqa: BLE001 - a message, never a traceback
        print(f"quarvel plot: {_plot_failure(paths[0], output, error)}", file=sys.stderr)
        return 1
    return 0


def _can_show() -> bool:
    """False when matplotlib has no window to draw in (no display)."""
    from ._optional import require

    matplotlib = require("matplotlib")
    require("matplotlib.pyplot")  # settles which backend is used
    backend = matplotlib.get_backend().lower()
    return backend not in {name.lower() for name in require("matplotlib.rcsetup").non_interactive_bk}


def _plot_failure(path: str, output: str | None, error: Exception) -> str:
    """The line that says why plot drew nothing: the file `path` (or the one
    that an OSError names) could not be read, `output` could not be
    written, or what else went wrong."""
    if not (isinstance(error, OSError) and error.strerror):
        return reason(error)
    name = error.filename if isinstance(error.filename, str) else path
    if output is not None and name == output:
        return f"cannot write {display_name(name)}: {reason(error)}"
    return failure(name, error)


def _one_line_warning(message: Any, category: type, *where: Any) -> None:
    """Shows a warning on one line of standard error."""
    text = " ".join(str(message).split())
    print(text if issubclass(category, TruncatedBlockWarning) else f"quarvel plot: warning: {text}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
