"""A points table read a chunk of rows at a time, from the start of the file to its end.

``.npy`` files and the ``points_in_rows`` member of an ``.npz`` archive are read straight
into one reused buffer (never memory-mapped: mapped pages count as resident memory once
touched) and come as float64 arrays, as the in-memory merge converts them. Parquet files
(or folders of them) come a row group's batches at a time, and CSV files in blocks of
rows, both as pandas DataFrames typed as the whole file would be typed.
"""

from __future__ import annotations

import contextlib
import os
import zipfile
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

from quillmoor.tables.decoding import require_pandas, require_pyarrow
from quillmoor.tables.file_errors import TableFileError, os_reason, suffix_of
from quillmoor.tables.npy_stream import NpyFormatError, read_data, read_header

POINTS = "points_in_rows"
_PARQUET_BUFFER = 1 << 20


@dataclass
class PointChunks:
    """Where the points are and how they come: ``kind`` is ``"array"`` (float64 chunks)
    or ``"frame"`` (pandas DataFrames); ``rows`` and ``width`` are known up front for
    arrays (``rows`` also for Parquet), else ``None``."""

    path: str
    shown: str
    kind: str
    rows: int | None
    width: int | None
    member: str | None = None
    csv_dtypes: Mapping[str, Any] | None = None

    def chunks(self, rows_per_chunk: int, columns: list[str] | None = None) -> Iterator[Any]:
        """The table's rows in order, at most ``rows_per_chunk`` at a time; of a Parquet
        table only ``columns``, when given (the ones present)."""
        rows_per_chunk = max(1, rows_per_chunk)
        suffix = suffix_of(self.path)
        if self.kind == "array":
            return self._array_chunks(rows_per_chunk)
        if suffix == ".csv":
            return self._csv_chunks(rows_per_chunk)
        return self._parquet_chunks(rows_per_chunk, columns)

    def with_csv_dtypes(self, dtypes: Mapping[str, Any]) -> PointChunks:
        """The same CSV file, each column read with the dtype given."""
        return PointChunks(self.path, self.shown, self.kind, self.rows, self.width,
                           self.member, dict(dtypes))

    def _array_chunks(self, rows_per_chunk: int) -> Iterator[np.ndarray]:
        with self._npy_stream() as stream:
            shape, fortran, dtype = self._header(stream)
            if fortran:
                raise TableFileError(
                    f"{self.shown}: {POINTS} is stored column by column (Fortran order), "
                    "which cannot be read a block of rows at a time; save it in row order"
                )
            rows, width = shape
            ready = dtype == np.dtype(np.float64)
            buffer = None if ready else np.empty((min(rows, rows_per_chunk), width), dtype)
            done = 0
            while done < rows:
                count = min(rows_per_chunk, rows - done)
                block = np.empty((count, width)) if buffer is None else buffer[:count]
                if block.size:
                    try:
                        read_data(stream, block.reshape(-1).view(np.uint8).data,
                                  rows * width * dtype.itemsize, done * width * dtype.itemsize)
                    except NpyFormatError as error:
                        raise TableFileError(
                            f"{self.shown}: cannot read it as a NumPy file: {error}") from None
                done += count
                # Converted as the in-memory merge converts them: astype, native order.
                yield block if ready else block.astype(np.float64)

    @contextlib.contextmanager
    def _npy_stream(self) -> Iterator[IO[bytes]]:
        try:
            with open(self.path, "rb") as file:
                if self.member is None:
                    yield file
                    return
                with zipfile.ZipFile(file) as archive, archive.open(self.member) as member:
                    yield member
        except OSError as error:
            raise TableFileError(f"{self.shown}: cannot read it: {os_reason(error)}") from None

    def _header(self, stream: IO[bytes]) -> tuple[tuple[int, int], bool, np.dtype[Any]]:
        try:
            shape, fortran, dtype = read_header(stream)
        except NpyFormatError as error:
            raise TableFileError(f"{self.shown}: cannot read it as a NumPy file: {error}") \
                from None
        if dtype.kind not in "biuf":
            raise TableFileError(
                f"{self.shown}: {POINTS} must hold numbers convertible to float64, not {dtype}"
            )
        if len(shape) != 2:
            raise TableFileError(
                f"{self.shown}: {POINTS} must be a 2-D table (records x columns), "
                f"got {len(shape)}-D with shape {shape}"
            )
        return (shape[0], shape[1]), fortran, dtype

    def _parquet_chunks(self, rows_per_chunk: int, columns: list[str] | None) -> Iterator[Any]:
        require_pandas(self.shown)
        require_pyarrow(self.shown)
        import pyarrow
        import pyarrow.parquet

        try:
            for path in _parquet_files(self.path):
                # Pages are read as they are decoded, not a row group's columns at once,
                # and one batch at a time: a reader that reads ahead holds many.
                file = pyarrow.parquet.ParquetFile(path, buffer_size=_PARQUET_BUFFER,
                                                   pre_buffer=False)
                with file:
                    present = None if columns is None else [
                        name for name in file.schema_arrow.names if name in columns]
                    for batch in file.iter_batches(batch_size=rows_per_chunk,
                                                   columns=present, use_threads=False):
                        yield pyarrow.Table.from_batches([batch]).to_pandas()
        except pyarrow.ArrowException as error:
            raise TableFileError(
                f"{self.shown}: cannot read it as Parquet: {str(error).splitlines()[0]}"
            ) from None

    def _csv_chunks(self, rows_per_chunk: int) -> Iterator[Any]:
        pandas = require_pandas(self.shown)
        try:
            reader = pandas.read_csv(self.path, chunksize=rows_per_chunk,
                                     dtype=self.csv_dtypes)
            with reader:
                yield from reader
        except (ValueError, pandas.errors.ParserError) as error:
            raise TableFileError(
                f"{self.shown}: cannot read it as CSV: {str(error).splitlines()[0]}"
            ) from None


def open_point_chunks(location: str, npz: bool) -> PointChunks:
    """The points table of a field: the ``points_in_rows`` member of the ``.npz`` archive
    ``location`` (``npz``), or the table file (or Parquet folder) ``location``."""
    shown = location
    if not os.path.exists(location):
        raise TableFileError(f"{shown}: no such file")
    if npz:
        chunks = PointChunks(location, f"{shown}[{POINTS}]", "array", None, None,
                             member=POINTS + ".npy")
        try:
            with zipfile.ZipFile(location) as archive:
                archive.getinfo(chunks.member or "")
        except KeyError:
            raise TableFileError(f"{shown}: no array named {POINTS}") from None
        except zipfile.BadZipFile:
            raise TableFileError(f"{shown}: cannot read it as a NumPy file: not an .npz "
                                 "archive") from None
        return _with_npy_shape(chunks)
    suffix = suffix_of(location)
    if suffix == ".npy":
        return _with_npy_shape(PointChunks(location, shown, "array", None, None))
    if suffix == ".csv":
        return PointChunks(location, shown, "frame", None, None)
    if suffix == ".parquet" or os.path.isdir(location):
        return PointChunks(location, shown, "frame", *_parquet_shape(location, shown))
    raise TableFileError(f"{shown}: unknown kind of table file; use .npy, .npz, .csv or "
                         ".parquet")


def _with_npy_shape(chunks: PointChunks) -> PointChunks:
    with chunks._npy_stream() as stream:
        (rows, width), _, _ = chunks._header(stream)
    chunks.rows, chunks.width = rows, width
    return chunks


def _parquet_files(location: str) -> list[str]:
    """The Parquet files of a file or folder, in the order the whole-table reader reads
    them (hidden and underscore files left out, as it leaves them)."""
    import pyarrow.dataset

    return list(pyarrow.dataset.dataset(location, format="parquet").files)


def _parquet_shape(location: str, shown: str) -> tuple[int, int]:
    """Rows and columns, from the files' metadata."""
    require_pyarrow(shown)
    import pyarrow
    import pyarrow.parquet

    try:
        rows, columns = 0, 0
        for path in _parquet_files(location):
            metadata = pyarrow.parquet.read_metadata(path)
            rows += metadata.num_rows
            columns = max(columns, metadata.num_columns)
        return rows, columns
    except pyarrow.ArrowException as error:
        raise TableFileError(
            f"{shown}: cannot read it as Parquet: {str(error).splitlines()[0]}"
        ) from None
