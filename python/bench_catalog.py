"""Measures the catalog's updates against quarvel.index of the same logs,
side by side in one run.

    /usr/bin/python3 python/bench_catalog.py [--logs 1000000] [--folders 1000] [--changes 1000]
                                             [--dir DIR] [--keep] [--opens [--package DIR]...]

The logs are logbuilder.py's one-block logs of 600 samples, spread over
FOLDERS folders (1,000,000 logs: 1.2 GB), written into DIR (a temporary
folder by default; a DIR that already holds them is used as it is).
Each figure comes from a fresh process, the cache warm (index runs first):
  index    quarvel.index("DIR/small/**/*.002")
  first    catalog update CAT "DIR/small/**/*.002", into a new catalog
  same     catalog update CAT, nothing changed
  changes  catalog update CAT after CHANGES new logs (in a folder of their
           own) and CHANGES grown ones (a block appended to each of the
           last CHANGES logs)
  table    quarvel.Catalog(CAT).table(): every block, without a log read
  graph    quarvel.dask_dataframe(quarvel.Catalog(CAT)): the graph built,
           and its size pickled
  dataset  quarvel.open_dataset(quarvel.Catalog(CAT)), opening only
  window   the maximum of calData in an hour (time=) of the Dataset
  channel3 the maximum of calData of channel 3 (channels=[3]) of the
           Dataset, from the catalog and from the pattern
and the catalog's bytes on disk per log. With --opens, it measures
instead each route's open of the logs, without a catalog, against the
header scan of the coverage command, each a whole fresh process (its
wall time and peak resident set), the logs left as they are:
  coverage        python3 -m quarvel plot --coverage "DIR/small/**/*.002" -o OUT.png
  index           quarvel.index(pattern)
  open_dataset    quarvel.open_dataset(pattern), opening only
  dask_dataframe  quarvel.dask_dataframe(pattern) (its partitions, and the
                  bytes of its pickled graph, pickled outside the time)
  check           python3 -m quarvel check "DIR/small/**/*.002" --json OUT.json
with the package of this folder, or of each --package DIR in turn (a
row at a time, so that a busy moment hits them alike). The updates run with a
recent-change window of 0 s (the logs were all written moments before;
a campaign's are older than a minute). Each figure is the wall time, the
growth of the resident set while it ran (the interpreter and the imports
not counted) and the process's whole peak resident set.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "tests"))
sys.path.insert(0, str(HERE))
from bench import peak_resident, run_measured  # noqa: E402

SAMPLES = 600
CODE = {
    "index": "quarvel.index(pattern)",
    "first": "update(catalog, [pattern], window=0)",
    "same": "result = update(catalog, window=0); assert result.generation is None, result",
    "changes": "update(catalog, window=0)",
    "table": "quarvel.Catalog(catalog).table()",
    "graph": "frame = quarvel.dask_dataframe(quarvel.Catalog(catalog))",
    "dataset": "quarvel.open_dataset(quarvel.Catalog(catalog))",
    "window": "float(quarvel.open_dataset(quarvel.Catalog(catalog), time=(hour, hour + 3600)).calData.max().compute())",
    "channel3": "float(quarvel.open_dataset(quarvel.Catalog(catalog), channels=[3]).calData.max().compute())",
    "channel3-paths": "float(quarvel.open_dataset(pattern, channels=[3]).calData.max().compute())",
}


def child(name: str, folder: str) -> None:
    """Runs the measured code `name` on the campaign in `folder`; prints its figures."""
    import quarvel
    import quarvel._update

    pandas = __import__("pandas")  # imported before the clock starts, as index imports it
    for module in ("dask.dataframe", "dask.array", "xarray"):  # and the routes' packages
        __import__(module)
    scope = {"quarvel": quarvel, "update": quarvel._update.update, "pandas": pandas,
             "pattern": os.path.join(folder, "small", "**", "*.002"), "catalog": os.path.join(folder, "c.qcat")}  # fmt: skip
    if name == "window":  # an hour of the campaign's hundredth day
        with quarvel.Catalog(scope["catalog"]) as opened:
            scope["hour"] = opened.connection.execute("SELECT min(first_time) FROM blocks").fetchone()[0] + 100 * 86400
    figures = run_measured(CODE[name], scope)
    figures["whole"] = peak_resident()  # VmHWM: ru_maxrss keeps the forking parent's
    if name == "graph":  # what a scheduler is sent: the graph; and the frame, with its meta's every path
        import pickle

        frame = scope["frame"]
        figures["partitions"] = frame.npartitions
        figures["graph_bytes"] = len(pickle.dumps(frame.__dask_graph__()))
        figures["frame_bytes"] = len(pickle.dumps(frame))
    print(json.dumps(figures))


OPENS = {
    "coverage": ["-m", "quarvel", "plot", "--coverage", "{pattern}", "-o", "{out}/coverage.png"],
    "index": ["-c", "import quarvel, sys\nquarvel.index(sys.argv[1])", "{pattern}"],
    "open_dataset": ["-c", "import quarvel, sys\nquarvel.open_dataset(sys.argv[1])", "{pattern}"],
    "dask_dataframe": [
        "-c",
        "import pickle, quarvel, sys, time\nframe = quarvel.dask_dataframe(sys.argv[1])\nstart = time.perf_counter()\n"
        "graph = len(pickle.dumps(dict(frame.__dask_graph__())))\n"
        "print(frame.npartitions, graph, time.perf_counter() - start, file=sys.stderr)",
        "{pattern}",
    ],
    "check": ["-m", "quarvel", "check", "{pattern}", "--json", "{out}/check.json"],
}


def measured_open(name: str, folder: Path, package: Path, out: str) -> dict[str, float]:
    """Returns the wall time and the peak resident set of the route `name`
    run as a fresh process with the quarvel of `package`; of the Dask
    frame, also its partitions and the bytes of its pickled graph."""
    import time

    pattern = os.path.join(folder, "small", "**", "*.002")
    command = [sys.executable, *(arg.format(pattern=pattern, out=out) for arg in OPENS[name])]
    env = dict(os.environ, PYTHONPATH=str(package), MPLBACKEND="Agg")
    for made in ("coverage.png", "check.json"):  # an output there already has check compare it with every input
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(out, made))
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    err = process.stderr.read()  # type: ignore[union-attr]
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0 and name != "check":  # check's status tells what it found
        raise SystemExit(f"{name} failed:\n{err}")
    figures = {"seconds": seconds, "whole": usage.ru_maxrss * 1024.0}
    if name == "dask_dataframe":
        partitions, graph, pickling = err.split()[-3:]
        figures.update(seconds=seconds - float(pickling), partitions=int(partitions), graph=int(graph))
    return figures


def opens(folder: Path, packages: list[Path]) -> None:
    """Measures each route's open with each package, a row at a time; prints them against the coverage command."""
    out = tempfile.mkdtemp(prefix="bench-opens-")
    try:
        figures = {(name, package): measured_open(name, folder, package, out) for name in OPENS for package in packages}
    finally:
        shutil.rmtree(out, ignore_errors=True)
    for package in packages:
        print(f"package {package}")
        print(f"  {'':16} {'seconds':>8} {'x scan':>8} {'peak MB':>8}")
        scan = figures["coverage", package]["seconds"]
        for name in OPENS:
            found = figures[name, package]
            extra = ""
            if "graph" in found:
                extra = f"  {found['partitions']} partitions, a graph of {found['graph'] / 1e6:.0f} MB"
            seconds = found["seconds"]
            print(f"  {name:16} {seconds:8.2f} {seconds / scan:8.2f} {found['whole'] / 1e6:8.0f}{extra}")


def measured(name: str, folder: Path) -> dict[str, float]:
    """Returns the figures of `name`, run in a fresh process."""
    done = subprocess.run([sys.executable, __file__, "--child", name, str(folder)], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{name} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def write_logs(folder: Path, logs: int, folders: int) -> None:
    """Writes the campaign, unless `folder` holds it already."""
    from logbuilder import write_campaign

    marker = folder / "small" / f"{logs}-logs-in-{folders}-folders"
    if marker.exists():
        return
    shutil.rmtree(folder / "small", ignore_errors=True)
    write_campaign(folder, varied=0, small_logs=logs, small_samples=SAMPLES, small_folders=folders)
    marker.write_text("")


def change(folder: Path, count: int) -> None:
    """Adds `count` new logs in a folder of their own, and appends a block to each of the last `count` logs."""
    from logbuilder import BlockPlan, wave_samples

    import numpy as np

    rng = np.random.default_rng(7)
    newest = sorted(p for p in (folder / "small").iterdir() if p.is_dir())[-1]
    added = folder / "small" / "new"
    added.mkdir(exist_ok=True)
    for i in range(count):
        block = BlockPlan(i % 16, 100, 2_100_000_000 + i, wave_samples(rng, SAMPLES)).to_bytes()
        (added / f"{i:06d}.002").write_bytes(block)
    grown = sorted(newest.iterdir())[-count:]
    for path in grown:
        with open(path, "ab") as out:
            out.write(BlockPlan(3, 100, 2_100_000_000, wave_samples(rng, SAMPLES)).to_bytes())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--logs", type=int, default=1_000_000)
    parser.add_argument("--folders", type=int, default=1000)
    parser.add_argument("--changes", type=int, default=1000)
    parser.add_argument("--dir", type=Path, help="where the logs are (or are written); default: a temporary folder")
    parser.add_argument("--keep", action="store_true", help="keep the logs (with --dir)")
    parser.add_argument("--opens", action="store_true", help="measure each route's open instead (logs unchanged)")
    parser.add_argument("--package", type=Path, action="append",
                        help="with --opens: the folder of a quarvel to measure (repeatable)")  # fmt: skip
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    folder = args.dir or Path(tempfile.mkdtemp(prefix="bench-catalog-"))
    if args.opens:
        try:
            write_logs(folder, args.logs, args.folders)
            opens(folder, [package.resolve() for package in args.package or [HERE]])
        finally:
            if not (args.dir and args.keep):
                shutil.rmtree(folder / "small" if args.dir else folder, ignore_errors=True)
        return
    try:
        write_logs(folder, args.logs, args.folders)
        shutil.rmtree(folder / "c.qcat", ignore_errors=True)
        shutil.rmtree(folder / "small" / "new", ignore_errors=True)
        figures = {name: measured(name, folder) for name in ("index", "first", "same")}
        change(folder, args.changes)
        figures["changes"] = measured("changes", folder)
        for name in ("table", "graph", "dataset", "window", "channel3", "channel3-paths"):
            figures[name] = measured(name, folder)
        catalog = folder / "c.qcat"
        generation = catalog / (catalog / "CURRENT").read_text().strip()
        report(figures, generation.stat().st_size / (args.logs + args.changes), args)
    finally:
        if not (args.dir and args.keep):
            if args.dir:
                shutil.rmtree(folder / "c.qcat", ignore_errors=True)
                shutil.rmtree(folder / "small", ignore_errors=True)
            else:
                shutil.rmtree(folder, ignore_errors=True)


def report(figures: dict, per_log: float, args: argparse.Namespace) -> None:
    index = figures["index"]["seconds"]
    print(f"{args.logs:,} one-block logs of {SAMPLES} samples in {args.folders:,} folders")
    print(f"{'':44} {'seconds':>8} {'x index':>8} {'growth MB':>10} {'peak MB':>8}")
    labels = {
        "index": "quarvel.index(pattern)",
        "first": "first update",
        "same": "update, nothing changed",
        "changes": f"update, {args.changes:,} new and {args.changes:,} grown logs",
        "table": "Catalog(CAT).table()",
        "graph": "dask_dataframe(Catalog(CAT)): the graph",
        "dataset": "open_dataset(Catalog(CAT))",
        "window": "the maximum of an hour, time=(t, t + 3600)",
        "channel3": "channel 3's maximum, channels=[3]",
        "channel3-paths": "channel 3's maximum, from the pattern",
    }
    for name, label in labels.items():
        found = figures[name]
        print(f"{label:44} {found['seconds']:8.2f} {found['seconds'] / index:8.3f} {found['peak'] / 1e6:10.0f}"
              f" {found['whole'] / 1e6:8.0f}")  # fmt: skip
    print(f"catalog on disk: {per_log:.1f} bytes per log")
    graph = figures["graph"]
    print(f"graph from the catalog: {graph['partitions']:,} partitions; pickled, {graph['graph_bytes'] / 1e6:.2f} MB"
          f" (the frame with its meta, whose path categories are every path: {graph['frame_bytes'] / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
