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

from ._coverage import coverage_of, picture
from ._index import BlockTable, finding_records, stretches, time_span
from ._loggers import NoLoggerError
from ._optional import require
from ._quality import BLOCK_COLUMNS, BLOCK_FIELDS, FLAGS, UNREADABLE, Pass
from ._times import tick_texts, utc_texts
from ._words import counted, display_name, duration_text, listed, seconds_text, series_text, several_loggers_text
from ._words import span_text

FORMAT_VERSION = 2
BLOCKS_NAMED = 6  # blocks of an overlap named in its line, at most
ROWS = 1 << 14  # blocks formatted at a time
SHOWN = 20  # rows of a list shown before the rest fold
MOST = 500  # rows of a list in the HTML at most: the JSON has them all
# The flags by severity, which orders the HTML's tables of blocks.
SEVERITY = {"dead": 8, "stuck": 4, "clipped": 2, "cut_short": 1}


class _Rows:
    """The checked blocks' fields as lists, for formatting: of the rows
    `rows`, and with `blocks`, of those blocks of them (each row's first)."""

    def __init__(self, found: Pass, rows: np.ndarray, blocks: np.ndarray | None = None) -> None:
        table, stats = found.table, found.stats
        self.rows = rows.tolist()
        self.file = table.file[rows].tolist()
        self.block = (table.block[rows] if blocks is None else blocks).tolist()
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
    gap and overlap (by series, then time), each block out of order, and
    each file not checked as it is not a log (those that could not be read
    are said on standard error)."""
    table = found.table
    keys = found.series.keys

    def name(row: int) -> str:
        return display_name(table.paths[int(table.file[row])], encoding)

    def series(code: int) -> str:
        return series_text(*keys[code], encoding)

    flagged = np.flatnonzero(found.flagged())
    for low in range(0, len(flagged), ROWS):
        rows = _Rows(found, flagged[low : low + ROWS])
        for i, row in enumerate(rows.rows):
            where = f"{name(row)}: block {rows.block[i]} (channel {rows.channel[i]})"
            yield f"{where}: {'; '.join(block_problems(found, rows, i))}"
    gaps, overlaps = found.covered.gaps, found.covered.overlaps
    fields = zip(gaps.series.tolist(), gaps.start.tolist(), gaps.length.tolist(), tick_texts(gaps.start))
    for (s, start, length, at), b, a in zip(fields, gaps.before.tolist(), gaps.after.tolist()):
        yield (f"{series(s)}: gap of {seconds_text(length / 1000)} from {at} UTC (tick {start}) between {name(b)}"
               f" block {int(table.block[b])} and {name(a)} block {int(table.block[a])}")  # fmt: skip
    for i, (s, start, length, at) in enumerate(zip(overlaps.series.tolist(), overlaps.start.tolist(),
                                                   overlaps.length.tolist(), tick_texts(overlaps.start))):  # fmt: skip
        blocks = blocks_text(table, overlaps.involved(i), lambda f: display_name(table.paths[f], encoding))
        yield f"{series(s)}: overlap of {seconds_text(length / 1000)} from {at} UTC (tick {start}) of {blocks}"
    late, early = found.out_of_order
    for a, b in zip(late.tolist(), early.tolist()):
        yield (
            f"{series(int(found.series.codes[a]))}: {name(a)} block {int(table.block[a])} starts before block"
            f" {int(table.block[b])}, which comes before it in the file: out of time order"
        )
    for path, problem, why, _ in found.apart:
        if problem != UNREADABLE:
            yield f"{display_name(path, encoding)}: {why}"


def blocks_text(table: BlockTable, rows: np.ndarray, name: Any, most: int = BLOCKS_NAMED) -> str:
    """Returns the blocks `rows` of `table` in words, those of a file
    together ("a.002 blocks 2 and 3; b.002 block 0"), the first `most` of
    them and how many more; name(f) names the table's file f."""
    groups: list[tuple[int, list[int]]] = []
    for row in rows[:most].tolist():
        f = int(table.file[row])
        if not groups or groups[-1][0] != f:
            groups.append((f, []))
        groups[-1][1].append(int(table.block[row]))
    parts = [f"{name(f)} block{'s' if len(numbers) > 1 else ''} {listed([str(n) for n in numbers], most)}"
             for f, numbers in groups]  # fmt: skip
    more = len(rows) - most
    return "; ".join(parts) + (f"; and {counted(more, 'more block')}" if more > 0 else "")


def summary(found: Pass, listed: str = "see above") -> list[tuple[str, str]]:
    """Returns the summary in plain words: a sentence per kind of finding,
    each with its class ("ok", "bad" or "note"); the files not checked are
    said as `listed` says ("see above", "listed below")."""
    table, rules = found.table, found.rules
    checked = found.checked
    files = int(np.count_nonzero(found.file_checked))
    series = np.unique(found.series.codes[checked]).tolist()
    head = f"{counted(files, 'logger file')} checked, "
    if found.has_loggers():
        head += counted(len({found.series.keys[s][0] for s in series}), "logger") + ", "
    head += counted(len(series), "channel")
    span = time_span(table, checked)
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
    gap_rule, overlap_rule = gap_rules(rules.gap_tolerance)
    what = {"gap": "time that no block of its channel recorded, within the time its blocks span",
            "overlap": "time that two blocks or more of its channel recorded"}  # fmt: skip
    for kind, rule, (lengths) in (("gap", gap_rule, found.covered.gaps.length),
                                  ("overlap", overlap_rule, found.covered.overlaps.length)):  # fmt: skip
        if len(lengths):
            lines.append(("bad", f"{counted(len(lengths), kind)}{rule}: {what[kind]} (the longest:"
                                 f" {seconds_text(int(lengths.max()) / 1000)})."))
    several = found.several_loggers()
    if several:
        text = several_loggers_text([found.series.keys[s] for s in several])
        lines.append(("note", text[0].upper() + text[1:]))
    late = len(found.out_of_order[0])
    if late:
        lines.append(("bad", f"{_blocks(late)} out of time order: {'it starts' if late == 1 else 'each starts'}"
                             " before the block of its channel that comes before it in its file."))
    if len(lines) == 1 and files:  # of no file at all, nothing can be said to look right
        none = (f"no gap{gap_rule} and no overlap" if rules.gap_tolerance is None else
                f"no gap or overlap{overlap_rule}")  # fmt: skip
        lines.append(("ok", f"Nothing looks wrong: no reading at the ends of the ADC's range, stuck or dead, no block"
                            f" cut short, {none}."))
    unreadable = sum(entry.problem == UNREADABLE for entry in found.apart)
    strangers = len(found.apart) - unreadable
    unnamed = sum(isinstance(entry.error, NoLoggerError) for entry in found.apart)
    for n, why in ((unreadable - unnamed, "could not be read"), (unnamed, "had no logger by the expression")):
        if n:
            were = "was" if n == 1 else "were"
            lines.append(("bad", f"{counted(n, 'file')} {why}, and {were} not checked ({listed})."))
    if strangers:
        what = "1 file is not a logger file" if strangers == 1 else f"{strangers:,} files are not logger files"
        lines.append(("note", f"{what}, or probably not, and {'was' if strangers == 1 else 'were'} not checked"
                              f" ({listed})."))
    return lines


def gap_rules(tolerance: float | None) -> tuple[str, str]:
    """The words after "gap" and "overlap" that say which are reported."""
    if tolerance is None:
        return " of one sample period or more", ""
    return (f" of more than {seconds_text(tolerance)}",) * 2


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
    separator = ""
    keys = found.series.keys
    for mine, first_blocks, repeats in stretches(table, np.flatnonzero(found.checked), ROWS):
        rows = _Rows(found, mine, first_blocks)
        fields = rows.columns()
        if found.has_loggers():
            loggers = [keys[s][0] for s in found.series.codes[mine].tolist()]
            fields = {"logger": loggers, **fields}
        columns = zip(rows.file, *fields.values())
        blocks = [{"path": table.paths[f], **dict(zip(fields, values))} for f, *values in columns]
        if (repeats == 1).all():
            out.write(separator + json.dumps(blocks, allow_nan=False)[1:-1])
        else:  # a run of blocks: one object written for each, its number counting up
            texts = []
            for block, times in zip(blocks, repeats.tolist()):
                text = json.dumps(block, allow_nan=False)
                at = text.index('"block": ') + len('"block": ')
                rest = text[at + len(str(block["block"])) :]
                texts += [f"{text[:at]}{number}{rest}" for number in range(block["block"], block["block"] + times)]
            out.write(separator + ", ".join(texts))
        separator = ", "
    out.write('], "channels": ' + json.dumps(_series(found), allow_nan=False))
    several = [{"channel": keys[s][1], "logger": keys[s][0]} for s in found.several_loggers()]
    out.write(', "looks_like_several_loggers": ' + json.dumps(several))
    files = [{"path": path, "problem": problem, "why": why} for path, problem, why, _ in found.apart]
    out.write(', "files": ' + json.dumps(files) + "}\n")


def _series(found: Pass) -> list[dict[str, Any]]:
    """Per series (logger, channel) of the blocks checked: its blocks,
    samples, gaps, overlaps and blocks out of order."""
    table, keys = found.table, found.series.keys
    checked = np.flatnonzero(found.checked)
    codes = found.series.codes[checked]
    blocks = np.bincount(codes, table.repeats[checked], minlength=len(keys)).astype(np.int64).tolist()
    samples = np.bincount(codes, table.present_samples[checked], minlength=len(keys)).astype(np.int64).tolist()
    out = {s: {"channel": keys[s][1], "logger": keys[s][0], "blocks": blocks[s], "samples": samples[s], "gaps": [],
               "overlaps": [], "out_of_order": []} for s in np.unique(codes).tolist()}  # fmt: skip
    gaps, overlaps = finding_records(table, found.covered, keys)
    for s, gap in zip(found.covered.gaps.series.tolist(), gaps):
        out[s]["gaps"].append(gap)
    for s, overlap in zip(found.covered.overlaps.series.tolist(), overlaps):
        out[s]["overlaps"].append(overlap)

    def name(row: int) -> str:
        return table.paths[int(table.file[row])]

    starts = found.starts
    for a, b in zip(*(rows.tolist() for rows in found.out_of_order)):
        out[int(found.series.codes[a])]["out_of_order"].append(
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
    tolerance = found.rules.gap_tolerance
    drawn = coverage_of(found.table, found.unreadable(), flagged, tolerance, found.unread, found.loggers)
    figure = picture(drawn)
    data = io.BytesIO()
    figure.savefig(data, format="png")
    plt.close(figure)
    alt = "A row per channel, time across: a bar where blocks have samples, gaps left open, blocks cut short in orange"
    if found.has_loggers():
        alt = alt.replace("per channel", "per logger and channel")
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
    """A <details> per series (a channel of a logger), those with the most
    problems first: its flagged blocks by severity, its gaps, overlaps and
    blocks out of order, the longest first."""
    table, codes = found.table, found.series.codes
    checked = np.flatnonzero(found.checked)
    series = np.unique(codes[checked])
    problem_rows = np.flatnonzero(found.flagged())
    covered = found.covered
    later = {"gaps": covered.gaps.series, "overlaps": covered.overlaps.series,
             "out_of_order": codes[found.out_of_order[0]]}  # fmt: skip
    items = {kind: _by_series(of, series) for kind, of in later.items()}
    per_block = _by_series(codes[problem_rows], series)
    score = per_block[1] + sum(counts for _, counts in items.values())
    order = np.lexsort((series, -score))
    open_ = int(np.count_nonzero(score)) <= SHOWN
    recorded = np.bincount(codes[checked], table.present_samples[checked] * np.abs(found.period_s[checked]),
                           minlength=len(found.series.keys))  # fmt: skip
    blocks = np.bincount(codes[checked], table.repeats[checked], minlength=len(found.series.keys)).astype(np.int64)
    for c in order.tolist():
        code = int(series[c])
        said = [counted(int(blocks[code]), "block"), f"{duration_text(float(recorded[code]))} recorded"]
        parts = []
        rows = problem_rows[per_block[0] == c]
        if len(rows):
            said.append(counted(len(rows), "block flagged", "blocks flagged"))
            parts.append(_block_table(found, rows))
        for kind, title in (("gaps", "gap"), ("overlaps", "overlap"), ("out_of_order", "block out of order")):
            which = items[kind][0] == c
            if which.any():
                said.append(counted(int(which.sum()), title, "blocks out of order" if kind == "out_of_order" else None))
                parts.append(_pair_table(found, kind, np.flatnonzero(which)))
        if not parts:
            parts.append('<p class="quiet">Nothing flagged.</p>\n')
        flag = " open" if score[c] and open_ else ""
        name = _e(series_text(*found.series.keys[code], "utf-8"))
        yield f"<details{flag}><summary><b>{name}</b>: {_e(', '.join(said))}</summary>\n" + "".join(parts)
        yield "</details>\n"


def _by_series(series_of: np.ndarray, series: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per item, the position of its series among `series`; per series, its items."""
    position = np.searchsorted(series, series_of)
    return position, np.bincount(position, minlength=len(series))


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
    found_ = getattr(found.covered, kind)
    which = which[np.argsort(-found_.length[which], kind="stable")]
    heads = [kind[:-1], "from (UTC)", "tick"]
    starts, lengths = found_.start[which].tolist(), found_.length[which].tolist()
    cells = [f"<td class=n>{_e(seconds_text(length / 1000))}</td><td>{_e(at)}</td><td class=n>{start}</td>"
             for start, length, at in zip(starts, lengths, tick_texts(found_.start[which]))]  # fmt: skip
    if kind == "gaps":
        lines = [f"<tr>{head}<td>{_name(table.paths[int(table.file[b])])}</td><td class=n>{int(table.block[b])}</td>"
                 f"<td>{_name(table.paths[int(table.file[a])])}</td><td class=n>{int(table.block[a])}</td></tr>"
                 for head, b, a in zip(cells, found_.before[which].tolist(), found_.after[which].tolist())]  # fmt: skip
        return _folded([*heads, "after the file", "block", "before the file", "block"], lines, kind)
    name = lambda f: _name(table.paths[f])  # noqa: E731
    lines = [f"<tr>{head}<td>{blocks_text(table, found_.involved(i), name)}</td></tr>"
             for head, i in zip(cells, which.tolist())]  # fmt: skip
    return _folded([*heads, "blocks"], lines, kind)


def _rules(found: Pass) -> str:
    rules = found.rules
    low, high = rules.rails
    gaps = ("time that no block of its series covers inside the time its blocks span, of one sample period of"
            " the block before it or more; a block that starts within the second in which the time covered"
            " before it ends is taken to start where that time ends, as a block's first time is known to the"
            " second") if rules.gap_tolerance is None else (
            f"time that no block of its series covers, of more than {seconds_text(rules.gap_tolerance)}")  # fmt: skip
    overlaps = "time that two blocks or more of its series cover" + (
        "" if rules.gap_tolerance is None else f", of more than {seconds_text(rules.gap_tolerance)}")
    items = [
        f"<b>clipped</b>: a sample at {low} or {high}, the ends of the ADC's range (its rails);",
        f"<b>stuck</b>: one raw count, not a rail, held for {rules.stuck_samples:,} samples in a row, or for"
        f" {seconds_text(rules.stuck_seconds)} of samples when that is more;",
        f"<b>dead</b>: a block of {rules.dead_samples:,} samples or more that take at most"
        f" {counted(rules.dead_distinct, 'different raw count')};",
        "<b>cut short</b>: the file holds fewer samples than the block's header declares;",
        f"<b>gap</b>: {gaps}; a block covers the time from its first sample to its last and one period more,"
        " and a block without samples or whose period is 0 or runs backwards covers none;",
        f"<b>overlap</b>: {overlaps}; a series is a channel of a logger, across files (see --logger);",
        "<b>out of time order</b>: a block that starts before the block of its channel before it in its file.",
    ]
    return ('<p>Each block is looked at alone, its raw counts as recorded (every sample): runs never go on from one'
            " block into the next.</p>\n<ul>\n" + "".join(f"<li>{item}</li>\n" for item in items) + "</ul>\n"
            '<p class="quiet">Written by <code>python3 -m quarvel check</code>; <code>--json</code> gives every'
            " number.</p>\n")  # fmt: skip
