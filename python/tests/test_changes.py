"""Logs that change under the reader, and paths that are not regular files:
the reader raises an error that names the file, or gives the samples as
they were; it never kills its process and never changes an array it
returned. Each case runs in a child process, which a crash cannot take the
test run down with."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import python_env, run_quarvel
from logbuilder import BlockPlan, log_bytes

SAMPLES = np.arange(1, 100_001, dtype=np.int16)
OTHER = np.full(100_000, 9, dtype=np.int16)


def run_child(code: str, folder, **files: bytes) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter in `folder`, after writing `files`
    there; returns the finished process (stdout and stderr as text)."""
    for name, content in files.items():
        (folder / name).write_bytes(content)
    prelude = "import os, shutil, sys, threading\nimport numpy as np\nimport quarvel\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        cwd=folder,
        env=python_env(),
        capture_output=True,
        text=True,
        timeout=120,
    )


LOG = log_bytes([BlockPlan(1, 10, 1796083200, SAMPLES)])
SAME_SIZE_OTHER_LOG = log_bytes([BlockPlan(2, 20, 1796083201, OTHER)])


@pytest.mark.parametrize(
    "change, message",
    [
        ("os.truncate('a.log', 100)", "shrank from 200024 to 100 bytes"),
        ("open('a.log', 'wb').write(open('b.log', 'rb').read())", "the file changed after it was opened"),
        ("shutil.copyfile('b.log', 'a.log')", "the file changed after it was opened"),
    ],
    ids=["truncated", "rewritten", "copied-over"],
)
def test_a_changed_file_raises_an_error_naming_it(tmp_path, change, message):
    done = run_child(
        f"""
        with quarvel.open("a.log") as log:
            block = log.blocks[0]
            {change}
            for read in (lambda: block.values(), lambda: block.raw, lambda: block[5:9].raw):
                try:
                    read()
                except quarvel.FileChangedError as error:
                    print(error)
        """,
        tmp_path,
        **{"a.log": LOG, "b.log": SAME_SIZE_OTHER_LOG},
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 3 and all(line.startswith("a.log: ") and message in line for line in lines), lines


def test_a_file_gone_after_indexing_is_said_once(tmp_path):
    """Its error, and nothing more: no word from a file that never opened."""
    pytest.importorskip("dask")
    done = run_child(
        """
        frame = quarvel.dask_dataframe("a.log")
        os.remove("a.log")
        try:
            frame.compute(scheduler="sync")
        except FileNotFoundError as error:
            print(error.filename)
        """,
        tmp_path,
        **{"a.log": LOG},
    )
    assert (done.stdout, done.stderr) == ("a.log\n", "")


def test_returned_arrays_never_change(tmp_path):
    done = run_child(
        """
        with quarvel.open("a.log") as log:
            block = log.blocks[0]
            raw, values, part = block.raw, block.values(), block[::7].raw
            shutil.copyfile("b.log", "a.log")
            print(raw[:3].tolist(), raw.sum(), values[-1], part.sum())
        shutil.copyfile("c.log", "a.log")
        os.truncate("a.log", 30)
        print(raw[:3].tolist(), raw.sum(), values[-1], part.sum())
        """,
        tmp_path,
        **{"a.log": LOG, "b.log": SAME_SIZE_OTHER_LOG, "c.log": log_bytes([BlockPlan(samples=OTHER[:5])])},
    )
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert first == second
    assert first == f"[1, 2, 3] {SAMPLES.sum(dtype=np.int64)} {float(SAMPLES[-1])} {SAMPLES[::7].sum(dtype=np.int64)}"


def test_growth_is_seen_on_reopening_and_a_replaced_file_is_read_as_opened(tmp_path):
    done = run_child(
        """
        log = quarvel.open("a.log")
        with open("a.log", "ab") as out:
            out.write(open("b.log", "rb").read())
        print(len(log.blocks), log.blocks[0][-2:].raw.tolist())
        with quarvel.open("a.log") as again:
            print(len(again.blocks), again.blocks[1][:2].raw.tolist())
        os.replace("b.log", "a.log")  # a new file under the old name
        print(log.blocks[0][-2:].raw.tolist())
        log.close()
        """,
        tmp_path,
        **{"a.log": LOG, "b.log": SAME_SIZE_OTHER_LOG},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["1 [-31073, -31072]", "2 [9, 9]", "[-31073, -31072]"]


def test_pipes_and_devices_are_refused(tmp_path):
    """The same bytes through a pipe would give 0 blocks, silently; a named
    pipe without a writer would be waited on for ever."""
    os.mkfifo(tmp_path / "fifo")
    done = run_child(
        """
        read, write = os.pipe()
        data = open("a.log", "rb").read()
        threading.Thread(target=lambda: (os.write(write, data), os.close(write)), daemon=True).start()
        for path, face in [(f"/dev/fd/{read}", quarvel.open), ("fifo", quarvel.open), ("/dev/zero", quarvel.index)]:
            try:
                face(path)
            except quarvel.NotRegularFileError as error:
                print(error)
        """,
        tmp_path,
        **{"a.log": LOG},
    )
    assert done.returncode == 0, done.stderr
    kinds = [line.split(": ", 1) for line in done.stdout.splitlines()]
    assert [k[1] for k in kinds] == [
        "not a regular file (a pipe); save it to a file first",
        "not a regular file (a pipe); save it to a file first",
        "not a regular file (a character device); save it to a file first",
    ]


def test_info_refuses_streams_at_once(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "a.log").write_bytes(LOG)
    done = run_quarvel("info", "/dev/zero", "fifo", "a.log", cwd=tmp_path, timeout=120)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "quarvel info: cannot read /dev/zero: not a regular file (a character device); save it to a file first",
        "quarvel info: cannot read fifo: not a regular file (a pipe); save it to a file first",
    ]
    assert done.stdout.startswith("a.log: 1 block, 200024 bytes\n")
