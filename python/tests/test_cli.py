"""`python3 -m quarvel info` and `plot`, run as a user runs them."""

from __future__ import annotations

import json
import os
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


def test_info_that_cannot_write_its_report_says_so_in_one_line(tmp_path):
    """A report cut short by a full disk or a file size limit is a failure,
    told in one line, not a traceback."""
    import resource

    path = tmp_path / "many.log"
    path.write_bytes(log_bytes([BlockPlan(1, 1000, 0)] * 2000))

    def small_files() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    with open(tmp_path / "report", "wb") as report:
        done = subprocess.run(
            [sys.executable, "-m", "quarvel", "info", str(path)],
            env=python_env(), stdout=report, stderr=subprocess.PIPE, text=True, preexec_fn=small_files,
        )
    assert done.returncode == 1
    assert done.stderr == "python3 -m quarvel: failed to write standard output: File too large\n"


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


def test_info_reports_every_file_whatever_its_name_and_calibration(tmp_path):
    """The largest float32 calibration, a name that is not UTF-8 (under a
    locale that cannot write it raw) and one with a newline: each file is
    reported on its own lines, names escaped."""
    largest = log_bytes([BlockPlan(1, 500, 0, np.arange(3, dtype=np.int16), EDGE_FLOATS["max"], EDGE_FLOATS["-max"])])
    names = [b"max.log", b"bad\xff.log", b"two\nlines.log", b"plain.log"]
    for name in names:
        (tmp_path / os.fsdecode(name)).write_bytes(largest)
    args = [os.fsdecode(name) for name in names]
    env = dict(python_env(), PYTHONIOENCODING="utf-8:strict")
    done = subprocess.run(
        [sys.executable, "-m", "quarvel", "info", *args, "missing\n.log"],
        cwd=tmp_path, env=env, capture_output=True, text=True,
    )
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert [line for line in lines if not line.startswith("  ")] == [
        "max.log: 1 block, 30 bytes",
        '"bad\\xff.log": 1 block, 30 bytes',
        '"two\\nlines.log": 1 block, 30 bytes',
        "plain.log: 1 block, 30 bytes",
    ]
    assert lines[2].split()[-2:] == ["3.4028235e+38", "-3.4028235e+38"]
    assert done.stderr == 'quarvel info: cannot read "missing\\n.log": No such file or directory\n'
    report = json.loads(run_quarvel("info", "--json", str(tmp_path / "max.log")).stdout)
    assert report["files"][0]["blocks"][0]["gain"] == float(np.uint32(EDGE_FLOATS["max"]).view(np.float32))


@pytest.mark.parametrize(
    "name, content, output, env, message",
    [
        ("a$\\foo$b.002", "gappy", "out.png", {}, None),
        ("far.002", "far", "out.png", {}, None),
        ("past.002", "past", "out.svg", {}, None),
        ("ok.002", "whole", "out.xyz", {}, "quarvel plot: cannot save a picture as out.xyz: no format is named 'xyz'"),
        ("empty.002", "empty", "out.png", {}, "quarvel plot: empty.002 holds no samples to plot"),
        ("none.002", "none", "out.png", {}, "quarvel plot: none.002 holds no samples to plot"),
        ("ok.002", "whole", None, {"MPLBACKEND": "Agg"}, "quarvel plot: no display to show the plot on"),
        ("ok.002", "gappy", "missing/out.png", {}, "quarvel plot: cannot write missing/out.png: No such file"),
    ],
    ids=["mathtext-name", "after-9999", "before-year-1", "unknown-format"]
    + ["empty", "no-samples", "no-display", "bad-out"],
)
def test_plot_draws_or_fails_in_one_line(tmp_path, name, content, output, env, message):
    pytest.importorskip("matplotlib")
    samples = np.arange(200_000, dtype=np.int16)  # at 2^31 ms apart: 13,600 years
    logs = {
        "gappy": gappy_log(),
        "far": log_bytes([BlockPlan(1, (1 << 31) - 1, (1 << 31) - 1, samples)]),
        "past": log_bytes([BlockPlan(1, 1 << 31, -(1 << 31), samples)]),
        "whole": log_bytes([BlockPlan(1, 500, 0, samples[:10])]),
        "empty": b"",
        "none": log_bytes([BlockPlan(1, 500, 0, declared=0), BlockPlan(2, 500, 0, declared=-4)]),
    }
    (tmp_path / name).write_bytes(logs[content])
    command = [sys.executable, "-m", "quarvel", "plot", name] + (["-o", output] if output else [])
    done = subprocess.run(command, cwd=tmp_path, env=dict(python_env(), **env), capture_output=True, text=True)
    truncation = "truncated block in input file ok.002: 3 of 9 samples read\n" if content == "gappy" else ""
    if message is None:
        assert (done.returncode, done.stderr) == (0, truncation.replace("ok.002", name))
        assert (tmp_path / output).stat().st_size > 1000
    else:
        assert done.returncode == 1
        assert done.stderr.startswith(truncation) and done.stderr[len(truncation) :].startswith(message)
        assert done.stderr.count("\n") == 1 + bool(truncation)
        assert output is None or not (tmp_path / output).exists()


MATCHES_3 = "quarvel plot: logs/**/*.002 matches 3 files, and plot draws one\n"
NO_MATCH = "no file matches the pattern logs/*.none\n"


@pytest.mark.parametrize(
    "args, status, stderr",
    [
        (["info", "logs/**/*.002"], 0, ""),
        (["export", "out.nc", "logs/**/*.002"], 0, ""),
        (["plot", "-o", "out.png", "logs/[0-9]*"], 0, ""),
        (["plot", "-o", "out.png", "logs/**/*.002"], 1, MATCHES_3),
        (["plot", "-o", "out.png", "logs/1.002", "logs/a/2.002"], 1, "quarvel plot: 2 files given, and plot draws one"),
        (["info", "logs/*.none", "logs/1.002"], 1, "quarvel info: " + NO_MATCH),
        (["export", "out.nc", "logs/1.002", "logs/*.none"], 1, "quarvel export: " + NO_MATCH),
        (["plot", "-o", "out.png", "logs/*.none"], 1, "quarvel plot: " + NO_MATCH),
    ],
    ids=["info", "export", "plot-one", "plot-several", "plot-two-given", "info-none", "export-none", "plot-none"],
)
def test_every_command_expands_a_pattern_as_index_does(tmp_path, args, status, stderr):
    """A pattern in quotes is expanded into subfolders, never into a Zarr
    store; one that matches nothing is an error that names it."""
    pytest.importorskip("matplotlib")
    if "export" in args:
        pytest.importorskip("netCDF4")
    for name in ("logs/1.002", "logs/a/2.002", "logs/b/3.002", "logs/b/store.zarr/.zgroup", "logs/b/store.zarr/0.002"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(log_bytes([BlockPlan(samples=np.arange(3, dtype=np.int16))]))
    done = subprocess.run(
        [sys.executable, "-m", "quarvel", *args], cwd=tmp_path, env=python_env(), capture_output=True, text=True
    )
    assert (done.returncode, done.stderr[: len(stderr)], done.stderr.count("\n")) == (status, stderr, bool(stderr))
    if status == 0 and args[0] == "info":
        assert [line.split(":")[0] for line in done.stdout.splitlines() if line[0] != " "] == [
            "logs/1.002", "logs/a/2.002", "logs/b/3.002"
        ]  # fmt: skip
    if "export" in args and (tmp_path / "out.nc").exists():
        import netCDF4

        with netCDF4.Dataset(tmp_path / "out.nc") as out:
            assert len(out["path"][:]) == (3 if status == 0 else 1)

