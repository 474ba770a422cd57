"""`python3 -m quarvel export`: what plain xarray, without quarvel, reads
back from the NetCDF-4 file or Zarr store is the reader's, bit for bit;
bad input is reported file by file; a failed export leaves nothing
behind."""

from __future__ import annotations

import ctypes
import io
import os
import resource
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest
from conftest import assert_rows_are_readers, assert_same_bits, python_env, run_quarvel
from logbuilder import write_cases

pytest.importorskip("pandas")
pytest.importorskip("xarray")  # to read the output back

import quarvel  # noqa: E402
import quarvel._output as qoutput  # noqa: E402
import quarvel.export as qexport  # noqa: E402
from quarvel._scan import expand_paths  # noqa: E402

WRITERS = {".nc": "netCDF4", ".zarr": "zarr"}
# Run with no quarvel importable: the output must stand on its own.
READ_BACK = """
import sys
import numpy as np
import xarray as xr
try:
    import quarvel
except ImportError:
    pass
else:
    sys.exit("quarvel can be imported here")
path, out = sys.argv[1:]
data = xr.open_dataset(path)
for name in data.variables:  # one at a time: the campaign may be large
    np.save(f"{out}/{name}.npy", data[name].values, allow_pickle=name in ("path", "logger"))
np.save(f"{out}/tick_as_stored.npy", xr.open_dataset(path, decode_times=False)["tick"].values)
if path.endswith(".nc"):  # an HDF5 file too
    import h5py
    with h5py.File(path, "r") as plain:
        if plain["calData"][:].tobytes() != data["calData"].values.tobytes():
            sys.exit("h5py reads other calData")
"""
BLOCK_FIELDS = ["channel", "period_ms", "first_time", "declared_samples", "present_samples", "gain", "offset"]


def export(*args: str, **options) -> subprocess.CompletedProcess:  # noqa: ANN003 - subprocess.run's
    return run_quarvel("export", *args, **options)


def read_back(path, folder) -> dict[str, np.ndarray]:
    """Returns the arrays that plain xarray reads from the output `path`,
    mapped from files in `folder`."""
    out = folder / f"arrays-{os.path.basename(path)}"
    out.mkdir()
    done = subprocess.run(
        [sys.executable, "-c", READ_BACK, str(path), str(out)], cwd=folder, capture_output=True, text=True,
        env={key: value for key, value in os.environ.items() if key != "PYTHONPATH"},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    strings = ("path", "logger")  # objects, not mapped
    return {f.stem: np.load(f, None if f.stem in strings else "r", f.stem in strings) for f in out.iterdir()}


def samples(arrays, length=1 << 20):
    """Yields the per-sample arrays a stretch at a time, the ticks as
    stored, with each sample's block (its position in its file) and path."""
    for start in range(0, len(arrays["time"]), length):
        part = {name: np.asarray(arrays[name][start : start + length]) for name in ("time", "calData", "rawCounts")}
        part["tick"] = np.asarray(arrays["tick_as_stored"][start : start + length])
        rows = np.asarray(arrays["sample_block"][start : start + length])
        part["block"] = np.asarray(arrays["block_in_file"])[rows]
        part["path"] = arrays["path"][np.asarray(arrays["block_file"])[rows]]
        yield part


@pytest.mark.parametrize("extension", WRITERS)
def test_plain_xarray_reads_back_the_reader(campaign, tmp_path, extension):
    pytest.importorskip(WRITERS[extension])
    if extension == ".nc":
        pytest.importorskip("h5py")  # which reads it back too
    good = campaign["varied"][:25]
    out = tmp_path / f"campaign{extension}"
    other = shutil.copy(good[0], tmp_path / "other.log")  # which the logger expression does not match
    logger = r"(\d)\d\.002$|(?<!\.log)$"  # every operand but other.log
    done = export(str(out), *good[:10], str(tmp_path / "missing.002"), str(tmp_path), other, *good[10:],
                  "--logger", logger)  # fmt: skip
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert f"quarvel export: cannot read {tmp_path / 'missing.002'}: No such file or directory" in lines
    assert f"quarvel export: cannot read {tmp_path}: Is a directory" in lines
    assert f"quarvel export: {other}: no logger: the path does not match the expression {logger!r}" in lines
    index = quarvel.index(good)
    cut = index[index["truncated"]]
    assert [line for line in lines if line.startswith("truncated")] == [
        f"truncated block in input file {p}: {n} of {d} samples read"
        for p, n, d in zip(cut["path"], cut["present_samples"], cut["declared_samples"])
    ]
    arrays = read_back(out, tmp_path)
    assert arrays["tick"].dtype == "datetime64[ns]" and arrays["tick_as_stored"].dtype == np.int64
    assert (arrays["tick"].view(np.int64) == arrays["tick_as_stored"] * 1_000_000).all()
    assert_rows_are_readers(samples(arrays), good, ["time", "tick", "calData", "rawCounts", "block", "path"])
    assert arrays["logger"].tolist() == [path[-6] for path in good]
    assert_same_bits(arrays, index, BLOCK_FIELDS + ["data_offset"])
    assert arrays["path"].tolist() == good
    assert arrays["file_size"].tolist() == [os.path.getsize(p) for p in good]
    assert arrays["block_in_file"].tolist() == index["block"].tolist()
    assert arrays["path"][arrays["block_file"]].tolist() == index["path"].tolist()
    with_samples = np.flatnonzero(index["present_samples"] > 0)
    assert (arrays["sample_block"][arrays["first_sample"][with_samples]] == with_samples).all()


def test_the_shared_cases_ticks_as_dates_and_beyond_them(tmp_path):
    """The shared cases' ticks (1895 to 2044) are dates to plain xarray; one past 2262 leaves them as stored."""
    pytest.importorskip("zarr")
    from logbuilder import INT32_MAX, BlockPlan, log_bytes

    paths = [str(path) for path in write_cases(tmp_path / "cases")]
    (tmp_path / "far.002").write_bytes(log_bytes([BlockPlan(1, INT32_MAX, INT32_MAX, np.zeros(5000, np.int16))]))
    for logs, scale in ((paths, 1_000_000), (paths + [str(tmp_path / "far.002")], 1)):
        assert export(str(tmp_path / f"{scale}.zarr"), *logs).returncode == 0
        arrays = read_back(tmp_path / f"{scale}.zarr", tmp_path)
        assert (arrays["tick"].view(np.int64) == arrays["tick_as_stored"] * scale).all()
        assert_rows_are_readers(samples(arrays), logs, ["time", "tick", "calData", "rawCounts", "block", "path"])


def test_what_is_not_exported(campaign, tmp_path):
    log = campaign["varied"][3]
    done = export(str(tmp_path / "out.nc"), str(tmp_path / "missing.002"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == "quarvel export: no log could be read; nothing written"
    assert not os.listdir(tmp_path)
    done = export(str(tmp_path / "out.h5"), log)
    assert done.returncode == 1 and "the name must end in .nc (NetCDF-4) or .zarr (Zarr)" in done.stderr
    done = export(str(tmp_path / "none" / "out.zarr"), log)  # Zarr would make the folder
    assert done.returncode == 1 and f"{tmp_path / 'none' / 'out.zarr'}: No such file or directory" in done.stderr
    assert not os.listdir(tmp_path)
    pytest.importorskip("zarr")
    folder = tmp_path / "kept.zarr"
    folder.mkdir()
    (folder / "notes.txt").write_text("mine")
    done = export(str(folder), log)
    assert done.returncode == 1 and "it is a folder that is not a Zarr store" in done.stderr
    assert os.listdir(folder) == ["notes.txt"] and len(os.listdir(tmp_path)) == 1
    store = tmp_path / "store.zarr"
    assert export(str(store), campaign["varied"][1]).returncode == 0
    assert export(str(store), log).returncode == 0  # a Zarr store is replaced
    assert read_back(store, tmp_path)["path"].tolist() == [log]


def test_a_log_that_fails_midway_leaves_the_old_output(campaign, tmp_path, monkeypatch):
    pytest.importorskip("netCDF4")
    out = tmp_path / "out.nc"
    out.write_bytes(b"the previous export")
    calls = []
    read = qexport.read_columns

    def failing(paths, stamps, pieces, names):
        calls.append(1)
        if len(calls) == 2:
            path = paths[pieces["file"][0]]
            raise quarvel.FileChangedError(5, "the file changed after it was opened: it shrank", path)
        return read(paths, stamps, pieces, names)

    monkeypatch.setattr(qexport, "CHUNK", 5000)
    monkeypatch.setattr(qexport, "read_columns", failing)
    err = io.StringIO()
    paths = campaign["varied"][:4]
    assert qexport.run(str(out), paths, err=err) == 1
    last = err.getvalue().splitlines()[-1]
    assert last.endswith(": the file changed after it was opened: it shrank; nothing written")
    assert out.read_bytes() == b"the previous export" and os.listdir(tmp_path) == ["out.nc"]


def test_h5netcdf_writes_what_netcdf4_writes(campaign, tmp_path, monkeypatch):
    """Where netCDF4 is missing, h5netcdf writes the NetCDF-4 file."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    pytest.importorskip("h5netcdf")
    paths = campaign["varied"][:6]
    assert qexport.run(str(tmp_path / "netcdf4.nc"), paths, err=io.StringIO()) == 0
    monkeypatch.setitem(sys.modules, "netCDF4", None)  # its import fails
    assert qexport.run(str(tmp_path / "h5netcdf.nc"), paths, err=io.StringIO()) == 0
    ours, theirs = (xr.open_dataset(tmp_path / name, engine="h5netcdf") for name in ("h5netcdf.nc", "netcdf4.nc"))
    assert list(ours.variables) == list(theirs.variables) and ours.attrs == theirs.attrs
    for name in theirs.variables:
        assert ours[name].attrs == theirs[name].attrs and "_FillValue" not in ours[name].encoding, name
    assert_same_bits(ours, theirs, [name for name in theirs.variables if name != "path"])
    assert ours["path"].values.tolist() == paths


def test_an_out_that_is_an_input_is_refused(campaign, tmp_path):
    pytest.importorskip("zarr")
    run, store, everything = tmp_path / "run.nc", tmp_path / "all.zarr", tmp_path / "all.nc"
    log = shutil.copy(campaign["ordered"][1], run)  # a log named as an export
    assert export(str(everything), log).returncode == export(str(store), log).returncode == 0
    shutil.copy(log, store / "x.002")
    links = [tmp_path / "link.002", tmp_path / "hard.002"]
    links[0].symlink_to(run)
    os.link(run, links[1])
    before = {p: p.read_bytes() for p in tmp_path.glob("**/*") if p.is_file()}
    cases = [(run, "is", [run]), *((run, "is", [link]) for link in links), (store, "holds", [store / "x.002"])]
    for out, how, inputs in cases + [(everything, "is", [run, everything])]:  # an earlier export among the logs
        done = export(str(out), *map(str, inputs))
        assert done.returncode == 1
        assert done.stderr == f"quarvel export: cannot write {out}: it {how} the input {inputs[-1]}; nothing written\n"
    assert before == {p: p.read_bytes() for p in tmp_path.glob("**/*") if p.is_file()}


def test_inputs_of_other_formats_are_refused_and_never_found(campaign, tmp_path, convert):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    logs = campaign["ordered"][1:3]
    dataset = xr.Dataset({"x": ("n", np.arange(3.0))})
    for name, form in (("hdf5.nc", "NETCDF4"), ("classic.nc", "NETCDF3_CLASSIC"), ("offset.nc", "NETCDF3_64BIT")):
        dataset.to_netcdf(tmp_path / name, format=form, engine="netcdf4")
    dataset.to_zarr(tmp_path / "store.zarr")
    (tmp_path / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')
    others = {"hdf5.nc": "an HDF5 file", "classic.nc": "a classic NetCDF file", "store.zarr": "a Zarr store"}
    others.update(dict.fromkeys(["store.zarr/.zgroup", "store.zarr/x/.zarray", "zarr.json"], "a Zarr store's metadata"))
    others["offset.nc"] = "a 64-bit offset NetCDF file"
    shutil.copy(logs[0], tmp_path / "log")
    (tmp_path / "text").write_bytes(convert(tmp_path / "log", "-tc")[0])
    others["text"] = "a text file written by quarvel"
    done = export(str(tmp_path / "out.nc"), logs[0], *[str(tmp_path / name) for name in others], logs[1])
    assert done.returncode == 1
    lines = [f"quarvel export: input file {tmp_path / n} is {what}, not a logger file" for n, what in others.items()]
    assert done.stderr.splitlines() == lines
    assert read_back(tmp_path / "out.nc", tmp_path)["path"].tolist() == logs
    (tmp_path / "sub").mkdir()
    shutil.copy(logs[0], tmp_path / "sub" / "1.002")
    assert expand_paths(f"{tmp_path}/**/[0-9]*") == [f"{tmp_path}/sub/1.002"]  # not store.zarr/x/0


# Exports argv[3:] to argv[1], and just after its first step in putting the
# output in place does argv[2]: "kill" itself, or "race" another export (of
# the first log) to the same place, with or without swapping folders.
HOOKED = """
import os, shutil, signal, subprocess, sys
import quarvel._output as qoutput
import quarvel.export as qexport
out, action, logs = sys.argv[1], sys.argv[2], sys.argv[3:]
def hooked(function):
    def call(*args, **kwargs):
        result = function(*args, **kwargs)
        if out in map(os.fsdecode, args) and not hooked.done:
            hooked.done = True
            if action == "kill":
                os.kill(os.getpid(), signal.SIGKILL)
            subprocess.run([sys.executable, "-m", "quarvel", "export", out, logs[0]], check=True)
        return result
    return call
hooked.done = False
os.rename, os.replace, shutil.rmtree = map(hooked, (os.rename, os.replace, shutil.rmtree))
qoutput._exchange = (lambda a, b: False) if action == "race-without-swap" else hooked(qoutput._exchange)
sys.exit(qexport.run(out, logs))
"""


@pytest.mark.parametrize("action", ["race", "race-without-swap", "kill"])
def test_out_is_always_one_whole_output(campaign, tmp_path, action):
    pytest.importorskip("zarr")
    logs, out = campaign["ordered"][1:4], tmp_path / "all.zarr"
    assert export(str(out), logs[2]).returncode == 0
    command = [sys.executable, "-c", HOOKED, str(out), action, *logs]
    done = subprocess.run(command, env=python_env(), capture_output=True, text=True)
    if action != "kill":
        assert done.returncode == 0 and done.stderr == "" and os.listdir(tmp_path) == ["all.zarr"]
        assert read_back(out, tmp_path)["path"].tolist() in ([logs[0]], logs)
        return
    assert done.returncode == -signal.SIGKILL and read_back(out, tmp_path)["path"].tolist() == logs
    assert len([name for name in os.listdir(tmp_path) if name.startswith("all.zarr.partial-")]) == 1  # ls shows it
    live = f"all.zarr.partial-{qoutput._HOST}-{os.getpid()}"
    (tmp_path / live).mkdir()
    assert export(str(out), logs[0]).returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["all.zarr", live, "arrays-all.zarr"]  # the dead one's removed


LIBC = ctypes.CDLL(None, use_errno=True)


def limit(how: str) -> None:
    """Run by a child before its program: a file size limit, whose writes
    past it fail, or for root, no power over permissions (PR_CAPBSET_DROP
    of CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH)."""
    if how == "size":
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    elif os.geteuid() == 0:
        for capability in (1, 2):
            LIBC.prctl(24, capability, 0, 0, 0)


@pytest.mark.parametrize("extension", WRITERS)
@pytest.mark.parametrize("how, words", [("read-only", "Permission denied"), ("size", "File too large")])
def test_the_system_s_refusal_in_its_words(campaign, tmp_path, extension, how, words):
    pytest.importorskip(WRITERS[extension])
    out = tmp_path / "out" / f"x{extension}"
    out.parent.mkdir(mode=0o555 if how == "read-only" else 0o755)
    done = export(str(out), *campaign["ordered"][:6], preexec_fn=lambda: limit(how))
    refused = "; nothing written" if how == "read-only" else ""  # before reading, or when the disk fills
    assert done.returncode == 1 and done.stderr.splitlines()[-1] == f"quarvel export: cannot write {out}: {words}{refused}"
    assert os.listdir(out.parent) == []
