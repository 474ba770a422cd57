#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora under corpus/ beside this script.

Needs numpy (the blocks come from python/tests/logbuilder.py).

convert: three settings bytes (record flags, header mode, modulus), then a
logger file. cmdline: one byte of environment choice, then NUL-separated
arguments.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python", "tests"))
from logbuilder import BlockPlan, float_bits  # noqa: E402


def block(channel, period, first, count, gain, offset, samples):
    return BlockPlan(channel, period, first, samples, float_bits(gain), float_bits(offset), declared=count).to_bytes()


example = block(3, 500, 1 << 30, 2, 0.5, 1.0, [100, -100])
convert = {
    "example-default": bytes([0x80, 0, 1]) + example,
    "example-all-fields": bytes([0xFF, 0, 1]) + example,
    "three-blocks-first-header": bytes([0xC1, 1, 2]) + example
    + block(4, 1000, -1, 3, 0.25, -2.0, [1, 2, 3]) + example,
    "zero-and-negative-counts": bytes([0x89, 0, 1]) + block(1, 1, 0, 0, 1.0, 0.0, [])
    + block(2, 1, 0, -5, 1.0, 0.0, []) + example,
    "truncated": bytes([0x41, 2, 3]) + block(1, 10, 5, 9, 2.0, 1.0, [1, 2, 3]) + b"\x07",
    "huge-count": bytes([0x80, 0, 1]) + block(1, 10, 5, 0x7FFFFFFF, 2.0, 1.0, [4]),
    "non-finite": bytes([0xB0, 0, 1]) + block(1, 10, 5, 3, float("inf"), float("nan"), [0, 1, -1]),
    "big-period-negative-modulus": bytes([0x85, 2, 0xFD])
    + block(7, 0x80000000, 1000, 7, 1e30, -3.4e38, [0, 1, 2, 3, 4, 5, 6]),
    "fragment": bytes([0x80, 0, 1]) + example + example[:13],
    "empty": bytes([0x80, 0, 1]),
}
cmdline = {
    "defaults": b"\x00f",
    "grouped": b"\x00-Sqtcn\x001024\x001.002",
    "glued-value": b"\x00-n4t\x00f",
    "double-dash": b"\x00-t\x00--\x00-c",
    "long-dash": b"\x00--help\x00f",
    "unknown": b"\x00-x\x00f",
    "missing-value": b"\x00-tn",
    "high-byte": b"\x00-\xe9",
    "permute": b"\x01f\x00-t\x00g\x00-n\x003\x00--\x00-c",
    "permute-empty": b"\x03\x00-\x00-d",
    "zero-modulus": b"\x00-n\x000\x00-n\x00-2147483648",
}
for corpus, seeds in (("convert", convert), ("cmdline", cmdline)):
    os.makedirs(os.path.join(HERE, "corpus", corpus), exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(HERE, "corpus", corpus, name), "wb") as out:
            out.write(data)
