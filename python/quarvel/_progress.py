"""Progress of long work on the command line: tqdm's bar on standard
error. Here alone is decided whether one is shown: only once the command
line has asked for bars (enable()), only when standard error is a
terminal, and only when tqdm is installed (without it, no bar and no
error). A bar shows itself after a second of work and clears itself when
done, so that a short run, a log and the tests' outputs see none."""

from __future__ import annotations

import sys
from typing import Any, Iterator, Sequence, TextIO

# Seconds of work before a bar shows.
DELAY = 1.0

_enabled = False


def enable() -> None:
    """Lets bars show: the command line calls this; the library, used from
    Python, shows none."""
    global _enabled
    _enabled = True


def _tqdm(beside: TextIO | None = None) -> Any:
    """tqdm's bar class when a bar may show, else None: bars are enabled,
    standard error is a terminal, tqdm is installed, and `beside` (a
    stream that the command writes as it goes) is no terminal."""
    if not _enabled or not _is_terminal(sys.stderr) or (beside is not None and _is_terminal(beside)):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):  # no stream, or a closed one
        return False


class _Silent:
    """A bar that shows nothing."""

    def update(self, n: int = 1) -> None:
        pass

    def set_description_str(self, text: str) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> _Silent:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def bar(total: int, unit: str, what: str, beside: TextIO | None = None) -> Any:
    """Returns a bar of `total` `unit`s of work called `what`, which the
    caller update()s and close()s (or uses in a with statement): tqdm's,
    on standard error, when one may show (see _tqdm), else one that shows
    nothing."""
    tqdm = _tqdm(beside)
    if tqdm is None:
        return _Silent()
    return tqdm(total=total, unit=unit, desc=what, delay=DELAY, leave=False, file=sys.stderr, dynamic_ncols=True,
                unit_scale=unit != "file")  # fmt: skip


def status(what: str) -> Any:
    """Returns a line of text kept up to date on standard error, where a
    bar may show (else one that shows nothing): the caller sets its text
    with set_description_str() and close()s it. It shows at once."""
    tqdm = _tqdm()
    if tqdm is None:
        return _Silent()
    return tqdm(total=None, desc=what, bar_format="{desc}", leave=False, file=sys.stderr, dynamic_ncols=True)


def each(items: Sequence, unit: str, what: str, beside: TextIO | None = None) -> Iterator:
    """Yields `items`, with a bar of one `unit` each (see bar()), which
    closes when they are done or the caller stops."""
    with bar(len(items), unit, what, beside) as shown:
        for item in items:
            yield item
            shown.update(1)


def lines(stream: TextIO) -> TextIO:
    """Returns `stream` (standard error), or where a bar may show, a stream
    that writes each whole line to it above the bar, so that messages
    printed while a bar runs are not mixed into it."""
    tqdm = _tqdm()
    return stream if tqdm is None else _AboveBars(stream, tqdm)


class _AboveBars:
    """Writes whole lines through tqdm.write, which clears the bars, writes
    the line and draws them again."""

    def __init__(self, stream: TextIO, tqdm: Any) -> None:
        self.stream = stream
        self.tqdm = tqdm
        self.encoding = getattr(stream, "encoding", None)
        self.pending = ""

    def write(self, text: str) -> int:
        self.pending += text
        *whole, self.pending = self.pending.split("\n")
        for line in whole:
            self.tqdm.write(line, file=self.stream)
        return len(text)

    def flush(self) -> None:
        if self.pending:
            self.tqdm.write(self.pending, file=self.stream, end="")
            self.pending = ""
        self.stream.flush()

    def isatty(self) -> bool:
        return _is_terminal(self.stream)

