"""`python3 -m quarvel info`: what the logger files hold, from their block
headers alone. Uses no numpy, whose import would cost more than scanning
thousands of small files."""

from __future__ import annotations

import json
import math
import struct
import sys
from datetime import datetime, timedelta, timezone
from fractions import Fraction
from typing import Any, Sequence, TextIO

from ._headers import Header, running_time, scan_file, time_step

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
FLOAT32 = struct.Struct("<f")


def describe_file(path: str) -> dict[str, Any]:
    """Returns the summary of one logger file: its blocks and the gaps and
    overlaps between blocks of a channel. Raises OSError when the file
    cannot be read."""
    headers, size = scan_file(path)
    blocks = [_describe_block(i, header) for i, header in enumerate(headers)]
    return {"path": path, "size": size, "blocks": blocks, "gaps": _gaps(blocks)}


def _describe_block(index: int, header: Header) -> dict[str, Any]:
    step = time_step(header.period_ms)
    last = running_time(header.first_time, step, header.present - 1) if header.present > 0 else None
    return {
        "index": index,
        "channel": header.channel,
        "period_ms": header.period_ms,
        "first_time": header.first_time,
        "last_time": last,
        "start_utc": utc_text(header.first_time),
        "end_utc": utc_text(last) if last is not None else None,
        "declared_samples": header.declared_samples,
        "present_samples": header.present,
        "truncated": header.present < header.declared_samples,
        "gain": header.gain,
        "offset": header.offset,
        "step": step,
    }


def _gaps(blocks: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The gaps (positive) and overlaps (negative) between each block with
    samples and the next one of its channel: the next block's first time
    less the time the converter would have stamped on one more sample."""
    previous: dict[int, dict[str, Any]] = {}
    gaps = []
    for block in blocks:
        if block["last_time"] is None:
            continue
        before = previous.get(block["channel"])
        previous[block["channel"]] = block
        if before is None:
            continue
        seconds = block["first_time"] - (before["last_time"] + before["step"])
        if seconds != 0:
            periods = seconds / before["step"] if before["step"] != 0 else None
            gaps.append(
                {
                    "channel": block["channel"],
                    "from_block": before["index"],
                    "to_block": block["index"],
                    "seconds": seconds,
                    "periods": periods,
                }
            )
    return gaps


def utc_text(seconds: float) -> str:
    """Returns `seconds` since the epoch as UTC with milliseconds, rounded
    as the converter's "%.3f" rounds; far outside the calendar, the
    seconds themselves."""
    millis = round(Fraction(seconds) * 1000)
    try:
        moment = EPOCH + timedelta(milliseconds=millis)
    except OverflowError:
        return f"@{seconds:.3f}"
    return moment.strftime("%Y-%m-%d %H:%M:%S.") + f"{moment.microsecond // 1000:03d}"


def shortest_float32(value: float) -> str:
    """Returns the shortest text that reads back as the same binary32 value."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        if FLOAT32.unpack(FLOAT32.pack(candidate))[0] == value:
            return repr(candidate)
    return repr(value)


COLUMNS = ("block", "channel", "period ms", "start (UTC)", "end (UTC)", "declared", "present", "gain", "offset", "")


def format_text(summary: dict[str, Any]) -> str:
    """Returns the human-readable report of one file."""
    blocks = summary["blocks"]
    lines = [f"{summary['path']}: {len(blocks)} block{'' if len(blocks) == 1 else 's'}, {summary['size']} bytes"]
    if not blocks:
        return lines[0] + "\n"
    rows = [COLUMNS] + [
        (
            str(b["index"]),
            str(b["channel"]),
            str(b["period_ms"]),
            b["start_utc"],
            b["end_utc"] or "-",
            str(b["declared_samples"]),
            str(b["present_samples"]),
            shortest_float32(b["gain"]),
            shortest_float32(b["offset"]),
            "truncated" if b["truncated"] else "",
        )
        for b in blocks
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(len(COLUMNS))]
    left = {3, 4, 9}  # text columns; numbers align right
    for row in rows:
        cells = [
            cell.ljust(width) if i in left else cell.rjust(width) for i, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  " + "  ".join(cells).rstrip())
    for gap in summary["gaps"]:
        kind = "gap" if gap["seconds"] > 0 else "overlap"
        periods = f" ({abs(gap['periods']):.6g} periods)" if gap["periods"] is not None else ""
        lines.append(
            f"  channel {gap['channel']}: {kind} of {abs(gap['seconds']):.3f} s{periods}"
            f" between blocks {gap['from_block']} and {gap['to_block']}"
        )
    return "\n".join(lines) + "\n"


def _json_number(value: float | None) -> float | str | None:
    # JSON has no NaN or infinity: those are written as strings.
    if value is None or math.isfinite(value):
        return value
    return shortest_float32(value)


def to_json(summary: dict[str, Any]) -> dict[str, Any]:
    """Returns the summary with non-finite numbers spelled as strings."""
    blocks = [
        {key: (_json_number(v) if key in ("gain", "offset") else v) for key, v in block.items() if key != "step"}
        for block in summary["blocks"]
    ]
    return {**summary, "blocks": blocks}


def run(paths: Sequence[str], as_json: bool, out: TextIO = sys.stdout, err: TextIO = sys.stderr) -> int:
    """Reports on every file in `paths`; returns 1 if any could not be read."""
    status = 0
    reports = []
    for path in paths:
        try:
            summary = describe_file(path)
        except OSError as error:
            status = 1
            print(f"quarvel info: cannot read {path}: {error.strerror or error}", file=err)
            reports.append({"path": path, "error": error.strerror or str(error)})
            continue
        if as_json:
            reports.append(to_json(summary))
        else:
            out.write(format_text(summary))
    if as_json:
        # One line, by the json module's fast encoder (indenting is slow)
        out.write(json.dumps({"files": reports}) + "\n")
    return status

