"""Measures quarvel.check against reading the same logs' raw counts through
quarvel.open, side by side in one run.

    /usr/bin/python3 python/bench_check.py [--runs 3] [--dir DIR] [--logs 3000]

Workloads (logbuilder.py's campaign):
  big       one log of 8,389,608 samples in 8 blocks (bench.py's big log)
  big4      the same shape, four times the samples: peak memory must not grow
  campaign  LOGS logs of 8 channels, 40,000 samples each in 40 blocks

Routes, each a fresh process, imports done before the clock starts:
  raw       quarvel.open(path) and block.raw() of every block, for every log
  check     quarvel.check(paths)
  dask      quarvel.check(paths, dask=True), Dask's threads

The figures: best wall time and median peak memory (the growth of the
resident set while the route ran) of RUNS runs taking turns.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "tests"))
sys.path.insert(0, str(HERE))
from bench import BIG_SAMPLES, run_measured  # noqa: E402

ROUTES = {
    "raw": "for p in paths:\n    with quarvel.open(p) as log:\n        for b in log.blocks:\n            b.raw\n",
    "check": "quarvel.check(paths)\n",
    "dask": "quarvel.check(paths, dask=True)\n",
}


def run_child(route: str, listing: str) -> None:
    """Runs `route` on the paths listed in the file `listing`; prints its figures."""
    import warnings

    import dask  # noqa: F401 - imported before the clock starts
    import pandas  # noqa: F401

    import quarvel
    import quarvel._check  # noqa: F401

    warnings.simplefilter("ignore")
    paths = Path(listing).read_text().splitlines()
    print(json.dumps(run_measured(ROUTES[route], {"quarvel": quarvel, "paths": paths})))


def measure(listing: Path, runs: int) -> dict[str, tuple[float, float]]:
    """Returns per route its best wall time and median peak memory in bytes."""
    rows: dict[str, list[dict]] = {route: [] for route in ROUTES}
    for _ in range(runs):
        for route in ROUTES:
            done = subprocess.run([sys.executable, __file__, "--child", route, str(listing)],
                                  check=True, capture_output=True, text=True)  # fmt: skip
            rows[route].append(json.loads(done.stdout))
    return {r: (min(x["seconds"] for x in v), statistics.median(x["peak"] for x in v)) for r, v in rows.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", help="where to write the logs (default: a temporary folder)")
    parser.add_argument("--logs", type=int, default=3000)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(*args.child)
        return
    from logbuilder import write_campaign

    with tempfile.TemporaryDirectory(dir=args.dir) as scratch:
        folder = Path(scratch)
        workloads = {
            "big": write_campaign(folder / "big", varied=0, logs=1, samples=BIG_SAMPLES, blocks=8)["big"],
            "big4": write_campaign(folder / "big4", varied=0, logs=1, samples=4 * BIG_SAMPLES, blocks=8)["big"],
            "campaign": write_campaign(folder / "multi", varied=0, multi_logs=args.logs)["multi"],
        }
        print(f"{'workload':10} {'MB':>7} {'route':6} {'seconds':>8} {'x raw':>6} {'peak MB':>8}")
        for name, written in workloads.items():
            listing = folder / f"{name}.txt"
            listing.write_text("".join(f"{p}\n" for p in written.paths))
            figures = measure(listing, args.runs)
            size = sum(Path(p).stat().st_size for p in written.paths) / 1e6
            for route, (seconds, peak) in figures.items():
                ratio = seconds / figures["raw"][0]
                print(f"{name:10} {size:7.1f} {route:6} {seconds:8.3f} {ratio:6.2f} {peak / 1e6:8.1f}")


if __name__ == "__main__":
    main()
