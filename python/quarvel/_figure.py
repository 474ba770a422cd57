"""What the two pictures of `plot` share: the file and format that the
output's name asks for (and whether matplotlib can write it), saving a
picture there, and whether a time axis can be labelled with dates."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ._optional import require
from ._output import Output
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


def picture_target(output: str) -> tuple[str, str]:
    """Returns the file that matplotlib writes for the name `output`, and
    its format: `output` itself and the format its extension names, or,
    without an extension, `output` with the default one (png) added, as
    matplotlib adds it. Raises PlotError when matplotlib cannot write the
    format."""
    matplotlib = require("matplotlib")
    backend_bases = require("matplotlib.backend_bases")
    extension = os.path.splitext(output)[1][1:].lower()
    if not extension:
        extension = str(matplotlib.rcParams["savefig.format"]).lower()
        output = f"{output.rstrip('.')}.{extension}"
    supported = backend_bases.FigureCanvasBase.get_supported_filetypes()
    if extension not in supported:
        raise PlotError(
            f"cannot save a picture as {display_name(output)}: no format is named {extension!r}"
            f" (known: {', '.join(sorted(supported))})"
        )
    return output, extension


def save(figure: Any, output: str, extension: str) -> None:
    """Writes `figure` into the file `output` in the format `extension`,
    through _output: the picture takes the file's place once it is whole."""
    with Output(output).writing() as partial:
        figure.savefig(partial, format=extension)
