"""Writes logger files for the tests, and formats the reader's numbers as
the converter prints them."""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

import numpy as np

# Calibrations as binary32 bit patterns, so that NaN signs and payloads,
# negative zero and subnormals are exactly what the test means.
EDGE_FLOATS = {
    "nan": 0x7FC00000,
    "-nan": 0xFFC00000,
    "snan": 0x7F800001,
    "-nan-payload": 0xFFC01234,
    "inf": 0x7F800000,
    "-inf": 0xFF800000,
    "zero": 0x00000000,
    "-zero": 0x80000000,
    "subnormal": 0x00000001,
    "-subnormal-max": 0x807FFFFF,
    "max": 0x7F7FFFFF,
    "-max": 0xFF7FFFFF,
    "one": 0x3F800000,
    "gain": 0x38A00D1B,  # about 7.63e-5 V a count
    "-offset": 0xC1C80000,  # -25
    "tiny-normal": 0x00800000,
}

INT32_MIN = -(1 << 31)
INT32_MAX = (1 << 31) - 1
UINT32_MAX = (1 << 32) - 1


@dataclass
class BlockPlan:
    channel: int = 1
    period: int = 1000
    first_time: int = 1796083200
    samples: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int16))
    gain_bits: int = 0x3F800000
    offset_bits: int = 0
    declared: int | None = None  # the count to write, when not len(samples)

    def to_bytes(self) -> bytes:
        count = len(self.samples) if self.declared is None else self.declared
        header = struct.pack(
            ">iIiiII", self.channel, self.period, self.first_time, count, self.gain_bits, self.offset_bits
        )
        return header + np.asarray(self.samples, dtype=">i2").tobytes()


def log_bytes(blocks: list[BlockPlan], tail: bytes = b"") -> bytes:
    """Returns the logger file of `blocks`, followed by `tail`."""
    return b"".join(block.to_bytes() for block in blocks) + tail


def edge_samples(rng: np.random.Generator, count: int) -> np.ndarray:
    """Returns `count` samples: the extremes, zero and ±1 first, then random."""
    fixed = np.array([0, 1, -1, 32767, -32768, 2, -2], dtype=np.int16)
    noise = rng.integers(-32768, 32768, size=max(count - len(fixed), 0)).astype(np.int16)
    return np.concatenate([fixed, noise])[:count]


def fixed(value: float, decimals: int) -> str:
    """Returns printf's "%.<decimals>f" of `value`: Python agrees except on
    a NaN, whose sign it drops."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%.*f" % (decimals, value)


def records(block, times, values, raw) -> list[str]:  # noqa: ANN001 - a quarvel.Block and its arrays
    """Returns the converter's -tcpNgor records of the block's samples."""
    gain, offset = fixed(float(block.gain), 6), fixed(float(block.offset), 6)
    middle = f"{block.channel},{block.period_ms},{block.declared_samples},{gain},{offset},"
    return [
        f"{fixed(t, 3)},{middle}{r},{fixed(v, 6)}\r\n"
        for t, r, v in zip(times.tolist(), raw.tolist(), values.astype(np.float64).tolist())
    ]
