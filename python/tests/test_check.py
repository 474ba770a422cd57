"""quarvel.check and `python3 -m quarvel check`: every count and place of
logbuilder.py's fault logs, through each route (blocks cut across
partitions too), the files apart, the statuses, the JSON and the HTML."""

from __future__ import annotations

import html
import io
import json
import os
import re

import numpy as np
import pytest
from conftest import run_quarvel
from logbuilder import BlockPlan, faults, log_bytes, strangers, write_faults, write_strangers

import quarvel
from quarvel._words import display_name

pytest.importorskip("pandas")
pytestmark = pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")
FAULTS = faults()


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("faults")
    write_faults(folder)
    write_strangers(folder / "strangers")
    return folder


def expected(folder):
    """The truth of faults(): per path, its blocks' fields; the gaps and
    overlaps, as the time cases list them; the blocks out of order
    (channel, block)."""
    blocks = {str(folder / f"{name}.002"): log.blocks for name, log in FAULTS.items()}
    gaps = [gap for log in FAULTS.values() for gap in log.gaps]
    overlaps = [overlap for log in FAULTS.values() for overlap in log.overlaps]
    order = sorted((o["channel"], o["block"]) for log in FAULTS.values() for o in log.out_of_order)
    return blocks, (gaps, overlaps), order


def as_cases(found, folder):
    """The gaps and overlaps of quarvel.check's Findings `found` as the time
    cases list them, paths relative to `folder`."""

    def head(row):
        return {"channel": int(row.channel), "logger": getattr(row, "logger", None), "start_tick": int(row.start_tick),
                "length_ms": int(row.length_ms)}  # fmt: skip

    def block(path, number):
        return [os.path.relpath(path, folder), int(number)]

    gaps = [{**head(r), "before": block(r.before_path, r.before_block), "after": block(r.after_path, r.after_block)}
            for r in found.gaps.itertuples()]  # fmt: skip
    return gaps, [{**head(r), "blocks": [block(*b) for b in r.blocks]} for r in found.overlaps.itertuples()]


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")  # tornado, under distributed
@pytest.mark.parametrize(
    "route, partition",
    [("plain", None), ("plain", 1), ("plain", 7), ("threads", 50), ("threads", 1400), ("cluster", 64)],
)
def test_every_fault_is_found_where_it_was_put(logs, route, partition, request):
    """Checked together (each log has channels of its own), through each
    route; with small partitions, runs are cut at every place, and a stuck
    run split by a block boundary still does not go on."""
    dask = pytest.importorskip("dask") if route != "plain" else None
    paths = sorted(str(p) for p in logs.glob("*.002")) + sorted(str(p) for p in (logs / "strangers").iterdir())
    check = lambda: quarvel.check(paths, dask=dask is not None, partition_samples=partition)  # noqa: E731
    if route == "cluster":
        with dask.config.set(scheduler=request.getfixturevalue("cluster")):
            found = check()
    elif route == "threads":
        with dask.config.set(scheduler="threads"):
            found = check()
    else:
        found = check()
    blocks, gaps, order = expected(logs)
    for path, want in blocks.items():
        mine = found.blocks[found.blocks["path"] == path]
        assert mine[list(want[0])].to_dict("records") == want, path
    assert as_cases(found, logs) == gaps
    assert (found.gaps["start"] * 1000 == found.gaps["start_tick"]).all()
    assert sorted(zip(found.out_of_order["channel"], found.out_of_order["block"])) == order
    assert sorted(found.files["path"]) == sorted(str(logs / "strangers" / name) for name in strangers())
    assert set(found.files["problem"]) == {"not_a_log"}
    if route == "plain" and partition is None:  # where runs start, in time: the reader's times
        for row in found.blocks[found.blocks["longest_stuck"] > 0].itertuples():
            with quarvel.open(row.path) as log:
                block = log.blocks[row.block]
                assert row.stuck_time == block.times()[row.stuck_start]
                assert (row.start, row.end) == (block.times()[0], block.times()[-1])


def test_rails_option_and_gap_tolerance(tmp_path):
    """--rails counts another ADC's rails; the one rule forgives the
    fraction of a second that whole-second first times make, as info does,
    and a tolerance of 0 forgives nothing."""
    ramp = np.array([2047, 2047, 5, -2048, 7, 2047], dtype=np.int16)
    path = tmp_path / "twelve.002"
    path.write_bytes(log_bytes([BlockPlan(1, 400, 1000, ramp), BlockPlan(1, 400, 1002, ramp)]))  # 0.4 s overlap
    found = quarvel.check(str(path), rails=(-2048, 2047))
    assert found.blocks[["rail_low", "rail_high", "rail_high_run", "longest_stuck", "stuck_start"]].values[0].tolist() == [1, 3, 2, 1, 2]
    assert len(found.overlaps) == 0
    info = json.loads(run_quarvel("info", "--json", str(path)).stdout)["files"][0]
    assert info["gaps"] == info["overlaps"] == []
    strict = quarvel.check(str(path), gap_tolerance=0)
    assert strict.overlaps[["start_tick", "length_ms"]].values.tolist() == [[1_002_000, 400]]
    with pytest.raises(ValueError):
        quarvel.check(str(path), rails=(5, 5))


@pytest.mark.parametrize(
    "names, args, status",
    [
        (["good"], [], 0),
        (["good", "rails"], [], 2),
        (["good", "rails", "missing"], [], 1),  # unreadable wins over flagged
        (["good", "notes.txt"], [], 0),  # not a log: listed, and no problem
        (["good"], ["--rails", "1"], 3),  # a usage error
        (["good"], ["--rails", "-2048,2047"], 0),  # as the docs show it: not an option
        (["good"], ["--rails=-2048,2047"], 0),
        (["good"], ["--json", "good.002"], 1),  # an output that is an input: nothing checked
        (["good", "rails"], ["--html", "no/such/folder.html"], 1),  # refused before the pass
    ],
)
def test_statuses_and_the_json(tmp_path, names, args, status):
    (tmp_path / "good.002").write_bytes(log_bytes([BlockPlan(3, 500, 1000, np.arange(10, dtype=np.int16))]))
    write_faults(tmp_path)
    write_strangers(tmp_path)
    files = [n if "." in n else f"{n}.002" for n in names]
    done = run_quarvel("check", *files, "--json", "out.json", *args, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    assert bool(done.stdout) == (status != 3 and "good.002" not in args and "no/such/folder.html" not in args)
    if done.stdout:
        report = json.loads((tmp_path / "out.json").read_text())
        assert report["version"] == 2 and report["status"] == status
        assert report["rules"]["rails"] == ([-2048, 2047] if any("-2048" in arg for arg in args) else [-32768, 32767])
        assert {b["path"] for b in report["blocks"]} == {f for f in files if f.endswith(".002") and f != "missing.002"}
        assert all(set(c) == {"channel", "logger", "blocks", "samples", "gaps", "overlaps", "out_of_order"}
                   for c in report["channels"])  # fmt: skip
        assert [(f["path"], f["problem"]) for f in report["files"]] == [
            (f, "unreadable" if f == "missing.002" else "not_a_log") for f in files if not f.startswith(("good", "rails"))
        ]
        assert done.stderr.count("quarvel check: cannot read missing.002") == ("missing" in names)
    assert "exit status" in run_quarvel("check", "--help").stdout


def test_the_html_report_escapes_every_name(tmp_path):
    """Names with markup, a newline and a byte that is not UTF-8: escaped,
    and the page needs no script and no network."""
    pytest.importorskip("matplotlib")  # the picture
    cut = log_bytes([BlockPlan(5, 1000, 1000, np.zeros(3, dtype=np.int16), declared=9)])
    names = ['<script>alert("x").002', "a&b.002", "two\nlines.002", os.fsdecode(b"caf\xe9.002")]
    for name in names:
        (tmp_path / name).write_bytes(cut)
    assert run_quarvel("check", *names, "--html", "out.html", cwd=tmp_path).returncode == 2
    page = (tmp_path / "out.html").read_bytes()
    for name in names:
        assert html.escape(display_name(name, "utf-8")).encode() in page
        assert os.fsencode(name) not in page
    assert b"<script" not in page and b"://" not in page
    assert b'src="data:image/png;base64,' in page


def test_a_file_whose_samples_cannot_be_read(tmp_path, monkeypatch):
    """Its headers read, its samples not: one file in the report's title,
    listed as not read, and not drawn; a fault of the code itself is no
    file's, and is raised."""
    from quarvel import _check, _coverage, _report

    good, bad = str(tmp_path / "good.002"), str(tmp_path / "bad.002")
    for path in (good, bad):
        with open(path, "wb") as file:
            file.write(log_bytes([BlockPlan(3, 500, 1000, np.arange(10, dtype=np.int16))] * 2))
    real = _check.read_columns

    def changed(paths, stamps, pieces, *args, **kwargs):
        if any(paths[f] == bad for f in pieces["file"].tolist()):
            raise quarvel.FileChangedError(5, "the file changed after it was indexed", bad)
        return real(paths, stamps, pieces, *args, **kwargs)

    monkeypatch.setattr(_check, "read_columns", changed)
    found = _check.run_pass([(good, None), (bad, None)])
    assert found.unreadable() == [(bad, found.apart[0].error)] and found.status() == 1
    pytest.importorskip("matplotlib")
    drawn = []
    monkeypatch.setattr(_report, "coverage_of", lambda *args: drawn.append(_coverage.coverage_of(*args)) or drawn[-1])
    page = io.StringIO()
    _report.write_html(found, page)
    assert "<title>quarvel check: 2 files</title>" in page.getvalue()
    shown = _coverage.layout(drawn[0])
    assert (shown.files, shown.blocks) == (1, 2)
    assert _coverage.title(shown, drawn[0]).endswith("not drawn: 1 that could not be read (listed below)")
    monkeypatch.setattr(_check, "stretch_stats", lambda *args: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        _check.run_pass([(good, None)])


def test_times_outside_the_calendar_are_said_whole(tmp_path):
    """A period of 2^31 ms steps back 24 days a sample: the summary says
    where the time runs to as check's other lines do, not cut short."""
    from quarvel import _check, _report

    path = tmp_path / "back.002"
    path.write_bytes(log_bytes([BlockPlan(3, 1 << 31, -(1 << 31), np.arange(30000, dtype=np.int16))]))
    head = _report.summary(_check.run_pass([(str(path), None)]))[0][1]
    assert re.search(r" from @-6\d{10}\.\d{3} to 1901-12-13 20:45 UTC\.$", head), head


def test_where_the_reports_go(tmp_path, monkeypatch, capsys):
    """A folder named as a report is refused before the pass; `-` is
    standard output (the lines then go to standard error); the JSON,
    written last, carries the status of the run, a failed HTML included."""
    from quarvel.__main__ import main

    write_faults(tmp_path)
    (tmp_path / "reports").mkdir()
    done = run_quarvel("check", "rails.002", "--html", "reports", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == "quarvel check: cannot write reports: Is a directory; nothing checked\n"
    done = run_quarvel("check", "rails.002", "--json", "-", cwd=tmp_path)
    assert done.returncode == json.loads(done.stdout)["status"] == 2
    assert "1 logger file checked" in done.stderr and not (tmp_path / "-").exists()

    def no_room(found, out):
        out.write("<!DOCTYPE html>")
        raise OSError(28, "No space left on device")

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("quarvel._report.write_html", no_room)
    assert main(["check", "rails.002", "--json", "out.json", "--html", "out.html"]) == 1
    assert capsys.readouterr().err == "quarvel check: cannot write out.html: No space left on device\n"
    assert json.loads((tmp_path / "out.json").read_text())["status"] == 1
    assert not (tmp_path / "out.html").exists() and not [name for name in os.listdir(tmp_path) if "partial" in name]
