"""The xarray backend, registered as pyproject.toml registers it: lazy
arrays exact to the reader, one log or many, and no claim on files of
other formats."""

from __future__ import annotations

import importlib
import os
import sys

import numpy as np
import pytest
from conftest import SAMPLE_TYPES, assert_rows_are_readers, assert_same_bits, reader_frame, write_entry_points

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")  # open_mfdataset's chunks

import quarvel._xarray as qxarray  # noqa: E402

COLUMNS = list(SAMPLE_TYPES)
pytestmark = pytest.mark.filterwarnings("ignore::quarvel.TruncatedBlockWarning")


@pytest.fixture(scope="module", autouse=True)
def installed_entry_points(tmp_path_factory):
    """Makes the entry points of pyproject.toml visible to xarray, as
    installing the package does: a .dist-info folder on sys.path."""
    pytest.importorskip("tomllib")
    folder = tmp_path_factory.mktemp("site")
    write_entry_points(folder)
    sys.path.insert(0, str(folder))
    importlib.invalidate_caches()
    xr.backends.plugins.list_engines.cache_clear()
    yield
    sys.path.remove(str(folder))
    xr.backends.plugins.list_engines.cache_clear()


@pytest.mark.parametrize("step", [1, -3])
def test_open_dataset_is_the_reader(campaign, monkeypatch, step):
    reads = []
    read = qxarray.read_columns
    monkeypatch.setattr(qxarray, "read_columns", lambda *args: reads.append(args) or read(*args))
    for path in campaign["varied"]:
        data = xr.open_dataset(path, engine="quarvel", step=step)
        assert not reads  # headers only, so far
        assert list(data.data_vars) == ["calData", "rawCounts"] and list(data.dims) == ["sample"]
        assert_same_bits(data.load(), reader_frame([path], step), COLUMNS)
        reads.clear()


def test_any_selection_of_samples(campaign):
    path = campaign["varied"][1]  # 50,000 samples in blocks of all sizes
    data = xr.open_dataset(path, engine="quarvel", channels=[1, 2, 3], drop_variables="block")
    assert "block" not in data.variables
    want = reader_frame([path], channels=[1, 2, 3])
    last = len(want) - 1
    keys = [slice(5, last, 7), slice(None, None, -3), slice(-10, None), slice(100, 50), 17, -1, [3, 3, 0, last]]
    for key in keys:
        for name in ("time", "calData", "rawCounts", "adcChan"):
            got = data[name][key].values
            expected = want[name].to_numpy()[key]
            assert got.dtype == expected.dtype and got.shape == np.shape(expected)
            assert got.tobytes() == np.asarray(expected).tobytes(), (key, name)


def test_open_mfdataset_is_the_readers_logs(campaign, monkeypatch):
    monkeypatch.setattr(qxarray, "PREFERRED_CHUNK", 4096)
    paths = campaign["varied"]
    with xr.open_mfdataset(paths, engine="quarvel", combine="nested", concat_dim="sample") as data:
        assert max(data.chunks["sample"]) == 4096
        assert_rows_are_readers(stretches(data), paths, COLUMNS)
    some = xr.open_mfdataset(paths, engine="quarvel", combine="nested", concat_dim="sample", step=5, channels=4)
    assert_rows_are_readers(stretches(some), paths, COLUMNS, 5, [4])
    some.close()


@pytest.mark.parametrize("step, channels", [(1, None), (-3, [1, 4])])
def test_one_dataset_of_a_campaign_is_the_engines_and_the_readers(campaign, monkeypatch, step, channels):
    import quarvel
    import quarvel._dataset as qdataset

    reads = []
    read = qdataset.read_columns
    monkeypatch.setattr(qdataset, "read_columns", lambda *args: reads.append(args) or read(*args))
    paths = campaign["varied"]
    data = quarvel.open_dataset(os.path.join(os.path.dirname(paths[0]), "*.002"), step, channels,
                                partition_samples=5000, drop_variables=["block"])  # fmt: skip
    assert not reads  # headers only, so far
    engine = xr.open_dataset(paths[1], engine="quarvel")
    assert list(data.data_vars) == list(engine.data_vars) and list(data.coords) == list(engine.coords)[1:] + ["path"]
    assert all(data[name].attrs == engine[name].attrs for name in data.variables if name in engine.variables)
    frame = quarvel.dask_dataframe(paths, step, channels, partition_samples=5000)
    assert data.chunks["sample"] == tuple(frame.map_partitions(len).compute())
    assert_rows_are_readers(stretches(data), paths, ["path", *COLUMNS[1:]], step, channels)


def stretches(data, length=1 << 20):
    """Yields `data` computed a stretch of samples at a time."""
    for start in range(0, data.sizes["sample"], length):
        yield data.isel(sample=slice(start, start + length)).compute()


def test_claims_logs_and_nothing_else(campaign, tmp_path):
    for writer in ("netCDF4", "h5netcdf", "zarr"):
        pytest.importorskip(writer)
    backend = qxarray.QuarvelBackendEntrypoint()
    log = campaign["varied"][2]
    assert backend.guess_can_open(log)
    assert xr.open_dataset(log).sizes["sample"] == len(reader_frame([log]))  # the engine xarray guesses
    as_text = tmp_path / "run.txt"
    as_text.write_bytes(open(log, "rb").read())
    assert not backend.guess_can_open(as_text)
    dataset = xr.Dataset({"x": ("n", np.arange(4.0))})
    others = {
        "netcdf4.002": lambda path: dataset.to_netcdf(path, engine="netcdf4"),
        "h5netcdf.003": lambda path: dataset.to_netcdf(path, engine="h5netcdf"),
        "classic.004": lambda path: path.write_bytes(b"CDF\x01" + bytes(28)),
        "store.005": lambda path: dataset.to_zarr(path),
        "pipe.006": lambda path: os.mkfifo(path),  # not opened: it would wait for a writer
    }
    for name, write in others.items():
        write(tmp_path / name)
        assert not backend.guess_can_open(str(tmp_path / name)), name
    assert not backend.guess_can_open(open(log, "rb"))
