"""The Python rules for quarvel's own text give the converter's verdicts."""

from __future__ import annotations

from conftest import run_converter
from logbuilder import EDGE_FLOATS, INT32_MIN, UINT32_MAX, BlockPlan, cases, log_bytes

from quarvel._owntext import TEXT_HEAD_SIZE, is_own_text, is_strict_text

# Fields at their longest and shortest, non-finite values, a day of one digit.
EDGES = log_bytes([
    BlockPlan(INT32_MIN, UINT32_MAX, INT32_MIN, [-32768, 32767], EDGE_FLOATS["-max"], EDGE_FLOATS["-nan"]),
    BlockPlan(0, 0, 0, [0], EDGE_FLOATS["-zero"], EDGE_FLOATS["inf"], declared=2),
])  # fmt: skip
HEADERS = b"%ADC CHANNEL         : 3\r\n%SAMPLE PERIOD       : 500 ms\r\n"
NEAR_MISSES = [
    HEADERS + b"%TOTAL SAMPLE        : 2\r\n", HEADERS + b"%FIRST SAMPLE LOGGED : Sat Jam 10 13:37:04 2004\r\n",
    HEADERS + b"%CALIBRATION GAIN    : 1e+30\r\n", HEADERS.replace(b"500", b"-500"), HEADERS[26:],
    b"51.000000\r\n5l.000000\r\n", b"51.000000\r\n-49.0\r00000\r\n", b"51.000000\r\n-49.000000\n",
    b"51.000000\r\n-49.000000\r", b"1,2.000\r\n", b"1.000,2,3,4,5,6\r\n", b"01\r\n", b"-0\r\n", b"1,\r\n",
    b"-0.000000\r\n", b"nan,-inf,nan\r\n", b"nan,nan,nan,nan\r\n", b"\r\n" * 3000, b"51.000000\r\n" * 400 + b"\xff",
    b"51.000000\r\n" * 300 + b"\xff", b"",
]  # fmt: skip


def test_rules_give_the_converters_verdicts(tmp_path):
    def run(*args: str) -> bytes:
        return run_converter(*args, cwd=tmp_path).stderr

    logs = {**cases(), "edges": EDGES}
    inputs = {**logs, "CR LF first": log_bytes([BlockPlan(0x0D0A3031, samples=[1, 2])]), **dict(enumerate(NEAR_MISSES))}
    for name in ("edges", "calibrations-long", "many-blocks"):
        (tmp_path / name).write_bytes(logs[name])
        for options in ("-q", "-qs", "-qS", "-qtcpNgor", "-qsC", "-qSCtr"):
            run(options, name)
            inputs[f"text of {name} {options}"] = (tmp_path / f"{name}.txt").read_bytes()
    for n, data in enumerate(inputs.values()):  # the operand N.txt, named before the log N whose text file it is
        (tmp_path / str(n)).write_bytes(logs["example"])
        (tmp_path / f"{n}.txt").write_bytes(data)
    errors = run("-qS", "--", *(name for n in range(len(inputs)) for name in (f"{n}.txt", str(n)))).decode()
    for n, (name, data) in enumerate(inputs.items()):
        refused = (f"input file {n}.txt is a text file written by quarvel, not a logger file\n" in errors
                   or f"input file {n}.txt is empty and is the text file of another input\n" in errors)  # fmt: skip
        written_over = f"failed to open output file {n}.txt\n" not in errors
        head = data[:TEXT_HEAD_SIZE]  # an empty operand has nothing to lose: written over, not converted
        assert (refused, written_over) == (is_own_text(head) or not data, is_strict_text(head) or not data), name
