"""The counts of a field's points that belong to no connection record.

Kept apart from the counting itself (``unassigned_points``), which needs NumPy: the
exceptions that carry these counts are imported with the package, and importing the
package does not import NumPy.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class UnassignedPoints:
    """How many points of a field belong to no connection record, and why.

    ``points``: the point records. ``unassigned``: those in no connection record's
    block, which the merge leaves out without a word from the engine; they split into
    ``nan_key`` (a NaN key cell), ``invalid_key`` (a key cell that is negative,
    fractional, infinite or beyond 2**32 - 1, which the engine truncates or clamps) and
    ``unknown_key`` (a whole-number key that no record has). ``gathered``: the rows the
    connection records gather, a point counted once for every record whose base key it
    has (so more than ``points - unassigned`` when records share a base key). The
    merge's output holds ``gathered`` rows less those dropped at junctions.
    """

    points: int
    unassigned: int
    nan_key: int
    invalid_key: int
    unknown_key: int
    gathered: int

    @property
    def assigned(self) -> int:
        """Points in at least one connection record's block."""
        return self.points - self.unassigned

    def reasons(self) -> str:
        """The reasons, e.g. ``1,000 with a NaN key, 204 with a key no record has``."""
        parts = []
        if self.nan_key:
            parts.append(f"{self.nan_key:,} with a NaN key")
        if self.invalid_key:
            parts.append(
                f"{self.invalid_key:,} with a negative, fractional or too large key"
            )
        if self.unknown_key:
            parts.append(f"{self.unknown_key:,} with a key no record has")
        return ", ".join(parts)

    def __str__(self) -> str:
        noun = "point belongs" if self.unassigned == 1 else "points belong"
        text = f"{self.unassigned:,} of {self.points:,} {noun} to no connection record"
        return f"{text} ({self.reasons()})" if self.unassigned else text
