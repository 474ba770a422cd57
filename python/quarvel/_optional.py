"""Imports of the optional packages, with an error that says what to install."""

from __future__ import annotations

import importlib
from types import ModuleType

# The Debian package beside the pip name: most users here have both.
_INSTALL_HINTS = {
    "pandas": "pip install pandas, or on Debian: apt install python3-pandas",
    "matplotlib": "pip install matplotlib, or on Debian: apt install python3-matplotlib",
    "dask": 'pip install "dask[dataframe]", or on Debian: apt install python3-dask',
    "distributed": "pip install distributed, or on Debian: apt install python3-distributed",
    "xarray": "pip install xarray, or on Debian: apt install python3-xarray",
    "zarr": "pip install zarr, or on Debian: apt install python3-zarr",
    "numcodecs": "pip install numcodecs, or on Debian: apt install python3-numcodecs",
}


def require(name: str) -> ModuleType:
    """Returns the module `name`; raises ImportError naming the package to
    install when it is missing."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        hint = _INSTALL_HINTS.get(name.split(".")[0], f"pip install {name}")
        raise ImportError(f"this needs the package {name.split('.')[0]!r}, which is not installed ({hint})") from error
