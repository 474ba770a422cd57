"""Blocks as pandas DataFrames, with the converter's field names as columns."""

from __future__ import annotations

from typing import TYPE_CHECKING, Sequence

import numpy as np

from ._optional import require
from ._samples import calibrate

if TYPE_CHECKING:
    import pandas

    from ._reader import Block

# The converter's record fields in their order, with the type each holds.
COLUMNS = (
    ("time", np.float64),
    ("adcChan", np.int32),
    ("samplePeriod", np.uint32),
    ("totalSamples", np.int32),
    ("calGain", np.float32),
    ("calOffset", np.float32),
    ("rawCounts", np.int16),
    ("calData", np.float32),
)


def blocks_frame(blocks: Sequence[Block]) -> pandas.DataFrame:
    """Returns one DataFrame of the selected samples of `blocks`: a row per
    sample, the column ``block`` (the block's index in its file) and then
    the converter's fields."""
    pd = require("pandas")
    lengths = [len(block) for block in blocks]
    total = sum(lengths)
    columns = {"block": np.empty(total, dtype=np.int64)}
    columns.update((name, np.empty(total, dtype=dtype)) for name, dtype in COLUMNS)
    start = 0
    for block, length in zip(blocks, lengths):
        part = slice(start, start + length)
        columns["block"][part] = block.index
        columns["time"][part] = block.times()
        columns["adcChan"][part] = block.channel
        columns["samplePeriod"][part] = block.period_ms
        columns["totalSamples"][part] = block.declared_samples
        columns["calGain"][part] = block.gain
        columns["calOffset"][part] = block.offset
        raw = block.raw  # read once, for both columns
        columns["rawCounts"][part] = raw
        columns["calData"][part] = calibrate(raw, float(block.gain), float(block.offset))
        start += length
    return pd.DataFrame(columns, copy=False)
