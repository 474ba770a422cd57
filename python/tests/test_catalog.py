"""The catalog: after any sequence of changes to the logs (appends, in-place
rewrites, copies that keep old times, deletions, files dated in the
future, new files, preallocated files filled in place) it equals a fresh
scan; a kill at any point of an update leaves it readable and the next
update completes it; two updaters at once both succeed; a repeated update
reads only the log that grew; a cluster's workers do the reading."""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import python_env, run_quarvel
from logbuilder import BlockPlan, log_bytes, wave_samples

import quarvel
from quarvel import Catalog, FileChangedError
from quarvel import _update as updater
from quarvel._pieces import block_pieces, read_columns
from quarvel._scan import expand_paths, scan_files

COLUMNS = ("block", "data_offset", "channel", "period_ms", "first_time", "declared_samples", "present_samples",
           "repeats")  # fmt: skip


def block(rng: random.Random, clock: int, samples: int | None = None) -> bytes:
    count = rng.randint(1, 300) if samples is None else samples
    noise = np.random.default_rng(rng.randrange(1 << 30))
    return BlockPlan(rng.randrange(4), rng.choice([1, 10, 1000]), clock, wave_samples(noise, count)).to_bytes()


def write_log(path: Path, rng: random.Random, blocks: int, zeros: int = 0) -> None:
    """A log of `blocks` blocks, then `zeros` empty headers (a preallocated file)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(block(rng, 1_800_000_000 + 1000 * i) for i in range(blocks)) + bytes(24 * zeros))


def rows_by_path(table) -> dict:  # noqa: ANN001 - a BlockTable
    """Each file's stamp and rows, by resolved path."""
    out = {}
    for f, path in enumerate(table.paths):
        mine = table.file == f
        rows = [getattr(table, name)[mine].tolist() for name in COLUMNS]
        rows += [table.gain[mine].view(np.uint32).tolist(), table.offset[mine].view(np.uint32).tolist()]
        out[os.path.abspath(path)] = (tuple(table.stamps[f]), rows)
    return out


def fresh(*patterns: str) -> dict:
    """A fresh scan of the sources, a file named twice once."""
    paths = list(dict.fromkeys(os.path.abspath(p) for pattern in patterns for p in expand_paths(pattern)))
    return rows_by_path(scan_files(paths))


def held(catalog: Path) -> dict:
    with Catalog(catalog) as opened:
        return rows_by_path(opened.table()[0])


def leftovers(catalog: Path) -> list[str]:
    return [name for name in os.listdir(catalog) if ".partial-" in name or name.startswith("lease")]


# ---- a random sequence of changes


def fill(path: Path, rng: random.Random) -> None:
    """Writes a block into the first empty header of a preallocated file, in place (its size kept)."""
    data = path.read_bytes()
    table = scan_files([str(path)])
    empty = np.flatnonzero(table.declared_samples <= 0)
    if not len(empty):
        return
    at = int(table.data_offset[empty[0]]) - 24
    room = (len(data) - at - 24) // 2
    if room > 0:
        piece = block(rng, 1_900_000_000, min(room, rng.randint(1, 40)))
        with open(path, "r+b") as out:
            out.seek(at)
            out.write(piece)


def rewrite(path: Path, rng: random.Random) -> None:
    """Changes a byte in place, of a block header or anywhere, the size
    kept and the mtime restored (touch -r)."""
    info = path.stat()
    data = bytearray(path.read_bytes())
    headers = scan_files([str(path)]).data_offset - 24
    if data:
        at = rng.choice(headers.tolist()) + rng.randrange(24) if len(headers) and rng.random() < 0.7 else -1
        data[at if 0 <= at < len(data) else rng.randrange(len(data))] ^= 0x5A
    path.write_bytes(bytes(data))
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


def replace_by_copy(path: Path, rng: random.Random, backups: list[Path], how: str) -> None:
    """Puts an old copy in its place, times kept: cp -p (in place) or
    rsync -a (a new file renamed over it)."""
    source = rng.choice(backups)
    if how == "cp -p" and shutil.which("cp"):
        subprocess.run(["cp", "-p", str(source), str(path)], check=True)
    else:
        partial = path.with_name("." + path.name + ".tmp")
        shutil.copy2(source, partial)
        os.replace(partial, path)


def test_random_changes_end_as_a_fresh_scan(tmp_path: Path) -> None:
    rng = random.Random(20240501)
    logs, catalog = tmp_path / "logs", tmp_path / "campaign.qcat"
    backups = []
    for i in range(4):
        backups.append(tmp_path / "old" / f"{i}.002")
        write_log(backups[-1], rng, rng.randint(1, 3))
        os.utime(backups[-1], ns=(10**18, 10**18 + i))
    for i in range(14):
        write_log(logs / f"day{i % 3}" / f"{i:03d}.002", rng, rng.randint(0, 4), zeros=rng.choice([0, 30]))
    pattern = str(logs / "**" / "*.002")
    assert updater.update(str(catalog), [pattern], window=0).generation
    grown = read_again = 0
    for _ in range(16):
        paths = sorted(logs.rglob("*.002"))
        for path in rng.sample(paths, min(len(paths), 5)):
            change = rng.choice(["append", "rewrite", "rewrite", "cp -p", "rsync -a", "delete", "future", "fill"])
            if change == "append":
                with open(path, "ab") as out:
                    out.write(block(rng, 1_850_000_000))
            elif change == "rewrite":
                rewrite(path, rng)
            elif change in ("cp -p", "rsync -a"):
                replace_by_copy(path, rng, backups, change)
            elif change == "delete":
                path.unlink()
            elif change == "future":
                os.utime(path, ns=(time.time_ns() + 86400 * 10**9,) * 2)
            else:
                fill(path, rng)
        new = logs / f"day{rng.randrange(5)}" / f"new{rng.randrange(10**6)}.002"
        write_log(new, rng, rng.randint(1, 3), zeros=rng.choice([0, 30]))
        result = updater.update(str(catalog), window=0)
        grown, read_again = grown + result.update.grown, read_again + result.update.read_again
        assert held(catalog) == fresh(pattern)
    assert grown and read_again  # both ways of reading a changed file were taken
    # Files dated in the future, and with a window those changed within it, are read again; nothing is written.
    os.utime(sorted(logs.rglob("*.002"))[0], ns=(time.time_ns() + 86400 * 10**9,) * 2)
    write_log(logs / "day0" / "late.002", rng, 2)
    updater.update(str(catalog), window=3600)
    ahead = sum(path.stat().st_mtime_ns > time.time_ns() for path in logs.rglob("*.002"))
    again = updater.update(str(catalog), window=3600)
    assert (again.generation, again.update.read_again, ahead > 0) == (None, ahead + 1, True)


# ---- kills, two updaters, repeated updates, a cluster


def campaign(tmp_path: Path, logs: int = 6) -> tuple[Path, str]:
    rng = random.Random(7)
    for i in range(logs):
        write_log(tmp_path / "logs" / f"{i % 2}" / f"{i:04d}.002", rng, 1 + i % 3)
    return tmp_path / "c.qcat", str(tmp_path / "logs" / "**" / "*.002")


@pytest.mark.parametrize("point", ["leased", "copied", "written", "renamed", "pointed"])
def test_a_kill_leaves_the_last_catalog_and_the_next_update_completes(tmp_path: Path, point: str) -> None:
    catalog, pattern = campaign(tmp_path)
    assert run_quarvel("catalog", "update", str(catalog), pattern, "--window", "0").returncode == 0
    before = held(catalog)
    with open(tmp_path / "logs" / "0" / "0000.002", "ab") as out:
        out.write(block(random.Random(1), 1_850_000_000))
    write_log(tmp_path / "logs" / "2" / "9999.002", random.Random(2), 2)
    env = dict(python_env(), **{updater.STOP_VARIABLE: point})
    killed = run_quarvel("catalog", "update", str(catalog), "--window", "0", env=env)
    assert killed.returncode == -9
    assert held(catalog) == (fresh(pattern) if point == "pointed" else before)
    done = run_quarvel("catalog", "update", str(catalog), "--window", "0")
    assert done.returncode == 0, done.stderr
    assert held(catalog) == fresh(pattern)
    assert leftovers(catalog) == []


def test_two_updaters_at_once_both_succeed(tmp_path: Path) -> None:
    catalog, _ = campaign(tmp_path)
    patterns = [str(tmp_path / "logs" / folder / "*.002") for folder in ("0", "1")]
    env = dict(python_env(), **{updater.STOP_VARIABLE: "leased=1"})  # each holds the lease a second
    started = [
        subprocess.Popen([sys.executable, "-m", "quarvel", "catalog", "update", str(catalog), pattern],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for pattern in patterns
    ]  # fmt: skip
    for process in started:
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, err
    assert held(catalog) == fresh(*patterns)
    with Catalog(catalog) as opened:
        assert sorted(opened.sources) == sorted(patterns)
        assert opened.updated.id == 2  # each update wrote its generation, the second from the first's
    assert leftovers(catalog) == []


def test_repeat_reads_only_the_log_that_grew(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    catalog, pattern = campaign(tmp_path)
    updater.update(str(catalog), [pattern], window=0)
    grows = tmp_path / "logs" / "1" / "0005.002"
    opened: list[str] = []
    real = updater.open_regular

    def counted(path):  # noqa: ANN001, ANN202
        opened.append(path)
        return real(path)

    monkeypatch.setattr(updater, "open_regular", counted)
    seen = []

    def on_round(number: int, result: updater.Result) -> None:
        seen.append((number, result.generation is not None, len(held(catalog)[str(grows)][1][0])))
        if number == 1:
            with open(grows, "ab") as out:
                out.write(block(random.Random(3), 1_850_000_000))

    updater.repeat(str(catalog), every=0.01, rounds=3, on_round=on_round, window=0)
    assert seen == [(1, False, 3), (2, True, 4), (3, False, 4)]
    assert opened == [str(grows)]


def test_repeated_updates_keep_the_last_generations_and_those_within_the_grace(tmp_path: Path) -> None:
    catalog, pattern = campaign(tmp_path)
    grows = tmp_path / "logs" / "0" / "0000.002"

    def generations() -> list[str]:
        return sorted(name for name in os.listdir(catalog) if name.startswith("gen-"))

    def rounds(count: int, seconds_between: float) -> list[str]:
        current = []
        for _ in range(count):
            with open(grows, "ab") as out:
                out.write(block(random.Random(len(current)), 1_850_000_000))
            current.append(updater.update(str(catalog), [pattern], window=0).generation)
            for name in generations():  # time passes: every generation's date moves back
                info = os.stat(catalog / name)
                os.utime(catalog / name, ns=(info.st_atime_ns, info.st_mtime_ns - int(seconds_between * 1e9)))
        return current

    current = rounds(8, updater.GRACE + 1)  # a round a little longer than the grace: the last KEEP stay
    assert generations() == sorted(current[-1 - updater.KEEP :])
    current = rounds(updater.KEEP + 2, 0)  # rounds in quick succession: those retired within the grace stay too
    assert len(generations()) == updater.KEEP + 3 and current[-1] in generations()
    assert held(catalog) == fresh(pattern)


def test_workers_of_a_cluster_stat_and_read(tmp_path: Path, cluster) -> None:  # noqa: ANN001 - a Client
    catalog, pattern = campaign(tmp_path, logs=30)
    address = cluster.scheduler.address
    updater.update(str(catalog), [pattern], window=0, scheduler=address)
    with open(tmp_path / "logs" / "1" / "0003.002", "ab") as out:
        out.write(block(random.Random(3), 1_850_000_000))
    (tmp_path / "logs" / "0" / "0000.002").unlink()
    result = updater.update(str(catalog), window=0, scheduler=address)
    assert (result.update.grown, result.update.gone, result.update.scheduler) == (1, 1, address)
    assert held(catalog) == fresh(pattern)


# ---- reading a catalog


def test_a_catalog_chooses_files_and_checks_them_when_samples_are_read(tmp_path: Path) -> None:
    catalog, pattern = campaign(tmp_path)
    updater.update(str(catalog), [pattern], window=0)
    logs = tmp_path / "logs"
    with Catalog(catalog) as opened:
        table, paths = opened.table([str(logs / "1" / "*.002"), str(logs / "0" / "0000.002")])
        assert paths == [str(logs / "1" / f"{i:04d}.002") for i in (1, 3, 5)] + [str(logs / "0" / "0000.002")]
        assert rows_by_path(table) == fresh(*paths)
        with pytest.raises(FileNotFoundError, match="not in the catalog"):
            opened.table(str(tmp_path / "elsewhere.002"))
        with pytest.raises(FileNotFoundError, match="no file of the catalog matches"):
            opened.table(str(logs / "*" / "*.003"))
        Path(paths[0]).write_bytes(Path(paths[0]).read_bytes())  # the same bytes, written again
        with pytest.raises(FileChangedError, match="it was modified"):
            read_columns(table.paths, table.stamps, block_pieces(table), ["calData"])


def test_catalog_info_and_its_refusals(tmp_path: Path) -> None:
    catalog, pattern = campaign(tmp_path)
    made = run_quarvel("catalog", "update", str(catalog), pattern, str(tmp_path / "none" / "*.002"))
    assert made.returncode == 1
    assert made.stderr == f"quarvel catalog: no file matches the pattern {tmp_path / 'none' / '*.002'}\n"
    assert made.stdout.startswith(f"{catalog}: updated: 6 files listed; 6 new, 0 grown, 0 read again, 0 gone; ")
    text = run_quarvel("catalog", "info", str(catalog))
    assert text.stdout.splitlines()[:2] == [
        f"{catalog}: 6 files, 12 blocks, 4 series, 38.2 minutes from 2027-01-15 08:00 to 2027-01-15 08:38 UTC",
        f"  source: {pattern}",
    ]
    facts = json.loads(run_quarvel("catalog", "info", "--json", str(catalog)).stdout)
    assert (facts["files"], facts["blocks"], facts["sources"], facts["updated"]["new"]) == (6, 12, [pattern], 6)
    (tmp_path / "logs" / "0" / "notes.txt").write_text("a folder of logs is no catalog")
    refused = run_quarvel("catalog", "update", str(tmp_path / "logs" / "0"), pattern)
    assert (refused.returncode, refused.stderr.count("not a catalog")) == (1, 1)
    # The catalog's own files never match a pattern: none of them is read as a log.
    whole = run_quarvel("catalog", "update", str(catalog), str(tmp_path / "**"))
    assert whole.returncode == 0 and "1 new" in whole.stdout  # notes.txt, the one file not already held


# ---- every route by a catalog as by the paths


@pytest.fixture(scope="module")
def cataloged(tmp_path_factory) -> tuple[Path, str]:
    """Two loggers' logs (a folder each; varied ones cut short and out of
    order among them) and their catalog; returns its folder and their pattern."""
    from logbuilder import write_campaign

    folder = tmp_path_factory.mktemp("cataloged")
    write_campaign(folder / "logs", varied=6, max_samples=3000, loggers=2, logger_logs=3)
    pattern = str(folder / "logs" / "**" / "*.002")
    updater.update(str(folder / "c.qcat"), [pattern], window=0)
    return folder / "c.qcat", pattern


T0 = 1796083200  # when the loggers' logs start: a table of the varied ones' whole span would be too long
ROUTES = {  # a route's answer, from the pattern (a str) or a Catalog
    "index": lambda src: quarvel.index(src, logger="folder"),
    "frame": lambda src: quarvel.dask_dataframe(src, step=3, logger="folder", partition_samples=999).compute(),
    "dataset": lambda src: quarvel.open_dataset(src, channels=[1, 2], time=(T0, T0 + 20), logger="folder",
                                                partition_bytes=5000).compute(),
    "dataset-all": lambda src: quarvel.open_dataset(src, step=2, partition_samples=700).compute(),
    "window": lambda src: quarvel.open_dataset(src, time=(T0 + 3, T0 + 25), partition_bytes=2000).compute(),
    "table": lambda src: quarvel.table(src, "1s", start=T0, end=T0 + 99, method="mean", logger="folder").compute(),
    "check": lambda src: quarvel.check(src, logger="folder"),
}
NEEDS = {"frame": ["dask"], "dataset": ["xarray", "dask"], "dataset-all": ["xarray", "dask"],
         "window": ["xarray", "dask"], "table": ["dask"], "plot": ["matplotlib"], "export": ["xarray", "netCDF4"]}
COMMANDS = [  # the command's arguments, before the files (or --catalog)
    ["check", "--json", "-", "--logger", "folder"],
    ["info", "--json", "--logger", "folder"],
    ["info"],
    ["table", "--every", "2s", "-o", "-", "--method", "max", "--logger", "folder", "--from", "1796083200", "--to",
     "1796083299"],
    ["plot", "--coverage", "-o", "{tmp}/coverage.png"],
    ["export", "{tmp}/out.nc"],  # a Zarr store's chunks differ from one run to the next (Blosc's threads)
]


@pytest.mark.parametrize("route", ROUTES)
def test_each_route_answers_by_a_catalog_as_by_the_paths(cataloged, route: str) -> None:
    for package in NEEDS.get(route, []):
        pytest.importorskip(package)
    catalog, pattern = cataloged
    by_paths = ROUTES[route](pattern)
    with Catalog(catalog) as opened:
        by_catalog = ROUTES[route](opened)
    wants, gots = (answer if isinstance(answer, tuple) else [answer] for answer in (by_paths, by_catalog))
    for want, got in zip(wants, gots):
        assert got.equals(want) if route != "dataset" else got.identical(want)
    assert len(wants[0]) > 0


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: "-".join(c[:2]))
def test_each_command_answers_by_a_catalog_as_by_the_paths(cataloged, command: list[str], tmp_path: Path) -> None:
    for package in NEEDS.get(command[0], []):
        pytest.importorskip(package)
    catalog, pattern = cataloged
    answers = []
    for way, tail in (("paths", [pattern]), ("catalog", ["--catalog", str(catalog)])):
        (tmp_path / way).mkdir()
        done = run_quarvel(*(arg.format(tmp=tmp_path / way) for arg in command), *tail, cwd=tmp_path)
        files = (p for p in (tmp_path / way).rglob("*") if p.is_file())
        made = sorted((p.relative_to(tmp_path / way), p.read_bytes()) for p in files)
        answers.append((done.returncode, done.stdout, done.stderr, made))
    assert answers[0] == answers[1]
    assert answers[0][1] or answers[0][3]


def test_a_log_changed_after_the_update_is_refused_by_every_route(tmp_path: Path) -> None:
    pytest.importorskip("dask")
    catalog, pattern = campaign(tmp_path)
    updater.update(str(catalog), [pattern], window=0)
    changed = sorted((tmp_path / "logs").rglob("*.002"))[1]
    changed.write_bytes(changed.read_bytes()[:-2])  # a sample shorter
    with Catalog(catalog) as opened:
        with pytest.raises(FileChangedError, match="it shrank"):
            quarvel.dask_dataframe(opened).compute()
        assert quarvel.index(opened)["path"].cat.categories.tolist() == opened.paths()  # headers, no log read
    checked = run_quarvel("check", "--catalog", str(catalog))
    assert checked.returncode == 1
    size = len(changed.read_bytes())
    said = f"quarvel check: cannot read {changed}: the file changed after it was indexed: it shrank from {size + 2} to"
    assert checked.stderr == f"{said} {size} bytes\n"


def test_a_graph_outlives_its_generation_in_its_process_and_says_so_elsewhere(tmp_path: Path) -> None:
    pytest.importorskip("dask")
    catalog, pattern = campaign(tmp_path)
    updater.update(str(catalog), [pattern], window=0)
    with Catalog(catalog) as opened:
        frame = quarvel.dask_dataframe(opened)
        want = quarvel.dask_dataframe(pattern).compute()
        generation = opened.generation
    (catalog / generation).unlink()  # as a later update removes it
    assert frame.compute().equals(want)  # this process holds it open
    with pytest.raises(quarvel.CatalogError, match="the generation is gone, removed by a later update"):
        Catalog(catalog, generation)  # as a worker elsewhere opens it
