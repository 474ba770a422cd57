"""Block headers of a logger file, read without numpy, and the errors of
files that are not, or are no longer, what the reader indexed, or that
a pattern does not name.

A logger file is a sequence of blocks: a 24-byte big-endian header (channel,
period, first-sample time, sample count, gain, offset) followed by the
block's signed 16-bit big-endian samples. The file ends where no whole
header is left. This module walks the headers only, reading the file in
large pieces, so that scanning thousands of files costs little more than
reading their first bytes; the samples are left to the caller. A file that
a logger preallocated holds millions of headers of zeros back to back:
such a run of identical headers is kept once, with its length.
"""

from __future__ import annotations

import errno
import os
import stat
import struct
from array import array
from typing import Any, Callable, NamedTuple

HEADER_SIZE = 24
SAMPLE_SIZE = 2
# channel, period, first time, count: int32, uint32, int32, int32; then the
# bits of two binary32 floats, kept as bits so that a NaN's payload
# survives. Big-endian, no padding.
HEADER_FORMAT = struct.Struct(">iIiiII")
_COUNT = struct.Struct(">i")
COUNT_OFFSET = 12
_SAME = bytes(HEADER_SIZE)
# Headers are looked for in reads of this many bytes: a small file is read
# whole in one call, a large one costs one read per block at most.
PIECE = 1 << 16

_KINDS = (
    (stat.S_ISFIFO, "a pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


class _NamedError(OSError):
    def __str__(self) -> str:
        return f"{os.fsdecode(self.filename)}: {self.strerror}"


class NotRegularFileError(_NamedError):
    """The path names a pipe, a device or a socket. Logs are read from
    regular files only: the reader seeks in them, and a stream may never
    end."""


class FileChangedError(_NamedError):
    """The file changed after its headers were read: it shrank, was
    rewritten, or a block's header is no longer the one indexed."""


class NoMatchError(FileNotFoundError):
    """A glob pattern that matches no file."""


class TruncatedBlockWarning(UserWarning):
    """A block declares more samples than the file holds."""


class FileStamp(NamedTuple):
    """What a file was when its headers were read: its size in bytes, its
    modification time in ns and its inode. The device is left out: the
    machines of a cluster that share the files number it differently."""

    size: int
    mtime_ns: int
    inode: int


def stamp_of(info: os.stat_result) -> FileStamp:
    """Returns the FileStamp of a file's status."""
    return FileStamp(info.st_size, info.st_mtime_ns, info.st_ino)


def describe_kind(mode: int) -> str:
    """Returns what a file of this mode is, for an error message."""
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return "not a regular file"


def open_regular(path: str | bytes | os.PathLike) -> tuple[int, os.stat_result]:
    """Opens the regular file `path` for reading; returns its descriptor and
    status. Raises FileNotFoundError, IsADirectoryError, NotRegularFileError
    (a pipe, a device, a socket) or another OSError. A named pipe without a
    writer is refused at once rather than waited on."""
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, flags)
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(info.st_mode):
            kind = describe_kind(info.st_mode)
            raise NotRegularFileError(errno.EINVAL, f"not a regular file ({kind}); save it to a file first", path)
    except BaseException:
        os.close(fd)
        raise
    return fd, info


def read_at(fd: int, position: int, size: int) -> bytes:
    """Returns `size` bytes of the file from `position`, fewer only at its end."""
    pieces = []
    while size > 0:
        if hasattr(os, "pread"):
            piece = os.pread(fd, size, position)
        else:
            os.lseek(fd, position, os.SEEK_SET)
            piece = os.read(fd, size)
        if not piece:
            break
        pieces.append(piece)
        position += len(piece)
        size -= len(piece)
    return pieces[0] if len(pieces) == 1 else b"".join(pieces)


class NotALogError(Exception):
    """A file that another format's signature shows is not a log; its
    `reason` says what it is."""

    def __init__(self, path: str | bytes | os.PathLike, reason: str) -> None:
        super().__init__(path, reason)
        self.path = path
        self.reason = reason


# What reading a file that is bad, or that changes or is cut while it is
# read, raises: the system's errors, FileChangedError and
# NotRegularFileError among them, and a file of another format. Anything
# else is a fault of the code, not of a file.
FILE_ERRORS = (OSError, NotALogError)


class Headers:
    """Block headers read from files, in file order, each kept once: `raw`
    holds the 24 bytes of each record, one after another. A record stands
    for one header, or for a run of consecutive headers with the same 24
    bytes that declare no samples (0 or less), as the zeros of a file that
    a logger preallocated make: `runs` holds, for each record that stands
    for more than one header, its position among the records and the
    number of headers, as pairs one after another."""

    __slots__ = ("raw", "runs")

    def __init__(self) -> None:
        self.raw = bytearray()
        self.runs = array("q")

    def __len__(self) -> int:
        """Returns the number of records."""
        return len(self.raw) // HEADER_SIZE

    def repeat_last(self, times: int) -> None:
        """Has the last record stand for `times` more headers."""
        last = len(self.raw) // HEADER_SIZE - 1
        if self.runs and self.runs[-2] == last:
            self.runs[-1] += times
        else:
            self.runs.extend((last, times + 1))

    def _runs_from(self, record: int) -> int:
        """Returns the position in `runs` of the first pair of a record
        from `record` on (runs are few, and those wanted come last)."""
        at = len(self.runs)
        while at and self.runs[at - 2] >= record:
            at -= 2
        return at

    def headers_from(self, record: int) -> int:
        """Returns the number of headers that the records from `record` on stand for."""
        records = len(self.raw) // HEADER_SIZE - record
        at = self._runs_from(record)
        return records + sum(self.runs[at + 1 :: 2]) - (len(self.runs) - at) // 2

    def cut(self, record: int) -> None:
        """Drops the records from `record` on."""
        del self.raw[record * HEADER_SIZE :]
        del self.runs[self._runs_from(record) :]

    def since(self, record: int) -> tuple[bytes, array]:
        """Returns the records from `record` on, and their runs counted
        from there: what extend() appends."""
        runs = self.runs[self._runs_from(record) :]
        if runs:
            runs[::2] = array("q", (position - record for position in runs[::2]))
        return bytes(self.raw[record * HEADER_SIZE :]), runs

    def extend(self, raw: bytes, runs: array) -> None:
        """Appends the records `raw` and their `runs`, as since() gives them."""
        if runs:
            moved = array("q", runs)
            base = len(self.raw) // HEADER_SIZE
            moved[::2] = array("q", (position + base for position in runs[::2]))
            self.runs += moved
        self.raw += raw


def read_file_headers(
    path: str | bytes | os.PathLike, out: Headers, refuse: Callable[[Any, int], str | None] | None = None
) -> FileStamp:
    """Appends to `out` the block headers of the log `path`, as read_headers
    does; returns the file's stamp (its size, time and inode as it was
    read). With `refuse`, a function of the path and the file's first
    bytes (PIECE of them, or the whole file) that says why the file is not
    a log, or None: a file it refuses raises NotALogError before any header
    is read. When the file cannot be read, `out` is left as it was and the
    error is raised."""
    return stamp_of(read_file_status(path, out, refuse))


def read_file_status(
    path: str | bytes | os.PathLike, out: Headers, refuse: Callable[[Any, int], str | None] | None = None
) -> os.stat_result:
    """Does what read_file_headers() does, and returns the status of the
    open file whose headers it read."""
    before = len(out)
    try:
        fd, info = open_regular(path)
        try:
            head = None
            if refuse is not None:  # the first bytes, read once for both
                head = read_at(fd, 0, min(PIECE, info.st_size))
                reason = refuse(path, head)
                if reason is not None:
                    raise NotALogError(path, reason)
            read_headers(fd, info.st_size, path, out, head=head)
        finally:
            os.close(fd)
    except BaseException:
        out.cut(before)
        raise
    return info


def read_headers(
    fd: int, size: int, path: str | bytes | os.PathLike, out: Headers, start: int = 0, head: bytes | None = None
) -> None:
    """Appends to `out` the block headers of the open file `fd` of `size`
    bytes, from the header at byte `start` on, in file order, a run of
    identical headers without samples as one record. `head`, when given,
    holds the bytes from `start` already read (not read again). Raises
    FileChangedError when the file turns out shorter than `size`."""
    count_at = _COUNT.unpack_from
    raw = out.raw
    position = start
    last = None  # the last header kept, when it declares no samples
    while size - position >= HEADER_SIZE:
        wanted = min(PIECE, size - position)
        if head is not None and position == start and len(head) >= wanted:
            piece = head[:wanted] if len(head) > wanted else head
        else:
            piece = read_at(fd, position, wanted)
        if len(piece) < wanted:
            raise FileChangedError(errno.EIO, f"it shrank to {position + len(piece)} bytes while being read", path)
        end = len(piece)
        p = run = 0
        if last is not None and piece.startswith(last):  # the run that ended the piece before goes on
            p = run = _repeats(piece, 0, end // HEADER_SIZE) * HEADER_SIZE
            out.repeat_last(p // HEADER_SIZE)
        # Headers of empty blocks lie back to back: each stretch of them is
        # kept in one go when a block with samples or the piece ends it, and
        # one that begins with a run skips the run at once.
        while end - p >= HEADER_SIZE:
            (count,) = count_at(piece, p + COUNT_OFFSET)
            if count > 0:
                if run < p:
                    _keep_empty(out, piece, run, p)
                raw += piece[p : p + HEADER_SIZE]
                p += HEADER_SIZE + count * SAMPLE_SIZE
                run = p
                last = None
            elif p == run and piece.startswith(piece[p : p + HEADER_SIZE], p + HEADER_SIZE):
                last = piece[p : p + HEADER_SIZE]
                raw += last
                times = _repeats(piece, p, (end - p) // HEADER_SIZE)
                out.repeat_last(times - 1)
                p = run = p + times * HEADER_SIZE
            else:
                p += HEADER_SIZE
        if run < p:
            _keep_empty(out, piece, run, p)
            last = piece[p - HEADER_SIZE : p]  # a run of it may go on in the next piece
        position += p


def _keep_empty(out: Headers, piece: bytes, start: int, stop: int) -> None:
    """Appends to `out` the headers of empty blocks that lie back to back
    in piece[start:stop], each run of identical ones as one record."""
    while start < stop:
        same = _first_repeated(piece, start, stop)
        if same is None:
            out.raw += piece[start:stop]
            return
        out.raw += piece[start : same + HEADER_SIZE]
        times = _repeats(piece, same, (stop - same) // HEADER_SIZE)
        out.repeat_last(times - 1)
        start = same + times * HEADER_SIZE


def _first_repeated(piece: bytes, start: int, stop: int) -> int | None:
    """Returns the position of the first of the headers back to back in
    piece[start:stop] that the next one repeats, None for none. They are
    compared all at once, without a step per header: the stretch as one
    large number, XORed with itself a header on, has 24 bytes of zeros
    where a header is the same as the next."""
    if stop - start < 2 * HEADER_SIZE:
        return None
    whole = int.from_bytes(piece[start:stop], "big")
    differ = (whole ^ (whole >> 8 * HEADER_SIZE)).to_bytes(stop - start, "big")  # from byte 24: each header's
    at = differ.find(_SAME, HEADER_SIZE)
    while at >= 0:
        header = -(-at // HEADER_SIZE) * HEADER_SIZE  # the first whole header from there
        if differ.startswith(_SAME, header):
            return start + header - HEADER_SIZE
        at = differ.find(_SAME, header + 1)
    return None


def _repeats(piece: bytes, p: int, most: int) -> int:
    """Returns how many headers from `p` in `piece` (`most` whole ones at
    most) have the 24 bytes of the one at `p`: doubling while the next
    stretch repeats the stretch so far, then adding halves."""

    def repeated(n: int, more: int) -> bool:  # the `more` headers after the first n are the first `more` again
        after, length = p + n * HEADER_SIZE, more * HEADER_SIZE
        return n + more <= most and piece[after : after + length] == piece[p : p + length]

    n = 1
    while repeated(n, n):
        n *= 2
    step = n
    while step > 1:
        step //= 2
        if repeated(n, step):
            n += step
    return n


def changed_error(path: str | bytes | os.PathLike, what: str, since: str = "opened") -> FileChangedError:
    """Returns the error for a file that changed after it was opened (or,
    with `since`, indexed)."""
    return FileChangedError(errno.EIO, f"the file changed after it was {since}: {what}", path)


def truncated_message(path: str | bytes | os.PathLike, present: int, declared: int) -> str:
    """Returns the converter's message for a block that the file cuts short."""
    return f"truncated block in input file {os.fsdecode(path)}: {present} of {declared} samples read"
