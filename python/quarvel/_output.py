"""The one way in which the package writes a file it makes: an export's
NetCDF file or Zarr store, check's reports, plot's pictures, and any
text streamed a line at a time.

An output that is one of the inputs (the same device and inode, through
a link too), or a folder that holds one, is refused before any input is
read. It is written beside its place, as OUT.partial-HOST-PID (which
`ls` shows), and renamed into place only when complete: a failure
leaves the old OUT as it was. What a writer that was killed left beside
OUT is removed by the next one on that host once its process has ended.
The system's refusals are said in the C library's words.

    out = Output("report.json")
    out.prepare(inputs)          # before reading any input
    with out.text() as file:     # or: with out.writing() as partial: ...
        file.write(...)
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import re
import shutil
import socket
import stat
import sys
from typing import Any, Callable, Iterable, Iterator, TextIO

from ._words import display_name, reason

STANDARD_OUTPUT = "-"  # an OUT that names standard output


class OutputError(Exception):
    """An output that cannot be written: its `path`, and `why` in one line
    (the C library's words where the system refused). `other` is the
    input that `why` names as "{other}", if any."""

    def __init__(self, path: str, why: str, other: str | None = None) -> None:
        super().__init__(path, why, other)
        self.path = path
        self.why = why
        self.other = other

    def line(self, encoding: str | None = None) -> str:
        """Returns "cannot write OUT: WHY", names escaped for `encoding`."""
        why = self.why if self.other is None else self.why.format(other=display_name(self.other, encoding))
        return f"cannot write {display_name(self.path, encoding)}: {why}"

    def __str__(self) -> str:
        return self.line()


class Output:
    """A file, or with `store` a folder, that the package makes at `path`.
    `store` is (a test of whether an existing folder may be replaced, and
    what such a folder is called): a folder that fails the test is left
    alone."""

    def __init__(self, path: str, store: tuple[Callable[[str], bool], str] | None = None) -> None:
        self.path = path
        self.store = store

    def prepare(self, inputs: Iterable[str]) -> None:
        """Raises OutputError when the output cannot be made: it is one of
        the files `inputs`, or a folder that holds one; it is a folder
        (for a file), or a folder or file that the store's test refuses;
        or the file beside it that it is written into cannot be created
        (a missing or read-only folder). Reads no input: call it before
        reading any, so that a long run is not wasted."""
        clash = input_at(self.path, inputs)
        if clash is not None:
            how, taken = clash
            raise OutputError(self.path, f"it {how} the input {{other}}", taken)
        if self.store is None:
            if os.path.isdir(self.path):
                raise OutputError(self.path, os.strerror(errno.EISDIR))
        elif os.path.lexists(self.path) and not self.store[0](self.path):
            raise OutputError(self.path, self._not_a_store())
        partial = leftover_name(self.path, "partial")
        try:
            if self.store is None:
                os.close(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
                os.unlink(partial)
            else:
                os.mkdir(partial)
                os.rmdir(partial)
        except OSError as error:
            raise OutputError(self.path, reason(error)) from error

    @contextlib.contextmanager
    def writing(self, passes: tuple[type[BaseException], ...] = ()) -> Iterator[str]:
        """Yields the name of the file (or folder) to write the output into,
        beside `path`, and puts it in the place of `path` once the block
        ends. When the block raises, the partial output is removed and
        the old one left as it was: an error of one of the types `passes`
        (the inputs' own) is raised again as it is, any other as an
        OutputError that says why writing failed."""
        remove_leftovers(self.path)
        partial = leftover_name(self.path, "partial")
        try:
            yield partial
            self._put_in_place(partial)
        except (OutputError, *passes):
            _remove(partial)
            raise
        except Exception as error:  # noqa: BLE001 - every library's way of failing, said in one line
            why = write_reason(error, partial)
            _remove(partial)
            raise OutputError(self.path, why) from error
        except BaseException:
            _remove(partial)
            raise

    @contextlib.contextmanager
    def text(self) -> Iterator[TextIO]:
        """Yields a text file (UTF-8, "\\n" line ends) to stream the output
        into, put in place as writing() puts one."""
        with self.writing() as partial, open(partial, "w", encoding="utf-8", newline="\n") as file:  # noqa: PTH123
            yield file

    def _put_in_place(self, partial: str) -> None:
        """Puts the finished output `partial` in the place of `path`. A file
        replaces the old one in one step. A folder is swapped with the old
        one in one step where the system can (renameat2 on Linux), and the
        old one then deleted; elsewhere the old one is renamed aside and
        the new one renamed in, and between the two `path` is missing for
        a moment. Other writers of `path` at the same time may put theirs
        in first: `path` is then one of the outputs, whole."""
        out = self.path
        if self.store is None:
            os.replace(partial, out)
            return
        for _ in range(_ATTEMPTS):
            if not os.path.lexists(out):
                if _rename_in(partial, out):
                    return
                continue  # another writer was quicker
            if not self.store[0](out):
                raise FileExistsError(self._not_a_store())
            try:
                swapped = _exchange(partial, out)
            except FileNotFoundError:
                continue  # taken away by another writer
            if swapped:
                _remove(partial)  # the old one
                return
            aside = leftover_name(out, "old")
            try:
                os.rename(out, aside)
            except FileNotFoundError:
                continue
            try:
                placed = _rename_in(partial, out)
            except OSError:
                os.rename(aside, out)  # the old one back
                raise
            _remove(aside)
            if placed:
                return
        raise BlockingIOError(errno.EAGAIN, "other writers of it kept replacing it")

    def _not_a_store(self) -> str:
        what = "a folder" if os.path.isdir(self.path) else "a file"
        return f"it is {what} that is not {self.store[1]}; remove it or name another"  # type: ignore[index]


def input_at(out: str, paths: Iterable[str]) -> tuple[str, str] | None:
    """Returns ("is", path) for the first of `paths` that is the file or
    folder `out` (the same device and inode: through links too), or
    ("holds", path) for the first that lies in the folder `out`; None when
    `out` is none of them (or does not exist)."""
    try:
        target = os.stat(out)
    except (OSError, ValueError):
        return None
    folders: dict[str, bool] = {}

    def within(folder: str) -> bool:  # the folder `out` or one below it
        if folder not in folders:
            parent = os.path.dirname(folder)
            try:
                folders[folder] = os.path.samestat(os.stat(folder), target)
            except OSError:
                folders[folder] = False
            folders[folder] = folders[folder] or (parent != folder and within(parent))
        return folders[folder]

    for path in paths:
        try:
            info = os.stat(path)
        except (OSError, ValueError):
            continue
        if os.path.samestat(info, target):
            return "is", path
        if stat.S_ISDIR(target.st_mode) and within(os.path.dirname(os.path.realpath(path))):
            return "holds", path
    return None


# ---- the files beside an output

# The host's name as a file name may hold it: what a writer leaves beside
# its output is named after the host and the process, so that a writer on
# another machine that shares the folder never takes them for dead ones.
_HOST = re.sub(r"[^A-Za-z0-9._-]+", "_", socket.gethostname()) or "host"
# Writers of one output that keep taking its place from each other.
_ATTEMPTS = 100
# Bytes appended to a failed output to ask the system what it refuses.
_PROBE = 1 << 20
# renameat2() as Linux defines it; AT_FDCWD makes the paths relative to
# the current folder.
_AT_FDCWD = -100
_RENAME_EXCHANGE = 2
_renameat2: Any = None


def leftover_name(out: str, what: str) -> str:
    """Returns the name beside `out` of this process's "partial" output, or
    of the "old" one it moves aside: OUT.WHAT-HOST-PID, which `ls` shows."""
    head, tail = os.path.split(out)
    return os.path.join(head, f"{tail}.{what}-{_HOST}-{os.getpid()}")


def remove_leftovers(out: str) -> None:
    """Removes what writers of `out` on this host left when they were
    killed: the outputs named by leftover_name() whose process is gone. A
    live process's are its own, and kept. (Where os.kill(pid, 0) cannot
    test a process, on Windows, none is removed.)"""
    if os.name != "posix":
        return
    head, tail = os.path.split(out)
    pattern = re.compile(re.escape(tail) + r"\.(?:partial|old)-" + re.escape(_HOST) + r"-([0-9]+)")
    try:
        names = os.listdir(head or os.curdir)
    except OSError:
        return
    for name in names:
        found = pattern.fullmatch(name)
        if found and not _alive(int(found.group(1))):
            _remove(os.path.join(head, name))


def _alive(pid: int) -> bool:
    if pid <= 0:
        return True  # never a writer's: os.kill would signal a group
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):  # another user's, or no process number at all
        return True
    return True


def _rename_in(partial: str, out: str) -> bool:
    """Renames `partial` to `out`; False when another folder took that name first."""
    try:
        os.rename(partial, out)
    except OSError as error:
        if error.errno in (errno.EEXIST, errno.ENOTEMPTY):
            return False
        raise
    return True


def _exchange(a: str, b: str) -> bool:
    """Swaps the names `a` and `b` in one step, with Linux's renameat2();
    returns False where the system (the C library, the kernel or the file
    system) cannot. Raises the OSError of a failed swap."""
    global _renameat2
    if _renameat2 is None:
        _renameat2 = _load_renameat2()
    if not _renameat2:
        return False
    if _renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), b)


def _load_renameat2() -> Any:
    """The C library's renameat2 (glibc 2.28 and later), or False."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    function.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
    function.restype = ctypes.c_int
    return function


def write_reason(error: BaseException, partial: str) -> str:
    """Why writing an output failed, in the C library's words when the
    system refused: those of an OSError behind the error, else, where the
    library says no more than that it failed (netCDF's "NetCDF: HDF error"
    on a full disk), those of the system when asked to write more into
    `partial`, the output it left."""
    cause: BaseException | None = error
    while cause is not None:
        if isinstance(cause, OSError):  # the system's words, or the writer's own
            return reason(cause)
        cause = cause.__cause__ or cause.__context__
    if not os.path.lexists(partial):  # the library wrote nothing
        return reason(error)  # type: ignore[arg-type]
    target = os.path.join(partial, ".probe") if os.path.isdir(partial) else partial
    try:
        with open(target, "ab") as probe:  # noqa: PTH123 - a path that may not be UTF-8
            probe.write(bytes(_PROBE))
            probe.flush()
            os.fsync(probe.fileno())
    except OSError as refused:
        if refused.strerror:
            return reason(refused)
    return reason(error)  # type: ignore[arg-type]


def _remove(path: str) -> None:
    """Removes the file, link or folder `path`, if it can."""
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
    except OSError:
        pass
