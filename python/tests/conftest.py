"""Runs the quarvel binary and `python3 -m quarvel` as the tests need them,
and holds the campaign and the reference frames that the tests of many
logs share."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE_ROOT = Path(__file__).resolve().parents[1]
ROOT = PACKAGE_ROOT.parent  # the source tree, when the tests run in one
sys.path.insert(0, str(PACKAGE_ROOT))  # the package beside the tests, not an installed one


def quarvel_binary() -> Path:
    """The converter under test: $QUARVEL_TEST_BINARY (set by CTest), else
    build/quarvel; the test is skipped where there is none."""
    named = os.environ.get("QUARVEL_TEST_BINARY")
    default = ROOT / "build" / "quarvel"
    if not named and not default.exists():
        pytest.skip("no quarvel binary: build it into build/ or set QUARVEL_TEST_BINARY")
    return Path(named) if named else default


def run_converter(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    """Runs the converter with `args` in `cwd`, TZ and the locale pinned;
    its output as bytes."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    return subprocess.run([str(quarvel_binary()), *args], cwd=cwd, env=env, capture_output=True)


@pytest.fixture(scope="session")
def convert():
    """Returns a function that runs the converter on a file with the given
    options and returns (text file bytes, stderr text)."""
    quarvel_binary()

    def run(path: Path, *options: str) -> tuple[bytes, str]:
        done = run_converter("-q", "-S", *options, str(path))
        assert done.returncode == 0, done.stderr.decode()
        return Path(f"{path}.txt").read_bytes(), done.stderr.decode()

    return run


def python_env() -> dict[str, str]:
    """The environment for `python3 -m quarvel` in a child process."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C", PYTHONDONTWRITEBYTECODE="1")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), env.get("PYTHONPATH")]))
    return env


def run_quarvel(*args: str, **options) -> subprocess.CompletedProcess:  # noqa: ANN003 - subprocess.run's
    """Runs `python3 -m quarvel ARGS` as a user runs it, in python_env()
    unless `options` (for subprocess.run) say otherwise; output as text."""
    options = {"env": python_env(), "capture_output": True, "text": True, **options}
    return subprocess.run([sys.executable, "-m", "quarvel", *args], **options)


def write_entry_points(folder: Path) -> None:
    """Makes the entry points of pyproject.toml visible to a Python that
    has `folder` on its path, as installing the package does (xarray's
    engine="quarvel"): a .dist-info folder. Needs Python 3.11's tomllib."""
    import tomllib

    project = tomllib.loads((PACKAGE_ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    info = folder / "quarvel_under_test-0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: quarvel-under-test\nVersion: 0\n")
    lines = [
        f"[{group}]\n" + "".join(f"{name} = {target}\n" for name, target in points.items())
        for group, points in project["entry-points"].items()
    ]
    (info / "entry_points.txt").write_text("\n".join(lines))


try:
    from hypothesis import settings
except ImportError:  # its tests are skipped
    pass
else:
    # Examples are not saved between runs: nothing is written into the source tree.
    settings.register_profile("quarvel", database=None, print_blob=True)
    settings.load_profile("quarvel")


@pytest.fixture(scope="session")
def cluster():
    """A distributed.Client of a LocalCluster of two worker processes that
    import the package under test, shared by the tests that need one. It is
    not Dask's default scheduler: a test hands it over itself."""
    distributed = pytest.importorskip("distributed")
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), saved]))
    try:
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=40
        ) as local, distributed.Client(local, set_as_default=False) as client:
            yield client
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


# ---- one campaign of many logs, shared by the tests of index, Dask, xarray and export

# Its size: small by default, so that the suite stays quick. For the full
# check, by hand: QUARVEL_CAMPAIGN_LOGS=300 QUARVEL_CAMPAIGN_MAX_SAMPLES=10000000
CAMPAIGN_LOGS = int(os.environ.get("QUARVEL_CAMPAIGN_LOGS", "40"))
CAMPAIGN_MAX_SAMPLES = int(os.environ.get("QUARVEL_CAMPAIGN_MAX_SAMPLES", "50000"))


@pytest.fixture(scope="session")
def campaign(tmp_path_factory) -> dict[str, list[str]]:
    """Returns the paths, in order, of three campaigns: "varied" (gaps,
    overlaps, time running backwards, truncated blocks, non-finite
    calibrations, from an empty log up), "ordered" (every block after the
    one before) and "multi" (a logger's 4 inputs over the same seconds, each
    channel's blocks after one another, one log cut short)."""
    from logbuilder import write_campaign

    folder = tmp_path_factory.mktemp("campaign")
    varied = write_campaign(folder / "varied", varied=CAMPAIGN_LOGS, max_samples=CAMPAIGN_MAX_SAMPLES)
    ordered = write_campaign(folder / "ordered", varied=30, max_samples=20_000, in_order=True)
    multi = write_campaign(folder / "multi", varied=0, multi_logs=50, multi_channels=4, multi_samples=2000)
    parts = {"varied": varied["varied"], "ordered": ordered["varied"], "multi": multi["multi"]}
    return {name: [str(p) for p in part.paths] for name, part in parts.items()}


# The per-sample columns of the reader's frames, in order, with their types.
SAMPLE_TYPES = {"block": "i8", "time": "f8", "tick": "i8", "adcChan": "i4", "samplePeriod": "u4", "totalSamples": "i4",
                "calGain": "f4", "calOffset": "f4", "rawCounts": "i2", "calData": "f4"}  # fmt: skip


def blocks_frame(blocks):  # noqa: ANN001, ANN201 - Blocks, and a pandas DataFrame
    """Returns the rows of `blocks` (Blocks, sliced as wanted), built from
    each one's own fields and arrays, which the converter's records check:
    what LogFile.to_dataframe() and every route of many logs must give."""
    import numpy as np
    import pandas as pd

    def fields(b) -> tuple:  # noqa: ANN001 - a Block
        fields = (b.channel, b.period_ms, b.declared_samples, b.gain, b.offset, b.raw, b.values())
        return b.index, b.times(), b.ticks(), *fields

    rows = [fields(block) for block in blocks if len(block)]
    columns = {}
    for i, (name, kind) in enumerate(SAMPLE_TYPES.items()):
        parts = [np.broadcast_to(np.asarray(row[i], kind), len(row[1])) for row in rows]  # a header field repeated
        columns[name] = np.concatenate([np.empty(0, kind), *parts])
    return pd.DataFrame(columns)


def reader_frames(paths: list[str], step: int = 1, channels: list[int] | None = None, time=None):
    """Yields the reader's rows of the logs `paths`, a file at a time: the
    blocks_frame() of its every `step`-th sample, with the column `path`
    first; of `channels` and within the `time` window (t0, t1) (seconds,
    or None for an open end) when given: t0 × 1000 <= tick <= t1 × 1000."""
    import math
    import warnings

    import quarvel

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarvel.TruncatedBlockWarning)
        for path in paths:
            with quarvel.open(path) as log:
                frame = blocks_frame(block.every(step) for block in log.blocks)
            if channels is not None:
                frame = frame[frame["adcChan"].isin(channels)]
            if time is not None:  # whole ms against the ticks: exact past 2^53 too
                low = -(2**63) if time[0] is None else math.ceil(time[0] * 1000)
                high = 2**63 - 1 if time[1] is None else math.floor(time[1] * 1000)
                frame = frame[(frame["tick"] >= low) & (frame["tick"] <= high)]
            frame.insert(0, "path", path)
            yield frame


def reader_frame(paths: list[str], step: int = 1, channels: list[int] | None = None, time=None):
    """Returns the reader's rows of the logs `paths` in one DataFrame, as
    reader_frames() yields them, joined in path order."""
    return join_frames(list(reader_frames(paths, step, channels, time)))


def join_frames(frames: list):
    """Returns the rows of the DataFrames `frames` (of the same columns) in
    one, joined by numpy: pandas' concat replaces the NaNs of a float column
    that is NaN throughout one of the frames by a NaN of its own (pandas
    1.5), and would lose the bits under test."""
    import numpy as np
    import pandas as pd

    columns = {name: np.concatenate([frame[name].to_numpy() for frame in frames]) for name in frames[0].columns}
    return pd.DataFrame(columns, copy=False)


def assert_rows_are_readers(parts, paths: list[str], names, step: int = 1, channels=None, time=None) -> int:
    """Asserts that the DataFrames or Datasets `parts`, one after another,
    hold the reader's rows of the logs `paths` (the columns `names`), bit
    for bit. Holds one file's rows and one part in memory at a time, so
    that a campaign larger than the memory can be checked. Returns the
    number of rows."""
    files = reader_frames(paths, step, channels, time)
    pending = next(files, None)
    total = 0
    for part in parts:
        length = len(part["time"])
        while len(pending) < length:
            pending = join_frames([pending, next(files)])
        assert_same_bits(part, pending.iloc[:length], names)
        pending = pending.iloc[length:]
        total += length
    assert (pending is None or len(pending) == 0) and all(len(rest) == 0 for rest in files), "rows are missing"
    return total


def assert_same_bits(got, want, names) -> None:
    """Asserts that the columns `names` of `got` and `want` (DataFrames or
    xarray Datasets) hold the same types and bits."""
    import numpy as np

    for name in names:
        a, b = np.asarray(got[name]), np.asarray(want[name])
        assert a.dtype == b.dtype, f"{name}: {a.dtype}, expected {b.dtype}"
        assert a.shape == b.shape, f"{name}: {a.shape}, expected {b.shape}"
        if a.dtype == object:
            assert a.tolist() == b.tolist(), name
        elif len(a):
            same = a.view(np.uint8).reshape(len(a), -1) == b.view(np.uint8).reshape(len(b), -1)
            rows = np.flatnonzero(~same.all(axis=1))
            if len(rows):
                first = rows[0]
                mine, theirs = (x[first : first + 1].view(np.uint8).tobytes().hex() for x in (a, b))
                message = f"{name}: {len(rows)} rows differ, the first at {first}: {a[first]!r}, not {b[first]!r}"
                message += f" (bytes {mine}, not {theirs})"
                raise AssertionError(message)
