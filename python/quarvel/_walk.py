"""The files that a catalog's sources name, found by listing folders, and
their identities, read by one stat call per file.

A source is a path or a glob pattern, as quarvel.index takes them: a
pattern (a str with *, ? or [ that names no file itself) matches what
glob.glob(pattern, recursive=True) matches, files only (** reaching into
subfolders, wildcards passing over names that start with a dot), and
never reaches into a Zarr store or a catalog's folder below its first
wildcard. Listing comes first, a folder at a time, and gives names alone;
the identities of the files of a folder are then read together, here or
on the workers of a cluster. Patterns also select among paths already
known (a catalog's) without listing anything.
"""

from __future__ import annotations

import fnmatch
import functools
import os
import re
import stat
from array import array
from typing import Callable, NamedTuple

import numpy as np

from ._headers import NotRegularFileError, describe_kind
from ._signatures import CATALOG_POINTER, ZARR_METADATA, is_catalog

# What a stat of a listed name found.
REGULAR, GONE, FAILED = 0, 1, 2
# A file's identity: size, mtime_ns, ctime_ns, inode (as a signed 64-bit
# number, as SQLite keeps integers). The device is left out: the hosts
# that share the files number it differently.
IDENTITY_FIELDS = ("size", "mtime_ns", "ctime_ns", "inode")
_STORE_NAMES = frozenset((*ZARR_METADATA, CATALOG_POINTER))
_NO_IDENTITY = (0, 0, 0, 0)
_TOP = 1 << 63


def is_pattern(source: str) -> bool:
    """True when `source` is a glob pattern: it holds *, ? or [ and names no file itself."""
    return any(c in "*?[" for c in source) and not os.path.lexists(source)


def split_pattern(pattern: str) -> tuple[str, list[str]]:
    """Returns the folder before a pattern's first wildcard (its root) and
    the parts of the pattern after it, one per folder level."""
    head, parts = pattern, []
    while any(c in "*?[" for c in head):
        head, tail = os.path.split(head)
        parts.append(tail)
        if not tail and not head:
            break
    return head or os.curdir, parts[::-1]


def expand(source: str) -> list[tuple[str, list[str]]]:
    """Returns the folders that hold the files an absolute `source` names,
    each with the names of those files, in the order the folders list
    them; a path that names no file is kept (its stat says it is gone)."""
    if not is_pattern(source):
        folder, name = os.path.split(source)
        return [(folder, [name])]
    root, parts = split_pattern(source)
    found: list[tuple[str, list[str]]] = []
    entries = _entries(root)
    if entries is not None and parts:
        _walk(root, entries, parts, found)
    return found


def _walk(folder: str, entries: list[tuple[str, bool]], parts: list[str], found: list) -> None:
    """Matches `parts` in `folder`, whose `entries` (name, is a folder) are listed."""
    part, rest = parts[0], parts[1:]
    if part == "**":  # no folder, or any number of folders whose names do not start with a dot
        if rest:
            _walk(folder, entries, rest, found)
        else:
            _keep(found, folder, [name for name, is_dir in entries if not is_dir and name[:1] != "."])
        for name, is_dir in entries:
            if is_dir and name[:1] != ".":
                _descend(os.path.join(folder, name), parts, found)
        return
    match = _matcher(part)
    if rest:
        for name, is_dir in entries:
            if is_dir and match(name):
                _descend(os.path.join(folder, name), rest, found)
    else:
        _keep(found, folder, [name for name, is_dir in entries if not is_dir and match(name)])


def _descend(folder: str, parts: list[str], found: list) -> None:
    entries = _entries(folder)
    if entries is not None and not _is_store(folder, entries):
        _walk(folder, entries, parts, found)


def _keep(found: list, folder: str, names: list[str]) -> None:
    if names:
        found.append((folder, names))


def _entries(folder: str) -> list[tuple[str, bool]] | None:
    """The names in `folder`, each with whether it is a folder (or a link
    to one); None when it cannot be listed, which a pattern passes over."""
    try:
        with os.scandir(folder) as listing:
            entries = list(listing)
    except OSError:
        return None
    try:
        return [(entry.name, entry.is_dir()) for entry in entries]
    except OSError:  # a link whose target cannot be asked: taken for no folder
        return [(entry.name, is_folder(entry)) for entry in entries]


def is_folder(entry: os.DirEntry) -> bool:
    """Returns whether `entry` is a folder (through links); False where that cannot be asked."""
    try:
        return entry.is_dir()
    except OSError:
        return False


def _is_store(folder: str, entries: list[tuple[str, bool]]) -> bool:
    """True when `folder` is a Zarr store or a catalog's folder."""
    special = [name for name, is_dir in entries if not is_dir and name in _STORE_NAMES]
    return any(name != CATALOG_POINTER for name in special) or (bool(special) and is_catalog(folder))


@functools.lru_cache(maxsize=256)
def _matcher(part: str) -> Callable[[str], bool]:
    """Returns a test of a name against one part of a pattern, as glob
    applies it: a name that starts with a dot only when the part does."""
    if not any(c in "*?[" for c in part):
        return part.__eq__
    flags = re.IGNORECASE if os.path.normcase("A") == "a" else 0
    hidden = "" if part.startswith(".") else r"(?!\.)"  # a name that starts with a dot only when the part does
    return re.compile(hidden + fnmatch.translate(part), flags).match  # type: ignore[return-value]


def path_matcher(pattern: str) -> Callable[[str], bool]:
    """Returns a test of an absolute, normalised path: whether the absolute
    `pattern` would match it, were it a file (stores aside)."""
    root, parts = split_pattern(pattern)
    tests = [None if part == "**" else _matcher(part) for part in parts]
    prefix = os.path.join(root, "")

    def matches(path: str) -> bool:
        return path.startswith(prefix) and _parts_match(path[len(prefix) :].split(os.sep), tests)

    return matches


def _parts_match(names: list[str], tests: list) -> bool:
    """True when the folder and file `names` match the tests of a pattern's
    parts (None for **)."""
    if not tests:
        return not names
    test, rest = tests[0], tests[1:]
    if test is not None:
        return bool(names) and test(names[0]) and _parts_match(names[1:], rest)
    if not rest:  # a last **: a file at any depth, through no name that starts with a dot
        return bool(names) and all(name[:1] != "." for name in names)
    for skip in range(len(names)):  # ** passing over names[:skip]
        if _parts_match(names[skip:], rest):
            return True
        if names[skip][:1] == ".":
            return False
    return False


class Identities(NamedTuple):
    """What stat found of the names of one folder, in their order: `kinds`
    (REGULAR, GONE or FAILED), `identity` (a row of IDENTITY_FIELDS per
    name, zeros where not REGULAR), and for each FAILED name, by its
    position, the error to report."""

    kinds: bytes
    identity: np.ndarray
    errors: dict[int, OSError]


def identities(folder: str, names: list[str]) -> Identities:
    """Returns the Identities of the files `names` in `folder`: one stat
    call each, following links. A name that no longer exists is GONE;
    one that is no regular file, or that cannot be asked, is FAILED."""
    at = _open_folder(folder)  # a name looked up in its open folder costs less than a whole path
    try:
        if at is not None:
            try:
                infos = [os.stat(name, dir_fd=at) for name in names]
            except (OSError, ValueError):
                pass  # each name on its own, below
            else:
                if all(stat.S_ISREG(info.st_mode) for info in infos):
                    numbers = np.array([(info.st_size, info.st_mtime_ns, info.st_ctime_ns, signed64(info.st_ino))
                                        for info in infos], dtype=np.int64).reshape(-1, 4)  # fmt: skip
                    return Identities(bytes(len(names)), numbers, {})
        return _each(folder, names, at)
    finally:
        if at is not None:
            os.close(at)


def _each(folder: str, names: list[str], at: int | None) -> Identities:
    """Returns the Identities of the files `names` in `folder` (open as
    `at`, if not None), name by name."""
    kinds = bytearray(len(names))
    numbers = array("q")
    errors: dict[int, OSError] = {}
    for i, name in enumerate(names):
        try:
            info = os.stat(os.path.join(folder, name)) if at is None else os.stat(name, dir_fd=at)
        except FileNotFoundError:
            kinds[i] = GONE
            numbers.extend(_NO_IDENTITY)
            continue
        except (OSError, ValueError) as error:
            kinds[i], errors[i] = FAILED, error if isinstance(error, OSError) else OSError(str(error))
            numbers.extend(_NO_IDENTITY)
            continue
        if not stat.S_ISREG(info.st_mode):
            kinds[i], errors[i] = FAILED, _not_regular(os.path.join(folder, name), info.st_mode)
            numbers.extend(_NO_IDENTITY)
            continue
        numbers.extend((info.st_size, info.st_mtime_ns, info.st_ctime_ns, signed64(info.st_ino)))
    return Identities(bytes(kinds), np.frombuffer(numbers, dtype=np.int64).reshape(-1, 4), errors)


def _open_folder(folder: str) -> int | None:
    """Returns a descriptor of `folder` for stat calls relative to it, or
    None where the system has none (or it cannot be opened)."""
    if os.stat not in os.supports_dir_fd:
        return None
    try:
        return os.open(folder or os.curdir, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return None


def identities_of(folders: list[tuple[str, list[str]]]) -> list[Identities]:
    """Returns the Identities of each folder's names: one task's work."""
    return [identities(folder, names) for folder, names in folders]


def _not_regular(path: str, mode: int) -> OSError:
    if stat.S_ISDIR(mode):
        return IsADirectoryError(21, os.strerror(21), path)
    kind = describe_kind(mode)
    return NotRegularFileError(22, f"not a regular file ({kind}); save it to a file first", path)


def signed64(number: int) -> int:
    """Returns an unsigned 64-bit number as the signed one of the same bits."""
    return number - 2 * _TOP if number >= _TOP else number
