"""Block headers of a logger file, read without numpy.

A logger file is a sequence of blocks: a 24-byte big-endian header (channel,
period, first-sample time, sample count, gain, offset) followed by the
block's signed 16-bit big-endian samples. The file ends where no whole
header is left. This module walks the headers only, so that scanning
thousands of files costs no more than reading their first bytes; the
sample data is left to the caller.
"""

from __future__ import annotations

import errno
import math
import mmap
import os
import stat
import struct
from typing import NamedTuple

HEADER_SIZE = 24
SAMPLE_SIZE = 2
# channel, period, first time, count: int32, uint32, int32, int32; then the
# bits of two binary32 floats, kept as bits so that a NaN's payload
# survives. Big-endian, no padding.
HEADER_FORMAT = struct.Struct(">iIiiII")
FLOAT32_BITS = struct.Struct("=I")
FLOAT32 = struct.Struct("=f")
# Files up to this size are read whole in one call: cheaper than seeking
# from header to header.
READ_WHOLE_LIMIT = 1 << 16


class Header(NamedTuple):
    """One block header and where its samples are in the file."""

    channel: int
    period_ms: int
    first_time: int
    declared_samples: int
    gain_bits: int
    offset_bits: int
    data_offset: int
    present: int

    @property
    def gain(self) -> float:
        """The gain widened to a double (a signalling NaN becomes quiet)."""
        return float32_value(self.gain_bits)

    @property
    def offset(self) -> float:
        """The offset widened to a double."""
        return float32_value(self.offset_bits)


def float32_value(bits: int) -> float:
    """Returns the binary32 value of `bits` as a Python float."""
    return FLOAT32.unpack(FLOAT32_BITS.pack(bits))[0]


def parse_headers(data: bytes | memoryview | mmap.mmap, size: int) -> list[Header]:
    """Returns the headers of the `size` bytes of a logger file held in
    `data` (bytes, memoryview or mmap), in file order."""
    headers = []
    unpack = HEADER_FORMAT.unpack_from
    position = 0
    while size - position >= HEADER_SIZE:
        channel, period, first, declared, gain, offset = unpack(data, position)
        position += HEADER_SIZE
        wanted = max(declared, 0)
        present = min(wanted, (size - position) // SAMPLE_SIZE)
        headers.append(Header(channel, period, first, declared, gain, offset, position, present))
        position += wanted * SAMPLE_SIZE
    return headers


def scan_file(path: str | os.PathLike[str]) -> tuple[list[Header], int]:
    """Returns the headers of the logger file at `path` and its size, reading
    only the header bytes of a large file. Raises FileNotFoundError,
    IsADirectoryError or another OSError when the file cannot be read."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        size = info.st_size
        if size <= READ_WHOLE_LIMIT:
            data = _read_fully(fd, size)
            return parse_headers(data, len(data)), len(data)
        return _scan_large(fd, size), size
    finally:
        os.close(fd)


def _read_fully(fd: int, size: int) -> bytes:
    pieces = []
    while True:
        piece = os.read(fd, max(size, 1))
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)


def _scan_large(fd: int, size: int) -> list[Header]:
    headers = []
    position = 0
    while size - position >= HEADER_SIZE:
        os.lseek(fd, position, os.SEEK_SET)
        raw = os.read(fd, HEADER_SIZE)
        if len(raw) < HEADER_SIZE:  # the file shrank under us
            break
        (header,) = parse_headers(raw, HEADER_SIZE)
        present = min(max(header.declared_samples, 0), (size - position - HEADER_SIZE) // SAMPLE_SIZE)
        headers.append(header._replace(data_offset=position + HEADER_SIZE, present=present))
        position += HEADER_SIZE + max(header.declared_samples, 0) * SAMPLE_SIZE
    return headers


def truncated_message(path: str | os.PathLike[str], header: Header) -> str:
    """Returns the converter's message for a block that the file cuts short."""
    return (
        f"truncated block in input file {os.fspath(path)}: "
        f"{header.present} of {header.declared_samples} samples read"
    )


def time_step(period_ms: int) -> float:
    """Returns the step between two time stamps in seconds: the period read
    as a signed 32-bit number of ms, so that periods of 2^31 ms and more
    step backwards."""
    signed = period_ms - (1 << 32) if period_ms >= 1 << 31 else period_ms
    return signed / 1000.0


def running_time(first_time: int, step: float, index: int) -> float:
    """Returns the time stamp of sample `index` (0 or more): `first_time`
    with `step` added `index` times, one rounded double addition after
    another, as the converter adds them."""
    start, length, first, increment = time_runs(first_time, step, index + 1)[-1]
    return first + (length - 1) * increment


def time_runs(first_time: int, step: float, count: int) -> list[tuple[int, int, float, float]]:
    """Returns the time stamps of samples 0 to `count` - 1, as the converter
    sums them, in runs (start, length, first, increment): sample start + k of
    a run has the time first + k × increment, and that product and sum are
    exact in double precision.

    While the running sum stays in one binade every addition rounds to the
    same grid, so the increment is the same from step to step (a tie, rounded
    to even, settles after one step). Such stretches make one run; only the
    steps around a change of binade are taken one by one.
    """
    runs = []
    index = 0
    total = float(first_time)
    previous = total
    steps_in_binade = 0
    while index < count:
        if steps_in_binade >= 2:  # `previous` too came from a step inside the binade
            increment = total - previous
            left = count - 1 - index
            jump = left if increment == 0 else _steps_within_binade(total, increment, left)
            runs.append((index, jump + 1, total, increment))
            total += jump * increment
            index += jump
            steps_in_binade = 0
        else:
            runs.append((index, 1, total, 0.0))
        index += 1
        previous, total = total, total + step
        steps_in_binade = steps_in_binade + 1 if _same_binade(previous, total) else 0
    return runs


def _same_binade(a: float, b: float) -> bool:
    return a != 0 and b != 0 and (a > 0) == (b > 0) and math.frexp(a)[1] == math.frexp(b)[1]


def _steps_within_binade(position: float, increment: float, limit: int) -> int:
    """Returns how many steps of `increment` from `position` keep every
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
