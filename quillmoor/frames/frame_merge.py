"""``merge_frame``: the merge for tables kept as pandas or polars DataFrames or Arrow tables.

Only the points' key, ``x`` and ``y`` columns are read, as four float64 columns handed to
``argmerge``; the kept rows are then taken from the caller's own frame by their
positions, with that library's own row selection. So every column the merge does not
read (text, nanosecond timestamps, geometries, nullable integers, categoricals) comes
back exactly as it was, with its dtype and, for pandas, the frame's index.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any, SupportsFloat, SupportsIndex, TypeVar

import numpy as np

from quillmoor.errors import MergeError, UnassignedPointsError
from quillmoor.frames.columns import POINT_ROLES, resolve_columns
from quillmoor.frames.float_columns import float_column
from quillmoor.frames.frame_kinds import frame_kind, is_frame, is_lazy_polars
from quillmoor.frames.row_selection import take_rows
from quillmoor.frames.record_tables import connection_records, row_records
from quillmoor.merging.forgiving_argmerge import argmerge
from quillmoor.merging.forgiving_merge import as_thread_count
from quillmoor.merging.point_counts import UnassignedPoints
from quillmoor.merging.unassigned_policy import UnassignedPolicy, check_policy, reported_after

__all__ = ["is_frame", "kept_positions", "merge_frame", "merge_frame_field"]

Frame = TypeVar("Frame")


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

    The result is ``points_in_rows`` itself cut down to the kept rows, in the merge's
    order (each connection record's points in table order, record after record): the
    same type (a GeoDataFrame stays one, a polars DataFrame and an Arrow table too),
    columns, dtypes, index labels (pandas) and values. Only the key, ``x`` and ``y``
    columns are read, and no other value passes through float64; pandas is not needed
    for polars or Arrow tables.

    The tables are pandas or polars DataFrames or Arrow tables, with columns found by
    name:

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
    """``merge_frame`` for a named field: its ``MergeError`` and warning name the field."""
    positions = kept_positions(
        points, row_information, connected_crop_rows, tolerance=tolerance,
        num_threads=num_threads, columns=columns, field=field, unassigned=unassigned,
    )
    kind = frame_kind(points)
    assert kind is not None  # kept_positions refuses anything else
    # The merge checked num_threads; the rows are taken on as many threads.
    return take_rows(points, kind, positions,  # type: ignore[no-any-return]
                     as_thread_count(num_threads))


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
    """The positions in ``points`` (a frame) of the kept rows, in the merge's order."""
    names = resolve_columns(columns)
    kind = frame_kind(points)
    if kind is None:
        hint = " (call .collect() first)" if is_lazy_polars(points) else ""
        raise TypeError(
            f"points must be a pandas or polars DataFrame or an Arrow table, got "
            f"{type(points).__name__}{hint}; quillmoor.merge takes plain arrays"
        )
    check_policy(unassigned)
    point_columns = [float_column(points, kind, names["points"][role], "points")
                     for role in POINT_ROLES]
    rows = row_records(row_information, names["row_information"])
    connections = connection_records(connected_crop_rows, names["connected_crop_rows"])
    with _naming(field):
        positions: np.ndarray = argmerge(
            connections, point_columns, rows, tolerance=tolerance, num_threads=num_threads,
            unassigned=_policy_for(unassigned, field),
        )
    return positions


def _policy_for(policy: UnassignedPolicy, field: object | None) -> UnassignedPolicy:
    """``policy``, with a warning that names ``field`` when there is one."""
    if field is None or not (isinstance(policy, str) and policy == "warn"):
        return policy

    def warn(counts: UnassignedPoints) -> None:
        reported_after(counts, "warn", field)

    return warn


@contextmanager
def _naming(field: object | None) -> Iterator[None]:
    """A ``MergeError`` raised inside names ``field``, its type and notes kept."""
    try:
        yield
    except MergeError as error:
        if field is None or error.field is not None:
            raise
        named: MergeError
        if isinstance(error, UnassignedPointsError):
            named = UnassignedPointsError(error.counts, field)
        else:
            named = MergeError(error.engine_message, field)
        notes = getattr(error, "__notes__", None)
        if notes:
            setattr(named, "__notes__", list(notes))  # noqa: B010 - before 3.11 too
        raise named from None
