"""Command line: `python3 -m quarvel info [--json] FILE...`,
`python3 -m quarvel plot FILE [-o out.png]`,
`python3 -m quarvel plot --coverage FILE... [-o out.png]`,
`python3 -m quarvel export OUT FILE...`,
`python3 -m quarvel check FILE... [--json OUT] [--html OUT]` and
`python3 -m quarvel catalog update|info CAT ...` and
`python3 -m quarvel table FILE... --every E -o OUT`. A FILE may be a glob pattern in
quotes, such as "logs/**/*.002", which each command expands as
quarvel.index does."""

from __future__ import annotations

import argparse
import io
import math
import os
import re
import sys
import warnings
from typing import Any, NoReturn, Sequence

from ._headers import TruncatedBlockWarning
from ._output import STANDARD_OUTPUT
from ._quality import DEAD_DISTINCT, DEAD_SAMPLES, RAILS, STUCK_SAMPLES, STUCK_SECONDS
from ._words import failure, reason


class _Parser(argparse.ArgumentParser):
    """A parser whose usage errors end with `usage_status` (check's 2 says
    that problems were found)."""

    usage_status = 2

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(self.usage_status, f"{self.prog}: error: {message}\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = _Parser(
        prog="python3 -m quarvel",
        description="Look into quarvel logger files. Each FILE may be a glob pattern in quotes, such as"
        ' "logs/**/*.002" (** reaches into subfolders, never into a Zarr store); a pattern that matches'
        " nothing is an error.",
    )
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    info = commands.add_parser("info", help="summarise the block headers of logger files")
    info.add_argument("--json", action="store_true", help="write JSON instead of text")
    add_logger(info)
    add_from_catalog(info)
    info.add_argument("files", nargs="*", metavar="FILE", help=FILE_HELP)
    plot = commands.add_parser(
        "plot",
        help="plot the calibrated values of a log against UTC time, or with --coverage what many logs recorded",
        description="Plot the calibrated values of one logger file against UTC time, a line per channel. With"
        " --coverage, draw what many logs recorded, from their block headers alone: a row per channel (of each"
        " logger, with --logger), time across, a bar per block, gaps left open, blocks cut short marked, and"
        " under it the files that could not be read and those that are probably not logger files (cut short,"
        " with a first channel below -2^24 or from 2^24 up), which are not drawn.",
    )
    plot.add_argument("--coverage", action="store_true", help="draw the blocks of every FILE, from their headers")
    plot.add_argument("files", nargs="*", metavar="FILE", help=FILE_HELP + "; one, unless --coverage")
    plot.add_argument("-o", "--output", metavar="OUT", help="save to this image file instead of showing it")
    add_logger(plot, " (with --coverage: a row per channel of each logger)")
    add_from_catalog(plot, " (with --coverage)")
    export = commands.add_parser("export", help="write every sample of the logs to NetCDF-4 (.nc) or Zarr (.zarr)")
    export.add_argument("output", metavar="OUT", help="the file (.nc) or folder (.zarr) to write")
    export.add_argument("files", nargs="*", metavar="FILE", help=FILE_HELP)
    add_logger(export, "; each file's is stored as the variable logger")
    add_from_catalog(export)
    check = add_check(commands)
    add_catalog(commands)
    table = add_table(commands)
    command = next((arg for arg in argv if not arg.startswith("-")), None)
    if command == "check":
        parser.usage_status = check.usage_status = CHECK_USAGE
        argv = _joined_rails(argv)
    if command == "table":
        parser.usage_status = table.usage_status = TABLE_USAGE
    args = parser.parse_args(argv)
    if args.command != "catalog" and not args.files and args.from_catalog is None:
        commands.choices[args.command].error("the following arguments are required: FILE")
    if args.command == "plot" and args.from_catalog is not None and not args.coverage:
        plot.error("--catalog draws the blocks of a catalog's files, with --coverage")
    if args.command == "check" and args.json == args.html == STANDARD_OUTPUT:
        check.error("--json and --html cannot both go to standard output (-)")
    from ._progress import enable

    enable()  # bars of long work, where standard error is a terminal
    catalog = None
    if args.command != "catalog" and args.from_catalog is not None:
        from ._catalog import Catalog, CatalogError

        try:
            catalog = Catalog(args.from_catalog)
        except CatalogError as error:
            print(f"quarvel {args.command}: {error}", file=sys.stderr)
            return 1
    if args.command == "export":
        from . import export

        status = export.run(args.output, args.files, logger=args.logger, catalog=catalog)
        if export.NetcdfStore.unclosed:  # end before HDF5's exit handler crashes on the file
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)
        return status
    try:
        if args.command == "catalog":
            return run_catalog(args, argv)
        if args.command == "info":
            from ._progress import lines
            from .info import run

            status = run(args.files, args.json, out=_SmallWrites(sys.stdout), err=lines(sys.stderr), logger=args.logger,
                         catalog=catalog)  # fmt: skip
            sys.stdout.flush()  # inside the try: a failure here is a failure to write
            return status
        if args.command == "check":
            return run_check(args, catalog)
        if args.command == "table":
            from ._progress import lines
            from .widetable import run

            return run(args, err=lines(sys.stderr), catalog=catalog)
        return run_plot(args.files, args.output, args.coverage, args.logger, catalog)
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
LOGGER_HELP = ("which logger wrote each file: folder (its folder, relative to the files' common one) or a regular"
               " expression searched in its path (group 1, or the whole match, names the logger; a file it does not"
               " match is not read); a series is then a channel of a logger (default: one logger)")  # fmt: skip


CATALOG_HELP = ("read the files' block headers from the catalog CAT (see catalog update), not from the files:"
                " its files, or those of it that each FILE (a path or a pattern) chooses")  # fmt: skip


def add_from_catalog(command: argparse.ArgumentParser, more: str = "") -> None:
    """Adds the option --catalog CAT."""
    command.add_argument("--catalog", dest="from_catalog", metavar="CAT", help=CATALOG_HELP + more)


def add_logger(command: argparse.ArgumentParser, more: str = "") -> None:
    """Adds the option --logger, checked as it is parsed."""
    command.add_argument("--logger", type=_logger_rule, metavar="folder|REGEX", help=LOGGER_HELP + more)


def _logger_rule(text: str) -> str:
    from ._loggers import check_rule

    try:
        check_rule(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text
CHECK_USAGE = 3
CHECK_STATUSES = """exit status:
  0  every file was read, and nothing was flagged
  1  a file could not be read (or a pattern matched nothing), or a report
     could not be written, whatever else was found
  2  every file was read, and a block was flagged, or a gap, an overlap or a
     block out of time order found
  3  a usage error
A file that is not a logger file (probably, or surely by its format) is
listed and not checked, and changes no status."""


def add_check(commands: Any) -> argparse.ArgumentParser:
    """Adds the command check and its options."""
    check = commands.add_parser(
        "check",
        help="check the readings of logs (clipped, stuck, dead, cut short) and their gaps, overlaps and order",
        description="Check the readings of logger files: blocks whose raw counts hit the ADC's rails (clipped),"
        " hold one value for long (stuck) or take at most a few values (dead), blocks cut short, and per channel"
        " (of each logger, with --logger), across the files, gaps, overlaps and blocks out of time order. Prints a"
        " line per problem and a summary; --json and --html write every finding.",
        epilog=CHECK_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    option = check.add_argument
    option("files", nargs="*", metavar="FILE", help=FILE_HELP)
    option("--json", metavar="OUT.json",
           help="write every finding as JSON into OUT.json (-: to standard output, and the lines to standard error)")
    option("--html", metavar="OUT.html",
           help="write a report as one HTML page into OUT.html (-: to standard output, as --json -)")
    option("--rails", metavar="LO,HI", type=_rails, default=RAILS,
           help="the lowest and highest raw count of the ADC (default: -32768,32767)")  # fmt: skip
    option("--stuck-samples", type=_count, default=STUCK_SAMPLES, metavar="N",
           help=f"a stuck run holds one value for N samples or more... (default: {STUCK_SAMPLES})")  # fmt: skip
    option("--stuck-seconds", type=_seconds, default=STUCK_SECONDS, metavar="S",
           help="...and for S seconds of samples when that is more (default: 10)")  # fmt: skip
    option("--dead-samples", type=_count, default=DEAD_SAMPLES, metavar="N",
           help=f"a dead block has N samples or more... (default: {DEAD_SAMPLES})")  # fmt: skip
    option("--dead-distinct", type=_count, default=DEAD_DISTINCT, metavar="N",
           help=f"...that take at most N different values (default: {DEAD_DISTINCT})")  # fmt: skip
    option("--gap-tolerance", type=_seconds, metavar="S",
           help="report every gap and overlap of more than S seconds (default: a gap of one sample period or more"
           " and any overlap, forgiving a start within the second in which the time before it ends)")  # fmt: skip
    add_logger(check)
    add_from_catalog(check)
    option("--dask", action="store_true", help="read through Dask, in threads of this machine")
    option("--scheduler", metavar="ADDRESS",
           help="read through Dask on the distributed cluster whose scheduler is at ADDRESS")  # fmt: skip
    option("--partition-samples", type=_positive, metavar="N",
           help="the samples that a partition (a task) reads, about (default: 2097152)")  # fmt: skip
    check.usage_status = CHECK_USAGE
    return check


def add_catalog(commands: Any) -> None:
    """Adds the command catalog, its actions update and info, and their options."""
    from .catalog import interval

    catalog = commands.add_parser(
        "catalog",
        help="keep a catalog of logs between runs (every file's identity and block headers), or say what it holds",
        description="Keep a catalog of logs between runs: a folder CAT that holds an SQLite database of every"
        " file's identity and every block's header, which update keeps up to date by reading only what changed,"
        " and which routes and SQL can read without reading the logs.",
    )
    actions = catalog.add_subparsers(dest="action", required=True, parser_class=_Parser)
    update = actions.add_parser(
        "update",
        help="update the catalog (made when missing): record the files of its sources and of each FILE named",
        description="Update the catalog CAT (made when missing): add each FILE (a path or a pattern) to the"
        " sources it keeps, list them all again, and record the files that are new, changed or gone, reading"
        " only what changed. Files changed within the recent-change window, or dated in the future, are read"
        " again by the next update.",
    )
    update.add_argument("catalog", metavar="CAT", help="the catalog's folder")
    update.add_argument("sources", nargs="*", metavar="FILE", help=FILE_HELP + ", kept as a source")
    update.add_argument("--window", type=_seconds, default=60.0, metavar="SECONDS",
                        help="the recent-change window (default: 60, NFS's attribute cache)")  # fmt: skip
    update.add_argument("--repeat", type=interval, metavar="INTERVAL",
                        help="update again every INTERVAL (such as 10s, 2m) until interrupted")  # fmt: skip
    update.add_argument("--scheduler", metavar="ADDRESS",
                        help="stat and read the files on the distributed cluster whose scheduler is at ADDRESS")  # fmt: skip
    info = actions.add_parser("info", help="say what the catalog holds and how it was last updated")
    info.add_argument("catalog", metavar="CAT", help="the catalog's folder")
    info.add_argument("--json", action="store_true", help="write JSON instead of text")


def run_catalog(args: argparse.Namespace, argv: list[str]) -> int:
    """Runs `catalog update` or `catalog info`; returns the exit status."""
    from . import catalog

    if args.action == "info":
        status = catalog.run_info(args.catalog, args.json, _SmallWrites(sys.stdout))
        sys.stdout.flush()
        return status
    command = " ".join(["python3 -m quarvel", *(_quoted(arg) for arg in argv)])
    return catalog.run_update(args.catalog, args.sources, args.window, args.repeat, args.scheduler, command,
                              sys.stdout)  # fmt: skip


def _quoted(arg: str) -> str:
    import shlex

    return shlex.quote(arg)


TABLE_USAGE = 3
TABLE_STATUSES = """exit status:
  0  every file was read, and the table written
  1  a file could not be read (or a pattern matched nothing, or a path did
     not match --logger), the others were used; or blocks overlap with
     --overlap error, or OUT could not be written
  3  a usage error
A file that is not a logger file (probably, or surely by its format) is
listed and left out, and changes no status."""


def add_table(commands: Any) -> argparse.ArgumentParser:
    """Adds the command table and its options."""
    from ._table import AGGREGATIONS, METHODS, OVERLAPS, VALUES

    table = commands.add_parser(
        "table",
        help="write many logs on one time base as CSV: a row per tick of a regular grid, a column per channel",
        description="Write the logs on one time base, as CSV: a row per tick of a regular grid of step --every, from"
        " integer ms, and a column per channel (per logger and channel with --logger), each cell made from the"
        f" samples by --method: {', '.join(m for m in METHODS if m not in AGGREGATIONS)} at the tick, or"
        f" {', '.join(AGGREGATIONS)} over [tick, tick + every). Nothing is carried into time that no block covers:"
        " such a cell is empty.",
        epilog=TABLE_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    option = table.add_argument
    option("files", nargs="*", metavar="FILE", help=FILE_HELP)
    option("--every", required=True, type=_every, metavar="E",
           help="the grid's step: ms (250), or a fixed pandas offset of whole ms (1s, 250ms, 5min)")  # fmt: skip
    option("-o", "--output", required=True, metavar="OUT", help="the CSV file to write (-: standard output)")
    option("--method", choices=METHODS, default="previous", help="how a cell is made (default: previous)")
    option("--overlap", choices=OVERLAPS, default="last",
           help="where blocks of a channel overlap, take the one that starts later, earlier, or stop (default: last)")  # fmt: skip
    option("--values", choices=VALUES, default="calData", help="calibrated values or raw counts (default: calData)")
    option("--channels", type=_channels, metavar="N,...", help="only these channels (default: all)")
    option("--from", dest="start", type=_start, metavar="T",
           help="the first tick: seconds since 1970, or ISO 8601 (default: the first sample, floored to E)")  # fmt: skip
    option("--to", dest="end", type=_end, metavar="T", help="the last tick at most (default: the last sample)")
    add_logger(table, " (a column per channel of each logger)")
    add_from_catalog(table)
    option("--time", choices=("seconds", "iso"), default="seconds",
           help="the time column: seconds since 1970 with three decimals, or ISO 8601 UTC (default: seconds)")  # fmt: skip
    table.usage_status = TABLE_USAGE
    return table


def _checked(function: Any, name: str) -> Any:
    """Returns an argparse type that says the library's own words."""

    def parse(text: str) -> Any:
        try:
            return function(text)
        except (ValueError, TypeError, ImportError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    parse.__name__ = name
    return parse


def _every_ms(text: str) -> int:
    from ._table import every_ms

    return every_ms(int(text) if text.strip().isdigit() else text)


def _time_tick(upper: bool) -> Any:
    """Returns an argparse type: seconds since 1970 (an integer, or a
    finite number), or an ISO 8601 text, as the tick of the grid's start
    (or, `upper`, of its end)."""

    def tick(text: str) -> int:
        from ._table import time_tick

        value: Any = text
        if re.fullmatch(r"\s*[-+]?\d+\s*", text):
            value = int(text)
        else:
            try:
                value = float(text)
            except ValueError:
                pass  # an ISO 8601 text
            else:
                if not math.isfinite(value):
                    raise ValueError(f"{text!r} is not a time")
        return time_tick(value, upper)

    return tick


def _channel_list(text: str) -> list[int]:
    return [int(part) for part in text.split(",")]


_every = _checked(_every_ms, "every")
_start = _checked(_time_tick(False), "time")
_end = _checked(_time_tick(True), "time")
_channels = _checked(_channel_list, "list of channels")


def _at_least(least: int, name: str) -> Any:
    """Returns an argparse type: a whole number of `least` or more, which
    argparse's message calls `name`."""

    def whole(text: str) -> int:
        value = int(text)
        if value < least:
            raise ValueError(text)
        return value

    whole.__name__ = name
    return whole


_count = _at_least(0, "count")
_positive = _at_least(1, "count of 1 or more")


def _seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value >= 0):
        raise ValueError(text)
    return value


_seconds.__name__ = "number of seconds"


def _rails(text: str) -> tuple[int, int]:
    low, high = (int(part) for part in text.split(","))
    if not -32768 <= low < high <= 32767:
        raise ValueError(text)
    return low, high


_rails.__name__ = "pair of raw counts LO,HI (-32768 <= LO < HI <= 32767)"


def _joined_rails(argv: list[str]) -> list[str]:
    """Returns `argv` with each value of --rails (or of a prefix argparse
    takes for it, such as --rail) that starts with a minus joined to it:
    `--rails -2048,2047` as `--rails=-2048,2047`, since argparse takes an
    argument that starts with a minus, and is no number, for an option."""
    out: list[str] = []
    for i, arg in enumerate(argv):
        if arg == "--":
            return out + argv[i:]
        if out and out[-1] in _RAILS_PREFIXES and re.fullmatch(r"-\d.*,.*", arg):
            out[-1] += "=" + arg
        else:
            out.append(arg)
    return out


_RAILS_PREFIXES = {"--rails"[:n] for n in range(3, len("--rails") + 1)}  # no other option of check starts --r


def run_check(args: argparse.Namespace, catalog: Any = None) -> int:
    """Runs `check`: the problems and the summary on standard output (on
    standard error when a report goes there), the files that could not be
    read on standard error, the reports into their files. Returns the exit
    status."""
    from ._check import run_pass
    from ._loggers import operand_loggers
    from ._output import Output, OutputError
    from ._progress import each
    from ._quality import Rules
    from ._report import problem_lines, summary, write_html, write_json
    from ._routes import operand_files

    encoding = getattr(sys.stderr, "encoding", None)
    operands = operand_files(args.files, catalog)
    # The HTML first: the JSON then carries the status of the whole run,
    # the HTML's failure included. Standard output is named "-".
    reports = [(path, writer) for path, writer in ((args.html, write_html), (args.json, write_json)) if path]
    inputs = [path for path, error in operands if error is None]
    for path, _ in reports:
        if path == STANDARD_OUTPUT:
            continue
        try:
            Output(path).prepare(inputs)
        except OutputError as error:  # said before a long pass, not after it
            print(f"quarvel check: {error.line(encoding)}; nothing checked", file=sys.stderr)
            return 1
    rules = Rules(args.rails, args.stuck_samples, args.stuck_seconds, args.dead_samples, args.dead_distinct,
                  args.gap_tolerance)  # fmt: skip
    operands, loggers = operand_loggers(operands, args.logger)
    files = each(operands, "file", "reading headers")
    try:
        found = _pass_on(args.scheduler,
                         lambda dask: run_pass(files, rules, dask, args.partition_samples, loggers, catalog),
                         args.dask)  # fmt: skip
    except (ImportError, OSError) as error:  # no Dask, or no scheduler there: one line
        files.close()  # and its bar
        print(f"quarvel check: {reason(error)}", file=sys.stderr)
        return 1
    for path, error in found.unreadable():
        print(f"quarvel check: {failure(path, error, encoding)}", file=sys.stderr)
    to_stdout = STANDARD_OUTPUT in (args.json, args.html)
    out = _SmallWrites(sys.stderr if to_stdout else sys.stdout)
    for line in problem_lines(found, out.encoding):
        out.write(line + "\n")
    out.write("".join(f"{line}\n" for _, line in summary(found)))
    out.out.flush()
    status = found.status()
    for path, writer in reports:

        def write(file: Any, writer: Any = writer) -> None:
            if writer is write_json:
                writer(found, file, status=status)
            else:
                writer(found, file)

        if path == STANDARD_OUTPUT:
            _write_standard_output(write)
            continue
        try:
            with Output(path).text() as file:
                write(file)
        except OutputError as error:
            print(f"quarvel check: {error.line(encoding)}", file=sys.stderr)
            status = 1
    return status


# The name of standard output as an OUT of check's reports.
def _write_standard_output(write: Any) -> None:
    """Writes a report by `write(file)` to standard output, in UTF-8 as a
    report's file is, whatever the locale."""
    sys.stdout.flush()
    file = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
    try:
        write(_SmallWrites(file))
        file.flush()
    finally:
        file.detach()


def _pass_on(scheduler: str | None, run: Any, dask: bool) -> Any:
    """Returns run(dask), on the distributed cluster of the `scheduler`'s
    address when given."""
    if scheduler is None:
        return run(dask)
    from ._optional import require

    distributed = require("distributed")
    try:
        client = distributed.Client(scheduler, set_as_default=False, timeout=30)
    except (OSError, ValueError) as error:
        raise OSError(f"cannot reach the Dask scheduler at {scheduler}: {reason(error)}") from error
    with client, require("dask").config.set(scheduler=client):
        return run(True)


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


def run_plot(
    paths: Sequence[str], output: str | None, coverage: bool = False, logger: str | None = None, catalog: Any = None
) -> int:
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

                return run(paths, output, logger=logger, catalog=catalog)
            if logger is not None:
                raise PlotError("--logger names the loggers of plot --coverage's rows: plot draws one file")
            if len(paths) > 1:
                raise PlotError(
                    f"{len(paths):,} files given, and plot draws one:"
                    " give one, or draw the blocks of them all with plot --coverage"
                )
            plot_file(paths[0], output)
    except Exception as error:  # noqa: BLE001 - a message, never a traceback
        print(f"quarvel plot: {_plot_failure(paths[0] if paths else '', error)}", file=sys.stderr)
        return 1
    return 0


def _can_show() -> bool:
    """False when matplotlib has no window to draw in (no display)."""
    from ._optional import require

    matplotlib = require("matplotlib")
    require("matplotlib.pyplot")  # settles which backend is used
    backend = matplotlib.get_backend().lower()
    return backend not in {name.lower() for name in require("matplotlib.rcsetup").non_interactive_bk}


def _plot_failure(path: str, error: Exception) -> str:
    """The line that says why plot drew nothing: the file `path` (or the one
    that an OSError names) could not be read, the output could not be
    written (an OutputError says so itself), or what else went wrong."""
    if not (isinstance(error, OSError) and error.strerror):
        return reason(error)
    return failure(error.filename if isinstance(error.filename, str) else path, error)


def _one_line_warning(message: Any, category: type, *where: Any) -> None:
    """Shows a warning on one line of standard error."""
    text = " ".join(str(message).split())
    print(text if issubclass(category, TruncatedBlockWarning) else f"quarvel plot: warning: {text}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
