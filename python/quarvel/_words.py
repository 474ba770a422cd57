"""The words in which the commands speak: a name as one line of text, the
one line that says why a file or a pattern gave nothing, counts of
things, and lengths and stretches of time."""

from __future__ import annotations

import numpy as np

from ._headers import NoMatchError, NotALogError
from ._loggers import NoLoggerError, no_logger_words
from ._times import utc_texts

_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def display_name(name: str, encoding: str | None = None) -> str:
    """Returns `name` as one line of text: itself when every character is
    printable (and can be written in `encoding`), else between double
    quotes with backslash escapes: \\xNN for a byte (an ASCII control
    character, or a byte that was not valid in the file system's encoding),
    \\uNNNN for any other character."""
    if name.isprintable() and _encodable(name, encoding):
        return name
    return '"' + "".join(_escape(c, encoding) for c in name) + '"'


def _encodable(text: str, encoding: str | None) -> bool:
    try:
        text.encode(encoding or "utf-8")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def _escape(c: str, encoding: str | None) -> str:
    if c in _ESCAPES:
        return _ESCAPES[c]
    code = ord(c)
    if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte, as os.fsdecode keeps it
        return f"\\x{code - 0xDC00:02x}"
    if c.isprintable() and _encodable(c, encoding):
        return c
    if code < 0x80:  # the same byte in any ASCII-based encoding
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def reason(error: Exception) -> str:
    """Returns one line that says why a file could not be read or written:
    the system's words where it refused."""
    if isinstance(error, NoLoggerError):
        return no_logger_words(error.expression)
    text = (error.strerror if isinstance(error, OSError) else None) or str(error) or type(error).__name__
    return " ".join(text.split())


def failure(path: str, error: Exception, encoding: str | None = None) -> str:
    """Returns the line that says why the file or pattern `path` gave
    nothing: no file matches the pattern, the file is of another format
    (NotALogError), the logger expression does not match its path, or it
    could not be read."""
    name = display_name(path, encoding)
    if isinstance(error, NoMatchError):
        return f"no file matches the pattern {name}"
    if isinstance(error, NotALogError):
        return f"input file {name} is {error.reason}, not a logger file"
    if isinstance(error, NoLoggerError):
        return f"{name}: {no_logger_words(error.expression)}"
    return f"cannot read {name}: {reason(error)}"


def counted(n: int, one: str, many: str | None = None) -> str:
    """Returns `n` things in words, with thousands separated: "1 file",
    "2,048 files" (`many`, when the plural is not `one` and an s)."""
    return f"{n:,} {one if n == 1 else many or one + 's'}"


def seconds_text(value: float) -> str:
    """Returns a number of seconds (its magnitude) as text: at most three
    decimals, none that are zero, and " s"."""
    text = f"{abs(value):,.3f}".rstrip("0").rstrip(".")
    return f"{text} s"


def duration_text(seconds: float) -> str:
    """Returns a length of time in the unit a person would say it in."""
    if seconds < 60:
        return seconds_text(seconds)
    if seconds < 3600:
        return f"{seconds / 60:.1f} minutes"
    return f"{seconds / 3600:,.1f} hours"


def span_text(low: float, high: float) -> str:
    """Returns the stretch of time from `low` to `high` (seconds since the
    epoch) in words: how long, and from when to when, in UTC to the minute;
    a time outside the calendar whole, "@" and its seconds, as the
    commands' other lines show it."""
    first, last = (text if text.startswith("@") else text[:16] for text in utc_texts(np.array([low, high])))
    return f"{duration_text(high - low)} from {first} to {last} UTC"


def series_text(logger: str | None, channel: int, encoding: str | None = None) -> str:
    """Returns the name of a series in words: "channel 3", or with a
    logger "logger b, channel 3"."""
    return f"channel {channel}" if logger is None else f"logger {display_name(logger, encoding)}, channel {channel}"


def listed(words: list[str], most: int = 8) -> str:
    """Returns `words` as a list in prose: "a", "a and b", "a, b and c";
    past `most` of them, the first ones and how many more."""
    if len(words) > most:
        words = [*words[: most - 1], f"{len(words) - most + 1:,} more"]
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


# What the commands say of a series whose blocks overlap for most of the
# time they cover, and the option that tells the loggers apart.
SEVERAL_LOGGERS = "as several loggers' blocks would: give --logger (folder or an expression) to tell the loggers apart"


def several_loggers_text(keys: list[tuple[str | None, int]], encoding: str | None = None) -> str:
    """Returns the sentence that says of the series `keys` (logger,
    channel) that they look like the blocks of several loggers."""
    if all(logger is None for logger, _ in keys):
        names = listed([str(channel) for _, channel in keys])
        head = f"channel {names}" if len(keys) == 1 else f"channels {names}"
    else:
        head = listed([series_text(logger, channel, encoding) for logger, channel in keys])
    whose = "its blocks overlap" if len(keys) == 1 else "their blocks overlap"
    return f"{head}: {whose} for most of the time they cover, {SEVERAL_LOGGERS}."
