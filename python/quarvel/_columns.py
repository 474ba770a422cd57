"""The columns that the package gives, in one place: their names, types and
long names, for the block index (quarvel.index), the per-sample columns
(LogFile.to_dataframe, the Dask frame, the xarray variables) and the
variables of an export. Every other module takes them from here."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np


class Column(NamedTuple):
    """A column: its name, the type of its values, and its long name (the
    attribute that xarray and an export give its variable)."""

    name: str
    dtype: np.dtype | type
    long_name: str


def _column(name: str, kind: type | str, long_name: str) -> Column:
    return Column(name, np.dtype(kind), long_name)


def _by_name(*columns: Column) -> dict[str, Column]:
    return {column.name: column for column in columns}


# A block header's fields in file order, as the file stores them:
# big-endian, and the calibrations as the bits of binary32, so that a NaN's
# payload survives.
HEADER_DTYPE = np.dtype(
    [
        ("channel", ">i4"),
        ("period_ms", ">u4"),
        ("first_time", ">i4"),
        ("declared_samples", ">i4"),
        ("gain", ">u4"),
        ("offset", ">u4"),
    ]
)
HEADER_FIELDS: tuple[str, ...] = HEADER_DTYPE.names

# The columns of a block in the index (a BlockTable's, and those of
# quarvel.index() after `path`), in their order.
BLOCK_COLUMNS = _by_name(
    _column("block", np.int64, "the block's position in its file"),
    _column("data_offset", np.int64, "byte offset of the block's first sample in its file"),
    _column("channel", np.int32, "ADC channel"),
    _column("period_ms", np.uint32, "sample period in ms, as stored"),
    _column("first_time", np.int32, "first sample's time, in seconds since 1970-01-01 00:00:00 UTC"),
    _column("declared_samples", np.int32, "sample count the block header declares"),
    _column("present_samples", np.int64, "samples the file holds"),
    _column("gain", np.float32, "calibration gain"),
    _column("offset", np.float32, "calibration offset"),
)
# quarvel.index()'s columns in their order: the block's file (categorical),
# its columns, and what is computed from them: the time stamps of its first
# and last sample as the converter sums them, and its exact start and end
# in ticks. With a rule of loggers, `logger` follows `path`.
INDEX_COLUMNS = ("path", *BLOCK_COLUMNS, "truncated", "start", "end", "start_tick", "end_tick")

# The per-sample columns in their order (LogFile.to_dataframe()'s, the Dask
# frame's after `path`, and the xarray engine's variables): `block`, the
# converter's record fields, and after its time stamp each sample's tick.
# Each of them that repeats a field of its block, which REPEATS names,
# takes that field's type and long name.
REPEATS = {
    "block": "block",
    "adcChan": "channel",
    "samplePeriod": "period_ms",
    "totalSamples": "declared_samples",
    "calGain": "gain",
    "calOffset": "offset",
}
TIME = _column("time", np.float64, "time stamp, in seconds since 1970-01-01 00:00:00 UTC, as the converter sums them")
TICK = _column("tick", np.int64, "exact time of the sample, in integer milliseconds since 1970-01-01 00:00:00 UTC")
# The CF units of an export's ticks, which xarray decodes to dates.
TICK_UNITS = "milliseconds since 1970-01-01 00:00:00"
RAW_COUNTS = _column("rawCounts", np.int16, "raw ADC count")
SAMPLE_COLUMNS = _by_name(
    BLOCK_COLUMNS["block"],
    TIME,
    TICK,
    *(BLOCK_COLUMNS[REPEATS[name]]._replace(name=name) for name in REPEATS if name != "block"),
    RAW_COUNTS,
    _column("calData", np.float32, "calibrated value: rawCounts * calGain + calOffset, as the converter computes it"),
)
# Each sample's file: a categorical column of the Dask frame, an xarray
# coordinate of str (or bytes, as given).
PATH = _column("path", object, "the sample's file, as given or as the pattern expanded it")
# Each sample's logger, by the rule given (only with one): a categorical
# column, an xarray coordinate of str.
LOGGER = _column("logger", object, "the logger that wrote the sample's file, by the rule given")

# An export stores the fields of a block once, in a table along the
# dimension `block`, rather than once per sample: there they keep the
# index's names (gain, not calGain), of which calData's long name speaks.
# As `block` names that dimension, a block's position in its file is
# block_in_file, and a sample's block is sample_block: the block's row
# along the dimension, not its position in its file.
EXPORT_SAMPLES = _by_name(
    TIME,
    TICK,
    _column("calData", np.float32, "calibrated value: rawCounts * gain + offset, as the converter computes it"),
    RAW_COUNTS,
    _column("sample_block", np.int32, "the row along the block dimension of the sample's block"),
)
EXPORT_BLOCKS = _by_name(
    _column("block_file", np.int32, "the row along the file dimension of the block's file"),
    BLOCK_COLUMNS["block"]._replace(name="block_in_file"),
    *(BLOCK_COLUMNS[name] for name in ("channel", "period_ms", "first_time", "declared_samples")),
    *(BLOCK_COLUMNS[name] for name in ("present_samples", "gain", "offset")),
    BLOCK_COLUMNS["data_offset"],
    _column("first_sample", np.int64, "the row along the sample dimension of the block's first sample"),
)
EXPORT_FILES = _by_name(
    Column("path", str, "the log's path, as given"),
    _column("file_size", np.int64, "the log's size in bytes"),
)
# With a rule of loggers, each file's logger.
EXPORT_LOGGER = Column("logger", str, "the logger that wrote the log, by the rule given")
