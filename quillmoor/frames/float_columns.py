"""One column of a caller's frame as the float64 values the merge reads.

A float64 column without missing values is read where it lies; any other numeric column
(integers, booleans, float32, nullable types) is converted once, missing values as NaN.
Integers beyond 2**53, which float64 cannot hold exactly, and anything that is not a
number (text, dates) are refused with the table, column and row named.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quillmoor.frames.frame_kinds import Kind, column_names
from quillmoor.tables.conversion import EXACT_INTEGER_LIMIT


def float_column(frame: Any, kind: Kind, name: str, table: str) -> np.ndarray:
    """Column ``name`` of ``frame`` (one of ``table``'s) as 1-D float64."""
    present = column_names(frame, kind)
    if name not in present:
        shown = sorted(map(str, present))
        raise KeyError(
            f"{table} has no column {name!r} (it has: {', '.join(shown) or 'none'}); "
            "name yours with columns={...}"
        )
    if kind == "arrow":
        return _arrow_column(frame.column(name), name, table)
    if kind == "polars":
        return _polars_column(frame.get_column(name), name, table)
    return _pandas_column(frame, name, table)


def _pandas_column(frame: Any, name: str, table: str) -> np.ndarray:
    series = frame[name]
    if getattr(series, "ndim", 1) != 1:
        raise ValueError(f"{table} has more than one column named {name!r}")
    if series.dtype == np.float64:
        # Plain float64 holds its missing values as NaN already: read in place, no copy.
        return np.asarray(series)
    kind = getattr(series.dtype, "kind", "O")
    if kind in "iu":
        _refuse_large_pandas_integers(series, name, table)
    elif kind == "O":
        return _object_column(series.to_numpy(dtype=object), name, table)
    elif kind not in "fb":
        raise _not_numbers(table, name, series.dtype)
    try:
        return series.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[no-any-return]
    except (TypeError, ValueError) as error:
        raise TypeError(f"{table}[{name!r}] must hold numbers: {error}") from None


def _refuse_large_pandas_integers(series: Any, name: str, table: str) -> None:
    if len(series) == 0:
        return
    import pandas as pd

    low, high = series.min(), series.max()
    if pd.isna(low) or (-EXACT_INTEGER_LIMIT <= int(low) and int(high) <= EXACT_INTEGER_LIMIT):
        return
    too_large = ((series > EXACT_INTEGER_LIMIT) | (series < -EXACT_INTEGER_LIMIT)).to_numpy(
        dtype=bool, na_value=False
    )
    row = int(np.flatnonzero(too_large)[0])
    raise ValueError(_inexact_message(table, name, row, int(series.iloc[row])))


def _polars_column(series: Any, name: str, table: str) -> np.ndarray:
    import polars as pl

    dtype = series.dtype
    if dtype == pl.Object:
        return _object_column(series.to_numpy(), name, table)
    if not (dtype.is_numeric() or dtype == pl.Boolean):
        raise _not_numbers(table, name, dtype)
    if dtype.is_integer() and len(series) and series.null_count() < len(series):
        low, high = series.min(), series.max()
        if low < -EXACT_INTEGER_LIMIT or high > EXACT_INTEGER_LIMIT:
            too_large = ((series > EXACT_INTEGER_LIMIT) | (series < -EXACT_INTEGER_LIMIT))
            row = int(np.flatnonzero(too_large.fill_null(False).to_numpy())[0])
            raise ValueError(_inexact_message(table, name, row, int(series[row])))
    if dtype != pl.Float64:
        series = series.cast(pl.Float64)
    # Float64 without nulls comes as a view of polars' own buffer; nulls become NaN.
    values = series.to_numpy()
    return np.asarray(values, dtype=np.float64)


def _arrow_column(column: Any, name: str, table: str) -> np.ndarray:
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = column.type
    if pa.types.is_dictionary(kind):
        column = column.cast(kind.value_type)  # categorical numbers are numbers
        kind = column.type
    if not (pa.types.is_integer(kind) or pa.types.is_floating(kind)
            or pa.types.is_boolean(kind) or pa.types.is_decimal(kind)):
        raise _not_numbers(table, name, kind)
    if pa.types.is_integer(kind) and len(column) and column.null_count < len(column):
        bounds = pc.min_max(column)
        low, high = bounds["min"].as_py(), bounds["max"].as_py()
        if low < -EXACT_INTEGER_LIMIT or high > EXACT_INTEGER_LIMIT:
            outside = pc.or_(pc.greater(column, EXACT_INTEGER_LIMIT),
                             pc.less(column, -EXACT_INTEGER_LIMIT))
            flags = pc.fill_null(outside, False).to_numpy(zero_copy_only=False)
            row = int(np.flatnonzero(flags)[0])
            raise ValueError(_inexact_message(table, name, row, int(column[row].as_py())))
    if not pa.types.is_float64(kind):
        column = column.cast(pa.float64())
    # One chunk of float64 without nulls is read in place; nulls become NaN.
    return np.asarray(column.to_numpy(zero_copy_only=False), dtype=np.float64)


def _object_column(values: np.ndarray, name: str, table: str) -> np.ndarray:
    out = np.empty(len(values))
    for row, value in enumerate(values):
        if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
            if abs(int(value)) > EXACT_INTEGER_LIMIT:
                raise ValueError(_inexact_message(table, name, row, int(value)))
        try:
            if isinstance(value, (str, bytes)):
                raise TypeError  # text that looks like a number is still text
            out[row] = np.nan if value is None or _is_missing(value) else float(value)
        except (TypeError, ValueError):
            raise TypeError(
                f"{table}[{name!r}] must hold numbers; row {row} holds "
                f"{type(value).__name__} {value!r}"
            ) from None
    return out


def _is_missing(value: object) -> bool:
    # pandas' NA, recognised without importing pandas.
    return type(value).__name__ == "NAType"


def _not_numbers(table: str, name: str, dtype: object) -> TypeError:
    return TypeError(f"{table}[{name!r}] must hold numbers, got dtype {dtype}")


def _inexact_message(table: str, name: str, row: int, value: int) -> str:
    return (
        f"{table}[{name!r}] holds {value} at row {row}, beyond 2**53: float64 cannot hold "
        "it exactly, so keys would be merged rounded; use keys of at most 2**53"
    )
