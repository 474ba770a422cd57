"""The command `catalog`: `python3 -m quarvel catalog update CAT
[FILE|PATTERN...]` keeps a catalog of logs up to date (once, or every
INTERVAL with --repeat), and `catalog info CAT [--json]` says what it
holds and how it was last updated."""

from __future__ import annotations

import errno
import json
import os
import re
import signal
import sys
import time
from typing import Any, Sequence, TextIO

from ._catalog import Catalog, CatalogError, Update
from ._headers import NoMatchError
from ._progress import lines, status
from ._update import Result, repeat, update
from ._walk import is_pattern
from ._words import counted, display_name, failure, reason, seconds_text, span_text

_UNITS = {"ms": 0.001, "s": 1.0, "m": 60.0, "min": 60.0, "h": 3600.0}


def interval(text: str) -> float:
    """Returns the seconds of an interval such as 10s, 500ms, 2m, 1h or 30 (seconds)."""
    found = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*(ms|s|min|m|h)?\s*", text)
    if found is None or float(found.group(1)) <= 0:
        raise ValueError(text)
    return float(found.group(1)) * _UNITS[found.group(2) or "s"]


interval.__name__ = "interval (such as 10s, 500ms, 2m)"


def run_update(catalog: str, sources: Sequence[str], window: float, every: float | None, scheduler: str | None,
               command: str, out: TextIO) -> int:  # fmt: skip
    """Runs `catalog update`: a line per update that changed something (with
    --repeat, a line per round that did, and a line of status on a
    terminal), the files that could not be read on standard error.
    Returns the exit status: 0, or 1 when a file could not be read, a
    source named gave nothing, or the catalog could not be updated."""
    err = lines(sys.stderr)
    encoding = getattr(sys.stderr, "encoding", None)
    shown = status(f"{catalog}: updating")
    last: list[Result] = []

    def waiting(host: str, pid: int) -> None:
        shown.set_description_str(f"{catalog}: waiting for the update of process {pid} on {host}")

    def report(number: int, result: Result) -> None:
        last[:] = [result]
        for given in result.unmatched:
            print(f"quarvel catalog: {failure(given, _unmatched(given), encoding)}", file=err)
        for path, error in result.unreadable:
            print(f"quarvel catalog: {failure(path, error, encoding)}", file=err)
        err.flush()
        line = _update_line(display_name(catalog, out.encoding), result)
        if every is None or result.generation is not None:
            prefix = f"{result.update.finished[:19].replace('T', ' ')} UTC: " if every is not None else ""
            out.write(prefix + line + "\n")
            out.flush()
        if every is not None:
            after = time.strftime("%H:%M:%S", time.gmtime(time.time() + every))
            shown.set_description_str(f"{catalog}: round {number:,}: {line.split(': ', 1)[1]}; next at {after} UTC")

    options: dict[str, Any] = {"window": window, "scheduler": scheduler, "command": command, "waiting": waiting}
    try:
        if every is None:
            report(1, update(catalog, sources, **options))
        else:
            signal.signal(signal.SIGTERM, _interrupt)  # a service stopped ends as Ctrl-C ends it
            repeat(catalog, sources, every, on_round=report, **options)
    except KeyboardInterrupt:
        shown.close()
        return 0 if not last or _fine(last[0]) else 1
    except (CatalogError, OSError, ImportError) as error:  # ImportError: --scheduler without distributed
        shown.close()
        print(f"quarvel catalog: {reason(error)}", file=err)
        return 1
    shown.close()
    return 0 if _fine(last[0]) else 1


def _interrupt(*_: object) -> None:
    raise KeyboardInterrupt


def _fine(result: Result) -> bool:
    return not (result.unreadable or result.unmatched)


def _unmatched(given: str) -> OSError:
    """The error of a source named that gave no file."""
    if is_pattern(given):
        return NoMatchError(errno.ENOENT, "no file matches the pattern", given)
    return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), given)


def _update_line(name: str, result: Result) -> str:
    """Returns the line that says what an update did."""
    what = "updated" if result.generation is not None else "nothing changed"
    return f"{name}: {what}: {_counts(result.update)}"


def _counts(done: Update) -> str:
    """Returns what an update found, in words."""
    counts = (
        f"{counted(done.files, 'file')} listed; {done.new:,} new, {done.grown:,} grown, "
        f"{done.read_again:,} read again, {done.gone:,} gone"
    )
    if done.unreadable:
        counts += f", {done.unreadable:,} unreadable"
    return f"{counts}; {seconds_text(done.seconds)}"


def run_info(path: str, as_json: bool, out: Any) -> int:
    """Runs `catalog info`: what the catalog holds and how it was last
    updated, as text or JSON. Returns the exit status."""
    try:
        with Catalog(path) as catalog:
            facts = summary(catalog)
    except CatalogError as error:
        print(f"quarvel catalog: {error}", file=sys.stderr)
        return 1
    if as_json:
        out.write(json.dumps(facts, indent=2) + "\n")
        return 0
    encoding = getattr(out, "encoding", None)
    head = f"{display_name(path, encoding)}: {counted(facts['files'], 'file')}, {counted(facts['blocks'], 'block')}, "
    head += counted(facts["series"], "series", "series")
    if facts["start_tick"] is not None:
        head += ", " + span_text(facts["start_tick"] / 1000, facts["end_tick"] / 1000)
    text = [head]
    for source in facts["sources"]:
        shown = os.path.relpath(source)
        text.append(f"  source: {display_name(source if shown.startswith('..') else shown, encoding)}")
    done = facts["updated"]
    if done is not None:
        text.append(
            f"  last update: {done['finished'][:19].replace('T', ' ')} UTC on {done['host']}, process {done['pid']}:"
            f" {display_name(done['command'], encoding)}"
        )
        how = f", scheduler {done['scheduler']}" if done["scheduler"] else ""
        text.append(f"  {_counts(Update(**done))}; recent-change window {done['window']:g} s{how}")
    size = facts["bytes"]
    each = f" ({size / facts['files']:,.0f} bytes a file)" if facts["files"] else ""
    text.append(f"  generation {facts['generation']}: {size:,} bytes{each}")
    if facts["recheck"]:
        text.append(f"  {counted(facts['recheck'], 'file')} changed within the window, to be read again by the next update")
    out.write("".join(line + "\n" for line in text))
    return 0


def summary(catalog: Catalog) -> dict[str, Any]:
    """Returns what `catalog info` tells, as JSON's values: the catalog's
    path and generation, its size in bytes, its files, blocks (runs of
    empty blocks counted in full), rows, series (channels with samples,
    one logger), the ticks where the time its blocks cover starts and
    ends (None without any), its sources (resolved), the files marked to
    be read again, and its last update."""
    sql = catalog.connection.execute
    blocks, rows = sql("SELECT coalesce(sum(repeats), 0), count(*) FROM blocks").fetchone()
    series = sql("SELECT count(DISTINCT channel) FROM blocks WHERE present_samples > 0").fetchone()[0]
    start, end = sql(
        "SELECT min(start_tick), max(end_tick) FROM block_ticks WHERE end_tick > start_tick AND present_samples > 0"
    ).fetchone()
    updated = catalog.updated
    return {
        "catalog": catalog.path,
        "generation": catalog.generation,
        "bytes": os.path.getsize(os.path.join(catalog.folder, catalog.generation)),
        "files": catalog.file_count(),
        "blocks": int(blocks),
        "rows": int(rows),
        "series": int(series),
        "start_tick": start,
        "end_tick": end,
        "sources": catalog.sources,
        "recheck": int(sql("SELECT count(*) FROM files WHERE recheck").fetchone()[0]),
        "updated": None if updated is None else updated._asdict(),
    }
