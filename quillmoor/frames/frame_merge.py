"""``merge_frame``: the merge for tables kept as pandas DataFrames or Arrow tables.

The engine is given only what it reads (keys, x, y) and a row number per point; the kept
rows are then taken from the caller's own frame by that number. So every column the merge
does not read (strings, nanosecond timestamps, geometries, nullable integers) comes back
exactly as it was, with its dtype and the frame's index.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, SupportsFloat, SupportsIndex, TypeVar

import numpy as np

from quillmoor.merging.forgiving_merge import merge_field
from quillmoor.merging.unassigned_policy import UnassignedPolicy
from quillmoor.frames.columns import NEIGHBOUR_ROLES, resolve_columns
from quillmoor.tables.conversion import EXACT_INTEGER_LIMIT

Frame = TypeVar("Frame")

#: Column of the engine's points table that carries the frame's row number.
ROW_NUMBER_COLUMN = 4


def merge_frame(
    connected_crop_rows: Any,
    points_in_rows: Frame,
    row_information: Any,
    *,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex = 0,
    columns: Mapping[str, str] | None = None,
    unassigned: UnassignedPolicy = "warn",
) -> Frame:
    """Merge a field whose tables are DataFrames; return the kept rows of ``points_in_rows``.

    The tables come in ``quillmoor.merge``'s order and under its names.

    The result is ``points_in_rows`` itself cut down to the kept rows, in the merge's order (each
    connection record's points in table order, record after record): the same type
    (a GeoDataFrame stays one), columns, dtypes, index labels and values. Only the key,
    ``x`` and ``y`` columns are read, and no other value passes through float64.

    The tables are pandas DataFrames or Arrow tables, with columns found by name:

    ``connected_crop_rows``
        ``key_a``, ``key_b``, and up to four neighbour keys ``n0_key_a``, ``n0_key_b``
        to ``n3_key_a``, ``n3_key_b``; NaN (or a missing value) in ``nK_key_a`` ends a
        segment's list, and missing trailing neighbour columns mean fewer neighbours.
    ``points_in_rows``
        ``key_a``, ``key_b`` (the segment's key), ``x``, ``y``; any other columns.
    ``row_information``
        ``key_a``, ``key_b``, and the reference points ``p0_x``, ``p0_y``, ``p1_x``,
        ``p1_y`` (the segment's end points), ``p2_x``, ``p2_y``.

    These are the column names of ``quillmoor.synthetic``. ``columns`` maps them to
    yours, for every table (``{"x": "easting", "y": "northing"}``) or for one table
    when prefixed with its name (``{"row_information.key_a": "crop_row"}``;
    ``points_in_rows.`` and ``points.`` both name the points).
    ``row_information`` and ``connected_crop_rows`` may also be plain tables in the
    column layout of ``quillmoor.merge``.

    Key and coordinate columns must be numeric (integers, floats, booleans, nullable
    types); integer keys beyond 2**53, which float64 cannot hold exactly, are refused.
    ``tolerance``, ``num_threads`` and ``unassigned`` (points whose key no connection
    record has) are those of ``quillmoor.merge``; so are the errors, plus ``KeyError``
    for a column that is not there.
    """
    return merge_frame_field(
        points_in_rows,
        row_information,
        connected_crop_rows,
        tolerance=tolerance,
        num_threads=num_threads,
        columns=columns,
        field=None,
        unassigned=unassigned,
    )


def merge_frame_field(
    points: Frame,
    row_information: Any,
    connected_crop_rows: Any,
    *,
    tolerance: SupportsFloat,
    num_threads: SupportsIndex,
    columns: Mapping[str, str] | None,
    field: object | None,
    unassigned: UnassignedPolicy = "warn",
) -> Frame:
    """``merge_frame`` for a named field: an engine failure's ``MergeError`` names it."""
    positions = kept_positions(
        points, row_information, connected_crop_rows, tolerance=tolerance,
        num_threads=num_threads, columns=columns, field=field, unassigned=unassigned,
    )
    return _take_rows(points, positions)


def kept_positions(
    points: Any,
    row_information: Any,
    connected_crop_rows: Any,
    *,
    tolerance: SupportsFloat,
    num_threads: SupportsIndex,
    columns: Mapping[str, str] | None,
    field: object | None,
    unassigned: UnassignedPolicy = "warn",
) -> np.ndarray:
    """The positions in ``points`` of the kept rows, in the merge's order."""
    names = resolve_columns(columns)
    if not is_frame(points):
        raise TypeError(
            f"points must be a pandas DataFrame or an Arrow table, got "
            f"{type(points).__name__}; quillmoor.merge takes plain arrays"
        )
    engine_points = _engine_points(points, names["points"])
    rows = _row_records(row_information, names["row_information"])
    connections = _connection_records(connected_crop_rows, names["connected_crop_rows"])
    merged = merge_field(
        connections, engine_points, rows, tolerance=tolerance, num_threads=num_threads,
        field=field, unassigned=unassigned,
    )
    return merged[:, ROW_NUMBER_COLUMN].astype(np.intp)


def is_frame(obj: object) -> bool:
    return _is_arrow(obj) or (hasattr(obj, "iloc") and hasattr(obj, "columns"))


def _is_arrow(obj: object) -> bool:
    return type(obj).__module__.startswith("pyarrow") and hasattr(obj, "column_names")


def _take_rows(frame: Frame, positions: np.ndarray) -> Frame:
    # Both pandas' and Arrow's take select by position: for pandas the index labels,
    # dtypes and the frame's own type (a GeoDataFrame's geometry) stay as they were.
    taken: Any = frame
    return taken.take(positions)  # type: ignore[no-any-return]


def _engine_points(points: Any, names: dict[str, str]) -> np.ndarray:
    records = _row_count(points)
    # Column-major: each column is written in one contiguous run, and the engine reads
    # the table front to back, column by column, whatever the points' order.
    table: np.ndarray = np.empty((5, records)).T
    for position, role in enumerate(("key_a", "key_b", "x", "y")):
        table[:, position] = _column(points, names[role], "points")
    table[:, ROW_NUMBER_COLUMN] = np.arange(records, dtype=np.float64)
    return table


def _row_records(rows: Any, names: dict[str, str]) -> Any:
    if not is_frame(rows):
        return rows  # a plain table in the engine's own layout
    table = np.zeros((_row_count(rows), 11))
    table[:, 0] = _column(rows, names["key_a"], "row_information")
    table[:, 4] = _column(rows, names["key_b"], "row_information")
    for offset, role in enumerate(("p0_x", "p0_y", "p1_x", "p1_y", "p2_x", "p2_y")):
        table[:, 5 + offset] = _column(rows, names[role], "row_information")
    return table


def _connection_records(connections: Any, names: dict[str, str]) -> Any:
    if not is_frame(connections):
        return connections
    present = _column_names(connections)
    pairs = 0
    for key_a, key_b in NEIGHBOUR_ROLES:
        if names[key_a] not in present:
            break
        pairs += 1
    for key_a, _ in NEIGHBOUR_ROLES[pairs:]:
        if names[key_a] in present:
            raise KeyError(
                f"connected_crop_rows has a column {names[key_a]!r} but not the neighbour "
                f"columns before it; neighbour keys fill n0_key_a, n0_key_b, n1_key_a, ... "
                "in order"
            )
    records = _row_count(connections)
    # Column 0 is not read; after the last neighbour pair a NaN column ends every list.
    width = 3 + 2 * pairs + (1 if pairs < len(NEIGHBOUR_ROLES) else 0)
    table = np.full((records, width), np.nan)
    table[:, 0] = np.arange(records)
    table[:, 1] = _column(connections, names["key_a"], "connected_crop_rows")
    table[:, 2] = _column(connections, names["key_b"], "connected_crop_rows")
    for k, (key_a, key_b) in enumerate(NEIGHBOUR_ROLES[:pairs]):
        table[:, 3 + 2 * k] = _column(connections, names[key_a], "connected_crop_rows")
        table[:, 4 + 2 * k] = _column(connections, names[key_b], "connected_crop_rows")
    return table


def _row_count(frame: Any) -> int:
    return int(frame.num_rows) if _is_arrow(frame) else len(frame)


def _column_names(frame: Any) -> set[str]:
    return set(frame.column_names) if _is_arrow(frame) else set(frame.columns)


def _column(frame: Any, name: str, table: str) -> np.ndarray:
    """One column as float64, refusing what float64 would not hold exactly."""
    if name not in _column_names(frame):
        shown = sorted(map(str, _column_names(frame)))
        raise KeyError(
            f"{table} has no column {name!r} (it has: {', '.join(shown) or 'none'}); "
            "name yours with columns={...}"
        )
    if _is_arrow(frame):
        series = frame.column(name).to_pandas()
    else:
        series = frame[name]
        if getattr(series, "ndim", 1) != 1:
            raise ValueError(f"{table} has more than one column named {name!r}")
    if series.dtype == np.float64:
        # Plain float64 holds its missing values as NaN already: read in place, no copy.
        return np.asarray(series)
    kind = getattr(series.dtype, "kind", "O")
    if kind in "iu":
        _refuse_large_integers(series, name, table)
    elif kind == "O":
        return _object_column(series, name, table)
    elif kind not in "fb":
        raise TypeError(
            f"{table}[{name!r}] must hold numbers, got dtype {series.dtype}"
        )
    try:
        return series.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[no-any-return]
    except (TypeError, ValueError) as error:
        raise TypeError(f"{table}[{name!r}] must hold numbers: {error}") from None


def _refuse_large_integers(series: Any, name: str, table: str) -> None:
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


def _object_column(series: Any, name: str, table: str) -> np.ndarray:
    import pandas as pd

    values = series.to_numpy(dtype=object)
    out = np.empty(len(values))
    for row, value in enumerate(values):
        if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
            if abs(int(value)) > EXACT_INTEGER_LIMIT:
                raise ValueError(_inexact_message(table, name, row, int(value)))
        try:
            if isinstance(value, (str, bytes)):
                raise TypeError  # text that looks like a number is still text
            out[row] = np.nan if value is None or value is pd.NA else float(value)
        except (TypeError, ValueError):
            raise TypeError(
                f"{table}[{name!r}] must hold numbers; row {row} holds "
                f"{type(value).__name__} {value!r}"
            ) from None
    return out


def _inexact_message(table: str, name: str, row: int, value: int) -> str:
    return (
        f"{table}[{name!r}] holds {value} at row {row}, beyond 2**53: float64 cannot hold "
        "it exactly, so keys would be merged rounded; use keys of at most 2**53"
    )
