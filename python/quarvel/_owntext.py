"""Text that the quarvel converter wrote, told from a logger file by the
converter's two rules (src/owntext.cpp), so that the two always agree.

`is_own_text` is the loose rule, which looks at the first line: the
converter refuses such an input as "a text file written by quarvel". A
logger file meets it only when its first channel is at least 2^24 or
below -2^24. `is_strict_text` is the strict rule, which looks at every
line of the first 4 KiB: the converter writes a text file over another
operand of its run only when that operand is such text (or empty).
"""

from __future__ import annotations

import re

# The longest first line the converter can write, CR LF included, and the
# part of a file that the strict rule reads.
FIRST_LINE_MAX = 203
TEXT_HEAD_SIZE = 4096

_LOOSE_FIRST_LINE = re.compile(rb"%ADC CHANNEL         : -?[0-9]{1,10}|[0-9.,\-naif]*")

_INTEGER = rb"(?:0|-?[1-9][0-9]{0,9})"
_NOT_NEGATIVE = rb"(?:0|[1-9][0-9]{0,9})"
_FIXED_START = rb"-?(?:0|[1-9][0-9]{0,38})\."
_TIME_STAMP = _FIXED_START + rb"[0-9]{3}"
_VALUE = rb"(?:" + _FIXED_START + rb"[0-9]{6}|-?nan|-?inf)"
_TIME_TEXT = (
    rb"(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) (?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    rb"[ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"
)
_HEADER_LINE = (
    rb"%(?:(?:ADC CHANNEL         |TOTAL SAMPLES       ): " + _INTEGER
    + rb"|SAMPLE PERIOD       : " + _NOT_NEGATIVE + rb" ms"
    + rb"|FIRST SAMPLE LOGGED : " + _TIME_TEXT
    + rb"|(?:CALIBRATION OFFSET  |CALIBRATION GAIN    ): " + _VALUE + rb")"
)  # fmt: skip


def _field(kind: bytes) -> bytes:
    """A field of a record that may be left out: it is followed by a comma
    and another field, or by the line's end."""
    return rb"(?:" + kind + rb"(?:,(?!\r)|(?=\r)))?"


# Some of the fields, in the converter's order: time stamp, channel, period,
# sample count, gain, offset, raw count, calibrated value. A record of no
# field is an empty line.
_RECORD = b"".join(_field(kind) for kind in (_TIME_STAMP, *[_INTEGER] * 3, *[_VALUE] * 2, _INTEGER, _VALUE))
_LINE = rb"(?:" + _HEADER_LINE + rb"|" + _RECORD + rb")\r\n"
# Whole lines, then a line cut short: printable characters, perhaps with its
# CR. A line, once matched, is kept as matched ((?=(X))\1 is X taken whole,
# as Python before 3.11 has no atomic group): a record may match in several
# ways, and trying them all again for every earlier line would never end.
_STRICT_HEAD = re.compile(rb"(?:(?=(" + _LINE + rb"))\1)*[ -~]*\r?")


def is_own_text(head: bytes) -> bool:
    """Returns whether `head`, the start of a file (its first 203 bytes are
    enough), is text that the converter wrote by its loose rule: a line
    feed comes within the first 203 bytes, after a carriage return, and the
    line before it is "%ADC CHANNEL         : ", an optional minus sign and
    1 to 10 digits, or is made of nothing but the digits and . , - n a i f."""
    start = head[:FIRST_LINE_MAX]
    line_feed = start.find(b"\n")
    if line_feed < 1 or start[line_feed - 1] != ord("\r"):
        return False
    return _LOOSE_FIRST_LINE.fullmatch(start, 0, line_feed - 1) is not None


def is_strict_text(head: bytes) -> bool:
    """Returns whether `head`, the first 4096 bytes of a file (all of it if
    it is shorter), is text that the converter wrote by its strict rule:
    `is_own_text` holds, every line ended by a line feed ends with CR LF and
    is a header line or a record as the converter writes them, and what
    follows the last line feed is printable ASCII, perhaps with a CR."""
    return is_own_text(head) and _STRICT_HEAD.fullmatch(head, 0, TEXT_HEAD_SIZE) is not None
