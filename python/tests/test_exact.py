"""The reader agrees with the converter on every field of every record:
each test writes the shared cases, converts them with the quarvel binary,
formats the reader's numbers as the converter does and compares the bytes."""

from __future__ import annotations

import itertools
import json
import warnings

import numpy as np
import pytest
from conftest import run_quarvel
from logbuilder import cases, fixed, records

import quarvel
from quarvel._samples import sign_nans

MODULI = [None, 2, 3, -5, 1000, -4096]
LOGS = cases()


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


@pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")
@pytest.mark.parametrize("modulus", MODULI, ids=lambda m: f"n{m}")
def test_ticks_are_integer_arithmetic(tmp_path, modulus):
    """The ticks of the shared cases (first times of -2^31 and 2^31-1, periods of 0, 1, 2^31-1, 2^31,
    2^32-1...), by the block and the frame, are first_time x 1000 + i x period in Python's integers."""
    pytest.importorskip("pandas")
    for name, content in LOGS.items():
        (tmp_path / name).write_bytes(content)
        with quarvel.open(tmp_path / name) as log:
            blocks = [block if modulus is None else block.every(modulus) for block in log.blocks]
            ticks = [[b.first_time * 1000 + i * (b.period_ms - (b.period_ms >> 31 << 32)) for i in b.sample_indices]
                     for b in blocks]  # fmt: skip
            assert [b.ticks().tolist() for b in blocks] == ticks, name
            assert [b[::-1].ticks().tolist() for b in blocks] == [t[::-1] for t in ticks], name
            assert log.to_dataframe(modulus or 1)["tick"].tolist() == list(itertools.chain(*ticks)), name


@pytest.mark.parametrize("name", ["timing", "drift", "calibrations"])
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
@pytest.mark.parametrize("name", ["timing", "drift", "many-blocks", "counts", "cut-in-sample"])
def test_info_end_times_are_the_last_records(tmp_path, convert, name):
    """info computes a block's last time stamp without summing every step."""
    path = tmp_path / f"{name}.log"
    path.write_bytes(LOGS[name])
    text, _ = convert(path, "-t", "-C")
    with quarvel.open(path) as log:
        last_indices = np.cumsum([len(block) for block in log.blocks]) - 1
        present = [len(block) > 0 for block in log.blocks]
    printed = text.decode().split("\r\n")
    report = json.loads(run_quarvel("info", "--json", str(path)).stdout)
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
            sign_nans(values, block.raw, float(block.gain), float(block.offset))
            ours += [fixed(v, 6) for v in values.astype(np.float64).tolist()]
    assert any(p == "-nan" for p in printed) and any(p == "nan" for p in printed)
    assert ours == printed
