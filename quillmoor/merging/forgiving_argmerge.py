"""``argmerge``: the positions of the rows ``merge`` keeps, for tables of any kind."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

from quillmoor._native import argmerge as native_argmerge
from quillmoor.errors import MergeError, engine_failures_as_merge_errors
from quillmoor.merging.forgiving_merge import as_thread_count, as_tolerance
from quillmoor.merging.unassigned_policy import (
    UnassignedPolicy,
    check_policy,
    counted_before,
    reported_after,
)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt


def argmerge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike | Sequence[Any],
    row_information: npt.ArrayLike,
    *,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex = 0,
    unassigned: UnassignedPolicy = "warn",
) -> np.ndarray:
    """The positions in ``points_in_rows`` of the rows ``merge`` keeps, in its order.

    Returns a 1-D ``numpy.intp`` array: ``points_in_rows[argmerge(...)]`` is
    ``merge(...)``'s result, row for row, for every thread count, and any table library
    takes its own rows by these positions (``DataFrame.take``, polars' ``gather``,
    Arrow's ``Table.take``), every column as it was. Each connection record's points
    come in table order, record after record.

    The tables, ``tolerance``, ``num_threads`` and ``unassigned`` are those of ``merge``,
    converted and checked the same way, with the same messages and warnings, except that
    of ``points_in_rows`` only the four columns the merge reads are read: ``key_a``,
    ``key_b``, ``x`` and ``y`` (columns 0 to 3). Other columns are never converted or
    copied, whatever they hold. ``points_in_rows`` may be

    - a 2-D table, as for ``merge`` (a float64 array is read in place; of other arrays
      only the first four columns are converted; a pandas DataFrame gives its first four
      columns one by one);
    - its four columns alone: a list or tuple of four 1-D arrays (NumPy arrays, pandas or
      polars Series, Arrow arrays) of one length. Float64 columns of any stride are read
      where they lie; others are converted once, each on its own.

    Raises ``TypeError`` or ``ValueError`` naming the table when an input cannot be such
    a table, and ``MergeError`` (a ``ValueError``) when the tables do not fit together.
    """
    import numpy as np

    from quillmoor.tables.conversion import as_float64_table
    from quillmoor.tables.point_columns import as_argmerge_points

    check_policy(unassigned)
    with np.errstate(invalid="ignore"):
        # The tables are refused in the merge's order.
        connections = as_float64_table(connected_crop_rows, "connected_crop_rows")
        points = as_argmerge_points(points_in_rows)
    connections, rows = prepared_tables(
        connections, row_information, None if isinstance(points, list) else points
    )
    distance, threads = as_tolerance(tolerance), as_thread_count(num_threads)
    counts = None
    if not (isinstance(unassigned, str) and unassigned == "ignore"):
        # The count reads the two key columns; columns given apart are put side by side.
        keys = np.stack(points[:2], axis=1) if isinstance(points, list) else points
        counts = counted_before(connections, keys, unassigned, None)
    with engine_failures_as_merge_errors():
        positions: Any = native_argmerge(connections, points, rows, distance, threads)
    reported_after(counts, unassigned, None)
    return positions  # type: ignore[no-any-return]


def prepared_tables(
    connected_crop_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    points_in_rows: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The two small tables as the engine takes them, converted and checked as
    ``argmerge`` does (against ``points_in_rows``'s width, when it is a float64 table),
    with the same errors."""
    import numpy as np

    from quillmoor.merging.refusal_notes import explained_refusal
    from quillmoor.tables.conversion import as_float64_table
    from quillmoor.tables.key_lookups import unmatched_key
    from quillmoor.tables.widths import (
        check_connected_crop_rows,
        check_points_in_rows,
        fit_row_information,
    )

    # As in the merge: a signalling NaN among the cells is a NaN here, no reason to warn.
    with np.errstate(invalid="ignore"):
        connections = as_float64_table(connected_crop_rows, "connected_crop_rows")
        rows = as_float64_table(row_information, "row_information")
        check_connected_crop_rows(connections)
        if points_in_rows is not None:
            check_points_in_rows(points_in_rows, connections)
        rows = fit_row_information(rows, connections)
        refusal = unmatched_key(connections, rows)
    if refusal is not None:
        # The engine would refuse these tables and report it on standard error too.
        raise explained_refusal(MergeError(refusal), connections)
    return connections, rows
