"""quarvel.dask_dataframe(): the reader's rows, bit for bit, under the
threaded scheduler and on a cluster of processes; known divisions only
when the rows are in time order; tasks that read only their own files and
columns."""

from __future__ import annotations

import os
import pickle
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest
from conftest import (
    SAMPLE_TYPES,
    assert_rows_are_readers,
    assert_same_bits,
    join_frames,
    reader_frame,
    reader_frames,
)
from hostile_logs import BIG_LOG, GROW, RENAME, REWRITE, SAMPLES, change_file
from logbuilder import write_cases

pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
pytest.importorskip("dask.dataframe")

import quarvel  # noqa: E402
import quarvel._dask as qdask  # noqa: E402
import quarvel._pieces as pieces_module  # noqa: E402
from quarvel._samples import SampleFile  # noqa: E402

COLUMNS = ["path", *SAMPLE_TYPES]
pytestmark = pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")


@pytest.fixture
def small_partitions(monkeypatch):
    """Partitions of about 4,000 samples and at most 64 pieces by default:
    the campaign's long blocks are cut, and its small ones share partitions."""
    monkeypatch.setattr(qdask, "PARTITION_SAMPLES", 4000)


def computed(frame, compute=None):
    """Yields the partitions of `frame`, computed a few at a time (by
    `compute`, a function of a list of Delayed; the threaded scheduler by
    default), each checked to be a partition of `frame`'s columns, types
    and categories, indexed by its time stamps."""
    compute = compute or (lambda parts: dask.compute(*parts, scheduler="threads"))
    parts = frame.to_delayed()
    categories = frame["path"].dtype
    for low in range(0, len(parts), 8):
        for part in compute(parts[low : low + 8]):
            assert list(part.columns) == COLUMNS and part.dtypes.equals(frame.dtypes)
            assert part["path"].dtype == categories
            assert part.index.dtype == np.float64 and part.index.name is None
            assert part.index.to_numpy().tobytes() == part["time"].to_numpy().tobytes()
            yield part


def readers_maxima(paths, step=1):
    """The maximum of calData per channel, from the reader's rows."""
    maxima = [frame.groupby("adcChan")["calData"].max() for frame in reader_frames(paths, step)]
    return pd.concat(maxima).groupby(level=0).max()


def assert_readers_rows(frame, paths, step=1, channels=None, compute=None) -> None:
    assert frame["path"].dtype == pd.CategoricalDtype(list(dict.fromkeys(paths)))
    assert_rows_are_readers(computed(frame, compute), paths, COLUMNS, step, channels)


@pytest.mark.parametrize("step", [1, 3, -7, 1000])
def test_rows_are_the_readers(campaign, small_partitions, step):
    paths = campaign["varied"]
    assert (quarvel.index(paths)["present_samples"] > 4000).sum() >= 3  # blocks to cut
    frame = quarvel.dask_dataframe(paths, step=step)
    assert_readers_rows(frame, paths, step)


@pytest.mark.filterwarnings("error::RuntimeWarning")
def test_shared_cases_are_the_readers_rows_without_numpy_warnings(tmp_path, small_partitions):
    # Signalling-NaN calibrations among them: numpy warns when it quiets one.
    paths = [str(path) for path in write_cases(tmp_path)]
    assert_readers_rows(quarvel.dask_dataframe(paths), paths)


def test_channels_and_patterns(campaign, small_partitions):
    paths = campaign["varied"]
    pattern = os.path.join(os.path.dirname(paths[0]), "*.002")
    frame = quarvel.dask_dataframe(pattern, step=2, channels=[0, 3])
    assert_readers_rows(frame, paths, 2, [0, 3])
    one = quarvel.dask_dataframe(paths, channels=np.int32(5))["adcChan"].compute()
    blocks = quarvel.index(paths)
    assert set(one) == {5} and len(one) == blocks["present_samples"][blocks["channel"] == 5].sum()
    none = quarvel.dask_dataframe(paths, channels=[12345])
    assert none.compute().dtypes.equals(frame._meta.dtypes) and len(none) == 0


def windows(paths):
    """Time windows on the logs `paths`: for three blocks, one that cuts it
    (and others) at both ends and one instant of it; open ends; an empty
    one; one before every sample; one between two blocks, where no block is."""
    blocks = quarvel.index(paths).dropna(subset=["start"]).sort_values("start", kind="stable")
    chosen = blocks[blocks["present_samples"] >= 3]
    found = []
    for row in chosen.iloc[[len(chosen) // 4, len(chosen) // 2, -1]].itertuples():
        with quarvel.open(row.path) as log:
            times = log.blocks[row.block].times()
        found += [tuple(sorted((times[1], times[-2]))), (times[len(times) // 2],) * 2]
    low, high = found[0]
    found += [(None, low), (high, None), (high, low - 1), (None, blocks["start"].min() - 1)]
    reach = np.maximum.accumulate(np.fmax(blocks["start"], blocks["end"]).to_numpy())
    gaps = np.flatnonzero(blocks["start"].to_numpy()[1:] > reach[:-1])
    if len(gaps):
        found.append((np.nextafter(reach[gaps[0]], np.inf), np.nextafter(blocks["start"].iloc[gaps[0] + 1], -np.inf)))
    return found


@pytest.mark.parametrize("name", ["varied", "multi", "cases"])
def test_time_windows_are_the_readers_rows(campaign, tmp_path, name):
    from test_xarray import stretches

    paths = [str(path) for path in write_cases(tmp_path)] if name == "cases" else campaign[name]
    selections = [(1, None), (3, [0, 2, 3]), (-2, None)]
    for i, window in enumerate(windows(paths)):
        step, channels = selections[i % 3]
        frame = quarvel.dask_dataframe(paths, step, channels, time=window, partition_samples=3000)
        assert_rows_are_readers(computed(frame), paths, COLUMNS, step, channels, window)
        data = quarvel.open_dataset(paths, step, channels, time=window, partition_samples=3000)
        assert max(data.chunks["sample"]) < 2 * 3000 and len(data.chunks["sample"]) == frame.npartitions
        assert_rows_are_readers(stretches(data), paths, COLUMNS, step, channels, window)


def test_a_window_is_exact_to_the_sample_on_a_long_block(tmp_path):
    """10^6 samples at 1 ms, stamped 72 ms early by the end: a window keeps the ticks inside it, its bounds
    seconds, datetime64 or Timestamps; a cut block warns when a tick that its header declares is inside."""
    pytest.importorskip("xarray")
    from logbuilder import START, BlockPlan, log_bytes

    path, n, first, ns = str(tmp_path / "long.002"), 1_000_000, START * 1000, START * 10**9
    Path(path).write_bytes(log_bytes([BlockPlan(1, 1, START, np.zeros(n, np.int16), declared=n + 100)]))
    windows = {(START + 999.9004, START + 999.95): 999_901,
               (np.datetime64(first + 999_900, "ms"), pd.Timestamp(ns + 999_950_000_001, unit="ns", tz="UTC")): 999_900,
               (pd.Timestamp(ns + 999_899_999_999, unit="ns"), np.datetime64(ns // 1000 + 999_950_999, "us")): 999_900}
    for window, low in windows.items():
        frame, data = quarvel.dask_dataframe(path, time=window).compute(), quarvel.open_dataset(path, time=window)
        assert frame["tick"].tolist() == data["tick"].values.tolist() == list(range(first + low, first + 999_951))
        assert frame["time"].iloc[-1] < START + 999.9  # what the summed stamps would have left out
    for t0, warned in ((START + 1000.099, 1), (START + 1000.1, 0)):  # the last tick declared, and past it
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert len(quarvel.dask_dataframe(path, time=(t0, None))) == 0
        assert len(caught) == warned


def test_loggers_on_every_route(campaign, tmp_path):
    """The logger of each file, by its folder, an expression or a callable, on the index, the frame, the
    Dataset and the engine's; a file that the expression does not match is refused."""
    xr = pytest.importorskip("xarray")
    from quarvel._loggers import NoLoggerError
    from quarvel._xarray import QuarvelBackendEntrypoint as engine

    for folder in "ab":
        (tmp_path / folder).mkdir()
    paths = [shutil.copy(source, tmp_path / "ab"[i % 2] / f"{i}.002") for i, source in enumerate(campaign["multi"][:6])]
    index, expression = quarvel.index(paths, logger="folder"), f"^{tmp_path}/(.)/"
    assert list(index.columns[:2]) == ["path", "logger"] and list(index["logger"].cat.categories) == ["a", "b"]
    frame = quarvel.dask_dataframe(paths, logger=expression, partition_samples=5000)
    data = quarvel.open_dataset(paths, logger=lambda path: path[-7], partition_samples=5000)
    for got in (index, frame.compute(), data[["path", "logger"]].to_dataframe()):
        assert got["logger"].astype(str).tolist() == [path[-7] for path in got["path"]]
    one = xr.open_dataset(paths[1], engine=engine, logger=expression)["logger"]
    assert frame["logger"].dtype == pd.CategoricalDtype(["a", "b"]) and one.values.tolist() == ["b"] * len(one)
    for route in [quarvel.index, quarvel.dask_dataframe, quarvel.open_dataset, lambda paths, logger: xr.open_dataset(
            paths[1], engine=engine, logger=logger)]:  # fmt: skip
        with pytest.raises(NoLoggerError, match=f"^{paths[1]}: no logger: .* '/a/'$"):
            route(paths, logger="/a/")


def test_partitions_fill_up_to_either_bound():
    pieces = np.zeros(10_000, dtype=pieces_module.PIECE_DTYPE)
    pieces["count"] = 1000
    for rows, most, size in ((1 << 21, 4096, 2098), (1 << 21, 1500, 1500), (999, 64, 1)):
        assert (np.diff(pieces_module.partition_bounds(pieces, np.zeros(10_000, bool), rows, most))[:-1] == size).all()


def test_a_window_reads_only_the_files_it_meets(campaign, tmp_path):
    paths = [shutil.copy(p, tmp_path) for p in campaign["multi"]]
    blocks = quarvel.index(paths)
    log = blocks[blocks["path"] == paths[20]]
    window = (log["start"].min() + 0.5, log["end"].max() - 0.5)
    frame = quarvel.dask_dataframe(paths, time=window)
    one = quarvel.dask_dataframe(paths, channels=[2], time=window)
    assert not frame.known_divisions and one.known_divisions  # the channels overlap in time; one follows itself
    for path in paths[:20] + paths[21:]:
        os.remove(path)
    assert_rows_are_readers(computed(frame), [paths[20]], COLUMNS, time=window)
    low, high = window[0] + 1, window[0] + 2
    assert_same_bits(one.loc[low:high].compute(), one.compute().loc[low:high], COLUMNS)


@pytest.mark.parametrize(
    "selection, warned",
    [
        ({}, ["a", "b"]),
        ({"channels": [1]}, ["a"]),
        ({"channels": 3}, []),
        ({"time": (1005, 1006)}, ["a"]),  # past a's 3 samples, among the 9 it declares
        ({"time": (1020, None)}, ["b"]),
        ({"channels": [1], "time": (2000, 3000)}, []),
    ],
)
def test_a_cut_block_warns_only_when_asked_for(tmp_path, selection, warned):
    """Channel 1 in a cut after 3 of 9 seconds, channel 2 whole in c and
    cut in b, from t = 1030 s: a warning each, once, at the caller's line,
    for the cut blocks among the channels and times asked for."""
    pytest.importorskip("xarray")
    from logbuilder import BlockPlan, log_bytes

    samples = np.arange(3, dtype=np.int16)
    plans = {"a": BlockPlan(1, 1000, 1000, samples, declared=9), "b": BlockPlan(2, 1000, 1030, samples, declared=5)}
    plans["c"] = BlockPlan(2, 1000, 1010, samples)
    for name, plan in plans.items():
        (tmp_path / f"{name}.002").write_bytes(log_bytes([plan]))
    paths = [str(tmp_path / f"{name}.002") for name in "abc"]
    expected = [f"truncated block in input file {tmp_path / name}.002: 3 of {9 if name == 'a' else 5} samples read"
                for name in warned]  # fmt: skip
    for build in (quarvel.dask_dataframe, quarvel.open_dataset):
        with warnings.catch_warnings(record=True) as built:
            warnings.simplefilter("always")
            build(paths, **selection)
        assert [str(w.message) for w in built] == expected
        assert {w.filename for w in built} <= {__file__}


def test_divisions_are_known_only_for_rows_in_time_order(campaign, small_partitions):
    ordered = quarvel.dask_dataframe(campaign["ordered"])
    assert ordered.known_divisions and ordered.npartitions > 10
    divisions = ordered.divisions
    full = ordered.compute()
    ends = np.cumsum(ordered.map_partitions(len).compute().to_numpy())
    for i, times in enumerate(np.split(full.index.to_numpy(), ends[:-1])):  # every partition within its divisions
        assert divisions[i] == times[0] and (np.diff(times) >= 0).all()
        assert times[-1] == divisions[-1] if i == len(ends) - 1 else times[-1] < divisions[i + 1]
    low, high = divisions[4] + 0.5, divisions[7] - 0.25
    chosen = ordered.loc[low:high]
    assert chosen.npartitions == 3
    assert_same_bits(chosen.compute(), full.loc[low:high], COLUMNS[1:])
    unordered = quarvel.dask_dataframe(campaign["varied"])
    assert not unordered.known_divisions  # time runs backwards there
    for key in (slice(low, high), (slice(low, None), "calData"), low):  # not pandas' "KeyError: None"
        with pytest.raises(KeyError, match=r"not in time order.*time=\(t0, t1\)"):
            unordered.loc[key]
    assert unordered.loc[unordered["time"] > low].npartitions == unordered.npartitions  # a mask, as before


def test_a_question_builds_only_its_columns(campaign, monkeypatch):
    asked = []
    read = qdask.read_columns

    def spy(*args):
        asked.append(sorted(args[-1]))
        return read(*args)

    monkeypatch.setattr(qdask, "read_columns", spy)
    frame = quarvel.dask_dataframe(campaign["ordered"])
    maxima = frame.groupby("adcChan")["calData"].max().compute(scheduler="threads")
    assert asked and all(names == ["adcChan", "calData", "time"] for names in asked)  # time: the index
    assert_same_bits(maxima.to_frame(), readers_maxima(campaign["ordered"]).to_frame(), ["calData"])


def test_a_task_reads_only_its_own_files(campaign, tmp_path, small_partitions, monkeypatch):
    """What a task carries pickles; it opens no file but its own (the
    others may be gone by then), and one at a time."""
    paths = [shutil.copy(p, tmp_path) for p in campaign["ordered"]]
    frame = quarvel.dask_dataframe(paths)
    layer = frame.__dask_graph__().layers[frame._name]
    chosen = max(range(frame.npartitions), key=lambda i: len(layer.inputs[i].paths))  # of several files
    part = pickle.loads(pickle.dumps(layer.inputs[chosen]))
    assert len(part.paths) > 1 and len(part.paths) < len(paths)
    for path in set(paths) - set(part.paths):
        os.remove(path)
    open_files = []

    class CountedFile(SampleFile):
        def __init__(self, path, stamp):
            super().__init__(path, stamp=stamp)
            open_files.append(self)
            assert sum(f.fd >= 0 for f in open_files) == 1

    monkeypatch.setattr(pieces_module, "SampleFile", CountedFile)
    got = frame.get_partition(chosen).compute(scheduler="sync")
    assert [f.path for f in open_files] == list(part.paths) and all(f.fd < 0 for f in open_files)
    want = []
    for piece in part.pieces:  # the reader's blocks, or their stretches, that the task holds
        with quarvel.open(part.paths[piece["file"]]) as log:
            first, step = int(piece["first"]), int(piece["stride"])
            block = log.blocks[int(piece["block"])]
            want.append(block[first : first + int(piece["count"]) * step : step].to_dataframe())
    assert_same_bits(got, join_frames(want), COLUMNS[1:])


def test_files_that_change_or_vanish(campaign, tmp_path):
    pytest.importorskip("xarray")
    refused = [({"step": 0}, ValueError), ({"time": (np.nan, 1)}, ValueError), ({"time": (0, "1")}, TypeError),
               ({"time": (np.datetime64("NaT"), 1)}, ValueError), ({"time": (pd.NaT, 1)}, ValueError),
               ({"time": 5}, TypeError), ({"partition_samples": 0}, ValueError),
               ({"partition_samples": 1.5}, TypeError)]  # fmt: skip
    for arguments, error in refused:  # when called
        pytest.raises(error, quarvel.dask_dataframe, campaign["ordered"], **arguments)
        pytest.raises(error, quarvel.open_dataset, campaign["ordered"], **arguments)
    with pytest.raises(FileNotFoundError):
        quarvel.dask_dataframe([campaign["ordered"][0], str(tmp_path / "missing.002")])
    path = shutil.copy(campaign["ordered"][-1], tmp_path)
    frame = quarvel.dask_dataframe(path)
    os.truncate(path, os.path.getsize(path) // 2)
    with pytest.raises(quarvel.FileChangedError):
        frame.compute()


@pytest.mark.parametrize("change", [SAMPLES, RENAME, GROW])
def test_a_file_changed_after_indexing_is_never_read(tmp_path, change):
    xr = pytest.importorskip("xarray")
    from quarvel._xarray import QuarvelBackendEntrypoint as engine

    path = str(tmp_path / "big.002")
    (tmp_path / "big.002").write_bytes(BIG_LOG)
    frame, data = quarvel.dask_dataframe(path, step=2), xr.open_dataset(path, engine=engine)
    campaign = quarvel.open_dataset([path], time=(0, None))
    first = frame.compute()
    change_file(path, change)
    if change == GROW:  # read as indexed
        assert_same_bits(frame.compute(), first, COLUMNS[1:])
        samples = np.frombuffer(BIG_LOG, ">i2", offset=24).astype("i2").tobytes()
        assert data["rawCounts"].values.tobytes() == samples and campaign["rawCounts"].values.tobytes() == samples
        return
    reads = [frame.compute, frame["time"].compute, lambda: data["rawCounts"].values]
    reads += [lambda name=name: campaign[name].values for name in ("calData", "adcChan", "path")]
    for read in reads:
        with pytest.raises(quarvel.FileChangedError, match="changed after it was indexed") as raised:
            read()
        assert raised.value.filename == path


@pytest.mark.parametrize("change", [REWRITE, RENAME, GROW])
def test_a_frame_made_again_reads_the_changed_file_again(tmp_path, change):
    path = str(tmp_path / "big.002")
    (tmp_path / "big.002").write_bytes(BIG_LOG)
    quarvel.dask_dataframe(path)  # its headers are known now
    change_file(path, change)
    assert_readers_rows(quarvel.dask_dataframe(path), [path])


def test_another_block_header_under_the_same_size_and_time(campaign, tmp_path):
    pytest.importorskip("xarray")
    small = shutil.copy(campaign["multi"][0], tmp_path)  # small blocks, read together
    (tmp_path / "big.002").write_bytes(BIG_LOG)  # a block read alone
    at = int(quarvel.index(small)["data_offset"][2]) - 24
    for path, where in ((small, at), (str(tmp_path / "big.002"), 0)):
        lazy = [quarvel.dask_dataframe(path), quarvel.open_dataset(path)["calData"]]
        before = os.stat(path)
        with open(path, "r+b") as file:
            file.seek(where)
            file.write(b"\x00\x00\x00\x07")  # another channel
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        for each in lazy:
            with pytest.raises(quarvel.FileChangedError, match=f"block header at byte {where} is another one"):
                each.compute()


def test_every_step_the_reader_takes(campaign):
    xr = pytest.importorskip("xarray")
    from quarvel._xarray import QuarvelBackendEntrypoint as engine

    path = campaign["ordered"][1]
    for step in (2**31 - 1, 2**31, 2**63 - 1, -(2**63), 2**64, np.uint64(2**64 - 1)):
        assert_readers_rows(quarvel.dask_dataframe(path, step=step), [path], step)
        data = xr.open_dataset(path, engine=engine, step=step).load()
        assert_same_bits(data, reader_frame([path], step), COLUMNS[1:])
    refused = [({"step": 0}, ValueError), ({"step": 2.5}, TypeError), ({"step": "3"}, TypeError),
               ({"channels": [1.5]}, TypeError), ({"channels": "3"}, TypeError)]  # fmt: skip
    for arguments, error in refused:  # when called, by the engine too
        pytest.raises(error, quarvel.dask_dataframe, path, **arguments)
        pytest.raises(error, xr.open_dataset, path, engine=engine, **arguments)
    with quarvel.open(path) as log:  # one rule, one message, whatever the argument's name
        for refuse in (log.to_dataframe, log.blocks[0].every, lambda n: quarvel.dask_dataframe(path, step=n)):
            pytest.raises(ValueError, refuse, 0).match("^the step must not be 0$")


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")  # tornado, under distributed
def test_a_cluster_of_processes(campaign, tmp_path, cluster):
    client = cluster
    paths = campaign["varied"]
    frame = quarvel.dask_dataframe(paths, step=3)
    maxima = client.compute(frame.groupby("adcChan")["calData"].max()).result()
    assert_same_bits(maxima.to_frame(), readers_maxima(paths, 3).to_frame(), ["calData"])
    assert_readers_rows(frame, paths, 3, compute=lambda parts: client.gather(client.compute(parts)))
    window = windows(paths)[0]
    data = quarvel.open_dataset(paths, step=3, channels=[0, 1, 5], time=window, partition_samples=3000)
    assert_rows_are_readers([client.compute(data).result()], paths, COLUMNS, 3, [0, 1, 5], window)
    assert len(client.run(os.getpid)) == 2
    path = str(tmp_path / "big.002")
    (tmp_path / "big.002").write_bytes(BIG_LOG)
    changed = [quarvel.dask_dataframe(path), quarvel.open_dataset(path)["calData"]]
    change_file(path, RENAME)
    for lazy in changed:
        with pytest.raises(quarvel.FileChangedError) as raised:  # from a worker's process
            client.compute(lazy).result()
        assert raised.value.filename == path


@pytest.mark.parametrize("blocks, samples", [(2_000_000, 2_500_000), (10_000, 500_000_000)])
def test_ten_terabytes_make_at_most_50000_tasks(blocks: int, samples: int) -> None:
    """10 TB of samples, in blocks of 5 MB or of 1 GB: by default at most
    MOST_PARTITIONS partitions, each of the bytes asked for at most when
    sized by partition_bytes; a small campaign keeps its partitions of
    2**21 samples."""
    pieces = np.zeros(blocks, dtype=pieces_module.PIECE_DTYPE)
    pieces["file"] = np.arange(blocks) // 7
    pieces["count"], pieces["stride"] = samples, 1
    split, bounds, cut = qdask.sized(pieces, qdask.PARTITION_SAMPLES, None, scaled=True)
    assert int(cut["count"].sum()) == blocks * samples and 20_000 <= len(bounds) - 1 <= qdask.MOST_PARTITIONS
    split, bounds, cut = qdask.sized(pieces[:300], qdask.PARTITION_SAMPLES, 10**9, scaled=False)
    weights = np.add.reduceat(cut["count"] * 2 + qdask.PIECE_BYTES, bounds[:-1])
    assert split * 2 + qdask.PIECE_BYTES <= 10**9 and weights.max() < 10**9 + split * 2 + qdask.PIECE_BYTES
    assert len(bounds) - 1 <= 2 * weights.sum() // 10**9 + 1
    small = pieces[:40]  # 100 MB or 20 GB: as before, by samples
    by_samples = qdask.sized(small, 1 << 21, None, scaled=False)[1]
    assert qdask.sized(small, 1 << 21, None, scaled=True)[1].tolist() == by_samples.tolist()
