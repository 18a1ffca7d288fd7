"""Segment keys from a layer's two key columns, checked against what the merge can use.

The merge compares a segment's key after truncating it to an unsigned 32-bit integer, so
a key that is missing, negative, fractional or 2**32 and above would silently name a
different segment (or none); such keys are refused here with the row that holds one.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quillmoor.layers.errors import LayerError

KEY_LIMIT = 2**32
KEY_RULE = f"whole numbers from 0 to {KEY_LIMIT - 1}"


def column_names(table: Any) -> list[str]:
    names = getattr(table, "columns", None)
    if names is None:
        names = getattr(table, "column_names", None)
    if names is None and hasattr(table, "keys"):
        names = table.keys()
    return [str(name) for name in (names if names is not None else [])]


def key_column(table: Any, name: str, layer: str) -> np.ndarray:
    """The column ``name`` of ``table`` as float64 keys, or a ``LayerError`` saying why not."""
    if name not in column_names(table):
        shown = ", ".join(column_names(table)) or "none"
        raise LayerError(
            f"{layer}: no key column {name!r} (the columns are: {shown}); name the key columns"
        )
    values = _as_float(table[name], name, layer)
    if values.ndim != 1:
        raise LayerError(f"{layer}: {name!r} is more than one column")
    _check_keys(values, name, layer)
    return values


def packed_keys(key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
    """Both keys in one unsigned 64-bit number, ordered as (key_a, key_b)."""
    packed: np.ndarray = (key_a.astype(np.uint64) << np.uint64(32)) | key_b.astype(np.uint64)
    return packed


def refuse_duplicates(key_a: np.ndarray, key_b: np.ndarray, layer: str) -> None:
    packed = packed_keys(key_a, key_b)
    order = np.argsort(packed, kind="stable")
    repeated = np.flatnonzero(packed[order][1:] == packed[order][:-1])
    if repeated.size:
        first, second = order[repeated[0]], order[repeated[0] + 1]
        raise LayerError(
            f"{layer}: the key ({key_text(key_a[first])}, {key_text(key_b[first])}) names "
            f"more than one segment (rows {min(first, second)} and {max(first, second)}); "
            "each segment needs a key of its own"
        )


def key_text(value: float) -> str:
    return str(int(value)) if np.isfinite(value) and value == int(value) else repr(float(value))


def _as_float(column: Any, name: str, layer: str) -> np.ndarray:
    dtype = getattr(column, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if kind in ("i", "u") and hasattr(column, "to_numpy") and not _has_missing(column):
        integers = np.asarray(column.to_numpy())
        _check_integer_range(integers, name, layer)
        return integers.astype(np.float64)
    if kind in ("b", "i", "u", "f") and hasattr(column, "to_numpy"):
        try:
            return np.asarray(column.to_numpy(dtype=np.float64, na_value=np.nan))
        except (TypeError, ValueError):
            pass
    values = np.asarray(column)
    if values.dtype.kind in "iu":
        _check_integer_range(values, name, layer)
        return values.astype(np.float64)
    if values.dtype.kind in "bf":
        return values.astype(np.float64)
    if values.dtype.kind == "O":
        return _objects_as_float(values, name, layer)
    raise LayerError(f"{layer}: {name!r} holds {values.dtype} values; keys are {KEY_RULE}")


def _has_missing(column: Any) -> bool:
    isna = getattr(column, "isna", None)
    return bool(isna().any()) if isna is not None else False


def _objects_as_float(values: np.ndarray, name: str, layer: str) -> np.ndarray:
    out = np.empty(values.shape[0])
    for row, value in enumerate(values):
        if isinstance(value, (str, bytes)) or not _is_number(value):
            raise LayerError(
                f"{layer}: {name!r} holds {type(value).__name__} {value!r} at row {row}; "
                f"keys are {KEY_RULE}"
            )
        if isinstance(value, (int, np.integer)) and not 0 <= int(value) < KEY_LIMIT:
            raise LayerError(_range_message(name, layer, row, str(int(value))))
        out[row] = np.nan if value is None else float(value)
    return out


def _is_number(value: object) -> bool:
    if value is None:
        return True  # missing: refused with its row by the checks on floats
    try:
        float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return False
    return True


def _check_integer_range(values: np.ndarray, name: str, layer: str) -> None:
    outside = (values < 0) | (values >= KEY_LIMIT)
    if outside.any():
        row = int(np.flatnonzero(outside)[0])
        raise LayerError(_range_message(name, layer, row, str(int(values[row]))))


def _check_keys(values: np.ndarray, name: str, layer: str) -> None:
    with np.errstate(invalid="ignore"):
        bad = ~np.isfinite(values) | (values < 0) | (values >= KEY_LIMIT) | (
            values != np.floor(values)
        )
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        value = values[row]
        shown = "a missing value (NaN)" if np.isnan(value) else repr(float(value))
        raise LayerError(_range_message(name, layer, row, shown))


def _range_message(name: str, layer: str, row: int, shown: str) -> str:
    return f"{layer}: {name!r} holds {shown} at row {row}; keys are {KEY_RULE}"
