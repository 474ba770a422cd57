#!/usr/bin/env python3
"""The hostile-input suite: every case of python/tests/hostile_logs.py is
given to every face of quarvel, each run in a fresh copy of the case's
files, with a time limit (a hang), a limit of address space (unbounded
memory) and of file size (an endless output). Each face must give its
documented result or a clear error: never death by a signal, a Python
traceback, an Octave error other than the reader's own, a changed or
touched input file, or a file it should not create.

The faces: the converter (`quarvel -q -- FILES`, and with -d), the Python reader
(tests/hostile_python.py reads every block), `python3 -m quarvel info`,
`python3 -m quarvel plot -o OUT.png` (once per file), `python3 -m quarvel
plot --coverage -o OUT.png` (once, on every file), `python3 -m quarvel
check --json OUT --html OUT` (once, on every file), the Octave reader
(matlab/tests/hostile_read.m) and contrib/quarvel-merge.

Usage: /usr/bin/python3 tests/hostile.py [-k TEXT] [-v] [--faces FACE...]
  -k TEXT  only the cases whose name contains TEXT
  -v       print every run's standard output and error
  --faces  only these of quarvel, quarvel-d, reader, info, plot, coverage,
           check, octave, merge
The converter is $QUARVEL_TEST_BINARY, else build/quarvel. Exit status: 0 when every
face did what it must on every case (and every known failure below still
failed), 1 otherwise, 77 (skipped) without numpy or a converter, or when
Octave or matplotlib is missing (the other faces still run)."""

from __future__ import annotations

import argparse
import ctypes
import errno
import hashlib
import importlib.util
import json
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python" / "tests"))

try:
    import numpy  # noqa: F401 - the generator needs it
except ImportError:
    print(f"skipped: {sys.executable} cannot import numpy")
    sys.exit(77)

from hostile_logs import (  # noqa: E402
    CASES,
    DEVICE,
    EXAMPLE_RECORDS,
    FIFO,
    FOLDER,
    LOG,
    MISSING,
    READ_AS_OPENED,
    TEXT,
    UNREADABLE,
    Case,
    Operand,
    as_campaign,
    remove_case_folder,
)
from message_copies import read_messages  # noqa: E402

MESSAGES = read_messages()  # the converter's, from src/messages.h

FACES = ("quarvel", "quarvel-d", "reader", "info", "plot", "coverage", "check", "octave", "merge")
# A run that takes more CPU time than this, or more wall-clock time than
# the other (one blocked for ever, say), hangs. On a busy machine a run
# gets a fraction of a CPU: the wall-clock limit is generous.
CPU_SECONDS = 30
TIMEOUT = 120
# Bytes of any file a run writes: /dev/zero is endless. The largest output
# that is right is info's report of a million blocks, 98 MB.
FILE_SIZE = 128 << 20
# Bytes of address space a run may have (the forked Python faces: may
# add to what their parent has). The largest file of a case is 24 MB:
# a face that needs 1 GiB more for one takes memory out of bounds.
MEMORY: dict[str, int | None] = {
    "quarvel": 1 << 30,
    "quarvel-d": 1 << 30,
    "info": 1 << 30,
    "merge": 1 << 30,
    "octave": 2 << 30,  # its struct array of a million blocks takes 0.8 GB
    "reader": 1 << 30,
    "plot": 1 << 30,
    "coverage": 1 << 30,
    "check": 1 << 30,
}
# check writes its JSON for cases of fewer blocks: a million empty ones
# would make 300 MB of it.
CHECK_JSON_BLOCKS = 100_000
PARALLEL = 2  # runs at once: the machine is shared

# Faults known and not yet mended: the (case, face) runs that still fail,
# each with a one-line reason. An entry whose run passes fails the suite, so
# that it is removed with its mend.
KNOWN_FAILURES: dict[tuple[str, str], str] = {}


@dataclass
class Run:
    """One process of a face: its command, and what it left."""

    face: str
    command: list[str]
    out: Path  # prefix of its .stdout, .stderr and .status files
    status: int | None = None  # negative: the signal that ended it
    hung: bool = False
    stdout: bytes = b""
    stderr: bytes = b""


@dataclass
class Job:
    """One face on one case, in its own copy of the case's files."""

    case: Case
    face: str
    folder: Path  # the case's files: the face's current folder
    out: Path  # the face's output files
    operands: list[Operand]
    runs: list[Run] = field(default_factory=list)
    before: dict = field(default_factory=dict)
    writers: list[subprocess.Popen] = field(default_factory=list)


def main() -> int:
    parser = argparse.ArgumentParser(description="Runs every face of quarvel on hostile input files.")
    parser.add_argument("-k", default="", metavar="TEXT", help="only the cases whose name contains TEXT")
    parser.add_argument("-v", action="store_true", help="print every run's output")
    parser.add_argument("--faces", nargs="+", choices=FACES, default=FACES, help="only these faces")
    args = parser.parse_args()

    converter = Path(os.environ.get("QUARVEL_TEST_BINARY", ROOT / "build" / "quarvel")).resolve()
    if not converter.exists():
        print(f"skipped: no converter at {converter}: build it, or set QUARVEL_TEST_BINARY")
        return 77
    if b"__asan_init" in converter.read_bytes():  # AddressSanitizer reserves terabytes of address space
        for face in ("quarvel", "quarvel-d"):
            MEMORY[face] = None
    octave = shutil.which(os.environ.get("OCTAVE", "octave"))
    no_matplotlib = importlib.util.find_spec("matplotlib") is None
    missing = {"octave": not octave, "plot": no_matplotlib, "coverage": no_matplotlib, "check": no_matplotlib}
    skipped = []
    why_not = f"{sys.executable} cannot import matplotlib"
    for face, why in (("octave", "Octave not found"), ("plot", why_not), ("coverage", why_not), ("check", why_not)):
        if missing[face] and face in args.faces:
            skipped.append(f"skipped: {why}: the {face} face did not run")
    faces = [face for face in FACES if face in args.faces and not missing.get(face)]
    cases = [case for case in CASES if args.k in case.name]

    started = time.monotonic()
    scratch = Path(tempfile.mkdtemp(prefix="quarvel-hostile-"))
    jobs: list[Job] = []
    try:
        env = face_environment(scratch)
        for case in cases:
            jobs += [make_job(case, face, scratch, converter, octave) for face in faces if runs_case(face, case)]
        run_all(jobs, env, scratch)
        verdicts = {(job.case.name, job.face): check(job) for job in jobs}
        python_faces = read_bytes(str(scratch / "python-faces.stderr"))
    finally:
        for job in jobs:
            stop_writers(job)
        remove_case_folder(scratch)
    if python_faces:
        print("the Python faces' process wrote: " + show(python_faces[-2000:]))
    status = report(cases, faces, verdicts, jobs, args.v, time.monotonic() - started)
    # A face left out is a suite that did not run whole: reported as skipped
    # (CTest's 77), which fails a CI run, rather than as passed.
    print("\n".join(skipped))
    return 77 if status == 0 and skipped else status


def runs_case(face: str, case: Case) -> bool:
    return case.faces is None or face in case.faces


def face_environment(scratch: Path) -> dict[str, str]:
    """The environment of every face: time zone and locale pinned (a UTF-8
    one, where a name that is not UTF-8 is a real test), and the Python
    package of this source tree."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LC_", "LANG", "PYTHON"))}
    env.update(
        TZ="UTC",
        LC_ALL="C.UTF-8",
        PYTHONPATH=str(ROOT / "python"),
        PYTHONDONTWRITEBYTECODE="1",
        # Python's standard output as under a UTF-8 locale such as
        # en_US.UTF-8, which refuses to write a name that is not UTF-8
        # (under C.UTF-8 Python escapes it instead).
        PYTHONIOENCODING="utf-8:strict",
        OPENBLAS_NUM_THREADS="1",  # its threads would reserve address space
        MPLCONFIGDIR=str(scratch / "matplotlib"),
    )
    return env


def make_job(case: Case, face: str, scratch: Path, converter: Path, octave: str | None) -> Job:
    """Makes the case's files for one face, and the face's command lines."""
    top = scratch / case.name / face
    folder, out = top / "files", top / "out"
    folder.mkdir(parents=True)
    out.mkdir()
    case.make(folder)
    operands = case.merge_operands if face == "merge" and case.merge_operands is not None else case.operands
    job = Job(case, face, folder, out, operands)
    names = [o.name for o in operands]
    if face in ("quarvel", "quarvel-d"):
        debug = ["-d"] if face == "quarvel-d" else []
        job.runs = [Run(face, [str(converter), *case.converter_options, *debug, "--", *names], out / "run")]
    elif face == "info":
        job.runs = [Run(face, [sys.executable, "-m", "quarvel", "info", "--", *names], out / "run")]
    elif face == "merge":
        job.runs = [Run(face, [str(ROOT / "contrib" / "quarvel-merge"), "--", *names], out / "run")]
    elif face == "octave":
        listing = out / "names"
        listing.write_bytes(b"".join(os.fsencode(name) + b"\0" for name in names))
        code = (
            f"addpath({octave_text(ROOT / 'matlab')}, {octave_text(ROOT / 'matlab' / 'tests')}); "
            f"warning('off', 'backtrace'); "
            f"hostile_read({octave_text(listing)}, {octave_text(case.octave_path or '')})"
        )
        # Without --no-history, an Octave whose home lacks ~/.local/share
        # reports an error on exit when it cannot save its history.
        command = [octave or "octave", "--no-gui", "--no-window-system", "--quiet", "--no-init-file", "--no-history"]
        command += ["--eval", code]
        job.runs = [Run(face, command, out / "run")]
    elif face == "reader":
        job.runs = [Run(face, names, out / "run")]
    elif face == "plot":
        pictures = [case.plot_output or str(out / f"{i}.png") for i in range(len(names))]
        job.runs = [Run(face, ["plot", "-o", pictures[i], "--", name], out / str(i)) for i, name in enumerate(names)]
    elif face == "coverage":
        picture = case.plot_output or str(out / "coverage.png")
        job.runs = [Run(face, ["plot", "--coverage", "-o", picture, "--", *names], out / "run")]
    elif face == "check":
        reports = ["--html", str(out / "check.html")]
        if sum(o.blocks for o in operands) < CHECK_JSON_BLOCKS:
            reports += ["--json", str(out / "check.json")]
        job.runs = [Run(face, ["check", *reports, "--", *names], out / "run")]
    job.before = snapshot(folder)
    if case.appended:  # what the file must hold after the run
        name, data = case.appended
        _, size, _, mode, _ = job.before[name]
        after = hashlib.sha256(read_bytes(str(folder / name)) + data).hexdigest()
        job.before[name] = ("file", size + len(data), None, mode, after)
    return job


def octave_text(text: object) -> str:
    return "'" + str(text).replace("'", "''") + "'"


# --- Running -----------------------------------------------------------------


PYTHON_FACES = ("reader", "plot", "coverage", "check")


def run_all(jobs: list[Job], env: dict[str, str], scratch: Path) -> None:
    """Runs every job, PARALLEL processes at a time: the Python faces in
    one process that forks a child per run, the others one process each."""
    python_jobs = [job for job in jobs if job.face in PYTHON_FACES]
    # The biggest cases first, so that the small ones fill in at the end.
    pending = sorted((job for job in jobs if job.face not in PYTHON_FACES), key=lambda job: -case_bytes(job))
    active: list[tuple[subprocess.Popen, float, list[Job], Run | None]] = []
    if python_jobs:
        active.append(start_python_faces(python_jobs, env, scratch))
    while pending or active:
        while pending and len(active) < PARALLEL:
            job = pending.pop(0)
            start_writers(job)
            (r,) = job.runs
            process = start(r.command, env, job.folder, r.out, MEMORY[job.face])
            active.append((process, time.monotonic() + TIMEOUT, [job], r))
        time.sleep(0.01)
        still = []
        for entry in active:
            process, deadline, group, r = entry
            if process.poll() is None:
                if time.monotonic() < deadline:
                    still.append(entry)
                    continue
                kill(process)
                if r is not None:
                    r.hung = True
            for job in group:
                for each in job.runs:
                    collect(each, process if r is not None else None)
                stop_writers(job)
        active = still


def case_bytes(job: Job) -> int:
    return sum(entry[1] for entry in job.before.values() if entry[0] == "file")


def start_python_faces(jobs: list[Job], env: dict[str, str], scratch: Path):
    """Starts tests/hostile_python.py on every run of the Python faces."""
    plan = scratch / "python-runs.jsonl"
    with plan.open("w", encoding="utf-8") as lines:
        for job in jobs:
            start_writers(job)
            for r in job.runs:
                entry = {
                    "face": job.face,
                    "cwd": str(job.folder),
                    "args": r.command,
                    "out": str(r.out),
                    "change": job.case.change if job.face == "reader" else None,
                    "timeout": TIMEOUT,
                    "cpu": CPU_SECONDS,
                    "memory": MEMORY[job.face],
                }
                lines.write(json.dumps(entry) + "\n")
    command = [sys.executable, str(ROOT / "tests" / "hostile_python.py"), str(plan)]
    process = start(command, env, None, scratch / "python-faces", None)
    # Each run has its own time limit; this is the sum, with a minute to spare.
    deadline = time.monotonic() + TIMEOUT * sum(len(job.runs) for job in jobs) + 60
    return process, deadline, jobs, None


def start(command: list[str], env: dict[str, str], cwd: Path | None, out: Path, memory: int | None) -> subprocess.Popen:
    """Starts a process with its output in OUT.stdout and OUT.stderr."""
    with open(f"{out}.stdout", "wb") as stdout, open(f"{out}.stderr", "wb") as stderr:
        return subprocess.Popen(
            command,
            cwd=cwd,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=stderr,
            start_new_session=True,
            preexec_fn=lambda: limit_child(memory, cpu=memory is not None),
        )


# The C library, to drop root's powers over file permissions in a child:
# loaded before any fork.
LIBC = ctypes.CDLL(None, use_errno=True) if os.geteuid() == 0 else None


def limit_child(memory: int | None, cpu: bool = True) -> None:
    """In the child, before exec: the limits of a run, and for root no power
    to read or write files that its permissions refuse (so that a read-only
    folder is one)."""
    if memory is not None:
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE, FILE_SIZE))
    if cpu:
        resource.setrlimit(resource.RLIMIT_CPU, (CPU_SECONDS, CPU_SECONDS + 5))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead
    if LIBC is not None:
        pr_capbset_drop, cap_dac_override, cap_dac_read_search = 24, 1, 2
        for capability in (cap_dac_override, cap_dac_read_search):
            if LIBC.prctl(pr_capbset_drop, capability, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")


def kill(process: subprocess.Popen) -> None:
    """Ends a process that hangs, and every process of its session."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def collect(r: Run, process: subprocess.Popen | None) -> None:
    r.stdout = read_bytes(f"{r.out}.stdout")
    r.stderr = read_bytes(f"{r.out}.stderr")
    if process is not None:
        r.status = process.returncode
        return
    text = read_bytes(f"{r.out}.status").decode().strip()
    r.status = int(text) if text else None
    r.hung = r.status == -signal.SIGALRM  # the child's alarm: it hung


def read_bytes(path: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except FileNotFoundError:
        return b""


def start_writers(job: Job) -> None:
    """Starts a writer that feeds each FIFO of the job: it waits until a
    face opens the FIFO, appends the case's `appended` bytes to their
    file, feeds the FIFO, and is stopped when the face is done."""
    for operand in job.operands:
        if operand.kind != FIFO:
            continue
        feed, more = job.out / "feed", job.out / "appended"
        feed.write_bytes(job.case.feed)
        name, data = job.case.appended or (os.devnull, b"")
        more.write_bytes(data)
        script = 'exec 3> "$2" && cat -- "$3" >> "$4" && exec cat -- "$1" >&3'
        job.writers.append(
            subprocess.Popen(
                ["sh", "-c", script, "sh", str(feed), str(job.folder / operand.name), str(more), str(job.folder / name)],
                stdin=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                start_new_session=True,
            )
        )


def stop_writers(job: Job) -> None:
    for writer in job.writers:
        if writer.poll() is None:
            kill(writer)
    job.writers = []


# --- What the files were, and are ----------------------------------------------


def snapshot(folder: Path) -> dict[str, tuple]:
    """Every entry under `folder` (links not followed): its kind, and for a
    file its size, modification time, mode and SHA-256."""
    entries = {}
    for root, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(root, name)
            info = os.lstat(path)
            key = os.path.relpath(path, folder)
            if stat.S_ISREG(info.st_mode):
                entries[key] = ("file", info.st_size, info.st_mtime_ns, info.st_mode, digest(path))
            elif stat.S_ISLNK(info.st_mode):
                entries[key] = ("link", os.readlink(path))
            else:
                entries[key] = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode))
    return entries


def digest(path: str) -> str:
    try:
        with open(path, "rb") as file:
            return hashlib.sha256(file.read()).hexdigest()
    except PermissionError:  # made unreadable on purpose: its size and time must do
        return "unreadable"


def file_problems(job: Job, outputs: set[str]) -> list[str]:
    """The inputs the face changed, and the files it made besides `outputs`."""
    after = snapshot(job.folder)
    problems = []
    for name, entry in job.before.items():
        if name in outputs:
            continue
        if name not in after:
            problems.append(f"removed {name!r}")
        elif after[name] != entry and (entry[2] is not None or after[name][:2] + after[name][3:] != entry[:2] + entry[3:]):
            problems.append(f"touched input {name!r}")  # a time of None: appended to meanwhile, any time will do
    for name in after.keys() - job.before.keys() - outputs:
        problems.append(f"made {name!r}")
    return problems


# --- What each face must do -------------------------------------------------------

FAILED_OPEN = (MISSING, FOLDER, UNREADABLE)


def check(job: Job) -> list[str]:
    """The ways in which the face failed on the case: none when it passed."""
    problems = []
    for r in job.runs:
        problems += run_problems(r)
    if problems:  # a crash or hang says all
        return problems
    checker = {
        "quarvel": check_converter,
        "quarvel-d": check_converter,
        "reader": check_reader,
        "info": check_info,
        "plot": check_plot,
        "coverage": check_coverage,
        "check": check_check,
        "octave": check_octave,
        "merge": check_merge,
    }[job.face]
    problems += checker(job)
    outputs: set[str] = set()
    if job.face in ("quarvel", "quarvel-d"):
        outputs = set(converter_outputs(job))
    if job.face == "reader" and job.case.change:
        return problems  # the reader's file changes on purpose
    return problems + file_problems(job, outputs)


def run_problems(r: Run) -> list[str]:
    if r.hung:
        return [f"hung: no end within {TIMEOUT} s"]
    if r.status == -signal.SIGXCPU:
        return [f"hung: more than {CPU_SECONDS} s of CPU time"]
    if r.status is None:
        return ["no status: the run did not end"]
    if r.status < 0:
        return [f"killed by {signal.Signals(-r.status).name}"]
    if b"Traceback (most recent call last)" in r.stderr:
        return ["Python traceback: " + last_line(r.stderr)]
    if r.face == "octave" and re.search(rb"^error: ", r.stderr, re.M):
        return ["Octave error: " + first_match(rb"^error: .*$", r.stderr)]
    return []


def last_line(data: bytes) -> str:
    lines = data.decode(errors="backslashreplace").strip().splitlines()
    return lines[-1] if lines else ""


def first_match(pattern: bytes, data: bytes) -> str:
    found = re.search(pattern, data, re.M)
    return found.group(0).decode(errors="backslashreplace") if found else ""


def show(data: bytes) -> str:
    return repr(data.decode(errors="backslashreplace"))


def converter_outputs(job: Job) -> list[str]:
    if job.case.converter is not None:
        return sorted(job.case.converter.created)
    return [o.name + ".txt" for o in job.operands if o.kind in (LOG, FIFO, DEVICE)]


# The reason that -d gives for an input that cannot be opened.
OPEN_REASONS = {MISSING: errno.ENOENT, FOLDER: errno.EISDIR, UNREADABLE: errno.EACCES}


def check_converter(job: Job) -> list[str]:
    """The converter's exact standard error and status, the text files it
    made, and under -d a "processing file" line for each file and a
    "reason" line after each open failure."""
    r = job.runs[0]
    debug = job.face == "quarvel-d"
    lines = []
    refusal = job.case.converter
    for o in job.operands:
        if refusal is not None and o.name == refusal.operand:
            lines.append(MESSAGES["OPEN_OUTPUT_FAILED"] % (o.name + ".txt"))
            if debug:
                reason = MESSAGES["OUTPUT_IS_ANOTHER_INPUT"] if refusal.error is None else os.strerror(refusal.error)
                lines.append(MESSAGES["OPEN_REASON"] % reason)
        elif o.kind in FAILED_OPEN:
            lines.append(MESSAGES["OPEN_INPUT_FAILED"] % o.name)
            if debug:
                lines.append(MESSAGES["OPEN_REASON"] % os.strerror(OPEN_REASONS[o.kind]))
        elif o.kind == TEXT or o.starts_as_text:
            lines.append(MESSAGES["INPUT_IS_OWN_TEXT"] % o.name)
        elif o.kind == DEVICE:  # endless: the file-size limit stops it, as a full disk would
            lines.append(MESSAGES["WRITE_FAILED"] % (o.name + ".txt"))
        elif o.truncated:
            lines.append(MESSAGES["TRUNCATED_BLOCK"] % (o.name, *o.truncated))
    stderr = os.fsencode("".join(lines))
    status = 1 if re.search(rb"^(failed|input file)", stderr, re.M) else 0
    problems = []
    if r.status != status:
        problems.append(f"status {r.status}, expected {status}")
    if r.stderr != stderr:
        problems.append(f"standard error {show(r.stderr)}, expected {show(stderr)}")
    stdout = os.fsencode("".join(f"processing file: {o.name}\n" for o in job.operands)) if debug else b""
    if r.stdout != stdout:
        problems.append(f"standard output {show(r.stdout)}, expected {show(stdout)}")
    for o in job.operands:
        path = job.folder / (o.name + ".txt")
        if o.kind in (LOG, FIFO) and o.text is not None and (o.name + ".txt") in converter_outputs(job):
            if not path.exists() or path.read_bytes() != o.text:
                problems.append(f"the text of {o.name!r} is not the converter's text of it")
    return problems


READER_ERRORS = {MISSING: "FileNotFoundError", FOLDER: "IsADirectoryError", UNREADABLE: "PermissionError"}


def check_reader(job: Job) -> list[str]:
    lines = job.runs[0].stdout.decode(errors="backslashreplace").splitlines()
    if len(lines) != len(job.operands):
        return [f"{len(lines)} lines for {len(job.operands)} files: {lines}"]
    problems = []
    for o, line in zip(job.operands, lines):
        good = f"ok {o.blocks} {o.samples}"
        if o.kind == LOG:
            allowed = [re.escape(good)]
            if job.case.change not in (None, *READ_AS_OPENED):  # or a clear error, naming the file
                allowed.append(r"error \w+ named")
        elif o.kind == TEXT:
            allowed = [r"ok \d+ \d+"]
        elif o.kind in READER_ERRORS:
            allowed = [f"error {READER_ERRORS[o.kind]} named"]
        elif o.kind == DEVICE:  # endless: only an error can end it
            allowed = [r"error \w+ named"]
        else:  # a FIFO: the blocks of its bytes, or a clear error
            allowed = [re.escape(good), r"error \w+ named"]
        if not any(re.fullmatch(pattern, line) for pattern in allowed):
            problems.append(f"{o.name!r}: {line!r}, expected {' or '.join(allowed)}")
    return problems


def check_info(job: Job) -> list[str]:
    r = job.runs[0]
    operands = as_campaign(job.operands)
    failing = sum(o.kind in (*FAILED_OPEN, DEVICE) for o in operands)
    uncertain = any(o.kind in (FIFO, TEXT) for o in operands)
    problems = []
    statuses = {1 if failing else 0} | ({1} if any(o.kind == FIFO for o in operands) else set())
    if r.status not in statuses:
        problems.append(f"status {r.status}, expected {' or '.join(map(str, sorted(statuses)))}")
    errors = r.stderr.decode(errors="backslashreplace").splitlines()
    if any(not line.startswith("quarvel info: ") for line in errors):
        problems.append(f"standard error {show(r.stderr)}: not each line 'quarvel info: ...'")
    if len(errors) != failing and not uncertain:
        problems.append(f"{len(errors)} lines on standard error for {failing} files that cannot be read")
    report = r.stdout.decode(errors="backslashreplace").splitlines()
    if not uncertain:
        # A line per file, then a row per block under a row of titles; a
        # blank line and the summary's two lines end it.
        expected = sum(1 + (o.blocks + 1 if o.blocks else 0) for o in operands if o.kind == LOG) + 3
        if len(report) != expected:
            problems.append(f"{len(report)} lines of report, expected {expected}: is a name not escaped?")
    for o in operands:
        if o.kind == LOG and o.name.isprintable() and o.name.isascii():
            head = f"{o.name}: {o.blocks} block{'' if o.blocks == 1 else 's'}, "
            if not any(line.startswith(head) for line in report):
                problems.append(f"no line '{head}...' in the report")
    for o in job.operands:
        if o.again and any(line.startswith(f"{o.name}: ") for line in report):
            problems.append(f"{o.name!r} is in the report, though it names a file named before")
    return problems


def check_plot(job: Job) -> list[str]:
    problems = []
    for i, (o, r) in enumerate(zip(job.operands, job.runs)):
        picture = job.out / f"{i}.png"
        drawn = r.status == 0 and picture.exists() and picture.stat().st_size > 0
        stderr = r.stderr
        # One line that says what failed: the name in it may hold newlines.
        refused = (
            r.status == 1
            and stderr.startswith(b"quarvel plot: ")
            and stderr.endswith(b"\n")
            and stderr.count(b"\n") <= 1 + o.name.count("\n")
        )
        if job.case.plot_output:  # the picture would be written over an input
            ok, want = refused and b"cannot write" in stderr, "one line 'quarvel plot: cannot write ...' and status 1"
        elif o.kind == LOG and o.samples > 0 and not o.plot_may_fail:
            ok, want = drawn, "a picture and status 0"
        elif (o.kind == LOG and o.samples == 0) or o.kind in (*FAILED_OPEN, DEVICE):
            ok, want = refused, "one line 'quarvel plot: ...' and status 1"
        else:
            ok, want = drawn or refused, "a picture and status 0, or one line and status 1"
        if not ok:
            problems.append(f"{o.name!r}: status {r.status}, standard error {show(stderr)}; expected {want}")
    return problems


def check_coverage(job: Job) -> list[str]:
    """A picture whatever the files, and a line 'quarvel plot: ...' for
    each that cannot be read (a name's newlines are escaped in it)."""
    r = job.runs[0]
    if job.case.plot_output:  # the picture would be written over an input: nothing read, nothing drawn
        if r.status == 1 and r.stderr.startswith(b"quarvel plot: cannot write ") and r.stderr.count(b"\n") == 1:
            return []
        return [f"status {r.status}, standard error {show(r.stderr)}: expected one line 'quarvel plot: cannot write"
                " ...' and status 1"]  # fmt: skip
    failing = sum(o.kind in (*FAILED_OPEN, DEVICE, FIFO) for o in as_campaign(job.operands))
    problems = []
    if r.status != (1 if failing else 0):
        problems.append(f"status {r.status}, expected {1 if failing else 0}")
    errors = r.stderr.decode(errors="backslashreplace").splitlines()
    if len(errors) != failing or any(not line.startswith("quarvel plot: cannot read ") for line in errors):
        problems.append(f"standard error {show(r.stderr)}: expected a line 'quarvel plot: cannot read ...' per file"
                        f" that cannot be read ({failing})")  # fmt: skip
    picture = job.out / "coverage.png"
    if not picture.exists() or picture.read_bytes()[:8] != b"\x89PNG\r\n\x1a\n":
        problems.append("no picture")
    return problems


def check_check(job: Job) -> list[str]:
    """Status 1 when a file cannot be read, else 0 or 2 as the JSON finds
    nothing or a problem; a line 'quarvel check: ...' per file that cannot
    be read; in the JSON, each log's blocks, and each other file apart with
    why; an HTML page without script, in which no name is left unescaped."""
    r = job.runs[0]
    operands = as_campaign(job.operands)
    failing = [o.name for o in operands if o.kind in (*FAILED_OPEN, DEVICE, FIFO)]
    others = [o.name for o in operands if o.kind == TEXT or o.starts_as_text]
    problems = []
    errors = r.stderr.decode(errors="backslashreplace").splitlines()
    if len(errors) != len(failing) or any(not line.startswith("quarvel check: cannot read ") for line in errors):
        problems.append(f"standard error {show(r.stderr)}: expected a line 'quarvel check: cannot read ...' per file"
                        f" that cannot be read ({len(failing)})")  # fmt: skip
    statuses = {1} if failing else {0, 2}
    report = job.out / "check.json"
    if report.exists():
        found = json.loads(report.read_text(encoding="utf-8"))
        flagged = any(block[name] for block in found["blocks"] for name in ("clipped", "stuck", "dead", "cut_short"))
        flagged |= any(c["gaps"] or c["overlaps"] or c["out_of_order"] for c in found["channels"])
        statuses = {1} if failing else {2 if flagged else 0}
        apart = {(f["path"], f["problem"]) for f in found["files"]}
        wanted = {(name, "unreadable") for name in failing} | {(name, "not_a_log") for name in others}
        if apart != wanted or found["status"] not in statuses:
            problems.append(f"JSON files {sorted(apart)} and status {found['status']}, expected {sorted(wanted)}")
        for o in job.operands:
            blocks = sum(block["path"] == o.name for block in found["blocks"])
            if o.again and blocks:
                problems.append(f"{o.name!r}: {blocks} blocks in the JSON, though it names a file named before")
        for o in operands:
            blocks = sum(block["path"] == o.name for block in found["blocks"])
            if o.kind == LOG and not o.starts_as_text and blocks != o.blocks:
                problems.append(f"{o.name!r}: {blocks} blocks in the JSON, expected {o.blocks}")
    if r.status not in statuses:
        problems.append(f"status {r.status}, expected {' or '.join(map(str, sorted(statuses)))}")
    page = read_bytes(str(job.out / "check.html"))
    if not page.startswith(b"<!DOCTYPE html>") or b"<script" in page:
        problems.append("no HTML report, or one with a script")
    for o in job.operands:
        if re.search('[<>&"\n]', o.name) and os.fsencode(o.name) in page:
            problems.append(f"{o.name!r} is in the HTML report as it is, unescaped")
    return problems


def check_octave(job: Job) -> list[str]:
    r = job.runs[0]
    problems = []
    truncated = "warning: " + MESSAGES["TRUNCATED_BLOCK"].split("%s")[0]  # the reader warns as the converter says
    for line in r.stderr.decode(errors="backslashreplace").splitlines():
        if line.startswith("warning: ") and not line.startswith(truncated):
            problems.append(f"Octave {line}")
    lines = r.stdout.decode(errors="backslashreplace").splitlines()
    if r.status != 0 or len(lines) != len(job.operands):
        return problems + [f"status {r.status}, {len(lines)} lines for {len(job.operands)} files: {lines}"]
    for o, line in zip(job.operands, lines):
        if o.kind == LOG:
            allowed = f"ok {o.blocks} {o.samples}"
        elif o.kind == TEXT:
            allowed = r"ok \d+ \d+"
        else:  # streams and devices too: the reader reads files only
            allowed = "error quarvel:open"
        if not re.fullmatch(allowed, line):
            problems.append(f"{o.name!r}: {line!r}, expected {allowed!r}")
    return problems


def csv_field(text: str) -> str:
    if re.search('[",\r\n]', text):
        return '"' + text.replace('"', '""') + '"'
    return text


def check_merge(job: Job) -> list[str]:
    r = job.runs[0]
    rows, errors = [], []
    for o in job.operands:
        name = re.escape(os.fsencode(o.name))
        if o.kind == TEXT:
            rows += [f"{csv_field(o.name)},1,{record}\n" for record in EXAMPLE_RECORDS]
        elif o.kind in (MISSING, UNREADABLE):
            errors.append(b"quarvel-merge: cannot read " + name + b"\n")
        elif o.kind in (FOLDER, DEVICE):
            errors.append(b"quarvel-merge: cannot read " + name + b": it is a " + o.kind.encode() + b"\n")
        elif o.starts_as_text:
            rows.append(f"{csv_field(o.name)},1,\n")
            errors.append(b"quarvel-merge: " + name + rb" is not a text file written by quarvel \(line 2\)" + b"\n")
        elif not o.empty:  # a log, also through a FIFO; an empty one has no line to refuse
            errors.append(b"quarvel-merge: " + name + rb" is not a text file written by quarvel \(line \d+\)" + b"\n")
    problems = []
    status = 1 if errors else 0
    if r.status != status:
        problems.append(f"status {r.status}, expected {status}")
    if not re.fullmatch(b"".join(errors), r.stderr):
        problems.append(f"standard error {show(r.stderr)}")
    expected = os.fsencode("".join(rows))
    if r.stdout != expected:
        problems.append(f"standard output {show(r.stdout[:300])}, expected {show(expected)}")
    return problems


# --- The report ---------------------------------------------------------------------


def report(cases, faces, verdicts, jobs, verbose: bool, seconds: float) -> int:
    """Prints the table of cases and faces, and every failure; returns the
    exit status."""
    results: dict[tuple[str, str], str] = {}
    failures = []
    for key, problems in verdicts.items():
        known = KNOWN_FAILURES.get(key)
        if problems and known:
            results[key] = "xfail"
        elif problems:
            results[key] = "FAIL"
            failures.append(f"{key[0]} / {key[1]}: " + "; ".join(problems))
        elif known:
            results[key] = "XPASS"
            failures.append(f"{key[0]} / {key[1]}: passes, but is listed in KNOWN_FAILURES ({known}): remove it")
        else:
            results[key] = "ok"
    outcomes = {(job.case.name, job.face): outcome(job) for job in jobs}
    width = max(len(case.name) for case in cases)
    print(f"{'case':<{width}}  " + "  ".join(f"{face:<13}" for face in faces))
    for case in cases:
        cells = []
        for face in faces:
            key = (case.name, face)
            cells.append(f"{outcomes[key] + ' ' + results[key] if key in results else '-':<13}")
        print(f"{case.name:<{width}}  " + "  ".join(cells))
    print("(each cell: the exit status of each run of the face, then ok, FAIL, xfail or XPASS)")
    if verbose:
        for job in jobs:
            for r in job.runs:
                print(f"--- {job.case.name} ({job.case.about}) / {job.face}: status {r.status}")
                print("stdout: " + show(r.stdout[:2000]))
                print("stderr: " + show(r.stderr[:2000]))
    known = [key for key in KNOWN_FAILURES if key in verdicts]
    if known:
        print(f"\nknown failures ({len(known)}), mended elsewhere:")
        for key in known:
            print(f"  {key[0]} / {key[1]}: {KNOWN_FAILURES[key]}")
            if verdicts[key]:
                print("    " + "; ".join(verdicts[key])[:300])
    if failures:
        print(f"\nFAILED ({len(failures)}):")
        for line in failures:
            print("  " + line)
    runs = sum(len(job.runs) for job in jobs)
    print(f"\nhostile: {len(cases)} cases, {len(faces)} faces, {runs} runs in {seconds:.1f} s; "
          f"{len(failures)} failed, {sum(r == 'xfail' for r in results.values())} known failures")
    return 1 if failures else 0


def outcome(job: Job) -> str:
    return ",".join("hang" if r.hung else str(r.status) for r in job.runs)


if __name__ == "__main__":
    sys.exit(main())
