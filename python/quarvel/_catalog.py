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
import os
import pathlib
import sqlite3
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


class Catalog:
    """A catalog of logs, opened read-only: the generation that its folder
    `path` names as current, which no update changes. Its files, sources,
    last update and block table come from there, without opening a log;
    samples read through its table are checked against each file's
    recorded identity (FileChangedError when it changed since).

        with quarvel.Catalog("campaign.qcat") as catalog:
            table, paths = catalog.table()

    `connection` is the read-only SQLite connection, for queries of one's own."""

    def __init__(self, path: PathArg) -> None:
        self.path = os.fsdecode(path)
        self.folder = os.path.abspath(self.path)
        self.generation = generation_name(self.folder)
        self.connection = connect(os.path.join(self.folder, self.generation))
        self._files: tuple | None = None

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
        columns: dict[str, Any] = {"path": paths}
        columns.update((name, numbers[:, i]) for i, name in enumerate(("id", *FILE_FIELDS)))
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
        all_paths, numbers = self._sorted_files()
        if paths is not None:
            chosen = self._choose(all_paths, paths)
            numbers = numbers[chosen]
            all_paths = [all_paths[i] for i in chosen.tolist()]
        ids = numbers[:, 0]
        stamps = Stamps(numbers[:, 1].copy(), numbers[:, 2].copy(), numbers[:, 4].copy())
        rows = self._block_rows()
        by_id = np.argsort(ids, kind="stable")
        at = np.minimum(np.searchsorted(ids, rows[:, 0], sorter=by_id), max(len(ids) - 1, 0))
        code = by_id[at] if len(ids) else at
        keep = ids[code] == rows[:, 0] if len(ids) else np.zeros(len(rows), dtype=bool)
        rows, code = rows[keep], code[keep]
        order = np.argsort(code, kind="stable")  # files in order; each file's blocks in block order
        rows, code = rows[order], code[order]
        return _block_table(rows, code, list(all_paths), stamps), list(all_paths)

    def _sorted_files(self) -> tuple[list[str], np.ndarray]:
        """Returns every file's resolved path in sorted order, and their
        numbers: id, then FILE_FIELDS, a row each."""
        if self._files is None:
            folders = {
                key: self.folder if path == "." else resolved_path(path, self.folder)
                for key, path in self.connection.execute("SELECT id, path FROM folders")
            }
            cursor = self.connection.execute(f"SELECT folder, name, id, {', '.join(FILE_FIELDS)} FROM files")
            paths: list[str] = []
            parts = []
            sep = os.sep
            while True:
                rows = cursor.fetchmany(_FETCH)
                if not rows:
                    break
                paths += [folders[row[0]] + sep + row[1] for row in rows]
                parts.append(np.array([row[2:] for row in rows], dtype=np.int64))
            numbers = np.concatenate(parts) if parts else np.zeros((0, 1 + len(FILE_FIELDS)), dtype=np.int64)
            order = sorted(range(len(paths)), key=paths.__getitem__)  # nearly sorted already: quick
            self._files = ([paths[i] for i in order], numbers[order])
        return self._files

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
        wanted = ", ".join(("file", *BLOCK_FIELDS))
        return _fetch_ints(self.connection, f"SELECT {wanted} FROM blocks", 1 + len(BLOCK_FIELDS))


def _fetch_ints(connection: sqlite3.Connection, query: str, width: int, parameters: Sequence = ()) -> np.ndarray:
    """Returns the integer rows of `query` as an int64 array of `width` columns."""
    cursor = connection.execute(query, parameters)
    parts = []
    while True:
        rows = cursor.fetchmany(_FETCH)
        if not rows:
            break
        parts.append(np.array(rows, dtype=np.int64))
    return np.concatenate(parts) if parts else np.zeros((0, width), dtype=np.int64)


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
