"""Logs drawn by hypothesis: structured ones compared with the converter
record for record, and random bytes that must raise nothing."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from logbuilder import (  # noqa: E402
    EDGE_FLOATS,
    FIRST_TIMES,
    INT32_MAX,
    INT32_MIN,
    PERIODS,
    UINT32_MAX,
    BlockPlan,
    log_bytes,
)
from test_exact import MODULI, assert_same_text, expected_records  # noqa: E402

import quarvel  # noqa: E402

try:
    import pandas  # noqa: F401 - only whether it is there
except ImportError:
    PANDAS = False
else:
    PANDAS = True


FLOAT_BITS = st.one_of(st.sampled_from(sorted(EDGE_FLOATS.values())), st.integers(0, 2**32 - 1))
BLOCKS = st.builds(
    BlockPlan,
    channel=st.integers(INT32_MIN, INT32_MAX),
    period=st.one_of(st.sampled_from(PERIODS), st.integers(0, UINT32_MAX)),
    first_time=st.one_of(st.sampled_from(FIRST_TIMES), st.integers(INT32_MIN, INT32_MAX)),
    samples=st.lists(st.integers(-32768, 32767), max_size=60).map(lambda s: np.array(s, dtype=np.int16)),
    gain_bits=FLOAT_BITS,
    offset_bits=FLOAT_BITS,
    declared=st.one_of(st.none(), st.integers(-3, 70), st.just(INT32_MAX), st.just(INT32_MIN)),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(blocks=st.lists(BLOCKS, max_size=5), tail=st.binary(max_size=30), modulus=st.sampled_from(MODULI))
def test_generated_logs_match_converter(tmp_path, convert, blocks, tail, modulus):
    path = tmp_path / "generated.log"
    path.write_bytes(log_bytes(blocks, tail))
    options = ["-tcpNgor"] + ([] if modulus is None else ["-n", str(modulus)])
    text, stderr = convert(path, *options)
    expected, messages = expected_records(path, modulus)
    assert_same_text(expected, text)
    assert [m + "\n" for m in messages] == stderr.splitlines(keepends=True)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(content=st.binary(max_size=400))
def test_random_bytes_raise_nothing(tmp_path, content):
    path = tmp_path / "random.log"
    path.write_bytes(content)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # numpy's overflow and invalid warnings included
        warnings.simplefilter("ignore", quarvel.TruncatedBlockWarning)
        with quarvel.open(path) as log:
            for block in log.blocks:
                for part in (block, block[::3], block[::-2]):
                    assert len(part.values()) == len(part.times()) == len(part.datetimes()) == len(part.raw)
            if PANDAS:
                log.to_dataframe(modulus=2)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    first_time=st.one_of(st.sampled_from(FIRST_TIMES), st.integers(INT32_MIN, INT32_MAX), st.integers(-50, 50)),
    period=st.one_of(st.sampled_from(PERIODS), st.integers(0, UINT32_MAX), st.integers(0, 2000)),
    count=st.integers(0, 3000),
    key=st.builds(slice, st.none() | st.integers(-3000, 3000), st.none() | st.integers(-3000, 3000),
                  st.none() | st.integers(1, 5000) | st.integers(-5000, -1)),
)
def test_times_are_numpys_sequential_cumsum(tmp_path, first_time, period, count, key):
    """np.cumsum adds one element after another, as the converter does; ticks are integer arithmetic."""
    path = tmp_path / "times.log"
    path.write_bytes(log_bytes([BlockPlan(1, period, first_time, np.zeros(count, dtype=np.int16))]))
    with quarvel.open(path) as log:
        block = log.blocks[0]
        steps = np.full(count, block.step)
        steps[:1] = first_time
        assert np.array_equal(block[key].times(), np.cumsum(steps)[key])
        signed = period - (period >> 31 << 32)
        assert block[key].ticks().tolist() == [first_time * 1000 + i * signed for i in range(count)[key]]
