"""A catalog of a campaign's logs, kept between runs: every file's
identity and every block's header, in an SQLite database that anyone can
query, so that a route answers without reading the headers again.

A catalog is a folder that it owns (any name; `.qcat` is suggested):

    CURRENT                     the name of the current generation
    gen-TIME-HOST-PID.sqlite    generations: each written once by an update,
                                never changed after it is renamed into place
    lease                       while an update runs: which host and process

Readers open the generation that CURRENT names, read-only and immutable:
they never wait on an update and never see one half done. Paths are kept
relative to the catalog's folder, with "/" between folders, so that hosts
that mount the storage at different places share it; they come back
resolved against the folder. The schema is documented in
doc/python-catalog.md.
"""

from __future__ import annotations

import errno
import json
import itertools
import os
import pathlib
import sqlite3
import threading
from typing import TYPE_CHECKING, Any, Iterable, NamedTuple, Sequence

import numpy as np

from ._headers import NoMatchError
from ._index import BlockTable, PathArg, Stamps
from ._signatures import CATALOG_GENERATION, CATALOG_POINTER
from ._walk import is_pattern, path_matcher

if TYPE_CHECKING:
    import pandas

FORMAT = 1
GENERATION_SUFFIX = ".sqlite"
# The blocks table's columns after file, in order: the header's six fields
# (period as stored, calibrations as their 32-bit patterns), then what the
# file holds of the block.
BLOCK_FIELDS = ("block", "channel", "period_ms", "first_time", "declared_samples", "gain_bits", "offset_bits",
                "present_samples", "data_offset", "repeats")  # fmt: skip
FILE_FIELDS = ("size", "mtime_ns", "ctime_ns", "inode", "indexed", "recheck")
# The blocks table's columns as a reader fetches them: three pairs of
# 32-bit fields in one integer each, so that a million rows make 8 million
# Python integers rather than 11 (their fetching is most of a table's cost).
PACKED_BLOCKS = ("file, block, (channel << 32) | period_ms, (first_time << 32) | (declared_samples & 4294967295),"
                 " (gain_bits << 32) | offset_bits, present_samples, data_offset, repeats")  # fmt: skip
PACKED_WIDTH = 8
# The same, of what planning a Dataset's tasks needs: a block's number,
# place and calibration as 0 (Python's one object for it).
PLANNED_BLOCKS = ("file, 0, (channel << 32) | period_ms, (first_time << 32) | (declared_samples & 4294967295), 0,"
                  " present_samples, 0, repeats")  # fmt: skip
# A file's numbers as a reader fetches them, after its id.
IDENTITY_FIELDS = ("size", "mtime_ns", "inode")
UPDATE_FIELDS = ("id", "finished", "host", "pid", "command", "window", "scheduler", "files", "new", "grown",
                 "read_again", "gone", "unreadable", "seconds")  # fmt: skip

SCHEMA = """
CREATE TABLE meta (
    key TEXT PRIMARY KEY,
    value
) WITHOUT ROWID;
CREATE TABLE updates (
    id INTEGER PRIMARY KEY,
    finished TEXT NOT NULL,
    host TEXT NOT NULL,
    pid INTEGER NOT NULL,
    command TEXT NOT NULL,
    window REAL NOT NULL,
    scheduler TEXT,
    files INTEGER NOT NULL,
    new INTEGER NOT NULL,
    grown INTEGER NOT NULL,
    read_again INTEGER NOT NULL,
    gone INTEGER NOT NULL,
    unreadable INTEGER NOT NULL,
    seconds REAL NOT NULL
);
CREATE TABLE sources (
    id INTEGER PRIMARY KEY,
    source TEXT NOT NULL UNIQUE,
    given TEXT NOT NULL,
    added INTEGER NOT NULL
);
CREATE TABLE folders (
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    digest BLOB NOT NULL,
    recheck INTEGER NOT NULL
);
CREATE TABLE files (
    folder INTEGER NOT NULL,
    name TEXT NOT NULL,
    id INTEGER NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    indexed INTEGER NOT NULL,
    recheck INTEGER NOT NULL,
    PRIMARY KEY (folder, name)
) WITHOUT ROWID;
CREATE TABLE blocks (
    file INTEGER NOT NULL,
    block INTEGER NOT NULL,
    channel INTEGER NOT NULL,
    period_ms INTEGER NOT NULL,
    first_time INTEGER NOT NULL,
    declared_samples INTEGER NOT NULL,
    gain_bits INTEGER NOT NULL,
    offset_bits INTEGER NOT NULL,
    present_samples INTEGER NOT NULL,
    data_offset INTEGER NOT NULL,
    repeats INTEGER NOT NULL,
    PRIMARY KEY (file, block)
) WITHOUT ROWID;
CREATE VIEW file_paths AS
    SELECT files.id AS file,
           CASE folders.path WHEN '.' THEN files.name ELSE folders.path || '/' || files.name END AS path,
           files.size, files.mtime_ns, files.ctime_ns, files.inode, files.indexed, files.recheck
    FROM files JOIN folders ON folders.id = files.folder;
CREATE VIEW block_ticks AS
    SELECT file, block, channel, repeats, present_samples,
           first_time * 1000 AS start_tick,
           first_time * 1000 + present_samples
               * (CASE WHEN period_ms >= 2147483648 THEN period_ms - 4294967296 ELSE period_ms END) AS end_tick
    FROM blocks;
"""

_FETCH = 1 << 16  # rows fetched at a time


class CatalogError(Exception):
    """A folder that is no catalog, or a catalog that cannot be read."""


class Update(NamedTuple):
    """An update that wrote a generation: its number; when it finished (UTC,
    ISO 8601); the host and process that ran it and how (the command line,
    or the Python call); its recent-change window (seconds) and Dask
    scheduler (None: none); the files its sources listed, and of those
    the new ones, the grown ones (only their new blocks read), those read
    again in full, those gone and those that could not be read; and its
    seconds."""

    id: int
    finished: str
    host: str
    pid: int
    command: str
    window: float
    scheduler: str | None
    files: int
    new: int
    grown: int
    read_again: int
    gone: int
    unreadable: int
    seconds: float


def generation_name(folder: str) -> str:
    """Returns the name of the current generation of the catalog `folder`.
    Raises CatalogError when the folder holds no catalog."""
    pointer = os.path.join(folder, CATALOG_POINTER)
    try:
        with open(pointer, encoding="ascii", errors="replace") as text:  # noqa: PTH123
            name = text.read(256).strip()
    except FileNotFoundError:
        if not os.path.isdir(folder):
            raise CatalogError(f"{folder}: no such catalog (no folder)") from None
        raise CatalogError(f"{folder}: not a catalog (it holds no {CATALOG_POINTER})") from None
    except OSError as error:
        raise CatalogError(f"{folder}: cannot read its {CATALOG_POINTER}: {error.strerror or error}") from error
    if CATALOG_GENERATION.fullmatch(name) is None:
        raise CatalogError(f"{folder}: not a catalog (its {CATALOG_POINTER} names no generation)")
    return name


def connect(path: str) -> sqlite3.Connection:
    """Opens the generation `path` read-only and immutable: SQLite takes no
    lock and reads no journal, since a generation never changes."""
    uri = pathlib.Path(os.path.abspath(path)).as_uri() + "?mode=ro&immutable=1"
    try:
        connection = sqlite3.connect(uri, uri=True, check_same_thread=False)
        version = connection.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
    except sqlite3.Error as error:
        if not os.path.exists(path):
            # A later update removed it: what was made from it, such as a
            # graph that a cluster computes, must be made again.
            raise CatalogError(
                f"{path}: the generation is gone, removed by a later update: open the catalog again"
            ) from error
        raise CatalogError(f"{path}: cannot read the generation: {error}") from error
    if version is None or int(version[0]) != FORMAT:
        connection.close()
        raise CatalogError(f"{path}: a catalog of format {version and version[0]}, which this quarvel cannot read")
    return connection


def relative_path(path: str, folder: str) -> str:
    """Returns the absolute `path` relative to the catalog's `folder`, with
    "/" between folders (absolute on another drive, which has no path
    relative to it)."""
    try:
        relative = os.path.relpath(path, folder)
    except ValueError:
        relative = path
    return relative.replace(os.sep, "/")


def resolved_path(relative: str, folder: str) -> str:
    """Returns a path kept relative to the catalog's `folder` as an absolute path."""
    return os.path.normpath(os.path.join(folder, relative.replace("/", os.sep)))


class LazyPaths(Sequence):
    """The paths of a catalog's files `ids` (of the folders `keys`), each
    read from the catalog when asked for."""

    def __init__(self, catalog: Catalog, ids: np.ndarray, keys: np.ndarray) -> None:
        self.catalog, self.ids, self.keys = catalog, ids, keys

    def __len__(self) -> int:
        return len(self.ids)

    def name(self, i: int) -> str:
        """Returns the name of file `i` in its folder."""
        query = "SELECT name FROM files WHERE folder = ? AND id = ?"
        with self.catalog._lock:
            return self.catalog.connection.execute(query, (int(self.keys[i]), int(self.ids[i]))).fetchone()[0]

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(len(self)))]
        return self.catalog.folder_paths()[int(self.keys[i])] + os.sep + self.name(i)


class Catalog:
    """A catalog of logs, opened read-only: the generation that its folder
    `path` names as current, which no update changes. Its files, sources,
    last update and block table come from there, without opening a log;
    samples read through its table are checked against each file's
    recorded identity (FileChangedError when it changed since).

        with quarvel.Catalog("campaign.qcat") as catalog:
            table, paths = catalog.table()

    `connection` is the read-only SQLite connection, for queries of one's own."""

    def __init__(self, path: PathArg, generation: str | None = None) -> None:
        self.path = os.fsdecode(path)
        self.folder = os.path.abspath(self.path)
        self.generation = generation_name(self.folder) if generation is None else generation
        self.connection = connect(os.path.join(self.folder, self.generation))
        self._files: tuple | None = None
        self._path_type: Any = None
        self._folders: dict[int, str] | None = None
        self._lock = threading.Lock()

    def close(self) -> None:
        """Closes the connection."""
        self.connection.close()

    def __enter__(self) -> Catalog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Catalog({self.path!r}, generation {self.generation!r})"

    @property
    def sources(self) -> list[str]:
        """Returns the paths and patterns that updates named, in the order
        first named, resolved against the catalog's folder."""
        rows = self.connection.execute("SELECT source FROM sources ORDER BY id")
        return [resolved_path(source, self.folder) for (source,) in rows]

    @property
    def updated(self) -> Update | None:
        """Returns the update that wrote this generation (None for none)."""
        row = self.connection.execute(f"SELECT {', '.join(UPDATE_FIELDS)} FROM updates ORDER BY id DESC LIMIT 1")
        found = row.fetchone()
        return None if found is None else Update(*found)

    def file_count(self) -> int:
        """Returns the number of files."""
        return int(self.connection.execute("SELECT count(*) FROM files").fetchone()[0])

    def block_count(self) -> int:
        """Returns the number of blocks, each run of empty blocks counted in full."""
        return int(self.connection.execute("SELECT coalesce(sum(repeats), 0) FROM blocks").fetchone()[0])

    def paths(self) -> list[str]:
        """Returns every file's path, resolved, in sorted order."""
        return list(self._sorted_files()[0])

    def files(self) -> pandas.DataFrame:
        """Returns a pandas DataFrame of the files, a row each in path order:
        path (resolved), id, size, mtime_ns, ctime_ns, inode (as the system
        gives it), indexed (the update that last read its headers), recheck
        (1: changed within the recent-change window or dated in the
        future when read, so read again by the next update)."""
        from ._optional import require

        pd = require("pandas")
        paths, numbers = self._sorted_files()
        every = _fetch_ints(self.connection, f"SELECT id, {', '.join(FILE_FIELDS)} FROM files", 1 + len(FILE_FIELDS))
        every = every[np.argsort(every[:, 0])]
        every = every[np.searchsorted(every[:, 0], numbers[:, 0])]  # in path order
        columns: dict[str, Any] = {"path": paths}
        columns.update((name, every[:, i]) for i, name in enumerate(("id", *FILE_FIELDS)))
        columns["inode"] = columns["inode"].astype(np.uint64)
        return pd.DataFrame(columns)

    def table(self, paths: PathArg | Iterable[PathArg] | None = None) -> tuple[BlockTable, list[str]]:
        """Returns the block table of the catalog's files and their paths
        (resolved), as _scan.scan_files returns it for the paths: a row per
        block, or per run of identical empty headers (`repeats`), each
        file's FileStamp its recorded identity. `paths` (a path, a glob
        pattern, or a list of them) chooses files of the catalog, in the
        order named and a pattern's in sorted order, without listing a
        folder; None chooses them all, in sorted order. Raises
        FileNotFoundError for a path the catalog does not hold, and
        NoMatchError for a pattern that matches none of its files."""
        chosen = None if paths is None else self._choose(self._sorted_files()[0], paths)
        return self.table_at(chosen)

    def table_at(self, chosen: np.ndarray | None = None) -> tuple[BlockTable, list[str]]:
        """Returns what table() returns, of the files at the positions
        `chosen` (in that order) among paths(); of them all when None."""
        all_paths, numbers = self._sorted_files()
        if chosen is not None:
            numbers = numbers[chosen]
            all_paths = [all_paths[i] for i in chosen.tolist()]
        return self._table_of(all_paths, numbers, self._block_rows()), list(all_paths)

    def _table_of(self, paths: list[str], numbers: np.ndarray, rows: np.ndarray) -> BlockTable:
        """Returns the BlockTable of the files `paths` of `numbers` (rows
        of _sorted_files()), of those of the block `rows` that are theirs."""
        ids = numbers[:, 0]
        stamps = Stamps(numbers[:, 1].copy(), numbers[:, 2].copy(), numbers[:, 3].copy())
        by_id = np.argsort(ids, kind="stable")
        at = np.minimum(np.searchsorted(ids, rows[:, 0], sorter=by_id), max(len(ids) - 1, 0))
        code = by_id[at] if len(ids) else at
        keep = ids[code] == rows[:, 0] if len(ids) else np.zeros(len(rows), dtype=bool)
        rows, code = rows[keep], code[keep]
        order = np.argsort(code, kind="stable")  # files in order; each file's blocks in block order
        rows, code = rows[order], code[order]
        return _block_table(rows, code, paths if isinstance(paths, LazyPaths) else list(paths), stamps)

    def path_type(self, pd: Any) -> Any:
        """Returns the pandas CategoricalDtype whose categories are paths(), made once."""
        if self._path_type is None:
            self._path_type = pd.CategoricalDtype(self._sorted_files()[0])
        return self._path_type

    def chosen_paths(self, paths: PathArg | Iterable[PathArg]) -> list[str]:
        """Returns the paths (resolved) of the files of the catalog that
        `paths` choose, as table() chooses them; raises as it does."""
        all_paths = self._sorted_files()[0]
        return [all_paths[i] for i in self._choose(all_paths, paths).tolist()]

    def _sorted_files(self) -> tuple[list[str], np.ndarray]:
        """Returns every file's resolved path in sorted order, and their
        numbers: id, then IDENTITY_FIELDS, then its folder's key, a row each."""
        with self._lock:
            if self._files is None:
                self._files = self._read_files()
        return self._files

    def _read_files(self) -> tuple[list[str], np.ndarray]:
        """Reads every file's resolved path and numbers (see _sorted_files)."""
        folders = self.folder_paths()
        # Two scans in the same (key) order, so that no row is taken apart in Python.
        sep = os.sep
        rows = self.connection.execute("SELECT folder, name FROM files")
        paths = [folders[folder] + sep + name for folder, name in rows]
        query = f"SELECT id, {', '.join(IDENTITY_FIELDS)}, folder FROM files"
        return _path_order(paths, _fetch_ints(self.connection, query, 2 + len(IDENTITY_FIELDS), count=len(paths)))

    def folder_paths(self) -> dict[int, str]:
        """Returns each folder's resolved path by its key, read once."""
        if self._folders is None:
            self._folders = {
                key: self.folder if path == "." else resolved_path(path, self.folder)
                for key, path in self.connection.execute("SELECT id, path FROM folders")
            }
        return self._folders

    def ordered_table(self) -> tuple[BlockTable, np.ndarray] | None:
        """Returns the block table of every file, in path order, and each
        file's folder key, as table_at() and folder_keys() do, but from the
        files' numbers alone: its paths are LazyPaths, which read a path
        when asked for, and neither its stamps nor its blocks' numbers,
        places and calibrations are read (zeros): the table is for
        planning tasks that read their own rows. None when a folder that
        holds files lies in another that does, whose files' names then
        decide the order."""
        folders = self.folder_paths()
        order = sorted(folders, key=lambda key: folders[key] + os.sep)
        texts = [folders[key] + os.sep for key in order]
        if any(later.startswith(text) for text, later in zip(texts, texts[1:])):
            return None
        rank = np.zeros(max(folders, default=0) + 1, dtype=np.int64)
        rank[order] = np.arange(len(order))
        count = self.connection.execute("SELECT count(*) FROM files").fetchone()[0]
        rows = _fetch_ints(self.connection, "SELECT id, folder FROM files", 2, count=count)  # by folder, then name
        rows = rows[np.argsort(rank[rows[:, 1]], kind="stable")]
        numbers = np.zeros((len(rows), 1 + len(IDENTITY_FIELDS)), dtype=np.int64)
        numbers[:, 0] = rows[:, 0]
        paths = LazyPaths(self, rows[:, 0], rows[:, 1])
        count = self.connection.execute("SELECT count(*) FROM blocks").fetchone()[0]
        blocks = _fetch_blocks(self.connection, f"SELECT {PLANNED_BLOCKS} FROM blocks", count=count)
        return self._table_of(paths, numbers, blocks), rows[:, 1]

    def folder_keys(self) -> np.ndarray:
        """Returns the folder key of each file of paths(), in order."""
        return self._sorted_files()[1][:, -1]

    def window_table(self, low: int, high: int) -> tuple[BlockTable, np.ndarray]:
        """Returns the block table of the files that have a block whose
        ticks may meet the window [low, high] (ms), of those blocks alone,
        in path order, and each file's folder key: what a time window
        reads without listing every file of the catalog."""
        low, high = max(low, -(1 << 62)), min(high, 1 << 62)
        period = "(CASE WHEN period_ms >= 2147483648 THEN period_ms - 4294967296 ELSE period_ms END)"
        # The samples a header declares, and those a file holds: a block cut short is warned of.
        extent = f"max(present_samples, declared_samples) * {period}"
        meets = (f"max(present_samples, declared_samples) > 0 AND first_time * 1000 + min(0, {extent}) <= ?"
                 f" AND first_time * 1000 + max(0, {extent}) >= ?")  # fmt: skip
        rows = _fetch_blocks(self.connection, f"SELECT {PACKED_BLOCKS} FROM blocks WHERE {meets}", (high, low))
        ids = np.unique(rows[:, 0])
        folders = self.folder_paths()
        found = []
        numbers = np.zeros((0, 1 + len(IDENTITY_FIELDS)), dtype=np.int64)
        if len(ids):
            query = (f"SELECT folder, name, id, {', '.join(IDENTITY_FIELDS)} FROM files"
                     " WHERE id IN (SELECT value FROM json_each(?))")  # fmt: skip
            found = self.connection.execute(query, (json.dumps(ids.tolist()),)).fetchall()
            numbers = np.array([row[2:] for row in found], dtype=np.int64).reshape(len(found), -1)
        paths, numbers = _path_order([folders[row[0]] + os.sep + row[1] for row in found], numbers)
        keys = {row[2]: row[0] for row in found}
        return self._table_of(paths, numbers, rows), np.array([keys[i] for i in numbers[:, 0].tolist()], dtype=np.int64)

    def segment_table(self, segments: Sequence[tuple[int, str, str]]) -> BlockTable:
        """Returns the block table of the files of `segments` (as segments()
        gives them), in that order, reading only their rows: what a task of
        a Dask graph built from the catalog reads."""
        folders = self.folder_paths()
        query = (f"SELECT name, id, {', '.join(IDENTITY_FIELDS)} FROM files"
                 " WHERE folder = ? AND name BETWEEN ? AND ? ORDER BY name")  # fmt: skip
        paths: list[str] = []
        parts = []
        with self._lock:
            for key, first, last in segments:
                found = self.connection.execute(query, (key, first, last)).fetchall()
                paths += [folders[key] + os.sep + row[0] for row in found]
                parts.append(np.array([row[1:] for row in found], dtype=np.int64).reshape(len(found), -1))
        numbers = np.concatenate(parts) if parts else np.zeros((0, 1 + len(IDENTITY_FIELDS)), dtype=np.int64)
        return self._blocks_of(paths, numbers)

    def _blocks_of(self, paths: list[str], numbers: np.ndarray) -> BlockTable:
        """Returns the block table of the files `paths` of `numbers`, their
        blocks read by ranges of ids."""
        ids = np.sort(numbers[:, 0])
        starts = np.flatnonzero(np.diff(ids, prepend=-2) != 1)  # runs of consecutive ids: a range query each
        ends = np.append(starts[1:], len(ids)) - 1
        query = f"SELECT {PACKED_BLOCKS} FROM blocks WHERE file BETWEEN ? AND ?"
        with self._lock:
            parts = [_fetch_blocks(self.connection, query, (int(ids[a]), int(ids[b])))
                     for a, b in zip(starts.tolist(), ends.tolist())]  # fmt: skip
        rows = np.concatenate(parts) if parts else np.zeros((0, 1 + len(BLOCK_FIELDS)), dtype=np.int64)
        return self._table_of(paths, numbers, rows)

    def _choose(self, all_paths: list[str], paths: PathArg | Iterable[PathArg]) -> np.ndarray:
        """Returns the positions among `all_paths` (sorted) of the files that `paths` name."""
        named = [paths] if isinstance(paths, (str, bytes, os.PathLike)) else list(paths)
        where: dict[str, int] | None = None
        chosen: list[int] = []
        for item in named:
            text = os.path.abspath(os.fsdecode(item))
            if is_pattern(text):
                matches = path_matcher(text)
                found = [i for i, path in enumerate(all_paths) if matches(path)]
                if not found:
                    raise NoMatchError(errno.ENOENT, "no file of the catalog matches the pattern", os.fsdecode(item))
                chosen += found
                continue
            if where is None:
                where = {path: i for i, path in enumerate(all_paths)}
            if text not in where:
                raise FileNotFoundError(errno.ENOENT, f"not in the catalog {self.path}", os.fsdecode(item))
            chosen.append(where[text])
        return np.array(list(dict.fromkeys(chosen)), dtype=np.int64)

    def _block_rows(self) -> np.ndarray:
        """Returns every row of the blocks table, as int64, file first, in key order."""
        count = self.connection.execute("SELECT count(*) FROM blocks").fetchone()[0]
        return _fetch_blocks(self.connection, f"SELECT {PACKED_BLOCKS} FROM blocks", count=count)


def _fetch_blocks(connection: sqlite3.Connection, query: str, parameters: Sequence = (), count: int = 0) -> np.ndarray:
    """Returns the rows of `query` (of the columns PACKED_BLOCKS) as an
    int64 array of the columns file and BLOCK_FIELDS."""
    packed = np.ascontiguousarray(_fetch_ints(connection, query, PACKED_WIDTH, parameters, count).T)
    rows = np.empty((len(packed[0]), 1 + len(BLOCK_FIELDS)), dtype=np.int64, order="F")  # a column at a time
    rows[:, 0], rows[:, 1] = packed[0], packed[1]
    for pair, (high, low) in zip(packed[2:5], ((2, 3), (4, 5), (6, 7))):
        rows[:, low] = pair & 0xFFFFFFFF
        if high == 6:  # the calibrations' bits: unsigned
            rows[:, high] = pair.view(np.uint64) >> np.uint64(32)
        else:  # channel and first time, signed
            rows[:, high] = pair >> 32
    rows[:, 5] = (rows[:, 5] ^ (1 << 31)) - (1 << 31)  # the declared count, signed
    rows[:, 8], rows[:, 9], rows[:, 10] = packed[5], packed[6], packed[7]
    return rows


def _fetch_ints(
    connection: sqlite3.Connection, query: str, width: int, parameters: Sequence = (), count: int = 0
) -> np.ndarray:
    """Returns the integer rows of `query` as an int64 array of `width`
    columns, filled in place: `count` rows are expected."""
    cursor = connection.execute(query, parameters)
    out = np.empty((count, width), dtype=np.int64)
    filled = 0
    while True:
        rows = cursor.fetchmany(_FETCH)
        if not rows:
            return out[:filled]
        if filled + len(rows) > len(out):  # more than counted: grown by half at least
            grown = np.empty((max(filled + len(rows), len(out) * 3 // 2), width), dtype=np.int64)
            grown[:filled] = out[:filled]
            out = grown
        # numpy takes a flat run of integers several times faster than rows of them
        flat = np.fromiter(itertools.chain.from_iterable(rows), dtype=np.int64, count=len(rows) * width)
        out[filled : filled + len(rows)] = flat.reshape(len(rows), width)
        filled += len(rows)


def _block_table(rows: np.ndarray, code: np.ndarray, paths: list[str], stamps: Stamps) -> BlockTable:
    """Returns the BlockTable of blocks `rows` (columns: file, then
    BLOCK_FIELDS), of the files at `code` among `paths`."""
    table = BlockTable()
    table.paths = paths
    table.sizes = stamps.sizes
    table.stamps = stamps
    table.file = code.astype(np.int32)
    column = {name: rows[:, 1 + i] for i, name in enumerate(BLOCK_FIELDS)}
    table.block = column["block"].copy()
    table.data_offset = column["data_offset"].copy()
    table.channel = column["channel"].astype(np.int32)
    table.period_ms = column["period_ms"].astype(np.uint32)
    table.first_time = column["first_time"].astype(np.int32)
    table.declared_samples = column["declared_samples"].astype(np.int32)
    table.present_samples = column["present_samples"].copy()
    table.gain = column["gain_bits"].astype(np.uint32).view(np.float32)
    table.offset = column["offset_bits"].astype(np.uint32).view(np.float32)
    repeats = column["repeats"]
    table.repeats = repeats.copy() if (repeats != 1).any() else np.broadcast_to(np.int64(1), (len(rows),))
    return table


_OPENED: dict[tuple[str, str], Catalog] = {}
_OPENED_LOCK = threading.Lock()


def share(catalog: Catalog) -> None:
    """Makes what `catalog` has read of its files (paths, their type) what
    opened() gives for its generation in this process, on a connection of
    its own: the tasks that threads of this process run need not read
    them again, and may run after `catalog` is closed."""
    with _OPENED_LOCK:
        found = _OPENED.get((catalog.folder, catalog.generation))
    if found is None:
        found = opened(catalog.folder, catalog.generation)
    if found is not catalog:
        found._files = found._files or catalog._files
        found._folders = found._folders or catalog._folders
        found._path_type = found._path_type if found._path_type is not None else catalog._path_type


def opened(folder: str, generation: str) -> Catalog:
    """Returns the generation `generation` of the catalog `folder`, opened
    once in this process and kept (the last few): the tasks of a graph
    built from a catalog share its list of files, read once per worker."""
    key = (folder, generation)
    with _OPENED_LOCK:
        found = _OPENED.get(key)
        if found is None:
            found = _OPENED[key] = Catalog(folder, generation)
            while len(_OPENED) > 4:
                _OPENED.pop(next(iter(_OPENED))).close()
    return found


def _path_order(paths: list[str], numbers: np.ndarray) -> tuple[list[str], np.ndarray]:
    """Returns `paths` sorted, and the rows of `numbers` in their order."""
    order = sorted(range(len(paths)), key=paths.__getitem__)  # nearly sorted already: quick
    return [paths[i] for i in order], numbers[order]


def segments(keys: np.ndarray, paths: Sequence[str], low: int = 0) -> tuple[tuple[int, str, str], ...]:
    """Returns the files `paths[low:low + len(keys)]` (consecutive in path
    order) of the folders `keys` as runs of one folder, what
    Catalog.segment_table() reads: the folder's key, the first name and
    the last name. A file of another
    folder may come between two of one folder in path order ("a/b",
    "a/c/x", "a/d"); a file of the folder between two chosen ones is read
    too, which a selection then finds nothing in."""
    starts = np.flatnonzero(np.diff(keys, prepend=-1) != 0).tolist()
    ends = [*starts[1:], len(keys)]

    def name(i: int) -> str:
        return paths.name(low + i) if isinstance(paths, LazyPaths) else os.path.basename(paths[low + i])

    return tuple((int(keys[a]), name(a), name(b - 1)) for a, b in zip(starts, ends))
