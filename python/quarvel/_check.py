"""`quarvel.check` and the pass of `python3 -m quarvel check`: the quality
of every block's readings (see _quality), and per series (a channel of a
logger) its gaps and overlaps (by the one rule, _gaps) and blocks out of
order, across many logs.

The block headers come from the one scan; the raw counts are read once,
in the partitions of the Dask frame (whole blocks, or stretches of a long
one), each by a task that returns a few numbers per piece. The tasks run
one after another in this process, or through Dask (threads, or the
workers of a distributed cluster), a batch at a time: memory stays flat
whatever the size of the logs.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Iterable, Iterator, NamedTuple

import numpy as np

from ._catalog import Catalog
from ._dask import Part, partition_size, plan
from ._headers import FILE_ERRORS, NotALogError
from ._index import BlockTable, PathArg, block_rows, path_categories, probably_not_logs, rows_of, series_covered
from ._loggers import LoggerRule, Series, operand_loggers, series_of
from ._optional import require
from ._pieces import read_columns
from ._progress import bar
from ._quality import (
    BLOCK_COLUMNS,
    BLOCK_FIELDS,
    FLAGS,
    NOT_A_LOG,
    UNREADABLE,
    Pass,
    DEAD_DISTINCT,
    DEAD_SAMPLES,
    RAILS,
    STATS_DTYPE,
    STUCK_SAMPLES,
    STUCK_SECONDS,
    Folding,
    Rules,
    Unchecked,
    as_stored,
    checked_rules,
    flags,
    stretch_stats,
)
from ._routes import operand_files, scan_operands
from ._scan import Operand
from ._signatures import read_log_headers
from ._times import last_times, period_seconds
from ._words import reason

if TYPE_CHECKING:
    import pandas

# Tasks computed at once through Dask: enough to keep a cluster busy,
# few enough that their results stay small.
BATCH = 64
# The columns of the findings, in order (a block's: _quality.BLOCK_COLUMNS).
GAP_COLUMNS = ("channel", "logger", "start_tick", "length_ms", "start", "before_path", "before_block", "after_path",
               "after_block")  # fmt: skip
OVERLAP_COLUMNS = ("channel", "logger", "start_tick", "length_ms", "start", "blocks")
ORDER_COLUMNS = ("channel", "path", "block", "start", "previous_path", "previous_block", "previous_start")
FILE_COLUMNS = ("path", "problem", "why")


def run_pass(
    operands: Iterable[tuple[PathArg, Exception | None]],
    rules: Rules = Rules(),
    dask: bool = False,
    partition_samples: int | None = None,
    loggers: dict | None = None,
    catalog: Catalog | None = None,
) -> Pass:
    """Checks the files `operands` (pairs of a path and None, or of a
    pattern and the error of expanding it, as operand_files() gives them)
    by `rules`; with `dask`, through dask.compute (the scheduler in use: a
    distributed Client's cluster, or threads). `loggers` holds the logger
    of each file by its path, as operand_loggers() gives it (None: one
    logger). With a `catalog`, the block headers come from it, which
    chose the `operands`. Raises ValueError for rules out of range; every
    file that cannot be read is kept in `apart`."""
    rules = checked_rules(rules)
    size = partition_size(partition_samples)
    (scanned,) = scan_operands(operands, read_log_headers, catalog=catalog)
    table = scanned.table
    strange = probably_not_logs(table)
    stats, errors = _read_samples(table, ~strange[table.file], rules.rails, size, dask)
    failed = np.zeros(len(table.paths), dtype=bool)
    failed[list(errors)] = True
    file_checked = ~(strange | failed)
    checked = file_checked[table.file]
    found_flags = flags(stats, table.present_samples, table.period_ms, rules)
    found_flags["cut_short"] = table.truncated()
    at = last_times(table.first_time, table.period_ms, stats["stuck_start"] + 1)
    names = None if loggers is None else [loggers[path] for path in table.paths]
    series = series_of(names, table.file, table.channel)
    return Pass(
        table=table,
        rules=rules,
        named=len(scanned.files),
        unread=failed,
        file_checked=file_checked,
        checked=checked,
        stats=stats,
        flags=found_flags,
        stuck_time=np.where(stats["longest_stuck"] > 0, at, np.nan),
        loggers=names,
        series=series,
        **_find_gaps(table, checked, series, rules.gap_tolerance),
        apart=_apart(scanned.files, table, strange, errors),
        starts=table.start_times(),
        ends=table.end_times(),
        period_s=period_seconds(table.period_ms),
    )


def _read_samples(table: BlockTable, keep: np.ndarray, rails: tuple[int, int], size: int, dask: bool) -> tuple:
    """Reads the raw counts of the blocks of `table` that `keep` marks, a
    partition at a time; returns per block of the table its STATS_DTYPE
    (zeros where not read), and the error that ended the reading of each
    file of the table that failed, by its position."""
    found = np.zeros(len(table), dtype=STATS_DTYPE)
    parts, pieces, bounds = plan(table.paths, table, 1, None, partition_samples=size, rows=keep)
    rails = as_stored(rails)
    rows = rows_of(table, pieces["file"], pieces["block"])
    cut = pieces["count"] < table.present_samples[rows]
    errors: dict[int, Exception] = {}
    folding: dict[int, Folding] = {}
    shown = bar(int(pieces["count"].sum()), "sample", "checking")  # on the command line's terminal alone
    for low, high, (stats, sets, lost) in zip(bounds[:-1].tolist(), bounds[1:].tolist(),
                                              _results(parts, bounds, cut, rails, dask)):  # fmt: skip
        own_files = np.unique(pieces["file"][low:high])
        for f, error in lost.items():
            errors.setdefault(int(own_files[f]), error)
        mine, whole = rows[low:high], ~cut[low:high]
        found[mine[whole]] = stats[whole]
        for i in np.flatnonzero(~whole).tolist():
            row = int(mine[i])
            if row not in folding:
                folding[row] = Folding(rails)
            for name in ("rail_low", "rail_high"):
                found[name][row] += stats[name][i]
            piece = pieces[low + i]
            folding[row].fold(stats[i], int(piece["first"]), int(piece["count"]), sets.get(i, 0))
            if piece["first"] + piece["count"] == table.present_samples[row]:
                folding.pop(row).finish(found[row : row + 1][0])
        shown.update(int(pieces["count"][low:high].sum()))
    shown.close()
    return found, errors


def _results(parts: list[Part], bounds: np.ndarray, cut: np.ndarray, rails: tuple[int, int], dask: bool) -> Iterator:
    """Yields the result of read_part() for each of `parts`, in order."""
    tasks = [(part, cut[low:high], rails) for part, low, high in zip(parts, bounds[:-1], bounds[1:])]
    if not dask:
        # numpy and the reads let go of the interpreter: a thread per core.
        with ThreadPoolExecutor(max(1, min(len(tasks), os.cpu_count() or 1))) as pool:
            yield from pool.map(read_part, *zip(*tasks))
        return
    delayed = require("dask").delayed(read_part)
    compute = require("dask").compute
    for start in range(0, len(tasks), BATCH):
        yield from compute(*[delayed(*task) for task in tasks[start : start + BATCH]])


def read_part(part: Part, cut: np.ndarray, rails: tuple[int, int] = as_stored(RAILS)) -> tuple:
    """Reads the raw counts of the pieces of `part` (`cut` marks those cut
    from longer blocks) as the file stores them, and returns their
    stretch_stats() by the `rails` coded as_stored(), and per file of
    the part (its position in part.paths) the error that stopped its
    reading: one file that fails does not take the others with it. Only a
    file's errors are caught (FILE_ERRORS): a fault of the code is raised."""
    pieces = part.pieces
    try:
        return (*_piece_stats(part, pieces, cut, rails), {})
    except FILE_ERRORS:  # each file then on its own, to tell which one failed
        pass
    stats = np.zeros(len(pieces), dtype=STATS_DTYPE)
    sets: dict[int, np.ndarray] = {}
    lost: dict[int, Exception] = {}
    for f in range(len(part.paths)):
        mine = np.flatnonzero(pieces["file"] == f)
        try:
            own, own_sets = _piece_stats(part, pieces[mine], cut[mine], rails)
        except FILE_ERRORS as error:  # reported with the file
            lost[f] = error
            continue
        stats[mine] = own
        sets.update((int(mine[i]), bits) for i, bits in own_sets.items())
    return stats, sets, lost


def _piece_stats(part: Part, pieces: np.ndarray, cut: np.ndarray, rails: tuple[int, int]) -> tuple:
    raw = read_columns(part.paths, part.stamps, pieces, ["rawCounts"], stored=True)["rawCounts"]
    return stretch_stats(raw.view(np.int16), pieces["count"], pieces["first"], cut, rails)


def _find_gaps(table: BlockTable, checked: np.ndarray, series: Series, tolerance: float | None) -> dict:
    """Returns the gaps, overlaps and blocks out of order of each series,
    between the blocks `checked` that have samples, as the fields of a
    Pass: the gaps and overlaps by the one rule (series_covered), across
    files, beyond the `tolerance` when one is given; out of order, a block
    that starts before the block of its channel before it in its file.
    Files are taken in the order given, which is rarely the order in which
    they were recorded: between files, time order is the gaps' and
    overlaps' business."""
    rows = np.flatnonzero(checked & (table.present_samples > 0))
    by_channel = rows[np.lexsort((table.channel[rows], table.file[rows]))]
    same = table.channel[by_channel[1:]] == table.channel[by_channel[:-1]]
    same &= table.file[by_channel[1:]] == table.file[by_channel[:-1]]
    early = same & (table.first_time[by_channel[1:]] < table.first_time[by_channel[:-1]])
    return {
        "covered": series_covered(table, rows, series.codes[rows], tolerance),
        "out_of_order": (by_channel[1:][early], by_channel[:-1][early]),
    }


def _apart(entries: list[Operand], table: BlockTable, strange: np.ndarray, errors: dict) -> tuple[Unchecked, ...]:
    """The files and patterns not checked, in operand order."""
    apart = []
    position = 0
    for path, error, first_row, _ in entries:
        if error is not None:
            if isinstance(error, NotALogError):
                apart.append(Unchecked(path, NOT_A_LOG, f"{error.reason}, not a logger file", error))
            else:
                apart.append(Unchecked(path, UNREADABLE, reason(error), error))
            continue
        if strange[position]:
            first = int(table.channel[first_row])
            why = f"probably not a logger file: cut short, and its first block's channel, {first}, is no logger's"
            apart.append(Unchecked(path, NOT_A_LOG, why, None))
        elif position in errors:
            apart.append(Unchecked(path, UNREADABLE, reason(errors[position]), errors[position]))
        position += 1
    return tuple(apart)


class Findings(NamedTuple):
    """What quarvel.check() found, as pandas DataFrames: `blocks` (a row per
    block of the files checked), `gaps` and `overlaps` (a row per gap or
    overlap of a series), `out_of_order` (a row per block out of order) and
    `files` (a row per file or pattern not checked)."""

    blocks: pandas.DataFrame
    gaps: pandas.DataFrame
    overlaps: pandas.DataFrame
    out_of_order: pandas.DataFrame
    files: pandas.DataFrame


def check(
    paths: PathArg | Iterable[PathArg],
    *,
    rails: tuple[int, int] = RAILS,
    stuck_samples: int = STUCK_SAMPLES,
    stuck_seconds: float = STUCK_SECONDS,
    dead_samples: int = DEAD_SAMPLES,
    dead_distinct: int = DEAD_DISTINCT,
    gap_tolerance: float | None = None,
    logger: LoggerRule = None,
    dask: bool = False,
    partition_samples: int | None = None,
) -> Findings:
    """Checks the readings of the logger files `paths` (one path, a list of
    paths, a glob pattern, or a quarvel.Catalog, as quarvel.index() takes
    them) and the gaps
    between their blocks, as `python3 -m quarvel check` does; returns the
    Findings. Reads every sample's raw count once. With `dask`, the reading
    is computed through Dask in the partitions of quarvel.dask_dataframe()
    (`partition_samples` each), by the scheduler in use: a
    distributed.Client's cluster, or threads. A file that cannot be read, or
    that is not a log, is a row of `files`: nothing is raised for it.
    A series is a channel of a logger: `logger` names the logger of each
    file by a rule on its path (None: one logger; "folder"; a regular
    expression, whose group 1 or whole match is the name, and which refuses
    a file it does not match as a file that cannot be read; a callable).
    Raises ValueError for rails or thresholds out of range, or an
    expression that does not compile."""
    rules = Rules((rails[0], rails[1]), stuck_samples, stuck_seconds, dead_samples, dead_distinct, gap_tolerance)
    catalog = paths if isinstance(paths, Catalog) else None
    if catalog is not None:
        operands = operand_files([], catalog)
    elif isinstance(paths, (str, bytes, os.PathLike)):
        operands = operand_files([os.fspath(paths)])
    else:
        operands = [(os.fspath(path), None) for path in paths]
    operands, loggers = operand_loggers(operands, logger)
    return findings(run_pass(operands, rules, dask, partition_samples, loggers, catalog))


def findings(found: Pass) -> Findings:
    """Returns the DataFrames of the Pass `found`: a `logger` column after
    the path (categorical) or the channel where a rule named loggers."""
    pd = require("pandas")
    table = found.table
    categories, codes = path_categories(table.paths)
    keys = found.series.keys
    names = {logger: i for i, logger in enumerate(sorted({logger for logger, _ in keys if logger is not None}))}
    logger_codes = np.array([names.get(logger, -1) for logger, _ in keys], dtype=np.int64)

    kind = pd.CategoricalDtype(categories)  # made once: pandas checks the categories each time

    def paths(rows: np.ndarray) -> pandas.Categorical:
        return pd.Categorical.from_codes(codes[table.file[rows]], dtype=kind)

    def logger_of(series: np.ndarray) -> pandas.Categorical:
        return pd.Categorical.from_codes(logger_codes[series], categories=list(names))

    def named(columns: dict) -> dict:
        if not found.has_loggers():
            columns.pop("logger")
        return columns

    rows, numbers = block_rows(table, np.flatnonzero(found.checked))  # a row per block
    blocks = {"path": paths(rows), "block": numbers, "channel": table.channel[rows],
              "samples": table.present_samples[rows], "start": found.starts[rows], "end": found.ends[rows],
              "stuck_time": found.stuck_time[rows]}  # fmt: skip
    if found.has_loggers():
        blocks["logger"] = logger_of(found.series.codes[rows])
    blocks.update((name, found.stats[name][rows]) for name in BLOCK_FIELDS)
    blocks.update((name, found.flags[name][rows]) for name in FLAGS)
    gaps, overlaps = found.covered.gaps, found.covered.overlaps

    def stretch(series: np.ndarray, start: np.ndarray, length: np.ndarray) -> list:
        channel = np.array([c for _, c in keys], dtype=np.int64)[series]
        return [channel, logger_of(series), start, length, start / 1000]

    before, after = gaps.before, gaps.after
    gap_columns = [*stretch(gaps.series, gaps.start, gaps.length), paths(before), table.block[before], paths(after),
                   table.block[after]]  # fmt: skip
    involved = [[(table.paths[int(table.file[row])], int(table.block[row])) for row in overlaps.involved(i).tolist()]
                for i in range(len(overlaps.start))]  # fmt: skip
    overlap_columns = [*stretch(overlaps.series, overlaps.start, overlaps.length), pd.Series(involved, dtype=object)]
    late, early = found.out_of_order
    order = (table.channel[late], paths(late), table.block[late], found.starts[late], paths(early),
             table.block[early], found.starts[early])  # fmt: skip
    order_columns = dict(zip(ORDER_COLUMNS, order))
    if found.has_loggers():
        order_columns = {"channel": order[0], "logger": logger_of(found.series.codes[late]), **order_columns}
    apart = [(entry.path, entry.problem, entry.why) for entry in found.apart]
    block_columns = [name for name in (BLOCK_COLUMNS[0], "logger", *BLOCK_COLUMNS[1:]) if name in blocks]
    return Findings(
        pd.DataFrame({name: blocks[name] for name in block_columns}),
        pd.DataFrame(named(dict(zip(GAP_COLUMNS, gap_columns)))),
        pd.DataFrame(named(dict(zip(OVERLAP_COLUMNS, overlap_columns)))),
        pd.DataFrame(order_columns),
        pd.DataFrame(apart, columns=FILE_COLUMNS),
    )
