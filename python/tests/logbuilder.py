"""Writes logger files for quarvel's tests and benchmarks, and formats the
reader's numbers as the converter prints them.

This is the one Python writer of logger files: the Python reader's tests,
the cross comparison of builds, the web page's tests, the Octave test, the
benchmarks, the fuzzers' seeds and the example file take their logs from
here. It needs numpy alone.

One log
    `BlockPlan` and `LogPlan` plan blocks and logs field by field (the
    calibration as binary32 bit patterns, the declared count apart from the
    samples present); `log_bytes` encodes them. `float_bits`,
    `edge_samples` and `wave_samples` help fill them.

The shared cases
    `cases()` returns the named edge-case logs that every face of quarvel
    (the converter's builds, the Python and Octave readers, the web page)
    converts with the converter and compares: NaNs of both signs with
    payloads, signalling NaNs, infinities, zeros of both signs, subnormals
    and FLT_MAX as gains and offsets; periods from 0 to 2^32-1; first times
    from INT32_MIN to INT32_MAX; counts of 0, -1, INT32_MIN and INT32_MAX
    declared; blocks cut short and header fragments; long blocks; many
    blocks on several channels; a preallocated file's headers of zeros. `case_plans()` returns the same as plans.
    `strangers()` returns files that are not logs: a text file, a PNG, a
    PDF and a zip. `faults()` returns logs with faults of known place
    (rails, stuck runs, dead blocks, gaps...) and what a check finds.

The campaign
    `write_campaign` writes a folder of many logs, the same bytes for the
    same seed: varied logs for exactness tests, and the benchmark's shapes.

Command line
    python3 logbuilder.py cases DIR
        Writes every shared case as DIR/NAME.002.
    python3 logbuilder.py time-cases DIR
        Writes the logs of `time_cases()` into DIR/NAME/, and the gaps and
        overlaps that the rule finds in each as DIR/time-cases.json.
    python3 logbuilder.py strangers DIR
        Writes the files of `strangers()`, which are not logs, into DIR.
    python3 logbuilder.py multirate DIR [--seed S] [--loggers L] [--channels C] [--seconds T]
        Writes `multirate_files()`, a random campaign of several loggers
        whose channels run at 1 to 1000 ms with gaps, overlaps, nested and
        cut blocks, into DIR/a/, DIR/b/...: the wide table's shared case.
    python3 logbuilder.py rates DIR --periods P,... [--offsets S,...] [--seconds T]
            [--block-seconds B] [--file-seconds F]
        Writes one logger's channels at the periods P (ms), each from S
        seconds on, without gaps (`write_rates`): the table's benchmarks',
        such as the hour of 1 ms, 7 ms from 1003 s, and 1000 ms:
          rates DIR --periods 1,7,1000 --offsets 0,1003,0 --seconds 3600
    python3 logbuilder.py faults DIR
        Writes the logs of `faults()` as DIR/NAME.002, and what a quality
        check finds in them as DIR/faults.json.
        Writes the files of `strangers()`, which are not logs, into DIR.
    python3 logbuilder.py campaign DIR [--seed S]
            [--varied N] [--max-samples M] [--in-order]
            [--logs N] [--samples M] [--blocks B]
            [--small-logs K] [--small-samples S] [--small-folders F]
            [--headers H] [--header-samples S]
            [--multi-logs K] [--multi-channels C] [--multi-samples S]
            [--loggers L] [--logger-logs K]
        Writes a campaign into DIR (see `write_campaign` for its parts):
          DIR/varied/NNNN.002  N varied logs (default 40), from empty to M
                               samples (default 50,000); --in-order keeps
                               every block after the one before
          DIR/big/NNNN.002     N logs (default 0) of M samples
                               (default 8,388,608) in B blocks (default 8)
          DIR/small/NNNN.002   K logs (default 0) of one block of S samples
                               (default 500); with F folders, as
                               DIR/small/FFFF/NNNN.002, K/F logs a folder
          DIR/headers/0000.002 one log of H blocks (default none) of S
                               samples each (default 0: empty headers)
          DIR/multi/NNNN.002   K logs (default 0) of a logger with C inputs
                               (default 8) sampled over the same hours, S
                               samples a log (default 40,000); one in 48
                               cut short
          DIR/loggers/snNNNN/NNNN.002
                               L loggers (default 0, at most 9) of that
                               shape over the same time, K logs each
                               (default 12); the second pauses for 10 s
        The default is small enough for a test suite. The benchmark's:
          campaign DIR --varied 0 --logs 24 --samples 8000000
              --small-logs 2000 --headers 1000000
        python/bench_campaign.py's: campaign DIR --varied 0 --multi-logs 3000
        and several hundred varied logs up to tens of MB:
          campaign DIR --varied 300 --max-samples 10000000
    Both print one line per part written: its folder, logs, samples and bytes.
"""

from __future__ import annotations

import argparse
import io
import itertools
import json
import math
import struct
import sys
import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# Calibrations as binary32 bit patterns, so that NaN signs and payloads,
# negative zero and subnormals are exactly what the test means.
EDGE_FLOATS = {
    "nan": 0x7FC00000,
    "-nan": 0xFFC00000,
    "snan": 0x7F800001,
    "-snan": 0xFF800001,
    "nan-payload": 0x7FC00001,
    "-nan-payload": 0xFFC01234,
    "-nan-all-ones": 0xFFFFFFFF,
    "inf": 0x7F800000,
    "-inf": 0xFF800000,
    "zero": 0x00000000,
    "-zero": 0x80000000,
    "subnormal": 0x00000001,
    "-subnormal-max": 0x807FFFFF,
    "max": 0x7F7FFFFF,
    "-max": 0xFF7FFFFF,
    "near-max": 0x7F61B1E6,  # 3e38: finite in double, overflows float times 2
    "one": 0x3F800000,
    "-one-and-half": 0xBFC00000,
    "gain": 0x38A00D1B,  # about 7.63e-5 V a count
    "-offset": 0xC1C80000,  # -25
    "tiny-normal": 0x00800000,
}

INT32_MIN = -(1 << 31)
INT32_MAX = (1 << 31) - 1
UINT32_MAX = (1 << 32) - 1

# Sample periods in ms: zero, short, around a second, a day, and around
# 2^31 where the signed step turns negative, up to 2^32-1 (a step of -1 ms).
PERIODS = [0, 1, 2, 3, 7, 999, 1000, 1001, 86_400_000, INT32_MAX, 1 << 31, (1 << 31) + 1, UINT32_MAX - 999, UINT32_MAX]
# First-sample times in s: both ends of 32 bits, before 1970 (and around
# local midnight of 1970 in zones of +-5:30), a leap day, a change of summer
# time, and 2036, where 1900-based 32-bit clocks wrap.
FIRST_TIMES = [
    INT32_MIN, INT32_MIN + 1, -315_619_200, -86_400, -19_801, -19_800, -1, 0, 1, 19_799,
    951_782_400, 1_711_846_800, 1_796_083_200, (1 << 32) - 2_208_988_800, INT32_MAX - 5, INT32_MAX - 1, INT32_MAX,
]  # fmt: skip
CASES_SEED = 20261208
CAMPAIGN_SEED = 20261208
START = 1_796_083_200  # 2026-12-01 00:00:00 UTC
# The header as numpy lays it out, for writing many at once.
HEADER_DTYPE = np.dtype(
    [("channel", ">i4"), ("period", ">u4"), ("first_time", ">i4"), ("count", ">i4"), ("gain", ">u4"), ("offset", ">u4")]
)
WRITE_CHUNK = 1 << 20  # samples generated and written at once


def float_bits(value: float) -> int:
    """Returns the binary32 bit pattern of `value` rounded to single precision."""
    return struct.unpack(">I", struct.pack(">f", value))[0]


@dataclass
class BlockPlan:
    channel: int = 1
    period: int = 1000
    first_time: int = 1796083200
    samples: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int16))
    gain_bits: int = 0x3F800000
    offset_bits: int = 0
    declared: int | None = None  # the count to write, when not len(samples)

    def header(self) -> bytes:
        """Returns the block's 24-byte header."""
        count = len(self.samples) if self.declared is None else self.declared
        return struct.pack(
            ">iIiiII", self.channel, self.period, self.first_time, count, self.gain_bits, self.offset_bits
        )

    def to_bytes(self) -> bytes:
        """Returns the header followed by the samples present."""
        return self.header() + np.asarray(self.samples, dtype=">i2").tobytes()


@dataclass
class LogPlan:
    blocks: list[BlockPlan] = field(default_factory=list)
    tail: bytes = b""  # a cut sample area, a header fragment or junk

    def to_bytes(self) -> bytes:
        """Returns the logger file."""
        return log_bytes(self.blocks, self.tail)


def log_bytes(blocks: list[BlockPlan], tail: bytes = b"") -> bytes:
    """Returns the logger file of `blocks`, followed by `tail`."""
    return b"".join(block.to_bytes() for block in blocks) + tail


def edge_samples(rng: np.random.Generator, count: int) -> np.ndarray:
    """Returns `count` samples: the extremes, zero and ±1 first, then random."""
    fixed = np.array([0, 1, -1, 32767, -32768, 2, -2], dtype=np.int16)
    noise = rng.integers(-32768, 32768, size=max(count - len(fixed), 0)).astype(np.int16)
    return np.concatenate([fixed, noise])[:count]


def wave_samples(
    rng: np.random.Generator, count: int, amplitude: int = 20000, period: int = 3000, noise: int = 2048, start: int = 0
) -> np.ndarray:
    """Returns `count` samples of a noisy wave as a real channel gives: arcs
    of a parabola (integer arithmetic, so the same on every machine) of
    `amplitude` counts and `period` samples, from sample `start` of the
    wave, plus uniform noise of ±`noise`, kept within 16 bits."""
    half = max(period // 2, 1)
    x = np.arange(half, dtype=np.int64)
    arc = 4 * amplitude * x * (half - x) // (half * half)
    cycle = np.concatenate([arc, -arc]).astype(np.int32)
    wave = np.tile(np.roll(cycle, -(start % len(cycle))), -(-count // len(cycle)))[:count]
    wave += rng.integers(-noise, noise + 1, size=count, dtype=np.int32)
    return np.clip(wave, -32768, 32767).astype(np.int16)


# ---- the shared cases


def _ordinary(channel: int, first_time: int, samples: np.ndarray, **fields: int) -> BlockPlan:
    """Returns a block of a real logger's kind, on `channel`."""
    fields.setdefault("period", 500)
    fields.setdefault("gain_bits", EDGE_FLOATS["gain"])
    fields.setdefault("offset_bits", EDGE_FLOATS["-offset"])
    return BlockPlan(channel, first_time=first_time, samples=samples, **fields)


def _calibrations(rng: np.random.Generator) -> LogPlan:
    """Every pair of edge-case gain and offset, on the samples that make the
    most of them (0 times inf, extremes times huge)."""
    pairs = itertools.product(EDGE_FLOATS.values(), repeat=2)
    channels = itertools.cycle([INT32_MIN, -1, 0, 7, INT32_MAX])
    periods = itertools.cycle(PERIODS)
    return LogPlan(
        [
            BlockPlan(next(channels), next(periods), START + i, edge_samples(rng, 9), gain, offset)
            for i, (gain, offset) in enumerate(pairs)
        ]
    )


def _long_calibrations(rng: np.random.Generator) -> LogPlan:
    """Blocks long enough for a table of every raw count's value, with
    calibrations whose values are NaNs and infinities."""
    pairs = [("inf", "zero"), ("-nan", "nan"), ("-inf", "max"), ("gain", "snan")]
    return LogPlan(
        [
            BlockPlan(9 + i, 1, i * 100, edge_samples(rng, 70_000), EDGE_FLOATS[gain], EDGE_FLOATS[offset])
            for i, (gain, offset) in enumerate(pairs)
        ]
    )


def _double_rounding_block(rng: np.random.Generator, first_time: int) -> BlockPlan:
    """A block whose product raw * gain lies exactly halfway between two
    floats and whose offset is far below the double's resolution there:
    rounded once it ties to even, rounded in a wider significand first it
    does not."""
    while True:
        mantissa = int(rng.integers(1, 2 ** int(rng.integers(4, 24)), endpoint=True)) | 1
        raw = int(rng.integers(1, 32767, endpoint=True)) | 1
        if (mantissa * raw).bit_length() == 25:
            break
    gain = mantissa * 2.0 ** int(rng.integers(-40, 40, endpoint=True))
    offset = float(rng.choice([1, -1])) * raw * gain * 2.0**-60
    raws = np.array([raw, -raw, raw, 0, min(raw + 2, 32767), -min(raw + 2, 32767)], dtype=np.int16)
    samples = np.concatenate([raws, edge_samples(rng, int(rng.integers(0, 10)))[7:]])
    return BlockPlan(2, 1000, first_time, samples, float_bits(gain), float_bits(offset))


def _rounding(rng: np.random.Generator) -> LogPlan:
    """Sums that need the exact double-then-float rounding: halfway cases,
    huge gains with offsets below their resolution, and a long block of them."""
    blocks = [_double_rounding_block(rng, START + i) for i in range(40)]
    big = [1.2345679e15, -1.2345679e15, 9.876543e12, 3.0e9, 1.0e20, 16777217.0, 0.1, 1.0 / 3.0]
    offsets = [0.5, 1.0, 3.0, -0.25, 1.0e-7, 12345.678, 1.0e9, 7.0e15]
    for gain, offset in itertools.product(big, offsets):
        samples = edge_samples(rng, 20)
        blocks.append(BlockPlan(3, 250, START + len(blocks), samples, float_bits(gain), float_bits(offset)))
    blocks.append(BlockPlan(4, 10, START, wave_samples(rng, 6000), float_bits(1.2345679e15), float_bits(0.5)))
    return LogPlan(blocks)


def _extremes(rng: np.random.Generator) -> LogPlan:
    """Gains and offsets from the smallest subnormal to FLT_MAX, of both signs."""
    tiny = [1e-45, 1.4e-45, 1e-40, 1e-38, 1.17549435e-38, 1e-30, 1e-10, 5e-7, 4e-7]
    huge = [3.4028235e38, 3.0e38, 1.0e38, 1.0e30, 2.0**100, 1.8446744e19, 9.2233720e18]
    gains = [sign * value for value in tiny + huge for sign in (1, -1)]
    offsets = gains + [0.0, -0.0]
    edges = np.array([0, 1, -1, 2, -2, 3, 32767, -32768], dtype=np.int16)
    return LogPlan(
        [
            BlockPlan(5, 1000, START + i, edges, float_bits(gain), float_bits(offset))
            for i, (gain, offset) in enumerate(itertools.product(gains, offsets))
        ]
    )


def _timing(rng: np.random.Generator) -> LogPlan:
    """Every period with every first time."""
    return LogPlan(
        [
            _ordinary(3, first, edge_samples(rng, 100), period=period)
            for period, first in itertools.product(PERIODS, FIRST_TIMES)
        ]
    )


def _drift(rng: np.random.Generator) -> LogPlan:
    """Long blocks whose running sums of the period drift off the exact
    grid, count back from the top of 32 bits, cross zero (up and down) and
    cross 2^30, where the sums change their spacing."""
    plans = [
        (1, 1, START, 200_000, 0.00030519, -0.0123),
        (2, 3, -100, 70_000, 0.001, 0.0),
        (3, UINT32_MAX, INT32_MAX, 50_000, 0.5, 0.25),
        (4, 7, -3, 3000, 1.0, 0.0),
        (5, 1, (1 << 30) - 10, 20_000, 0.001, 0.0),
        (6, UINT32_MAX - 6, 0, 5000, 0.001, 0.0),
    ]
    return LogPlan(
        [
            BlockPlan(channel, period, first, wave_samples(rng, count), float_bits(gain), float_bits(offset))
            for channel, period, first, count, gain, offset in plans
        ]
    )


def _many_blocks(rng: np.random.Generator) -> LogPlan:
    """Many blocks on four channels in turn, each with its own calibration,
    period and first time: long ones (more than 2^18 samples together), then
    blocks of 8, then sizes that change from block to block, counts of zero
    and below, 8 again, and a block of 8 that the end of the file cuts after 5."""
    sizes = [4000] * 70 + [8] * 100 + [8, 9] * 20 + [0, -3, 0, 1, 2, 3] + [8] * 50
    blocks = []
    for k, size in enumerate(sizes, start=1):
        samples = (wave_samples(rng, max(size, 0)).astype(np.int32) + k).clip(-32768, 32767).astype(np.int16)
        blocks.append(
            BlockPlan(
                (k - 1) % 4 + 1,
                k % 4 * 250 + 1,
                START + 60 * k,
                samples,
                float_bits(0.001 * k),
                float_bits(-k),
                declared=size if size <= 0 else None,
            )
        )
    blocks.append(BlockPlan(1, 10, 0, wave_samples(rng, 5), float_bits(0.5), declared=8))
    return LogPlan(blocks)


def _counts(rng: np.random.Generator) -> LogPlan:
    """Counts of zero and below (no samples follow), then a block that
    declares 2^31-1 samples and has five."""
    return LogPlan(
        [
            BlockPlan(1, 10, 0, edge_samples(rng, 4)),
            BlockPlan(2, 10, 0, declared=0),
            BlockPlan(3, 10, 0, declared=-1),
            BlockPlan(4, 10, 0, edge_samples(rng, 3)),
            BlockPlan(5, 10, 0, declared=-5),
            BlockPlan(6, 10, 0, declared=INT32_MIN),
            BlockPlan(7, 10, 0, declared=INT32_MIN + 1),
            BlockPlan(INT32_MIN, UINT32_MAX, INT32_MAX, np.array([5, -5, 7], dtype=np.int16), float_bits(2.0),
                      float_bits(1.0)),
            BlockPlan(8, 10, 0, edge_samples(rng, 5), declared=INT32_MAX),
        ]
    )  # fmt: skip


def _preallocated(rng: np.random.Generator) -> LogPlan:
    """A file that the logger preallocated and filled in part: headers of
    zeros, each declaring no samples, before and after its blocks (more of
    them than one read of the Python reader's holds), and a fragment of
    one at the end; among its blocks, one header without samples written
    three times over."""
    zero = BlockPlan(0, 0, 0, gain_bits=0)
    again = BlockPlan(4, 250, START + 30, declared=-2)
    blocks = [_ordinary(4, START, edge_samples(rng, 6)), again, again, again]
    blocks.append(_ordinary(4, START + 60, wave_samples(rng, 300)))
    return LogPlan([zero] * 40 + blocks + [zero] * 3000, bytes(10))


def _cut_cases(rng: np.random.Generator) -> dict[str, LogPlan]:
    """Files that end inside a block's samples, inside a header, or with junk."""
    half = float_bits(0.5)
    whole = _ordinary(1, START, edge_samples(rng, 20))
    next_header = _ordinary(2, START + 60, edge_samples(rng, 3)).header()
    return {
        "empty": LogPlan(),
        "fragment-1": LogPlan(tail=b"\x00"),
        "fragment-23": LogPlan(tail=bytes(range(23))),
        "header-only": LogPlan([BlockPlan(1, 500, 0, declared=5)]),
        "header-only-odd": LogPlan([BlockPlan(1, 500, 0, declared=1)], b"\x80"),
        "declared-max": LogPlan([BlockPlan(1, 1, 0, np.array([1, 2, 3], dtype=np.int16), declared=INT32_MAX)]),
        "declared-max-odd": LogPlan(
            [whole, _ordinary(3, START + 600, wave_samples(rng, 9000), declared=INT32_MAX)], b"\x7f"
        ),
        "cut": LogPlan(
            [
                BlockPlan(6, 250, START, np.array([1, 2, 3], dtype=np.int16), half, float_bits(1.0)),
                BlockPlan(6, 250, START + 100, np.arange(10, 60, 10, dtype=np.int16), float_bits(-0.5),
                          float_bits(2.0), declared=9),
            ],
            b"\xff",
        ),  # fmt: skip
        "cut-even": LogPlan([whole, _ordinary(1, START + 30, edge_samples(rng, 3), declared=5)]),
        "cut-in-sample": LogPlan([BlockPlan(1, 500, START, edge_samples(rng, 20), declared=30)], b"\x7f"),
        "cut-long": LogPlan([whole, _ordinary(2, START + 10, wave_samples(rng, 69_999), period=1, declared=70_000)]),
        "tail-1": LogPlan([whole], b"\xff"),
        "tail-12": LogPlan([whole, _ordinary(2, START + 20, edge_samples(rng, 7))], next_header[:12]),
        "tail-23": LogPlan(
            [BlockPlan(5, 500, START, np.array([100, -100, 0, 1], dtype=np.int16), half, float_bits(1.0))],
            bytes(range(1, 24)),
        ),
        "junk-header": LogPlan([whole], bytes(range(24, 60))),  # read as a header and 6 samples
    }


def case_plans() -> dict[str, LogPlan]:
    """Returns the shared cases as plans, by name: the same on every call
    and every machine."""
    makers = {
        "example": lambda rng: LogPlan([BlockPlan(3, 500, 1 << 30, np.array([100, -100], dtype=np.int16),
                                                  float_bits(0.5), float_bits(1.0))]),
        "calibrations": _calibrations,
        "calibrations-long": _long_calibrations,
        "rounding": _rounding,
        "extremes": _extremes,
        "timing": _timing,
        "drift": _drift,
        "many-blocks": _many_blocks,
        "counts": _counts,
        "preallocated": _preallocated,
    }  # fmt: skip
    plans = {name: make(_case_rng(name)) for name, make in makers.items()}
    plans.update(_cut_cases(_case_rng("cut")))
    return plans


def _case_rng(name: str) -> np.random.Generator:
    """Returns the random generator of one case: cases do not shift one another."""
    return np.random.default_rng([CASES_SEED, *name.encode()])


def cases() -> dict[str, bytes]:
    """Returns the shared cases, name -> the logger file's bytes."""
    return {name: plan.to_bytes() for name, plan in case_plans().items()}


def write_cases(folder: str | Path) -> list[Path]:
    """Writes every shared case as folder/NAME.002; returns their paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, content in cases().items():
        path = folder / f"{name}.002"
        path.write_bytes(content)
        paths.append(path)
    return paths


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def _png() -> bytes:
    """A 32 x 32 grey gradient, a whole PNG file."""
    rows = b"".join(b"\0" + bytes(range(y * 7, y * 7 + 32)) for y in range(32))
    header = struct.pack(">IIBBBBB", 32, 32, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _png_chunk(b"IHDR", header) + _png_chunk(b"IDAT", zlib.compress(rows, 9))
            + _png_chunk(b"IEND", b""))  # fmt: skip


def _pdf() -> bytes:
    """A one-page PDF that says one line."""
    text = b"BT /F1 12 Tf 72 720 Td (Rig 3, week 49: all channels recorded.) Tj ET"
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        b" /Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n%s\nendstream" % (len(text), text),
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return bytes(out)


def _zip() -> bytes:
    """A zip archive of one text file, dated so that its bytes never change."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        entry = zipfile.ZipInfo("notes.txt", date_time=(2026, 12, 1, 0, 0, 0))
        entry.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(entry, _NOTES * 20)
    return buffer.getvalue()


_NOTES = b"Rig 3, week 49. Channel 3 offset checked against the reference; channel 5 reseated on Tuesday.\r\n"


def strangers() -> dict[str, bytes]:
    """Returns files that are not logs but that a person may put among them,
    name -> bytes: a text file, a PNG, a PDF and a zip. Read as logs, each
    is cut short, and its first header names a channel that no logger has
    (below -2^24 or from 2^24 up): what the faces call "probably not a
    logger file". No shared case is both."""
    return {"notes.txt": _NOTES * 20, "photo.png": _png(), "report.pdf": _pdf(), "archive.zip": _zip()}


def write_strangers(folder: str | Path) -> list[Path]:
    """Writes every file of `strangers()` into folder; returns their paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = [folder / name for name in strangers()]
    for path, content in zip(paths, strangers().values()):
        path.write_bytes(content)
    return paths


# ---- faults that a quality check finds

FAULT_START = START + 86_400  # a day after the campaign's start
STUCK_VALUES = (20_000, 20_001)  # outside the background's range


def _background(count: int, seed: int) -> np.ndarray:
    """Returns `count` samples in which no two neighbours are equal, far from
    the rails, all distinct (up to 20,011 of them): a run or a rail is only
    where a fault is put."""
    return ((np.arange(count, dtype=np.int64) * 7919 + seed * 104_729) % 20_011 - 10_005).astype(np.int16)


def _runs(count: int, seed: int, *runs: tuple[int, int, int]) -> np.ndarray:
    """Returns the background with each (start, length, value) run put in."""
    samples = _background(count, seed)
    for start, length, value in runs:
        samples[start : start + length] = value
    return samples


def _expected(block: int, plan: BlockPlan, longest: int, at: int, stuck: bool, **rails: int) -> dict:
    """Returns what a check of `plan`, block `block` of its file, finds, with
    the runs given by construction and the default thresholds."""
    samples = np.asarray(plan.samples)
    found = {"block": block, "channel": plan.channel, "samples": len(samples),
             "cut_short": plan.declared is not None and plan.declared > len(samples),
             "rail_low": int((samples == -32768).sum()), "rail_low_run": rails.get("low_run", 0),
             "rail_high": int((samples == 32767).sum()), "rail_high_run": rails.get("high_run", 0),
             "longest_stuck": longest, "stuck_start": at, "distinct": len(np.unique(samples))}  # fmt: skip
    found["clipped"] = found["rail_low"] + found["rail_high"] > 0
    found["stuck"] = stuck
    found["dead"] = len(samples) >= 100 and found["distinct"] <= 2
    return found


@dataclass
class FaultLog:
    """A log with faults put in: its plan, and what a check finds in it, by
    construction: per block (in file order); its gaps and overlaps by the
    one rule, as time-cases.json has them (the log's path is NAME.002);
    and its blocks out of order (a block that starts before the block with
    samples before it in the file)."""

    plan: LogPlan
    blocks: list[dict]
    gaps: list[dict] = field(default_factory=list)
    out_of_order: list[dict] = field(default_factory=list)
    overlaps: list[dict] = field(default_factory=list)


def faults() -> dict[str, FaultLog]:
    """Returns logs with faults of known kind, length and place, by name:
    runs at the rails (-32768, 32767), stuck runs (the longest run of one
    raw count that is not a rail; flagged at 50 samples or 10 s, whichever
    is longer), dead blocks (100 samples or more, at most 2 distinct
    counts), a block cut short, gaps, an overlap and a block out of order.
    Runs touch a block's ends, and one is split by a block boundary (it
    does not continue across blocks); a block holds nothing but rail runs
    (no stuck run: 0 and 0), another lone samples at the rails. Each log has channels of its own, so
    that checked together they find no more than each alone."""
    high, low = 32767, -32768
    value, other = STUCK_VALUES
    rails = BlockPlan(11, 100, FAULT_START, _runs(1000, 1, (0, 3, low), (10, 37, high), (500, 5, high), (990, 10, low)))
    stuck = BlockPlan(12, 1000, FAULT_START, _runs(400, 2, (0, 80, value), (150, 100, low), (300, 60, other)))
    split = [BlockPlan(13, 1000, FAULT_START, _runs(200, 3, (160, 40, value))),
             BlockPlan(13, 1000, FAULT_START + 200, _runs(200, 4, (0, 40, value)))]  # fmt: skip
    fast = BlockPlan(14, 10, FAULT_START, _runs(3000, 5, (100, 999, value), (1500, 1000, other)))
    alternate = np.tile(np.array([100, 101], dtype=np.int16), 75)
    dead = [BlockPlan(15, 1000, FAULT_START, alternate),
            BlockPlan(15, 1000, FAULT_START + 150, np.full(99, 7, dtype=np.int16)),
            BlockPlan(15, 1000, FAULT_START + 249, np.append(np.full(99, 7, dtype=np.int16), 8).astype(np.int16))]  # fmt: skip
    gaps = [BlockPlan(16, 1000, FAULT_START, _background(100, 6)),
            BlockPlan(16, 1000, FAULT_START + 500),  # no samples: neither gap nor overlap
            BlockPlan(16, 1000, FAULT_START + 130, _background(100, 7)),
            BlockPlan(16, 1000, FAULT_START + 200, _background(50, 8))]  # fmt: skip
    order = [BlockPlan(17, 1000, FAULT_START + 1000, _background(50, 9)),
             BlockPlan(17, 1000, FAULT_START, _background(50, 10)),
             BlockPlan(17, 1000, FAULT_START + 50, _background(50, 11))]  # fmt: skip
    cut = BlockPlan(18, 1000, FAULT_START, _background(120, 12), declared=500)
    only = [BlockPlan(19, 1000, FAULT_START, np.repeat(np.array([low, high], dtype=np.int16), [70, 50])),
            BlockPlan(19, 1000, FAULT_START + 120, _runs(100, 13, (5, 1, low), (99, 1, high)))]  # fmt: skip
    return {
        "rails": FaultLog(LogPlan([rails]), [_expected(0, rails, 1, 3, False, low_run=10, high_run=37)]),
        "stuck": FaultLog(LogPlan([stuck]), [_expected(0, stuck, 80, 0, True, low_run=100)]),
        "stuck-split": FaultLog(LogPlan(split), [_expected(0, split[0], 40, 160, False),
                                                 _expected(1, split[1], 40, 0, False)]),  # fmt: skip
        "stuck-fast": FaultLog(LogPlan([fast]), [_expected(0, fast, 1000, 1500, True)]),
        "dead": FaultLog(LogPlan(dead), [_expected(0, dead[0], 1, 0, False), _expected(1, dead[1], 99, 0, True),
                                         _expected(2, dead[2], 99, 0, True)]),  # fmt: skip
        "gaps": FaultLog(
            LogPlan(gaps),
            [_expected(0, gaps[0], 1, 0, False), _expected(1, gaps[1], 0, 0, False),
             _expected(2, gaps[2], 1, 0, False), _expected(3, gaps[3], 1, 0, False)],
            gaps=[_gap(16, (FAULT_START + 100) * 1000, 30_000, ("gaps.002", 0), ("gaps.002", 2))],
            overlaps=[_overlap(16, (FAULT_START + 200) * 1000, 30_000, [("gaps.002", 2), ("gaps.002", 3)])],
        ),  # fmt: skip
        "out-of-order": FaultLog(
            LogPlan(order),
            [_expected(i, block, 1, 0, False) for i, block in enumerate(order)],
            gaps=[_gap(17, (FAULT_START + 100) * 1000, 900_000, ("out-of-order.002", 2), ("out-of-order.002", 0))],
            out_of_order=[{"channel": 17, "block": 1}],
        ),
        "cut": FaultLog(LogPlan([cut], b"\x01"), [_expected(0, cut, 1, 0, False)]),
        "saturated": FaultLog(LogPlan(only), [_expected(0, only[0], 0, 0, False, low_run=70, high_run=50),
                                              _expected(1, only[1], 1, 0, False, low_run=1, high_run=1)]),  # fmt: skip
    }


def write_faults(folder: str | Path) -> list[Path]:
    """Writes every log of `faults()` as folder/NAME.002, and what a check
    finds in each as folder/faults.json ({NAME: {"blocks": [...], "gaps":
    [...], "overlaps": [...], "out_of_order": [...]}}), for faces in other
    languages; returns the logs' paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    logs = faults()
    paths = []
    for name, log in logs.items():
        paths.append(folder / f"{name}.002")
        paths[-1].write_bytes(log.plan.to_bytes())
    found = {name: {"blocks": log.blocks, "gaps": log.gaps, "overlaps": log.overlaps, "out_of_order": log.out_of_order}
             for name, log in logs.items()}  # fmt: skip
    (folder / "faults.json").write_text(json.dumps(found, indent=1) + "\n")
    return paths


# ---- time: gaps and overlaps on integer ticks

TIME_START = START + 2 * 86_400  # two days after the campaign's start


@dataclass
class TimeCase:
    """Logs whose gaps and overlaps are known by construction: `files`, by
    path relative to the case's folder (a folder of its own per logger),
    and what the one rule of gaps and overlaps finds in them with the
    logger rule `logger` (None: one logger; "folder"). A gap is (channel,
    logger, start tick, length in ms, the block before, the block after),
    an overlap (channel, logger, start tick, length in ms, the blocks that
    cover any of it), a block being (file, index in its file)."""

    files: dict[str, LogPlan]
    gaps: list[dict] = field(default_factory=list)
    overlaps: list[dict] = field(default_factory=list)
    logger: str | None = None


def _steady(channel: int, period: int, count: int, starts: list[int], **fields: int) -> list[BlockPlan]:
    """Returns blocks of `count` samples at `period` ms, one at each first
    time of `starts`, a slow ramp of raw counts."""
    ramp = (np.arange(count, dtype=np.int64) % 4000 - 2000).astype(np.int16)
    return [BlockPlan(channel, period, first, ramp, **fields) for first in starts]


def _gap(channel: int, start_ms: int, length: int, before: tuple, after: tuple, logger: str | None = None) -> dict:
    return {"channel": channel, "logger": logger, "start_tick": start_ms, "length_ms": length,
            "before": list(before), "after": list(after)}  # fmt: skip


def _overlap(channel: int, start_ms: int, length: int, blocks: list[tuple], logger: str | None = None) -> dict:
    return {"channel": channel, "logger": logger, "start_tick": start_ms, "length_ms": length,
            "blocks": [list(block) for block in blocks]}  # fmt: skip


def _rounded_starts(period: int, count: int, blocks: int) -> list[int]:
    """Returns the first times that a logger writes for `blocks` blocks of
    `count` samples at `period` ms recorded without a break: each block's
    true start rounded down to the second."""
    return [(TIME_START * 1000 + k * count * period) // 1000 for k in range(blocks)]


def _loggers_case(logger: str | None) -> TimeCase:
    """Three loggers with channels 0-7, each in a folder of its own, over
    the same hours; the second pauses for 10 s between its two logs. Each
    log holds two rounds of a 10 s block per channel."""
    t = TIME_START

    def log(first: int) -> LogPlan:
        return LogPlan([block for r in range(2) for c in range(8) for block in _steady(c, 10, 1000, [first + 10 * r])])

    files = {}
    for name in ("a", "b", "c"):
        files[f"{name}/0000.002"] = log(t)
        files[f"{name}/0001.002"] = log(t + (30 if name == "b" else 20))
    case = TimeCase(files, logger=logger)
    if logger == "folder":
        case.gaps = [_gap(c, (t + 20) * 1000, 10_000, ("b/0000.002", 8 + c), ("b/0001.002", c), "b") for c in range(8)]
        return case
    for c in range(8):
        blocks = [(f"{name}/{number}", r * 8 + c) for name in ("a", "c") for number in ("0000.002", "0001.002")
                  for r in range(2)] + [("b/0000.002", c), ("b/0000.002", 8 + c), ("b/0001.002", c)]  # fmt: skip
        case.overlaps.append(_overlap(c, t * 1000, 40_000, sorted(blocks)))
    return case


def time_cases() -> dict[str, TimeCase]:
    """Returns logs whose gaps and overlaps by the one rule are known, by
    name: continuous loggers at 1, 2 and 3 ms whose blocks last whole
    seconds; a continuous 2 ms logger of 1,024-sample blocks whose starts
    are rounded down to the second; blocks nested in a long one; blocks
    whose period is 0 or runs backwards (they cover nothing); a gap of
    exactly one period, one of less, and one inside the second in which a
    block ends; three loggers sharing channel numbers, read as one logger
    and as a logger per folder."""
    t = TIME_START
    ms = t * 1000
    whole = {f"continuous-{p}ms": TimeCase({"log.002": LogPlan(_steady(0, p, 1000, [t + p * k for k in range(12)]))})
             for p in (1, 2, 3)}  # fmt: skip
    backwards = _steady(0, 1000, 100, [t]) + _steady(0, UINT32_MAX - 999, 100, [t + 100])
    backwards += _steady(0, 0, 50, [t + 150]) + _steady(0, 1000, 100, [t + 100])
    short = _steady(1, 100, 12, [t, t + 2, t + 5])  # 1.2 s each: the second starts in the second the first ends
    return {
        **whole,
        "rounded-2ms": TimeCase({"log.002": LogPlan(_steady(0, 2, 1024, _rounded_starts(2, 1024, 40)))}),
        "nested": TimeCase(
            {"long.002": LogPlan(_steady(0, 1000, 1000, [t])), "short.002": LogPlan(_steady(0, 1000, 10, [t + 100, t + 500]))},
            overlaps=[_overlap(0, ms + 100_000, 10_000, [("long.002", 0), ("short.002", 0)]),
                      _overlap(0, ms + 500_000, 10_000, [("long.002", 0), ("short.002", 1)])],
        ),  # fmt: skip
        "backwards": TimeCase({"log.002": LogPlan(backwards)}),
        "periods": TimeCase(
            {"log.002": LogPlan(_steady(0, 3000, 10, [t, t + 33, t + 65]) + short)},
            # 30 s blocks: a gap of one period (3 s) is a finding, one of 2 s is not; 1.2 s blocks: the start
            # at t + 2 falls in the second in which the block before ends, the one at t + 5 does not.
            gaps=[_gap(0, ms + 30_000, 3000, ("log.002", 0), ("log.002", 1)),
                  _gap(1, ms + 3200, 1800, ("log.002", 4), ("log.002", 5))],
        ),  # fmt: skip
        "loggers": _loggers_case(None),
        "loggers-by-folder": _loggers_case("folder"),
    }


def write_time_cases(folder: str | Path) -> list[Path]:
    """Writes every case of `time_cases()` into folder/NAME/, and what the
    rule of gaps and overlaps finds in each as folder/time-cases.json
    ({NAME: {"logger", "files", "gaps", "overlaps"}}); returns the logs'
    paths."""
    folder = Path(folder)
    paths = []
    found = {}
    for name, case in time_cases().items():
        for relative, plan in case.files.items():
            path = folder / name / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(plan.to_bytes())
            paths.append(path)
        found[name] = {"logger": case.logger, "files": list(case.files), "gaps": case.gaps, "overlaps": case.overlaps}
    (folder / "time-cases.json").write_text(json.dumps(found, indent=1) + "\n")
    return paths


# ---- the campaign

# Periods and calibrations of a real logger's channels.
ORDINARY_PERIODS = [1, 2, 5, 10, 20, 50, 100, 200, 250, 500, 1000]
ORDINARY_GAINS = [0.00030519, 0.00015259, 0.000076294, 0.0012207, 0.0061035]
ORDINARY_OFFSETS = [0.0, -0.0123, 0.0041, -25.0, 1.5]
MULTI_ROUNDS = 5  # blocks of each channel in a log of the multi part
MULTI_PERIOD = 2  # ms
LOGGER_NAMES = ["sn1041", "sn1042", "sn1043", "sn1044", "sn1045", "sn1046", "sn1047", "sn1048", "sn1049"]
LOGGER_PAUSE = 10  # s: the second logger's pause
NON_FINITE = [EDGE_FLOATS[name] for name in ("nan", "-nan", "snan", "-nan-payload", "inf", "-inf", "max", "-max")]


@dataclass
class Written:
    """What one part of a campaign wrote."""

    paths: list[Path] = field(default_factory=list)
    samples: int = 0
    bytes: int = 0


def _log_path(folder: Path, index: int, count: int) -> Path:
    """Returns the path of log `index` of `count`: names sort as they count."""
    return folder / f"{index:0{max(4, len(str(count - 1)))}d}.002"


def _next_time(first: int, count: int, period: int) -> int:
    """Returns the first whole second at least a second after the last
    sample of a block (allowing for the running sum's drift)."""
    return first + math.ceil(max(count, 1) * (period if period < 1 << 31 else 0) / 1000) + 1


def _int32(value: int) -> int:
    """Returns `value` wrapped into a signed 32-bit integer."""
    return (value + (1 << 31)) % (1 << 32) - (1 << 31)


def _varied_sizes(rng: np.random.Generator, index: int, max_samples: int) -> tuple[int, int]:
    """Returns the samples and blocks of varied log `index`: the first is
    empty, the second has `max_samples`, the others log-uniform between."""
    if index == 0:
        return 0, 0
    total = max_samples if index == 1 else round(math.exp(rng.uniform(0, math.log(max_samples + 1)))) - 1
    blocks = int(math.exp(rng.uniform(0, math.log(min(max(total, 1), 3000)))))
    return total, blocks


def _varied_log(
    rng: np.random.Generator, index: int, max_samples: int, clock: int, budget: int, in_order: bool
) -> tuple[LogPlan, int]:
    """Returns varied log `index`, which starts at `clock` and takes at most
    `budget` seconds of time order, and the clock after it: several channels
    in turn, gaps, overlaps and time running backwards (unless `in_order`),
    counts of zero and below, non-finite calibrations, blocks cut short and
    header fragments."""
    total, count = _varied_sizes(rng, index, max_samples)
    if count == 0:
        return LogPlan(), clock
    cuts = np.sort(rng.integers(0, total + 1, size=count - 1))
    sizes = np.diff(np.concatenate([[0], cuts, [total]])).tolist()
    channels = int(rng.integers(1, 9))
    # Periods and gaps small enough for the log to keep within its budget.
    longest = budget * 1000 // (2 * max(total, 1))
    periods = [int(rng.choice([p for p in ORDINARY_PERIODS if p <= longest] or [1])) for _ in range(channels)]
    longest_gap = max(1, min(120, budget // (4 * count)))
    gains = [float_bits(float(rng.choice(ORDINARY_GAINS)) * (1 + c / 64)) for c in range(channels)]
    offsets = [float_bits(float(rng.choice(ORDINARY_OFFSETS))) for _ in range(channels)]
    if rng.random() < 0.15:
        c = int(rng.integers(channels))
        (gains if rng.random() < 0.5 else offsets)[c] = int(rng.choice(NON_FINITE))
    shuffled = rng.random() < 0.3
    blocks = []
    previous = clock
    for k, size in enumerate(sizes):
        c = int(rng.integers(channels)) if shuffled else k % channels
        period, first, move = periods[c], clock, 1.0 if in_order or k == 0 else rng.random()
        if move < 0.15:
            first = previous  # another channel's block of the same time
        elif move < 0.25:
            first = previous + int(rng.integers(0, clock - previous))  # overlaps the block before
        elif move < 0.32:
            first = _int32(previous - int(rng.integers(1, 30 * 86400)))  # backwards
        elif move < 0.35:
            first = int(rng.choice(FIRST_TIMES))
        elif move < 0.38:
            period = int(rng.choice(PERIODS))
        samples = wave_samples(rng, size, int(rng.integers(1000, 30000)), int(rng.integers(20, 20000)), 512)
        if rng.random() < 0.05:
            samples[: min(size, 7)] = edge_samples(rng, min(size, 7))
        if rng.random() < 0.03:
            declared = int(rng.choice([0, -1, INT32_MIN]))
            blocks.append(BlockPlan(c, period, first, gain_bits=gains[c], offset_bits=offsets[c], declared=declared))
        blocks.append(BlockPlan(c, period, first, samples, gains[c], offsets[c]))
        if move >= 0.38:  # in time order: the next block starts after this one
            previous, clock = clock, _next_time(clock, size, period) + int(rng.integers(0, longest_gap))
    if clock > INT32_MAX:
        raise ValueError("too many varied logs for 32-bit times")
    tail = b""
    ending = rng.random()
    if ending < 0.15:
        last = blocks[-1]
        present = len(last.samples)
        last.declared = present + int(rng.integers(1, present + 2)) if rng.random() < 0.8 else INT32_MAX
        tail = b"\x5a" if rng.random() < 0.5 else b""
    elif ending < 0.23:
        tail = BlockPlan(0, 1, clock, declared=1).header()[: int(rng.integers(1, 24))]
    return LogPlan(blocks, tail), clock


def _write_varied(folder: Path, count: int, max_samples: int, in_order: bool, seed: int) -> Written:
    written = Written()
    clock = START
    budget = (INT32_MAX - START) // count
    for index in range(count):
        rng = np.random.default_rng([seed, 1, index])
        plan, clock = _varied_log(rng, index, max_samples, clock, budget, in_order)
        path = _log_path(folder, index, count)
        with open(path, "wb") as out:
            for block in plan.blocks:
                out.write(block.to_bytes())
            out.write(plan.tail)
        written.paths.append(path)
        written.samples += sum(len(block.samples) for block in plan.blocks)
        written.bytes += path.stat().st_size
    return written


def _write_samples(out, rng: np.random.Generator, count: int, amplitude: int, period: int) -> None:  # noqa: ANN001
    """Writes `count` samples of a noisy wave, a piece at a time."""
    for start in range(0, count, WRITE_CHUNK):
        piece = wave_samples(rng, min(WRITE_CHUNK, count - start), amplitude, period, start=start)
        out.write(piece.astype(">i2").tobytes())


def _write_big(folder: Path, logs: int, samples: int, blocks: int, seed: int) -> Written:
    """Logs of `samples` samples in `blocks` blocks each, one channel a
    block, in time order from log to log."""
    written = Written()
    clock = START
    for index in range(logs):
        rng = np.random.default_rng([seed, 2, index])
        path = _log_path(folder, index, logs)
        with open(path, "wb") as out:
            for b in range(blocks):
                count = samples // blocks + (1 if b < samples % blocks else 0)
                period = 1 << (b % 4)
                gain, offset = np.float32(0.00030519) * np.float32(b + 1), np.float32(-0.0123) * np.float32(b)
                out.write(BlockPlan(b, period, clock, gain_bits=float_bits(gain), offset_bits=float_bits(offset),
                                    declared=count).header())  # fmt: skip
                _write_samples(out, rng, count, 20000, 3142)
                clock = _next_time(clock, count, period)
        written.paths.append(path)
        written.samples += samples
        written.bytes += path.stat().st_size
    return written


def _write_small(folder: Path, logs: int, samples: int, seed: int, folders: int = 0) -> Written:
    """Logs of one block each, from 16 channels in turn, each with its own
    period, calibration and stretch of signal, in time order: an hour
    apart, or closer where so many would run past 2038. With `folders`,
    they are spread over that many folders, in order, as a campaign of
    many days keeps a folder a day."""
    written = Written()
    per_folder = -(-logs // folders) if folders > 0 else logs
    clock = START
    longest = _next_time(0, samples, max(ORDINARY_PERIODS))
    apart = min(3600, max(0, (INT32_MAX - START) // max(logs, 1) - longest))
    for index in range(logs):
        rng = np.random.default_rng([seed, 3, index])
        period = ORDINARY_PERIODS[index % len(ORDINARY_PERIODS)]
        trim = 1 + (index % 37) / 10_000  # each sensor's own calibration
        gain = float_bits(ORDINARY_GAINS[index % 5] * trim)
        offset = float_bits(ORDINARY_OFFSETS[index // 5 % 5] * trim)
        wave = wave_samples(rng, samples, 6000 + 2000 * (index % 10), 30 + 10 * (index % 17))
        path = _log_path(folder, index, logs)
        if folders > 0:
            path = _log_path(folder, index // per_folder, folders).with_suffix("") / path.name
            if index % per_folder == 0:
                path.parent.mkdir(exist_ok=True)
        path.write_bytes(BlockPlan(index % 16, period, clock, wave, gain, offset).to_bytes())
        clock = _next_time(clock, samples, period) + apart
        written.paths.append(path)
        written.samples += samples
        written.bytes += path.stat().st_size
    return written


def _write_headers(folder: Path, count: int, samples: int, seed: int) -> Written:
    """One log of `count` blocks of `samples` samples, as a logger that
    starts a block per trigger: the same channel, period and calibration,
    each block a little after the one before. Vectorised, a group of blocks
    at a time."""
    path = _log_path(folder, 0, 1)
    rng = np.random.default_rng([seed, 4])
    period = 10
    group = max(1, WRITE_CHUNK // max(samples, 1))
    with open(path, "wb") as out:
        clock = START
        for start in range(0, count, group):
            n = min(group, count - start)
            heads = np.zeros(n, dtype=HEADER_DTYPE)
            heads["channel"] = 3
            heads["period"] = period
            heads["count"] = samples
            heads["gain"] = float_bits(0.00030519)
            heads["offset"] = float_bits(-0.0123)
            steps = _next_time(0, samples, period) + rng.integers(0, 60, size=n)
            heads["first_time"] = clock + np.cumsum(steps) - steps
            clock += int(steps.sum())
            words = wave_samples(rng, n * samples, 18000, 250, start=start * samples).astype(">i2")
            rows = [heads.view(np.uint8).reshape(n, 24), words.view(np.uint8).reshape(n, 2 * samples)]
            out.write(np.concatenate(rows, axis=1).tobytes())
    return Written([path], count * samples, path.stat().st_size)


def _write_multi(
    folder: Path, logs: int, channels: int, samples: int, seed: int, stream: int = 5, pause_after: int = -1
) -> Written:
    """Logs of a logger with `channels` inputs sampled together: each log
    holds MULTI_ROUNDS rounds of a block per channel, every channel's block
    of a round over the same seconds, at 2 ms, each channel with its own
    calibration; the logs follow one another in time, from START, with a
    pause of LOGGER_PAUSE seconds after log `pause_after`. One log in 48
    ends inside its last block, as when the logger lost power. `stream`
    tells the random numbers of one logger from another's."""
    written = Written()
    per_block = max(samples // (MULTI_ROUNDS * max(channels, 1)), 1)
    seconds = _next_time(0, per_block, MULTI_PERIOD) - 1  # a block's span, whole seconds
    gains = [float_bits(ORDINARY_GAINS[c % 5] * (1 + c / 64)) for c in range(channels)]
    offsets = [float_bits(ORDINARY_OFFSETS[c // 5 % 5]) for c in range(channels)]
    clock = START
    for index in range(logs):
        rng = np.random.default_rng([seed, stream, index])
        waves = wave_samples(rng, MULTI_ROUNDS * channels * per_block, 12000, 1500, 1024, start=index * 997)
        blocks = [
            BlockPlan(c, MULTI_PERIOD, clock + r * seconds, waves[(r * channels + c) * per_block :][:per_block],
                      gains[c], offsets[c])
            for r in range(MULTI_ROUNDS)
            for c in range(channels)
        ]  # fmt: skip
        tail = b""
        if index % 48 == 47:
            last = blocks[-1]
            last.declared = per_block
            last.samples = last.samples[: int(rng.integers(1, per_block))]
            tail = b"\x3c" if index % 96 == 95 else b""
        path = _log_path(folder, index, logs)
        path.write_bytes(log_bytes(blocks, tail))
        clock += MULTI_ROUNDS * seconds + (LOGGER_PAUSE if index == pause_after else 0)
        written.paths.append(path)
        written.samples += sum(len(block.samples) for block in blocks)
        written.bytes += path.stat().st_size
    return written


def write_campaign(
    folder: str | Path,
    *,
    seed: int = CAMPAIGN_SEED,
    varied: int = 40,
    max_samples: int = 50_000,
    in_order: bool = False,
    logs: int = 0,
    samples: int = 8_388_608,
    blocks: int = 8,
    small_logs: int = 0,
    small_samples: int = 500,
    small_folders: int = 0,
    headers: int = 0,
    header_samples: int = 0,
    multi_logs: int = 0,
    multi_channels: int = 8,
    multi_samples: int = 40_000,
    loggers: int = 0,
    logger_logs: int = 12,
) -> dict[str, Written]:
    """Writes a campaign of logs into `folder`, the same bytes for the same
    arguments; a part with no logs is not written. Returns per part
    ("varied", "big", "small", "headers", "multi") its paths in order,
    samples and bytes.

    varied/   `varied` logs: the first empty, the second of `max_samples`
              samples, the others log-uniform between; 1 to 3,000 blocks on 1
              to 8 channels in turn or shuffled; gaps, overlaps, blocks of the
              same time, time running backwards, edge periods and first times
              (all but gaps left out when `in_order`); counts of zero and
              below; non-finite calibrations; the last block cut short or a
              header fragment at the end.
    big/      `logs` logs of `samples` samples in `blocks` blocks (one
              channel each, periods of 1 to 8 ms), in time order.
    small/    `small_logs` logs of one block of `small_samples` samples, in
              time order; with `small_folders`, in that many folders
              small/FFFF/, in order.
    headers/  one log of `headers` blocks of `header_samples` samples each
              (empty headers by default), in time order.
    multi/    `multi_logs` logs of a logger with `multi_channels` inputs
              sampled together, about `multi_samples` samples a log: rounds
              of a block per channel over the same seconds, the logs in time
              order; one in 48 cut short in its last block.
    loggers/  `loggers` loggers (up to 9) of `multi_channels` inputs each,
              in a folder each (sn1041/, sn1042/, ...): `logger_logs` logs
              of the multi part's shape, all loggers over the same time; the
              second pauses for 10 s after its sixth log.
    """
    folder = Path(folder)
    parts = {}
    if varied > 0:
        (folder / "varied").mkdir(parents=True, exist_ok=True)
        parts["varied"] = _write_varied(folder / "varied", varied, max_samples, in_order, seed)
    if logs > 0:
        (folder / "big").mkdir(parents=True, exist_ok=True)
        parts["big"] = _write_big(folder / "big", logs, samples, max(blocks, 1), seed)
    if small_logs > 0:
        (folder / "small").mkdir(parents=True, exist_ok=True)
        parts["small"] = _write_small(folder / "small", small_logs, small_samples, seed, small_folders)
    if headers > 0:
        (folder / "headers").mkdir(parents=True, exist_ok=True)
        parts["headers"] = _write_headers(folder / "headers", headers, header_samples, seed)
    if multi_logs > 0:
        (folder / "multi").mkdir(parents=True, exist_ok=True)
        parts["multi"] = _write_multi(folder / "multi", multi_logs, multi_channels, multi_samples, seed)
    if loggers > 0:
        parts["loggers"] = Written()
        for k, name in enumerate(LOGGER_NAMES[:loggers]):
            (folder / "loggers" / name).mkdir(parents=True, exist_ok=True)
            one = _write_multi(folder / "loggers" / name, logger_logs, multi_channels, multi_samples, seed,
                               stream=6 + k, pause_after=5 if k == 1 else -1)  # fmt: skip
            parts["loggers"].paths += one.paths
            parts["loggers"].samples += one.samples
            parts["loggers"].bytes += one.bytes
    return parts


# ---- multi-rate campaigns: the wide table's

MULTIRATE_START = START + 3 * 86_400  # three days after the campaign's start
MULTIRATE_PERIODS = [1, 2, 3, 5, 7, 10, 20, 250, 1000]
MULTIRATE_SEED = 37


def _joint_count(rng: np.random.Generator, period: int, most: int) -> int:
    """Returns a count of samples at `period` ms that lasts whole seconds
    (so that the next block can start one period after the last sample),
    about `most` samples at most."""
    unit = 1000 // math.gcd(period, 1000)
    return unit * int(rng.integers(1, max(2, most // unit + 1)))


def _calibration(rng: np.random.Generator) -> tuple[int, int]:
    """Returns gain and offset bits: mostly a real logger's, sometimes NaN of
    either sign, infinite, or zeros that make values of both signs of 0."""
    kind = int(rng.integers(0, 12))
    if kind == 0:
        return EDGE_FLOATS["nan"], 0
    if kind == 1:
        return float_bits(0.001), EDGE_FLOATS["-nan"]
    if kind == 2:
        return float_bits(0.5), EDGE_FLOATS["inf" if rng.random() < 0.5 else "-inf"]
    if kind == 3:
        return EDGE_FLOATS["zero"], EDGE_FLOATS["-zero"]
    return float_bits(ORDINARY_GAINS[kind % 5]), float_bits(ORDINARY_OFFSETS[kind % 5])


def _series_blocks(rng: np.random.Generator, channel: int, start: int, seconds: int) -> list[tuple[int, BlockPlan]]:
    """Returns the blocks of one channel over about `seconds` from `start`,
    each with the file (0 to 2) it goes into: at one period (some lasting
    whole seconds, which the next block joins one period after the last
    sample), starts rounded down to the second (overlaps), gaps, a block
    nested in another, one that starts with another, with samples that
    repeat (few distinct values), in a file of their own or not."""
    period = int(rng.choice(MULTIRATE_PERIODS))
    most = max(2, 4000 // period * 5)
    out = []
    clock = start
    end = start + seconds
    while clock < end:
        count = _joint_count(rng, period, most) if rng.random() < 0.5 else int(rng.integers(1, most))
        gain, offset = _calibration(rng)
        raw = rng.integers(-300, 300, size=count).astype(np.int16) * int(rng.integers(1, 50))
        block = BlockPlan(channel, period, clock, raw.astype(np.int16), gain, offset)
        out.append((0 if clock - start < seconds // 3 else 1, block))
        length = count * period
        kind = rng.choice(["joint", "rounded", "gap", "nested", "tie"])
        if kind == "nested" and length > 2000:
            inner = int(rng.integers(1, length // 1000))
            small = rng.integers(-100, 100, size=int(rng.integers(1, 1 + 3000 // period))).astype(np.int16)
            out.append((2, BlockPlan(channel, period if rng.random() < 0.5 else period * 2 + 1, clock + inner, small,
                                     *_calibration(rng))))  # fmt: skip
        if kind == "tie":
            small = rng.integers(-100, 100, size=int(rng.integers(1, 1 + 2000 // period))).astype(np.int16)
            out.append((2, BlockPlan(channel, period, clock, small, *_calibration(rng))))
        if kind == "gap":
            clock += -(-length // 1000) + int(rng.integers(1, 4))
        elif kind == "rounded":
            clock += length // 1000
        else:
            clock += -(-length // 1000)
    return out


def multirate_files(seed: int = MULTIRATE_SEED, loggers: int = 2, channels: int = 3, seconds: int = 40) -> dict[str, LogPlan]:
    """Returns a random multi-rate campaign, by path relative to its folder:
    `loggers` loggers (a/, b/, ... each in a folder of its own, three
    files each), whose channels 0 to `channels` - 1 (the same numbers in
    every logger) run at periods of 1 to 1000 ms over about `seconds`
    seconds, with gaps, overlaps, nested blocks, blocks that start
    together, joints one period after a block's last sample, NaN,
    infinite and signed-zero values; and, the same for any seed, a block
    of a period of 0, one running backwards, headers without samples, a
    preallocated run of zero headers and a block cut short at the end of
    the last file. Seeds that are odd start before 1970."""
    rng = np.random.default_rng([seed, 37])
    start = MULTIRATE_START if seed % 2 == 0 else -int(rng.integers(1, 100))
    files = {}
    for number in range(loggers):
        name = "abcdefgh"[number]
        placed: list[list[BlockPlan]] = [[], [], []]
        for channel in range(channels):
            for file, block in _series_blocks(rng, channel, start + int(rng.integers(0, 3)), seconds):
                placed[file].append(block)
        for file in placed:
            file.sort(key=lambda block: block.first_time)
        odd = int(rng.integers(0, channels))
        placed[1][1:1] = [BlockPlan(odd, 0, start + 5, np.arange(5, dtype=np.int16)),
                          BlockPlan(odd, UINT32_MAX - 4, start + 9, np.arange(7, dtype=np.int16)),
                          BlockPlan(odd, 10, start + 7, declared=0)]  # fmt: skip
        placed[0][:0] = [BlockPlan(0, 0, 0, gain_bits=0)] * 5
        placed[2].append(BlockPlan(odd, 10, start + seconds // 2, np.arange(-20, 20, 2, dtype=np.int16), declared=40))
        for index, blocks in enumerate(placed):
            files[f"{name}/{index:04d}.002"] = LogPlan(blocks)
    return files


def write_multirate(folder: str | Path, seed: int = MULTIRATE_SEED, loggers: int = 2, channels: int = 3,
                    seconds: int = 40) -> list[Path]:  # fmt: skip
    """Writes multirate_files() into `folder`; returns the logs' paths."""
    paths = []
    for relative, plan in multirate_files(seed, loggers, channels, seconds).items():
        path = Path(folder) / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(plan.to_bytes())
        paths.append(path)
    return paths


def write_rates(folder: str | Path, periods: list[int], offsets: list[int], seconds: int, block_seconds: int = 60,
                file_seconds: int = 600, seed: int = MULTIRATE_SEED) -> Written:  # fmt: skip
    """Writes one logger's channels 0, 1, ... sampled at `periods` (ms), each
    from `offsets` seconds after MULTIRATE_START to `seconds` after it, in
    blocks of about `block_seconds` (whole seconds, so each block joins the
    next one period after its last sample, and the last ends at the end),
    the blocks starting in each `file_seconds` in a file of their own
    (NNNN.002), in order of their starts: the benchmark's campaigns."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    written = Written()
    starts: list[tuple[int, int, int]] = []  # (first time, channel, count)
    for channel, (period, offset) in enumerate(zip(periods, offsets)):
        unit = 1000 // math.gcd(period, 1000)  # samples in a whole number of seconds
        count = max(unit, block_seconds * 1000 // period // unit * unit)
        first = MULTIRATE_START + offset
        while first < MULTIRATE_START + seconds:
            left = (MULTIRATE_START + seconds - first) * 1000 // period
            starts.append((first, channel, min(count, left)))
            first += count * period // 1000
    starts.sort()
    files = (seconds + file_seconds - 1) // file_seconds
    for number in range(files):
        low, high = MULTIRATE_START + number * file_seconds, MULTIRATE_START + (number + 1) * file_seconds
        mine = [entry for entry in starts if low <= entry[0] < high]
        path = _log_path(folder, number, files)
        with path.open("wb") as out:
            for first, channel, count in mine:
                rng = np.random.default_rng([seed, channel, first])
                period = periods[channel]
                gain, offset = float_bits(ORDINARY_GAINS[channel % 5]), float_bits(ORDINARY_OFFSETS[channel % 5])
                out.write(BlockPlan(channel, period, first, declared=count, gain_bits=gain, offset_bits=offset).header())
                for position in range(0, count, WRITE_CHUNK):
                    size = min(WRITE_CHUNK, count - position)
                    out.write(wave_samples(rng, size, 12000, 3000, 512, start=position).astype(">i2").tobytes())
                written.samples += count
        written.paths.append(path)
        written.bytes += path.stat().st_size
    return written


# ---- the converter's text


def fixed(value: float, decimals: int) -> str:
    """Returns printf's "%.<decimals>f" of `value`: Python agrees except on
    a NaN, whose sign it drops."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%.*f" % (decimals, value)


def records(block, times, values, raw) -> list[str]:  # noqa: ANN001 - a quarvel.Block and its arrays
    """Returns the converter's -tcpNgor records of the block's samples."""
    gain, offset = fixed(float(block.gain), 6), fixed(float(block.offset), 6)
    middle = f"{block.channel},{block.period_ms},{block.declared_samples},{gain},{offset},"
    return [
        f"{fixed(t, 3)},{middle}{r},{fixed(v, 6)}\r\n"
        for t, r, v in zip(times.tolist(), raw.tolist(), values.astype(np.float64).tolist())
    ]


# ---- command line


def _count(text: str) -> int:
    """Returns a count given on the command line, such as 8000000 or 8_000_000."""
    value = int(text.replace("_", ""))
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text}: must not be negative")
    return value


def _count_list(text: str) -> list[int]:
    """Returns counts separated by commas, such as 1,7,1000."""
    return [_count(part) for part in text.split(",")]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="logbuilder.py", description="Writes quarvel's shared test cases or a campaign of logs."
    )
    verbs = parser.add_subparsers(dest="verb", required=True)
    shared = verbs.add_parser("cases", help="write every shared case as DIR/NAME.002")
    shared.add_argument("dir", metavar="DIR")
    faulty = verbs.add_parser("faults", help="write logs with faults a quality check finds, and faults.json, into DIR")
    faulty.add_argument("dir", metavar="DIR")
    timing = verbs.add_parser("time-cases", help="write logs of known gaps and overlaps, and time-cases.json, into DIR")
    timing.add_argument("dir", metavar="DIR")
    multi = verbs.add_parser("multirate", help="write a random multi-rate campaign of several loggers into DIR")
    multi.add_argument("dir", metavar="DIR")
    multi.add_argument("--seed", type=_count, default=MULTIRATE_SEED, help=f"(default {MULTIRATE_SEED}; odd: before 1970)")
    multi.add_argument("--loggers", type=_count, default=2, metavar="L", help="loggers (default 2)")
    multi.add_argument("--channels", type=_count, default=3, metavar="C", help="channels of each (default 3)")
    multi.add_argument("--seconds", type=_count, default=40, metavar="T", help="seconds of each channel, about (default 40)")
    rates = verbs.add_parser("rates", help="write one logger's channels at given periods into DIR, in order")
    rates.add_argument("dir", metavar="DIR")
    rates.add_argument("--periods", type=_count_list, required=True, metavar="P,...", help="each channel's period in ms")
    rates.add_argument("--offsets", type=_count_list, metavar="S,...", help="each channel's start in seconds (default 0)")
    rates.add_argument("--seconds", type=_count, default=3600, metavar="T", help="seconds recorded (default 3600)")
    rates.add_argument("--block-seconds", type=_count, default=60, metavar="B", help="a block's length (default 60)")
    rates.add_argument("--file-seconds", type=_count, default=600, metavar="F", help="a file's length (default 600)")
    strange = verbs.add_parser("strangers", help="write files that are not logs (text, PNG, PDF, zip) into DIR")
    strange.add_argument("dir", metavar="DIR")
    campaign = verbs.add_parser("campaign", help="write a campaign of logs into DIR")
    campaign.add_argument("dir", metavar="DIR")
    campaign.add_argument("--seed", type=_count, default=CAMPAIGN_SEED, help=f"(default {CAMPAIGN_SEED})")
    campaign.add_argument("--varied", type=_count, default=40, metavar="N", help="varied logs (default 40)")
    campaign.add_argument("--max-samples", type=_count, default=50_000, metavar="M",
                          help="samples of the largest varied log (default 50,000)")  # fmt: skip
    campaign.add_argument("--in-order", action="store_true", help="keep every varied block after the one before")
    campaign.add_argument("--logs", type=_count, default=0, metavar="N", help="big logs (default 0)")
    campaign.add_argument("--samples", type=_count, default=8_388_608, metavar="M",
                          help="samples of each big log (default 8,388,608)")  # fmt: skip
    campaign.add_argument("--blocks", type=_count, default=8, metavar="B", help="blocks of each big log (default 8)")
    campaign.add_argument("--small-logs", type=_count, default=0, metavar="K", help="one-block logs (default 0)")
    campaign.add_argument("--small-samples", type=_count, default=500, metavar="S",
                          help="samples of each one-block log (default 500)")  # fmt: skip
    campaign.add_argument("--small-folders", type=_count, default=0, metavar="F",
                          help="folders the one-block logs are spread over (default 0: none)")  # fmt: skip
    campaign.add_argument("--headers", type=_count, default=0, metavar="H",
                          help="blocks of the headers log (default 0)")  # fmt: skip
    campaign.add_argument("--header-samples", type=_count, default=0, metavar="S",
                          help="samples of each block of the headers log (default 0)")  # fmt: skip
    campaign.add_argument("--multi-logs", type=_count, default=0, metavar="K",
                          help="logs of a logger with several inputs (default 0)")  # fmt: skip
    campaign.add_argument("--multi-channels", type=_count, default=8, metavar="C",
                          help="inputs of that logger (default 8)")  # fmt: skip
    campaign.add_argument("--multi-samples", type=_count, default=40_000, metavar="S",
                          help="samples of each of its logs (default 40,000)")  # fmt: skip
    campaign.add_argument("--loggers", type=int, choices=range(len(LOGGER_NAMES) + 1), default=0, metavar="L",
                          help="loggers of that shape over the same time, a folder each (default 0, at most 9)")
    campaign.add_argument("--logger-logs", type=_count, default=12, metavar="K",
                          help="logs of each of those loggers (default 12)")  # fmt: skip
    return parser


def main(argv: list[str]) -> int:
    """Runs the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    if args.verb == "cases":
        paths = write_cases(args.dir)
        total = sum(path.stat().st_size for path in paths)
        print(f"{args.dir}: {len(paths)} cases, {total:,} bytes")
        return 0
    if args.verb == "faults":
        print(f"{args.dir}: {len(write_faults(args.dir))} logs with faults, and faults.json")
        return 0
    if args.verb == "time-cases":
        print(f"{args.dir}: {len(write_time_cases(args.dir))} logs of known gaps and overlaps, and time-cases.json")
        return 0
    if args.verb == "multirate":
        paths = write_multirate(args.dir, args.seed, args.loggers, args.channels, args.seconds)
        print(f"{args.dir}: {len(paths)} logs of {args.loggers} loggers at several rates")
        return 0
    if args.verb == "rates":
        offsets = args.offsets or [0] * len(args.periods)
        part = write_rates(args.dir, args.periods, offsets, args.seconds, args.block_seconds, args.file_seconds)
        print(f"{args.dir}: {len(part.paths)} logs, {part.samples:,} samples, {part.bytes:,} bytes")
        return 0
    if args.verb == "strangers":
        print(f"{args.dir}: {len(write_strangers(args.dir))} files that are not logs")
        return 0
    parts = write_campaign(
        args.dir,
        seed=args.seed,
        varied=args.varied,
        max_samples=args.max_samples,
        in_order=args.in_order,
        logs=args.logs,
        samples=args.samples,
        blocks=args.blocks,
        small_logs=args.small_logs,
        small_samples=args.small_samples,
        small_folders=args.small_folders,
        headers=args.headers,
        header_samples=args.header_samples,
        multi_logs=args.multi_logs,
        multi_channels=args.multi_channels,
        multi_samples=args.multi_samples,
        loggers=args.loggers,
        logger_logs=args.logger_logs,
    )
    for name, part in parts.items():
        print(f"{Path(args.dir) / name}: {len(part.paths)} logs, {part.samples:,} samples, {part.bytes:,} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
