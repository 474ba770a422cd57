"""The CSV text of a wide table (`python3 -m quarvel table`), byte for byte.

The rules are written once, in the scalar functions column_name(),
time_text() and cell_text(), which another port (the page's JavaScript)
follows rule for rule. The text of many rows is assembled with numpy from
them: each distinct value of a column is formatted once (a calibrated
value is one of at most 65,536 per calibration), and the rows gathered
from those texts as bytes, so that no Python code runs per cell.

    header: "time," and the column names, then one row per grid tick;
    every line ends in CR LF (RFC 4180).
"""

from __future__ import annotations

import math

import numpy as np

from ._times import MAX_MILLIS, MIN_MILLIS

CRLF = b"\r\n"
# The kinds of a column's cells (see cell_text).
SAMPLE, FLOAT, INTEGER = "sample", "float", "integer"
# Rows formatted at once: the matrix of their bytes stays near this size.
ROW_BYTES = 1 << 23


def column_name(name: str) -> str:
    """Returns a column name as a CSV field: a name that starts with =, +,
    - or @ gets a leading ' (so that no spreadsheet takes it for a
    formula); then a name holding a comma, a double quote, CR or LF is put
    between double quotes, each double quote in it doubled (RFC 4180)."""
    if name[:1] in ("=", "+", "-", "@"):
        name = "'" + name
    if any(c in name for c in ',"\r\n'):
        name = '"' + name.replace('"', '""') + '"'
    return name


def time_text(tick: int, iso: bool = False) -> str:
    """Returns a grid tick (integer ms since 1970) as the time field: the
    seconds with three decimals, from integer arithmetic ("-0.500" for
    -500 ms); with `iso`, UTC as YYYY-MM-DDTHH:MM:SS.mmmZ (years 1 to
    9999 only: see iso_range_error)."""
    if iso:
        return str(np.datetime64(tick, "ms")) + "Z"
    sign = "-" if tick < 0 else ""
    whole, part = divmod(abs(tick), 1000)
    return f"{sign}{whole}.{part:03d}"


def cell_text(value: float | int | None, kind: str) -> str:
    """Returns the text of one cell: empty for no value (None); an INTEGER
    cell (a raw count, a count) as a decimal integer; a SAMPLE cell (a
    calibrated value, float32) or a FLOAT cell (linear, mean: float64) as
    C's printf "%f" of the value as a double, which is how the converter
    writes calData: "nan" or "-nan" by the NaN's sign bit, "inf" or "-inf",
    and six decimals, exactly rounded, for every finite value (a float32 is
    widened to double first, exactly)."""
    if value is None:
        return ""
    if kind == INTEGER:
        return str(int(value))
    value = float(value)
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%f" % value


def iso_range_error(first: int, last: int) -> str | None:
    """Returns why ticks from `first` to `last` cannot be written as ISO
    8601 times, or None when they can."""
    if first < MIN_MILLIS or last > MAX_MILLIS:
        return "ISO 8601 times are written for the years 1 to 9999 only (0001-01-01 to 9999-12-31 UTC)"
    return None


def header_bytes(names: list[str]) -> bytes:
    """Returns the header row: "time" and each column's name."""
    fields = ["time", *(column_name(name) for name in names)]
    return ",".join(fields).encode("utf-8", "surrogateescape") + CRLF


def rows_bytes(ticks: np.ndarray, columns: list[tuple[np.ndarray, np.ndarray | None, str]], iso: bool) -> bytes:
    """Returns the rows of the grid ticks `ticks` (int64): each column given
    as (its values, the mask of the cells that have one or None for all,
    its kind). Formats each distinct value of a column once, by cell_text,
    and gathers the rows' bytes a stretch of rows at a time."""
    tables = [_distinct(values, has, kind) for values, has, kind in columns]
    width = 24 + sum(table.shape[1] for table, _, _ in tables)
    step = max(1, ROW_BYTES // width)
    out = []
    for low in range(0, len(ticks), step):
        high = min(low + step, len(ticks))
        fields = [_times(ticks[low:high], iso)]
        fields += [(table[codes[low:high]], None, lengths[codes[low:high]]) for table, lengths, codes in tables]
        fields.append((np.frombuffer(CRLF, dtype=np.uint8)[None, :].repeat(high - low, 0), None, None))
        out.append(_joined(fields))
    return b"".join(out)


def _joined(fields: list[tuple[np.ndarray, np.ndarray | None, np.ndarray | None]]) -> bytes:
    """Returns the rows of `fields`, each a matrix of a text per row (padded
    at both ends) with, per row, where its text starts and ends (None: at
    the matrix's own start and end)."""
    matrix = np.concatenate([texts for texts, _, _ in fields], axis=1)
    keep = []
    for texts, start, stop in fields:
        columns = np.arange(texts.shape[1])
        inside = np.ones(texts.shape, dtype=bool)
        if start is not None:
            inside &= columns >= start[:, None]
        if stop is not None:
            inside &= columns < stop[:, None]
        keep.append(inside)
    return matrix[np.concatenate(keep, axis=1)].tobytes()


def _distinct(values: np.ndarray, has: np.ndarray | None, kind: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Returns the texts ","+cell_text of a column's distinct values, as a
    matrix (a padded row each) with their lengths, and per cell the row of
    its text: each value formatted once, told apart by its bits (so that
    NaNs of both signs, and both zeros, stay apart). Row 0 is a cell
    without a value."""
    if kind == INTEGER:
        keys = values.astype(np.int64)
    else:
        keys = values.view(np.uint32 if values.dtype == np.float32 else np.uint64)
    distinct, codes = np.unique(keys if has is None else keys[has], return_inverse=True)
    view = distinct if kind == INTEGER else distinct.view(values.dtype)
    texts = [","] + ["," + cell_text(value, kind) for value in view.tolist()]
    lengths = np.array([len(text) for text in texts], dtype=np.int64)
    width = int(lengths.max())
    padded = "".join(text.ljust(width) for text in texts).encode("ascii")
    table = np.frombuffer(padded, dtype=np.uint8).reshape(len(texts), width)
    if has is None:
        return table, lengths, codes + 1
    every = np.zeros(len(values), dtype=np.int64)
    every[has] = codes + 1
    return table, lengths, every


def _times(ticks: np.ndarray, iso: bool) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None]:
    """Returns the time fields of `ticks` as time_text() writes them: a
    matrix of the sign's place, the whole seconds' digits, "." and the ms,
    and where each row's text starts (past the leading zeros)."""
    n = len(ticks)
    if iso:
        texts = np.datetime_as_string(ticks.astype("datetime64[ms]"), unit="ms").astype("S23")
        matrix = np.frombuffer(texts.tobytes(), dtype=np.uint8).reshape(n, 23)
        return np.concatenate([matrix, np.full((n, 1), ord("Z"), dtype=np.uint8)], axis=1), None, None
    whole, part = np.divmod(np.abs(ticks), 1000)
    digits = len(str(int(whole.max()))) if n else 1
    matrix = np.empty((n, digits + 5), dtype=np.uint8)
    left = whole.copy()
    for column in range(digits, 0, -1):  # the whole seconds, right-aligned, leading zeros and all
        left, matrix[:, column] = np.divmod(left, 10)
    matrix[:, 1 : digits + 1] += ord("0")
    matrix[:, digits + 1] = ord(".")
    for column, power in enumerate((100, 10, 1), start=digits + 2):
        matrix[:, column] = part // power % 10 + ord("0")
    shown = np.maximum(np.searchsorted(10 ** np.arange(digits, dtype=np.int64), whole, side="right"), 1)
    negative = ticks < 0
    start = digits + 1 - shown - negative  # a time before 1970 starts with its sign, before its first digit
    matrix[np.flatnonzero(negative), start[negative]] = ord("-")
    return matrix, start, None
