"""Calling the merge so that every failure becomes a ``CommandError``."""

from __future__ import annotations

import numpy as np

from quillmoor import merge_points_removing_overlap
from quillmoor.cli.command_error import CommandError


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
        raise CommandError(f"the merge failed ({type(error).__name__}): {error}") from None
