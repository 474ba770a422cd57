"""`python3 -m quarvel plot`: a quick look at a logger file with matplotlib."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ._figure import PlotError, in_calendar, picture_target, save
from ._optional import require
from ._output import Output, OutputError  # noqa: F401 - raised here, and named quarvel.plot.OutputError
from ._reader import Block, open as open_log
from ._scan import expand_paths
from ._times import milliseconds
from ._words import display_name

# Above this many samples a channel is drawn as the minimum and maximum of
# each of this many pieces: the envelope that a plot of every sample shows,
# without drawing millions of points.
MAX_POINTS = 20_000


def envelope(times: np.ndarray, values: np.ndarray, limit: int = MAX_POINTS) -> tuple[np.ndarray, np.ndarray]:
    """Returns at most 2 × `limit` points that keep the minimum and maximum
    of every stretch of `values`, in time order."""
    if len(values) <= 2 * limit:
        return times, values
    width = -(-len(values) // limit)
    pieces = -(-len(values) // width)
    padded = np.full(pieces * width, np.nan, dtype=np.float64)
    padded[: len(values)] = values
    rows = padded.reshape(pieces, width)
    with np.errstate(all="ignore"):
        low = np.fmin.reduce(rows, axis=1)
        high = np.fmax.reduce(rows, axis=1)
    starts = times[::width]
    return np.repeat(starts, 2), np.column_stack([low, high]).ravel()


def channel_lines(blocks: list[Block], dates: bool = True) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """Returns per channel the times (UTC datetime64[ms], or seconds since
    the epoch when `dates` is false) and values of its blocks in file
    order, with a NaN between blocks so that the line breaks there."""
    parts: dict[int, list[tuple[np.ndarray, np.ndarray]]] = {}
    for block in blocks:
        if len(block) == 0:
            continue
        times = block.datetimes() if dates else block.times()
        times, values = envelope(times, block.values().astype(np.float64))
        line = parts.setdefault(block.channel, [])
        if line:  # the break: one point without a value
            line.append((times[:1], np.array([np.nan])))
        line.append((times, values))
    return {
        channel: (np.concatenate([t for t, _ in line]), np.concatenate([v for _, v in line]))
        for channel, line in parts.items()
    }


def plot_file(path: str, output: str | None = None) -> Any:
    """Draws the calibrated values of the logger file at `path` (or the one
    file that a glob pattern matches, expanded as quarvel.index expands
    one) against UTC time, one line per channel (against seconds since the
    epoch when the times lie outside the years 1 to 9999). Saves the figure
    to `output` when given (through _output: never over the log), else
    shows it. Returns the matplotlib figure. Raises PlotError when the file
    holds no sample, the pattern matches several files, or `output` names
    a format matplotlib cannot write; OutputError when `output` is the log
    (or a folder) or cannot be written; OSError when the file cannot be
    read, NoMatchError (a FileNotFoundError) when the pattern matches
    nothing."""
    matplotlib = require("matplotlib")
    if output is not None:
        output, extension = picture_target(output)
    paths = expand_paths(path)
    if len(paths) != 1:
        raise PlotError(
            f"{display_name(os.fsdecode(path))} matches {len(paths):,} files, and plot draws one:"
            " give one, or draw the blocks of them all with plot --coverage"
        )
    path = paths[0]
    if output is not None:
        Output(output).prepare([path])  # before the log is read
        matplotlib.use("Agg")  # no window needed to write a file
    plt = require("matplotlib.pyplot")
    with open_log(path) as log:
        lines = channel_lines(log.blocks, dates=False)
    if not lines:
        raise PlotError(f"{display_name(os.fsdecode(path))} holds no samples to plot")
    low = min(float(times.min()) for times, _ in lines.values())
    high = max(float(times.max()) for times, _ in lines.values())
    dates = in_calendar(low, high)
    if dates:
        lines = {channel: (milliseconds(t).view("datetime64[ms]"), v) for channel, (t, v) in lines.items()}
    figure, axes = plt.subplots(figsize=(8, 3.5), dpi=100, layout="constrained")
    for channel in sorted(lines):
        times, values = lines[channel]
        axes.plot(times, values, linewidth=1, label=f"channel {channel}")
    axes.set_title(display_name(os.path.basename(os.fsdecode(path))), parse_math=False)
    axes.set_ylabel("calibrated value")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="best")
    if dates:
        axes.set_xlabel("time (UTC)")
        locator = require("matplotlib.dates").AutoDateLocator()
        axes.xaxis.set_major_locator(locator)
        axes.xaxis.set_major_formatter(require("matplotlib.dates").ConciseDateFormatter(locator))
    else:
        axes.set_xlabel("time (s since 1970-01-01 00:00 UTC)")
    if output is not None:
        save(figure, output, extension)
    else:
        plt.show()
    return figure
