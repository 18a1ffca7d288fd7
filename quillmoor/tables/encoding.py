"""Turning a table into the bytes of one file, by the file's suffix.

``.npy`` takes anything NumPy makes an array of numbers from; ``.csv`` and ``.parquet``
take pandas DataFrames, Arrow tables and polars DataFrames as they are, and arrays as
points tables: the first four columns are named ``key_a``, ``key_b``, ``x``, ``y``, the
others as their source named them, else ``column_4``, ``column_5``, ...; ``.npz`` takes a
field's named arrays. Frames are written without their index.
"""

from __future__ import annotations

import io
import zipfile
from collections.abc import Mapping, Sequence
from typing import IO, Any

import numpy as np

from quillmoor.synthetic import POINT_COLUMNS
from quillmoor.tables.decoding import POINT_COLUMNS_MEMBER, require_pandas, require_pyarrow
from quillmoor.tables.file_errors import TableFileError
from quillmoor.tables.npy_stream import write_array

WRITTEN_SUFFIXES = (".npy", ".csv", ".parquet")
#: The columns every points table starts with.
POINT_ROLES = POINT_COLUMNS[:4]


def point_column_names(width: int, given: Sequence[str] | None = None) -> list[str]:
    """Names for a points table of ``width`` columns: the merge's four, then ``given``'s."""
    names = list(POINT_ROLES[:width])
    for position in range(len(names), width):
        name = given[position] if given is not None and position < len(given) else None
        if not isinstance(name, str) or not name or name in names:
            name = f"column_{position}"
        names.append(name)
    return names


def encode_table(
    table: Any, suffix: str, out: IO[bytes], shown: str,
    *, point_columns: Sequence[str] | None = None,
) -> None:
    """Write ``table`` to the binary file ``out`` as ``suffix`` says."""
    if suffix == ".npy":
        # A frame's values are laid out column by column; its file is written row by
        # row all the same, as a table written a piece at a time must be.
        write_array(out, number_array(table, shown), row_order=not isinstance(table, np.ndarray))
    elif suffix == ".csv":
        _encode_csv(table, out, shown, point_columns)
    elif suffix == ".parquet":
        _encode_parquet(table, out, shown, point_columns)
    else:
        raise TableFileError(f"{shown}: unknown suffix; use .npy, .csv or .parquet")


def encode_field(
    tables: Mapping[str, Any], out: IO[bytes], shown: str,
    *, point_columns: Sequence[str] | None = None,
) -> None:
    """Named arrays as an ``.npz`` archive (uncompressed, as ``numpy.savez`` writes)."""
    arrays = {name: number_array(table, shown) for name, table in tables.items()}
    if point_columns is not None:
        arrays[POINT_COLUMNS_MEMBER] = np.array([str(name) for name in point_columns])
    with zipfile.ZipFile(out, mode="w", compression=zipfile.ZIP_STORED,
                         allowZip64=True) as archive:
        for name, array in arrays.items():
            with archive.open(name + ".npy", mode="w", force_zip64=True) as member:
                write_array(member, array)


def number_array(table: Any, shown: str) -> np.ndarray:
    """``table`` as an array of numbers, refused when it has other columns."""
    array = np.asarray(table.to_numpy() if hasattr(table, "to_numpy") else table)
    if array.dtype.kind not in "biuf":
        raise TableFileError(
            f"{shown}: the table has columns that are not numbers; save it as .csv or "
            ".parquet"
        )
    return array


def _encode_csv(table: Any, out: IO[bytes], shown: str,
                point_columns: Sequence[str] | None) -> None:
    kind = _kind(table)
    if kind == "arrow":
        require_pyarrow(shown)
        import pyarrow.csv

        pyarrow.csv.write_csv(table, out)
        return
    if kind == "polars":
        table.write_csv(out)
        return
    frame = table if kind == "pandas" else _as_frame(table, shown, point_columns)
    text = io.TextIOWrapper(out, encoding="utf-8", newline="", write_through=True)
    try:
        frame.to_csv(text, index=False)
        text.flush()
    finally:
        text.detach()  # the caller closes ``out``


def _encode_parquet(table: Any, out: IO[bytes], shown: str,
                    point_columns: Sequence[str] | None) -> None:
    require_pyarrow(shown)
    kind = _kind(table)
    if kind == "arrow":
        import pyarrow.parquet

        pyarrow.parquet.write_table(table, out)
    elif kind == "polars":
        table.write_parquet(out)
    else:
        frame = table if kind == "pandas" else _as_frame(table, shown, point_columns)
        frame.to_parquet(out, index=False)


def _kind(table: Any) -> str:
    module = type(table).__module__.partition(".")[0]
    if module == "pyarrow" and hasattr(table, "schema"):
        return "arrow"
    if module == "polars" and hasattr(table, "write_parquet"):
        return "polars"
    if hasattr(table, "to_parquet") and hasattr(table, "columns"):
        return "pandas"
    return "array"


def _as_frame(table: Any, shown: str, point_columns: Sequence[str] | None) -> Any:
    pandas = require_pandas(shown)
    array = np.asarray(table)
    if array.ndim != 2:
        raise TableFileError(
            f"{shown}: only a table of rows and columns is saved as .csv or .parquet, "
            f"not an array of shape {array.shape}"
        )
    return pandas.DataFrame(array, columns=point_column_names(array.shape[1], point_columns))
