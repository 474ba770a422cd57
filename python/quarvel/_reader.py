"""Logger files as numpy arrays: the block index, the samples read from
the file when asked for, and the converter's calibrated values and time
stamps computed exactly."""

from __future__ import annotations

import os
from types import TracebackType
from typing import TYPE_CHECKING, Iterator, Sequence, overload

import numpy as np

from ._columns import SAMPLE_COLUMNS
from ._headers import HEADER_SIZE, open_regular
from ._index import BlockTable, table_frame, warn_truncated
from ._optional import require
from ._arrays import new_array
from ._pieces import block_pieces, fill_ticks, read_columns, row_pieces, selection_stride
from ._samples import SampleFile, ascending, read_block_raw, read_block_values
from ._scan import scan_open_file
from ._times import milliseconds, period_seconds, sample_times

if TYPE_CHECKING:
    import pandas

__all__ = ["Block", "LogFile", "open"]


class Block:
    """One block of a logger file: its header fields, and its samples as
    numpy arrays, read from the file when asked for. Slicing a block
    (``block[::4]``) gives a block of the selected samples, as
    ``quarvel -n 4`` selects them."""

    __slots__ = ("_log", "_row", "_header", "index", "data_offset", "present_samples", "gain", "offset", "_selection")

    def __init__(self, log: LogFile, row: int, index: int | None = None, selection: range | None = None) -> None:
        table = log._table
        self._log = log
        self._row = row  # the index's row: a run of blocks is one
        self._header = table.header(row)
        first = int(table.block[row])
        self.index = first if index is None else index
        self.data_offset = int(table.data_offset[row]) + (self.index - first) * HEADER_SIZE
        self.present_samples = int(table.present_samples[row])
        # numpy float32 scalars with the stored bits (a signalling NaN stays one)
        self.gain = table.gain[row]
        self.offset = table.offset[row]
        self._selection = range(self.present_samples) if selection is None else selection

    @property
    def channel(self) -> int:
        """The ADC channel (signed 32-bit)."""
        return self._header[0]

    @property
    def period_ms(self) -> int:
        """The sample period in ms, as stored (unsigned 32-bit)."""
        return self._header[1]

    @property
    def first_time(self) -> int:
        """The first sample's time, in seconds since the epoch (signed 32-bit)."""
        return self._header[2]

    @property
    def declared_samples(self) -> int:
        """The sample count the header declares (signed 32-bit, may be 0 or less)."""
        return self._header[3]

    @property
    def truncated(self) -> bool:
        """True when the file holds fewer samples than the header declares."""
        return self.present_samples < self.declared_samples

    @property
    def step(self) -> float:
        """The period in seconds, the time from one sample to the next: the
        stored period as signed 32-bit ms / 1000 (named step, as documented)."""
        return period_seconds(self.period_ms)

    @property
    def sample_indices(self) -> range:
        """The indices in the block of the samples this (sliced) block holds."""
        return self._selection

    def __len__(self) -> int:
        return len(self._selection)

    def __getitem__(self, key: slice) -> Block:
        """Returns the block restricted to the samples `key` selects."""
        if not isinstance(key, slice):
            raise TypeError("blocks are sliced (block[::n]); use block.raw or block.values() for samples")
        part = Block.__new__(Block)
        for name in Block.__slots__:
            setattr(part, name, getattr(self, name))
        part._selection = self._selection[key]
        return part

    def every(self, modulus: int) -> Block:
        """Returns the block's every `modulus`-th sample from its first, as
        ``quarvel -n modulus`` selects them (a negative modulus acts as its
        magnitude). Raises ValueError for 0."""
        return self[:: selection_stride(modulus)]

    def __repr__(self) -> str:
        return (
            f"<quarvel.Block {self.index}: channel {self.channel}, {self.period_ms} ms, "
            f"first time {self.first_time}, {len(self)} of {self.declared_samples} samples"
            f"{', truncated' if self.truncated else ''}>"
        )

    def _source(self) -> SampleFile:
        """The open file, checked to be still the one indexed."""
        source = self._log._open_source()
        source.check()
        source.check_header(self.data_offset, self._header)
        return source

    @property
    def raw(self) -> np.ndarray:
        """The selected raw counts: a new int16 array in the machine's byte
        order, read from the file at each access. Raises FileChangedError
        when the file shrank or changed since it was opened."""
        source = self._source()
        raw = read_block_raw(source, self.data_offset, self._selection)
        source.check()
        return raw

    def values(self) -> np.ndarray:
        """Returns the calibrated values as float32: raw × gain + offset in
        double precision (the sum rounded to a double), then rounded to
        float32, with the converter's NaN signs. Raises FileChangedError
        when the file shrank or changed since it was opened."""
        source = self._source()
        values = read_block_values(source, self.data_offset, self._selection, float(self.gain), float(self.offset))
        source.check()
        return values

    def times(self) -> np.ndarray:
        """Returns each selected sample's time stamp in seconds since the
        epoch (float64): the first-sample time with the period added once per
        sample, one rounded addition after another, as the converter's time
        column has them."""
        return sample_times(self.first_time, self.period_ms, self._selection)

    def ticks(self) -> np.ndarray:
        """Returns each selected sample's tick (int64): its exact time in
        whole milliseconds since the epoch, first_time × 1000 + i × period
        for sample i of the block, the period as the signed 32-bit number
        of ms that the converter steps by. Unlike times(), it never drifts."""
        order = ascending(self._selection)
        out = new_array(len(order), np.int64)
        if len(order):
            fill_ticks(self._piece(order), out)
        return out if self._selection.step > 0 else out[::-1].copy()

    def datetimes(self) -> np.ndarray:
        """Returns the time stamps as numpy datetime64[ms] in UTC, rounded
        to the millisecond as the converter's three decimals round them."""
        return milliseconds(self.times()).view("datetime64[ms]")

    def to_dataframe(self) -> pandas.DataFrame:
        """Returns a pandas DataFrame of the selected samples, one row each,
        with the columns ``block``, the converter's field names, and
        ``tick`` after ``time``."""
        order = ascending(self._selection)
        frame = self._log._frame(self._piece(order) if len(order) else self._piece(order)[:0])
        return frame if self._selection.step > 0 else frame[::-1].reset_index(drop=True)

    def _piece(self, order: range) -> np.ndarray:
        """The piece (see _pieces) of the samples `order` of the block, ascending."""
        piece = row_pieces(self._log._table, np.array([self._row]))
        piece["first"], piece["count"] = order.start, len(order)
        piece["stride"] = order.step if len(order) > 1 else 1  # a stride past 64 bits selects one sample
        return piece


class BlockList(Sequence[Block]):
    """The blocks of a LogFile in file order; each Block is made when it is
    asked for, from the index."""

    __slots__ = ("_log", "_count")

    def __init__(self, log: LogFile) -> None:
        self._log = log
        self._count = log._table.block_count()

    def __len__(self) -> int:
        return self._count

    def _blocks(self, indices: range) -> list[Block]:
        """The blocks `indices`, each from the row that holds it (a run of blocks is one row)."""
        chosen = np.arange(indices.start, indices.stop, indices.step, dtype=np.int64)
        rows = np.searchsorted(self._log._table.block, chosen, side="right") - 1
        return [Block(self._log, row, index) for row, index in zip(rows.tolist(), chosen.tolist())]

    @overload
    def __getitem__(self, key: int) -> Block: ...

    @overload
    def __getitem__(self, key: slice) -> list[Block]: ...

    def __getitem__(self, key: int | slice) -> Block | list[Block]:
        indices = range(len(self))
        if isinstance(key, slice):
            return self._blocks(indices[key])
        index = indices[key]
        return self._blocks(range(index, index + 1))[0]

    def __iter__(self) -> Iterator[Block]:
        table = self._log._table
        for row, times in enumerate(table.repeats.tolist()):
            first = int(table.block[row])
            for index in range(first, first + times):
                yield Block(self._log, row, index)

    def __repr__(self) -> str:
        return f"<{len(self)} blocks of {self._log!r}>"


class LogFile:
    """An open logger file: `blocks` lists its blocks in file order. Use
    quarvel.open() to get one, preferably in a with statement."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = path
        fd, info = open_regular(path)
        try:
            self._table: BlockTable = scan_open_file(path, fd, info.st_size)
        except BaseException:
            os.close(fd)
            raise
        self._file: SampleFile | None = SampleFile(path, fd, info)
        self.size = info.st_size
        self.blocks = BlockList(self)
        warn_truncated(self._table, stacklevel=3)

    def _open_source(self) -> SampleFile:
        if self._file is None:
            raise ValueError("the log file is closed")
        return self._file

    def __iter__(self) -> Iterator[Block]:
        return iter(self.blocks)

    def __len__(self) -> int:
        return len(self.blocks)

    def __repr__(self) -> str:
        return f"<quarvel.LogFile {os.fspath(self.path)!r}: {len(self)} blocks>"

    def index(self) -> pandas.DataFrame:
        """Returns the file's block index as quarvel.index() gives it."""
        return table_frame(require("pandas"), self._table)

    def to_dataframe(self, modulus: int = 1) -> pandas.DataFrame:
        """Returns a pandas DataFrame of every block's samples (every
        `modulus`-th of each block, as ``-n``), one row per sample, with the
        columns ``block``, the converter's field names, and ``tick`` after
        ``time``."""
        return self._frame(block_pieces(self._table, selection_stride(modulus)))

    def _frame(self, pieces: np.ndarray) -> pandas.DataFrame:
        """Returns the DataFrame of the samples that `pieces` select, read
        from the open file."""
        pd = require("pandas")
        opened = self._open_source() if len(pieces) else None
        return pd.DataFrame(read_columns([self.path], [None], pieces, SAMPLE_COLUMNS, opened), copy=False)

    def close(self) -> None:
        """Releases the file. Arrays taken from it are the caller's own and
        stay as they are."""
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self) -> LogFile:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def open(path: str | os.PathLike[str]) -> LogFile:
    """Opens the logger file at `path` and indexes its block headers; the
    samples are read when asked for. Returns a LogFile, usable as a context
    manager. Raises FileNotFoundError, IsADirectoryError,
    NotRegularFileError (a pipe or a device) or another OSError; warns with
    TruncatedBlockWarning for a block the file cuts short."""
    return LogFile(path)
