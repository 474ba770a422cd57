"""Time stamps as the converter computes them, exactly: a block's
first-sample time with the period added once per sample, one rounded
double addition after another, without a Python loop per sample (see
time_runs); their milliseconds, as "%.3f" rounds them; and the times
that a calendar date can spell, spelled as the commands show them.
"""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np

from ._arrays import CHUNK, new_array

# The range of milliseconds that a calendar date of years 1 to 9999 spells;
# times outside it are shown as seconds.
MIN_MILLIS = -62135596800000
MAX_MILLIS = 253402300799999
_COUNTING = np.arange(CHUNK, dtype=np.float64)
_BEFORE = np.arange(-1.0, CHUNK - 1.0)  # k - 1 for each k below CHUNK


def signed_ms(period_ms: np.ndarray | int) -> np.ndarray:
    """Returns periods as stored (uint32: an array, or one as an int) read
    as signed 32-bit numbers of ms, as the converter reads them: a period
    of 2^31 ms or more runs backwards."""
    return np.asarray(period_ms, dtype=np.uint32).view(np.int32)


def period_seconds(period_ms: np.ndarray | int) -> np.ndarray | float:
    """Returns periods in seconds (period_s: the time from one sample to
    the next): the period as signed_ms() reads it, divided by 1000; a
    float for one period."""
    seconds = signed_ms(period_ms) / 1000.0
    return float(seconds) if seconds.ndim == 0 else seconds


def running_time(first_time: int, period_s: float, index: int) -> float:
    """Returns the time stamp of sample `index` (0 or more): `first_time`
    with `period_s` added `index` times, one rounded double addition after
    another, as the converter adds them."""
    start, length, first, increment = time_runs(first_time, period_s, index + 1)[-1]
    return first + (length - 1) * increment


def time_runs(first_time: int, period_s: float, count: int) -> list[tuple[int, int, float, float]]:
    """Returns the time stamps of samples 0 to `count` - 1, as the converter
    sums them, in runs (start, length, first, increment): sample start + k of
    a run has the time first + k × increment, and that product and sum are
    exact in double precision.

    While the running sum stays in one binade every addition rounds to the
    same grid, so the increment is the same from one addition to the next (a
    tie, rounded to even, settles after one addition). Such stretches make
    one run; only the additions around a change of binade are taken one by
    one.
    """
    if period_s == 0:  # the sum stays where it starts, at 0 too
        return [(0, count, float(first_time), 0.0)] if count > 0 else []
    runs = []
    index = 0
    total = float(first_time)
    previous = total
    additions_in_binade = 0
    while index < count:
        if additions_in_binade >= 2:  # `previous` too came from an addition inside the binade
            increment = total - previous
            left = count - 1 - index
            jump = left if increment == 0 else _additions_within_binade(total, increment, left)
            runs.append((index, jump + 1, total, increment))
            total += jump * increment
            index += jump
            additions_in_binade = 0
        else:
            runs.append((index, 1, total, 0.0))
        index += 1
        previous, total = total, total + period_s
        additions_in_binade = additions_in_binade + 1 if _same_binade(previous, total) else 0
    return runs


# Whether two sums lie in one binade: of two floats, for the loop above,
# where numpy's cost per call would outweigh the test; and elementwise, of
# two arrays, for the blocks and pieces below.
def _same_binade(a: float, b: float) -> bool:
    return a != 0 and b != 0 and (a > 0) == (b > 0) and math.frexp(a)[1] == math.frexp(b)[1]


def _same_binades(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a != 0) & (b != 0) & (np.signbit(a) == np.signbit(b)) & (np.frexp(a)[1] == np.frexp(b)[1])


def _additions_within_binade(position: float, increment: float, limit: int) -> int:
    """Returns how many additions of `increment` to `position` keep every
    position strictly inside the binade of `position`, at most `limit`.
    Counted in units of the binade's grid, so the division is exact."""
    exponent = math.frexp(position)[1]
    low = math.ldexp(1.0, exponent - 1)  # the binade: low <= |x| < 2 * low
    grid = math.ldexp(1.0, max(exponent - 53, -1074))
    magnitude = abs(position)
    if (increment > 0) == (position > 0):
        room = int((2 * low - magnitude) / grid)
    else:
        room = int((magnitude - low) / grid)
    units = int(abs(increment) / grid)
    return max(0, min(limit, (room - 1) // units))


def last_times(first_time: np.ndarray, period_ms: np.ndarray, present: np.ndarray) -> np.ndarray:
    """Returns per block the time stamp of its last present sample as the
    converter sums it, addition after addition (NaN for a block without
    samples).

    While the running sum stays in the binade of its second term, every
    addition from there on adds the same increment, so the last time is the
    second time plus a multiple of it, exactly. Blocks that cross a binade
    are summed in runs by running_time()."""
    ends = np.full(len(present), np.nan)
    ends[present == 1] = first_time[present == 1]
    rows = np.flatnonzero(present >= 2)
    if len(rows) == 0:
        return ends
    period_s = period_seconds(period_ms[rows])
    t1 = first_time[rows] + period_s
    t2 = t1 + period_s
    t3 = t2 + period_s
    increment = t3 - t2
    count = present[rows]
    last = t1 + (count - 2) * increment
    fast = (count <= 3) | ((t2 - t1 == increment) & _same_binades(t1, last))
    ends[rows] = np.where(count == 2, t1, np.where(count == 3, t2, last))
    for i in np.flatnonzero(~fast).tolist():
        row = rows[i]
        ends[row] = running_time(int(first_time[row]), period_seconds(int(period_ms[row])), int(present[row]) - 1)
    return ends


def sample_times(first_time: int, period_ms: int, selection: range, out: np.ndarray | None = None) -> np.ndarray:
    """Returns the time stamps (float64 seconds) of the samples `selection`
    of a block: the first-sample time with the period added once per
    sample, one rounded addition after another, as the converter's time column has
    them, whatever the selection. In `out` when given."""
    if out is None:
        out = new_array(len(selection), np.float64)
    if len(selection) == 0:
        return out
    first = min(selection[0], selection[-1])
    last = max(selection[0], selection[-1])
    stride = abs(selection.step)
    ordered = out if selection.step > 0 else out[::-1]
    for start, length, base, increment in time_runs(first_time, period_seconds(period_ms), last + 1):
        # The selected samples first + m × stride that lie in this run.
        # Every sum of the run's first value and a multiple of its
        # increment is exact, so they may be added in any grouping.
        low = max(-(-(start - first) // stride), 0)
        high = -(-(start + length - first) // stride)
        if low >= high:
            continue
        offsets = _COUNTING[: min(CHUNK, high - low)] * (increment * stride)
        for m in range(low, high, CHUNK):
            count = min(CHUNK, high - m)
            np.add(offsets[:count], base + (first + m * stride - start) * increment, out=ordered[m : m + count])
    return out


def fill_times(pieces: np.ndarray, out: np.ndarray) -> None:
    """Fills `out` with the time stamps of the rows of `pieces` (stretches
    of blocks, see _pieces): those of a piece among its block's first CHUNK
    samples that stays in one binade from the block's second sample on,
    where sample k >= 1 has the time t1 + (k - 1) × increment exactly (see
    last_times), in one pass; the others by sample_times(), which takes a
    long piece a chunk at a time."""
    counts = pieces["count"]
    begins = (np.cumsum(counts) - counts).tolist()
    first_time = pieces["first_time"].astype(np.float64)
    period_s = period_seconds(pieces["period_ms"])
    t1 = first_time + period_s
    t2 = t1 + period_s
    increment = (t2 + period_s) - t2
    last = pieces["first"] + (counts - 1) * pieces["stride"]  # the last selected sample's index in its block
    even = (last == 0) | ((t2 - t1 == increment) & _same_binades(t1, t1 + (last - 1) * increment))
    even &= last < CHUNK
    fields = (pieces["first"], pieces["stride"], last, even, first_time, t1, increment, pieces["period_ms"])
    rows = zip(begins, counts.tolist(), *(field.tolist() for field in fields))
    for begin, count, first, stride, final, fast, start, second, add, period in rows:
        part = out[begin : begin + count]
        if not fast:
            sample_times(int(start), period, range(first, first + count * stride, stride), part)
            continue
        np.multiply(_BEFORE[first : final + 1 : stride], add, out=part)  # (k - 1) × increment, k the samples
        part += second
        if first == 0:
            part[0] = start


def milliseconds(times: np.ndarray) -> np.ndarray:
    """Returns `times` in whole milliseconds (int64), each rounded to the
    nearest, ties to even, from its exact binary value, as "%.3f" rounds."""
    seconds = np.floor(times)
    fraction = times - seconds  # exact
    scaled = fraction * 1000.0  # may round: near ties are redone exactly below
    millis = np.rint(scaled)
    out = seconds.astype(np.int64) * 1000 + millis.astype(np.int64)
    doubtful = np.flatnonzero(np.abs(scaled - np.floor(scaled) - 0.5) < 1e-9)
    for i in doubtful:  # a few at most: values this close to a tie are rare
        out[i] = round(Fraction(float(times[i])) * 1000)
    return out


def utc_texts(seconds: np.ndarray) -> list[str]:
    """Returns each time in `seconds` since the epoch as UTC with
    milliseconds, rounded as the converter's "%.3f" rounds; outside the
    years 1 to 9999, as "@" and the seconds themselves."""
    millis = milliseconds(seconds)
    inside = (millis >= MIN_MILLIS) & (millis <= MAX_MILLIS)
    texts = np.datetime_as_string(np.where(inside, millis, 0).view("datetime64[ms]")).tolist()
    out = [text.replace("T", " ") for text in texts]
    for i in np.flatnonzero(~inside).tolist():
        out[i] = f"@{float(seconds[i]):.3f}"
    return out


def tick_texts(ticks: np.ndarray) -> list[str]:
    """Returns each tick (int64 ms since the epoch) as UTC with
    milliseconds, as utc_texts() spells a time; outside the years 1 to
    9999, as "@" and its seconds, exactly."""
    ticks = np.asarray(ticks, dtype=np.int64)
    inside = (ticks >= MIN_MILLIS) & (ticks <= MAX_MILLIS)
    texts = np.datetime_as_string(np.where(inside, ticks, 0).view("datetime64[ms]")).tolist()
    out = [text.replace("T", " ") for text in texts]
    for i in np.flatnonzero(~inside).tolist():
        tick = int(ticks[i])
        whole, ms = divmod(abs(tick), 1000)
        out[i] = f"@{'-' if tick < 0 else ''}{whole}.{ms:03d}"
    return out
