"""What the two pictures of `plot` share: whether matplotlib can write the
format that the output's name asks for, and whether a time axis can be
labelled with dates."""

from __future__ import annotations

import os

import numpy as np

from ._optional import require
from ._times import MAX_MILLIS, MIN_MILLIS, milliseconds
from ._words import display_name

# The axes extend this far beyond the data on each side (a share of its
# span); the dates there must still be in the calendar.
MARGIN = 0.1


class PlotError(Exception):
    """The file cannot be plotted as asked: no samples, or an output format
    that matplotlib cannot write."""


def in_calendar(low: float, high: float) -> bool:
    """True when a time axis from `low` to `high` seconds since the epoch,
    margins included, lies within the years 1 to 9999, which matplotlib's
    date axis can label."""
    pad = (high - low) * MARGIN + 86400.0
    ends = milliseconds(np.array([low - pad, high + pad]))
    return bool(ends[0] >= MIN_MILLIS and ends[1] <= MAX_MILLIS)


def check_output(output: str) -> None:
    """Raises PlotError when matplotlib cannot write the format that the
    name `output` asks for by its extension."""
    backend_bases = require("matplotlib.backend_bases")
    extension = os.path.splitext(output)[1][1:].lower()
    supported = backend_bases.FigureCanvasBase.get_supported_filetypes()
    if extension and extension not in supported:
        raise PlotError(
            f"cannot save a picture as {display_name(output)}: no format is named {extension!r}"
            f" (known: {', '.join(sorted(supported))})"
        )
