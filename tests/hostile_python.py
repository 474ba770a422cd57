"""The Python faces of the hostile-input suite (tests/hostile.py): the
reader, `python3 -m quarvel plot`, with and without --coverage, and
`python3 -m quarvel check`, one run at a time, each in a child forked from this process. This process imports numpy, matplotlib and the
reader once, which saves each run the second that importing them takes.

Usage: hostile_python.py RUNS.jsonl. Each line of RUNS.jsonl is a run:
{"face": "reader", "plot", "coverage" or "check", "cwd": folder, "args": [...], "out": prefix,
"change": null or how the file changes, "timeout" and "cpu": seconds of
wall-clock and CPU time it may take, "memory": bytes of address space it
may add}. A run's standard output and
error go to PREFIX.stdout and PREFIX.stderr, and its exit status (or the
negated number of the signal that ended it) to PREFIX.status.

The reader run prints a line per file: "ok BLOCKS SAMPLES" when every
block's raw counts, values and times were read, "error TYPE named" (or
"unnamed") when the reader raised one of its errors, naming the file or
not, and "changed" when arrays it returned differ from the file as it was
opened. Its other exceptions end the run with a traceback."""

from __future__ import annotations

import json
import os
import resource
import runpy
import shutil
import signal
import sys
import tempfile
import traceback
import warnings
from pathlib import Path

import numpy as np

try:
    import matplotlib.pyplot  # noqa: F401 - imported once, for every plot run
except ImportError:  # then the plot face is not run
    pass

TESTS = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS.parent / "python" / "tests"))
sys.path.insert(0, str(TESTS.parent / "python"))

import quarvel  # noqa: E402
from hostile_logs import REPLACE, change_file  # noqa: E402

# A log of more blocks than this has its samples read in this many blocks
# at its start and at its end only: the rest are the same code again.
BLOCKS_READ = 10_000


def main() -> int:
    quarvel.open  # noqa: B018 - imports the reader before the first fork
    with open(sys.argv[1], encoding="utf-8") as runs:
        for line in runs:
            run(json.loads(line))
    return 0


def run(job: dict) -> None:
    """Runs one job in a forked child and writes its status."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os._exit(child(job))
    _, status = os.waitpid(pid, 0)
    code = -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
    Path(job["out"] + ".status").write_text(f"{code}\n", encoding="utf-8")


def child(job: dict) -> int:
    """The forked child: runs the job with its limits, returns the status."""
    try:
        for fd, suffix in ((1, ".stdout"), (2, ".stderr")):
            target = os.open(job["out"] + suffix, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            os.dup2(target, fd)
            os.close(target)
        os.chdir(job["cwd"])
        limit = address_space() + job["memory"]
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        resource.setrlimit(resource.RLIMIT_CPU, (job["cpu"], job["cpu"] + 5))  # SIGXCPU: it hangs
        signal.alarm(job["timeout"])  # SIGALRM: it hangs, blocked
        if job["face"] in ("plot", "coverage", "check"):
            sys.argv = ["quarvel", *job["args"]]
            runpy.run_module("quarvel", run_name="__main__", alter_sys=True)
            return 0
        return read_files(job["args"], job["change"])
    except SystemExit as done:
        if isinstance(done.code, int) or done.code is None:
            return done.code or 0
        print(done.code, file=sys.stderr)
        return 1
    except BaseException:  # noqa: BLE001 - reported as the interpreter would
        traceback.print_exc()
        return 1
    finally:
        sys.stdout.flush()
        sys.stderr.flush()


def address_space() -> int:
    """The bytes of address space this process has mapped."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def read_files(names: list[str], change: str | None) -> int:
    """Reads every file with the reader and prints its line; returns 1
    when any raised an error."""
    status = 0
    for name in names:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", quarvel.TruncatedBlockWarning)
                warnings.simplefilter("error", RuntimeWarning)  # numpy's: the reader promises none
                line = read_changing(name, change) if change else summary(read(name))
        except Exception as error:  # noqa: BLE001 - the reader's own errors are reported, others re-raised
            if not reader_error(error):
                raise
            line = f"error {type(error).__name__} {'named' if names_file(error, name) else 'unnamed'}"
            status = 1
        print(line, flush=True)
    return status


def reader_error(error: Exception) -> bool:
    """Whether `error` is one the reader raises for a bad file: an OSError,
    a ValueError, or an exception of its own."""
    return isinstance(error, (OSError, ValueError)) or type(error).__module__.startswith("quarvel")


def names_file(error: Exception, name: str) -> bool:
    text = str(error)
    return getattr(error, "filename", None) == name or name in text or repr(name)[1:-1] in text


def read(name: str, keep: bool = False) -> list:
    """Reads every block's raw counts, values and times (of at most
    2 × BLOCKS_READ blocks); returns [blocks, samples, arrays], the
    arrays as returned when `keep`, else copies."""
    arrays = []
    with quarvel.open(name) as log:
        blocks = log.blocks
        chosen = range(len(blocks))
        if len(blocks) > 2 * BLOCKS_READ:
            chosen = [*range(BLOCKS_READ), *range(len(blocks) - BLOCKS_READ, len(blocks))]
        for i in chosen:
            block = blocks[i]
            raw, values, times = block.raw, block.values(), block.times()
            arrays.append((raw, values, times) if keep else (np.array(raw), values.copy(), times.copy()))
        samples = sum(block.present_samples for block in blocks)
        return [len(blocks), samples, arrays]


def summary(result: list) -> str:
    return f"ok {result[0]} {result[1]}"


def read_changing(name: str, change: str) -> str:
    """Reads the log as it changes: "ok ..." when the arrays hold the
    samples of the file as it was opened, "changed" when they do not."""
    scratch = tempfile.mkdtemp()
    try:
        pristine = os.path.join(scratch, "pristine.002")
        shutil.copyfile(name, pristine)
        expected = read(pristine)
    finally:
        shutil.rmtree(scratch)
    if change == REPLACE:  # arrays taken, the file closed, then overwritten
        got = read(name, keep=True)
        change_file(name, change)
    else:  # the file changes between opening and reading the samples
        with quarvel.open(name) as log:
            change_file(name, change)
            blocks = log.blocks
            arrays = [(np.array(b.raw), b.values().copy(), b.times().copy()) for b in blocks]
            got = [len(blocks), sum(b.present_samples for b in blocks), arrays]
    same = got[:2] == expected[:2] and all(
        all(a.tobytes() == b.tobytes() for a, b in zip(mine, theirs)) for mine, theirs in zip(got[2], expected[2])
    )
    return summary(got) if same else "changed"


if __name__ == "__main__":
    sys.exit(main())
