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
from typing import Iterator

import numpy as np

from ._times import MAX_MILLIS, MIN_MILLIS

CRLF = b"\r\n"
# The kinds of a column's cells (see cell_text).
SAMPLE, FLOAT, INTEGER = "sample", "float", "integer"
# Rows formatted at once: the matrix of their bytes stays near this size.
ROW_BYTES = 1 << 22


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
    its kind). Spells each distinct value of a column once, as cell_text
    does."""
    return b"".join(row_stretches(ticks, columns, iso))


def row_stretches(
    ticks: np.ndarray, columns: list[tuple[np.ndarray, np.ndarray | None, str]], iso: bool
) -> Iterator[bytes]:
    """Yields the bytes of rows_bytes() a stretch of rows at a time (about
    ROW_BYTES each), so that a writer need not hold them all."""
    tables = [_distinct(values, has, kind) for values, has, kind in columns]
    width = 24 + sum(table.shape[1] for table, _, _ in tables)
    step = max(1, ROW_BYTES // width)
    for low in range(0, len(ticks), step):
        high = min(low + step, len(ticks))
        fields = [_times(ticks[low:high], iso)]
        fields += [(table[codes[low:high]], starts[codes[low:high]]) for table, starts, codes in tables]
        fields.append((np.frombuffer(CRLF, dtype=np.uint8)[None, :].repeat(high - low, 0), None))
        yield _joined(fields)


def _joined(fields: list[tuple[np.ndarray, np.ndarray | None]]) -> bytes:
    """Returns the rows of `fields`, each a matrix of a text per row,
    right-aligned, with, per row, where its text starts (None: at the
    matrix's start)."""
    matrix = np.concatenate([texts for texts, _ in fields], axis=1)
    keep = np.concatenate([np.ones(texts.shape, dtype=bool) if start is None else
                           np.arange(texts.shape[1]) >= start[:, None] for texts, start in fields], axis=1)  # fmt: skip
    return matrix[keep].tobytes()


def _distinct(values: np.ndarray, has: np.ndarray | None, kind: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Returns the texts ","+cell_text of a column's distinct values (told
    apart by their bits, so that NaNs of both signs, and both zeros, stay
    apart), right-aligned in a matrix, where each starts, and per cell the
    row of its text; row 0 is a cell without a value."""
    if kind == INTEGER:
        keys = values.astype(np.int64)
    else:
        keys = values.view(np.uint32 if values.dtype == np.float32 else np.uint64)
    distinct, codes = np.unique(keys if has is None else keys[has], return_inverse=True)
    codes = codes.astype(np.int32) + 1  # fewer distinct values than cells
    table, starts = _texts(distinct if kind == INTEGER else distinct.view(values.dtype), kind)
    if has is not None:
        every = np.zeros(len(values), dtype=np.int32)
        every[has] = codes
        codes = every
    return table, starts, codes


def _texts(values: np.ndarray, kind: str) -> tuple[np.ndarray, np.ndarray]:
    """Returns ","+cell_text of no value (first) and of each of `values`,
    right-aligned in a matrix, and where each starts. Integers, and the
    finite float32 values below 9·10^12 (whose product with 10^6 is exact
    in float64, so that np.rint rounds it to six decimals as printf does),
    are spelled by numpy; the others by cell_text, one by one."""
    if kind == INTEGER:
        spelled = np.ones(len(values), dtype=bool)
        whole, part, decimals = np.abs(values), None, 0
    else:
        with np.errstate(invalid="ignore"):  # a signalling NaN, widened
            wide = values.astype(np.float64)
        spelled = (values.dtype == np.float32) & np.isfinite(wide) & (np.abs(wide) < 9e12)
        scaled = np.rint(np.abs(np.where(spelled, wide, 0.0)) * 1e6).astype(np.int64)
        (whole, part), decimals = np.divmod(scaled, 1_000_000), 6
    negative = np.signbit(values) if kind != INTEGER else values < 0
    matrix, starts = _numbers(whole, part, decimals, negative, b",")
    others = [","] + ["," + cell_text(value, kind) for value in values[~spelled].tolist()]
    width = max(matrix.shape[1], max(len(text) for text in others))
    table = np.zeros((len(values) + 1, width), dtype=np.uint8)
    table[1:, width - matrix.shape[1] :] = matrix
    starts = np.concatenate([[width - 1], starts + width - matrix.shape[1]])
    rows = np.concatenate([[0], np.flatnonzero(~spelled) + 1])
    for row, text in zip(rows.tolist(), others):
        table[row, width - len(text) :] = np.frombuffer(text.encode("ascii"), dtype=np.uint8)
        starts[row] = width - len(text)
    return table, starts


def _numbers(
    whole: np.ndarray, part: np.ndarray | None, decimals: int, negative: np.ndarray, prefix: bytes
) -> tuple[np.ndarray, np.ndarray]:
    """Returns `prefix`, a minus sign where `negative`, the digits of `whole`
    (at least one) and, with `decimals`, a point and `part` in that many
    digits, of each number: right-aligned in a matrix, and where each
    starts."""
    count = len(whole)
    digits = len(str(int(whole.max()))) if count else 1
    tail = decimals + 1 if decimals else 0
    width = len(prefix) + 1 + digits + tail
    matrix = np.zeros((count, width), dtype=np.uint8)
    left = whole.copy()
    for column in range(width - tail - 1, width - tail - 1 - digits, -1):  # every digit, leading zeros too
        left, matrix[:, column] = np.divmod(left, 10)
    matrix[:, width - tail - digits : width - tail] += ord("0")
    if decimals:
        matrix[:, width - tail] = ord(".")
        for column in range(width - 1, width - tail, -1):
            part, matrix[:, column] = np.divmod(part, 10)
        matrix[:, width - tail + 1 :] += ord("0")
    shown = np.maximum(np.searchsorted(10 ** np.arange(digits, dtype=np.int64), whole, side="right"), 1)
    first = width - tail - shown  # the first digit shown
    rows = np.arange(count)
    matrix[rows[negative], first[negative] - 1] = ord("-")
    starts = first - negative.astype(np.int64) - len(prefix)
    for k, byte in enumerate(prefix):
        matrix[rows, starts + k] = byte
    return matrix, starts


def _times(ticks: np.ndarray, iso: bool) -> tuple[np.ndarray, np.ndarray | None]:
    """Returns the time fields of `ticks` as time_text() writes them, right-aligned, and where each starts."""
    if iso:
        texts = np.datetime_as_string(ticks.astype("datetime64[ms]"), unit="ms").astype("S23")
        matrix = np.frombuffer(texts.tobytes(), dtype=np.uint8).reshape(len(ticks), 23)
        return np.concatenate([matrix, np.full((len(ticks), 1), ord("Z"), dtype=np.uint8)], axis=1), None
    whole, part = np.divmod(np.abs(ticks), 1000)
    return _numbers(whole, part, 3, ticks < 0, b"")
