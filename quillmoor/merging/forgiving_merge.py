"""``merge``: the merge for the tables users have, with errors that say what to fix."""

from __future__ import annotations

import math
import operator
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

from quillmoor._native import merge_points_removing_overlap
from quillmoor.errors import MergeError, engine_failures_as_merge_errors
from quillmoor.merging.unassigned_policy import (
    UnassignedPolicy,
    check_policy,
    counted_before,
    reported_after,
)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

#: The largest worker count the engine's pool runs.
MAX_THREADS = 255


def merge(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    *,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex = 0,
    unassigned: UnassignedPolicy = "warn",
) -> np.ndarray:
    """Merge a field's overlapping crop-row segments.

    Returns the rows of ``points_in_rows`` that survive: for every connection record,
    the points of its segment, less those in the overlap zone at each junction with
    one of its neighbours. Rows are unchanged float64 copies, each record's points in
    table order, record after record; the output is the same for every thread count.

    The three tables are anything NumPy turns into a 2-D real array (float64 arrays of
    any layout pass through without a copy; lists, integer, bool, float32 and
    byte-swapped arrays and DataFrames are converted to float64 once):

    ``connected_crop_rows``
        One connection record per row, 11 columns: column 0 is free for your own use,
        columns 1 and 2 are the segment's key (``key_a``, ``key_b``), columns (3, 4),
        (5, 6), (7, 8), (9, 10) up to four neighbour keys; the list ends at the first
        NaN in column 3, 5, 7 or 9 (a narrower table is fine when every list ends in it).
    ``points_in_rows``
        One measured point per row, at least 4 columns: the segment's key in columns 0
        and 1, ``x`` and ``y`` in columns 2 and 3, any further values after them.
    ``row_information``
        One row record per segment, 11 columns: ``key_a`` in column 0, ``key_b`` in
        column 4, the reference points ``p0``, ``p1`` (the segment's end points) and
        ``p2`` as (x, y) in columns 5 to 10. Further columns are ignored.

    Segment keys compare after truncation to unsigned 32-bit integers; neighbour keys
    must equal a row record's cells exactly.

    ``tolerance`` widens (or, negative, narrows) the dropped zone at each junction, in
    the units of the coordinates. ``num_threads`` is the number of worker threads, 0
    for one per available processor (or ``RAYON_NUM_THREADS``), at most 255.

    Points whose key no connection record has (a NaN, negative or fractional key, or a
    segment without a connection record) belong to no record's block, so they are not
    in the result, and they are not among the points dropped at junctions either.
    ``unassigned`` says what to do about them: ``"warn"`` (the default) issues a
    ``quillmoor.UnassignedPointsWarning`` after the merge, carrying the counts
    (``quillmoor.UnassignedPoints``: how many, and how many for each reason);
    ``"raise"`` raises ``quillmoor.UnassignedPointsError`` (a ``MergeError``) before
    merging; ``"ignore"`` does not count them; a function is called with the counts
    after every merge, however many there are. Warning is the default because points
    that vanish without a word are a fault in the data that nobody would otherwise
    notice; counting reads the two key columns once, a fraction of the merge's own
    time, and ``"ignore"`` saves even that. ``quillmoor.count_unassigned_points``
    counts them without merging.

    Raises ``TypeError`` or ``ValueError`` naming the table when an input cannot be such
    a table (wrong dimensions, too few columns, values that are not real numbers,
    integers beyond 2**53), and ``MergeError`` (a ``ValueError``) when the tables do
    not fit together, e.g. a key with no row record.
    """
    return merge_field(
        connected_crop_rows,
        points_in_rows,
        row_information,
        tolerance=tolerance,
        num_threads=num_threads,
        field=None,
        unassigned=unassigned,
    )


def merge_field(
    connected_crop_rows: npt.ArrayLike,
    points_in_rows: npt.ArrayLike,
    row_information: npt.ArrayLike,
    *,
    tolerance: SupportsFloat,
    num_threads: SupportsIndex,
    field: object | None,
    unassigned: UnassignedPolicy = "warn",
) -> np.ndarray:
    """``merge`` for a named field: an engine failure's ``MergeError`` names it."""
    import numpy as np

    from quillmoor.merging.refusal_notes import explained_refusal
    from quillmoor.tables.key_lookups import unmatched_key
    from quillmoor.tables.conversion import as_float64_table
    from quillmoor.tables.widths import (
        check_connected_crop_rows,
        check_points_in_rows,
        fit_row_information,
    )

    check_policy(unassigned)
    # A signalling NaN among the cells is a NaN here: converting or comparing it is no
    # reason for NumPy to warn.
    with np.errstate(invalid="ignore"):
        connections = as_float64_table(connected_crop_rows, "connected_crop_rows")
        points = as_float64_table(points_in_rows, "points_in_rows")
        rows = as_float64_table(row_information, "row_information")
        check_connected_crop_rows(connections)
        check_points_in_rows(points, connections)
        rows = fit_row_information(rows, connections)
        refusal = unmatched_key(connections, rows)
    if refusal is not None:
        # The engine would refuse these tables and report it on standard error too.
        raise explained_refusal(MergeError(refusal, field), connections)
    distance, threads = as_tolerance(tolerance), as_thread_count(num_threads)
    counts = counted_before(connections, points, unassigned, field)
    merged = call_engine(
        connections, points, rows, tolerance=distance, num_threads=threads, field=field
    )
    reported_after(counts, unassigned, field)
    return merged


def call_engine(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    *,
    tolerance: float,
    num_threads: int,
    field: object | None = None,
) -> np.ndarray:
    """Run the exact function on ready tables; its internal failures become ``MergeError``."""
    with engine_failures_as_merge_errors(field):
        result: Any = merge_points_removing_overlap(
            connected_crop_rows, points_in_rows, row_information, tolerance, num_threads
        )
    return result  # type: ignore[no-any-return]


def as_tolerance(tolerance: SupportsFloat) -> float:
    try:
        value = float(tolerance)
    except (TypeError, ValueError):
        raise TypeError(
            f"tolerance must be a real number (a distance in the units of the "
            f"coordinates), got {type(tolerance).__name__} {tolerance!r}"
        ) from None
    if math.isnan(value):
        raise ValueError("tolerance must be a real number, got nan")
    return value


def as_thread_count(num_threads: SupportsIndex) -> int:
    try:
        count = operator.index(num_threads)
    except TypeError:
        raise TypeError(
            f"num_threads must be an integer (0 for one per processor), "
            f"got {type(num_threads).__name__} {num_threads!r}"
        ) from None
    if count < 0:
        raise ValueError(f"num_threads must be 0 (one per processor) or more, got {count}")
    # The pool runs at most this many; larger counts mean the same on every machine word.
    return min(count, MAX_THREADS)
