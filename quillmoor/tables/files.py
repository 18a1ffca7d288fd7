"""Reading and writing one table by the file's suffix: .npy, .csv or .parquet.

.npy files hold plain arrays; CSV and Parquet files hold named columns and are read as
pandas DataFrames (Parquet needs pyarrow). Nothing here runs code from a data file:
NumPy files are loaded with ``allow_pickle=False``.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np

FRAME_SUFFIXES = (".csv", ".parquet")
ARRAY_SUFFIXES = (".npy",)


class TableFileError(ValueError):
    """A table file that cannot be read or written, with the path in the message."""


def suffix_of(path: str | os.PathLike[str]) -> str:
    return os.path.splitext(os.fspath(path))[1].lower()


def read_table(path: str | os.PathLike[str]) -> Any:
    """A .npy file as an ndarray, a .csv or .parquet file or a folder of Parquet files
    as a pandas DataFrame."""
    path = os.fspath(path)
    suffix = suffix_of(path)
    if not os.path.exists(path):
        raise TableFileError(f"{path}: no such file")
    if os.path.isdir(path):
        # A folder of Parquet files, such as one partition of a partitioned dataset.
        _require_pyarrow(path)
        try:
            return _pandas(path).read_parquet(path)
        except (OSError, ValueError) as error:
            raise TableFileError(f"{path}: cannot read it as Parquet: {error}") from None
    if suffix == ".npy":
        try:
            return np.load(path, allow_pickle=False)
        except (OSError, ValueError, EOFError) as error:
            raise TableFileError(f"{path}: cannot read it as a NumPy file: {error}") from None
    pandas = _pandas(path)
    try:
        if suffix == ".csv":
            return pandas.read_csv(path)
        if suffix == ".parquet":
            _require_pyarrow(path)
            return pandas.read_parquet(path)
    except (OSError, ValueError) as error:
        raise TableFileError(f"{path}: cannot read it: {error}") from None
    raise TableFileError(
        f"{path}: unknown kind of table file; use .npy, .npz, .csv or .parquet"
    )


def write_table(path: str | os.PathLike[str], table: Any) -> None:
    """Write an ndarray or DataFrame as the suffix says (.npy, .csv or .parquet).

    A DataFrame saved as .npy must be all numbers; an array saved as CSV or Parquet gets
    columns named ``column_0``, ``column_1``, ... unless ``table`` is a frame already.
    """
    path = os.fspath(path)
    suffix = suffix_of(path)
    try:
        if suffix == ".npy":
            array = np.asarray(table)
            if array.dtype.kind not in "biuf":
                raise TableFileError(
                    f"{path}: the table has columns that are not numbers; save it as "
                    ".csv or .parquet"
                )
            np.save(path, array)
            return
        pandas = _pandas(path)
        frame = table
        if not isinstance(table, pandas.DataFrame):
            frame = pandas.DataFrame(
                np.asarray(table),
                columns=[f"column_{i}" for i in range(np.shape(table)[1])],
            )
        if suffix == ".csv":
            frame.to_csv(path, index=False)
        elif suffix == ".parquet":
            _require_pyarrow(path)
            frame.to_parquet(path, index=False)
        else:
            raise TableFileError(f"{path}: unknown suffix; use .npy, .csv or .parquet")
    except OSError as error:
        raise TableFileError(f"{path}: cannot write it: {error.strerror or error}") from None


def _pandas(path: str) -> Any:
    try:
        import pandas
    except ImportError:
        raise TableFileError(
            f"{path}: CSV and Parquet tables need pandas: pip install 'quillmoor[tables]'"
        ) from None
    return pandas


def _require_pyarrow(path: str) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise TableFileError(
            f"{path}: Parquet needs pyarrow: pip install 'quillmoor[tables]'"
        ) from None
