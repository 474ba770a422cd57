"""The picture of what many logs recorded, from their block headers alone,
which `plot --coverage` draws and check's HTML report holds. A row per
series (a channel of a logger), time across, a bar where blocks have samples, gaps left open,
blocks cut short in a colour of their own (and, for `check`, blocks whose
readings are flagged in another); under it, the files that could not be
read and those that are probably not logger files, which are not drawn.

numpy places every block, and shades each stretch of the time axis by
the share of it that a series' blocks cover: matplotlib draws at most a
bar per stretch and series, whatever the number of logs. Its gaps and
overlaps are those of the one rule (_gaps)."""

from __future__ import annotations

import textwrap
from typing import Any

import numpy as np

from ._figure import in_calendar
from ._index import BlockTable, probably_not_logs, series_covered
from ._loggers import NoLoggerError, series_of
from ._optional import require
from ._ticks import end_ticks, start_ticks
from ._words import counted, display_name, failure, listed, several_loggers_text

# Recorded time, from the lightest shade (a little of a stretch of the
# time axis) to the darkest (all of it); blocks cut short.
LIGHT, DARK = (0.74, 0.84, 0.93), (0.03, 0.29, 0.58)
SHADES = 6
CUT = "#f08c00"
CUT_HATCH = "#8a3c00"
FLAGGED = "#8e44ad"
# Stretches of the time axis: each is drawn in the shade of the share of it
# that a channel's blocks cover, so that a block of a second on an axis of
# years still shows, and many short blocks show as what they are.
BINS = 800
BAR_HEIGHT = 0.7  # of a row
ROW_INCHES = 0.3
MAX_ROWS = 2000  # series drawn, at most
MAX_ROWS_INCHES = 24.0  # many channels get thinner rows
LABELLED_ROWS = 40  # more rows are labelled every so many
LISTED = 8  # files listed under the picture, of each kind
LONGEST_NAME = 90  # characters of a name shown there


class Coverage:
    """The block headers of many files: `table` holds those of the files
    whose headers could be read, `failed` each file or pattern that could
    not be read, with its error (in operand order), `strange` per file of
    the table whether it is probably not a logger file, `unread` whether
    its samples could not be read (it is among `failed`), and `cut`
    whether it cuts a block short; `flagged` per block of the table whether
    its readings are flagged (None: not known), `tolerance` that of the
    gaps and overlaps counted (None: the one rule's thresholds, see _gaps),
    and `loggers` the logger of each file of the table (None: one logger).
    Strange and unread files are not drawn."""

    __slots__ = ("table", "failed", "strange", "unread", "cut", "flagged", "tolerance", "loggers")

    table: BlockTable
    failed: list[tuple[str, Exception]]
    strange: np.ndarray
    unread: np.ndarray
    cut: np.ndarray
    flagged: np.ndarray | None
    tolerance: float | None
    loggers: list[str] | None


def coverage_of(
    table: BlockTable,
    failed: list[tuple[str, Exception]],
    flagged: np.ndarray | None = None,
    tolerance: float | None = None,
    unread: np.ndarray | None = None,
    loggers: list[str] | None = None,
) -> Coverage:
    """Returns the Coverage of the headers `table`, with the files `failed`
    that could not be read, of which those of the table are `unread` (per
    file of the table; None: none), and the logger of each file of the
    table (None: one logger)."""
    found = Coverage()
    found.table = table
    found.failed = failed
    found.strange = probably_not_logs(table)
    found.unread = np.zeros(len(table.paths), dtype=bool) if unread is None else unread
    found.cut = np.zeros(len(table.paths), dtype=bool)
    found.cut[table.file[table.truncated()]] = True
    found.flagged = flagged
    found.tolerance = tolerance
    found.loggers = loggers
    return found


class Layout:
    """What the picture shows: the name of each of its rows (a series: of
    every series, the first MAX_ROWS); per bar its row, start and end in
    seconds since the epoch, whether it is a cut block and whether it is
    flagged; the counts of its title; and the series (logger, channel)
    whose blocks look like several loggers'."""

    __slots__ = (
        "labels", "loggers", "row", "start", "end", "cut", "flagged", "files", "blocks", "gaps", "overlaps",
        "cut_files", "several",
    )  # fmt: skip


def layout(found: Coverage) -> Layout:
    """Returns the bars of every block with samples, and of every block cut
    short, of the files drawn (neither strange nor unread), a row per
    series. A block covers its series from its first sample's tick to its
    last sample's tick plus one period, and the gaps and overlaps are
    those of the one rule across files (series_covered, as info finds them
    within a file)."""
    table = found.table
    drawn_files = ~(found.strange | found.unread)
    rows = np.flatnonzero(drawn_files[table.file])
    series = series_of(found.loggers, table.file[rows], table.channel[rows])
    covered = series_covered(table, rows, series.codes, found.tolerance)
    shown = Layout()
    shown.labels = [display_name(label) for label in series.column_names()]
    shown.loggers = None if found.loggers is None else len({logger for logger, _ in series.keys})
    row = series.codes
    present = table.present_samples[rows] > 0
    cut = table.truncated()[rows]
    first = table.first_time[rows]
    start = start_ticks(first) / 1000
    stop = np.where(present, end_ticks(first, table.period_ms[rows], table.present_samples[rows]) / 1000, start)
    drawn = (present | cut) & (row < MAX_ROWS)  # a cut block without samples is marked where it starts
    shown.row = row[drawn]
    shown.start = np.minimum(start, stop)[drawn]  # a period of 2^31 ms or more runs backwards
    shown.end = np.maximum(start, stop)[drawn]
    shown.cut = cut[drawn]
    shown.flagged = np.zeros(len(shown.row), dtype=bool) if found.flagged is None else found.flagged[rows][drawn]
    shown.files = int(np.count_nonzero(drawn_files))
    shown.blocks = int(table.repeats[rows].sum())  # a row may be a run of blocks
    shown.gaps, shown.overlaps = len(covered.gaps.start), len(covered.overlaps.start)
    spans = covered.spans
    shown.several = [series.keys[s] for s in spans.series[spans.like_several_loggers()].tolist()]
    shown.cut_files = int(np.count_nonzero(found.cut & drawn_files))
    return shown


def shade_runs(row: np.ndarray, start: np.ndarray, end: np.ndarray, rows: int, bins: int) -> tuple[np.ndarray, ...]:
    """Returns, for bars in `rows` rows whose `start` and `end` are
    measured in stretches of the axis (0 to `bins`), the runs of stretches
    of one row and one shade: their row, first stretch, stretch after the
    last, and shade, from 1 (a stretch that bars touch) to SHADES (bars
    cover it all; overlapping bars count once each)."""
    start, end = np.clip(start, 0, bins), np.clip(end, 0, bins)
    first = np.minimum(start.astype(np.int64), bins - 1)
    last = np.minimum(end.astype(np.int64), bins - 1)
    one = first == last
    size = rows * bins
    at_first, at_last = row * bins + first, row * bins + last
    # The stretches at either end in part, those between whole.
    share = np.bincount(at_first, np.where(one, np.maximum(end - start, 1e-9), first + 1 - start), size)
    share += np.bincount(at_last[~one], (end - last)[~one], size)
    between = ~one & (last > first + 1)
    whole = np.bincount(at_first[between] + 1, minlength=size + 1) - np.bincount(at_last[between], minlength=size + 1)
    share += np.cumsum(whole)[:size]
    shade = np.ceil(np.minimum(share, 1.0) * SHADES).astype(np.int64)
    change = np.ones(size, dtype=bool)
    change[1:] = shade[1:] != shade[:-1]
    change[::bins] = True
    runs = np.flatnonzero(change)
    stops = np.append(runs[1:], size)
    runs, stops = runs[shade[runs] > 0], stops[shade[runs] > 0]
    return runs // bins, runs % bins, runs % bins + (stops - runs), shade[runs]


def join_bars(row: np.ndarray, start: np.ndarray, end: np.ndarray, width: float) -> tuple[np.ndarray, ...]:
    """Returns the bars (row, start, end) joined where they overlap or lie
    less than `width` apart in one row, each at least `width` long, in
    order of row and start."""
    if len(row) == 0:
        return row, start, end
    order = np.lexsort((start, row))
    row, start = row[order], start[order]
    end = np.maximum(end[order], start + width)
    base = start[0]
    # Each row is moved past the one before, so that one running maximum
    # of the ends serves every row.
    lane = row * (float(end.max() - start.min()) + 4 * width)
    reach = np.maximum.accumulate(end - base + lane)
    first = np.ones(len(row), dtype=bool)
    first[1:] = (row[1:] != row[:-1]) | (start[1:] - base + lane[1:] > reach[:-1] + width)
    firsts = np.flatnonzero(first)
    lasts = np.append(firsts[1:], len(row)) - 1
    return row[firsts], start[firsts], reach[lasts] - lane[firsts] + base


def title(shown: Layout, found: Coverage) -> str:
    """The picture's title: what it shows, and what it leaves out."""
    channels = counted(len(shown.labels), "channel")
    if len(shown.labels) > MAX_ROWS:
        channels += f" (the first {MAX_ROWS:,} drawn)"
    loggers = [] if shown.loggers is None else [counted(shown.loggers, "logger")]
    counts = [counted(shown.files, "file"), *loggers, channels, counted(shown.blocks, "block")]
    text = f"{', '.join(counts)}; {counted(shown.gaps, 'gap')}, {counted(shown.overlaps, 'overlap')}"
    text += f"; {counted(shown.cut_files, 'file')} cut short"
    left = []
    if found.strange.any():
        strange = int(np.count_nonzero(found.strange))
        left.append(counted(strange, "probably not a logger file", "probably not logger files"))
    unnamed = sum(isinstance(error, NoLoggerError) for _, error in found.failed)
    if len(found.failed) > unnamed:
        left.append(f"{len(found.failed) - unnamed:,} that could not be read")
    if unnamed:
        left.append(f"{unnamed:,} without a logger by the expression")
    if left:
        text += "\nnot drawn: " + listed(left) + " (listed below)"
    return text


def notes(found: Coverage, shown: Layout) -> list[str]:
    """The lines under the picture: the series that look like several
    loggers', and the files left out, LISTED of each kind."""
    lines = []
    if shown.several:  # a long sentence, on lines as long as a file's
        lines = textwrap.wrap(several_loggers_text(shown.several), LONGEST_NAME + 5, break_on_hyphens=False)
    strange = [found.table.paths[i] for i in np.flatnonzero(found.strange)[:LISTED].tolist()]
    lines += [f"probably not a logger file: {_short(display_name(path))}" for path in strange]
    more = int(np.count_nonzero(found.strange)) - LISTED
    if more > 0:
        lines.append(f"... and {more:,} more probably not logger files")
    lines += [_short(failure(path, error)) for path, error in found.failed[:LISTED]]
    more = len(found.failed) - LISTED
    if more > 0:
        lines.append(f"... and {more:,} more that could not be read")
    return lines


def _short(text: str) -> str:
    if len(text) <= LONGEST_NAME:
        return text
    half = (LONGEST_NAME - 3) // 2
    return text[:half] + "..." + text[-half:]


def _shade_colours() -> np.ndarray:
    """The colour of each shade, 1 to SHADES, as RGB rows (row 0 unused)."""
    mix = np.linspace(0.0, 1.0, SHADES)[:, None]
    return np.vstack([np.ones(3), (1 - mix) * LIGHT + mix * DARK])


def picture(found: Coverage) -> Any:
    """Returns the matplotlib figure of the coverage `found`."""
    plt = require("matplotlib.pyplot")
    shown = layout(found)
    lines = notes(found, shown)
    rows = min(max(len(shown.labels), 1), MAX_ROWS)
    bars_inches = min(max(rows * ROW_INCHES, 1.2), MAX_ROWS_INCHES) + 1.0
    notes_inches = 0.25 + 0.18 * max(len(lines), 3)
    figure, (axes, under) = plt.subplots(
        2,
        1,
        figsize=(10, bars_inches + notes_inches),
        dpi=100,
        layout="constrained",
        gridspec_kw={"height_ratios": [bars_inches, notes_inches]},
    )
    _draw_bars(axes, shown, rows)
    axes.set_ylim(rows - 0.5, -0.5)
    ticks = np.arange(0, min(len(shown.labels), rows), -(-rows // LABELLED_ROWS))
    axes.set_yticks(ticks, [shown.labels[t] for t in ticks.tolist()])
    axes.tick_params(axis="y", length=0)
    axes.grid(True, axis="x", alpha=0.3)
    axes.set_title(title(shown, found), parse_math=False, fontsize=10)
    under.axis("off")
    under.text(0, 1, "\n".join(lines), va="top", ha="left", fontsize=9, parse_math=False, transform=under.transAxes)
    patches = require("matplotlib.patches")
    colours = _shade_colours()
    legend = [
        patches.Patch(facecolor=colours[-1], label="recorded"),
        patches.Patch(facecolor=colours[1], label="recorded in part of the time (lighter: less)"),
        patches.Patch(facecolor=CUT, edgecolor=CUT_HATCH, hatch="////", label="cut short: fewer samples than declared"),
    ]
    if found.flagged is not None:
        legend.append(patches.Patch(facecolor=FLAGGED, label="readings clipped, stuck or dead"))
    under.legend(handles=legend, loc="upper right", frameon=False, fontsize=9)
    return figure


def _draw_bars(axes: Any, shown: Layout, rows: int) -> None:
    """Draws the bars on `axes`, against UTC dates where the calendar has
    them, else against seconds since the epoch."""
    if len(shown.row) == 0:
        axes.text(0.5, 0.5, "no block with samples", ha="center", va="center", transform=axes.transAxes)
        axes.set_xticks([])
        return
    low, high = float(shown.start.min()), float(shown.end.max())
    pad = max(high - low, 1.0) * 0.02
    low, high = low - pad, high + pad
    width = (high - low) / BINS
    dates = in_calendar(low, high)
    scale, shift = 1.0, 0.0
    if dates:  # matplotlib's dates count days, from its epoch
        mdates = require("matplotlib.dates")
        scale, shift = 1 / 86400, float(mdates.date2num(np.datetime64(0, "s")))
    collections = require("matplotlib.collections")
    whole = ~shown.cut
    row, first, after, shade = shade_runs(
        shown.row[whole], (shown.start[whole] - low) / width, (shown.end[whole] - low) / width, rows, BINS
    )
    colours = _shade_colours()[shade]
    x0, x1 = (low + first * width) * scale + shift, (low + after * width) * scale + shift
    axes.add_collection(collections.PolyCollection(_corners(row, x0, x1), facecolors=colours, edgecolors="none"))
    row, start, end = join_bars(shown.row[shown.flagged], shown.start[shown.flagged], shown.end[shown.flagged], width)
    flagged = _corners(row, start * scale + shift, end * scale + shift)
    axes.add_collection(collections.PolyCollection(flagged, facecolors=FLAGGED, edgecolors="none"))
    row, start, end = join_bars(shown.row[~whole], shown.start[~whole], shown.end[~whole], width)
    cut = collections.PolyCollection(
        _corners(row, start * scale + shift, end * scale + shift), facecolors=CUT, edgecolors=CUT_HATCH, hatch="////"
    )
    cut.set_linewidth(0)
    axes.add_collection(cut)
    axes.set_xlim(low * scale + shift, high * scale + shift)
    if dates:
        locator = mdates.AutoDateLocator()
        axes.xaxis_date()
        axes.xaxis.set_major_locator(locator)
        axes.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        axes.set_xlabel("time (UTC)")
    else:
        axes.set_xlabel("time (s since 1970-01-01 00:00 UTC)")


def _corners(row: np.ndarray, x0: np.ndarray, x1: np.ndarray) -> np.ndarray:
    """The corners of the bars from `x0` to `x1` in rows `row`."""
    y0, y1 = row - BAR_HEIGHT / 2, row + BAR_HEIGHT / 2
    return np.stack([np.stack(corner, 1) for corner in ((x0, y0), (x0, y1), (x1, y1), (x1, y0))], 1)
