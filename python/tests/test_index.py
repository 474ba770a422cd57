"""quarvel.index(): one row per block from the headers alone, agreeing with
the reader and with the converter's text."""

from __future__ import annotations

import re
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import run_converter
from logbuilder import (
    FIRST_TIMES,
    INT32_MAX,
    INT32_MIN,
    PERIODS,
    UINT32_MAX,
    BlockPlan,
    LogPlan,
    case_plans,
    cases,
    edge_samples,
    fixed,
    log_bytes,
)

import quarvel
from quarvel._scan import scan_files
from quarvel._times import last_times, period_seconds, running_time

LOGS = cases()

pd = pytest.importorskip("pandas")

COLUMNS = {
    "path": "category",
    "block": "int64",
    "data_offset": "int64",
    "channel": "int32",
    "period_ms": "uint32",
    "first_time": "int32",
    "declared_samples": "int32",
    "present_samples": "int64",
    "gain": "float32",
    "offset": "float32",
    "truncated": "bool",
    "start": "float64",
    "end": "float64",
    "start_tick": "int64",
    "end_tick": "int64",
}


def write_logs(folder, names):
    paths = []
    for name in names:
        path = folder / f"{name}.log"
        path.write_bytes(LOGS[name])
        paths.append(str(path))
    return paths


@pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")
def test_rows_are_the_readers_blocks(tmp_path):
    paths = write_logs(tmp_path, ["timing", "counts", "empty", "cut-in-sample", "junk-header"])
    frame = quarvel.index(paths)
    assert {name: str(dtype) for name, dtype in frame.dtypes.items()} == COLUMNS
    assert list(frame["path"].cat.categories) == paths
    row = 0
    for path in paths:
        with quarvel.open(path) as log:
            for block in log.blocks:
                got = frame.iloc[row]
                assert got["path"] == path and got["block"] == block.index
                assert got["data_offset"] == block.data_offset
                fields = ("channel", "period_ms", "first_time", "declared_samples", "present_samples", "truncated")
                assert [got[f] for f in fields] == [getattr(block, f) for f in fields]
                bits = np.array([got["gain"], got["offset"]], dtype=np.float32).view(np.uint32)
                assert bits.tolist() == np.array([block.gain, block.offset]).view(np.uint32).tolist()
                times = block.times()
                ends = [times[0], times[-1]] if len(times) else [np.nan, np.nan]
                assert np.array_equal([got["start"], got["end"]], ends, equal_nan=True)
                period = block.period_ms - (block.period_ms >> 31 << 32)  # signed, in Python's integers
                ticks = [block.first_time * 1000, block.first_time * 1000 + len(times) * period]
                assert [got["start_tick"], got["end_tick"]] == ticks
                row += 1
    assert row == len(frame)


def test_end_is_the_converters_last_record(tmp_path, convert):
    """The last time of each block as `quarvel -t` prints it: summed one
    step after another, across binades and zero."""
    path = tmp_path / "timing.log"
    path.write_bytes(LOGS["timing"])
    text, _ = convert(path, "-t", "-C")
    printed = text.decode().split("\r\n")
    frame = quarvel.index(str(path))
    last_records = np.cumsum(frame["present_samples"].to_numpy()) - 1
    assert [fixed(t, 3) for t in frame["end"]] == [printed[i] for i in last_records]
    assert [fixed(t, 3) for t in frame["start"]] == [printed[i] for i in last_records - frame["present_samples"] + 1]


def test_paths_glob_and_errors(tmp_path):
    (tmp_path / "b").mkdir()
    for name in ["b/2.002", "a.002", "b/1.002", "c.txt"]:
        (tmp_path / name).write_bytes(log_bytes([BlockPlan(samples=np.zeros(3, dtype=np.int16))]))
    expanded = quarvel.index(str(tmp_path / "**" / "*.002"))
    assert list(expanded["path"]) == [str(tmp_path / n) for n in ["a.002", "b/1.002", "b/2.002"]]
    assert list(quarvel.index(str(tmp_path / "**"))["path"]) == [  # files, not the folders
        str(tmp_path / n) for n in ["a.002", "b/1.002", "b/2.002", "c.txt"]
    ]
    (tmp_path / "link.002").symlink_to(tmp_path / "a.002")
    given = [tmp_path / "b/2.002", tmp_path / "a.002", tmp_path / "b/../b/2.002", tmp_path / "link.002"]
    given.append(given[1])  # the same object too
    assert list(quarvel.index(given)["path"]) == [str(p) for p in given[:2]]  # a file named twice: once
    with pytest.raises(FileNotFoundError, match="no file matches"):
        quarvel.index(str(tmp_path / "*.none"))
    with pytest.raises(IsADirectoryError):
        quarvel.index([tmp_path / "a.002", tmp_path / "b"])
    empty = quarvel.index([])
    assert len(empty) == 0 and list(empty.columns) == list(COLUMNS)


def test_one_block_per_header_in_a_long_file(tmp_path):
    """Headers of empty blocks back to back, across the pieces the file is
    read in, then blocks with samples."""
    samples = edge_samples(np.random.default_rng(3), 5)
    plans = [BlockPlan(i, 1, i, declared=-(i % 3)) for i in range(7000)] + [BlockPlan(9, 1, 0, samples)] * 3
    path = tmp_path / "headers.log"
    path.write_bytes(log_bytes(plans, tail=b"\x01" * 23))
    frame = quarvel.index(str(path))
    assert frame["channel"].tolist() == list(range(7000)) + [9] * 3
    assert frame["data_offset"].iloc[-1] == path.stat().st_size - 23 - 10
    with quarvel.open(path) as log:
        assert len(log.blocks) == 7003 and log.blocks[-1].raw.tolist() == samples.tolist()


PRESENT = [1, 2, 3, 4, 1000, INT32_MAX]


def test_last_times_are_the_running_sums():
    """The whole-block shortcut against the run-by-run sum, on every period
    and first time of the exactness tests, short blocks and long ones."""
    rng = np.random.default_rng(21)
    cases = [(f, p, n) for f in FIRST_TIMES for p in PERIODS for n in PRESENT]
    cases += [(int(f), int(p), int(n)) for f, p, n in zip(
        rng.integers(INT32_MIN, INT32_MAX, 3000, endpoint=True),
        rng.integers(0, UINT32_MAX, 3000, endpoint=True),
        rng.integers(1, INT32_MAX, 3000, endpoint=True),
    )]
    first, period, present = (np.array(c) for c in zip(*cases))
    ends = last_times(first.astype(np.int32), period.astype(np.uint32), present.astype(np.int64))
    expected = [running_time(f, period_seconds(p), n - 1) for f, p, n in cases]
    assert ends.tolist() == expected


SUMMARY = re.compile(
    r"ADC CHANNEL         : (.*)\nSAMPLE PERIOD       : (.*) ms\nFIRST SAMPLE LOGGED : (.*)\n"
    r"TOTAL SAMPLES       : (.*)\nCALIBRATION OFFSET  : (.*)\nCALIBRATION GAIN    : (.*)\n"
)
TRUNCATED = re.compile(r"truncated block in input file (.*): (\d+) of (-?\d+) samples read\n")


def test_campaign_index_is_the_converters_summaries(campaign):
    """Every block header of the campaign as the converter reports it, the
    blocks it cuts short, and the records it writes."""
    paths = campaign["varied"] + campaign["ordered"]
    done = run_converter("-S", *paths)
    assert done.returncode == 0, done.stderr
    frame = quarvel.index(paths)
    ours = [
        (str(c), str(p), time.asctime(time.gmtime(t)), str(d), fixed(o, 6), fixed(g, 6))
        for c, p, t, d, o, g in zip(
            frame["channel"], frame["period_ms"], frame["first_time"], frame["declared_samples"],
            frame["offset"].astype(np.float64), frame["gain"].astype(np.float64),
        )
    ]  # fmt: skip
    assert SUMMARY.findall(done.stdout.decode()) == ours
    cut = frame[frame["truncated"]]
    expected = [(p, str(n), str(d)) for p, n, d in zip(cut["path"], cut["present_samples"], cut["declared_samples"])]
    assert TRUNCATED.findall(done.stderr.decode()) == expected
    records = frame.groupby("path", sort=False, observed=True)["present_samples"].sum().reindex(paths, fill_value=0)
    assert [Path(f"{p}.txt").read_bytes().count(b"\r\n") for p in paths] == records.tolist()


@pytest.mark.parametrize(
    "plan, runs",
    [(case_plans()["preallocated"], 5), (LogPlan([BlockPlan(0, 0, 0, gain_bits=0)] * 20_000, bytes(5)), 1)],
    ids=["preallocated", "zeros-cut-in-a-header"],
)
def test_runs_of_empty_headers_are_a_row_and_a_block_each(tmp_path, plan, runs):
    """The headers of zeros of a preallocated file are read as a few runs
    (across the pieces the file is read in), and yet each is a row of the
    index and a Block of the reader, at its own place, as each is a block
    summary of the converter's; so too when the index is taken from those
    read before."""
    path = tmp_path / "log.002"
    path.write_bytes(plan.to_bytes())
    assert len(scan_files([str(path)])) == runs
    sizes = np.array([24 + 2 * len(block.samples) for block in plan.blocks])
    offsets = (np.cumsum(sizes) - sizes + 24).tolist()
    frame = quarvel.index(str(path))
    assert frame["block"].tolist() == list(range(len(plan.blocks)))
    assert frame["data_offset"].tolist() == offsets
    summaries = SUMMARY.findall(run_converter("-S", str(path)).stdout.decode())
    assert [(int(s[0]), int(s[3])) for s in summaries] == list(zip(frame["channel"], frame["declared_samples"]))
    assert quarvel.index(str(path)).equals(frame)
    with quarvel.open(path) as log:
        assert len(log) == len(plan.blocks)
        assert [(block.index, block.data_offset) for block in log.blocks] == list(enumerate(offsets))
        assert [block.data_offset for block in log.blocks[-7::3]] == offsets[-7::3]
        # each block's header is read again where the block says it is
        assert [len(block.raw) for block in log.blocks] == [len(block.samples) for block in plan.blocks]
