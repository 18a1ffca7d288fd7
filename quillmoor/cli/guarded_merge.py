"""Calling the merge so that every failure becomes a ``CommandError``."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from quillmoor import MergeError, merge
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
    """``quillmoor.merge``; its refusals and the engine's failures as ``CommandError``."""
    return _guarded(
        lambda: merge(connected_crop_rows, points_in_rows, row_information,
                      tolerance=tolerance, num_threads=num_threads)
    )


def merge_frames(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    tolerance: float,
    num_threads: int,
    columns: Mapping[str, str] | None,
) -> Any:
    """``quillmoor.merge_frame``, failing as ``merge_tables`` does."""
    from quillmoor.frames.frame_merge import merge_frame

    return _guarded(
        lambda: merge_frame(connected_crop_rows, points_in_rows, row_information,
                            tolerance=tolerance, num_threads=num_threads, columns=columns)
    )


def _guarded(call: Any) -> Any:
    try:
        return call()
    except MergeError as error:
        raise CommandError(failure_message(error)) from None
    except (TypeError, ValueError, KeyError) as error:
        text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
        raise CommandError(f"the merge failed: {text}") from None


def failure_message(error: MergeError) -> str:
    """The engine's refusal, with a hint when it read past a table's last column."""
    message = f"the merge failed: {error}"
    if error.engine_message == OUT_OF_BOUNDS:
        message += f"\n  {NARROW_TABLE_HINT}"
    return message
