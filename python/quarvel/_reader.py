"""Logger files as numpy arrays: the block index, the samples memory-mapped,
and the converter's calibrated values and time stamps computed exactly."""

from __future__ import annotations

import builtins
import errno
import io
import mmap
import os
import stat
import warnings
from fractions import Fraction
from types import TracebackType
from typing import TYPE_CHECKING, Iterator

import numpy as np

from ._headers import Header, parse_headers, time_runs, time_step, truncated_message

if TYPE_CHECKING:
    import pandas

# Samples are converted in pieces of this many, so that the temporary
# doubles stay small (1 MB) whatever the size of the block.
CHUNK = 1 << 17
RAW_DTYPE = np.dtype(">i2")
_COUNTING = np.arange(CHUNK, dtype=np.float64)
# Large results start at a multiple of this, the size of a huge page, so
# that the system can back them with huge pages: faulting in 4 kB pages
# cost more than computing the values.
HUGE_PAGE = 1 << 21
# From this many samples on, values are looked up in a table of all 65536
# raw counts' values, which is faster than computing each.
TABLE_MIN_SAMPLES = 1 << 16


class TruncatedBlockWarning(UserWarning):
    """A block declares more samples than the file holds."""


class Block:
    """One block of a logger file: its header fields, and its samples as
    numpy arrays. Slicing a block (``block[::4]``) gives a block of the
    selected samples, as ``quarvel -n 4`` selects them."""

    __slots__ = ("_log", "_header", "index", "gain", "offset", "_selection")

    def __init__(self, log: LogFile, header: Header, index: int, selection: range | None = None) -> None:
        self._log = log
        self._header = header
        self.index = index
        # From the bits: converting through a double would quieten a
        # signalling NaN.
        self.gain, self.offset = np.array([header.gain_bits, header.offset_bits], dtype=np.uint32).view(np.float32)
        self._selection = range(header.present) if selection is None else selection

    @property
    def channel(self) -> int:
        """The ADC channel (signed 32-bit)."""
        return self._header.channel

    @property
    def period_ms(self) -> int:
        """The sample period in ms, as stored (unsigned 32-bit)."""
        return self._header.period_ms

    @property
    def first_time(self) -> int:
        """The first sample's time, in seconds since the epoch (signed 32-bit)."""
        return self._header.first_time

    @property
    def declared_samples(self) -> int:
        """The sample count the header declares (signed 32-bit, may be 0 or less)."""
        return self._header.declared_samples

    @property
    def present_samples(self) -> int:
        """The number of samples the file holds for this block."""
        return self._header.present

    @property
    def truncated(self) -> bool:
        """True when the file holds fewer samples than the header declares."""
        return self._header.present < self._header.declared_samples

    @property
    def step(self) -> float:
        """The time step in seconds: the period as signed 32-bit ms / 1000."""
        return time_step(self._header.period_ms)

    @property
    def sample_indices(self) -> range:
        """The indices in the block of the samples this (sliced) block holds."""
        return self._selection

    def __len__(self) -> int:
        return len(self._selection)

    def __getitem__(self, key: slice) -> Block:
        """Returns the block restricted to the samples `key` selects."""
        if not isinstance(key, slice):
            raise TypeError("blocks are sliced (block[::n]); use block.raw or block.values() for samples")
        return Block(self._log, self._header, self.index, self._selection[key])

    def every(self, modulus: int) -> Block:
        """Returns the block's every `modulus`-th sample from its first, as
        ``quarvel -n modulus`` selects them (a negative modulus acts as its
        magnitude). Raises ValueError for 0."""
        if modulus == 0:
            raise ValueError("the modulus must not be 0")
        return self[:: abs(modulus)]

    def __repr__(self) -> str:
        return (
            f"<quarvel.Block {self.index}: channel {self.channel}, {self.period_ms} ms, "
            f"first time {self.first_time}, {len(self)} of {self.declared_samples} samples"
            f"{', truncated' if self.truncated else ''}>"
        )

    @property
    def raw(self) -> np.ndarray:
        """The selected raw counts: a read-only big-endian int16 view of the
        memory-mapped file."""
        data = self._log._block_samples(self._header)
        selection = self._selection
        if len(selection) == 0:
            return data[:0]
        stop = selection.stop if selection.stop >= 0 or selection.step > 0 else None
        return data[selection.start : stop : selection.step]

    def values(self) -> np.ndarray:
        """Returns the calibrated values as float32: raw × gain + offset in
        double precision, rounded once to float32, with the converter's NaN
        signs."""
        raw = self.raw
        gain, offset = float(self.gain), float(self.offset)
        if len(raw) < TABLE_MIN_SAMPLES:
            return _calibrate(raw, gain, offset)
        # A value for each of the 65536 raw counts, looked up by the
        # sample's two bytes read in the host's order: no byte swap needed.
        codes = np.arange(1 << 16, dtype=np.uint16)
        table = _calibrate(codes.view(RAW_DTYPE), gain, offset)
        out = _new_array(len(raw), np.float32)
        indices = raw.view(np.uint16)
        for start in range(0, len(raw), CHUNK):
            np.take(table, indices[start : start + CHUNK], out=out[start : start + CHUNK], mode="clip")
        return out

    def times(self) -> np.ndarray:
        """Returns each selected sample's time stamp in seconds since the
        epoch (float64): the first-sample time with the step added once per
        sample, one rounded addition after another, as the converter's time
        column has them."""
        selection = self._selection
        out = _new_array(len(selection), np.float64)
        if len(selection) == 0:
            return out
        first = min(selection[0], selection[-1])
        last = max(selection[0], selection[-1])
        stride = abs(selection.step)
        ascending = out if selection.step > 0 else out[::-1]
        for start, length, base, increment in time_runs(self.first_time, self.step, last + 1):
            # The selected samples first + m × stride that lie in this run.
            # Every sum of the run's first value and a multiple of its
            # increment is exact, so they may be added in any grouping.
            low = max(-(-(start - first) // stride), 0)
            high = -(-(start + length - first) // stride)
            if low >= high:
                continue
            steps = _COUNTING[: min(CHUNK, high - low)] * (increment * stride)
            for m in range(low, high, CHUNK):
                count = min(CHUNK, high - m)
                np.add(steps[:count], base + (first + m * stride - start) * increment, out=ascending[m : m + count])
        return out

    def datetimes(self) -> np.ndarray:
        """Returns the time stamps as numpy datetime64[ms] in UTC, rounded
        to the millisecond as the converter's three decimals round them."""
        return milliseconds(self.times()).view("datetime64[ms]")

    def to_dataframe(self) -> pandas.DataFrame:
        """Returns a pandas DataFrame of the selected samples, one row each,
        with the columns ``block`` and the converter's field names."""
        from ._frame import blocks_frame

        return blocks_frame([self])


def _new_array(length: int, dtype: type) -> np.ndarray:
    """Returns an uninitialised array; a large one starts on a huge page."""
    itemsize = np.dtype(dtype).itemsize
    size = length * itemsize
    if size < 2 * HUGE_PAGE:
        return np.empty(length, dtype=dtype)
    memory = np.empty(size + HUGE_PAGE, dtype=np.uint8)
    start = -memory.ctypes.data % HUGE_PAGE
    return memory[start : start + size].view(dtype)


def _calibrate(raw: np.ndarray, gain: float, offset: float) -> np.ndarray:
    """Returns raw × gain + offset as the converter computes it."""
    out = _new_array(len(raw), np.float32)
    with np.errstate(all="ignore"):
        for start in range(0, len(raw), CHUNK):
            part = raw[start : start + CHUNK].astype(np.float64)
            part *= gain
            part += offset
            out[start : start + CHUNK] = part
    if not (np.isfinite(gain) and np.isfinite(offset)):
        _sign_nans(out, raw, gain, offset)
    return out


def _sign_nans(values: np.ndarray, raw: np.ndarray, gain: float, offset: float) -> None:
    """Gives the NaNs of `values` the sign that x86-64 gives them, on any
    CPU: an operand's NaN passes with its sign, the gain's first; a NaN made
    of numbers (0 × inf, inf - inf) is negative."""
    nans = np.isnan(values)
    if not nans.any():
        return
    if np.isnan(gain):
        negative = np.full(len(values), bool(np.signbit(gain)))
    elif np.isinf(gain):
        negative = raw == 0
        if np.isnan(offset):
            negative |= np.signbit(offset)
        else:
            negative[:] = True
    elif np.isnan(offset):
        negative = np.full(len(values), bool(np.signbit(offset)))
    else:
        negative = np.ones(len(values), dtype=bool)
    magnitude = np.abs(values[nans])
    values[nans] = np.where(negative[nans], -magnitude, magnitude)


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


class LogFile:
    """An open logger file: `blocks` lists its blocks in file order. Use
    quarvel.open() to get one, preferably in a with statement."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = path
        self._map: mmap.mmap | None = None
        self._closed = False
        with _open_regular(path) as file:
            size = os.fstat(file.fileno()).st_size
            if size > 0:
                self._map = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        headers = parse_headers(self._map, size) if self._map is not None else []
        self.size = size
        self.blocks: list[Block] = [Block(self, header, i) for i, header in enumerate(headers)]
        for block in self.blocks:
            if block.truncated:
                warnings.warn(truncated_message(path, block._header), TruncatedBlockWarning, stacklevel=3)

    def _block_samples(self, header: Header) -> np.ndarray:
        if self._closed:
            raise ValueError("the log file is closed")
        if header.present == 0 or self._map is None:
            return np.empty(0, dtype=RAW_DTYPE)
        return np.frombuffer(self._map, dtype=RAW_DTYPE, count=header.present, offset=header.data_offset)

    def __iter__(self) -> Iterator[Block]:
        return iter(self.blocks)

    def __len__(self) -> int:
        return len(self.blocks)

    def __repr__(self) -> str:
        return f"<quarvel.LogFile {os.fspath(self.path)!r}: {len(self.blocks)} blocks>"

    def to_dataframe(self, modulus: int = 1) -> pandas.DataFrame:
        """Returns a pandas DataFrame of every block's samples (every
        `modulus`-th of each block, as ``-n``), one row per sample, with the
        columns ``block`` and the converter's field names."""
        from ._frame import blocks_frame

        return blocks_frame([block.every(modulus) for block in self.blocks])

    def close(self) -> None:
        """Releases the file. Arrays taken from it stay valid: the mapping
        lasts as long as any of them does."""
        self._closed = True
        if self._map is not None:
            try:
                self._map.close()
            except BufferError:
                pass  # arrays still use it: it goes when they go
            self._map = None

    def __enter__(self) -> LogFile:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def _open_regular(path: str | os.PathLike[str]) -> io.BufferedReader:
    """Opens `path` for reading; raises IsADirectoryError for a directory,
    which some systems open without complaint."""
    file = builtins.open(path, "rb")
    if stat.S_ISDIR(os.fstat(file.fileno()).st_mode):
        file.close()
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    return file


def open(path: str | os.PathLike[str]) -> LogFile:
    """Opens the logger file at `path`: indexes its block headers and maps
    its samples. Returns a LogFile, usable as a context manager. Raises
    FileNotFoundError, IsADirectoryError, or another OSError; warns with
    TruncatedBlockWarning for a block the file cuts short."""
    return LogFile(path)
