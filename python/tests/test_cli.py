"""`python3 -m quarvel info` and `plot`, run as a user runs them."""

from __future__ import annotations

import json
import os
import subprocess
from collections import Counter

import numpy as np
import pytest
from conftest import python_env, run_quarvel
from logbuilder import (
    EDGE_FLOATS,
    START,
    BlockPlan,
    LogPlan,
    case_plans,
    log_bytes,
    strangers,
    write_cases,
    write_strangers,
    write_time_cases,
)

from quarvel.plot import channel_lines, envelope


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
    assert "  channel 1: gap of 5.000 s from 1970-01-01 00:16:45.000 UTC (tick 1005000) between blocks 0 and 3\n" \
        "  channel 1: overlap of 3.000 s from 1970-01-01 00:16:52.000 UTC (tick 1012000) of blocks 3 and 4\n" in done.stdout
    files, summary = done.stdout.split("\n\n")
    assert files.splitlines()[-4].endswith("truncated")
    assert summary.splitlines() == [
        "1 file, 6 blocks, 2 channels, 21.5 s from 1970-01-01 00:16 to 1970-01-01 00:17 UTC.",
        "2 gaps and 1 overlap between blocks of a channel in a file; 1 file cut short.",
    ]
    whole = json.loads(run_quarvel("info", "--json", str(path), str(path) + ".missing").stdout)
    assert whole["summary"] == {"files": 1, "unreadable": 1, "blocks": 6, "channels": 2, "start": 1000.0,
                                "end": 1021.5, "gaps": 2, "overlaps": 1, "cut_files": 1}  # fmt: skip
    report = whole["files"][0]
    assert whole["version"] == 2
    assert [(g["start_tick"], g["length_ms"], g["before"]["block"], g["after"]["block"]) for g in report["gaps"]] == [
        (1_005_000, 5000, 0, 3),
        (1_017_000, 3000, 4, 5),
    ]
    assert [(o["start_tick"], o["length_ms"], [b["block"] for b in o["blocks"]]) for o in report["overlaps"]] == [
        (1_012_000, 3000, [3, 4])
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
        done = run_quarvel("info", str(path), capture_output=False, stdout=report, stderr=subprocess.PIPE,
                           preexec_fn=small_files)  # fmt: skip
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
    done = run_quarvel("info", *args, "missing\n.log", cwd=tmp_path, env=env)
    assert done.returncode == 1
    lines, summary = done.stdout.split("\n\n")
    lines = lines.splitlines()
    assert summary.endswith("; 1 file could not be read.\n")
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
    done = run_quarvel("plot", name, *(["-o", output] if output else []), cwd=tmp_path, env=dict(python_env(), **env))
    read = content == "gappy" and output != "missing/out.png"  # an output that cannot be is refused before reading
    truncation = "truncated block in input file ok.002: 3 of 9 samples read\n" if read else ""
    if message is None:
        assert (done.returncode, done.stderr) == (0, truncation.replace("ok.002", name))
        assert (tmp_path / output).stat().st_size > 1000
    else:
        assert done.returncode == 1
        assert done.stderr.startswith(truncation) and done.stderr[len(truncation) :].startswith(message)
        assert done.stderr.count("\n") == 1 + bool(truncation)
        assert output is None or not (tmp_path / output).exists()


@pytest.mark.parametrize(
    "args, out, taken",
    [
        (["plot", "sensor.raw", "-o", "sensor.raw"], "sensor.raw", "sensor.raw"),
        (["plot", "--coverage", "a.002", "sensor.raw", "-o", "sensor.raw"], "sensor.raw", "sensor.raw"),
        (["plot", "--coverage", "*.002", "-o", "link.png"], "link.png", "a.002"),  # through a link
        (["plot", "sensor.raw", "-o", "hard"], "hard.png", "sensor.raw"),  # the name matplotlib gives it
        (["plot", "--coverage", "logs/**/*.raw", "-o", "logs.svg"], "logs.svg", "logs/b/c.raw"),  # a folder of one
        (["plot", "a.002", "-o", "pictures.png"], "pictures.png", None),  # a folder
    ],
    ids=["plot", "coverage", "symlink", "hard-link", "folder-holds-it", "folder"],
)
def test_plot_never_writes_over_an_input(tmp_path, args, out, taken):
    """matplotlib writes .raw, .svg and more, and a log may have any name:
    an OUT that is an input, or a folder, is refused before any log is
    read, and every file is left as it was."""
    pytest.importorskip("matplotlib")
    log = log_bytes([BlockPlan(1, 500, 1000, np.arange(10, dtype=np.int16), declared=11)])  # cut: read, it says so
    for name in ("sensor.raw", "a.002", "logs/b/c.raw"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(log)
    (tmp_path / "link.png").symlink_to("a.002")
    os.link(tmp_path / "sensor.raw", tmp_path / "hard.png")
    (tmp_path / "logs.svg").symlink_to("logs")
    (tmp_path / "pictures.png").mkdir()
    before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    done = run_quarvel(*args, cwd=tmp_path)
    why = "Is a directory" if taken is None else f"it {'holds' if out == 'logs.svg' else 'is'} the input {taken}"
    assert (done.returncode, done.stderr) == (1, f"quarvel plot: cannot write {out}: {why}\n")
    assert {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()} == before


MATCHES_3 = "quarvel plot: logs/**/*.002 matches 3 files, and plot draws one: give one, or draw the blocks of them"
NO_MATCH = "no file matches the pattern logs/*.none\n"


@pytest.mark.parametrize(
    "args, status, stderr",
    [
        (["info", "logs/**/*.002"], 0, ""),
        (["export", "out.nc", "logs/**/*.002"], 0, ""),
        (["plot", "--coverage", "-o", "out.png", "logs/**/*.002"], 0, ""),
        (["plot", "-o", "out.png", "logs/[0-9]*"], 0, ""),
        (["plot", "-o", "out.png", "logs/**/*.002"], 1, MATCHES_3),
        (["plot", "-o", "out.png", "logs/1.002", "logs/a/2.002"], 1, "quarvel plot: 2 files given, and plot draws one"),
        (["info", "logs/*.none", "logs/1.002"], 1, "quarvel info: " + NO_MATCH),
        (["export", "out.nc", "logs/1.002", "logs/*.none"], 1, "quarvel export: " + NO_MATCH),
        (["plot", "-o", "out.png", "logs/*.none"], 1, "quarvel plot: " + NO_MATCH),
        (["plot", "--coverage", "-o", "out.png", "logs/*.none", "logs/1.002"], 1, "quarvel plot: " + NO_MATCH),
        (["info", "logs/**", "./logs/1.002"], 0, ""),
        (["export", "out.nc", "logs/**", "logs/a/../1.002"], 0, ""),
        (["plot", "--coverage", "-o", "out.png", "logs/**", "logs/1.002"], 0, ""),
        (["check", "logs/**", "logs/1.002", "logs/b/3.002"], 2, ""),  # 3 files of one block's time: overlaps
        (["check", "logs/1.002", "logs/a"], 1, "quarvel check: cannot read logs/a: Is a directory"),
    ],
    ids=["info", "export", "coverage", "plot-one", "plot-several", "plot-two-given"]
    + ["info-none", "export-none", "plot-none", "coverage-none"]
    + ["info-twice", "export-twice", "coverage-twice", "check-twice", "check-folder"],
)
def test_every_command_expands_a_pattern_as_index_does(tmp_path, args, status, stderr):
    """A pattern in quotes is expanded into subfolders, never into a Zarr
    store, and selects files, not folders; one that matches nothing is an
    error that names it, and so is a folder named as a file. A file named
    twice is taken once."""
    pytest.importorskip("matplotlib")
    if "export" in args:
        pytest.importorskip("netCDF4")
    for name in ("logs/1.002", "logs/a/2.002", "logs/b/3.002", "logs/b/store.zarr/.zgroup", "logs/b/store.zarr/0.002"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(log_bytes([BlockPlan(samples=np.arange(3, dtype=np.int16))]))
    done = run_quarvel(*args, cwd=tmp_path)
    assert (done.returncode, done.stderr[: len(stderr)], done.stderr.count("\n")) == (status, stderr, bool(stderr))
    if status == 0 and args[0] == "info":
        assert [line.split(":")[0] for line in done.stdout.split("\n\n")[0].splitlines() if line[0] != " "] == [
            "logs/1.002", "logs/a/2.002", "logs/b/3.002"
        ]  # fmt: skip
    if status == 2:
        assert "\n3 logger files checked," in "\n" + done.stdout
    if "export" in args and (tmp_path / "out.nc").exists():
        import netCDF4

        with netCDF4.Dataset(tmp_path / "out.nc") as out:
            assert len(out["path"][:]) == (3 if status == 0 else 1)


# The coverage picture's test logs: channel 1 from T0 for 100 s in b.002,
# then 2900 s open and 100 s more in a.002 (names against time order); a
# block of channel 2 cut short; on channel 3, 60 blocks of 0.1 s a second
# apart, closer than the picture resolves (no gap: each starts in the
# second in which the one before ends).
T0 = START


def coverage_logs(folder):
    second = np.arange(1, dtype=np.int16)
    (folder / "b.002").write_bytes(log_bytes(
        [BlockPlan(1, 1000, T0, np.zeros(100, dtype=np.int16))]
        + [BlockPlan(3, 100, T0 + 1000 + i, second) for i in range(60)]
        + [BlockPlan(2, 1000, T0 + 100, np.zeros(100, dtype=np.int16), declared=150)]
    ))  # fmt: skip
    (folder / "a.002").write_bytes(log_bytes([BlockPlan(1, 1000, T0 + 3000, np.zeros(100, dtype=np.int16))]))
    (folder / "photo.png").write_bytes(strangers()["photo.png"])
    return ["a.002", "b.002", "photo.png", "missing.002"]


def test_coverage_draws_blocks_gaps_and_cut_blocks_and_lists_the_rest(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from matplotlib.colors import to_rgb
    from matplotlib.dates import date2num

    from quarvel._coverage import CUT, DARK, LIGHT
    from quarvel.coverage import plot_coverage

    monkeypatch.chdir(tmp_path)
    figure = plot_coverage(coverage_logs(tmp_path), "coverage.png")
    axes, under = figure.axes
    assert axes.get_title() == (
        "2 files, 3 channels, 63 blocks; 1 gap, 0 overlaps; 1 file cut short\n"
        "not drawn: 1 probably not a logger file and 1 that could not be read (listed below)"
    )
    assert under.texts[0].get_text() == (
        "probably not a logger file: photo.png\ncannot read missing.002: No such file or directory"
    )
    low, high = axes.get_xlim()  # the stranger's 1973 does not stretch the axis
    assert date2num(np.datetime64(T0 - 120, "s")) < low < high < date2num(np.datetime64(T0 + 3300, "s"))
    figure.canvas.draw()
    pixels = np.asarray(figure.canvas.buffer_rgba())[:, :, :3] / 255.0
    white, dark, light, cut = (1.0, 1.0, 1.0), DARK, LIGHT, to_rgb(CUT)

    def colour(seconds, row):  # the middle colour around a point: a cut block's hatch lines are thin
        x, y = axes.transData.transform((date2num(np.datetime64(T0, "s") + seconds), row))
        x, y = int(x), len(pixels) - 1 - int(y)
        return np.median(pixels[y - 3 : y + 4, x - 3 : x + 4].reshape(-1, 3), axis=0)

    expected = [(50, 0, dark), (1500, 0, white), (3050, 0, dark), (50, 1, white), (170, 1, cut), (250, 1, white)]
    expected += [(1030, 2, light), (1500, 2, white)]
    for seconds, row, want in expected:
        assert np.abs(colour(seconds, row) - want).max() < 0.15, (seconds, row)


def test_the_strangers_alone_are_probably_not_logs_and_coverage_draws_the_rest(tmp_path):
    """Among the shared cases are logs cut short and logs whose first
    channel no logger has, but none both: only the strangers are left out."""
    pytest.importorskip("matplotlib")
    from quarvel.coverage import run, scan

    paths = write_cases(tmp_path / "cases") + write_strangers(tmp_path / "strangers")
    found = scan([str(path) for path in paths])
    assert found.cut.sum() > 4 and not found.failed
    assert [path.name for path, strange in zip(paths, found.strange) if strange] == list(strangers())
    assert run([f"{tmp_path}/**/*"], str(tmp_path / "all.png")) == 0  # a pattern selects files, not their folders


@pytest.mark.parametrize(
    "enabled, terminal, installed, report_on_terminal, shown",
    [
        (True, True, True, False, True),
        (False, True, True, False, False),  # the library, used from Python
        (True, False, True, False, False),  # a log, a pipe, the tests
        (True, True, False, False, False),  # no tqdm: no bar, and no error
        (True, True, True, True, False),  # info's report goes to the terminal
    ],
)
def test_a_progress_bar_shows_on_a_terminal_alone(monkeypatch, enabled, terminal, installed, report_on_terminal, shown):
    import io
    import sys

    from quarvel import _progress

    class Stream(io.StringIO):
        def __init__(self, tty: bool) -> None:
            super().__init__()
            self.tty = tty

        def isatty(self) -> bool:
            return self.tty

    if installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(_progress, "_enabled", enabled)
    monkeypatch.setattr(sys, "stderr", Stream(terminal))
    with _progress.bar(3, "file", "reading", beside=Stream(report_on_terminal)) as bar:
        bar.update(3)
    assert (type(bar).__module__ == "tqdm.std") == shown


def test_every_command_counts_and_numbers_the_blocks_of_preallocated_files(tmp_path, monkeypatch):
    """Headers of zeros, read as runs, are still listed, counted and
    numbered block by block by info, check and plot --coverage: in files
    after others, and across the stretches the reports are written in."""
    shared = case_plans()
    plans = {"example": shared["example"], "preallocated": shared["preallocated"]}
    plans["zeros"] = LogPlan([BlockPlan(0, 0, 0, gain_bits=0)] * 20_000, bytes(5))
    monkeypatch.chdir(tmp_path)
    for name, plan in plans.items():
        (tmp_path / f"{name}.002").write_bytes(plan.to_bytes())
    paths = [f"{name}.002" for name in plans]
    counts = [len(plan.blocks) for plan in plans.values()]
    numbers = [list(range(n)) for n in counts]
    channels = Counter(block.channel for plan in plans.values() for block in plan.blocks)

    files = json.loads(run_quarvel("info", "--json", *paths).stdout)["files"]
    assert [[block["index"] for block in file["blocks"]] for file in files] == numbers
    assert [[block["channel"] for block in file["blocks"]] for file in files] == [
        [block.channel for block in plan.blocks] for plan in plans.values()
    ]
    lines = run_quarvel("info", *paths).stdout.splitlines()
    lines = lines[: lines.index("")]  # the summary follows a blank line
    assert [line.split(",")[0] for line in lines if not line.startswith(" ")] == [
        f"{path}: {n} block{'s' * (n > 1)}" for path, n in zip(paths, counts)
    ]
    assert [int(line.split()[0]) for line in lines if line.split()[0].isdigit()] == sum(numbers, [])
    (tmp_path / "long.002").write_bytes(bytes(24 * 100_001))  # numbers of 6 digits, wider than the column's head
    lines = run_quarvel("info", "long.002").stdout.splitlines()
    assert len(lines) == 100_003 + 3 and len({len(line) for line in lines[2:-3]}) == 1

    assert run_quarvel("check", *paths, "--json", "check.json", "--html", "check.html").returncode == 2  # a gap
    report = json.loads((tmp_path / "check.json").read_text())
    assert [(block["path"], block["block"]) for block in report["blocks"]] == [
        (path, i) for path, n in zip(paths, counts) for i in range(n)
    ]
    assert {channel["channel"]: channel["blocks"] for channel in report["channels"]} == channels
    assert f"<b>channel 0</b>: {channels[0]:,} blocks" in (tmp_path / "check.html").read_text()

    from quarvel._coverage import layout
    from quarvel.coverage import scan

    assert layout(scan(paths)).blocks == sum(counts)


@pytest.mark.parametrize(
    "command, status",
    [(["info"], 1), (["check"], 1), (["plot", "--coverage", "-o", "out.png"], 1), (["plot", "-o", "out.png"], 1)],
)
def test_a_file_that_the_logger_expression_does_not_match_is_refused(tmp_path, command, status):
    """Named with the expression, as a file that cannot be read, and the
    others still read; an expression that does not compile is a usage
    error; plot of one file has no loggers."""
    if "plot" in command:
        pytest.importorskip("matplotlib")
    write_time_cases(tmp_path)
    done = run_quarvel(*command, "--logger", "/(a|b)/", "loggers/**/*.002", cwd=tmp_path)
    assert done.returncode == status
    lines = done.stderr.splitlines()
    if command[-1] == "out.png" and "--coverage" not in command:
        assert lines == ["quarvel plot: --logger names the loggers of plot --coverage's rows: plot draws one file"]
    else:
        assert lines == [f"quarvel {command[0]}: loggers/c/{name}: no logger: the path does not match the expression"
                         " '/(a|b)/'" for name in ("0000.002", "0001.002")]  # fmt: skip
    if command == ["check"]:
        assert "4 logger files checked, 2 loggers, 16 channels" in done.stdout
    assert run_quarvel(*command, "--logger", "(", "loggers/a/0000.002", cwd=tmp_path).returncode == (
        3 if command == ["check"] else 2)  # fmt: skip
