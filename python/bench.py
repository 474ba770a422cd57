"""Measures the Python reader against the ways of getting the same numbers
through quarvel's text, side by side in one run.

    /usr/bin/python3 python/bench.py [--quarvel build/quarvel] [--runs 5] [--dir DIR] [--only ...]
                                     [--baseline DIR]

Workloads:
  big     one log of 8,389,608 samples in 8 blocks (the shape of scripts/bench's
          big file): open + values() + times() for every block, against
          (a) np.fromfile(dtype=">i2").astype(np.float32) of the file,
          (b) quarvel -qt then pandas.read_csv of the text,
          (c) numpy.loadtxt of that text.
  files   2,000 logs of one 500-sample block: `python3 -m quarvel info`
          against `quarvel -q` converting them.
  sparse  an 8 GB sparse log of two blocks: open and read a slice of one.
  index   quarvel.index() of a log of a million empty headers, against
          `quarvel -q -S` on it; and of 2,000 one-block logs, against a
          loop that opens each and reads its first 24 bytes.

With --baseline DIR, the big and sparse readings, and the big log's
to_dataframe(), are also timed with the quarvel package found in DIR
(another version of it), taking turns.

The logs come from the campaign of python/tests/logbuilder.py. Every measurement
runs in a fresh process, the programs taking turns; the figures are the best
wall time, the median CPU time, and the median peak memory: the growth of the
process's resident set while the measured code ran (the interpreter and numpy
not counted).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "tests"))
from logbuilder import BlockPlan, float_bits, write_campaign  # noqa: E402
BIG_SAMPLES = 8_389_608
SMALL_FILES = 2000
SMALL_SAMPLES = 500

# Each measured piece of work, run by `python3 bench.py --child NAME FILE`.
# It prints {"seconds": wall, "peak": bytes above the start, "arrays": bytes returned}.
CHILDREN = {
    "reader": """
import quarvel
with quarvel.open(path) as log:
    arrays = [(block.values(), block.times()) for block in log.blocks]
returned = sum(v.nbytes + t.nbytes for v, t in arrays)
""",
    "fromfile": """
values = np.fromfile(path, dtype=">i2").astype(np.float32)
returned = values.nbytes
""",
    "read_csv": """
subprocess.run([quarvel, "-qt", path], check=True)
frame = pandas.read_csv(path + ".txt", comment="%", header=None, names=["time", "calData"])
returned = frame.memory_usage(index=False).sum()
""",
    "loadtxt": """
data = np.loadtxt(path + ".txt", comments="%", delimiter=",")
returned = data.nbytes
""",
    "frame": """
import quarvel
with quarvel.open(path) as log:
    frame = log.to_dataframe()
returned = int(frame.memory_usage(index=False).sum())
""",
    "sparse": """
import quarvel
with quarvel.open(path) as log:
    part = log.blocks[1][1_000_000_000:1_000_100_000]
    arrays = part.values(), part.times(), part.raw.copy()
returned = sum(a.nbytes for a in arrays)
""",
}

# Workloads of the block index, as (setup, measured code): the setup runs
# before the clock starts and the peak is reset. `path` is a file, or the
# folder of the small logs.
INDEX_CHILDREN = {
    "index_headers": (
        "import pandas, quarvel",
        """
frame = quarvel.index(path)
returned = int(frame.memory_usage(index=False).sum())
blocks = len(frame)
""",
    ),
    "open_headers": (
        "import quarvel",
        """
with quarvel.open(path) as log:
    blocks = len(log.blocks)
returned = 0
""",
    ),
    "index_files": (
        "import glob, pandas, quarvel\npaths = sorted(glob.glob(path + '/*.002'))",
        """
frame = quarvel.index(paths)
returned = int(frame.memory_usage(index=False).sum())
blocks = len(frame)
""",
    ),
    "first_bytes": (
        "import glob\npaths = sorted(glob.glob(path + '/*.002'))",
        """
for name in paths:
    with open(name, "rb") as file:
        file.read(24)
returned = 0
""",
    ),
}
# Names another copy of the package for the measured children (--baseline).
PACKAGE_VARIABLE = "QUARVEL_BENCH_PACKAGE"


def resident() -> int:
    """Returns the current resident set size in bytes (Linux)."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident() -> int:
    """Returns the peak resident set size in bytes (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def run_child(name: str, path: str, quarvel: str) -> None:
    """Runs the measured code `name` on `path` and prints its figures."""
    import importlib

    # Imports are not what is measured: they are done before the clock starts.
    pandas = importlib.import_module("pandas") if name in ("read_csv", "frame") else None
    sys.path.insert(0, os.environ.get(PACKAGE_VARIABLE, str(HERE)))
    importlib.import_module("quarvel._reader")  # the package imports the reader when first used
    setup, code = INDEX_CHILDREN.get(name, ("", CHILDREN.get(name)))
    scope = {"np": np, "pandas": pandas, "subprocess": subprocess, "path": path, "quarvel": quarvel}
    exec(setup, scope)
    figures = run_measured(code, scope)
    print(json.dumps({**figures, "arrays": int(scope["returned"])}))


def run_measured(code: str, scope: dict) -> dict[str, float]:
    """Runs `code` in `scope`; returns its wall time ("seconds"), CPU time
    ("cpu") and the growth of the resident set's peak while it ran ("peak")."""
    # Reset the peak to the present so that only the measured code counts.
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = resident()
    cpu_before = cpu_seconds()
    start = time.perf_counter()
    exec(code, scope)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "cpu": cpu_seconds() - cpu_before, "peak": peak_resident() - before}


def cpu_seconds() -> float:
    """Returns the user and system time of this process and its finished children."""
    import resource

    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def measure(names: list[str], path: Path, quarvel: str, runs: int) -> dict[str, dict[str, float]]:
    """Runs each of `names` `runs` times in fresh processes, taking turns so
    that a busy moment of the machine hits them alike. Returns per name the
    best wall time, the median CPU time and the median peak memory."""
    results: dict[str, list[dict[str, float]]] = {name: [] for name in names}
    for _ in range(runs):
        for name in names:
            done = subprocess.run(
                [sys.executable, __file__, "--child", name, str(path), "--quarvel", quarvel],
                check=True,
                capture_output=True,
                text=True,
            )
            results[name].append(json.loads(done.stdout))
    return {
        name: {
            "seconds": min(r["seconds"] for r in rows),
            "cpu": statistics.median(r["cpu"] for r in rows),
            "peak": statistics.median(r["peak"] for r in rows),
            "arrays": rows[0]["arrays"],
        }
        for name, rows in results.items()
    }


def timed_processes(commands: dict[str, tuple[list[str], object]], runs: int) -> dict[str, tuple[float, float]]:
    """Runs each command `runs` times, taking turns, each after its setup
    function (or None). Returns per name the best wall time and the median
    CPU time (user + system)."""
    import resource
    import time

    walls: dict[str, list[float]] = {name: [] for name in commands}
    cpus: dict[str, list[float]] = {name: [] for name in commands}
    for _ in range(runs):
        for name, (command, setup) in commands.items():
            if setup is not None:
                setup()
            usage = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            walls[name].append(time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpus[name].append(after.ru_utime + after.ru_stime - usage.ru_utime - usage.ru_stime)
    return {name: (min(walls[name]), statistics.median(cpus[name])) for name in commands}


def bench_big(folder: Path, quarvel: str, runs: int) -> None:
    path = write_campaign(folder, varied=0, logs=1, samples=BIG_SAMPLES, blocks=8)["big"].paths[0]
    print(f"big: one log of {BIG_SAMPLES:,} samples in 8 blocks ({path.stat().st_size / 1e6:.1f} MB), {runs} runs each")
    print("  best wall time, median CPU time (user + system, children included) and median peak memory")
    rows = measure(["reader", "fromfile", "read_csv", "loadtxt"], path, quarvel, runs)
    reader = rows["reader"]
    labels = {
        "reader": "quarvel.open + values() + times()",
        "fromfile": "(a) np.fromfile + astype(float32)",
        "read_csv": "(b) quarvel -qt + pandas.read_csv",
        "loadtxt": "(c) numpy.loadtxt of the text",
    }
    heads = f"{'wall':>7} {'CPU':>7} {'wall/reader':>11} {'CPU/reader':>10}"
    heads += f" {'peak':>8} {'arrays':>8} {'peak/arrays':>11}"
    print(f"  {'':36} {heads}")
    for name, row in rows.items():
        print(
            f"  {labels[name]:36} {row['seconds']:6.3f}s {row['cpu']:6.3f}s {row['seconds'] / reader['seconds']:10.2f}x"
            f" {row['cpu'] / reader['cpu']:9.2f}x {row['peak'] / 1e6:6.1f}MB {row['arrays'] / 1e6:6.1f}MB"
            f" {row['peak'] / row['arrays']:10.2f}x"
        )


def bench_files(folder: Path, quarvel: str, runs: int) -> None:
    logs = folder / "small"
    written = write_campaign(folder, varied=0, small_logs=SMALL_FILES, small_samples=SMALL_SAMPLES)["small"]
    paths = [str(path) for path in written.paths]

    def remove_text() -> None:
        for text in logs.glob("*.txt"):
            text.unlink()

    info = [sys.executable, "-m", "quarvel", "info"]
    os.environ["PYTHONPATH"] = str(HERE)
    rows = timed_processes(
        {
            "quarvel -q (converts them)": ([quarvel, "-q", *paths], remove_text),
            "python3 -m quarvel info": ([*info, *paths], None),
            "python3 -m quarvel info --json": ([*info, "--json", *paths], None),
            "python3 -c pass": ([sys.executable, "-c", "pass"], None),
        },
        runs,
    )
    remove_text()
    convert = rows["quarvel -q (converts them)"]
    print(f"files: {SMALL_FILES:,} logs of one {SMALL_SAMPLES}-sample block, {runs} runs each, whole processes")
    print("  best wall time and median CPU time (user + system)")
    print(f"  {'':34} {'wall':>8} {'CPU':>8}  {'wall, CPU vs quarvel -q':>24}")
    for label, (wall, cpu) in rows.items():
        print(f"  {label:34} {wall:7.3f}s {cpu:7.3f}s  {wall / convert[0]:10.2f}x {cpu / convert[1]:10.2f}x")


def bench_sparse(folder: Path, quarvel: str, runs: int) -> None:
    path = folder / "sparse.002"
    write_sparse_log(path)
    size = path.stat().st_size
    row = measure(["sparse"], path, quarvel, runs)["sparse"]
    print(f"sparse: a {size / 1e9:.1f} GB sparse log, 100,000 samples of its second block from sample 10^9")
    print(f"  open + values() + times() + raw   {row['seconds']:7.3f}s  peak memory {row['peak'] / 1e6:.1f} MB")
    path.unlink()


def write_sparse_log(path: Path) -> None:
    """A log of two blocks of 2^31-1 samples each, written as a sparse file."""
    count = (1 << 31) - 1
    with open(path, "wb") as out:
        for b in range(2):
            out.write(BlockPlan(b, 1, 1796083200, gain_bits=float_bits(0.001), declared=count).header())
            out.seek(count * 2, os.SEEK_CUR)
        out.truncate()


def bench_index(folder: Path, quarvel: str, runs: int) -> None:
    """The block index against the converter's pass over the same headers,
    and against a loop that only opens files and reads their first header."""
    count = 1_000_000
    headers = write_campaign(folder / "index-headers", varied=0, headers=count)["headers"].paths[0]
    converter = timed_processes({"quarvel -q -S": ([quarvel, "-q", "-S", str(headers)], None)}, runs)["quarvel -q -S"]
    rows = measure(["index_headers", "open_headers"], headers, quarvel, runs)
    print(f"index: one log of {count:,} empty block headers ({headers.stat().st_size / 1e6:.0f} MB), {runs} runs each")
    print("  best wall time, median CPU time, median peak memory (index: imports excluded; converter: whole process)")
    print(f"  {'quarvel -q -S':36} {converter[0]:6.3f}s {converter[1]:6.3f}s")
    for name, label in (("index_headers", "quarvel.index(path)"), ("open_headers", "quarvel.open(path)")):
        row = rows[name]
        print(
            f"  {label:36} {row['seconds']:6.3f}s {row['cpu']:6.3f}s  {row['seconds'] / converter[0]:5.2f}x the"
            f" converter's wall time, peak {row['peak'] / count:5.1f} bytes a block"
        )
    headers.unlink()
    logs = folder / "index-logs"
    write_campaign(logs, varied=0, small_logs=SMALL_FILES, small_samples=SMALL_SAMPLES)
    logs = logs / "small"
    rows = measure(["first_bytes", "index_files"], logs, quarvel, runs)
    loop, index = rows["first_bytes"], rows["index_files"]
    print(f"index: {SMALL_FILES:,} logs of one {SMALL_SAMPLES}-sample block, {runs} runs each, imports excluded")
    print(f"  {'open each file, read 24 bytes':36} {loop['seconds']:6.3f}s {loop['cpu']:6.3f}s")
    print(
        f"  {'quarvel.index(paths)':36} {index['seconds']:6.3f}s {index['cpu']:6.3f}s"
        f"  {index['seconds'] / loop['seconds']:5.2f}x the loop's wall time"
    )
    shutil.rmtree(logs.parent)


def bench_baseline(folder: Path, quarvel: str, runs: int, baseline: str) -> None:
    """The reader of this tree against another copy of the package (the
    folder that holds its `quarvel`), taking turns in one run: the big log
    against np.fromfile, the slice of the sparse log, and the big log's
    DataFrame."""
    big = write_campaign(folder / "baseline", varied=0, logs=1, samples=BIG_SAMPLES, blocks=8)["big"].paths[0]
    sparse = folder / "baseline-sparse.002"
    write_sparse_log(sparse)
    turns = [("reader", big, None), ("reader", big, baseline), ("fromfile", big, None)]
    turns += [("sparse", sparse, None), ("sparse", sparse, baseline), ("frame", big, None), ("frame", big, baseline)]
    results: list[list[dict[str, float]]] = [[] for _ in turns]
    for _ in range(runs):
        for rows, (name, path, package) in zip(results, turns):
            env = dict(os.environ, **({PACKAGE_VARIABLE: package} if package else {}))
            command = [sys.executable, __file__, "--child", name, str(path), "--quarvel", quarvel]
            done = subprocess.run(command, check=True, capture_output=True, text=True, env=env)
            rows.append(json.loads(done.stdout))
    best = [min(r["seconds"] for r in rows) for rows in results]
    cpu = [statistics.median(r["cpu"] for r in rows) for rows in results]
    peak = [statistics.median(r["peak"] for r in rows) for rows in results]
    print(f"baseline: this reader against {baseline}, {runs} runs each")
    print("  best wall time, median CPU time and median peak memory")
    labels = ["big: open + values() + times(), this tree", "big: the same, baseline", "big: np.fromfile + astype"]
    labels += ["sparse: 100,000-sample slice, this tree", "sparse: the same, baseline"]
    labels += ["big: open + to_dataframe(), this tree", "big: the same, baseline"]
    for label, seconds, used, memory in zip(labels, best, cpu, peak):
        print(f"  {label:44} {seconds:7.4f}s {used:7.4f}s  peak {memory / 1e6:6.1f} MB")
    print(
        f"  big, reader / fromfile: this tree {best[0] / best[2]:.2f}x (CPU {cpu[0] / cpu[2]:.2f}x),"
        f" baseline {best[1] / best[2]:.2f}x (CPU {cpu[1] / cpu[2]:.2f}x)"
    )
    big.unlink()
    sparse.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quarvel", default=str(ROOT / "build" / "quarvel"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    parser.add_argument("--only", action="append", choices=["big", "files", "sparse", "index"])
    parser.add_argument("--baseline", metavar="DIR", help="also time the reader of the quarvel package in DIR")
    parser.add_argument("--child", nargs=2, metavar=("NAME", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(args.child[0], args.child[1], args.quarvel)
        return
    folder = Path(tempfile.mkdtemp(prefix="quarvel-pybench-", dir=args.dir))
    try:
        benches = (("big", bench_big), ("files", bench_files), ("sparse", bench_sparse), ("index", bench_index))
        for name, bench in benches:
            if not args.only or name in args.only:
                bench(folder, args.quarvel, args.runs)
        if args.baseline:
            bench_baseline(folder, args.quarvel, args.runs, args.baseline)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
