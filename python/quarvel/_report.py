"""What `python3 -m quarvel check` says of its findings: a line per problem
and a summary in plain words (standard output), the JSON, and the HTML
report, one file that opens from disk without network or script."""

from __future__ import annotations

import base64
import html
import io
import json
import math
from typing import Any, Iterator, TextIO

import numpy as np

from ._optional import require
from ._coverage import coverage_of, picture
from ._index import time_span
from ._times import utc_texts
from ._words import counted, display_name, duration_text, seconds_text, span_text

from ._quality import BLOCK_COLUMNS, BLOCK_FIELDS, FLAGS, UNREADABLE, Pass

FORMAT_VERSION = 1
ROWS = 1 << 14  # blocks formatted at a time
SHOWN = 20  # rows of a list shown before the rest fold
MOST = 500  # rows of a list in the HTML at most: the JSON has them all
# The flags by severity, which orders the HTML's tables of blocks.
SEVERITY = {"dead": 8, "stuck": 4, "clipped": 2, "cut_short": 1}


class _Rows:
    """The checked blocks' fields as lists, for formatting."""

    def __init__(self, found: Pass, rows: np.ndarray) -> None:
        table, stats = found.table, found.stats
        self.rows = rows.tolist()
        self.file = table.file[rows].tolist()
        self.block = table.block[rows].tolist()
        self.channel = table.channel[rows].tolist()
        self.samples = table.present_samples[rows].tolist()
        self.declared = table.declared_samples[rows].tolist()
        self.start = _nulls(found.starts[rows])
        self.end = _nulls(found.ends[rows])
        self.stuck_time = _nulls(found.stuck_time[rows])
        self.period_s = found.period_s[rows].tolist()
        self.stats = {name: stats[name][rows].tolist() for name in BLOCK_FIELDS}
        self.flags = {name: found.flags[name][rows].tolist() for name in FLAGS}

    def columns(self) -> dict[str, list]:
        """The fields of BLOCK_COLUMNS but the path, in its order."""
        own = {"block": self.block, "channel": self.channel, "samples": self.samples, "start": self.start,
               "end": self.end, "stuck_time": self.stuck_time, **self.stats, **self.flags}  # fmt: skip
        return {name: own[name] for name in BLOCK_COLUMNS[1:]}


def _nulls(values: np.ndarray) -> list:
    return [None if math.isnan(v) else v for v in values.tolist()]


def block_problems(found: Pass, rows: _Rows, i: int) -> list[str]:
    """The words for the flags of row `i` of `rows`."""
    low, high = found.rules.rails
    s, flags, words = rows.stats, rows.flags, []
    if flags["clipped"][i]:
        words.append(
            f"clipped: {s['rail_low'][i] + s['rail_high'][i]:,} samples at the rails ({s['rail_low'][i]:,} at {low},"
            f" {s['rail_high'][i]:,} at {high}), up to {max(s['rail_low_run'][i], s['rail_high_run'][i]):,} in a row"
        )
    if flags["stuck"][i]:
        longest = s["longest_stuck"][i]
        at = utc_texts(np.array([rows.stuck_time[i]]))[0]
        words.append(
            f"stuck: one value held for {longest:,} samples in a row ({seconds_text(longest * rows.period_s[i])}),"
            f" from sample {s['stuck_start'][i]:,} at {at} UTC"
        )
    if flags["dead"][i]:
        words.append(f"dead: its {rows.samples[i]:,} samples take only {counted(s['distinct'][i], 'different value')}")
    if flags["cut_short"][i]:
        words.append(f"cut short: {rows.samples[i]:,} of its {rows.declared[i]:,} samples are in the file")
    return words


def problem_lines(found: Pass, encoding: str | None = None) -> Iterator[str]:
    """Yields a line per problem: each flagged block (in file order), each
    gap, overlap and block out of order (by channel), and each file not
    checked as it is not a log (those that could not be read are said on
    standard error)."""
    table = found.table

    def name(row: int) -> str:
        return display_name(table.paths[int(table.file[row])], encoding)

    flagged = np.flatnonzero(found.flagged())
    for low in range(0, len(flagged), ROWS):
        rows = _Rows(found, flagged[low : low + ROWS])
        for i, row in enumerate(rows.rows):
            where = f"{name(row)}: block {rows.block[i]} (channel {rows.channel[i]})"
            yield f"{where}: {'; '.join(block_problems(found, rows, i))}"
    for kind, (before, after, seconds) in (("gap", found.gaps), ("overlap", found.overlaps)):
        for b, a, s in zip(before.tolist(), after.tolist(), seconds.tolist()):
            yield (
                f"channel {int(table.channel[a])}: {kind} of {seconds_text(s)} between {name(b)} block"
                f" {int(table.block[b])} and {name(a)} block {int(table.block[a])}"
            )
    late, early = found.out_of_order
    for a, b in zip(late.tolist(), early.tolist()):
        yield (
            f"channel {int(table.channel[a])}: {name(a)} block {int(table.block[a])} starts before block"
            f" {int(table.block[b])}, which comes before it in the file: out of time order"
        )
    for path, problem, why, _ in found.apart:
        if problem != UNREADABLE:
            yield f"{display_name(path, encoding)}: {why}"


def summary(found: Pass, listed: str = "see above") -> list[tuple[str, str]]:
    """Returns the summary in plain words: a sentence per kind of finding,
    each with its class ("ok", "bad" or "note"); the files not checked are
    said as `listed` says ("see above", "listed below")."""
    table, rules = found.table, found.rules
    checked = found.checked
    files = int(np.count_nonzero(found.file_checked))
    channels = len(np.unique(table.channel[checked]))
    head = f"{counted(files, 'logger file')} checked, {counted(channels, 'channel')}"
    span = time_span(table, checked, found.ends)
    if span is not None:
        head += ", " + span_text(*span)
    lines = [("note", head + ".")]
    counts = {name: int(np.count_nonzero(found.flags[name] & checked)) for name in FLAGS}
    low, high = rules.rails
    if counts["clipped"]:
        samples = int((found.stats["rail_low"] + found.stats["rail_high"])[found.flags["clipped"] & checked].sum())
        lines.append(("bad", f"{_blocks(counts['clipped'])} clipped: {counted(samples, 'sample')} at the ends of the"
                             f" ADC's range ({low} or {high}), where the true value may lie beyond what was recorded."))
    if counts["stuck"]:
        longest = int(found.stats["longest_stuck"][found.flags["stuck"] & checked].max())
        lines.append(("bad", f"{_blocks(counts['stuck'])} stuck: one value held for {rules.stuck_samples:,} samples"
                             f" in a row or more, and {seconds_text(rules.stuck_seconds)} or more (the longest:"
                             f" {longest:,} samples), as when a sensor stops answering."))
    if counts["dead"]:
        lines.append(("bad", f"{_blocks(counts['dead'])} dead: {rules.dead_samples:,} samples or more that take no"
                             f" more than {counted(rules.dead_distinct, 'different value')}: no signal."))
    if counts["cut_short"]:
        lines.append(("bad", f"{_blocks(counts['cut_short'])} cut short: the file ends before all the samples that"
                             " the block's header declares, as when a logger loses power."))
    tolerance = "a second (or a sample period, when longer)" if rules.gap_tolerance is None else (
        seconds_text(rules.gap_tolerance))
    what = {"gap": "time not recorded between a block and the next block of its channel",
            "overlap": "a block starts before the block of its channel before it ends, and time is recorded twice"}
    for kind, (_, _, seconds) in (("gap", found.gaps), ("overlap", found.overlaps)):
        if len(seconds):
            lines.append(("bad", f"{counted(len(seconds), kind)} of more than {tolerance}: {what[kind]} (the longest:"
                                 f" {seconds_text(float(np.abs(seconds).max()))})."))
    late = len(found.out_of_order[0])
    if late:
        lines.append(("bad", f"{_blocks(late)} out of time order: {'it starts' if late == 1 else 'each starts'}"
                             " before the block of its channel that comes before it in its file."))
    if len(lines) == 1 and files:  # of no file at all, nothing can be said to look right
        lines.append(("ok", f"Nothing looks wrong: no reading at the ends of the ADC's range, stuck or dead, no block"
                            f" cut short, and no gap or overlap of more than {tolerance}."))
    unreadable = sum(entry.problem == UNREADABLE for entry in found.apart)
    strangers = len(found.apart) - unreadable
    if unreadable:
        were = "was" if unreadable == 1 else "were"
        lines.append(("bad", f"{counted(unreadable, 'file')} could not be read, and {were} not checked ({listed})."))
    if strangers:
        what = "1 file is not a logger file" if strangers == 1 else f"{strangers:,} files are not logger files"
        lines.append(("note", f"{what}, or probably not, and {'was' if strangers == 1 else 'were'} not checked"
                              f" ({listed})."))
    return lines


def _blocks(n: int) -> str:
    return "1 block is" if n == 1 else f"{n:,} blocks are"


# ---- JSON


def write_json(found: Pass, out: TextIO, status: int | None = None) -> None:
    """Writes the findings as one JSON object (see the reference), with the
    run's exit `status` (None: the findings' own)."""
    table, rules = found.table, found.rules
    head = {
        "version": FORMAT_VERSION,
        "status": found.status() if status is None else status,
        "rules": {"rails": list(rules.rails), "stuck_samples": rules.stuck_samples,
                  "stuck_seconds": rules.stuck_seconds, "dead_samples": rules.dead_samples,
                  "dead_distinct": rules.dead_distinct, "gap_tolerance": rules.gap_tolerance},
    }  # fmt: skip
    out.write(json.dumps(head)[:-1] + ', "blocks": [')
    checked = np.flatnonzero(found.checked)
    separator = ""
    for low in range(0, len(checked), ROWS):
        rows = _Rows(found, checked[low : low + ROWS])
        fields = rows.columns()
        columns = zip(rows.file, *fields.values())
        blocks = [{"path": table.paths[f], **dict(zip(fields, values))} for f, *values in columns]
        out.write(separator + json.dumps(blocks, allow_nan=False)[1:-1])
        separator = ", "
    out.write('], "channels": ' + json.dumps(_channels(found), allow_nan=False))
    files = [{"path": path, "problem": problem, "why": why} for path, problem, why, _ in found.apart]
    out.write(', "files": ' + json.dumps(files) + "}\n")


def _channels(found: Pass) -> list[dict[str, Any]]:
    """Per channel of the blocks checked: its blocks, samples, gaps,
    overlaps and blocks out of order."""
    table = found.table
    checked = np.flatnonzero(found.checked)
    channels, inverse = np.unique(table.channel[checked], return_inverse=True)
    blocks = np.bincount(inverse, minlength=len(channels)).tolist()
    samples = np.bincount(inverse, table.present_samples[checked], minlength=len(channels)).astype(np.int64).tolist()
    out = {c: {"channel": c, "blocks": n, "samples": s, "gaps": [], "overlaps": [], "out_of_order": []}
           for c, n, s in zip(channels.tolist(), blocks, samples)}  # fmt: skip

    def name(row: int) -> str:
        return table.paths[int(table.file[row])]

    for kind, (before, after, seconds) in (("gaps", found.gaps), ("overlaps", found.overlaps)):
        begins = found.pair_starts(before, after, seconds).tolist()
        for b, a, s, t in zip(before.tolist(), after.tolist(), seconds.tolist(), begins):
            out[int(table.channel[a])][kind].append(
                {"from_path": name(b), "from_block": int(table.block[b]), "to_path": name(a),
                 "to_block": int(table.block[a]), "start": t, "seconds": s}  # fmt: skip
            )
    starts = found.starts
    for a, b in zip(*(rows.tolist() for rows in found.out_of_order)):
        out[int(table.channel[a])]["out_of_order"].append(
            {"path": name(a), "block": int(table.block[a]), "start": float(starts[a]), "previous_path": name(b),
             "previous_block": int(table.block[b]), "previous_start": float(starts[b])}  # fmt: skip
        )
    return list(out.values())


# ---- HTML

STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; color: #1d1d1f; margin: 2em auto; max-width: 72em; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.3em; } h2 { font-size: 1.2em; margin-top: 1.6em; }
ul.summary { list-style: none; padding: 0; } ul.summary li { margin: 0.35em 0; padding: 0.4em 0.7em;
  border-left: 5px solid #888; background: #f5f5f7; }
li.bad { border-color: #c0392b !important; } li.ok { border-color: #2e7d32 !important; }
img { max-width: 100%; border: 1px solid #ddd; }
table { border-collapse: collapse; margin: 0.5em 0; font-size: 0.92em; }
th, td { border-bottom: 1px solid #e3e3e6; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
th { background: #f0f0f3; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
details { margin: 0.4em 0; } summary { cursor: pointer; } details > details { margin-left: 1em; }
.flag { display: inline-block; padding: 0 0.45em; border-radius: 0.6em; color: #fff; font-size: 0.85em;
  margin-right: 0.2em; }
.clipped { background: #8e44ad; } .stuck { background: #6c3483; } .dead { background: #1d1d1f; }
.cut_short { background: #d35400; } .quiet { color: #666; } td.flags { white-space: nowrap; }
code { font-size: 0.95em; }
"""


def _e(text: object) -> str:
    return html.escape(str(text), quote=True)


def _name(path: Any) -> str:
    return _e(display_name(path, "utf-8"))


def write_html(found: Pass, out: TextIO) -> None:
    """Writes the report as one HTML page: the summary, the picture of what
    was recorded (its problem blocks coloured), the files not checked, and
    a table per channel."""
    files = found.named
    out.write(f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
              f"<title>quarvel check: {counted(files, 'file')}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
              f"<h1>The quality of {counted(files, 'file')}</h1>\n<ul class=\"summary\">\n")  # fmt: skip
    for kind, line in summary(found, "listed below"):
        out.write(f'<li class="{kind}">{_e(line)}</li>\n')
    out.write("</ul>\n<h2>What was recorded</h2>\n")
    out.write(_picture(found))
    if found.apart:
        out.write(f"<h2>Files not checked</h2>\n{_apart(found)}")
    out.write("<h2>Channels</h2>\n")
    for part in _channel_tables(found):
        out.write(part)
    out.write(f"<h2>The rules</h2>\n{_rules(found)}</body>\n</html>\n")


def _picture(found: Pass) -> str:
    """The coverage picture as an <img> with a PNG data URL."""
    try:
        matplotlib = require("matplotlib")
    except ImportError as error:
        return f'<p class="quiet">No picture: {_e(error)}</p>\n'
    matplotlib.use("Agg")
    plt = require("matplotlib.pyplot")
    flagged = found.flagged()
    drawn = coverage_of(found.table, found.unreadable(), flagged, found.rules.gap_tolerance, found.unread)
    figure = picture(drawn)
    data = io.BytesIO()
    figure.savefig(data, format="png")
    plt.close(figure)
    alt = "A row per channel, time across: a bar where blocks have samples, gaps left open, blocks cut short in orange"
    alt += ", blocks whose readings are clipped, stuck or dead in purple"
    return f'<p><img alt="{_e(alt)}" src="data:image/png;base64,{base64.b64encode(data.getvalue()).decode()}"></p>\n'


def _apart(found: Pass) -> str:
    rows = [f"<tr><td>{_name(path)}</td><td>{_e(why)}</td></tr>" for path, _, why, _ in found.apart]
    return _folded(["file", "why"], rows, "files")


def _folded(heads: list[str], rows: list[str], what: str, total: int | None = None) -> str:
    """A table of `rows` (of `total` rows, when more), the first SHOWN of
    them shown, the rest folded, at most MOST in all."""
    total = len(rows) if total is None else total
    head = "<tr>" + "".join(f"<th>{h}</th>" for h in heads) + "</tr>\n"
    shown = f"<table>\n{head}" + "\n".join(rows[:SHOWN]) + "\n</table>\n"
    rest = rows[SHOWN:MOST]
    if rest:
        shown += (f"<details><summary>{counted(len(rest), 'more ' + what[:-1], 'more ' + what)}</summary>\n<table>\n"
                  f"{head}" + "\n".join(rest) + "\n</table>\n</details>\n")  # fmt: skip
    if total > MOST:
        shown += f'<p class="quiet">... and {total - MOST:,} more, which the JSON lists (--json).</p>\n'
    return shown


def _channel_tables(found: Pass) -> Iterator[str]:
    """A <details> per channel, those with the most problems first: its
    flagged blocks by severity, its gaps, overlaps and blocks out of
    order, the longest first."""
    table = found.table
    checked = np.flatnonzero(found.checked)
    channels = np.unique(table.channel[checked])
    flagged = found.flagged()
    problem_rows = np.flatnonzero(flagged)
    later = {"gaps": found.gaps[1], "overlaps": found.overlaps[1], "out_of_order": found.out_of_order[0]}
    pairs = {kind: _by_channel(table.channel[rows], channels) for kind, rows in later.items()}
    per_block = _by_channel(table.channel[problem_rows], channels)
    score = per_block[1] + sum(counts for _, counts in pairs.values())
    order = np.lexsort((channels, -score))
    open_ = int(np.count_nonzero(score)) <= SHOWN
    for c in order.tolist():
        channel = int(channels[c])
        mine = checked[table.channel[checked] == channel]
        seconds = float((table.present_samples[mine] * np.abs(found.period_s[mine])).sum())
        said = [counted(len(mine), "block"), f"{duration_text(seconds)} recorded"]
        parts = []
        rows = problem_rows[per_block[0] == c]
        if len(rows):
            said.append(counted(len(rows), "block flagged", "blocks flagged"))
            parts.append(_block_table(found, rows))
        for kind, title in (("gaps", "gap"), ("overlaps", "overlap"), ("out_of_order", "block out of order")):
            which = pairs[kind][0] == c
            if which.any():
                said.append(counted(int(which.sum()), title, "blocks out of order" if kind == "out_of_order" else None))
                parts.append(_pair_table(found, kind, np.flatnonzero(which)))
        if not parts:
            parts.append('<p class="quiet">Nothing flagged.</p>\n')
        flag = " open" if score[c] and open_ else ""
        yield f"<details{flag}><summary><b>channel {channel}</b>: {_e(', '.join(said))}</summary>\n" + "".join(parts)
        yield "</details>\n"


def _by_channel(channel_of: np.ndarray, channels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per item, the position of its channel among `channels`; per channel, its items."""
    position = np.searchsorted(channels, channel_of)
    return position, np.bincount(position, minlength=len(channels))


def _block_table(found: Pass, rows: np.ndarray) -> str:
    stats = found.stats
    weight = sum(weight * found.flags[name][rows] for name, weight in SEVERITY.items())
    rails = stats["rail_low"][rows] + stats["rail_high"][rows]
    size = np.where(found.flags["stuck"][rows], stats["longest_stuck"][rows], rails)
    rows = rows[np.lexsort((rows, -size, -weight))]
    listed = _Rows(found, rows[:MOST])
    table = found.table
    lines = []
    for i in range(len(listed.rows)):
        badges = "".join(f'<span class="flag {name}">{name.replace("_", " ")}</span>' for name in FLAGS
                         if listed.flags[name][i])  # fmt: skip
        start = utc_texts(np.array([listed.start[i]]))[0] if listed.start[i] is not None else "-"
        words = "; ".join(block_problems(found, listed, i))
        lines.append(f"<tr><td>{_name(table.paths[listed.file[i]])}</td><td class=n>{listed.block[i]}</td>"
                     f"<td class=flags>{badges}</td><td>{_e(start)}</td><td class=n>{listed.samples[i]:,}</td>"
                     f"<td>{_e(words)}</td></tr>")  # fmt: skip
    return _folded(["file", "block", "flags", "start (UTC)", "samples", "what"], lines, "blocks", len(rows))


def _pair_table(found: Pass, kind: str, which: np.ndarray) -> str:
    table = found.table
    if kind == "out_of_order":
        late, early = (rows[which] for rows in found.out_of_order)
        texts = zip(utc_texts(found.starts[late]), utc_texts(found.starts[early]))
        lines = [f"<tr><td>{_name(table.paths[int(table.file[a])])}</td><td class=n>{int(table.block[a])}</td>"
                 f"<td>{at}</td><td>{_name(table.paths[int(table.file[b])])}</td><td class=n>"
                 f"{int(table.block[b])}</td><td>{before}</td></tr>"
                 for a, b, (at, before) in zip(late.tolist(), early.tolist(), texts)]  # fmt: skip
        return _folded(["file", "block", "starts (UTC)", "before the block of", "block", "which starts"], lines,
                       "blocks")
    before, after, seconds = (column[which] for column in getattr(found, kind))
    order = np.argsort(-np.abs(seconds), kind="stable")
    before, after, seconds = before[order], after[order], seconds[order]
    ends = utc_texts(found.pair_starts(before, after, seconds))
    lines = [f"<tr><td class=n>{_e(seconds_text(s))}</td><td>{_e(t)}</td>"
             f"<td>{_name(table.paths[int(table.file[b])])}</td><td class=n>{int(table.block[b])}</td>"
             f"<td>{_name(table.paths[int(table.file[a])])}</td><td class=n>{int(table.block[a])}</td></tr>"
             for s, t, b, a in zip(seconds.tolist(), ends, before.tolist(), after.tolist())]  # fmt: skip
    word = kind[:-1]
    return _folded([word, "from (UTC)", "after the file", "block", "before the file", "block"], lines, kind)


def _rules(found: Pass) -> str:
    rules = found.rules
    low, high = rules.rails
    tolerance = ("more than a second, or than the earlier block's sample period when that is longer (a block's"
                 " first time is known to the second)") if rules.gap_tolerance is None else (
                 f"more than {seconds_text(rules.gap_tolerance)}")  # fmt: skip
    items = [
        f"<b>clipped</b>: a sample at {low} or {high}, the ends of the ADC's range (its rails);",
        f"<b>stuck</b>: one raw count, not a rail, held for {rules.stuck_samples:,} samples in a row, or for"
        f" {seconds_text(rules.stuck_seconds)} of samples when that is more;",
        f"<b>dead</b>: a block of {rules.dead_samples:,} samples or more that take at most"
        f" {counted(rules.dead_distinct, 'different raw count')};",
        "<b>cut short</b>: the file holds fewer samples than the block's header declares;",
        f"<b>gap</b>, <b>overlap</b>: between a block and the next block of its channel in time (across files), time"
        f" missing or recorded twice: {tolerance};",
        "<b>out of time order</b>: a block that starts before the block of its channel before it in its file.",
    ]
    return ('<p>Each block is looked at alone, its raw counts as recorded (every sample): runs never go on from one'
            " block into the next.</p>\n<ul>\n" + "".join(f"<li>{item}</li>\n" for item in items) + "</ul>\n"
            '<p class="quiet">Written by <code>python3 -m quarvel check</code>; <code>--json</code> gives every'
            " number.</p>\n")  # fmt: skip
