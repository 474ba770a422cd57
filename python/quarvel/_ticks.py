"""The exact time of every sample: its tick, in integer milliseconds since
1970. Sample i of a block has the tick first_time × 1000 + i × period,
the period read as the signed 32-bit number that the converter steps by,
in int64 arithmetic: exact for every header (at most about 4.6·10^18).

The converter's time stamp is a running sum in double precision, which
drifts from the tick by up to about 0.24 µs a sample at today's epoch
seconds; analysis of time (windows, gaps, overlaps, grids) uses the tick.
"""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Any

import numpy as np

from ._times import signed_ms

# Beyond every tick a header can give, and far enough from int64's ends
# that a tick less such a bound does not overflow.
TICK_BOUND = 4_700_000_000_000_000_000


def start_ticks(first_time: np.ndarray) -> np.ndarray:
    """Returns the tick of each block's first sample (int64 ms)."""
    return np.asarray(first_time).astype(np.int64) * 1000


def end_ticks(first_time: np.ndarray, period_ms: np.ndarray, present: np.ndarray) -> np.ndarray:
    """Returns per block its last sample's tick plus one period (int64 ms):
    where a block with n samples and a period p > 0 stops covering time;
    its start tick when it holds no sample."""
    return start_ticks(first_time) + np.asarray(present).astype(np.int64) * signed_ms(period_ms).astype(np.int64)


def tick_bound(bound: Any, upper: bool) -> int:
    """Returns the whole-ms bound of a window's end in seconds (int or float),
    numpy datetime64 or pandas Timestamp: the least tick at or after it
    (`upper` False), or the greatest at or before it (`upper` True); None
    is no bound. A float's bound is its product with 1000 in float64, as
    `t0 × 1000 <= tick` reads; a date's, its nanoseconds exactly."""
    if bound is None:
        return TICK_BOUND if upper else -TICK_BOUND
    if type(bound).__name__ == "Timestamp":  # its UTC ns, with or without a zone (numpy refuses a zone)
        exact = Fraction(int(bound.value), 1_000_000)
    elif isinstance(bound, np.datetime64):
        exact = Fraction(int(np.datetime64(bound, "ns").astype(np.int64)), 1_000_000)
    else:
        value = int(bound) if isinstance(bound, (int, np.integer)) else float(bound)
        if isinstance(value, float) and math.isnan(value):
            raise ValueError("a time window's bound cannot be NaN")
        if isinstance(value, float) and math.isinf(value):
            return TICK_BOUND if value > 0 else -TICK_BOUND
        exact = Fraction(value * 1000)
    whole = math.floor(exact) if upper else math.ceil(exact)
    return max(-TICK_BOUND, min(TICK_BOUND, whole))


def samples_within(
    start: np.ndarray, period: np.ndarray, count: np.ndarray, low: int, high: int
) -> tuple[np.ndarray, np.ndarray]:
    """Returns per block the first index and the count of its samples
    0..count-1 whose ticks start + i × period (int64, the period signed)
    lie in [low, high]: one run of indices, since the ticks of a block
    move one way. A period of 0 takes every sample or none."""
    start, period, count = (np.asarray(a, dtype=np.int64) for a in (start, period, count))
    forward = period > 0
    step = np.where(period == 0, 1, period)
    # i × period >= low - start and <= high - start, solved for i.
    above, below = low - start, high - start
    first = np.where(forward, ceil_div(above, step), ceil_div(below, step))
    last = np.where(forward, below // step, above // step)
    still = period == 0
    inside = (start >= low) & (start <= high)
    first = np.where(still, np.where(inside, 0, count), np.maximum(first, 0))
    last = np.where(still, count - 1, np.minimum(last, count - 1))
    return first, np.maximum(last - first + 1, 0)


def ceil_div(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Returns a / b rounded up, in integers (b > 0)."""
    return -((-a) // b)
