"""The reader agrees with the converter on every field of every record:
each test writes logs, converts them with the quarvel binary, formats the
reader's numbers as the converter does and compares the bytes."""

from __future__ import annotations

import itertools
import json
import subprocess
import sys
import warnings

import numpy as np
import pytest
from conftest import python_env
from logbuilder import (
    INT32_MAX,
    INT32_MIN,
    EDGE_FLOATS,
    UINT32_MAX,
    BlockPlan,
    edge_samples,
    fixed,
    log_bytes,
    records,
)

import quarvel
from quarvel._reader import _sign_nans

PERIODS = [0, 1, 2, 3, 7, 999, 1000, 1 << 31 - 1, (1 << 31) - 1, 1 << 31, (1 << 31) + 1, UINT32_MAX]
FIRST_TIMES = [INT32_MIN, INT32_MIN + 1, -86400, -1, 0, 1, 1796083200, INT32_MAX - 5, INT32_MAX]
MODULI = [None, 2, 3, -5, 1000, -4096]


def calibration_log(rng: np.random.Generator) -> bytes:
    """Every pair of edge-case gain and offset, on the samples that make the
    most of them (0 times inf, extremes times huge)."""
    pairs = itertools.product(EDGE_FLOATS.values(), repeat=2)
    channels = itertools.cycle([INT32_MIN, -1, 0, 7, INT32_MAX])
    periods = itertools.cycle(PERIODS)
    blocks = [
        BlockPlan(next(channels), next(periods), 1796083200 + i, edge_samples(rng, 9), gain, offset)
        for i, (gain, offset) in enumerate(pairs)
    ]
    # Blocks long enough for the reader's table of all raw counts' values
    for gain, offset in [("inf", "-nan"), ("-nan", "one"), ("-inf", "max"), ("gain", "snan")]:
        blocks.append(BlockPlan(9, 1, 0, edge_samples(rng, 70_000), EDGE_FLOATS[gain], EDGE_FLOATS[offset]))
    return log_bytes(blocks)


def timing_log(rng: np.random.Generator) -> bytes:
    """Every period with every first time, and long blocks whose running sums
    drift, cross zero and pass through many binades."""
    blocks = [
        BlockPlan(3, period, first, edge_samples(rng, 300), EDGE_FLOATS["gain"], EDGE_FLOATS["-offset"])
        for period, first in itertools.product(PERIODS, FIRST_TIMES)
    ]
    blocks.append(BlockPlan(1, 1, 1796083200, edge_samples(rng, 120_000), EDGE_FLOATS["gain"]))
    blocks.append(BlockPlan(2, 3, -100, edge_samples(rng, 70_000), EDGE_FLOATS["gain"]))
    blocks.append(BlockPlan(2, UINT32_MAX - 6, 0, edge_samples(rng, 5_000), EDGE_FLOATS["gain"]))
    return log_bytes(blocks)


def counts_log(rng: np.random.Generator) -> bytes:
    """Counts of zero and below (no samples follow), then a block that
    declares 2^31-1 samples and has five."""
    blocks = [
        BlockPlan(1, 10, 0, edge_samples(rng, 4)),
        BlockPlan(2, 10, 0, declared=0),
        BlockPlan(3, 10, 0, declared=-1),
        BlockPlan(4, 10, 0, edge_samples(rng, 3)),
        BlockPlan(5, 10, 0, declared=INT32_MIN),
        BlockPlan(6, 10, 0, edge_samples(rng, 5), declared=INT32_MAX),
    ]
    return log_bytes(blocks)


def cut_logs(rng: np.random.Generator) -> dict[str, bytes]:
    """Files that end inside a sample, inside a header, or with junk."""
    whole = log_bytes([BlockPlan(1, 500, 1796083200, edge_samples(rng, 20), EDGE_FLOATS["gain"])])
    cut_sample = log_bytes([BlockPlan(1, 500, 1796083200, edge_samples(rng, 20), declared=30)]) + b"\x7f"
    return {
        "empty": b"",
        "junk-only": b"\x01" * 23,
        "header-only": log_bytes([BlockPlan(1, 500, 0, declared=5)]),
        "cut-in-sample": cut_sample,
        "junk-23": whole + bytes(range(23)),
        "junk-1": whole + b"\xff",
        "junk-header": whole + bytes(range(24, 60)),  # read as a header and 6 samples
    }


def all_logs() -> dict[str, bytes]:
    rng = np.random.default_rng(12)
    return {"calibrations": calibration_log(rng), "timing": timing_log(rng), "counts": counts_log(rng), **cut_logs(rng)}


LOGS = all_logs()


def expected_records(path, modulus: int | None) -> tuple[bytes, list[str]]:
    """The reader's records of the file, and the warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with quarvel.open(path) as log:
            lines = []
            for block in log.blocks:
                chosen = block if modulus is None else block.every(modulus)
                lines += records(chosen, chosen.times(), chosen.values(), chosen.raw)
    return "".join(lines).encode(), [str(w.message) for w in caught]


def assert_same_text(expected: bytes, actual: bytes) -> None:
    if expected == actual:
        return
    ours, theirs = expected.split(b"\r\n"), actual.split(b"\r\n")
    for number, (a, b) in enumerate(zip(ours, theirs)):
        assert a == b, f"record {number}: reader {a!r}, converter {b!r}"
    assert len(ours) == len(theirs), f"reader has {len(ours)} records, converter {len(theirs)}"


@pytest.mark.parametrize("modulus", MODULI, ids=lambda m: f"n{m}")
@pytest.mark.parametrize("name", LOGS)
def test_records_match_converter(tmp_path, convert, name, modulus):
    path = tmp_path / f"{name}.log"
    path.write_bytes(LOGS[name])
    options = ["-tcpNgor"] + ([] if modulus is None else ["-n", str(modulus)])
    text, stderr = convert(path, *options)
    expected, messages = expected_records(path, modulus)
    assert_same_text(expected, text)
    assert [m + "\n" for m in messages] == stderr.splitlines(keepends=True)


@pytest.mark.parametrize("name", ["timing", "calibrations"])
def test_datetimes_are_the_time_column(tmp_path, convert, name):
    path = tmp_path / f"{name}.log"
    path.write_bytes(LOGS[name])
    text, _ = convert(path, "-t", "-C")
    with quarvel.open(path) as log:
        millis = np.concatenate([block.datetimes().view(np.int64) for block in log.blocks])
    printed = [line for line in text.decode().split("\r\n") if line]
    ours = [f"{'-' if m < 0 else ''}{abs(m) // 1000}.{abs(m) % 1000:03d}" for m in millis.tolist()]
    # "%.3f" of a time in (-0.0005, 0) prints as -0.000, which no millisecond count spells
    assert [o if o != "0.000" or p != "-0.000" else p for o, p in zip(ours, printed)] == printed


@pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")
@pytest.mark.parametrize("name", ["timing", "counts", "cut-in-sample"])
def test_info_end_times_are_the_last_records(tmp_path, convert, name):
    """info computes a block's last time stamp without summing every step."""
    path = tmp_path / f"{name}.log"
    path.write_bytes(LOGS[name])
    text, _ = convert(path, "-t", "-C")
    with quarvel.open(path) as log:
        last_indices = np.cumsum([len(block) for block in log.blocks]) - 1
        present = [len(block) > 0 for block in log.blocks]
    printed = text.decode().split("\r\n")
    done = subprocess.run(
        [sys.executable, "-m", "quarvel", "info", "--json", str(path)], env=python_env(), capture_output=True, text=True
    )
    report = json.loads(done.stdout)
    ends = [fixed(block["last_time"], 3) for block, has in zip(report["files"][0]["blocks"], present) if has]
    assert ends == [printed[i] for i, has in zip(last_indices, present) if has]


def test_nan_signs_do_not_depend_on_the_cpu(tmp_path, convert):
    """Another CPU makes NaNs of other signs: given positive NaNs only, the
    reader still writes the converter's signs."""
    path = tmp_path / "calibrations.log"
    path.write_bytes(LOGS["calibrations"])
    text, _ = convert(path)  # calData only
    printed = text.decode().split("\r\n")[:-1]
    ours = []
    with quarvel.open(path) as log:
        for block in log.blocks:
            values = block.values()
            values[np.isnan(values)] = np.float32(np.nan)  # positive, as ARM makes them
            _sign_nans(values, block.raw, float(block.gain), float(block.offset))
            ours += [fixed(v, 6) for v in values.astype(np.float64).tolist()]
    assert any(p == "-nan" for p in printed) and any(p == "nan" for p in printed)
    assert ours == printed
