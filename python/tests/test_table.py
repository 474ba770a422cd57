"""quarvel.table and `python3 -m quarvel table`: every method on random
multi-rate campaigns against a plain reference on integer ticks, the CSV
against the converter's text, and the refusals."""

from __future__ import annotations

import bisect
import math
import warnings
from pathlib import Path

import numpy as np
import pytest

import logbuilder
import quarvel
from quarvel import _table
from quarvel._tabletext import cell_text, column_name, rows_bytes, time_text

pytest.importorskip("pandas")


# ---- the reference: loops over blocks and samples, integer ticks


class Reference:
    """The blocks of logs as plain Python numbers, and the table's methods
    computed straight from their definitions."""

    def __init__(self, paths: list[str], logger: str | None, values: str) -> None:
        names = quarvel._loggers.logger_names(paths, logger) if logger else [None] * len(paths)
        self.series: dict = {}
        for number, path in enumerate(paths):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the reference reads cut blocks too
                with quarvel.open(path) as log:
                    for block in log.blocks:
                        period = block.period_ms - (1 << 32) if block.period_ms >= 1 << 31 else block.period_ms
                        count = len(block.raw)
                        if count == 0 or period <= 0:
                            continue
                        data = block.raw.astype(np.float64) if values == "raw" else block.values()
                        start = block.first_time * 1000
                        key = (start, number, block.index)
                        self.series.setdefault((names[number], block.channel), []).append(
                            (key, start, period, count, list(data), (path, block.index))
                        )
        self.keys = sorted(self.series, key=lambda key: (key[0] or "", key[1]))
        self.kept_by: dict = {}

    def owner(self, blocks: list, t: int, overlap: str):
        covering = [b for b in blocks if b[1] <= t < b[1] + b[3] * b[2]]
        if not covering:
            return None
        return max(covering) if overlap == "last" else min(covering)

    def kept(self, blocks: list, overlap: str) -> list:
        """Returns the kept samples (tick, value, period, sample) in tick
        order: those whose tick no block that wins over their own covers."""
        out = []
        for b in blocks:
            ticks = b[1] + b[2] * np.arange(b[3], dtype=np.int64)
            mine = np.ones(b[3], dtype=bool)
            for c in blocks:
                if c[0] > b[0] if overlap == "last" else c[0] < b[0]:
                    mine &= (ticks < c[1]) | (ticks >= c[1] + c[3] * c[2])
            out += [(int(ticks[i]), b[4][i], b[2], (*b[5], i)) for i in np.flatnonzero(mine).tolist()]
        return sorted(out, key=lambda sample: sample[0])

    def cell(self, blocks: list, kept: list, ticks: list, t: int, every: int, method: str, overlap: str):
        """Returns (value, sample) of one cell: value None for no value."""
        own = self.owner(blocks, t, overlap)
        if method in ("exact", "previous"):
            if own is None or method == "exact" and (t - own[1]) % own[2]:
                return None, None
            i = (t - own[1]) // own[2]
            return own[4][i], (*own[5], i)
        if method == "nearest":
            if own is None:
                return None, None
            reach = max(b[2] for b in blocks)  # no sample further than this is within half its period
            window = kept[bisect.bisect_left(ticks, t - reach) : bisect.bisect_right(ticks, t + reach)]
            near = [x for x in window if 2 * abs(x[0] - t) <= x[2]]
            best = min(near, key=lambda x: (abs(x[0] - t), x[0]), default=None)
            return (None, None) if best is None else (best[1], best[3])
        if method == "linear":
            a = bisect.bisect_right(ticks, t) - 1
            if own is None or a < 0:
                return None, None
            if ticks[a] == t:
                return float(kept[a][1]), None
            if a + 1 < len(kept) and ticks[a + 1] - ticks[a] == kept[a][2] and t < ticks[a + 1]:
                va, vb = float(kept[a][1]), float(kept[a + 1][1])
                return va + (vb - va) * float(t - ticks[a]) / float(ticks[a + 1] - ticks[a]), None
            return None, None
        inside = kept[bisect.bisect_left(ticks, t) : bisect.bisect_left(ticks, t + every)]
        if method == "count":
            return len(inside), None
        if not inside:
            return None, None
        if method == "mean":
            total = float(inside[0][1])
            for x in inside[1:]:
                total += float(x[1])
            return total / len(inside), None
        nan = [x for x in inside if math.isnan(x[1])]
        if nan:
            return nan[0][1], nan[0][3]
        sign = -1 if method == "max" else 1  # -0 below +0
        best = min(inside, key=lambda x: (sign * x[1], sign * math.copysign(1, x[1])))
        return best[1], best[3]

    def table(self, first: int, rows: int, every: int, method: str, overlap: str) -> list[list[tuple]]:
        out = []
        for key in self.keys:
            blocks = self.series[key]
            if (key, overlap) not in self.kept_by and method not in ("exact", "previous"):
                self.kept_by[key, overlap] = self.kept(blocks, overlap)
            kept = self.kept_by.get((key, overlap), [])
            ticks = [sample[0] for sample in kept]
            out.append([self.cell(blocks, kept, ticks, first + k * every, every, method, overlap) for k in range(rows)])
        return out


def bits(value: float, kind: np.dtype) -> int:
    return int(np.array(value, dtype=kind).view(np.uint32 if kind == np.float32 else np.uint64))


def cells_of(plan: _table.Plan) -> list[tuple[np.ndarray, np.ndarray]]:
    parts = [_table.compute(part) for part in plan.parts()]
    out = []
    for c in range(len(plan.names)):
        values = np.concatenate([part.values[c] for part in parts])
        has = [np.ones(part.ticks.shape, dtype=bool) if part.has[c] is None else part.has[c] for part in parts]
        out.append((values, np.concatenate(has)))
    return out


CAMPAIGNS = [(seed, logger) for seed in (1, 2, 3, 4) for logger in ("folder", None)]


@pytest.mark.parametrize("seed,logger", CAMPAIGNS)
def test_every_method_against_the_reference(tmp_path: Path, seed: int, logger: str | None) -> None:
    paths = sorted(str(p) for p in logbuilder.write_multirate(tmp_path, seed=seed, seconds=20))
    rng = np.random.default_rng(seed)
    for values in ("calData", "raw"):
        reference = Reference(paths, logger, values)
        for method in _table.METHODS:
            every = int(rng.choice([1, 3, 7, 250, 1000, 1500]))
            overlap = ("last", "first")[int(rng.integers(0, 2))]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                whole = _table.plan_of(paths, every, None, None, None, logger, method, overlap, values, 2)
                # 1,500 rows from anywhere in the campaign, or from before it, not on the default grid
                start = whole.first + int(rng.integers(-2 * every, max(1, (whole.rows - 1500) * every)))
                end = start + 1499 * every + int(rng.integers(0, every))
                ticks = np.datetime64(start, "ms"), np.datetime64(end, "ms")
                plan = _table.plan_of(paths, every, *ticks, None, logger, method, overlap, values, 2)
            expected = reference.table(plan.first, plan.rows, every, method, overlap)
            kind = plan.dtype()
            for name, (got, has), want in zip(plan.names, cells_of(plan), expected):
                where = f"seed {seed}, {logger}, {values}, {method}, every {every}, {overlap}, {name}"
                assert has.tolist() == [v is not None for v, _ in want], where
                for row in np.flatnonzero(has).tolist():
                    assert bits(got[row], kind) == bits(want[row][0], kind), f"{where}, row {row}"


def converter_lines(convert, paths: list[str]) -> dict:
    """Returns the converter's calData text of every sample, by (path, block, index)."""
    lines = {}
    for path in paths:
        text = convert(Path(path))[0].split(b"\r\n")
        present = quarvel.index(path)["present_samples"].tolist()
        starts = np.cumsum([0, *present]).tolist()
        lines[path] = (text, starts)
    return lambda sample: lines[sample[0]][0][lines[sample[0]][1][sample[1]] + sample[2]].decode()


@pytest.mark.parametrize("method,values", [("previous", "calData"), ("nearest", "calData"), ("min", "calData"),
                                           ("max", "calData"), ("mean", "calData"), ("count", "calData"),
                                           ("previous", "raw"), ("linear", "raw")])  # fmt: skip
def test_the_csv_is_the_converters_text(tmp_path: Path, convert, method: str, values: str) -> None:
    from conftest import run_quarvel

    paths = sorted(str(p) for p in logbuilder.write_multirate(tmp_path / "logs", seed=7, seconds=12))  # before 1970
    done = run_quarvel("table", "logs/**/*.002", "--every", "250ms", "--method", method, "--values", values,
                       "--logger", "folder", "-o", "table.csv", cwd=tmp_path)  # fmt: skip
    assert done.returncode == 0, done.stderr
    rows = (tmp_path / "table.csv").read_bytes().split(b"\r\n")
    assert rows.pop() == b""  # the last line ends in CR LF, and no line has a bare LF
    reference = Reference(paths, "folder", values)
    kept = [b for key in reference.keys for b in reference.series[key]]
    first = min(b[1] for b in kept) // 250 * 250
    count = (max(b[1] + (b[3] - 1) * b[2] for b in kept) - first) // 250 + 1
    header = ["time"] + [f"{logger}/ch{channel}" for logger, channel in reference.keys]
    assert rows[0].decode() == ",".join(header) and len(rows) == count + 1
    text = converter_lines(convert, paths)
    kind = _table.Plan(*[None] * 13)._replace(method=method, values=values, names=header).kinds()[0]
    expected = reference.table(first, count, 250, method, "last")
    for k, row in enumerate(rows[1:]):
        fields = row.decode().split(",")
        assert fields[0] == time_text(first + 250 * k)
        for cells, got in zip(expected, fields[1:]):
            value, sample = cells[k]
            if value is not None and sample is not None and values == "calData":
                assert got == text(sample), (k, sample)
            else:
                assert got == cell_text(value, kind), k


def test_the_rules_of_the_text() -> None:
    names = {"ch3": "ch3", "a,b/ch1": '"a,b/ch1"', 'say "x"/ch1': '"say ""x""/ch1"',
             "line\nfeed/ch1": '"line\nfeed/ch1"', "=cmd/ch1": "'=cmd/ch1", "-1/ch2": "'-1/ch2",
             "@x,/ch0": "\"'@x,/ch0\""}  # fmt: skip
    assert {name: column_name(name) for name in names} == names
    assert [time_text(t) for t in (-500, -1, 0, 1_796_083_200_123)] == ["-0.500", "-0.001", "0.000", "1796083200.123"]
    assert time_text(-62_135_596_800_000, iso=True) == "0001-01-01T00:00:00.000Z"
    cells = [(0.0078125, "0.007812"), (-0.0, "-0.000000"), (float("inf"), "inf"), (-np.float64(np.nan), "-nan"),
             (np.float32(16_777_217), "16777216.000000"), (None, "")]  # fmt: skip
    assert [cell_text(value, "sample") for value, _ in cells] == [text for _, text in cells]
    # numpy spells a column as cell_text spells each cell: every kind of float32, by its bits
    values = np.random.default_rng(5).integers(0, 1 << 32, 50_000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    has = values.view(np.uint32) % 7 != 0
    ticks = np.arange(len(values), dtype=np.int64) * 7 - 1000
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rows = rows_bytes(ticks, [(values, has, "sample"), (values.astype(np.float64) * 3, None, "float")], False)
    want = [f"{time_text(t)},{cell_text(v if h else None, 'sample')},{cell_text(float(v) * 3, 'float')}"
            for t, v, h in zip(ticks.tolist(), values.tolist(), has.tolist())]  # fmt: skip
    assert rows.decode().split("\r\n") == [*want, ""]


@pytest.mark.parametrize("every,error", [("1M", "calendar offset"), ("1us", "whole number of milliseconds"),
                                         (0, "1 ms or more"), ("1.5x", "neither a number"), (True, "bool")])  # fmt: skip
def test_a_step_of_no_whole_ms_is_refused(every, error: str) -> None:
    with pytest.raises((ValueError, TypeError), match=error):
        _table.every_ms(every)


def test_the_frame_and_its_refusals(tmp_path: Path) -> None:
    dd = pytest.importorskip("dask.dataframe")
    logbuilder.write_time_cases(tmp_path)
    nested = sorted(str(p) for p in (tmp_path / "nested").glob("*.002"))
    start = np.datetime64(logbuilder.TIME_START + 95, "s")
    with pytest.warns(UserWarning, match="ch0: 20 cells of the table met blocks that overlap"):
        frame = quarvel.table(nested, "1s", start=str(start), end="2026-12-03T00:10:00")
    assert isinstance(frame, dd.DataFrame) and frame.known_divisions and list(frame.columns) == ["ch0"]
    got = frame.compute()
    assert got.index.name == "time" and got.index.dtype == "datetime64[ns]" and got["ch0"].dtype == np.float32
    assert got.index[0] == start and len(got) == 506
    # The short blocks, of values -2000 on, take their ten seconds; the long block the rest.
    assert got["ch0"].iloc[4:16].tolist() == [-1901, *range(-2000, -1990), -1890]
    named = r"ch0: block 0 of .*long\.002 and block 0 of .*short\.002 both cover"
    with pytest.raises(_table.OverlapError, match=named):
        quarvel.table(nested, 1000, overlap="error")
    with pytest.raises(ValueError, match="1677-09-21T00:12:43.146Z to 2262-04-11T23:47:16.854Z"):
        quarvel.table(nested, "1D", start=-10_000_000_000)


def test_the_command(tmp_path: Path) -> None:
    from conftest import run_quarvel

    logbuilder.write_multirate(tmp_path, seed=8, seconds=6)
    (tmp_path / "b" / "notes.002").write_bytes(logbuilder._NOTES)
    usage = run_quarvel("table", "a/*.002", "--every", "1M", "-o", "t.csv", cwd=tmp_path)
    assert usage.returncode == 3 and "calendar offset" in usage.stderr
    refused = run_quarvel("table", "a/*.002", "--every", "1s", "-o", "a/0000.002", cwd=tmp_path)
    assert refused.returncode == 1 and "is the input a/0000.002; nothing written" in refused.stderr
    iso = run_quarvel("table", "a/*.002", "--every", "1s", "--time", "iso", "--from=-1e14", "-o", "t.csv",
                      cwd=tmp_path)
    assert iso.returncode == 3 and "years 1 to 9999" in iso.stderr and not (tmp_path / "t.csv").exists()
    done = run_quarvel("table", "*/*.002", "b/missing.002", "--every", "1s", "--channels", "0",
                       "--logger", "^(b)/", "--time", "iso", "-o", "-", cwd=tmp_path)  # fmt: skip
    assert done.returncode == 1
    said = done.stderr.splitlines()
    assert "quarvel table: cannot read b/missing.002: No such file or directory" in said
    assert any(line.startswith("quarvel table: b/notes.002: probably not a logger file") for line in said)
    assert any(line.startswith("quarvel table: a/0000.002: no logger: the path does not match") for line in said)
    assert done.stdout.startswith("time,b/ch0\n2026-12-04T00:00:0") and done.stdout.split("\n")[1][23] == "Z"
