"""Turning the bytes of one file into a table, by the file's suffix.

``.npy`` gives an ndarray, ``.npz`` a field's named arrays, ``.csv`` and ``.parquet``
pandas DataFrames (Parquet needs pyarrow). Each failure becomes one ``TableFileError``
line that names the file as the user gave it and says what is wrong with it.
"""

from __future__ import annotations

import re
import zipfile
import zlib
from collections.abc import Sequence
from typing import IO, Any

import numpy as np

from quillmoor.tables.file_errors import TableFileError, one_line, os_reason
from quillmoor.tables.npy_stream import MAGIC, NpyFormatError, read_array
from quillmoor.tables.parquet_frames import parquet_frame, read_parquet_options

#: An optional member of a field's .npz: the names of the points table's columns.
POINT_COLUMNS_MEMBER = "points_in_rows_columns"

_CSV_FIELDS = re.compile(r"Expected (\d+) fields in line (\d+), saw (\d+)")


def decode_npy(stream: IO[bytes], shown: str) -> np.ndarray:
    try:
        return read_array(stream)
    except NpyFormatError as error:
        raise TableFileError(f"{shown}: cannot read it as a NumPy file: {error}") from None
    except OSError as error:
        raise TableFileError(f"{shown}: cannot read it: {os_reason(error)}") from None


def decode_npz(
    stream: IO[bytes], shown: str, names: Sequence[str]
) -> tuple[dict[str, np.ndarray], tuple[str, ...] | None]:
    """The arrays ``names`` of an ``.npz`` archive, and the points' column names if it
    holds them."""
    try:
        archive = zipfile.ZipFile(stream)
    except zipfile.BadZipFile:
        stream.seek(0)
        if stream.read(len(MAGIC)) == MAGIC:
            raise TableFileError(
                f"{shown}: holds a single array (it is an .npy file, not an .npz archive "
                "of tables)"
            ) from None
        raise TableFileError(
            f"{shown}: cannot read it as a NumPy file: not an .npz archive (no zip "
            "structure found)"
        ) from None
    except OSError as error:
        raise TableFileError(f"{shown}: cannot read it: {os_reason(error)}") from None
    with archive:
        members = {info.filename[:-4]: info.filename for info in archive.infolist()
                   if info.filename.endswith(".npy")}
        missing = [name for name in names if name not in members]
        if missing:
            raise TableFileError(
                f"{shown}: no array named {', '.join(missing)} "
                f"(the file holds: {', '.join(sorted(members)) or 'nothing'})"
            )
        arrays = {name: _member(archive, members[name], shown) for name in names}
        columns = None
        if POINT_COLUMNS_MEMBER in members:
            columns = _column_names(_member(archive, members[POINT_COLUMNS_MEMBER], shown))
    return arrays, columns


def _member(archive: zipfile.ZipFile, member: str, shown: str) -> np.ndarray:
    name = member[:-4]
    try:
        with archive.open(member) as stream:
            return read_array(stream)
    except NpyFormatError as error:
        reason = str(error)
    except (zipfile.BadZipFile, zlib.error, EOFError):
        reason = "damaged (its data do not match the archive's checksums)"
    except NotImplementedError:
        reason = "compressed in a way that is not read here"
    except OSError as error:
        raise TableFileError(f"{shown}: cannot read it: {os_reason(error)}") from None
    raise TableFileError(f"{shown}: cannot read its array {name}: {reason}")


def _column_names(array: np.ndarray) -> tuple[str, ...] | None:
    if array.ndim != 1 or array.dtype.kind not in "US":
        return None
    return tuple(str(value) for value in array.tolist())


def decode_csv(stream: IO[bytes], shown: str) -> Any:
    pandas = require_pandas(shown)
    try:
        # low_memory=False: a column is typed once, from all its rows, not chunk by chunk.
        return pandas.read_csv(stream, low_memory=False)
    except pandas.errors.EmptyDataError:
        raise TableFileError(f"{shown}: cannot read it as CSV: it is empty") from None
    except pandas.errors.ParserError as error:
        found = _CSV_FIELDS.search(str(error))
        reason = (f"line {found.group(2)} has {found.group(3)} fields, the first line "
                  f"{found.group(1)}") if found else one_line(str(error))
        raise TableFileError(f"{shown}: cannot read it as CSV: {reason}") from None
    except UnicodeDecodeError as error:
        raise TableFileError(
            f"{shown}: cannot read it as CSV: it is not UTF-8 text (byte {error.start})"
        ) from None
    except OSError as error:
        raise TableFileError(f"{shown}: cannot read it: {os_reason(error)}") from None
    except ValueError as error:
        raise TableFileError(f"{shown}: cannot read it as CSV: {one_line(str(error))}") from None


def decode_parquet(source: Any, shown: str, filesystem: Any = None) -> Any:
    """A Parquet file (a binary stream) or a folder of Parquet files (a path)."""
    pandas = require_pandas(shown)
    pyarrow = require_pyarrow(shown)
    what = "Parquet files" if isinstance(source, str) else "Parquet"
    try:
        if isinstance(source, str):
            extra = {} if filesystem is None else {"filesystem": filesystem}
            frame = pandas.read_parquet(source, **extra, **read_parquet_options(pandas))
            # Arrow's allocator keeps what the read freed unless told to give it back.
            pyarrow.default_memory_pool().release_unused()
            return frame
        return parquet_frame(source, pandas, pyarrow)
    except pyarrow.ArrowException:
        raise TableFileError(
            f"{shown}: cannot read it as {what}: not Parquet, or a damaged Parquet file"
        ) from None
    except OSError as error:
        raise TableFileError(f"{shown}: cannot read it: {os_reason(error)}") from None
    except ValueError as error:
        raise TableFileError(f"{shown}: cannot read it as {what}: {one_line(str(error))}") \
            from None


def require_pandas(shown: str) -> Any:
    try:
        import pandas
    except ImportError:
        raise TableFileError(
            f"{shown}: CSV and Parquet tables need pandas: pip install 'quillmoor[tables]'"
        ) from None
    return pandas


def require_pyarrow(shown: str) -> Any:
    try:
        import pyarrow
    except ImportError:
        raise TableFileError(
            f"{shown}: Parquet needs pyarrow: pip install 'quillmoor[tables]'"
        ) from None
    return pyarrow

