"""Samples read from a logger file by position, and the converter's
calibrated values computed from them exactly.

Samples are copied out of the file, never mapped: a file that shrinks
under the reader raises FileChangedError instead of killing the process,
and a returned array never changes.
"""

from __future__ import annotations

import os
import sys
import threading

import numpy as np

from ._arrays import CHUNK, new_array
from ._headers import HEADER_FORMAT, HEADER_SIZE, SAMPLE_SIZE, FileStamp, changed_error, open_regular, read_at, stamp_of

FILE_DTYPE = np.dtype(">i2")
RAW_DTYPE = np.dtype(np.int16)  # the host's order
# From this many samples on, values are looked up in a table of all 65536
# raw counts' values, which is faster than computing each.
TABLE_MIN_SAMPLES = 1 << 16
# A strided selection reads the stretch it spans when its samples are at
# most this many bytes apart, and each sample on its own when further:
# one read call costs about as much as copying this many bytes.
SPAN_READ_MAX_GAP = 8192
_SWAP = sys.byteorder == "little"
_HAVE_PREAD = hasattr(os, "pread")
_HAVE_PREADV = hasattr(os, "preadv")


class SampleFile:
    """An open logger file whose samples are read by position. Before and
    after every read it checks that the file is still the one indexed: not
    shorter, and not modified unless it grew. Safe to share between
    threads."""

    fd = -1  # until a file is open: a file that failed to open leaves nothing to close

    def __init__(
        self,
        path: str | bytes | os.PathLike,
        fd: int | None = None,
        info: os.stat_result | None = None,
        stamp: FileStamp | None = None,
    ):
        """Opens `path`, or takes the open `fd` with its status `info`. With
        `stamp` (the file as it was indexed), the file opened must be that
        one: the same inode, not shorter, not modified unless it grew; else
        FileChangedError. Its `size` is then the stamp's."""
        status_now = fd is None
        if fd is None:
            fd, info = open_regular(path)
        assert info is not None
        self.path = path
        self.fd = fd
        self._lock = threading.Lock()  # lseek and read are two calls where pread is missing
        self.size, self._mtime, self._inode = stamp_of(info) if stamp is None else stamp
        self._since = "opened" if stamp is None else "indexed"
        if stamp is not None:
            try:
                if status_now:  # the status open_regular just took: no second call
                    self._compare(info)
                else:
                    self.check()
            except BaseException:
                self.close()
                raise

    def close(self) -> None:
        """Closes the file; closing twice is harmless."""
        fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)

    def __del__(self) -> None:
        self.close()

    def check(self) -> None:
        """Raises FileChangedError when the file is another one than when it
        was opened or indexed, is shorter, or was modified without growing."""
        self._compare(os.fstat(self.fd))

    def _compare(self, info: os.stat_result) -> None:
        if info.st_ino != self._inode:
            raise changed_error(self.path, "another file took its name", self._since)
        if info.st_size < self.size:
            raise changed_error(self.path, f"it shrank from {self.size} to {info.st_size} bytes", self._since)
        if info.st_size == self.size and info.st_mtime_ns != self._mtime:
            raise changed_error(self.path, "it was modified", self._since)

    def changed(self, what: str) -> Exception:
        """Returns the FileChangedError that says `what` changed in the file."""
        return changed_error(self.path, what, self._since)

    def check_header(self, data_offset: int, header: tuple[int, ...]) -> None:
        """Raises FileChangedError when the header before `data_offset` no
        longer holds the fields `header` (channel, period, first time,
        count, gain bits, offset bits)."""
        data = self.read_bytes(data_offset - HEADER_SIZE, HEADER_SIZE)
        if HEADER_FORMAT.unpack(data) != tuple(header):
            where = data_offset - HEADER_SIZE
            raise changed_error(self.path, f"the block header at byte {where} is another one", self._since)

    def read_bytes(self, position: int, size: int) -> bytes:
        """Returns `size` bytes from `position`; FileChangedError if fewer."""
        if _HAVE_PREAD:
            data = read_at(self.fd, position, size)
        else:
            with self._lock:
                data = read_at(self.fd, position, size)
        if len(data) < size:
            raise changed_error(self.path, f"it ends before byte {position + size}", self._since)
        return data

    def read_into(self, buffer: np.ndarray, position: int) -> None:
        """Fills `buffer` (contiguous) with the file's bytes from `position`."""
        view = memoryview(buffer).cast("B")
        done = 0
        while done < len(view):
            if _HAVE_PREADV:
                got = os.preadv(self.fd, [view[done:]], position + done)
            else:
                data = self.read_bytes(position + done, len(view) - done)
                view[done : done + len(data)] = data
                got = len(data)
            if got == 0:
                raise changed_error(self.path, f"it ends before byte {position + len(view)}", self._since)
            done += got

    def read_codes(self, data_offset: int, selection: range, out: np.ndarray) -> None:
        """Fills `out` (uint16 or int16, len(selection) items) with the
        samples `selection` (ascending) of the block whose samples start at
        `data_offset`, as the file's bytes: big-endian."""
        count, stride = len(selection), selection.step
        if count == 0:
            return
        first = data_offset + selection.start * SAMPLE_SIZE
        if stride == 1:
            self.read_into(out, first)
        elif stride * SAMPLE_SIZE > SPAN_READ_MAX_GAP:
            for i in range(count):
                self.read_into(out[i : i + 1], first + i * stride * SAMPLE_SIZE)
        else:
            per_read = max(1, CHUNK // stride)
            scratch = np.empty(min(count, per_read) * stride, dtype=out.dtype)
            for i in range(0, count, per_read):
                n = min(per_read, count - i)
                span = scratch[: (n - 1) * stride + 1]
                self.read_into(span, first + i * stride * SAMPLE_SIZE)
                out[i : i + n] = span[::stride]


def ascending(selection: range) -> range:
    """Returns the indices of `selection` in ascending order."""
    return selection if selection.step > 0 else selection[::-1]


def read_block_raw(
    source: SampleFile, data_offset: int, selection: range, out: np.ndarray | None = None
) -> np.ndarray:
    """Returns the samples `selection` of a block as int16 in the host's
    byte order: in `out` (contiguous, len(selection) items) when given,
    else in a new array. An `out` of FILE_DTYPE takes the bytes as stored."""
    if out is None:
        out = new_array(len(selection), RAW_DTYPE)
    target = out if selection.step > 0 else out[::-1]
    codes = np.empty(len(selection), dtype=out.dtype) if selection.step < 0 else target
    source.read_codes(data_offset, ascending(selection), codes)
    if _SWAP and codes.dtype.isnative:
        codes.byteswap(inplace=True)
    if codes is not target:
        target[...] = codes
    return out


def read_block_values(
    source: SampleFile, data_offset: int, selection: range, gain: float, offset: float, out: np.ndarray | None = None
) -> np.ndarray:
    """Returns the calibrated values of the samples `selection` of a block
    (float32), reading the file a chunk at a time: in `out` when given, else
    in a new array."""
    count = len(selection)
    if count < TABLE_MIN_SAMPLES:
        return calibrate(read_block_raw(source, data_offset, selection), gain, offset, out)
    # A value for each of the 65536 raw counts, looked up by the sample's
    # two bytes as the host reads them: no byte swap needed.
    table = _calibrate(np.arange(1 << 16, dtype=np.uint16).view(FILE_DTYPE), gain, offset)
    if out is None:
        out = new_array(count, np.float32)
    target = out if selection.step > 0 else out[::-1]
    order = ascending(selection)
    codes = np.empty(min(count, CHUNK), dtype=np.uint16)
    for start in range(0, count, CHUNK):
        part = order[start : start + CHUNK]
        source.read_codes(data_offset, part, codes[: len(part)])
        np.take(table, codes[: len(part)], out=target[start : start + len(part)], mode="clip")
    return out


def calibrate(raw: np.ndarray, gain: float, offset: float, out: np.ndarray | None = None) -> np.ndarray:
    """Returns raw × gain + offset (raw: int16 in either byte order) as the
    converter computes it: the product and the sum in double precision (the
    product is exact, the sum rounded to a double), then rounded to
    float32, with the converter's NaN signs. In `out` when given."""
    if len(raw) >= TABLE_MIN_SAMPLES:
        codes = np.arange(1 << 16, dtype=np.uint16).view(raw.dtype)
        if out is None:
            out = new_array(len(raw), np.float32)
        np.take(_calibrate(codes, gain, offset), raw.view(np.uint16), out=out, mode="clip")
        return out
    if out is None:
        return _calibrate(raw, gain, offset)
    out[...] = _calibrate(raw, gain, offset)
    return out


def _calibrate(raw: np.ndarray, gain: float, offset: float) -> np.ndarray:
    out = new_array(len(raw), np.float32)
    calibrate_runs(raw, np.array([gain]), np.array([offset]), np.array([len(raw)]), out)
    return out


def calibrate_runs(
    raw: np.ndarray, gains: np.ndarray, offsets: np.ndarray, counts: np.ndarray, out: np.ndarray
) -> None:
    """Fills `out` (float32) with the calibrated values of `raw` (int16 in
    either byte order), as calibrate() computes them, for runs of samples
    of their own calibration: the `counts[i]` samples of run i by
    `gains[i]` and `offsets[i]` (float64 arrays), a chunk at a time."""
    ends = np.cumsum(counts).tolist()
    factors, terms = gains.tolist(), offsets.tolist()
    run = 0
    with np.errstate(all="ignore"):
        for start in range(0, len(raw), CHUNK):
            stop = min(start + CHUNK, len(raw))
            product = raw[start:stop].astype(np.float64)
            low = start
            while low < stop:  # the runs in this chunk, each in part or whole
                high = min(ends[run], stop)
                part = product[low - start : high - start]
                part *= factors[run]
                part += terms[run]
                run += high == ends[run]
                low = high
            out[start:stop] = product
    begins = np.cumsum(counts) - counts
    for i in np.flatnonzero(~(np.isfinite(gains) & np.isfinite(offsets))).tolist():
        part = slice(int(begins[i]), int(begins[i] + counts[i]))
        sign_nans(out[part], raw[part], gains[i], offsets[i])


QUIET_NAN = 0x7FC00000
NEGATIVE_QUIET_NAN = 0xFFC00000


def sign_nans(values: np.ndarray, raw: np.ndarray, gain: float, offset: float) -> None:
    """Makes every NaN of `values` the quiet NaN with the sign that x86-64
    gives it, on any CPU: an operand's NaN passes with its sign, the gain's
    first; a NaN made of numbers (0 × inf, inf - inf) is negative.

    The payload is not kept: which operand's payload survives depends on
    the order in which a compiler or numpy's vector loops put the operands
    (it changed with the alignment of the arrays), and the text shows none."""
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
    bits = values.view(np.uint32)
    bits[nans] = np.where(negative[nans], np.uint32(NEGATIVE_QUIET_NAN), np.uint32(QUIET_NAN))
