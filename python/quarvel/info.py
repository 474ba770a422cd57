"""`python3 -m quarvel info`: what the logger files hold, from their block
headers alone, and a summary of them all. The report is written a stretch
of blocks at a time, so that a file of millions of blocks takes no more
memory than its index."""

from __future__ import annotations

import json
import math
import sys
from typing import Any, Iterator, Sequence, TextIO

import numpy as np

from ._index import BlockTable, beyond, block_gaps, gap_counts, time_span
from ._progress import each
from ._scan import Operand, operand_files, scan_headers
from ._times import MAX_MILLIS, MIN_MILLIS, milliseconds, utc_texts
from ._words import counted, display_name, failure, reason, span_text

# Blocks formatted at a time: bounds the report's memory.
STRETCH = 1 << 14


def shortest_float32(value: float) -> str:
    """Returns the shortest text that reads back as the same binary32 value."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    with np.errstate(over="ignore"):  # a candidate past the largest float32 rounds to infinity
        for digits in range(1, 10):
            candidate = float(f"{value:.{digits}g}")
            if float(np.float32(candidate)) == value:
                return repr(candidate)
    return repr(value)


def _widen(values: np.ndarray) -> list[float]:
    """Returns float32 values as Python floats (a signalling NaN becomes quiet)."""
    with np.errstate(invalid="ignore"):
        return values.astype(np.float64).tolist()


class Group:
    """The reports of consecutive files, computed together from one index
    so that a small file costs no numpy call of its own. `files` holds each
    operand as the scan found it."""

    def __init__(self, files: list[Operand], table: BlockTable) -> None:
        self.files = files
        self.table = table
        count = len(table)
        self.last = table.end_times()
        self.truncated = table.truncated()
        # Few distinct calibrations: each is spelled once.
        bits = np.concatenate([table.gain.view(np.uint32), table.offset.view(np.uint32)])
        distinct, inverse = np.unique(bits, return_inverse=True)
        self.numbers = _widen(distinct.view(np.float32))
        self.spelled = [shortest_float32(v) for v in self.numbers]
        self.gain_code = inverse[:count]
        self.offset_code = inverse[count:]
        self._gaps, self.gap_counts = self._find_gaps()
        self._chunk = -1
        self._lists: dict[str, list] = {}

    def _find_gaps(self) -> tuple[dict[int, list[dict[str, Any]]], tuple[int, int]]:
        """Returns per file (its position in the table) the gaps (positive)
        and overlaps (negative) between each block with samples and the next
        one of its channel in the file, in the order of the later block; and
        how many gaps and overlaps there are in all."""
        table = self.table
        pairs = block_gaps(table, np.arange(len(table)), self.last, per_file=True)
        before, after, seconds, period_s = pairs
        keep = np.flatnonzero(beyond(pairs, 0.0))
        keep = keep[np.argsort(after[keep], kind="stable")]
        gaps: dict[int, list[dict[str, Any]]] = {}
        for i in keep.tolist():
            row = int(after[i])
            gaps.setdefault(int(table.file[row]), []).append(
                {
                    "channel": int(table.channel[row]),
                    "from_block": int(table.block[before[i]]),
                    "to_block": int(table.block[row]),
                    "seconds": float(seconds[i]),
                    "periods": float(seconds[i] / period_s[i]) if period_s[i] != 0 else None,
                }
            )
        return gaps, gap_counts(seconds[keep])

    def gaps(self, file: int) -> list[dict[str, Any]]:
        """The gaps of the table's file `file`."""
        return self._gaps.get(file, [])

    def rows(self, low: int, high: int) -> Iterator[dict[str, list]]:
        """Yields the fields of rows `low` to `high` - 1 as lists, a stretch
        of STRETCH rows of the table at most at a time."""
        while low < high:
            chunk = low // STRETCH
            lists = self._chunk_lists(chunk)
            end = min(high, (chunk + 1) * STRETCH)
            part = slice(low - chunk * STRETCH, end - chunk * STRETCH)
            yield {key: column[part] for key, column in lists.items()}
            low = end

    def _chunk_lists(self, chunk: int) -> dict[str, list]:
        if chunk == self._chunk:
            return self._lists
        table = self.table
        part = slice(chunk * STRETCH, (chunk + 1) * STRETCH)
        last = self.last[part]
        has = (table.present_samples[part] > 0).tolist()
        ends = utc_texts(np.nan_to_num(last))
        self._lists = {
            "index": table.block[part].tolist(),
            "channel": table.channel[part].tolist(),
            "period_ms": table.period_ms[part].tolist(),
            "first_time": table.first_time[part].tolist(),
            "last_time": [t if h else None for t, h in zip(last.tolist(), has)],
            "start_utc": utc_texts(table.first_time[part].astype(np.float64)),
            "end_utc": [t if h else None for t, h in zip(ends, has)],
            "declared_samples": table.declared_samples[part].tolist(),
            "present_samples": table.present_samples[part].tolist(),
            "truncated": self.truncated[part].tolist(),
            "gain": self.gain_code[part].tolist(),
            "offset": self.offset_code[part].tolist(),
        }
        self._chunk = chunk
        return self._lists

    def widths(self) -> dict[int, list[int]]:
        """Returns per file with blocks the width of each column of its text
        report, from the extremes of each column rather than every cell."""
        table = self.table
        files = [(position, entry.first_row, entry.blocks)
                 for position, entry in enumerate(self._readable()) if entry.blocks]  # fmt: skip
        if not files:
            return {}
        starts = np.array([first for _, first, _ in files])

        def longest(column: np.ndarray) -> list[int]:
            low = np.minimum.reduceat(column, starts).tolist()
            high = np.maximum.reduceat(column, starts).tolist()
            return [max(len(str(a)), len(str(b))) for a, b in zip(low, high)]

        spelled = np.array([len(text) for text in self.spelled])
        has = table.present_samples > 0
        columns = [
            longest(table.block),
            longest(table.channel),
            longest(table.period_ms),
            self._time_widths(table.first_time.astype(np.float64), np.ones(len(table), dtype=bool), files),
            self._time_widths(np.nan_to_num(self.last), has, files),
            longest(table.declared_samples),
            longest(table.present_samples),
            np.maximum.reduceat(spelled[self.gain_code], starts).tolist(),
            np.maximum.reduceat(spelled[self.offset_code], starts).tolist(),
        ]
        return {
            position: [max(len(head), cells[i]) for head, cells in zip(COLUMNS, columns)]
            for i, (position, _, _) in enumerate(files)
        }

    def _time_widths(self, seconds: np.ndarray, shown: np.ndarray, files: list[tuple[int, int, int]]) -> list[int]:
        """The width of a time column per file: that of a date if one is
        shown, or of the longest "@seconds" outside the calendar ("-" is
        narrower than the column's head)."""
        millis = milliseconds(seconds)
        outside = (millis < MIN_MILLIS) | (millis > MAX_MILLIS)
        starts = np.array([first for _, first, _ in files])
        dates = np.maximum.reduceat(shown & ~outside, starts).tolist()
        widths = [len("2000-01-01 00:00:00.000") if d else 0 for d in dates]
        outside &= shown
        for row in np.flatnonzero(outside).tolist():
            i = int(np.searchsorted(starts, row, side="right")) - 1
            widths[i] = max(widths[i], len(f"@{float(seconds[row]):.3f}"))
        return widths

    def _readable(self) -> list[Operand]:
        return [entry for entry in self.files if entry.error is None]


COLUMNS = ("block", "channel", "period ms", "start (UTC)", "end (UTC)", "declared", "present", "gain", "offset")


def write_text(group: Group, position: int, entry: Operand, widths: list[int] | None, out: TextIO) -> None:
    """Writes the human-readable report of one file, the table's file `position`."""
    path, size, first, count = entry.path, int(group.table.sizes[position]), entry.first_row, entry.blocks
    name = display_name(path, getattr(out, "encoding", None))
    out.write(f"{name}: {count} block{'' if count == 1 else 's'}, {size} bytes\n")
    if count == 0 or widths is None:
        return
    w = widths
    line = (
        f"  {{:>{w[0]}}}  {{:>{w[1]}}}  {{:>{w[2]}}}  {{:<{w[3]}}}  {{:<{w[4]}}}"
        f"  {{:>{w[5]}}}  {{:>{w[6]}}}  {{:>{w[7]}}}  {{:>{w[8]}}}  {{}}"
    )
    out.write(line.format(*COLUMNS, "").rstrip() + "\n")
    spelled = group.spelled
    for part in group.rows(first, first + count):
        rows = zip(
            part["index"],
            part["channel"],
            part["period_ms"],
            part["start_utc"],
            part["end_utc"],
            part["declared_samples"],
            part["present_samples"],
            part["gain"],
            part["offset"],
            part["truncated"],
        )
        out.write(
            "".join(
                line.format(b, c, p, s, e or "-", d, n, spelled[g], spelled[o], "truncated" if t else "").rstrip()
                + "\n"
                for b, c, p, s, e, d, n, g, o, t in rows
            )
        )
    for gap in group.gaps(position):
        kind = "gap" if gap["seconds"] > 0 else "overlap"
        periods = f" ({abs(gap['periods']):.6g} periods)" if gap["periods"] is not None else ""
        out.write(
            f"  channel {gap['channel']}: {kind} of {abs(gap['seconds']):.3f} s{periods}"
            f" between blocks {gap['from_block']} and {gap['to_block']}\n"
        )


def _json_number(spelled: str, value: float) -> float | str:
    # JSON has no NaN or infinity: those are written as strings.
    return value if math.isfinite(value) else spelled


JSON_KEYS = ("index", "channel", "period_ms", "first_time", "last_time", "start_utc", "end_utc")
JSON_KEYS += ("declared_samples", "present_samples", "truncated")


def write_json(group: Group, position: int, entry: Operand, out: TextIO) -> None:
    """Writes one file's JSON object, of the table's file `position`: path, size, blocks and gaps."""
    path, size, first, count = entry.path, int(group.table.sizes[position]), entry.first_row, entry.blocks
    head = json.dumps({"path": path, "size": size})
    out.write(head[:-1] + ', "blocks": [')
    values = [_json_number(s, v) for s, v in zip(group.spelled, group.numbers)]
    separator = ""
    for part in group.rows(first, first + count):
        columns = [part[key] for key in JSON_KEYS]
        blocks = [
            {**dict(zip(JSON_KEYS, row)), "gain": values[g], "offset": values[o]}
            for *row, g, o in zip(*columns, part["gain"], part["offset"])
        ]
        out.write(separator + json.dumps(blocks)[1:-1])
        separator = ", "
    out.write('], "gaps": ' + json.dumps(group.gaps(position)) + "}")


class Totals:
    """What the summary says of every file, added up a group at a time:
    the files read and those that could not be (or patterns that matched
    nothing), their blocks, channels and the time their blocks cover, the
    gaps and overlaps that the reports list, and the files cut short."""

    def __init__(self) -> None:
        self.files = self.unread = self.blocks = self.gaps = self.overlaps = self.cut_files = 0
        self.channels: set[int] = set()
        self.span: tuple[float, float] | None = None

    def add(self, group: Group) -> None:
        """Adds the files of `group`."""
        table = group.table
        self.files += len(table.paths)
        self.unread += sum(entry.error is not None for entry in group.files)
        self.blocks += len(table)
        self.channels.update(np.unique(table.channel).tolist())
        span = time_span(table, np.ones(len(table), dtype=bool), group.last)
        if span is not None:
            low, high = span if self.span is None else self.span
            self.span = min(low, span[0]), max(high, span[1])
        gaps, overlaps = group.gap_counts
        self.gaps, self.overlaps = self.gaps + gaps, self.overlaps + overlaps
        self.cut_files += len(np.unique(table.file[group.truncated]))

    def lines(self) -> list[str]:
        """The summary as lines of text."""
        counts = [counted(self.files, "file"), counted(self.blocks, "block"), counted(len(self.channels), "channel")]
        head = ", ".join(counts)
        if self.span is not None:
            head += ", " + span_text(*self.span)
        tail = (f"{counted(self.gaps, 'gap')} and {counted(self.overlaps, 'overlap')} between blocks of a channel in"
                f" a file; {counted(self.cut_files, 'file')} cut short")  # fmt: skip
        if self.unread:
            tail += f"; {counted(self.unread, 'file')} could not be read"
        return [head + ".", tail + "."]

    def fields(self) -> dict[str, Any]:
        """The summary as JSON's fields."""
        start, end = (None, None) if self.span is None else self.span
        return {"files": self.files, "unreadable": self.unread, "blocks": self.blocks, "channels": len(self.channels),
                "start": start, "end": end, "gaps": self.gaps, "overlaps": self.overlaps,
                "cut_files": self.cut_files}  # fmt: skip


def run(paths: Sequence[str], as_json: bool, out: TextIO = sys.stdout, err: TextIO = sys.stderr) -> int:
    """Reports on every file in `paths` (glob patterns expanded), and ends
    with a summary of them all; returns 1 if any could not be read or a
    pattern matched nothing."""
    status = 0
    encoding = getattr(err, "encoding", None)
    if as_json:
        out.write('{"files": [')
    separator = ""
    totals = Totals()
    for found in scan_headers(each(operand_files(paths), "file", "reading headers", beside=out), stretch=STRETCH):
        group = Group(found.files, found.table)
        totals.add(group)
        widths = {} if as_json else group.widths()
        position = 0
        for entry in group.files:
            if entry.error is not None:
                status = 1
                print(f"quarvel info: {failure(entry.path, entry.error, encoding)}", file=err)
                if as_json:
                    out.write(separator + json.dumps({"path": entry.path, "error": reason(entry.error)}))
            elif as_json:
                out.write(separator)
                write_json(group, position, entry, out)
            else:
                write_text(group, position, entry, widths.get(position), out)
            position += entry.error is None
            separator = ", "
    if as_json:
        out.write('], "summary": ' + json.dumps(totals.fields()) + "}\n")
    else:
        out.write("\n" + "".join(f"{line}\n" for line in totals.lines()))
    return status
