"""Calling the merge so that every failure becomes a ``CommandError``."""

from __future__ import annotations

import numpy as np

from quillmoor import merge_points_removing_overlap
from quillmoor.cli.command_error import CommandError

# The engine's text for a read past a table's last column.
OUT_OF_BOUNDS = "ndarray: index out of bounds"
NARROW_TABLE_HINT = (
    "a table is narrower than its layout: connected_crop_rows needs a NaN after its "
    "last neighbour or 11 columns, points_in_rows at least 4 columns (key_a, key_b, x, y)"
)


def merge_tables(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    num_threads: int,
) -> np.ndarray:
    try:
        return merge_points_removing_overlap(
            connected_crop_rows, points_in_rows, row_information, tolerance, num_threads
        )
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: B036
        # Internal failures arrive as PanicException, which derives from BaseException
        # so that "except Exception" misses it.
        message = f"the merge failed ({type(error).__name__}): {error}"
        if str(error) == OUT_OF_BOUNDS:
            message += f"\n  {NARROW_TABLE_HINT}"
        raise CommandError(message) from None
