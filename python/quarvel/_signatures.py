"""What a file is when it is not a log: the signatures of the formats that
quarvel's logs are exported to (HDF5 and NetCDF files, Zarr stores), of
a catalog's folder, and the converter's own text, which a logger file
cannot be told from by its bytes alone, since any bytes are a log."""

from __future__ import annotations

import os
import re

from ._headers import FileStamp, Headers, NotALogError, read_at, read_file_headers
from ._owntext import is_own_text

# A file's first bytes, in which every signature below lies.
HEAD_SIZE = 4096
# HDF5 (NetCDF-4 is HDF5) puts its signature at 0, or after a user block
# of 512, 1024, 2048... bytes.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
HDF5_PLACES = (0, 512, 1024, 2048)
NETCDF_SIGNATURES = {
    b"CDF\x01": "a classic NetCDF file",
    b"CDF\x02": "a 64-bit offset NetCDF file",
    b"CDF\x05": "a 64-bit data NetCDF file",
}
# The files of JSON metadata that make a folder a Zarr store (versions 2 and 3).
ZARR_METADATA = (".zgroup", ".zarray", ".zattrs", ".zmetadata", "zarr.json")


def other_format(path: str | bytes | os.PathLike, head: bytes) -> str | None:
    """Returns what the file `path` is, by its first bytes `head` (HEAD_SIZE
    of them, or the whole file): "an HDF5 file", a kind of NetCDF file,
    "a Zarr store's metadata" (a JSON object with a "zarr_format", or under
    a name that Zarr gives its metadata), or "a text file written by
    quarvel" (by the rule with which the converter refuses such an input).
    None when it is none of these."""
    if any(head[place : place + len(HDF5_SIGNATURE)] == HDF5_SIGNATURE for place in HDF5_PLACES):
        return "an HDF5 file"
    if head[:4] in NETCDF_SIGNATURES:
        return NETCDF_SIGNATURES[head[:4]]
    if head.lstrip(b" \t\r\n").startswith(b"{"):
        name = os.path.basename(os.fsdecode(path))
        if name in ZARR_METADATA or b'"zarr_format"' in head:
            return "a Zarr store's metadata"
    if is_own_text(head):
        return "a text file written by quarvel"
    return None


def is_zarr_store(folder: str | bytes | os.PathLike) -> bool:
    """True when `folder` is a folder that holds Zarr's metadata."""
    folder = os.fsdecode(folder)
    return os.path.isdir(folder) and any(os.path.isfile(os.path.join(folder, name)) for name in ZARR_METADATA)


# A catalog's folder (quarvel.Catalog) holds this file, which names its
# current generation, a file of this form.
CATALOG_POINTER = "CURRENT"
CATALOG_GENERATION = re.compile(r"gen-[0-9]{8}T[0-9]{6}\.[0-9]{6}Z-[A-Za-z0-9._-]+-[0-9]+\.sqlite")


def is_catalog(folder: str | bytes | os.PathLike) -> bool:
    """True when `folder` is a catalog's: its CATALOG_POINTER names a generation."""
    try:
        with open(os.path.join(os.fsdecode(folder), CATALOG_POINTER), "rb") as pointer:  # noqa: PTH123
            return CATALOG_GENERATION.fullmatch(pointer.read(256).decode("ascii", "replace").strip()) is not None
    except OSError:
        return False


def refusal(path: str | bytes | os.PathLike, fd: int) -> str | None:
    """Returns what the file `path`, open as `fd`, is when its first bytes
    (HEAD_SIZE of them, read once) carry the signature of another format,
    as other_format() names it; None for a log."""
    return other_format(path, read_at(fd, 0, HEAD_SIZE))


def _head_refusal(path: str | bytes | os.PathLike, head: bytes) -> str | None:
    """Returns what refusal() returns, from the file's first bytes `head`."""
    return other_format(path, head[:HEAD_SIZE])


def read_log_headers(path: str | bytes | os.PathLike, out: Headers) -> FileStamp:
    """Does what read_file_headers() does, and raises NotALogError for a
    file of another format (see refusal) and for a Zarr store."""
    try:
        return read_file_headers(path, out, _head_refusal)
    except IsADirectoryError:
        if is_zarr_store(path):
            raise NotALogError(path, "a Zarr store") from None
        raise
