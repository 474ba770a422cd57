"""`python3 -m quarvel info` and `plot`, run as a user runs them."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest
from conftest import python_env
from logbuilder import EDGE_FLOATS, BlockPlan, log_bytes

from quarvel.plot import channel_lines, envelope

def run_quarvel(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quarvel", *args], env=python_env(), capture_output=True, text=True)


def gappy_log() -> bytes:
    """Channel 1 at 500 ms: 10 samples from t=1000 (next due at 1005), then
    a block at 1010, 5 s late; then one at 1012, 3 s early. A block of
    channel 2 and an empty one of channel 1 in between change nothing."""
    samples = np.arange(10, dtype=np.int16)
    return log_bytes(
        [
            BlockPlan(1, 500, 1000, samples),
            BlockPlan(2, 500, 1004, samples),
            BlockPlan(1, 500, 1003, declared=0),
            BlockPlan(1, 500, 1010, samples),
            BlockPlan(1, 500, 1012, samples, EDGE_FLOATS["-nan"], EDGE_FLOATS["inf"]),
            BlockPlan(1, 500, 1020, samples[:3], declared=9),
        ]
    )


def test_info_reports_gaps_overlaps_and_truncation(tmp_path):
    path = tmp_path / "gappy.log"
    path.write_bytes(gappy_log())
    done = run_quarvel("info", str(path))
    assert done.returncode == 0
    assert "  channel 1: gap of 5.000 s (10 periods) between blocks 0 and 3" in done.stdout
    assert "  channel 1: overlap of 3.000 s (6 periods) between blocks 3 and 4" in done.stdout
    assert done.stdout.splitlines()[-4].endswith("truncated")
    report = json.loads(run_quarvel("info", "--json", str(path)).stdout)["files"][0]
    assert [(g["from_block"], g["to_block"], g["seconds"], g["periods"]) for g in report["gaps"]] == [
        (0, 3, 5.0, 10.0),
        (3, 4, -3.0, -6.0),
        (4, 5, 3.0, 6.0),
    ]
    block = report["blocks"][4]
    assert (block["gain"], block["offset"], block["end_utc"]) == ("-nan", "inf", "1970-01-01 00:16:56.500")
    assert [b["truncated"] for b in report["blocks"]] == [False] * 5 + [True]
    assert report["blocks"][2]["last_time"] is None


def test_info_goes_on_after_unreadable_files(tmp_path):
    path = tmp_path / "gappy.log"
    path.write_bytes(gappy_log())
    done = run_quarvel("info", "--json", str(tmp_path / "missing"), str(tmp_path), str(path))
    assert done.returncode == 1
    files = json.loads(done.stdout)["files"]
    assert [f.get("error") for f in files] == ["No such file or directory", "Is a directory", None]
    assert len(files[2]["blocks"]) == 6
    assert done.stderr.count("cannot read") == 2


def test_plot_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "plot.png"
    path = tmp_path / "gappy.log"
    path.write_bytes(gappy_log())
    done = run_quarvel("plot", str(path), "-o", str(out))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert run_quarvel("plot", str(tmp_path / "missing")).returncode == 1


def test_channel_lines_break_between_blocks(tmp_path):
    import quarvel

    path = tmp_path / "gappy.log"
    path.write_bytes(gappy_log())
    with pytest.warns(quarvel.TruncatedBlockWarning), quarvel.open(path) as log:
        lines = channel_lines(log.blocks)
    times, values = lines[1]
    assert len(values) == 10 + 1 + 10 + 1 + 10 + 1 + 3
    assert np.flatnonzero(np.isnan(values[:21])).tolist() == [10]
    assert len(lines[2][1]) == 10 and not np.isnan(lines[2][1]).any()
    assert (np.diff(times[:21].astype(np.int64)) >= 0).all()


def test_envelope_keeps_every_extreme():
    values = np.sin(np.arange(100_000) / 7.0)
    values[12_345] = 5.0
    values[54_321] = -5.0
    times = np.arange(100_000)
    t, v = envelope(times, values, limit=1000)
    assert len(v) <= 2000 and v.max() == 5.0 and v.min() == -5.0
    assert (np.diff(t) >= 0).all()
