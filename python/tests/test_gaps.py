"""The one rule of gaps and overlaps on ticks: the shared time cases, and
random blocks against a count of the blocks that cover each millisecond."""

from __future__ import annotations

import numpy as np
import pytest

from logbuilder import TimeCase, time_cases
from quarvel._gaps import covered
from quarvel._index import BlockTable, build_table


def _table(case: TimeCase) -> BlockTable:
    """Returns the index of the case's files, named by their relative paths."""
    plans = list(case.files.values())
    raw = bytearray(b"".join(block.header() for plan in plans for block in plan.blocks))
    sizes = np.array([len(plan.to_bytes()) for plan in plans])
    return build_table(raw, list(case.files), sizes, np.array([len(plan.blocks) for plan in plans]))


@pytest.mark.parametrize("name", list(time_cases()))
def test_the_shared_time_cases(name: str) -> None:
    case = time_cases()[name]
    table = _table(case)
    paths = [table.paths[f] for f in table.file]
    loggers = [path.split("/")[0] if case.logger == "folder" else None for path in paths]
    keys = sorted(set(zip((logger or "" for logger in loggers), table.channel.tolist())))
    series = np.array([keys.index((logger or "", int(c))) for logger, c in zip(loggers, table.channel)])
    period = table.period_ms.view(np.int32).astype(np.int64)
    start = table.first_time.astype(np.int64) * 1000
    found = covered(series, start, start + table.present_samples * period, period)

    def block(row: int) -> list:
        return [paths[row], int(table.block[row])]

    def described(s: int, start: int, length: int) -> dict:
        return {"channel": keys[s][1], "logger": keys[s][0] or None, "start_tick": int(start), "length_ms": int(length)}

    gaps = [{**described(*gap[:3]), "before": block(gap[3]), "after": block(gap[4])} for gap in zip(*found.gaps)]
    overlaps = [{**described(s, start, length), "blocks": sorted(block(r) for r in found.overlaps.involved(i))}
                for i, (s, start, length) in enumerate(zip(*found.overlaps[:3]))]  # fmt: skip
    assert gaps == case.gaps
    assert overlaps == case.overlaps
    assert found.spans.like_several_loggers().any() == (name == "loggers")


def _stretches(mask: np.ndarray, base: int) -> list[tuple[int, int]]:
    edges = np.flatnonzero(np.diff(np.concatenate([[0], mask.astype(np.int8), [0]])))
    return [(base + int(a), int(b - a)) for a, b in zip(edges[::2], edges[1::2])]


def test_random_blocks_against_a_count_per_millisecond() -> None:
    rng = np.random.default_rng(20261209)
    for _ in range(2000):
        n = int(rng.integers(1, 8))
        series, start = rng.integers(0, 3, n), rng.integers(-50, 50, n)
        period, present = rng.choice([-3, 0, 1, 2, 5], n), rng.integers(0, 12, n)
        end = start + present * period
        found = covered(series, start, end, period, tolerance=0)
        gaps, overlaps, involved, spans = [], [], [], []
        for s in np.unique(series[end > start]).tolist():
            mine = (series == s) & (end > start)
            low = int(start[mine].min())
            count = np.zeros(int(end[mine].max()) - low, dtype=int)
            for a, b in zip(start[mine], end[mine]):
                count[a - low : b - low] += 1
            gaps += [(s, *stretch) for stretch in _stretches(count == 0, low)]
            for a, length in _stretches(count >= 2, low):
                overlaps.append((s, a, length))
                involved.append(np.flatnonzero(mine & (start < a + length) & (end > a)).tolist())
            spans.append((s, low, low + len(count), int((count > 0).sum()), int((count >= 2).sum())))
        assert list(zip(*(a.tolist() for a in found.gaps[:3]))) == gaps
        assert list(zip(*(a.tolist() for a in found.overlaps[:3]))) == overlaps
        assert [found.overlaps.involved(i).tolist() for i in range(len(overlaps))] == involved
        assert list(zip(*(a.tolist() for a in found.spans))) == spans
