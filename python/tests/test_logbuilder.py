"""The generator's campaign and command line: what the exactness tests of
every face rely on."""

from __future__ import annotations

import math
import subprocess
import sys
import warnings
from pathlib import Path

import pytest
from logbuilder import cases, write_campaign
from test_exact import MODULI, assert_same_text, expected_records

import quarvel

GENERATOR = Path(__file__).resolve().parent / "logbuilder.py"
SMALL = {"varied": 24, "max_samples": 20_000, "logs": 2, "samples": 3001, "blocks": 3, "small_logs": 3,
         "headers": 40, "header_samples": 2}  # fmt: skip


def folder_bytes(folder: Path) -> dict[str, bytes]:
    return {str(path.relative_to(folder)): path.read_bytes() for path in sorted(folder.rglob("*.002"))}


def block_spans(paths: list[Path]) -> list[tuple[int, float, float]]:
    """Returns (channel, first time, last time) of every block with samples, in order."""
    spans = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarvel.TruncatedBlockWarning)
        for path in paths:
            with quarvel.open(path) as log:
                for block in log.blocks:
                    if len(block) > 0:
                        times = block.times()
                        spans.append((block.channel, float(times[0]), float(times[-1])))
    return spans


def test_campaign_is_the_same_for_the_same_seed(tmp_path):
    write_campaign(tmp_path / "a", **SMALL)
    write_campaign(tmp_path / "b", **SMALL)
    write_campaign(tmp_path / "c", seed=7, **SMALL)
    first = folder_bytes(tmp_path / "a")
    assert len(first) == 24 + 2 + 3 + 1
    assert first == folder_bytes(tmp_path / "b")
    assert first.keys() == folder_bytes(tmp_path / "c").keys() and first != folder_bytes(tmp_path / "c")


def test_varied_campaign_has_what_exactness_tests_need(tmp_path):
    parts = write_campaign(tmp_path, varied=40, max_samples=50_000)
    paths = parts["varied"].paths
    sizes = [path.stat().st_size for path in paths]
    assert sizes[0] == 0 and max(sizes) >= 100_000
    spans = block_spans(paths)
    starts = [first for _, first, _ in spans]
    assert any(b < a for a, b in zip(starts, starts[1:])), "no time running backwards"
    assert any(first < last for (_, _, last), (_, first, _) in zip(spans, spans[1:])), "no overlaps"
    blocks = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarvel.TruncatedBlockWarning)
        for path in paths:
            with quarvel.open(path) as log:
                blocks.append(list(log.blocks))
    everything = [block for log in blocks for block in log]
    assert any(block.truncated for block in everything)
    assert any(not (math.isfinite(block.gain) and math.isfinite(block.offset)) for block in everything)
    assert max(len({block.channel for block in log}) for log in blocks) >= 4
    assert max(len(log) for log in blocks) >= 500


def test_in_order_campaign_keeps_every_block_after_the_one_before(tmp_path):
    parts = write_campaign(tmp_path, varied=24, max_samples=20_000, in_order=True, logs=2, samples=3001, blocks=3,
                           small_logs=3, headers=40, header_samples=2)  # fmt: skip
    for name, part in parts.items():
        spans = block_spans(part.paths)
        assert len(spans) > 2
        assert all(last < first for (_, _, last), (_, first, _) in zip(spans, spans[1:])), name


def test_campaign_logs_match_converter(tmp_path, convert):
    """The varied logs, each with another step, record for record."""
    for index, path in enumerate(write_campaign(tmp_path, varied=24, max_samples=20_000)["varied"].paths):
        modulus = MODULI[index % len(MODULI)]
        options = ["-tcpNgor"] + ([] if modulus is None else ["-n", str(modulus)])
        text, stderr = convert(path, *options)
        expected, messages = expected_records(path, modulus)
        assert_same_text(expected, text)
        assert [m + "\n" for m in messages] == stderr.splitlines(keepends=True)


@pytest.mark.parametrize("verb", [["cases"], ["campaign", "--varied", "3", "--small-logs", "2"]])
def test_command_line_writes_what_the_functions_write(tmp_path, verb):
    done = subprocess.run([sys.executable, str(GENERATOR), verb[0], str(tmp_path / "cli"), *verb[1:]],
                          capture_output=True, text=True)  # fmt: skip
    assert done.returncode == 0, done.stderr
    if verb[0] == "cases":
        assert folder_bytes(tmp_path / "cli") == {f"{name}.002": content for name, content in cases().items()}
    else:
        write_campaign(tmp_path / "api", varied=3, small_logs=2)
        assert folder_bytes(tmp_path / "cli") == folder_bytes(tmp_path / "api")
        folders = [str(tmp_path / "cli" / part) for part in ("varied", "small")]
        assert [line.split(":")[0] for line in done.stdout.splitlines()] == folders
