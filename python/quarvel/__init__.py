"""Read quarvel's logger files straight into numpy arrays and pandas.

    import quarvel
    with quarvel.open("run7.002") as log:
        for block in log.blocks:
            print(block.channel, block.values(), block.times())

The values and time stamps are those that the quarvel converter writes,
to the bit, before it rounds them to text.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__all__ = [
    "open",
    "index",
    "expand_paths",
    "dask_dataframe",
    "open_dataset",
    "check",
    "Catalog",
    "CatalogError",
    "update_catalog",
    "table",
    "LogFile",
    "Block",
    "TruncatedBlockWarning",
    "FileChangedError",
    "NotRegularFileError",
    "__version__",
]

from ._headers import FileChangedError, NotRegularFileError, TruncatedBlockWarning

if TYPE_CHECKING:
    from ._catalog import Catalog, CatalogError
    from ._check import check
    from ._dask import dask_dataframe
    from ._dataset import open_dataset
    from ._reader import Block, LogFile, open
    from ._routes import index
    from ._scan import expand_paths
    from ._update import update as update_catalog
    from ._table import table

    __version__: str


def __getattr__(name: str) -> Any:
    # numpy is imported when the reader is first used, not with the package.
    if name in ("open", "LogFile", "Block"):
        from . import _reader

        return getattr(_reader, name)
    if name == "index":
        from ._routes import index

        return index
    if name == "expand_paths":
        from ._scan import expand_paths

        return expand_paths
    if name == "dask_dataframe":
        from ._dask import dask_dataframe

        return dask_dataframe
    if name == "open_dataset":
        from ._dataset import open_dataset

        return open_dataset
    if name == "check":
        from ._check import check

        return check
    if name in ("Catalog", "CatalogError"):
        from . import _catalog

        return getattr(_catalog, name)
    if name == "update_catalog":
        from ._update import update

        return update
    if name == "table":
        from ._table import table

        return table
    if name == "__version__":
        from ._version import version

        return version()
    raise AttributeError(f"module 'quarvel' has no attribute {name!r}")
