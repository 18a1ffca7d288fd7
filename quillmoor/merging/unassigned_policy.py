"""What a merge does about points that belong to no connection record.

Every merge path (``merge``, ``merge_frame``, the many-fields tasks) calls the two
functions here around its engine call, on the engine's own tables: ``counted_before``
counts the points (unless told to ignore them) and refuses them for ``"raise"``, before
any engine work; ``reported_after`` warns or hands the counts to the caller's function
once the merge has succeeded.
"""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Literal, Union

from quillmoor.errors import UnassignedPointsError, UnassignedPointsWarning
from quillmoor.merging.point_counts import UnassignedPoints

if TYPE_CHECKING:
    import numpy as np

#: ``"warn"`` (the default), ``"raise"``, ``"ignore"``, or a function that is given the
#: counts after every merge, however many points are unassigned.
UnassignedPolicy = Union[Literal["warn", "raise", "ignore"], Callable[[UnassignedPoints], object]]

POLICIES = ("warn", "raise", "ignore")

# Warnings point at the first caller outside this package.
_PACKAGE_FOLDER = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def check_policy(policy: object) -> None:
    """Refuse anything but the three words or a function, before any work."""
    if callable(policy) or (isinstance(policy, str) and policy in POLICIES):
        return
    raise ValueError(
        f"unassigned must be 'warn', 'raise', 'ignore' or a function taking the counts, "
        f"got {policy!r}"
    )


def counted_before(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    policy: UnassignedPolicy,
    field: object | None,
) -> UnassignedPoints | None:
    """The counts (``None`` for ``"ignore"``); for ``"raise"`` an ``UnassignedPointsError``
    when any point is unassigned. The tables are the engine's, checked for width."""
    if isinstance(policy, str) and policy == "ignore":
        return None
    from quillmoor.merging.unassigned_points import count_in_tables

    counts = count_in_tables(connected_crop_rows, points_in_rows)
    if isinstance(policy, str) and policy == "raise" and counts.unassigned:
        raise UnassignedPointsError(counts, field)
    return counts


def reported_after(
    counts: UnassignedPoints | None, policy: UnassignedPolicy, field: object | None
) -> None:
    """After a successful merge: the warning for ``"warn"``, or the caller's function."""
    if counts is None:
        return
    if callable(policy):
        policy(counts)
    elif policy == "warn" and counts.unassigned:
        warnings.warn(UnassignedPointsWarning(counts, field), stacklevel=_caller_level())


def _caller_level() -> int:
    """``warnings.warn``'s stack level of the first frame outside this package."""
    level = 1
    frame = sys._getframe(1)  # the function that calls warnings.warn
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE_FOLDER):
        frame = frame.f_back
        level += 1
    return level
