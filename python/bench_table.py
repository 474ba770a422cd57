"""Measures the wide table (quarvel.table, python3 -m quarvel table) against
the routes a user takes without it, side by side in one run.

    /usr/bin/python3 python/bench_table.py [--runs 3] [--dir DIR] [--only NAME...]
                                           [--logs 3000] [--days 1,3,7]

Questions, each answered by routes that must agree:
  hour      one hour of three channels (1 ms; 7 ms from 1003 s; 1000 ms) on a
            5 ms grid, each cell the previous sample, from the files to a
            computed frame: quarvel.table(paths, 5).compute() against
            quarvel.open, values() and int64 ticks aligned by pandas'
            merge_asof (tolerance: a period less 1 ms), bit for bit;
  campaign  LOGS logs of a logger with 8 inputs (bench_campaign.py's):
            a one-second table, against the maximum of each channel through
            open_dataset(paths, channels=[c]) (the reads the table needs
            are far fewer; the campaign's own work is the yardstick);
  csv       the hour's table written as CSV: the command's writer (each
            distinct value formatted once) against pandas' to_csv with
            float_format="%f", in one process, the frame computed before;
  memory    python3 -m quarvel table of a week (and 1 and 3 days) of one
            logger's 24 channels at 10 ms to 1 s, --every 1s: the peak
            resident set of the whole process (/usr/bin/time -v).

The figures: best wall time and median peak memory (the growth of the
resident set while the route ran, imports not counted) of RUNS runs
taking turns, each in a fresh process; memory: the peak of one run each.
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "tests"))
sys.path.insert(0, str(HERE))
from bench import run_measured  # noqa: E402

SETUP = (
    "import glob, warnings, numpy as np, pandas as pd, dask, dask.dataframe, xarray, quarvel\n"
    "import quarvel._table, quarvel._reader, quarvel._dataset, quarvel.widetable  # imports not measured\n"
    "warnings.simplefilter('ignore')\n"
)
HOUR = ("rates", "--periods", "1,7,1000", "--offsets", "0,1003,0", "--seconds", "3600")
WEEK_PERIODS = ",".join(["10,20,50,100,200,250,500,1000"] * 3)
# name: (label, code). `paths` is set; `result` is what the routes of one question must agree on.
CODE = {
    "table": (
        "quarvel.table(paths, 5).compute()",
        "frame = quarvel.table(paths, 5).compute()\n"
        "result = frame.to_numpy().view('uint32')",
    ),
    "asof": (
        "quarvel.open + int64 merge_asof",
        "series = {}\n"
        "for path in paths:\n"
        "    with quarvel.open(path) as log:\n"
        "        for block in log.blocks:\n"
        "            ticks = block.first_time * 1000 + block.period_ms * np.arange(len(block.raw), dtype=np.int64)\n"
        "            series.setdefault(block.channel, []).append((ticks, block.values(), block.period_ms))\n"
        "first = min(blocks[0][0][0] for blocks in series.values()) // 5 * 5\n"
        "last = max(blocks[-1][0][-1] for blocks in series.values())\n"
        "grid = pd.DataFrame({'tick': np.arange(first, last + 1, 5, dtype=np.int64)})\n"
        "columns = {}\n"
        "for channel, blocks in sorted(series.items()):\n"
        "    right = pd.DataFrame({'tick': np.concatenate([b[0] for b in blocks]),\n"
        "                          'v': np.concatenate([b[1] for b in blocks])})\n"
        "    joined = pd.merge_asof(grid, right, on='tick', direction='backward', tolerance=int(blocks[0][2]) - 1)\n"
        "    columns[f'ch{channel}'] = joined['v'].to_numpy()\n"
        "frame = pd.DataFrame(columns, index=pd.to_datetime(grid['tick'].to_numpy() * 1_000_000))\n"
        "result = frame.to_numpy().view('uint32')",
    ),
    "second": ("quarvel.table(paths, '1s').compute()", "result = quarvel.table(paths, '1s').compute().shape"),
    "channels": (
        "per-channel maximum, open_dataset(paths, channels=[c]) each",
        "channels = sorted(set(quarvel.index(paths)['channel'].tolist()))\n"
        "result = {c: float(quarvel.open_dataset(paths, channels=[c])['calData'].max().compute()) for c in channels}",
    ),
}
QUESTIONS = {"hour": ["table", "asof"], "campaign": ["second", "channels"]}
CSV_CODE = """
import time
from quarvel import _table
from quarvel.widetable import _write_table
plan = _table.plan_of(paths, 5, None, None, None, None, "previous", "last", "calData", 2)
frame = quarvel.table(paths, 5).compute()
times = {}
for name in ("command", "pandas", "command", "pandas"):
    start = time.perf_counter()
    if name == "command":
        with open(out + ".command", "wb") as file:
            _write_table(plan, file, False)
    else:
        frame.to_csv(out + ".pandas", float_format="%f")
    times[name] = min(times.get(name, 1e9), time.perf_counter() - start)
result = times
"""


def run_route(name: str, folder: str) -> None:
    """Runs route `name` on the logs in `folder`, and prints its figures as JSON."""
    scope: dict = {"paths": sorted(str(p) for p in Path(folder).glob("*.002")), "out": str(Path(folder) / "out.csv")}
    exec(SETUP, scope)
    code = CSV_CODE if name == "csv" else CODE[name][1]
    figures = run_measured(code, scope)
    result = scope["result"]
    if hasattr(result, "tobytes"):  # a frame's bits, by their digest
        import hashlib

        result = [list(result.shape), hashlib.sha256(result.tobytes()).hexdigest()]
    elif isinstance(result, dict):
        result = {str(k): v for k, v in result.items()}
    print(json.dumps({**figures, "result": result}))


def measure(commands: dict, runs: int) -> dict:
    """Runs each command, taking turns, `runs` times; returns per name the JSON of its runs."""
    results: dict = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"{name}: {done.stderr}")
            results[name].append(json.loads(done.stdout))
    return results


def logbuilder(*args: str) -> None:
    subprocess.run([sys.executable, str(HERE / "tests" / "logbuilder.py"), *args], check=True, capture_output=True)


def peak_of_command(folder: Path) -> tuple[float, float]:
    """Runs the table command on the logs in `folder` under /usr/bin/time
    -v; returns its wall time (s) and its peak resident set (MB)."""
    command = ["/usr/bin/time", "-v", sys.executable, "-m", "quarvel", "table", str(folder / "*.002"), "--every", "1s",
               "-o", str(folder / "week.csv")]  # fmt: skip
    env = {"PYTHONPATH": str(HERE), "PATH": "/usr/bin:/bin", "LC_ALL": "C"}
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit(f"memory: {done.stderr}")
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1)) / 1024
    clock = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", done.stderr).group(1)
    seconds = sum(float(part) * 60**i for i, part in enumerate(reversed(clock.split(":"))))
    return seconds, peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    parser.add_argument("--logs", type=int, default=3000, help="logs of the campaign")
    parser.add_argument("--days", default="1,3,7", help="the lengths of the memory's campaigns, in days")
    parser.add_argument("--only", nargs="+", choices=["hour", "campaign", "csv", "memory"])
    parser.add_argument("--route", nargs=2, metavar=("NAME", "FOLDER"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.route:
        run_route(*args.route)
        return
    only = args.only or ["hour", "campaign", "csv", "memory"]
    folder = Path(tempfile.mkdtemp(prefix="quarvel-tablebench-", dir=args.dir))
    try:
        commands, where = {}, {}
        if "hour" in only or "csv" in only:
            logbuilder(*HOUR[:1], str(folder / "hour"), *HOUR[1:])
            where.update(table=folder / "hour", asof=folder / "hour", csv=folder / "hour")
        if "campaign" in only:
            logbuilder("campaign", str(folder / "campaign"), "--varied", "0", "--multi-logs", str(args.logs))
            where.update(second=folder / "campaign" / "multi", channels=folder / "campaign" / "multi")
        names = [n for q in ("hour", "campaign") if q in only for n in QUESTIONS[q]] + (["csv"] if "csv" in only else [])
        for name in names:
            commands[name] = [sys.executable, __file__, "--route", name, str(where[name])]
        results = measure(commands, args.runs)
        report(results, names)
        if "memory" in only:
            for days in [int(d) for d in args.days.split(",")]:
                week = folder / f"week{days}"
                logbuilder("rates", str(week), "--periods", WEEK_PERIODS, "--seconds", str(days * 86_400),
                           "--block-seconds", "600", "--file-seconds", "3600")  # fmt: skip
                seconds, peak = peak_of_command(week)
                size = sum(p.stat().st_size for p in week.glob("*.002"))
                print(f"memory: {days} day(s) of 24 channels ({size / 1e6:,.0f} MB of logs, {days * 86_400:,} rows):"
                      f" {seconds:.1f} s, peak {peak:.0f} MB")  # fmt: skip
                shutil.rmtree(week)
    finally:
        shutil.rmtree(folder)


def report(results: dict, names: list[str]) -> None:
    print("| route | best wall time | median peak memory |")
    print("|---|---|---|")
    for name in names:
        rows = results[name]
        label = "CSV of the hour's table (in-process, frame computed before)" if name == "csv" else CODE[name][0]
        print(f"| {label} | {min(r['seconds'] for r in rows):.3f} s | {statistics.median(r['peak'] for r in rows) / 1e6:.0f} MB |")
    for question, (ours, theirs) in QUESTIONS.items():
        if ours in results and theirs in results:
            a, b = (min(r["seconds"] for r in results[n]) for n in (ours, theirs))
            agree = question != "hour" or results[ours][0]["result"] == results[theirs][0]["result"]
            print(f"{question}: {ours} takes {a / b:.2f} of the time of {theirs}" + ("" if question != "hour" else
                  f"; the frames are the same bit for bit: {agree}"))  # fmt: skip
    if "csv" in results:
        best = {k: min(r["result"][k] for r in results["csv"]) for k in ("command", "pandas")}
        print(f"csv: the command's writer {best['command']:.3f} s, pandas' to_csv {best['pandas']:.3f} s:"
              f" {best['command'] / best['pandas']:.2f} of its time")


if __name__ == "__main__":
    main()
