"""Updating a catalog: its sources listed again, each file's identity
compared with the one recorded, and only what changed read, into a new
generation that replaces the current one in one rename.

A file whose size, mtime_ns, ctime_ns and inode are those recorded is
unchanged (a folder whose files' names and identities all are is passed
over whole, by a digest of them). Of a file that changed:
- grown, the same inode: when its last recorded block's header still
  reads the same, only the headers from that block on are read;
- the same size and inode, with a tail of empty headers recorded (a
  preallocated file's zeros): when every recorded header before that tail
  still reads the same, only the headers from the tail on are read;
- else (shorter, another inode, rewritten) it is read again in full.
A file gone loses its rows. A file whose mtime or ctime lies within the
recent-change window before the update, or after it, is marked, and read
again in full by the next update even if its identity is the same (its
last change may have come within the clock's tick, or behind a network
file system's cached attributes).

Every update holds the catalog's lease (_lease.py): a second one waits,
then starts from the generation the first wrote. Nothing changed: no
generation is written. Else the current generation is copied beside its
new name, changed in one transaction, flushed to disk and renamed into
place, and CURRENT is replaced by rename. A kill at any moment leaves the
last generation current and whole; the next update removes what the
killed one left and does its work. The generation that stopped being
current is dated then (its mtime; its bytes stay as they are). Every
update keeps the current generation and the KEEP retired last, however
old, and removes the others once retired for GRACE seconds, so that a
reader on another host that just opened one never finds it gone, and
a catalog updated every few seconds holds a few generations, not hundreds.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import shutil
import signal
import sqlite3
import time
from array import array
from typing import Any, Callable, Iterable, Iterator, NamedTuple, Sequence

import numpy as np

from ._catalog import (
    BLOCK_FIELDS,
    FORMAT,
    GENERATION_SUFFIX,
    SCHEMA,
    CatalogError,
    Update,
    connect,
    generation_name,
    relative_path,
    resolved_path,
)
from ._headers import HEADER_FORMAT, HEADER_SIZE, Headers, open_regular, read_at, read_headers
from ._index import BlockTable, build_table
from ._lease import STALE, Lease, LeaseLost
from ._output import _HOST, Output, _alive
from ._progress import bar
from ._signatures import CATALOG_GENERATION, CATALOG_POINTER
from ._walk import FAILED, REGULAR, Identities, expand, identities_of, is_pattern, signed64

WINDOW = 60.0  # seconds: at least a network file system's attribute cache
KEEP = 2  # generations kept after they stopped being current, however old
GRACE = 60.0  # seconds that a generation stays, at least, after it stopped being current
# Work handed to a task: about this many names to stat, or files to read.
STAT_TASK = 20_000
READ_TASK = 2_000
# Updaters that keep breaking each other's lease give up after this many turns.
ATTEMPTS = 5
# Used by the tests alone: the name of a point at which the updater kills
# itself, or NAME=SECONDS, at which it waits that long.
STOP_VARIABLE = "QUARVEL_CATALOG_STOP"
_LEFTOVER = re.compile(r".+\.(?:partial|broken)-(.+)-([0-9]+)")
_BLOCK_COLUMNS = ("file", *BLOCK_FIELDS)


class Result(NamedTuple):
    """What an update did: the generation it wrote (None: nothing had
    changed, none written), the Update it recorded (or would have), the
    files that could not be read (path, error), and the sources named
    that gave no file (not kept)."""

    generation: str | None
    update: Update
    unreadable: list[tuple[str, Exception]]
    unmatched: list[str]


class Plan(NamedTuple):
    """How to read a file that changed: from the header at byte `start`,
    which is block `first_block`, once the headers `verify` (pairs of a
    position and 24 bytes) read the same, and the first header read is
    `expect` (None: any); the file must still be inode `inode`. Else, or
    with start 0, in full."""

    start: int
    first_block: int
    verify: tuple
    expect: bytes | None
    inode: int


WHOLE = Plan(0, 0, (), None, 0)
# What reading a file found.
READ, VANISHED, UNREADABLE = 0, 1, 2


class Batch(NamedTuple):
    """The headers of a task's files, as compact as they come: the records
    and runs of all of them (a Headers' raw and runs), and per file its
    status (READ, VANISHED or UNREADABLE), its records, its identity as
    read (size, mtime_ns, ctime_ns, inode), where reading started and
    the first block read; errors by position."""

    raw: bytes
    runs: bytes
    status: bytes
    records: np.ndarray
    identity: np.ndarray
    start: np.ndarray
    first_block: np.ndarray
    errors: dict


def read_logs(paths: Sequence[str], plans: dict[int, Plan]) -> Batch:
    """Reads the headers of `paths`, each as `plans` says by its position
    (in full when it is not there): one task's work."""
    out = Headers()
    n = len(paths)
    status = bytearray(n)
    records = np.zeros(n, dtype=np.int64)
    identity = np.zeros((n, 4), dtype=np.int64)
    start = np.zeros(n, dtype=np.int64)
    first = np.zeros(n, dtype=np.int64)
    errors: dict[int, Exception] = {}
    for i, path in enumerate(paths):
        before = len(out)
        try:
            fd, info = open_regular(path)
            try:
                plan = _read_one(fd, info, path, plans.get(i, WHOLE), out)
            finally:
                os.close(fd)
        except FileNotFoundError:
            status[i] = VANISHED
            out.cut(before)
            continue
        except (OSError, ValueError) as error:
            status[i], errors[i] = UNREADABLE, error
            out.cut(before)
            continue
        records[i] = len(out) - before
        identity[i] = (info.st_size, info.st_mtime_ns, info.st_ctime_ns, signed64(info.st_ino))
        start[i], first[i] = plan.start, plan.first_block
    return Batch(bytes(out.raw), out.runs.tobytes(), bytes(status), records, identity, start, first, errors)


def _read_one(fd: int, info: os.stat_result, path: str, plan: Plan, out: Headers) -> Plan:
    """Appends the headers of the open file to `out` as `plan` says, or in
    full when the file is not as the plan expects; returns the plan followed."""
    before = len(out)
    if plan.start > 0:
        fits = signed64(info.st_ino) == plan.inode and info.st_size >= plan.start
        if fits and all(read_at(fd, position, HEADER_SIZE) == header for position, header in plan.verify):
            read_headers(fd, info.st_size, path, out, plan.start)
            if plan.expect is None or bytes(out.raw[before * HEADER_SIZE : (before + 1) * HEADER_SIZE]) == plan.expect:
                return plan
            out.cut(before)
    read_headers(fd, info.st_size, path, out)
    return WHOLE


def update(
    catalog: str,
    sources: Iterable[str] = (),
    *,
    window: float = WINDOW,
    scheduler: str | None = None,
    command: str | None = None,
    stale: float = STALE,
    waiting: Callable[[str, int], None] | None = None,
    keep: int = KEEP,
    grace: float = GRACE,
) -> Result:
    """Updates the catalog in the folder `catalog` (made when missing): adds
    the paths and patterns `sources` to those it keeps, lists them all
    again and records what changed (see the module's words). `window` is
    the recent-change window in seconds; `scheduler` the address of a Dask
    scheduler whose workers stat and read the files; `command` says how
    the update was asked for (recorded). Waits while another update holds
    the lease, calling `waiting(host, pid)`. Then keeps the current
    generation and the `keep` that were current last, and removes the
    others once they stopped being current `grace` seconds ago. Returns a
    Result. Raises
    CatalogError when `catalog` is a folder, or a file, that is no catalog."""
    folder = os.path.abspath(catalog)
    _prepare_folder(folder)
    named = list(sources)
    for _ in range(ATTEMPTS):
        with Lease(folder, stale=stale, waiting=waiting) as lease:
            _stop("leased")
            _remove_leftovers(folder, stale)
            try:
                result = _Updater(folder, named, window, scheduler, command, lease).run()
            except LeaseLost:
                continue
            with contextlib.suppress(CatalogError):
                _remove_old_generations(folder, generation_name(folder), keep, grace)
            return result
    raise CatalogError(f"{folder}: other updaters kept breaking this one's lease")


def repeat(
    catalog: str,
    sources: Iterable[str] = (),
    every: float = 10.0,
    *,
    rounds: int | None = None,
    on_round: Callable[[int, Result], None] | None = None,
    **options: Any,
) -> Result:
    """Updates the catalog every `every` seconds (from the start of one
    round to the next), `rounds` times (None: until interrupted), as
    update() does with `options`; the sources named are added in the first
    round. Calls on_round(number, result) after each; returns the last
    Result."""
    named = list(sources)
    number = 0
    while True:
        number += 1
        began = time.monotonic()
        result = update(catalog, named, **options)
        named = []
        if on_round is not None:
            on_round(number, result)
        if rounds is not None and number >= rounds:
            return result
        time.sleep(max(0.0, began + every - time.monotonic()))


def _prepare_folder(folder: str) -> None:
    """Makes the catalog's folder when missing; refuses one that holds
    anything but a catalog's files."""
    try:
        os.makedirs(folder, exist_ok=True)
    except FileExistsError:
        raise CatalogError(f"{folder}: a file, not a catalog's folder") from None
    except OSError as error:
        raise CatalogError(f"{folder}: cannot make the catalog's folder: {error.strerror or error}") from error
    try:
        generation_name(folder)
        return
    except CatalogError:
        pass
    strangers = [name for name in os.listdir(folder) if not name.startswith(("gen-", "lease", CATALOG_POINTER))]
    if strangers:
        raise CatalogError(f"{folder}: a folder that is not a catalog (it holds {strangers[0]}); name a new one")


def _stop(point: str) -> None:
    """Kills this process at the point of an update that the tests name, or waits there."""
    named = os.environ.get(STOP_VARIABLE, "")
    if named == point:
        os.kill(os.getpid(), getattr(signal, "SIGKILL", signal.SIGTERM))
    if named.startswith(point + "="):
        time.sleep(float(named[len(point) + 1 :]))


class _Old(NamedTuple):
    """A file as the current generation records it."""

    id: int
    identity: tuple
    recheck: int


class _Folder:
    """A listed folder whose files are compared one by one: its path,
    relative path, names and their Identities, its record in the current
    generation (id, digest, files marked; None: new), and per name what
    the next generation records: whether it holds the file, its identity
    (the listing's, or as read) and its mark."""

    def __init__(self, path: str, relative: str, names: list[str], found: Identities, known: tuple | None) -> None:
        self.path, self.relative, self.names, self.found, self.known = path, relative, names, found, known
        self.held = np.zeros(len(names), dtype=bool)
        self.identity = found.identity  # rows replaced by those read
        self.recheck = np.zeros(len(names), dtype=np.int8)
        self.key = None if known is None else known[0]
        self.record: tuple[bytes, int] | None = None

    def settle(self) -> bool:
        """Computes the folder's record in the next generation (the digest
        of the files it holds, and how many are marked); returns whether it
        differs from the current one."""
        kept = np.flatnonzero(self.held)
        names = [self.names[i] for i in kept.tolist()]
        self.record = (_digest(names, self.identity[kept], bytes(len(names))), int(self.recheck.sum()))
        return self.known is None or self.record != tuple(self.known[1:])


class _Jobs:
    """The files to read, in the order of their folders' paths and then
    their names (new files are numbered so): per file the position of its
    folder among those compared and of its name there; and of the files
    known before, by position, what the generation records (_Old), its
    rows and how to read it (Plan)."""

    def __init__(self) -> None:
        self.folder = array("q")
        self.name = array("q")
        self.known: dict[int, tuple[_Old, np.ndarray, Plan]] = {}

    def __len__(self) -> int:
        return len(self.name)

    def add(self, folder: int, name: int, known: tuple[_Old, np.ndarray, Plan] | None = None) -> None:
        if known is not None:
            self.known[len(self.name)] = known
        self.folder.append(folder)
        self.name.append(name)


class _Read(NamedTuple):
    """What a task read: the position of its first job, its Batch, the
    positions (within the task) of the files read, and their marks."""

    low: int
    batch: Batch
    reads: np.ndarray
    recheck: np.ndarray


class _Changes:
    """What an update records of the files it knew: rows deleted (folder
    id, name, file id), identities changed (folder id, name, identity,
    mark), rows changed (folder id, name, file id, identity, mark, first
    block, rows); and counts of files grown, read again and gone."""

    def __init__(self) -> None:
        self.deleted: list[tuple] = []
        self.identities: list[tuple] = []
        self.rows: list[tuple] = []
        self.grown = self.read_again = self.gone = 0

    def __bool__(self) -> bool:
        return bool(self.deleted or self.identities or self.rows)


class _Updater:
    """One update, under the lease."""

    def __init__(self, folder: str, named: list[str], window: float, scheduler: str | None,
                 command: str | None, lease: Lease) -> None:  # fmt: skip
        self.folder = folder
        self.named = named
        self.window = window
        self.scheduler = scheduler
        self.command = command or "quarvel.update_catalog()"
        self.lease = lease
        self.began = time.monotonic()
        self.unreadable: list[tuple[str, Exception]] = []
        self.unmatched: list[str] = []
        self.client: Any = None

    def run(self) -> Result:
        try:
            previous = generation_name(self.folder)
        except CatalogError:
            previous = None
        with contextlib.ExitStack() as stack:
            old = None
            if previous is not None:
                old = stack.enter_context(contextlib.closing(connect(os.path.join(self.folder, previous))))
            if self.scheduler is not None:
                self.client = stack.enter_context(_client(self.scheduler))
            return self._run(previous, old)

    def _run(self, previous: str | None, old: sqlite3.Connection | None) -> Result:
        stored = _stored(old)
        sources = self._sources(stored["sources"])
        listing = self._list(sources, len(stored["sources"]))
        added = sources[len(stored["sources"]) :]
        found = self._identities(listing)
        order = sorted((relative_path(path, self.folder), f) for f, (path, _) in enumerate(listing))
        changes = _Changes()
        self.compared: list[_Folder] = []
        self.jobs = _Jobs()
        for relative, f in order:  # in the order of their paths, so that new files are numbered so
            (path, names), ids = listing[f], found[f]
            known = stored["folders"].pop(relative, None)
            if known is not None and known[1] == _digest(names, ids.identity, ids.kinds) and not known[2]:
                continue
            self.compared.append(_Folder(path, relative, names, ids, known))
            self._compare(old, len(self.compared) - 1, changes)
        del listing, found, order
        gone_folders = stored["folders"]  # those no source lists any more
        for key, _, _ in gone_folders.values():
            changes.gone += _count_files(old, key)
        reads = self._read(changes)
        folders = [f for f in self.compared if f.settle()]
        new = sum(int(np.count_nonzero(self._new_of(read))) for read in reads)
        update = self._record(stored, changes, new)
        if not (added or gone_folders or changes or folders or new):
            return Result(None, update, self.unreadable, self.unmatched)
        name = self._write(previous, stored, added, gone_folders, folders, changes, reads, update)
        return Result(name, self.written, self.unreadable, self.unmatched)

    def _new_of(self, read: _Read) -> np.ndarray:
        """Returns per file that `read` read whether it is new."""
        known = np.fromiter(self.jobs.known, dtype=np.int64, count=len(self.jobs.known))
        return ~np.isin(read.low + read.reads, known)

    # ---- sources and listing

    def _sources(self, stored: list[tuple[str, str]]) -> list[tuple[str, str]]:
        """Returns every source (kept relative to the catalog, as given): the
        stored ones, then those named now for the first time."""
        known = {source for source, _ in stored}
        sources = list(stored)
        for given in self.named:
            relative = relative_path(os.path.abspath(given), self.folder)
            if relative not in known:
                known.add(relative)
                sources.append((relative, given))
        return sources

    def _list(self, sources: list[tuple[str, str]], kept: int) -> list[tuple[str, list[str]]]:
        """Returns the folders that `sources` list, each with the names of
        the files in it, in the order found. A source named now (from
        `kept` on) that gives nothing is reported, and dropped from
        `sources`. The catalog's own folder is never listed."""
        merged: dict[str, list[str]] = {}
        twice: set[str] = set()
        kept_sources = []
        for i, (source, given) in enumerate(sources):
            path = resolved_path(source, self.folder)
            found = [(os.path.normpath(folder), names) for folder, names in expand(path)]
            found = [(folder, names) for folder, names in found if folder != self.folder]
            if i >= kept and not (found if is_pattern(path) else os.path.lexists(path)):
                self.unmatched.append(given)
                continue
            kept_sources.append((source, given))
            for folder, names in found:
                if folder in merged:
                    twice.add(folder)
                    merged[folder] += names
                else:
                    merged[folder] = names
        sources[:] = kept_sources
        for folder in twice:
            merged[folder] = list(dict.fromkeys(merged[folder]))
        self.listed = sum(len(names) for names in merged.values())
        return list(merged.items())

    def _identities(self, listing: list[tuple[str, list[str]]]) -> list[Identities]:
        """Returns the Identities of each listed folder's names, in order."""
        tasks = _tasks(listing, STAT_TASK, lambda item: len(item[1]))
        found: list[Identities] = []
        with bar(sum(len(names) for _, names in listing), "file", "checking files") as shown:
            for part, result in zip(tasks, self._map(identities_of, [(task,) for task in tasks])):
                found += result
                shown.update(sum(len(names) for _, names in part))
        return found

    def _map(self, function: Callable, arguments: list[tuple]) -> Iterator:
        """Yields function(*args) for each of `arguments`, in order: here, or
        on the cluster's workers."""
        if self.client is None:
            for args in arguments:
                yield function(*args)
            return
        futures = [self.client.submit(function, *args, pure=False) for args in arguments]
        for future in futures:
            yield future.result()

    # ---- what changed

    def _compare(self, old: sqlite3.Connection | None, f: int, changes: _Changes) -> None:
        """Compares the files of the compared folder `f` with those the
        generation records: the unchanged ones are held, those to read
        become jobs (in the order of their names), those gone are deleted."""
        folder = self.compared[f]
        recorded: dict[str, _Old] = {}
        key = folder.key
        if key is not None and old is not None:
            query = "SELECT name, id, size, mtime_ns, ctime_ns, inode, recheck FROM files WHERE folder = ?"
            for name, file, *identity, recheck in old.execute(query, (key,)):
                recorded[name] = _Old(file, tuple(identity), recheck)
        found = folder.found
        names = folder.names
        to_read: list[int] = []
        known: dict[int, tuple] = {}
        for i, name in enumerate(names):
            was = recorded.pop(name, None)
            kind = found.kinds[i]
            if kind != REGULAR:
                if kind == FAILED:
                    self.unreadable.append((os.path.join(folder.path, name), found.errors[i]))
                if was is not None:
                    changes.deleted.append((key, name, was.id))
                continue
            if was is None:
                to_read.append(i)
                continue
            identity = tuple(found.identity[i].tolist())
            if identity == was.identity and not was.recheck:
                folder.held[i] = True
                continue
            rows = _file_rows(old, was.id)  # type: ignore[arg-type]
            to_read.append(i)
            known[i] = (was, rows, _plan(was, identity, rows))
        changes.deleted += [(key, name, was.id) for name, was in recorded.items()]
        for i in sorted(to_read, key=names.__getitem__):
            self.jobs.add(f, i, known.get(i))

    def _read(self, changes: _Changes) -> list[_Read]:
        """Reads the files of the jobs, a task at a time, and records what
        changed of the files known; returns what each task read."""
        jobs = self.jobs
        lows = range(0, len(jobs), READ_TASK)
        arguments = []
        for low in lows:
            high = min(low + READ_TASK, len(jobs))
            paths = [self._path(j) for j in range(low, high)]
            plans = {j - low: known[2] for j, known in jobs.known.items() if low <= j < high and known[2].start > 0}
            arguments.append((paths, plans))
        batches = []
        with bar(len(jobs), "file", "reading headers") as shown:
            for low, batch in zip(lows, self._map(read_logs, arguments)):
                batches.append((low, batch))
                shown.update(len(batch.status))
        recent = time.time_ns() - int(self.window * 1e9)
        return [self._collect(low, batch, recent, changes) for low, batch in batches]

    def _path(self, job: int) -> str:
        folder = self.compared[self.jobs.folder[job]]
        return os.path.join(folder.path, folder.names[self.jobs.name[job]])

    def _collect(self, low: int, batch: Batch, recent: int, changes: _Changes) -> _Read:
        """Records what `batch` read of the jobs from `low` on: each file read
        is held, and marked when changed after `recent` (ns); a known file's
        changes go into `changes`."""
        jobs = self.jobs
        status = np.frombuffer(batch.status, dtype=np.uint8)
        for i in np.flatnonzero(status != READ).tolist():
            if status[i] == UNREADABLE:
                self.unreadable.append((self._path(low + i), batch.errors[i]))
            if low + i in jobs.known:
                folder = self.compared[jobs.folder[low + i]]
                changes.deleted.append((folder.key, folder.names[jobs.name[low + i]], jobs.known[low + i][0].id))
        reads = np.flatnonzero(status == READ)
        latest = np.maximum(batch.identity[reads, 1], batch.identity[reads, 2])
        recheck = (latest > recent).astype(np.int8)
        folders = np.frombuffer(jobs.folder, dtype=np.int64)[low:][reads]
        names = np.frombuffer(jobs.name, dtype=np.int64)[low:][reads]
        bounds = np.flatnonzero(np.diff(folders)) + 1
        for part in np.split(np.arange(len(reads)), bounds):  # the files read of each folder, at once
            if len(part):
                folder = self.compared[int(folders[part[0]])]
                at = names[part]
                folder.held[at] = True
                folder.identity[at] = batch.identity[reads[part]]
                folder.recheck[at] = recheck[part]
        mine = [k for k, i in enumerate(reads.tolist()) if low + i in jobs.known]
        rows = _batch_rows(batch, reads) if mine else None
        counts = batch.records[reads]
        first_rows = np.cumsum(counts) - counts
        for k in mine:
            i = int(reads[k])
            was, old_rows, _ = jobs.known[low + i]
            folder = self.compared[jobs.folder[low + i]]
            name = folder.names[jobs.name[low + i]]
            identity, mark = tuple(batch.identity[i].tolist()), int(recheck[k])
            kept = int(np.searchsorted(old_rows[:, 0], batch.first_block[i]))
            if identity[0] > was.identity[0] and identity[3] == was.identity[3]:
                changes.grown += 1
            else:
                changes.read_again += 1
            read_rows = rows[first_rows[k] : first_rows[k] + counts[k]]  # type: ignore[index]
            same_rows = _same(old_rows[kept:], read_rows)
            if same_rows and identity == was.identity and mark == was.recheck:
                continue
            if same_rows:
                changes.identities.append((folder.key, name, identity, mark))
            else:
                changes.rows.append((folder.key, name, was.id, identity, mark, int(batch.first_block[i]), read_rows))
        return _Read(low, batch, reads, recheck)

    # ---- writing

    def _record(self, stored: dict, changes: _Changes, new: int) -> Update:
        now = time.time()
        finished = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + f".{int(now * 1e6) % 1000000:06d}Z"
        gone = len({file for _, _, file in changes.deleted}) + changes.gone
        return Update(
            stored["last_update"] + 1, finished, _HOST, os.getpid(), self.command, float(self.window),
            self.scheduler, self.listed, new, changes.grown, changes.read_again, gone,
            len(self.unreadable), round(time.monotonic() - self.began, 3),
        )  # fmt: skip

    def _write(self, previous: str | None, stored: dict, added: list, gone_folders: dict, folders: list,
               changes: _Changes, reads: list[_Read], update: Update) -> str:  # fmt: skip
        """Writes the next generation and makes it current; returns its name."""
        name = _generation_file_name()
        with Output(os.path.join(self.folder, name)).writing() as partial:
            if previous is not None:
                shutil.copyfile(os.path.join(self.folder, previous), partial)
            _stop("copied")
            connection = sqlite3.connect(partial, isolation_level=None)
            try:
                writer = _Writer(connection, stored, update)
                writer.apply(previous is None, added, gone_folders, folders, changes, reads, self)
            finally:
                connection.close()
            _fsync(partial)
            _stop("written")
        _fsync_folder(self.folder)
        _stop("renamed")
        self.lease.check()  # a holder whose lease was broken publishes nothing
        with Output(os.path.join(self.folder, CATALOG_POINTER)).text() as pointer:
            pointer.write(name + "\n")
            pointer.flush()
            os.fsync(pointer.fileno())
        _fsync_folder(self.folder)
        _stop("pointed")
        if previous is not None:  # its grace counts from now
            with contextlib.suppress(OSError):
                os.utime(os.path.join(self.folder, previous))
        return name


def _stored(old: sqlite3.Connection | None) -> dict:
    """Returns what an update needs first of the current generation: its
    sources, its folders (relative path: id, digest, files marked), the
    last numbers given to updates, folders and files."""
    if old is None:
        return {"sources": [], "folders": {}, "last_update": 0, "last_folder": 0, "last_file": 0}

    def one(query: str) -> int:
        row = old.execute(query).fetchone()
        return int(row[0] or 0) if row is not None else 0

    return {
        "sources": [(source, given) for source, given in old.execute("SELECT source, given FROM sources ORDER BY id")],
        "folders": {path: (key, digest, recheck) for key, path, digest, recheck in
                    old.execute("SELECT id, path, digest, recheck FROM folders")},  # fmt: skip
        "last_update": one("SELECT max(id) FROM updates"),
        "last_folder": one("SELECT max(id) FROM folders"),
        # max(id) reads every file: the number is kept in meta
        "last_file": one("SELECT value FROM meta WHERE key = 'last_file'") or one("SELECT max(id) FROM files"),
    }


def _file_rows(old: sqlite3.Connection, file: int) -> np.ndarray:
    """Returns the recorded rows of a file (columns BLOCK_FIELDS), in block order."""
    rows = old.execute(f"SELECT {', '.join(BLOCK_FIELDS)} FROM blocks WHERE file = ? ORDER BY block", (file,))
    return np.array(rows.fetchall(), dtype=np.int64).reshape(-1, len(BLOCK_FIELDS))


def _count_files(old: sqlite3.Connection | None, folder: int) -> int:
    return 0 if old is None else int(old.execute("SELECT count(*) FROM files WHERE folder = ?", (folder,)).fetchone()[0])


_B = {name: i for i, name in enumerate(BLOCK_FIELDS)}


def _header(row: np.ndarray, last: bool = False) -> tuple[int, bytes]:
    """Returns the position of a recorded row's first header (its last,
    with `last`, for a run) and the header's 24 bytes."""
    position = int(row[_B["data_offset"]]) - HEADER_SIZE
    if last:
        position += (int(row[_B["repeats"]]) - 1) * HEADER_SIZE
    fields = (row[_B[name]] for name in ("channel", "period_ms", "first_time", "declared_samples", "gain_bits",
                                         "offset_bits"))  # fmt: skip
    return position, HEADER_FORMAT.pack(*(int(value) for value in fields))


def _plan(was: _Old, identity: tuple, rows: np.ndarray) -> Plan:
    """Returns how to read a file recorded as `was` with `rows`, whose
    identity is now `identity` (size, mtime_ns, ctime_ns, inode)."""
    size, inode = identity[0], identity[3]
    if inode != was.identity[3] or identity == was.identity or not len(rows) or size < was.identity[0]:
        return WHOLE
    # The last stretch of rows that declare no samples (a preallocated file's zeros) begins at `tail`.
    full = np.flatnonzero(rows[:, _B["declared_samples"]] > 0)
    tail = int(full[-1]) + 1 if len(full) else 0
    if tail == 0:
        return WHOLE
    if tail < len(rows):  # grown, or filled in place, after a tail of empty headers: read from the tail on
        if size > was.identity[0]:
            verify = (_header(rows[tail - 1]),)  # the header before the tail, as the last one of a growth
        else:
            verify = tuple(_header(row) for row in rows[:tail])
            verify += tuple(_header(row, last=True) for row in rows[:tail] if row[_B["repeats"]] > 1)
        return Plan(_header(rows[tail])[0], int(rows[tail, _B["block"]]), verify, None, inode)
    if size == was.identity[0]:
        return WHOLE  # rewritten in place
    position, header = _header(rows[-1])  # grown: from the last block on, if it still reads the same
    return Plan(position, int(rows[-1, _B["block"]]), (), header, inode)


def _batch_rows(batch: Batch, reads: list[int]) -> np.ndarray:
    """Returns the rows that `batch` read of its files `reads` (columns
    BLOCK_FIELDS), files in order, each file's blocks numbered and placed
    from where its reading began."""
    headers = Headers()
    headers.raw = bytearray(batch.raw)
    headers.runs.frombytes(batch.runs)
    starts = batch.start[reads]
    sizes = batch.identity[reads, 0] - starts  # as if each file began where its reading began
    table = build_table(headers, [str(i) for i in range(len(reads))], sizes, batch.records[reads])
    table.block = table.block + batch.first_block[reads][table.file]
    table.data_offset = table.data_offset + starts[table.file]
    return _rows(table)


def _rows(table: BlockTable) -> np.ndarray:
    """Returns the columns BLOCK_FIELDS of `table` as one int64 array."""
    out = np.empty((len(table), len(BLOCK_FIELDS)), dtype=np.int64)
    for name in BLOCK_FIELDS:
        column = getattr(table, name.replace("_bits", ""))
        out[:, _B[name]] = column.view(np.uint32) if name.endswith("_bits") else column
    return out


def _same(old: np.ndarray, new: np.ndarray) -> bool:
    return old.shape == new.shape and bool((old == new).all())


def _digest(names: list[str], identity: np.ndarray, kinds: bytes) -> bytes:
    """Returns the digest of a folder's files: their names in order, their
    identities and what stat found."""
    digest = hashlib.blake2b(digest_size=16)
    digest.update("\0".join(names).encode("utf-8", "surrogateescape"))
    digest.update(b"\1")
    digest.update(np.ascontiguousarray(identity, dtype=np.int64).tobytes())
    digest.update(kinds)
    return digest.digest()


def _tasks(items: list, size: int, weight: Callable[[Any], int]) -> list[list]:
    """Returns `items` in consecutive tasks of about `size` in weight."""
    tasks: list[list] = []
    load = size
    for item in items:
        if load >= size:
            tasks.append([])
            load = 0
        tasks[-1].append(item)
        load += weight(item)
    return tasks


@contextlib.contextmanager
def _client(address: str) -> Iterator[Any]:
    """Yields a distributed.Client of the scheduler at `address`."""
    from ._optional import require

    distributed = require("distributed")
    try:
        client = distributed.Client(address, set_as_default=False, timeout=30)
    except (OSError, ValueError) as error:
        raise OSError(f"cannot reach the Dask scheduler at {address}: {error}") from error
    with client:
        yield client


class _Writer:
    """Applies an update's changes to the copy of the current generation
    (or to a new database), in one transaction."""

    def __init__(self, connection: sqlite3.Connection, stored: dict, update: Update) -> None:
        self.connection = connection
        self.stored = stored
        self.update = update

    def apply(self, fresh: bool, added: list, gone_folders: dict, folders: list[_Folder], changes: _Changes,
              reads: list[_Read], updater: _Updater) -> None:  # fmt: skip
        execute, many = self.connection.execute, self.connection.executemany
        execute("PRAGMA journal_mode = OFF")  # a partial copy: a failure discards it whole
        execute("PRAGMA synchronous = OFF")  # flushed once, at the end
        execute("PRAGMA cache_size = -16384")  # 16 MB: the rows go in in key order
        if fresh:
            self.connection.executescript("PRAGMA page_size = 4096;" + SCHEMA)
        execute("BEGIN")
        update = self.update
        many("INSERT OR REPLACE INTO meta VALUES (?, ?)", [("format", FORMAT), ("last_update", update.id)])
        execute(f"INSERT INTO updates VALUES ({', '.join('?' * len(update))})", tuple(update))
        many("INSERT INTO sources (source, given, added) VALUES (?, ?, ?)",
             [(source, given, update.id) for source, given in added])  # fmt: skip
        for key, _, _ in gone_folders.values():
            execute("DELETE FROM blocks WHERE file IN (SELECT id FROM files WHERE folder = ?)", (key,))
            execute("DELETE FROM files WHERE folder = ?", (key,))
            execute("DELETE FROM folders WHERE id = ?", (key,))
        for key, name, file in changes.deleted:
            execute("DELETE FROM blocks WHERE file = ?", (file,))
            execute("DELETE FROM files WHERE folder = ? AND name = ?", (key, name))
        self._folders(folders)
        identity = "size = ?, mtime_ns = ?, ctime_ns = ?, inode = ?, indexed = ?, recheck = ?"
        many(f"UPDATE files SET {identity} WHERE folder = ? AND name = ?",
             [(*numbers, update.id, mark, key, name) for key, name, numbers, mark in changes.identities])  # fmt: skip
        for key, name, file, numbers, mark, first_block, rows in changes.rows:
            execute(f"UPDATE files SET {identity} WHERE folder = ? AND name = ?", (*numbers, update.id, mark, key, name))
            execute("DELETE FROM blocks WHERE file = ? AND block >= ?", (file, first_block))
            _insert_blocks(self.connection, np.full(len(rows), file, dtype=np.int64), rows)
        last_file = self._new_files(reads, updater)
        execute("INSERT OR REPLACE INTO meta VALUES ('last_file', ?)", (last_file,))
        updater.written = update._replace(seconds=round(time.monotonic() - updater.began, 3))  # all but the commit
        execute("UPDATE updates SET seconds = ? WHERE id = ?", (updater.written.seconds, update.id))
        execute("COMMIT")

    def _folders(self, folders: list[_Folder]) -> None:
        """Records the folders whose record changed; a new one is numbered
        (in the order of their paths), one that holds no file any more goes."""
        last = self.stored["last_folder"]
        for folder in sorted(folders, key=lambda f: f.relative):
            digest, marks = folder.record  # type: ignore[misc]
            if not folder.held.any():
                if folder.key is not None:
                    self.connection.execute("DELETE FROM folders WHERE id = ?", (folder.key,))
            elif folder.key is not None:
                self.connection.execute("UPDATE folders SET digest = ?, recheck = ? WHERE id = ?",
                                        (digest, marks, folder.key))  # fmt: skip
            else:
                last += 1
                folder.key = last
                self.connection.execute("INSERT INTO folders VALUES (?, ?, ?, ?)",
                                        (last, folder.relative, digest, marks))  # fmt: skip

    def _new_files(self, reads: list[_Read], updater: _Updater) -> int:
        """Inserts the new files read, numbered in the order read (their
        folders' paths, then their names), and their blocks; returns the
        last number given."""
        last = self.stored["last_file"]
        query = f"INSERT INTO files VALUES ({', '.join('?' * 9)})"
        jobs = updater.jobs
        for read in reads:
            new = updater._new_of(read)
            if not new.any():
                continue
            ids = np.zeros(len(read.reads), dtype=np.int64)  # 0: a file known before, recorded apart
            ids[new] = np.arange(last + 1, last + 1 + int(new.sum()))
            last += int(new.sum())
            per_row = np.repeat(ids, read.batch.records[read.reads])
            rows = _batch_rows(read.batch, read.reads)
            _insert_blocks(self.connection, per_row[per_row > 0], rows[per_row > 0])
            files = []
            identity = read.batch.identity[read.reads].tolist()
            for k in np.flatnonzero(new).tolist():
                job = read.low + int(read.reads[k])
                folder = updater.compared[jobs.folder[job]]
                files.append((folder.key, folder.names[jobs.name[job]], int(ids[k]), *identity[k], self.update.id,
                              int(read.recheck[k])))  # fmt: skip
            self.connection.executemany(query, files)
        return last


def _insert_blocks(connection: sqlite3.Connection, files: np.ndarray, rows: np.ndarray) -> None:
    """Inserts `rows` (columns BLOCK_FIELDS) of the files `files`, a stretch at a time."""
    query = f"INSERT INTO blocks VALUES ({', '.join('?' * len(_BLOCK_COLUMNS))})"
    for low in range(0, len(rows), 1 << 16):
        part = rows[low : low + (1 << 16)]
        columns = [files[low : low + (1 << 16)].tolist(), *(part[:, i].tolist() for i in range(part.shape[1]))]
        connection.executemany(query, zip(*columns))


def _generation_file_name() -> str:
    now = time.time()
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(now)) + f".{int(now * 1e6) % 1000000:06d}Z"
    return f"gen-{stamp}-{_HOST}-{os.getpid()}{GENERATION_SUFFIX}"


def _fsync(path: str, flags: int = os.O_RDWR) -> None:
    """Flushes the file `path` to disk."""
    fd = os.open(path, flags | getattr(os, "O_BINARY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_folder(folder: str) -> None:
    """Flushes a folder's entries (a rename) to disk, where the system can."""
    with contextlib.suppress(OSError):
        _fsync(folder, os.O_RDONLY)


def _remove_old_generations(folder: str, current: str, keep: int = KEEP, grace: float = GRACE) -> None:
    """Removes the generations other than `current`, but the `keep` that
    stopped being current last, once they stopped being current more than
    `grace` seconds ago: their mtime, which the update that replaced them
    set (or, where it could not, or for one that never was current, when
    it was written)."""
    retired: dict[str, float] = {}
    for name in os.listdir(folder):
        if name != current and CATALOG_GENERATION.fullmatch(name):
            with contextlib.suppress(OSError):
                retired[name] = os.stat(os.path.join(folder, name)).st_mtime
    limit = time.time() - grace
    for name in sorted(retired, key=lambda name: (retired[name], name))[: max(0, len(retired) - keep)]:
        if retired[name] < limit:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, name))


def _remove_leftovers(folder: str, stale: float) -> None:
    """Removes what killed updaters left in the catalog's folder: partial
    generations and pointers, and leases set aside. On this host those of a
    process that is gone; of other hosts, those untouched for `stale`
    seconds (the holder of the lease is the only writer)."""
    limit = time.time() - stale
    for name in os.listdir(folder):
        found = _LEFTOVER.fullmatch(name)
        if found is None:
            continue
        path = os.path.join(folder, name)
        host, pid = found.group(1), int(found.group(2))
        try:
            dead = (not _alive(pid)) if host == _HOST and os.name == "posix" else os.stat(path).st_mtime < limit
            if dead and pid != os.getpid():
                os.unlink(path)
        except OSError:
            continue
