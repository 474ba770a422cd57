"""The quality of a block's readings, from its raw counts: samples at the
ADC's rails (clipped), one count held for long (stuck), and blocks of at
most two counts (dead); the rules of `python3 -m quarvel check`, which
the web page's quality.js shares; and `Pass`, what a check found, which
_check makes and _report tells.

A block is counted a stretch at a time (a piece: see _pieces), each
stretch in a few vectorised passes. A block cut into several pieces is
put together exactly: each piece reports its first and last run apart
from the rest, and the runs that meet at a cut are joined (fold); the
distinct counts of each piece come as a set (a bitmap of every count),
and the sets are joined.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from ._times import signed_ms

if TYPE_CHECKING:
    from ._gaps import Covered
    from ._index import BlockTable
    from ._loggers import Series

RAILS = (-32768, 32767)
STUCK_SAMPLES = 50
STUCK_SECONDS = 10.0
DEAD_SAMPLES = 100
DEAD_DISTINCT = 2
# Pieces of at least this many samples have their counts marked in a table
# of all 65,536 (a fixed cost of microseconds, then the cheapest pass);
# shorter ones are sorted together.
MARK_MIN = 4096
MARK_CHUNK = 1 << 16

# What a piece's samples show. Of a piece cut from a longer block, the
# counts of runs and the longest runs leave out its first run and its last
# (head and tail), which may go on in the pieces beside it; the samples at
# each rail count them all. stuck_start is the index in the block.
STATS_DTYPE = np.dtype(
    [
        ("rail_low", np.int64),
        ("rail_low_run", np.int64),
        ("rail_high", np.int64),
        ("rail_high_run", np.int64),
        ("longest_stuck", np.int64),
        ("stuck_start", np.int64),
        ("distinct", np.int64),
        ("head_value", np.int16),
        ("head_run", np.int64),
        ("tail_value", np.int16),
        ("tail_run", np.int64),
    ]
)
BLOCK_FIELDS = STATS_DTYPE.names[:7]
# The flags, in the order in which every finding of check lists them.
FLAGS = ("clipped", "stuck", "dead", "cut_short")
# What check says of each block, in order: the columns of quarvel.check's
# blocks and the fields of the JSON's.
BLOCK_COLUMNS = ("path", "block", "channel", "samples", "start", "end", *BLOCK_FIELDS[:6], "stuck_time",
                 BLOCK_FIELDS[6], *FLAGS)  # fmt: skip
# Why a file was not checked.
UNREADABLE, NOT_A_LOG = "unreadable", "not_a_log"


class Rules(NamedTuple):
    """The thresholds of the flags: the rails (the lowest and highest raw
    count); a stuck run's least samples and seconds (the longer of the
    two); a dead block's least samples and most distinct counts; and the
    tolerance of gaps and overlaps, in seconds (None: the one rule's
    thresholds, see _gaps; a number: every gap and overlap longer)."""

    rails: tuple[int, int] = RAILS
    stuck_samples: int = STUCK_SAMPLES
    stuck_seconds: float = STUCK_SECONDS
    dead_samples: int = DEAD_SAMPLES
    dead_distinct: int = DEAD_DISTINCT
    gap_tolerance: float | None = None


def checked_rules(rules: Rules) -> Rules:
    """Returns `rules` with its numbers checked; raises ValueError for
    rails outside 16 bits or not in order, and for negative or non-finite
    thresholds."""
    low, high = (int(r) for r in rules.rails)
    if not -32768 <= low < high <= 32767:
        raise ValueError(f"the rails must be two raw counts, the lower first, from -32768 to 32767: {low}, {high}")
    numbers = {
        "stuck samples": rules.stuck_samples,
        "stuck seconds": rules.stuck_seconds,
        "dead samples": rules.dead_samples,
        "dead distinct counts": rules.dead_distinct,
    }
    if rules.gap_tolerance is not None:
        numbers["gap tolerance"] = rules.gap_tolerance
    for name, value in numbers.items():
        if not (math.isfinite(value) and value >= 0):
            raise ValueError(f"the {name} must be a number of 0 or more, not {value}")
    return rules._replace(rails=(low, high))


def as_stored(counts: tuple[int, int]) -> tuple[int, int]:
    """Returns raw counts coded as stretch_stats() takes them from the
    reader: the int16 that their bytes as the file stores them (big-endian)
    make on this machine. Runs, distinct counts and rails need only
    equality, which the coding keeps, and the counts then need no swap."""
    return tuple(np.array(counts, dtype=">i2").view(np.int16).tolist())


def stretch_stats(
    raw: np.ndarray, counts: np.ndarray, firsts: np.ndarray, cut: np.ndarray, rails: tuple[int, int] = RAILS
) -> tuple[np.ndarray, dict[int, np.ndarray]]:
    """Returns the STATS_DTYPE of each piece of `raw` (int16: the samples
    of pieces one after another, `counts[i]` of them for piece i, whose
    first is sample `firsts[i]` of its block; `cut[i]` when the piece is
    part of a longer block), and the set of counts of each cut piece as a
    bitmap (packed bits of the 65,536 counts as uint16). The counts may
    come in any one-to-one coding (as_stored()), the `rails` in the same."""
    k = len(counts)
    out = np.zeros(k, dtype=STATS_DTYPE)
    if k == 0:
        return out, {}
    ends = np.cumsum(counts)
    starts = ends - counts
    out["head_value"], out["tail_value"] = raw[starts], raw[ends - 1]
    # Runs of two samples or more, never across pieces: stretches of equal neighbours.
    same = raw[1:] == raw[:-1]
    same[starts[1:] - 1] = False
    at = np.flatnonzero(same)
    breaks = np.flatnonzero(np.diff(at) != 1)
    run_first = at[np.concatenate([[0], breaks + 1])] if len(at) else at
    run_last = at[np.append(breaks, len(at) - 1)] + 1 if len(at) else at
    run_length = run_last - run_first + 1
    run_piece = np.searchsorted(starts, run_first, side="right") - 1
    run_value = raw[run_first]
    at_head, at_tail = run_first == starts[run_piece], run_last == ends[run_piece] - 1
    out["head_run"], out["tail_run"] = 1, 1
    out["head_run"][run_piece[at_head]] = run_length[at_head]
    out["tail_run"][run_piece[at_tail]] = run_length[at_tail]
    # What a piece counts as its own: all of it, or for a cut piece what
    # lies between its head and tail runs (nothing, when one run fills it).
    own = ~(cut[run_piece] & (at_head | at_tail))
    low = np.where(cut, starts + out["head_run"], starts)
    high = np.maximum(np.where(cut, ends - out["tail_run"], ends), low)
    bounds = np.append(starts, len(raw))
    sets, seen = _distinct(raw, counts, starts, cut, out["distinct"], rails)
    at_rails = []
    for value, name in zip(rails, ("rail_low", "rail_high")):
        where = np.flatnonzero(raw == value) if value in seen else np.zeros(0, dtype=np.intp)
        at_rails.append(where)
        out[name] = np.diff(np.searchsorted(where, bounds))
        inside = np.searchsorted(where, high) - np.searchsorted(where, low)
        mine = own & (run_value == value)
        longest = _piece_max(run_piece[mine], run_length[mine], k)
        out[name + "_run"] = np.maximum(longest, inside > 0)  # a lone sample is a run of one
    stuck = own & (run_value != rails[0]) & (run_value != rails[1])
    piece, length, first = run_piece[stuck], run_length[stuck], run_first[stuck]
    longest = _piece_max(piece, length, k)
    start = np.zeros(k, dtype=np.int64)
    best = length == longest[piece]
    earliest = _firsts(piece[best])
    start[piece[best][earliest]] = first[best][earliest]
    # Without a run of two, the first sample off the rails is a run of one.
    free = _first_free(np.sort(np.concatenate(at_rails)), low)
    lone = (longest == 0) & (free < high)
    longest[lone], start[lone] = 1, free[lone]
    out["longest_stuck"] = longest
    out["stuck_start"] = np.where(longest > 0, start - starts + firsts, 0)
    return out, sets


def _firsts(keys: np.ndarray) -> np.ndarray:
    """Returns the positions in `keys` (sorted) where a new key starts."""
    return np.flatnonzero(np.concatenate([[True], keys[1:] != keys[:-1]])) if len(keys) else keys


def _piece_max(piece: np.ndarray, values: np.ndarray, k: int) -> np.ndarray:
    """Returns per piece (0 to k - 1) the largest of `values` of its runs
    (`piece`, in order), 0 for a piece of none."""
    out = np.zeros(k, dtype=np.int64)
    if len(piece):
        firsts = _firsts(piece)
        out[piece[firsts]] = np.maximum.reduceat(values, firsts)
    return out


def _first_free(taken: np.ndarray, low: np.ndarray) -> np.ndarray:
    """Returns per position of `low` the first position from it that is not
    among `taken` (sorted, distinct). taken[i] - i never decreases, and is
    the same along a stretch of consecutive positions."""
    before = np.searchsorted(taken, low)
    shifts = taken - np.arange(len(taken))
    return low + np.searchsorted(shifts, low - before, side="right") - before


def _distinct(
    raw: np.ndarray, counts: np.ndarray, starts: np.ndarray, cut: np.ndarray, out: np.ndarray, rails: tuple[int, int]
) -> tuple[dict[int, np.ndarray], set[int]]:
    """Fills `out` with the distinct counts of each piece; returns the set
    of counts of each cut piece, as packed bits, and the `rails` that may
    be among the counts (those of a long piece are known: the others then
    need no pass of their own)."""
    marked = (counts >= MARK_MIN) | cut
    sets = {}
    seen = set() if marked.all() else set(rails)
    if marked.any():
        table = np.zeros(1 << 16, dtype=bool)
        # Marked a chunk at a time through indices of the machine's width:
        # numpy would cast the counts to those first, a third of the cost.
        chunk = np.empty(MARK_CHUNK, dtype=np.intp)
        for i in np.flatnonzero(marked).tolist():
            table[:] = False
            words = raw[starts[i] : starts[i] + counts[i]].view(np.uint16)
            for at in range(0, len(words), MARK_CHUNK):
                part = words[at : at + MARK_CHUNK]
                index = chunk[: len(part)]
                index[...] = part
                table[index] = True
            out[i] = np.count_nonzero(table)
            seen.update(rail for rail in rails if table[rail & 0xFFFF])
            if cut[i]:
                sets[i] = np.packbits(table)
    rest = ~marked
    if rest.any():
        values = raw if not marked.any() else raw[np.repeat(rest, counts)]
        sizes = counts[rest]
        kind = np.uint32 if len(sizes) < 1 << 16 else np.uint64
        keys = np.repeat(np.arange(len(sizes), dtype=kind) << kind(16), sizes)
        keys |= values.view(np.uint16)
        keys.sort()
        new = np.ones(len(keys), dtype=np.uint8)
        new[1:] = keys[1:] != keys[:-1]
        out[rest] = np.add.reduceat(new, np.cumsum(sizes) - sizes, dtype=np.int64)
    return sets, seen


class Folding:
    """A block cut into pieces, put together piece after piece in order:
    the run still open at the end of the pieces so far, the longest runs
    closed, and the set of counts."""

    __slots__ = ("rails", "value", "start", "length", "low_run", "high_run", "stuck", "stuck_start", "bits")

    def __init__(self, rails: tuple[int, int]) -> None:
        self.rails = rails
        self.value = None
        self.start = self.length = self.low_run = self.high_run = self.stuck = self.stuck_start = 0
        self.bits = np.zeros(1 << 13, dtype=np.uint8)

    def _close(self) -> None:
        if self.value is None:
            return
        if self.value == self.rails[0]:
            self.low_run = max(self.low_run, self.length)
        elif self.value == self.rails[1]:
            self.high_run = max(self.high_run, self.length)
        elif self.length > self.stuck:  # of runs of one length, the earliest
            self.stuck, self.stuck_start = self.length, self.start

    def _run(self, value: int, start: int, length: int) -> None:
        """Takes a run that starts where the open one ends."""
        if value == self.value:
            self.length += length
            return
        self._close()
        self.value, self.start, self.length = value, start, length

    def fold(self, stats: np.void, first: int, count: int, bits: np.ndarray) -> None:
        """Takes the next piece: its STATS_DTYPE, its first sample's index
        in the block, its samples and its set of counts."""
        head, tail = int(stats["head_run"]), int(stats["tail_run"])
        self._run(int(stats["head_value"]), first, head)
        self.bits |= bits
        if head == count:
            return
        self._close()
        self.low_run = max(self.low_run, int(stats["rail_low_run"]))
        self.high_run = max(self.high_run, int(stats["rail_high_run"]))
        if stats["longest_stuck"] > self.stuck:
            self.stuck, self.stuck_start = int(stats["longest_stuck"]), int(stats["stuck_start"])
        self.value, self.start, self.length = int(stats["tail_value"]), first + count - tail, tail

    def finish(self, out: np.void) -> None:
        """Closes the last run, and writes the block's runs and distinct
        counts into `out` (a STATS_DTYPE whose rail counts are the sums of
        its pieces')."""
        self._close()
        out["rail_low_run"], out["rail_high_run"] = self.low_run, self.high_run
        out["longest_stuck"], out["stuck_start"] = self.stuck, self.stuck_start
        out["distinct"] = int(np.unpackbits(self.bits).sum())


def stuck_lengths(period_ms: np.ndarray, samples: int = STUCK_SAMPLES, seconds: float = STUCK_SECONDS) -> np.ndarray:
    """Returns per block the samples that a stuck run needs: `samples`, or
    `seconds` of samples when that is more, the period read as a signed
    32-bit number of ms (signed_ms); `samples` for a period of 0 or less."""
    ms = signed_ms(period_ms).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        span = np.ceil(seconds * 1000.0 / ms)
    return np.where(ms > 0, np.maximum(samples, span), samples)


def flags(stats: np.ndarray, present: np.ndarray, period_ms: np.ndarray, rules: Rules) -> dict[str, np.ndarray]:
    """Returns per block whether it is clipped, stuck or dead, from its
    stats (the fields of BLOCK_FIELDS), samples and period."""
    longest = stats["longest_stuck"]
    return {
        "clipped": stats["rail_low"] + stats["rail_high"] > 0,
        "stuck": (longest > 0) & (longest >= stuck_lengths(period_ms, rules.stuck_samples, rules.stuck_seconds)),
        "dead": (present > 0) & (present >= rules.dead_samples) & (stats["distinct"] <= rules.dead_distinct),
    }


class Unchecked(NamedTuple):
    """A file or pattern that a check left out: its `path`, the `problem`
    (UNREADABLE or NOT_A_LOG), `why` in words, and the `error` that says
    so (None for a file that is probably not a log)."""

    path: str
    problem: str
    why: str
    error: Exception | None


@dataclass(frozen=True, eq=False)
class Pass:
    """What a check found, as numpy columns: `table`, the headers of the
    files read, by `rules`; `named`, the files and patterns that the
    operands named; per file of the table `unread` (its samples could not
    be read) and `file_checked` (read to its end, and a log); per block `checked` (its file's), `stats` (STATS_DTYPE),
    `flags` (clipped, stuck, dead, cut_short) and `stuck_time`; `loggers`,
    the logger of each file of the table (None: one logger, no rule);
    `series`, the series (logger, channel) of each block (its codes per row
    of the table); `covered`, the gaps and overlaps of the blocks checked, by the
    one rule (_gaps: rows of the table, series codes of `series`);
    `out_of_order` (rows: the block, and the block with samples before it
    in its file); `apart`, each file or pattern not checked, in operand
    order. Per block of the table, `starts` and `ends` are its first and
    last sample's times (NaN without samples) and `period_s` its period in
    seconds, computed once for every report."""

    table: BlockTable
    rules: Rules
    named: int
    unread: np.ndarray
    file_checked: np.ndarray
    checked: np.ndarray
    stats: np.ndarray
    flags: dict[str, np.ndarray]
    stuck_time: np.ndarray
    loggers: list[str] | None
    series: Series
    covered: Covered
    out_of_order: tuple[np.ndarray, np.ndarray]
    apart: tuple[Unchecked, ...]
    starts: np.ndarray
    ends: np.ndarray
    period_s: np.ndarray

    def has_loggers(self) -> bool:
        """True when a rule of loggers named the files' loggers."""
        return self.loggers is not None

    def several_loggers(self) -> list[int]:
        """The series (positions in series.keys) whose blocks overlap for
        more than half of the time they cover, as the blocks of several
        loggers merged into one series do."""
        spans = self.covered.spans
        return spans.series[spans.like_several_loggers()].tolist()

    def unreadable(self) -> list[tuple]:
        """The files and patterns that could not be read: (path, error)."""
        return [(entry.path, entry.error) for entry in self.apart if entry.problem == UNREADABLE]

    def flagged(self) -> np.ndarray:
        """Per block of the table, whether a flag is raised on it."""
        return self.checked & np.logical_or.reduce([self.flags[name] for name in FLAGS])

    def status(self) -> int:
        """1 when a file could not be read, else 2 when anything is
        flagged, else 0."""
        if self.unreadable():
            return 1
        found = self.covered
        problems = self.flagged().any() or len(found.gaps.start) or len(found.overlaps.start)
        problems = problems or len(self.out_of_order[0])
        return 2 if problems else 0
