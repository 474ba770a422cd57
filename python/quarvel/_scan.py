"""Which files the operands name, and their block headers read into one
block index: the one scan that quarvel.index, quarvel.open, the Dask
frame, the xarray engine and the commands share."""

from __future__ import annotations

import errno
import functools
import glob
import os
import stat
import struct
import threading
from array import array
from collections import OrderedDict
from typing import TYPE_CHECKING, Callable, Iterable, Iterator, NamedTuple, Sequence

import numpy as np

from ._headers import (
    HEADER_SIZE,
    FileStamp,
    Headers,
    NoMatchError,
    read_file_headers,
    read_file_status,
    read_headers,
    stamp_of,
)
from ._index import BlockTable, PathArg, Stamps, build_table, table_frame
from ._loggers import LoggerRule, check_rule, logger_names
from ._optional import require
from ._signatures import is_catalog, is_zarr_store
from ._walk import is_folder

if TYPE_CHECKING:
    import pandas

_GLOB_CHARACTERS = frozenset("*?[")


def expand_paths(paths: PathArg | Iterable[PathArg]) -> list[PathArg]:
    """Returns the files that `paths` names: one path, a list of paths, or
    a glob pattern (a str with *, ? or [ that names no file itself),
    expanded in sorted order (** reaching into subfolders) into the files
    it matches, never its folders, and never into a Zarr store or a
    catalog's folder. Raises
    NoMatchError (a FileNotFoundError) for a pattern that matches no
    file."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        if isinstance(paths, (str, bytes)) and _is_pattern(paths) and not os.path.lexists(paths):
            matches = _outside_stores(paths, _files_only(sorted(glob.glob(paths, recursive=True))))
            if not matches:
                raise NoMatchError(errno.ENOENT, "no file matches the pattern", paths)
            return matches
        return [paths]
    return list(paths)


def _files_only(matches: list) -> list:
    """Returns the `matches` of a pattern that are no folders (nor links to
    one). Each folder that holds matches is listed once, and its entries'
    types taken from the listing: no call per file."""
    folders: dict = {}
    kept = []
    for match in matches:
        head, tail = os.path.split(match)
        if not tail:  # "logs/": ** matching the folder it starts from
            continue
        if head not in folders:
            folders[head] = _folders_in(head)
        inside = folders[head]
        if not (tail in inside if inside is not None else os.path.isdir(match)):
            kept.append(match)
    return kept


def _folders_in(folder: str | bytes) -> set | None:
    """The names of the folders (and links to folders) in `folder`, or None
    when it cannot be listed."""
    try:
        with os.scandir(folder or (b"." if isinstance(folder, bytes) else ".")) as entries:
            return {entry.name for entry in entries if is_folder(entry)}
    except OSError:
        return None


def _outside_stores(pattern: str | bytes, matches: list) -> list:
    """Returns the `matches` of `pattern` that lie in no Zarr store and no
    catalog's folder below the pattern's first wildcard: the chunk files
    of an export have no signature, and would be read as logs, as would a
    catalog's files."""
    root = pattern
    while _is_pattern(root):
        root = os.path.dirname(root)
    stores: dict = {}

    def inside(match: str | bytes) -> bool:
        folder = os.path.dirname(match)
        while len(folder) > len(root):
            if folder not in stores:
                stores[folder] = is_zarr_store(folder) or is_catalog(folder)
            if stores[folder]:
                return True
            folder = os.path.dirname(folder)
        return False

    return [match for match in matches if not inside(match)]


def _is_pattern(path: str | bytes) -> bool:
    text = os.fsdecode(path)
    return any(c in _GLOB_CHARACTERS for c in text)


def operand_files(operands: Sequence[str]) -> list[tuple[str, Exception | None]]:
    """Returns the files that command-line operands name, in order, each
    with None: an operand itself, or the files that its glob pattern
    matches, expanded as quarvel.index expands one. A pattern that matches
    nothing is kept, with its NoMatchError."""
    files: list[tuple[str, Exception | None]] = []
    for operand in operands:
        try:
            files += [(path, None) for path in expand_paths(operand)]
        except (OSError, ValueError) as error:
            files.append((operand, error))
    return files


class Operand(NamedTuple):
    """A file or pattern of the operands, as the scan found it: its `path`;
    `error`, why it gave nothing (None for a file whose headers were read);
    `first_row`, the row of its first block in the table (where it would be,
    for one that gave nothing), and `blocks`, its blocks (0 for one that
    gave nothing), which may be more than its rows (a row may stand for a
    run of empty blocks)."""

    path: PathArg
    error: Exception | None
    first_row: int
    blocks: int


class Scanned(NamedTuple):
    """The block headers of consecutive operands: `table` holds those of the
    files that could be read, and `files` each operand in order, as an
    Operand; the files read are the table's paths, in order. A file's rows
    end where the next file's begin: a row may stand for a run of blocks
    (see BlockTable)."""

    files: list[Operand]
    table: BlockTable


def scan_headers(
    files: Iterable[tuple[PathArg, Exception | None]],
    read: Callable[[PathArg, Headers], FileStamp] = read_file_headers,
    stretch: int | None = None,
) -> Iterator[Scanned]:
    """Reads the block headers of `files` in order (pairs of a path and
    None, or of a pattern and the error of expanding it, as operand_files()
    gives them), each with `read` (read_file_headers(), or a function like
    it), and yields them as Scanned: of about `stretch` blocks each (a file
    of more makes one of its own, and a file's blocks are never split), or
    of them all in one. A file that cannot be read is kept in its place,
    with its error; a file named again (the same device and inode as one
    read before, through a link too) is left out."""
    headers = Headers()
    entries: list[Operand] = []
    stamps = _stamp_columns()
    records: list[int] = []
    seen: dict = {}  # the paths read, by inode
    for path, error in files:
        before = len(headers)
        if error is None:
            try:
                stamp = read(path, headers)
            except Exception as caught:  # noqa: BLE001 - every file gets its report, whatever went wrong
                error = caught
        if error is not None:
            entries.append(Operand(path, error, before, 0))
            continue
        if _read_before(seen, stamp.inode, path):
            headers.cut(before)
            continue
        entries.append(Operand(path, None, before, headers.headers_from(before)))
        for column, value in zip(stamps, stamp):
            column.append(value)
        records.append(len(headers) - before)
        if stretch is not None and len(headers) >= stretch:
            yield _scanned(entries, stamps, records, headers)
            entries, stamps, records, headers = [], _stamp_columns(), [], Headers()
    if entries or stretch is None:
        yield _scanned(entries, stamps, records, headers)


def _read_before(seen: dict, inode: int, path: PathArg) -> bool:
    """True when the file `path` of `inode` is one of the files `seen`
    (by inode: a path, or a list of the paths of different files), by
    device and inode; else notes it among them. Only a path of an inode
    seen before is asked for its device: most are not."""
    if not inode:  # a file system without inode numbers: every file is its own
        return False
    first = seen.get(inode)
    if first is None:
        seen[inode] = path
        return False
    earlier = first if isinstance(first, list) else [first]
    for other in earlier:
        try:
            if os.path.samefile(other, path):
                return True
        except OSError:
            continue
    seen[inode] = [*earlier, path]
    return False


def _stamp_columns() -> tuple[array, array, array]:
    """Returns empty columns of the FileStamp fields: size, mtime_ns, inode."""
    return array("q"), array("q"), array("Q")


def _scanned(entries: list[Operand], stamps: tuple[array, ...], records: list[int], headers: Headers) -> Scanned:
    paths = [entry.path for entry in entries if entry.error is None]
    counts = np.array(records, dtype=np.int64)
    sizes, mtimes, inodes = (np.array(column) for column in stamps)
    return Scanned(entries, build_table(headers, paths, sizes, counts, Stamps(sizes, mtimes, inodes)))


def scan_files(paths: Sequence[PathArg]) -> BlockTable:
    """Returns the index of the files `paths`, read one after another, or
    taken from those read before in this process (see known_headers).
    Raises the error of the first file that cannot be read."""
    # Files past what the cache holds would each push out one read moments
    # before, and none would be there when asked for again: such a scan
    # takes the headers it finds, and keeps none.
    read = known_headers if len(paths) <= _KNOWN_FILES else functools.partial(known_headers, keep=False)
    (found,) = scan_headers(((path, None) for path in paths), read)
    for entry in found.files:
        if entry.error is not None:
            raise entry.error
    return found.table


def scan_open_file(path: PathArg, fd: int, size: int) -> BlockTable:
    """Returns the index of the one open file `fd` of `size` bytes."""
    headers = Headers()
    read_headers(fd, size, path, headers)
    count = len(headers)
    return build_table(headers, [path], np.array([size], dtype=np.int64), np.array([count], dtype=np.int64))


# The block headers of the files read so far, by path: with the file's
# size, modification and change times in ns, inode and device as read
# (packed in front of its records, so that an entry is one bytes object,
# which the garbage collector need not follow), and the runs of its records
# when it has any. At most _KNOWN_BYTES of them (each counted with its
# bookkeeping), the oldest dropped first.
_known: OrderedDict = OrderedDict()
_known_bytes = 0
_known_lock = threading.Lock()
_KNOWN_BYTES = 1 << 25
_ENTRY_BYTES = 256
_KNOWN_FILES = _KNOWN_BYTES // (_ENTRY_BYTES + HEADER_SIZE)  # of one block each
_IDENTITY = struct.Struct("=qqqQQ")


def known_headers(path: PathArg, out: Headers, keep: bool = True) -> FileStamp:
    """Appends the block headers of the file `path` to `out`, as
    read_file_headers() does, and returns its stamp; with `keep`, keeps
    them for the next time. When the file's size,
    modification time, change time, inode and device are what they were
    when its headers were last read in this process, they are taken from
    then instead of read again: any write, rename or change of mode since
    changes one of these (a rewrite within the clock's tick aside, which a
    task's check of each header it reads still tells)."""
    global _known_bytes
    found = _known.get(path)
    if found is not None:
        try:
            info = os.stat(path)
        except OSError:
            info = None  # reading says why
        packed, runs = found if isinstance(found, tuple) else (found, _NO_RUNS)
        if info is not None and stat.S_ISREG(info.st_mode) and packed.startswith(_identity(info)):
            out.extend(packed[_IDENTITY.size :], runs)
            return stamp_of(info)
    if not keep:
        return read_file_headers(path, out)
    before = len(out)
    info = read_file_status(path, out)
    raw, runs = out.since(before)
    entry = (_identity(info) + raw, runs) if runs else _identity(info) + raw
    cost = _cost(entry)
    with _known_lock:
        old = _known.pop(path, None)
        if old is not None:
            _known_bytes -= _cost(old)
        if cost <= _KNOWN_BYTES:
            _known[path] = entry
            _known_bytes += cost
        while _known_bytes > _KNOWN_BYTES:
            # In O(1): a dict's next(iter()) walks past the slots that the
            # pops before left at its front, which made a scan quadratic.
            _, oldest = _known.popitem(last=False)
            _known_bytes -= _cost(oldest)
    return stamp_of(info)


_NO_RUNS = array("q")


def _cost(entry: bytes | tuple) -> int:
    """The bytes that the cache counts for an entry."""
    if isinstance(entry, tuple):
        packed, runs = entry
        return len(packed) + runs.itemsize * len(runs) + _ENTRY_BYTES
    return len(entry) + _ENTRY_BYTES


def _identity(info: os.stat_result) -> bytes:
    return _IDENTITY.pack(info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino, info.st_dev)


def index(paths: PathArg | Iterable[PathArg], logger: LoggerRule = None) -> pandas.DataFrame:
    """Returns a pandas DataFrame of every block of the logger files
    `paths` (one path, a list of paths, or a glob pattern such as
    ``"logs/**/*.002"``, expanded in sorted order), a row per block in path
    order and then file order, from the block headers alone.

    Columns: ``path`` (categorical, as given or expanded), ``block`` (its
    index in its file), ``data_offset`` (the byte offset of its first
    sample), the header fields ``channel``, ``period_ms``, ``first_time``,
    ``declared_samples``, ``gain``, ``offset``; ``present_samples`` and
    ``truncated`` (the file holds fewer samples than declared); ``start``
    and ``end``, the times of its first and last present sample as the
    converter computes them (float64 seconds, NaN without samples);
    ``start_tick`` and ``end_tick`` (int64 ms), its first sample's tick and
    its last one's plus one period (both its start without samples). With
    a `logger` rule ("folder", a regular expression or a callable, see
    _loggers), ``logger`` (categorical) follows ``path``.

    Raises FileNotFoundError, IsADirectoryError, NotRegularFileError or
    another OSError for the first file that cannot be read, and
    NoLoggerError (a ValueError) for a file that the logger expression
    does not match."""
    pd = require("pandas")
    logger = check_rule(logger)  # before any file is read
    files = [os.fspath(path) for path in expand_paths(paths)]
    table = scan_files(files)
    return table_frame(pd, table, share=True, loggers=logger_names(table.paths, logger))
