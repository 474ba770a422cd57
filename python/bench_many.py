"""Measures quarvel's Python package on campaigns of many logs, side by
side in one run.

    /usr/bin/python3 python/bench_many.py [--quarvel build/quarvel] [--runs 3] [--dir DIR]
                                          [--only dask|cluster|export] [--logs 24] [--samples 8000000]

Workloads (the logs come from python/tests/logbuilder.py's campaign writer):
  dask     the maximum of calData per channel, on LOGS logs of SAMPLES
           samples (8 blocks each) and on 2,000 logs of one 500-sample block:
           (loop) quarvel.open, values() and times() of every block, a
           maximum per channel kept in a dict; (dask) quarvel.dask_dataframe
           and groupby("adcChan"), threaded scheduler; (dask, channels=) one
           dask_dataframe per channel, its calData's maximum, computed
           together; (from_delayed) the DataFrame a user builds by hand with
           dask.dataframe.from_delayed over each log's to_dataframe().
  cluster  the groupby maximum on a distributed.LocalCluster of 2 worker
           processes of 1 thread and a 1 GB memory limit each, over the big
           logs, whose DataFrame is larger than both limits together:
           whether a worker was restarted, and each worker's peak memory.
  export   python3 -m quarvel export to .nc and to .zarr, against
           quarvel -S -tr (the same three numbers as text): time, size,
           bytes per sample, peak memory; and the export's peak memory on a
           quarter of the logs, to show that it does not grow with them.

Every measurement runs in a fresh process, the routes taking turns; the
figures are the best wall time and the median CPU time (user + system,
worker processes not included). Imports are done before the clock starts.
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

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "tests"))
sys.path.insert(0, str(HERE))
from bench import peak_resident, run_measured  # noqa: E402
from logbuilder import write_campaign  # noqa: E402

SMALL_FILES = 2000
SMALL_SAMPLES = 500

# The routes to a maximum per channel, as (setup, measured code): `paths`
# is set, `result` must be {channel: maximum}.
ROUTES = {
    "loop": (
        "import quarvel",
        """
result = {}
for path in paths:
    with quarvel.open(path) as log:
        for block in log.blocks:
            values, times = block.values(), block.times()
            if len(values):
                top = float(values.max())
                result[block.channel] = max(result.get(block.channel, top), top)
""",
    ),
    "dask": (
        "import quarvel, dask.dataframe",
        """
frame = quarvel.dask_dataframe(paths)
result = frame.groupby("adcChan")["calData"].max().compute(scheduler="threads").to_dict()
""",
    ),
    "dask_channels": (
        "import quarvel, dask, dask.dataframe",
        """
channels = sorted(set(quarvel.index(paths)["channel"].tolist()))
maxima = [quarvel.dask_dataframe(paths, channels=channel)["calData"].max() for channel in channels]
result = dict(zip(channels, dask.compute(*maxima, scheduler="threads")))
""",
    ),
    "from_delayed": (
        "import quarvel, dask, dask.dataframe as dd",
        """
def frame_of(path):
    with quarvel.open(path) as log:
        return log.to_dataframe()

with quarvel.open(paths[0]) as log:
    meta = log.to_dataframe().iloc[:0]
frame = dd.from_delayed([dask.delayed(frame_of)(path) for path in paths], meta=meta)
result = frame.groupby("adcChan")["calData"].max().compute(scheduler="threads").to_dict()
""",
    ),
}
LABELS = {
    "loop": "loop: open, values(), times()",
    "dask": "dask_dataframe + groupby",
    "dask_channels": "dask_dataframe(channels=c) each",
    "from_delayed": "from_delayed(to_dataframe()) + groupby",
}


def run_route(name: str, folder: str) -> None:
    """Runs route `name` on the logs in `folder` and prints its figures."""
    import glob

    paths = sorted(glob.glob(os.path.join(folder, "*.002")))
    setup, code = ROUTES[name]
    scope: dict = {"paths": paths}
    exec(setup, scope)
    figures = run_measured(code, scope)
    result = {int(k): float(v) for k, v in scope["result"].items()}
    print(json.dumps({**figures, "result": result}))


def take_turns(commands: dict[str, list[str]], runs: int) -> dict[str, list[dict]]:
    """Runs each command `runs` times, taking turns; returns per name the
    JSON each run printed."""
    results: dict[str, list[dict]] = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            results[name].append(json.loads(done.stdout))
    return results


def bench_dask(parts: dict[str, Path], runs: int) -> None:
    for title, folder in parts.items():
        commands = {name: [sys.executable, __file__, "--route", name, str(folder)] for name in ROUTES}
        results = take_turns(commands, runs)
        answers = {name: rows[0]["result"] for name, rows in results.items()}
        agree = all(answer == answers["loop"] for answer in answers.values())
        print(f"dask: maximum of calData per channel, {title}, {runs} runs each; all routes agree: {agree}")
        print("  best wall time, median CPU time (user + system) and median peak memory, imports excluded")
        loop = min(row["seconds"] for row in results["loop"])
        loop_cpu = statistics.median(row["cpu"] for row in results["loop"])
        for name, rows in results.items():
            wall = min(row["seconds"] for row in rows)
            cpu = statistics.median(row["cpu"] for row in rows)
            peak = statistics.median(row["peak"] for row in rows)
            print(
                f"  {LABELS[name]:40} {wall:7.3f}s {cpu:7.3f}s  {wall / loop:5.2f}x the loop's wall time,"
                f" {cpu / loop_cpu:5.2f}x its CPU  peak {peak / 1e6:7.1f} MB"
            )


def run_cluster(folder: str) -> None:
    """Computes the groupby maximum on a LocalCluster of 2 workers of 1 GB
    and prints what happened to the workers."""
    import glob

    import distributed

    import quarvel

    paths = sorted(glob.glob(os.path.join(folder, "*.002")))
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, memory_limit="1GB", processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        before = client.run(os.getpid)
        frame = quarvel.dask_dataframe(paths)
        rows = int(quarvel.index(paths)["present_samples"].sum())
        row_bytes = 8 + 1 + sum(t.itemsize for t in frame.dtypes if t != "category")  # index and path codes too
        size = rows * row_bytes
        start = time.perf_counter()
        maxima = frame.groupby("adcChan")["calData"].max().compute()
        seconds = time.perf_counter() - start
        after = client.run(os.getpid)
        peaks = client.run(peak_resident)
        print(json.dumps({
            "seconds": seconds, "frame_bytes": size, "partitions": frame.npartitions, "limit": 1e9,
            "same_workers": before == after, "workers": len(after), "peaks": sorted(peaks.values()),
            "result": {int(k): float(v) for k, v in maxima.to_dict().items()},
        }))  # fmt: skip


def bench_cluster(folder: Path, runs: int) -> None:
    results = take_turns({"cluster": [sys.executable, __file__, "--cluster", str(folder)]}, runs)["cluster"]
    first = results[0]
    print(f"cluster: groupby maximum on a LocalCluster of 2 processes of 1 thread, 1 GB each, {runs} runs")
    print(
        f"  the DataFrame: {first['frame_bytes'] / 1e9:.1f} GB in {first['partitions']} partitions"
        f" ({first['frame_bytes'] / 2e9:.1f}x both memory limits together)"
    )
    for row in results:
        peaks = ", ".join(f"{p / 1e6:.0f} MB" for p in row["peaks"])
        print(
            f"  {row['seconds']:7.3f}s; the same {row['workers']} worker processes before and after:"
            f" {row['same_workers']}; their peak memory: {peaks}"
        )


def run_command(command: list[str], env: dict | None = None) -> tuple[float, float, int]:
    """Runs `command`; returns its wall time, CPU time and peak memory (bytes)."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise subprocess.CalledProcessError(process.returncode, command)
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def size_of(path: Path) -> int:
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size


def bench_export(folder: Path, paths: list[Path], samples: int, quarvel: str, runs: int) -> None:
    env = dict(os.environ, PYTHONPATH=str(HERE))
    out = folder / "export"
    out.mkdir()
    export = [sys.executable, "-m", "quarvel", "export"]
    names = [str(p) for p in paths]
    routes = {
        "quarvel -S -tr (text)": ([quarvel, "-S", "-tr", *names], None),
        "export to .nc": ([*export, str(out / "logs.nc"), *names], out / "logs.nc"),
        "export to .zarr": ([*export, str(out / "logs.zarr"), *names], out / "logs.zarr"),
        "export to .nc, a quarter of the logs": ([*export, str(out / "quarter.nc"), *names[: len(names) // 4]], None),
    }
    rows: dict[str, list[tuple[float, float, int]]] = {name: [] for name in routes}
    for _ in range(runs):
        for name, (command, _) in routes.items():
            rows[name].append(run_command(command, env))
    text = sum(Path(f"{p}.txt").stat().st_size for p in names)
    sizes = {name: size_of(target) for name, (_, target) in routes.items() if target is not None}
    sizes["quarvel -S -tr (text)"] = text
    megabytes = sum(p.stat().st_size for p in paths) / 1e6
    print(f"export: {len(names)} logs, {samples:,} samples ({megabytes:.0f} MB), {runs} runs")
    print("  best wall time, median CPU time, median peak memory (whole process); size")
    text_wall = min(r[0] for r in rows["quarvel -S -tr (text)"])
    for name, measured in rows.items():
        wall = min(r[0] for r in measured)
        cpu = statistics.median(r[1] for r in measured)
        peak = statistics.median(r[2] for r in measured)
        size = f"{sizes[name] / 1e6:8.1f} MB {sizes[name] / samples:6.2f} B/sample" if name in sizes else " " * 26
        print(
            f"  {name:38} {wall:7.2f}s {cpu:7.2f}s  peak {peak / 1e6:6.1f} MB  {size}"
            f"  {wall / text_wall:5.2f}x the text's time"
        )
    for name in ("export to .nc", "export to .zarr"):
        print(f"  {name}: {sizes[name] / text:.3f} of the text's size")
    for p in names:
        os.remove(f"{p}.txt")
    shutil.rmtree(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quarvel", default=str(ROOT / "build" / "quarvel"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    parser.add_argument("--only", action="append", choices=["dask", "cluster", "export"])
    parser.add_argument("--logs", type=int, default=24, help="big logs (default 24)")
    parser.add_argument("--samples", type=int, default=8_000_000, help="samples of each big log (default 8,000,000)")
    parser.add_argument("--route", nargs=2, metavar=("NAME", "FOLDER"), help=argparse.SUPPRESS)
    parser.add_argument("--cluster", metavar="FOLDER", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.route:
        run_route(*args.route)
        return
    if args.cluster:
        run_cluster(args.cluster)
        return
    folder = Path(tempfile.mkdtemp(prefix="quarvel-manybench-", dir=args.dir))
    try:
        written = write_campaign(folder, varied=0, logs=args.logs, samples=args.samples, small_logs=SMALL_FILES,
                                 small_samples=SMALL_SAMPLES)  # fmt: skip
        big = written["big"]
        big_title = f"{args.logs} logs of {args.samples:,} samples ({big.bytes / 1e6:.0f} MB)"
        small_title = f"{SMALL_FILES:,} logs of one {SMALL_SAMPLES}-sample block"
        if not args.only or "dask" in args.only:
            bench_dask({big_title: folder / "big", small_title: folder / "small"}, args.runs)
        if not args.only or "cluster" in args.only:
            bench_cluster(folder / "big", 1)
        if not args.only or "export" in args.only:
            bench_export(folder, big.paths, big.samples, args.quarvel, args.runs)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
