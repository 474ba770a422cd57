#!/usr/bin/env python3
"""Writes the example logger file 1.002: two blocks of a made-up logging run.

Block 1: channel 3, 500 ms period, a slow sine wave on a 16-bit ADC.
Block 2: channel 4, 1000 ms period, a ramp with noise-free steps.
Needs numpy (the blocks come from python/tests/logbuilder.py).
"""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python", "tests"))
from logbuilder import BlockPlan, float_bits, log_bytes  # noqa: E402

FIRST_TIME = 1796083200  # 2026-12-01 00:00:00 UTC

sine = [round(12000 * math.sin(2 * math.pi * i / 40)) for i in range(80)]
ramp = [i * 512 - 16384 for i in range(64)]
with open("1.002", "wb") as out:
    out.write(log_bytes([
        BlockPlan(3, 500, FIRST_TIME, sine, float_bits(0.0025), float_bits(-1.5)),
        BlockPlan(4, 1000, FIRST_TIME + 3600, ramp, float_bits(0.001), float_bits(20.0)),
    ]))
