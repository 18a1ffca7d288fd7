"""Turning the caller's array-likes into the float64 tables the engine reads.

Every conversion names the table it is converting in its message, says what is wrong
and what is expected, and refuses what would silently change a value on the way to
float64 (integers beyond 2**53, which float64 cannot hold exactly).
"""

from __future__ import annotations

from typing import Any

import numpy as np

#: Integers up to this magnitude survive float64 exactly.
EXACT_INTEGER_LIMIT = 2**53

#: What each row of a table is called in messages.
RECORD_KIND = {
    "connected_crop_rows": "one connection record per row",
    "points_in_rows": "one point record per row",
    "row_information": "one row record per row",
}


def as_float64_table(obj: object, name: str) -> np.ndarray:
    """Return ``obj`` as a 2-D float64 array in native byte order.

    A native float64 ndarray of any memory layout is returned as it is, without a copy;
    anything else NumPy can turn into a 2-D real array (lists, integer, bool, float32 or
    byte-swapped arrays, DataFrames, objects with ``__array__``) is converted once.
    """
    if isinstance(obj, np.ndarray) and obj.dtype == np.float64 and obj.dtype.isnative:
        if obj.ndim != 2:
            raise ValueError(_shape_message(name, obj.shape))
        return np.asarray(obj)
    _refuse_inexact_frame_columns(obj, name)
    try:
        array = np.asarray(obj)
    except (TypeError, ValueError) as error:
        raise TypeError(
            f"{name} must be a 2-D table of numbers ({RECORD_KIND[name]}); "
            f"NumPy could not make an array of the {type(obj).__name__} given: {error}"
        ) from None
    if array.ndim != 2:
        raise ValueError(_shape_message(name, array.shape))
    return _to_float64(array, name)


def as_float64_column(obj: object, name: str, column: int) -> np.ndarray:
    """Return ``obj``, column ``column`` of table ``name``, as a 1-D float64 array in
    native byte order.

    A native float64 ndarray of any stride is returned as it is, without a copy;
    anything else NumPy turns into a 1-D real array (a pandas or polars Series, an Arrow
    array, a list, an integer, bool or float32 array) is converted once. Messages name
    cells as the table's would (``name[row, column]``).
    """
    if isinstance(obj, np.ndarray) and obj.dtype == np.float64 and obj.dtype.isnative:
        array = obj
    else:
        try:
            array = np.asarray(obj)
        except (TypeError, ValueError) as error:
            raise TypeError(
                f"column {column} of {name} must be a 1-D array of numbers; NumPy could "
                f"not make an array of the {type(obj).__name__} given: {error}"
            ) from None
    if array.ndim != 1:
        raise ValueError(
            f"column {column} of {name} must be 1-D (one value per point), "
            f"got shape {tuple(array.shape)}"
        )
    if array.dtype == np.float64 and array.dtype.isnative:
        return np.asarray(array)
    return _to_float64(array, name, column)


def _shape_message(name: str, shape: tuple[int, ...]) -> str:
    return f"{name} must be 2-D ({RECORD_KIND[name]}), got shape {tuple(shape)}"


def _to_float64(array: np.ndarray, name: str, column: int | None = None) -> np.ndarray:
    """``array`` (a table, or its column ``column``) converted to float64."""
    kind = array.dtype.kind
    if kind == "f" or kind == "b":
        return array.astype(np.float64)
    if kind in "iu":
        _refuse_large_integers(array, name, column)
        return array.astype(np.float64)
    if kind == "O":
        return _objects_to_float64(array, name, column)
    raise TypeError(
        f"{name} must hold real numbers, got an array of dtype {array.dtype} "
        f"({_dtype_description(array.dtype)})"
    )


def _cell(index: tuple[int, ...], column: int | None) -> tuple[int, int]:
    """(row, column) of a table's cell from its index in the table or in one column."""
    if column is None:
        return int(index[0]), int(index[1])
    return int(index[0]), column


def _dtype_description(dtype: np.dtype[Any]) -> str:
    return {
        "c": "complex numbers",
        "U": "strings",
        "S": "bytes",
        "M": "datetimes",
        "m": "time deltas",
        "V": "structured records",
    }.get(dtype.kind, "not real numbers")


def _refuse_large_integers(array: np.ndarray, name: str, column: int | None = None) -> None:
    if array.size == 0:
        return
    if array.dtype.kind == "u":
        too_large = array > EXACT_INTEGER_LIMIT
    else:
        # Compare both signs without negating, which overflows at the dtype's minimum.
        too_large = (array > EXACT_INTEGER_LIMIT) | (array < -EXACT_INTEGER_LIMIT)
    if too_large.any():
        index = tuple(int(i) for i in np.argwhere(too_large)[0])
        row, cell_column = _cell(index, column)
        raise ValueError(_large_integer_message(name, row, cell_column, int(array[index])))


def _large_integer_message(name: str, row: int, column: int, value: int) -> str:
    return (
        f"{name}[{row}, {column}] is {value}, beyond 2**53: float64 cannot hold it "
        "exactly, so keys would be merged rounded; use keys of at most 2**53"
    )


def _objects_to_float64(array: np.ndarray, name: str, column: int | None = None) -> np.ndarray:
    # Python ints of any size arrive as objects; check them before float() rounds them.
    for index, value in np.ndenumerate(array):
        if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
            if abs(int(value)) > EXACT_INTEGER_LIMIT:
                row, cell_column = _cell(index, column)
                raise ValueError(_large_integer_message(name, row, cell_column, int(value)))
    try:
        return array.astype(np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must hold real numbers only: {error}") from None


def _refuse_inexact_frame_columns(obj: object, name: str) -> None:
    """Check a DataFrame's integer columns one by one.

    Converting a frame of mixed integer and float columns makes one float64 array at
    once, rounding large integers on the way, so they are checked before.
    """
    dtypes = getattr(obj, "dtypes", None)
    columns = getattr(obj, "columns", None)
    if dtypes is None or columns is None or not hasattr(obj, "iloc"):
        return
    frame: Any = obj
    for position, dtype in enumerate(list(dtypes)):
        if getattr(dtype, "kind", None) not in ("i", "u"):
            continue
        values = np.asarray(frame.iloc[:, position])
        too_large = (values > EXACT_INTEGER_LIMIT) | (values < -EXACT_INTEGER_LIMIT)
        if too_large.any():
            row = int(np.flatnonzero(too_large)[0])
            raise ValueError(_large_integer_message(name, row, position, int(values[row])))
