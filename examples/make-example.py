#!/usr/bin/env python3
"""Writes the example logger file 1.002: two blocks of a made-up logging run.

Block 1: channel 3, 500 ms period, a slow sine wave on a 16-bit ADC.
Block 2: channel 4, 1000 ms period, a ramp with noise-free steps.
"""
import math
import struct

FIRST_TIME = 1796083200  # 2026-12-01 00:00:00 UTC


def block(channel, period_ms, first_time, gain, offset, samples):
    header = struct.pack(">iIiiff", channel, period_ms, first_time, len(samples), gain, offset)
    return header + struct.pack(">%dh" % len(samples), *samples)


sine = [round(12000 * math.sin(2 * math.pi * i / 40)) for i in range(80)]
ramp = [i * 512 - 16384 for i in range(64)]
with open("1.002", "wb") as out:
    out.write(block(3, 500, FIRST_TIME, 0.0025, -1.5, sine))
    out.write(block(4, 1000, FIRST_TIME + 3600, 0.001, 20.0, ramp))
