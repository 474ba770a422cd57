"""Which logger wrote each file, by a rule on its path, and the series of
a campaign: one channel of one logger.

The logger is derived from the path whenever it is asked for, never
stored, so that headers read once serve every rule. The rules:

- None: one logger (every file's logger is None);
- "folder": the file's folder, named by its path relative to the common
  folder of all the files, with "/" between folders, or "." for that
  folder itself;
- any other str, or a compiled expression: a regular expression searched
  in the path as given; its group 1, or the whole match, names the logger;
- a callable: called with the path, it returns the name.
"""

from __future__ import annotations

import os
import re
from typing import Any, Callable, NamedTuple, Sequence, Union

import numpy as np

LoggerRule = Union[None, str, "re.Pattern[str]", Callable[[str], str]]
FOLDER = "folder"


class NoLoggerError(ValueError):
    """A file whose path the logger expression does not match."""

    def __init__(self, path: str, expression: str) -> None:
        super().__init__(f"{path}: {no_logger_words(expression)}")
        self.path = path
        self.expression = expression


def no_logger_words(expression: str) -> str:
    """Returns why a file has no logger by `expression`, without its name."""
    return f"no logger: the path does not match the expression {expression!r}"


def check_rule(rule: LoggerRule) -> LoggerRule:
    """Returns `rule`, an expression compiled; raises ValueError for an
    expression that does not compile and TypeError for a rule of another
    kind."""
    if rule is None or rule == FOLDER or callable(rule) or isinstance(rule, re.Pattern):
        return rule
    if isinstance(rule, str):
        try:
            return re.compile(rule)
        except re.error as error:
            raise ValueError(f"the logger expression {rule!r} does not compile: {error}") from None
    raise TypeError(f"logger must be None, 'folder', a regular expression or a callable, not {type(rule).__name__}")


def logger_names(paths: Sequence[str | bytes | os.PathLike], rule: LoggerRule) -> list[str] | None:
    """Returns the logger of each of `paths` by `rule`, or None for the rule
    None (one logger). Raises NoLoggerError for a path that an expression
    does not match."""
    rule = check_rule(rule)
    if rule is None:
        return None
    texts = [os.fsdecode(path) for path in paths]
    if rule == FOLDER:
        return _folders(texts)
    if isinstance(rule, re.Pattern):
        return [_match(rule, text) for text in texts]
    return [str(rule(text)) for text in texts]


def operand_loggers(
    files: Sequence[tuple[Any, Exception | None]], rule: LoggerRule
) -> tuple[list[tuple[Any, Exception | None]], dict | None]:
    """Returns `files` (pairs of a path and None, or of a pattern and the
    error of expanding it) with a NoLoggerError as the error of each file
    that the expression `rule` does not match, so that a command refuses it
    as a file it cannot read; and the logger of each other file, by its
    path (None for the rule None)."""
    rule = check_rule(rule)
    if rule is None:
        return list(files), None
    if not isinstance(rule, re.Pattern):
        paths = [path for path, error in files if error is None]
        return list(files), dict(zip(paths, logger_names(paths, rule)))
    out, names = [], {}
    for path, error in files:
        if error is None:
            try:
                names[path] = _match(rule, os.fsdecode(path))
            except NoLoggerError as refused:
                error = refused
        out.append((path, error))
    return out, names


def _folders(paths: list[str]) -> list[str]:
    """Returns each file's folder relative to the folder common to them all."""
    folders = [os.path.dirname(os.path.abspath(path)) for path in paths]
    if not folders:
        return []
    common = os.path.commonpath(folders)
    return [os.path.relpath(folder, common).replace(os.sep, "/") for folder in folders]


def _match(expression: re.Pattern[str], path: str) -> str:
    found = expression.search(path)
    if found is None:
        raise NoLoggerError(path, expression.pattern)
    if expression.groups and found.group(1) is not None:
        return found.group(1)
    return found.group(0)


class Series(NamedTuple):
    """The series of a campaign's blocks: per block the position of its
    series in `keys`, the (logger, channel) of each series sorted by logger
    name, then channel."""

    codes: np.ndarray
    keys: list[tuple[str | None, int]]

    def column_names(self) -> list[str]:
        """Returns a name per series: ch<N> for one logger, <logger>/ch<N>
        with a rule of loggers."""
        return [f"ch{channel}" if logger is None else f"{logger}/ch{channel}" for logger, channel in self.keys]


def series_of(loggers: list[str] | None, file: np.ndarray, channel: np.ndarray) -> Series:
    """Returns the Series of blocks given by the position of each one's
    file (`file`) and its `channel`, with `loggers` per file (None: one
    logger)."""
    channels, codes = _distinct(np.asarray(channel, dtype=np.int64))
    if loggers is None:
        return Series(codes, [(None, c) for c in channels.tolist()])
    names, per_file = np.unique(np.array(loggers, dtype=object), return_inverse=True)
    per_block = per_file.astype(np.int64).reshape(-1)[np.asarray(file)] if len(codes) else codes
    keys, codes = _distinct(per_block * len(channels) + codes)
    return Series(codes, [(names[key // len(channels)], int(channels[key % len(channels)])) for key in keys.tolist()])


def _distinct(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Returns the distinct `values` (int64), sorted, and the position of
    each value among them, as np.unique does; without a sort where the
    values span little more than their number (a campaign's channels)."""
    if not len(values):
        return values, values
    low, high = int(values.min()), int(values.max())
    if high - low > 2 * len(values) + (1 << 16):
        distinct, codes = np.unique(values, return_inverse=True)
        return distinct, codes.reshape(-1).astype(np.int64)
    seen = np.zeros(high - low + 1, dtype=np.int64)
    seen[values - low] = 1
    distinct = np.flatnonzero(seen)
    np.cumsum(seen, out=seen)
    return distinct + low, seen[values - low] - 1
