"""The one rule of gaps and overlaps on ticks: the shared time cases, and
random blocks against a count of the blocks that cover each millisecond;
and every face that reports it (info --json, check --json, the coverage's
counts) on the shared time cases."""

from __future__ import annotations

import json

import numpy as np
import pytest
from conftest import run_quarvel

from logbuilder import TimeCase, time_cases, write_time_cases
from quarvel._gaps import covered
from quarvel._headers import Headers
from quarvel._index import BlockTable, build_table


def _table(case: TimeCase) -> BlockTable:
    """Returns the index of the case's files, named by their relative paths."""
    plans = list(case.files.values())
    raw = Headers()
    raw.raw += b"".join(block.header() for plan in plans for block in plan.blocks)
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


CASES = time_cases()


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    folder = tmp_path_factory.mktemp("time-cases")
    write_time_cases(folder)
    return folder


def _faced(name: str) -> list[str]:
    """The command line's pattern of a case, run in its folder, and its logger rule."""
    return ["**/*.002"] + (["--logger", CASES[name].logger] if CASES[name].logger else [])


def _as_cases(gaps: list[dict], overlaps: list[dict]) -> tuple[list, list]:
    """Gaps and overlaps of a JSON report in the form of time-cases.json."""
    def block(found: dict) -> list:
        return [found["path"], found["block"]]

    def head(found: dict) -> dict:
        return {key: found[key] for key in ("channel", "logger", "start_tick", "length_ms")}

    return ([{**head(g), "before": block(g["before"]), "after": block(g["after"])} for g in gaps],
            [{**head(o), "blocks": sorted(block(b) for b in o["blocks"])} for o in overlaps])  # fmt: skip


def test_info_finds_the_time_cases_of_one_file(cases):
    """info's series are a file's channels: the cases of one log."""
    for name in [name for name, case in CASES.items() if len(case.files) == 1]:
        done = run_quarvel("info", "--json", *_faced(name), cwd=cases / name)
        (found,) = json.loads(done.stdout)["files"]
        assert _as_cases(found["gaps"], found["overlaps"]) == (CASES[name].gaps, CASES[name].overlaps), name


def test_check_finds_the_time_cases_and_the_merged_loggers(cases):
    for name, case in CASES.items():
        done = run_quarvel("check", "--json", "-", *_faced(name), cwd=cases / name)
        report = json.loads(done.stdout)
        series = report["channels"]
        assert _as_cases([g for c in series for g in c["gaps"]], [o for c in series for o in c["overlaps"]]) == (
            case.gaps, case.overlaps), name  # fmt: skip
        assert done.returncode == (2 if case.gaps or case.overlaps or name == "backwards" else 0), name
        merged = report["looks_like_several_loggers"]
        assert merged == ([{"channel": c, "logger": None} for c in range(8)] if name == "loggers" else []), name
        assert ("give --logger" in done.stderr) == (name == "loggers"), name
        assert {c["logger"] for c in series} == ({"a", "b", "c"} if case.logger else {None}), name


def test_coverage_counts_the_time_cases(cases):
    pytest.importorskip("matplotlib")
    from quarvel._coverage import layout, notes
    from quarvel.coverage import scan

    for name, case in CASES.items():
        found = scan([str(cases / name / "**/*.002")], case.logger)
        shown = layout(found)
        assert (shown.gaps, shown.overlaps) == (len(case.gaps), len(case.overlaps)), name
        assert ("give --logger" in " ".join(notes(found, shown))) == (name == "loggers"), name
        if case.logger:
            assert shown.labels == [f"{logger}/ch{c}" for logger in "abc" for c in range(8)]
