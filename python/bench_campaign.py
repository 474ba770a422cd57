"""Measures the routes through a campaign of many small multi-channel logs,
with this package and with another copy of it (by default main's), side by
side in one run.

    /usr/bin/python3 python/bench_campaign.py [--before REF] [--runs 3] [--dir DIR]
                                              [--logs 3000] [--small-logs 400000] [--only NAME...]

The campaign is logbuilder.py's multi part: LOGS logs of a logger with 8
inputs sampled over the same hours, 40,000 samples a log in 40 blocks, one
log in 48 cut short (3,000 logs: 120 million samples, 243 MB). The package
"before" is REF's python/quarvel (git archive, into a temporary folder);
routes it lacks are measured with this package alone.

Routes (each a fresh process, xarray and Dask imported before the clock
starts, threaded scheduler, warnings ignored):
  loop          the maximum of calData per channel by a loop over every
                block: quarvel.open, values() and times()
  frames        the same by a loop over every log's to_dataframe()
  groupby       dask_dataframe(paths).groupby("adcChan")["calData"].max()
  index         quarvel.index(paths)
  mfdataset     xr.open_mfdataset(paths, engine="quarvel", ...), opening only
  dataset       quarvel.open_dataset(paths), opening only
  channels      {c: open_dataset(paths, channels=[c])["calData"].max() ...}
  xgroupby      xarray's groupby on the coordinate adcChan, on the first
                XLOGS logs (it does not fit in memory on all of them)
  xchannels     the channels route on the same XLOGS logs
  between       one minute of every channel, three hours in, by the column:
                frame[frame["tick"].between(t0 * 1000, t1 * 1000)] (by "time"
                with a package without ticks)
  window        the same minute, dask_dataframe(paths, time=(t0, t1))
  dwindow       the same minute, open_dataset(paths, time=(t0, t1))
  where         the same minute, xarray's where(..., drop=True) on open_dataset
                (on tick, or time without ticks)
  check         quarvel.check(paths): every sample's quality, and the gaps
                and overlaps of each channel across the logs
  coverage      quarvel.coverage.plot_coverage(paths, OUT.png): the picture
                of plot --coverage, from the headers
  manyindex     quarvel.index(paths) of SMALL_LOGS logs of one 1-sample block
                (logbuilder.py's small part): more files than the header
                cache of a process holds, so that it drops the oldest

The figures: best wall time and median peak memory (the growth of the
resident set while the route ran, imports not counted), of RUNS runs
taking turns; where and xgroupby run once.
"""

from __future__ import annotations

import argparse
import json
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
from bench_many import ROUTES  # noqa: E402

XLOGS = 300
START = 1_796_083_200 + 3 * 3600  # three hours into the campaign
SETUP = ("import glob, tempfile, warnings, quarvel, dask, dask.dataframe, xarray as xr, matplotlib\n"
         "matplotlib.use('Agg')\nimport matplotlib.pyplot, quarvel.coverage, quarvel._check\n"
         "warnings.simplefilter('ignore')\n")
# name: (label, code, runs once). `paths`, `t0` and `t1` are set; `result`
# is what the routes of one question must agree on.
CODE = {
    "loop": ("per-channel maximum, a loop over quarvel.open(p).blocks", ROUTES["loop"][1], False),
    "frames": (
        "the same, a loop over quarvel.open(p).to_dataframe()",
        "result = {}\n"
        "for path in paths:\n"
        "    with quarvel.open(path) as log:\n"
        "        for channel, top in log.to_dataframe().groupby('adcChan')['calData'].max().items():\n"
        "            result[channel] = max(result.get(channel, top), top)",
        False,
    ),
    "groupby": ("the same, dask_dataframe(paths).groupby", ROUTES["dask"][1], False),
    "index": ("quarvel.index(paths)", "result = len(quarvel.index(paths))", False),
    "mfdataset": (
        "xr.open_mfdataset(paths, engine='quarvel'), opening only",
        "from quarvel._xarray import QuarvelBackendEntrypoint as engine\n"
        "logs = xr.open_mfdataset(paths, engine=engine, combine='nested', concat_dim='sample')\n"
        "result = logs.sizes['sample']",
        False,
    ),
    "dataset": ("quarvel.open_dataset(paths), opening only", "result = quarvel.open_dataset(paths).sizes['sample']",
                False),  # fmt: skip
    "channels": (
        "per-channel maximum, open_dataset(paths, channels=[c]) each",
        "channels = sorted(set(quarvel.index(paths)['channel'].tolist()))\n"
        "result = {c: float(quarvel.open_dataset(paths, channels=[c])['calData'].max().compute()) for c in channels}",
        False,
    ),
    "xgroupby": (
        f"the same on {XLOGS} logs, xarray's groupby(logs['adcChan'])",
        f"logs = quarvel.open_dataset(paths[:{XLOGS}])\n"
        "maxima = logs['calData'].groupby(logs['adcChan']).max().compute()\n"
        "result = {int(c): float(v) for c, v in zip(maxima['adcChan'].values, maxima.values)}",
        True,
    ),
    "xchannels": (
        f"the same on {XLOGS} logs, open_dataset(channels=[c]) each",
        f"channels = sorted(set(quarvel.index(paths[:{XLOGS}])['channel'].tolist()))\n"
        f"result = {{c: float(quarvel.open_dataset(paths[:{XLOGS}], channels=[c])['calData'].max().compute())"
        " for c in channels}",
        False,
    ),
    "between": (
        "a minute of every channel, frame[frame.tick.between(t0 * 1000, t1 * 1000)]",
        "frame = quarvel.dask_dataframe(paths)\n"
        "column, scale = ('tick', 1000) if 'tick' in frame.columns else ('time', 1)\n"
        "minute = frame[frame[column].between(t0 * scale, t1 * scale)].compute(scheduler='threads')\n"
        "result = [len(minute), float(minute['calData'].to_numpy().sum(dtype='float64'))]",
        False,
    ),
    "window": (
        "the same, dask_dataframe(paths, time=(t0, t1))",
        "minute = quarvel.dask_dataframe(paths, time=(t0, t1)).compute(scheduler='threads')\n"
        "result = [len(minute), float(minute['calData'].to_numpy().sum(dtype='float64'))]",
        False,
    ),
    "dwindow": (
        "the same, open_dataset(paths, time=(t0, t1))",
        "minute = quarvel.open_dataset(paths, time=(t0, t1)).compute()\n"
        "result = [minute.sizes['sample'], float(minute['calData'].values.sum(dtype='float64'))]",
        False,
    ),
    "where": (
        "the same, open_dataset(paths).where(tick in window, drop=True)",
        "logs = quarvel.open_dataset(paths)\n"
        "at, scale = (logs.tick, 1000) if 'tick' in logs.variables else (logs.time, 1)\n"
        "minute = logs.where((at >= t0 * scale) & (at <= t1 * scale), drop=True).compute()\n"
        "result = [minute.sizes['sample'], float(minute['calData'].values.sum(dtype='float64'))]",
        True,
    ),
}
CODE["check"] = ("quarvel.check(paths)", "result = len(quarvel.check(paths).blocks)", False)
CODE["coverage"] = (
    "plot --coverage: quarvel.coverage.plot_coverage(paths, OUT)",
    "figure = quarvel.coverage.plot_coverage(paths, tempfile.mkdtemp() + '/coverage.png')\n"
    "result = figure.axes[0].get_title().split(';')[0]",
    False,
)
CODE["manyindex"] = ("quarvel.index(paths) of the one-block logs", "result = len(quarvel.index(paths))", False)
QUESTIONS = [["loop", "frames", "groupby", "channels"], ["xgroupby", "xchannels"], ["between", "window", "dwindow", "where"],
             ["check"], ["coverage"]]
# The routes on the one-block logs (folder small/), not on the multi logs.
SMALL_ROUTES = {"manyindex"}


def run_route(name: str, folder: str, package: str) -> None:
    """Runs route `name` with the package in the folder `package` on the
    logs in `folder`, and prints its figures as JSON."""
    sys.path.insert(0, package)
    scope: dict = {"paths": sorted(str(p) for p in Path(folder).glob("*.002")), "t0": START, "t1": START + 60}
    exec(SETUP, scope)
    if not scope["quarvel"].__file__.startswith(package):
        raise SystemExit(f"imported {scope['quarvel'].__file__}, not the package in {package}")
    figures = run_measured(CODE[name][1], scope)
    result = scope["result"]
    if isinstance(result, dict):
        result = {int(k): float(v) for k, v in result.items()}
    print(json.dumps({**figures, "result": result}))


def measure(commands: dict, runs: int) -> dict:
    """Runs each command (a key: (name, package) -> argument list), taking
    turns, `runs` times or once; returns per key the JSON of its runs."""
    results: dict = {key: [] for key in commands}
    for turn in range(runs):
        for key, command in commands.items():
            if turn == 0 or not CODE[key[0]][2]:
                done = subprocess.run(command, capture_output=True, text=True)
                if done.returncode != 0:
                    raise SystemExit(f"{key}: {done.stderr}")
                results[key].append(json.loads(done.stdout))
    return results


def checkout(ref: str, folder: Path) -> str:
    """Writes REF's python/quarvel into `folder`; returns REF's commit."""
    commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", ref], check=True, capture_output=True, text=True)
    archive = subprocess.run(["git", "-C", str(HERE.parent), "archive", ref, "python/quarvel"], check=True,
                             capture_output=True)  # fmt: skip
    subprocess.run(["tar", "-x", "-C", str(folder)], input=archive.stdout, check=True)
    return commit.stdout.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", default="main", help="the git revision to compare with (default main)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", default=None, help="folder for the files (default: a temporary one)")
    parser.add_argument("--logs", type=int, default=3000)
    parser.add_argument("--small-logs", type=int, default=400_000, help="logs of one block for manyindex")
    parser.add_argument("--only", nargs="+", choices=list(CODE))
    parser.add_argument("--route", nargs=3, metavar=("NAME", "FOLDER", "PACKAGE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.route:
        run_route(*args.route)
        return
    from logbuilder import write_campaign

    folder = Path(tempfile.mkdtemp(prefix="quarvel-campaignbench-", dir=args.dir))
    try:
        names = args.only or list(CODE)
        multi = any(name not in SMALL_ROUTES for name in names)
        small = args.small_logs if SMALL_ROUTES & set(names) else 0
        written = write_campaign(folder, varied=0, multi_logs=args.logs if multi else 0, small_logs=small,
                                 small_samples=1)  # fmt: skip
        (folder / "before").mkdir()
        commit = checkout(args.before, folder / "before")
        packages = {"before": str(folder / "before" / "python"), "after": str(HERE)}
        commands = {}
        for name in names:
            logs = folder / ("small" if name in SMALL_ROUTES else "multi")
            for which, package in packages.items():
                commands[(name, which)] = [sys.executable, __file__, "--route", name, str(logs), package]
        probe = "import sys; sys.path.insert(0, sys.argv[1]); import quarvel, quarvel._dask as d; "
        probe += "print(hasattr(quarvel, 'open_dataset'), 'time' in d.dask_dataframe.__code__.co_varnames)"
        has = subprocess.run([sys.executable, "-c", probe, packages["before"]], capture_output=True, text=True)
        dataset, window = has.stdout.split()
        lacking = {"dataset", "channels", "xgroupby", "xchannels", "dwindow", "where"} if dataset == "False" else set()
        lacking |= {"window"} if window == "False" else set()
        commands = {key: command for key, command in commands.items() if key[1] == "after" or key[0] not in lacking}
        results = measure(commands, args.runs)
        report(results, names, written, commit, args.before, args.runs)
    finally:
        shutil.rmtree(folder)


def report(results: dict, names: list[str], written, commit: str, ref: str, runs: int) -> None:  # noqa: ANN001
    if "multi" in written:
        multi = written["multi"]
        print(f"{len(multi.paths):,} logs of 8 channels, {multi.samples:,} samples, {multi.bytes / 1e6:.0f} MB;")
    if "small" in written:
        print(f"{len(written['small'].paths):,} logs of one 1-sample block (manyindex);")
    print(f"before: {ref} ({commit[:10]}), after: this tree; best wall time of {runs} runs, median peak memory")
    print("| question, route | before | after |")
    print("|---|---|---|")
    for name in names:
        cells = []
        for which in ("before", "after"):
            rows = results.get((name, which))
            if not rows:
                cells.append("")
                continue
            wall = min(row["seconds"] for row in rows)
            peak = statistics.median(row["peak"] for row in rows)
            cells.append(f"{wall:.2f} s, {peak / 1e6:.0f} MB")
        print(f"| {CODE[name][0]} | {cells[0]} | {cells[1]} |")
    for question in QUESTIONS:
        answers = {key: rows[0]["result"] for key, rows in results.items() if key[0] in question}
        if len(answers) > 1:
            first = next(iter(answers.values()))
            agree = all(_close(answer, first) for answer in answers.values())
            print(f"routes {', '.join(n for n in question if n in names)} agree: {agree}")


def _close(a, b) -> bool:  # noqa: ANN001 - results as JSON gave them
    """Whether two results agree: maxima exactly, sums of a float32 column
    to the rounding of their order of summation."""
    if isinstance(a, dict):
        return {str(k): v for k, v in a.items()} == {str(k): v for k, v in b.items()}
    if not isinstance(a, list):  # a count or a title
        return a == b
    return a[0] == b[0] and abs(a[1] - b[1]) <= 1e-9 * max(abs(a[1]), 1.0)


if __name__ == "__main__":
    main()
