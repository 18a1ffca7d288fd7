"""Calling the merge so that every refusal becomes a ``CommandError`` naming the file.

The merge's messages name a table (``points_in_rows has 2 columns ...``) or a connection
record; the command line puts the file that table came from in front, so the user
reads which of their files to fix.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

from quillmoor import MergeError, merge
from quillmoor.cli.answers import exception_text
from quillmoor.cli.command_error import CommandError
from quillmoor.merging.point_counts import UnassignedPoints

# The engine's text for a read past a table's last column.
OUT_OF_BOUNDS = "ndarray: index out of bounds"
NARROW_TABLE_HINT = (
    "a table is narrower than its layout: connected_crop_rows needs a NaN after its "
    "last neighbour or 11 columns, points_in_rows at least 4 columns (key_a, key_b, x, y)"
)

#: The table a message is about, from the words it starts with.
_TABLE_AT_START = re.compile(
    r"^(?:field '[^']*': )?(connected_crop_rows|connection record|points_in_rows|points|"
    r"row_information)\b"
)
_TABLE_OF_WORDS = {"connection record": "connected_crop_rows", "points": "points_in_rows"}

#: Where each table came from: table name -> the path the user gave.
Sources = Mapping[str, str]


def merge_tables(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    num_threads: int,
    sources: Sources,
) -> tuple[np.ndarray, UnassignedPoints]:
    """``quillmoor.merge``, and the counts of the points in no connection record."""
    counts: list[UnassignedPoints] = []
    merged = guarded(
        lambda: merge(connected_crop_rows, points_in_rows, row_information,
                      tolerance=tolerance, num_threads=num_threads, unassigned=counts.append),
        sources,
    )
    return merged, counts[0]


def frame_positions(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    tolerance: float,
    num_threads: int,
    columns: Mapping[str, str] | None,
    sources: Sources,
) -> tuple[np.ndarray, UnassignedPoints]:
    """The positions of the rows ``quillmoor.merge_frame`` keeps of the frame
    ``points_in_rows``, failing and counting as ``merge_tables`` does."""
    from quillmoor.frames.frame_merge import kept_positions

    counts: list[UnassignedPoints] = []
    positions = guarded(
        lambda: kept_positions(points_in_rows, row_information, connected_crop_rows,
                               tolerance=tolerance, num_threads=num_threads, columns=columns,
                               field=None, unassigned=counts.append),
        sources,
    )
    return positions, counts[0]


def guarded(call: Callable[[], Any], sources: Sources) -> Any:
    """``call()``, its refusals as a ``CommandError`` naming the file."""
    try:
        return call()
    except MergeError as error:
        raise CommandError(in_file(failure_message(error), sources)) from None
    except (TypeError, ValueError, KeyError) as error:
        raise CommandError(in_file(exception_text(error), sources)) from None


def in_file(text: str, sources: Sources) -> str:
    """``text`` with the path of the table it is about in front, when it names one."""
    found = _TABLE_AT_START.match(text)
    if found is None:
        return text
    table = _TABLE_OF_WORDS.get(found.group(1), found.group(1))
    path = sources.get(table)
    return text if path is None else f"{path}: {text}"


def failure_message(error: MergeError) -> str:
    """The merge's refusal and its notes, with a hint when it read past a table's end."""
    message = exception_text(error)
    if error.engine_message == OUT_OF_BOUNDS:
        message += f"; {NARROW_TABLE_HINT}"
    return message
