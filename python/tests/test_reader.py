"""The reader's API on its own: slicing, closing, DataFrames, and bad input."""

from __future__ import annotations

import os
import sys
import tracemalloc

import numpy as np
import pytest
from conftest import SAMPLE_TYPES, assert_same_bits, blocks_frame
from logbuilder import INT32_MAX, EDGE_FLOATS, BlockPlan, edge_samples, fixed, log_bytes

import quarvel
from quarvel._arrays import CHUNK

rng = np.random.default_rng(7)
BIG = BlockPlan(5, 3, -7, edge_samples(rng, 2 * CHUNK + 1234), EDGE_FLOATS["gain"], EDGE_FLOATS["-offset"])
SMALL = BlockPlan(6, 2**32 - 1, 1796083200, edge_samples(rng, 10), EDGE_FLOATS["-max"], EDGE_FLOATS["nan"])


@pytest.fixture
def big_log(tmp_path):
    path = tmp_path / "big.log"
    path.write_bytes(log_bytes([BIG, SMALL]))
    with quarvel.open(path) as log:
        yield log


SLICES = [
    slice(None, None, 1000),
    slice(None, None, CHUNK + 1),
    slice(CHUNK - 3, CHUNK + 5, None),
    slice(CHUNK + 7, None, 3),
    slice(-10, None, None),
    slice(None, None, -1),
    slice(-5, 3, -CHUNK),
    slice(2 * CHUNK, 10, -7),
    slice(5, 5, None),
    slice(10**9, None, None),
]


@pytest.mark.parametrize("key", SLICES, ids=str)
def test_slices_select_as_the_whole_block_does(big_log, key):
    block = big_log.blocks[0]
    part = block[key]
    assert np.array_equal(part.raw, block.raw[key])
    assert np.array_equal(part.values(), block.values()[key])
    assert np.array_equal(part.times(), block.times()[key])
    assert list(part.sample_indices) == list(range(len(block))[key])


def test_every_refuses_zero(big_log):
    with pytest.raises(ValueError):
        big_log.blocks[0].every(0)


def test_header_fields_and_types(big_log):
    block = big_log.blocks[1]
    assert (block.channel, block.period_ms, block.first_time, block.declared_samples) == (6, 2**32 - 1, 1796083200, 10)
    assert block.gain.dtype == np.float32 and block.offset.dtype == np.float32
    assert block.gain == np.float32(-3.4028235e38) and np.isnan(block.offset)
    signalling = BlockPlan(gain_bits=EDGE_FLOATS["snan"], offset_bits=EDGE_FLOATS["-nan-payload"])
    path = big_log.path.parent / "snan.log"
    path.write_bytes(signalling.to_bytes())
    with quarvel.open(path) as log:
        stored = np.array([log.blocks[0].gain, log.blocks[0].offset]).view(np.uint32)
    assert stored.tolist() == [EDGE_FLOATS["snan"], EDGE_FLOATS["-nan-payload"]]
    assert block.raw.dtype.kind == "i" and block.raw.dtype.itemsize == 2
    assert block.values().dtype == np.float32 and block.times().dtype == np.float64
    assert block.datetimes().dtype == np.dtype("datetime64[ms]")
    assert str(block.datetimes()[1]) == "2026-11-30T23:59:59.999"


@pytest.mark.parametrize("samples", [9, 70_000])  # computed directly, and through the table of 65,536
@pytest.mark.parametrize(
    "gain, offset, nan",
    [
        ("nan", "snan", "nan"),  # two NaNs: which payload survives depends on operand order
        ("-nan-payload", "nan-payload", "-nan"),
        ("snan", "subnormal", "nan"),
        ("gain", "-nan-all-ones", "-nan"),
    ],
)
def test_nan_values_are_the_quiet_nan_of_their_sign(tmp_path, samples, gain, offset, nan):
    raw = np.arange(samples, dtype=np.int64).astype(np.int16)
    plan = BlockPlan(samples=raw, gain_bits=EDGE_FLOATS[gain], offset_bits=EDGE_FLOATS[offset])
    path = tmp_path / "nan.002"
    path.write_bytes(plan.to_bytes())
    with quarvel.open(path) as log:
        bits = log.blocks[0].values().view(np.uint32)
    assert set(bits.tolist()) == {EDGE_FLOATS[nan]}


def test_raw_is_native_int16_that_pandas_takes(big_log):
    raw = big_log.blocks[1].raw
    assert raw.dtype == np.dtype(np.int16) and raw.dtype.isnative and raw.flags.c_contiguous
    assert raw[:5].tolist() == [0, 1, -1, 32767, -32768]
    pd = pytest.importorskip("pandas")
    counts = pd.Series(big_log.blocks[0].raw).value_counts()  # big-endian data makes pandas raise
    assert counts.sum() == len(big_log.blocks[0]) and pd.Series(raw).rank().iloc[4] == 1.0


def test_arrays_outlive_the_file(big_log):
    raw = big_log.blocks[0].raw
    big_log.close()
    assert raw[:3].tolist() == [0, 1, -1]
    with pytest.raises(ValueError):
        big_log.blocks[0].raw


def test_dataframes_have_the_converter_fields(big_log):
    pytest.importorskip("pandas")
    frame = big_log.to_dataframe(modulus=-1000)
    assert list(frame.columns) == list(SAMPLE_TYPES)
    assert_same_bits(frame, blocks_frame(block.every(1000) for block in big_log.blocks), SAMPLE_TYPES)
    for key in SLICES[-5:]:  # backwards, and empty
        part = big_log.blocks[0][key]
        assert_same_bits(part.to_dataframe(), blocks_frame([part]), SAMPLE_TYPES)


def test_missing_pandas_is_named(big_log, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pandas"):
        big_log.to_dataframe()


@pytest.mark.parametrize(
    "make, error",
    [(lambda p: None, FileNotFoundError), (lambda p: p.mkdir(), IsADirectoryError)],
    ids=["missing", "directory"],
)
def test_unreadable_paths_raise(tmp_path, make, error):
    path = tmp_path / "log"
    make(path)
    with pytest.raises(error):
        quarvel.open(path)


def test_huge_declared_count_allocates_nothing_large(tmp_path):
    path = tmp_path / "log"
    path.write_bytes(log_bytes([BlockPlan(1, 1, 0, edge_samples(rng, 3), declared=INT32_MAX)]))
    # The modules the reader loads on first use, and their fixed tables, are
    # made before the count: only what grows with the declared count is weighed.
    warm = tmp_path / "warm"
    warm.write_bytes(log_bytes([BlockPlan(1, 1, 0, edge_samples(rng, 3))]))
    with quarvel.open(warm) as log:
        log.blocks[0].values(), log.blocks[0].times(), log.blocks[0].datetimes(), log.blocks[0].raw
    tracemalloc.start()
    try:
        with pytest.warns(quarvel.TruncatedBlockWarning, match="3 of 2147483647 samples read"):
            with quarvel.open(path) as log:
                block = log.blocks[0]
                arrays = block.values(), block.times(), block.datetimes(), block.raw
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert block.truncated and [len(a) for a in arrays] == [3] * 4
    assert peak < 1 << 20


def makes_sparse_files(folder) -> bool:
    """True when a file with a 1 MB hole takes less room on disk than that."""
    probe = folder / "sparse-probe"
    with open(probe, "wb") as out:
        out.seek(1 << 20)
        out.write(b"x")
    used = getattr(os.stat(probe), "st_blocks", None)
    probe.unlink()
    return used is not None and used * 512 < 1 << 19


def test_file_larger_than_memory(tmp_path):
    """A sparse file of 4 GB of samples and a block behind them."""
    if not makes_sparse_files(tmp_path):
        pytest.skip("the file system here does not make sparse files: the test would write 4 GB")
    path = tmp_path / "huge.log"
    first = log_bytes([BlockPlan(1, 1, 0, declared=INT32_MAX)])
    last = log_bytes([BlockPlan(2, 1000, 100, np.array([1, 2, 3], dtype=np.int16))])
    with open(path, "wb") as out:
        out.write(first)
        out.seek(len(first) + 2 * INT32_MAX)
        out.write(last)
    with quarvel.open(path) as log:
        assert [len(block) for block in log.blocks] == [INT32_MAX, 3]
        assert log.blocks[0][-3:].values().tolist() == [0.0] * 3
        # As `quarvel -t -n 2147483640` prints them (which takes it 25 s here)
        times = log.blocks[0].every(2147483640).times()
        assert [fixed(t, 3) for t in times.tolist()] == ["0.000", "2147483.597"]
        assert log.blocks[1].values().tolist() == [1.0, 2.0, 3.0]
    assert os.path.getsize(path) > 1 << 32


def test_ticks_past_2_to_the_53(tmp_path):
    """Ticks that no double holds: 2^22 + 2 samples 2^31 - 1 ms apart."""
    n = (1 << 22) + 2
    (tmp_path / "far.log").write_bytes(log_bytes([BlockPlan(1, INT32_MAX, INT32_MAX, np.zeros(n, dtype=np.int16))]))
    with quarvel.open(tmp_path / "far.log") as log:
        ticks, frame = log.blocks[0][-4:].ticks().tolist(), log.blocks[0][-4:].to_dataframe()
    assert ticks == frame["tick"].tolist() == [INT32_MAX * 1000 + i * INT32_MAX for i in range(n - 4, n)] > [2**53]


def test_large_results_are_plain_arrays(tmp_path):
    """Results of 4 MB and more are laid out on huge pages: they must still
    be whole, contiguous, writable arrays of the right numbers."""
    samples = edge_samples(rng, (1 << 20) + 5)
    path = tmp_path / "large.log"
    plan = BlockPlan(1, 7, 1796083200, samples, EDGE_FLOATS["gain"], EDGE_FLOATS["-offset"])
    path.write_bytes(log_bytes([plan]))
    with quarvel.open(path) as log:
        block = log.blocks[0]
        values, times = block.values(), block.times()
    steps = np.full(len(samples), 0.007)
    steps[0] = 1796083200
    expected = (samples.astype(np.float64) * float(block.gain) + float(block.offset)).astype(np.float32)
    assert np.array_equal(values, expected) and np.array_equal(times, np.cumsum(steps))
    for array in (values, times):
        assert array.flags.c_contiguous and array.flags.writeable and len(array) == len(samples)
