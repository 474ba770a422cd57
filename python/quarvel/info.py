"""`python3 -m quarvel info`: what the logger files hold, from their block
headers alone, and a summary of them all. The report is written a stretch
of blocks at a time, so that a file of millions of blocks takes no more
memory than its index."""

from __future__ import annotations

import json
import math
import sys
from typing import Any, Callable, Iterator, Sequence, TextIO

import numpy as np

from ._catalog import Catalog
from ._index import BlockTable, finding_records, series_covered, time_span
from ._loggers import LoggerRule, NoLoggerError, operand_loggers
from ._progress import each
from ._routes import operand_files, scan_operands
from ._scan import Operand
from ._times import MAX_MILLIS, MIN_MILLIS, milliseconds, utc_texts
from ._words import counted, display_name, failure, listed, reason, series_text, span_text

# The version of info's JSON: 2 lists gaps and overlaps as stretches of
# time (1, without the key, as pairs of consecutive blocks).
FORMAT_VERSION = 2

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
    operand as the scan found it, `loggers` the logger of each file of the
    table (None: one logger)."""

    def __init__(self, files: list[Operand], table: BlockTable, loggers: list[str] | None = None) -> None:
        self.files = files
        self.table = table
        self.loggers = loggers
        count = len(table)
        # Each file's rows end where the next one's begin (a row may be a run of blocks).
        self.row_ends = [entry[2] for entry in self._readable()[1:]] + [count]
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

    def _find_gaps(self) -> tuple[dict[int, tuple[list, list]], tuple[int, int]]:
        """Returns per file (its position in the table) its gaps and
        overlaps by the one rule, each channel of the file a series, as
        JSON's objects (finding_records); and how many gaps and overlaps
        there are in all."""
        table = self.table
        # A series per channel of each file: (file, channel) as one key.
        key = table.file.astype(np.int64) << 32 | (table.channel.astype(np.int64) + (1 << 31))
        distinct, codes = np.unique(key, return_inverse=True)
        keys = [(None if self.loggers is None else self.loggers[int(k >> 32)], int((k & 0xFFFFFFFF) - (1 << 31)))
                for k in distinct.tolist()]  # fmt: skip
        found = series_covered(table, np.arange(len(table)), codes.reshape(-1), None)
        gaps, overlaps = finding_records(table, found, keys)
        out: dict[int, tuple[list, list]] = {}
        for row, gap in zip(found.gaps.before.tolist(), gaps):
            out.setdefault(int(table.file[row]), ([], []))[0].append(gap)
        for row, overlap in zip(found.overlaps.blocks[found.overlaps.first[:-1]].tolist(), overlaps):
            out.setdefault(int(table.file[row]), ([], []))[1].append(overlap)
        return out, (len(gaps), len(overlaps))

    def gaps(self, file: int) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
        """The gaps and the overlaps of the table's file `file`."""
        return self._gaps.get(file, ([], []))

    def rows(self, low: int, high: int) -> Iterator[dict[str, list]]:
        """Yields the fields of rows `low` to `high` - 1 as lists, STRETCH
        blocks at most at a time: "repeats" holds the blocks of each row
        there, and "index" the first one's number (a run of blocks is cut
        where a stretch ends)."""
        while low < high:
            chunk = low // STRETCH
            lists = self._chunk_lists(chunk)
            end = min(high, (chunk + 1) * STRETCH)
            part = slice(low - chunk * STRETCH, end - chunk * STRETCH)
            rows = {key: column[part] for key, column in lists.items()}
            if max(rows["repeats"]) == 1:
                yield rows
            else:
                yield from _cut_runs(rows)
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
            "repeats": table.repeats[part].tolist(),
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

        def longest(column: np.ndarray, last: np.ndarray | None = None) -> list[int]:
            low = np.minimum.reduceat(column, starts).tolist()
            high = np.maximum.reduceat(column if last is None else last, starts).tolist()
            return [max(len(str(a)), len(str(b))) for a, b in zip(low, high)]

        spelled = np.array([len(text) for text in self.spelled])
        has = table.present_samples > 0
        columns = [
            longest(table.block, table.block + (table.repeats - 1)),  # a run's last block
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


def _cut_runs(rows: dict[str, list]) -> Iterator[dict[str, list]]:
    """Yields the fields `rows` again, STRETCH blocks at most at a time."""
    out: dict[str, list] = {key: [] for key in rows}
    room = STRETCH
    for i, times in enumerate(rows["repeats"]):
        index = rows["index"][i]
        while times:
            take = min(times, room)
            for key, column in rows.items():
                out[key].append(column[i])
            out["index"][-1], out["repeats"][-1] = index, take
            index, times, room = index + take, times - take, room - take
            if room == 0:
                yield out
                out, room = {key: [] for key in rows}, STRETCH
    if out["index"]:
        yield out


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
    for part in group.rows(first, group.row_ends[position]):
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
        lines = [
            line.format(b, c, p, s, e or "-", d, n, spelled[g], spelled[o], "truncated" if t else "").rstrip() + "\n"
            for b, c, p, s, e, d, n, g, o, t in rows
        ]
        if max(part["repeats"]) > 1:  # a run of blocks: a line for each, its number counting up
            lines = _numbered(lines, part, lambda b: f"  {b:>{w[0]}}")
        out.write("".join(lines))
    gaps, overlaps = group.gaps(position)
    encoding = getattr(out, "encoding", None)
    lines = [(gap["channel"], gap["start_tick"], 0, f"gap{_stretch_text(gap)} between blocks {gap['before']['block']}"
              f" and {gap['after']['block']}", gap) for gap in gaps]  # fmt: skip
    lines += [(overlap["channel"], overlap["start_tick"], 1, f"overlap{_stretch_text(overlap)} of blocks"
               f" {listed([str(block['block']) for block in overlap['blocks']])}", overlap) for overlap in overlaps]
    for *_, text, found in sorted(lines, key=lambda line: line[:3]):
        out.write(f"  {series_text(found['logger'], found['channel'], encoding)}: {text}\n")


def _stretch_text(found: dict[str, Any]) -> str:
    """The length and start of a gap or overlap in words."""
    return f" of {found['length_ms'] / 1000:.3f} s from {found['start']} UTC (tick {found['start_tick']})"


def _numbered(texts: list[str], part: dict[str, list], head: Callable[[int], str]) -> list[str]:
    """Returns the text of each block of `part`, from the text of each of
    its rows (`texts`), which begins with head(its first block's number):
    a row of a run of blocks gives a text for each, with its own number."""
    out = []
    for text, first, times in zip(texts, part["index"], part["repeats"]):
        if times == 1:
            out.append(text)
        else:
            rest = text[len(head(first)) :]
            out += [head(number) + rest for number in range(first, first + times)]
    return out


def _json_number(spelled: str, value: float) -> float | str:
    # JSON has no NaN or infinity: those are written as strings.
    return value if math.isfinite(value) else spelled


JSON_KEYS = ("index", "channel", "period_ms", "first_time", "last_time", "start_utc", "end_utc")
JSON_KEYS += ("declared_samples", "present_samples", "truncated")


def write_json(group: Group, position: int, entry: Operand, out: TextIO) -> None:
    """Writes one file's JSON object, of the table's file `position`: path,
    size, blocks, gaps and overlaps."""
    path, size, first = entry.path, int(group.table.sizes[position]), entry.first_row
    head = json.dumps({"path": path, "size": size})
    out.write(head[:-1] + ', "blocks": [')
    values = [_json_number(s, v) for s, v in zip(group.spelled, group.numbers)]
    separator = ""
    for part in group.rows(first, group.row_ends[position]):
        columns = [part[key] for key in JSON_KEYS]
        blocks = [
            {**dict(zip(JSON_KEYS, row)), "gain": values[g], "offset": values[o]}
            for *row, g, o in zip(*columns, part["gain"], part["offset"])
        ]
        if max(part["repeats"]) == 1:
            out.write(separator + json.dumps(blocks)[1:-1])
        else:  # a run of blocks: an object for each, its number counting up
            texts = _numbered([json.dumps(block) for block in blocks], part, lambda number: f'{{"index": {number}')
            out.write(separator + ", ".join(texts))
        separator = ", "
    gaps, overlaps = group.gaps(position)
    out.write('], "gaps": ' + json.dumps(gaps) + ', "overlaps": ' + json.dumps(overlaps) + "}")


class Totals:
    """What the summary says of every file, added up a group at a time:
    the files read and those that could not be (or patterns that matched
    nothing), their blocks, channels and the time their blocks cover, the
    gaps and overlaps that the reports list, and the files cut short."""

    def __init__(self) -> None:
        self.files = self.unread = self.unnamed = self.blocks = self.gaps = self.overlaps = self.cut_files = 0
        self.channels: set[int] = set()
        self.span: tuple[float, float] | None = None

    def add(self, group: Group) -> None:
        """Adds the files of `group`."""
        table = group.table
        self.files += len(table.paths)
        self.unread += sum(entry.error is not None for entry in group.files)
        self.unnamed += sum(isinstance(entry.error, NoLoggerError) for entry in group.files)
        self.blocks += table.block_count()
        self.channels.update(np.unique(table.channel).tolist())
        span = time_span(table, np.ones(len(table), dtype=bool))
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
        if self.unread > self.unnamed:
            tail += f"; {counted(self.unread - self.unnamed, 'file')} could not be read"
        if self.unnamed:
            tail += f"; {counted(self.unnamed, 'file')} had no logger by the expression"
        return [head + ".", tail + "."]

    def fields(self) -> dict[str, Any]:
        """The summary as JSON's fields."""
        start, end = (None, None) if self.span is None else self.span
        return {"files": self.files, "unreadable": self.unread, "blocks": self.blocks, "channels": len(self.channels),
                "start": start, "end": end, "gaps": self.gaps, "overlaps": self.overlaps,
                "cut_files": self.cut_files}  # fmt: skip


def run(
    paths: Sequence[str],
    as_json: bool,
    out: TextIO = sys.stdout,
    err: TextIO = sys.stderr,
    logger: LoggerRule = None,
    catalog: Catalog | None = None,
) -> int:
    """Reports on every file in `paths` (glob patterns expanded), and ends
    with a summary of them all; returns 1 if any could not be read, a
    pattern matched nothing, or the logger expression `logger` did not
    match a file's path (which is then not read). With a rule `logger` (see
    quarvel.check), the gaps and overlaps name each file's logger. With a
    `catalog`, the files are its own (those that `paths` choose of them,
    or all), their headers taken from it."""
    status = 0
    encoding = getattr(err, "encoding", None)
    if as_json:
        out.write(f'{{"version": {FORMAT_VERSION}, "files": [')
    separator = ""
    totals = Totals()
    files, loggers = operand_loggers(operand_files(paths, catalog), logger)
    for found in scan_operands(each(files, "file", "reading headers", beside=out), stretch=STRETCH, catalog=catalog):
        names = None if loggers is None else [loggers[path] for path in found.table.paths]
        group = Group(found.files, found.table, names)
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
