"""The output written a piece's kept rows at a time, as the in-memory merge writes it whole.

``.npy``: the header the whole array would have, then the rows; the row count is known
only at the end, so the header is written again then (when the file cannot be sought,
or the final header would be longer, the rows wait in a file beside it). CSV: the
header line once, then every piece's rows, formatted by pandas as for the whole table.
Parquet: one writer, a row group per piece, with the schema of the first piece.
"""

from __future__ import annotations

import io
import shutil
import tempfile
from collections.abc import Sequence
from typing import IO, Any

import numpy as np

from quillmoor.tables.decoding import require_pandas, require_pyarrow
from quillmoor.tables.encoding import number_array, point_column_names
from quillmoor.tables.file_errors import TableFileError

_COPY_BYTES = 2**20


class PieceWriter:
    """Appends pieces of the result (float64 arrays or pandas DataFrames) to ``out``."""

    def __init__(self, out: IO[bytes], shown: str, template: Any,
                 point_columns: Sequence[str] | None) -> None:
        self._out = out
        self._shown = shown
        self._template = template
        self._point_columns = point_columns
        self.rows = 0

    def write(self, kept: Any) -> None:
        self.rows += len(kept)
        self._write(kept)

    def finish(self) -> None:
        """Completes the file (a table with no rows gets its header all the same)."""

    def _write(self, kept: Any) -> None:
        raise NotImplementedError

    def _frame(self, kept: Any) -> Any:
        """``kept`` as pandas DataFrame, named as the in-memory writer names an array."""
        if not isinstance(kept, np.ndarray):
            return kept
        pandas = require_pandas(self._shown)
        names = point_column_names(kept.shape[1], self._point_columns)
        return pandas.DataFrame(kept, columns=names)


class NpyPieceWriter(PieceWriter):
    def __init__(self, out: IO[bytes], shown: str, template: Any,
                 point_columns: Sequence[str] | None, rows_at_most: int) -> None:
        super().__init__(out, shown, template, point_columns)
        self._dtype: np.dtype[Any] | None = None
        self._width = 0
        self._rows_at_most = rows_at_most
        self._body: IO[bytes] | None = None
        if not isinstance(template, np.ndarray):
            # Typed by the first piece, as the whole frame's to_numpy() would be.
            return
        self._start(template)

    def _start(self, first: np.ndarray) -> None:
        self._dtype, self._width = first.dtype, first.shape[1]
        header = _header(self._dtype, (self._rows_at_most, self._width))
        seekable = bool(getattr(self._out, "seekable", lambda: False)())
        if seekable and len(header) == len(_header(self._dtype, (0, self._width))):
            self._out.write(header)  # rewritten with the final count by finish()
        else:
            self._body = tempfile.TemporaryFile()  # noqa: SIM115 - closed in finish()

    def _write(self, kept: Any) -> None:
        array = number_array(kept, self._shown)
        if self._dtype is None:
            self._start(array)
        if array.dtype != self._dtype:
            array = array.astype(self._dtype)
        target = self._out if self._body is None else self._body
        data = np.ascontiguousarray(array).reshape(-1).view(np.uint8).data
        for start in range(0, len(data), _COPY_BYTES):
            target.write(data[start:start + _COPY_BYTES])

    def finish(self) -> None:
        if self._dtype is None:
            self._start(number_array(self._template, self._shown))
        assert self._dtype is not None
        header = _header(self._dtype, (self.rows, self._width))
        if self._body is None:
            self._out.seek(0)
            self._out.write(header)
            self._out.seek(0, io.SEEK_END)
            return
        with self._body as body:
            self._out.write(header)
            body.seek(0)
            shutil.copyfileobj(body, self._out, _COPY_BYTES)


class CsvPieceWriter(PieceWriter):
    def __init__(self, out: IO[bytes], shown: str, template: Any,
                 point_columns: Sequence[str] | None) -> None:
        super().__init__(out, shown, template, point_columns)
        self._text = io.TextIOWrapper(out, encoding="utf-8", newline="", write_through=True)
        self._header_written = False

    def _write(self, kept: Any) -> None:
        self._frame(kept).to_csv(self._text, index=False, header=not self._header_written)
        self._header_written = True

    def finish(self) -> None:
        if not self._header_written:
            self._write(self._template)
        self._text.flush()
        self._text.detach()  # the caller closes ``out``


class ParquetPieceWriter(PieceWriter):
    def __init__(self, out: IO[bytes], shown: str, template: Any,
                 point_columns: Sequence[str] | None) -> None:
        super().__init__(out, shown, template, point_columns)
        require_pyarrow(shown)
        self._writer: Any = None

    def _write(self, kept: Any) -> None:
        import pyarrow
        import pyarrow.parquet

        frame = self._frame(kept)
        if self._writer is None:
            table = pyarrow.Table.from_pandas(frame, preserve_index=False)
            self._writer = pyarrow.parquet.ParquetWriter(self._out, table.schema)
        else:
            table = pyarrow.Table.from_pandas(frame, schema=self._writer.schema,
                                              preserve_index=False)
        self._writer.write_table(table)

    def finish(self) -> None:
        if self._writer is None:
            self._write(self._template)
        self._writer.close()


def piece_writer(suffix: str, out: IO[bytes], shown: str, template: Any,
                 point_columns: Sequence[str] | None, rows_at_most: int) -> PieceWriter:
    """The writer for an output of ``suffix``; ``template`` is the points table with no
    rows, ``rows_at_most`` a bound on the rows the output will have."""
    if suffix == ".npy":
        return NpyPieceWriter(out, shown, template, point_columns, rows_at_most)
    if suffix == ".csv":
        return CsvPieceWriter(out, shown, template, point_columns)
    if suffix == ".parquet":
        return ParquetPieceWriter(out, shown, template, point_columns)
    raise TableFileError(f"{shown}: unknown suffix; use .npy, .csv or .parquet")


def _header(dtype: np.dtype[Any], shape: tuple[int, int]) -> bytes:
    """What ``numpy.save`` writes before the data of a C-ordered array."""
    stream = io.BytesIO()
    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False,
              "shape": shape}
    try:
        np.lib.format.write_array_header_1_0(stream, header)
    except ValueError:  # a header too long for version 1.0
        np.lib.format.write_array_header_2_0(stream, header)
    return stream.getvalue()

