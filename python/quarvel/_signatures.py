"""What a file is when it is not a log: the signatures of the formats that
quarvel's logs are exported to (HDF5 and NetCDF files, Zarr stores), and
the converter's own text, which a logger file cannot be told from by its
bytes alone, since any bytes are a log; and, from its block headers, the
rule for a file that is probably not a logger file."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

import numpy as np

from ._owntext import is_own_text

if TYPE_CHECKING:
    from ._index import BlockTable

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
# The channels a logger's first header can name: from -2^24 up to 2^24 - 1,
# whose first byte is 0x00 or 0xFF. A log whose first channel lies outside
# meets the converter's rule for its own text.
LOGGER_CHANNELS = (-(1 << 24), 1 << 24)
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


def probably_not_logs(table: BlockTable) -> np.ndarray:
    """Returns per file of `table` whether it is probably not a logger
    file: the file is cut short (a block holds fewer samples than its
    header declares) and its first block's header names a channel below
    -2^24 or from 2^24 up. Read as a log, any file is one; a text, a
    picture or an archive is almost always cut short, and its first bytes
    are rarely a logger's channel number. A file without blocks is not
    judged (False)."""
    files = len(table.paths)
    cut = np.zeros(files, dtype=bool)
    cut[table.file[table.truncated()]] = True
    first = np.flatnonzero(table.block == 0)
    low, high = LOGGER_CHANNELS
    channel = table.channel[first]
    unlike = np.zeros(files, dtype=bool)
    unlike[table.file[first]] = (channel < low) | (channel >= high)
    return cut & unlike
