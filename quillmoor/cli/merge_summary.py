"""The lines ``quillmoor merge`` prints after a merge: what went in, what came out, and
where every point that did not come out went."""

from __future__ import annotations

from quillmoor.merging.point_counts import UnassignedPoints


def summary_lines(
    records: int, seconds: float, counts: UnassignedPoints, kept: int, written: str
) -> list[str]:
    """E.g. ``merged 232 connection records in 0.019 s: 100,000 points in, 95,322 out;
    saved to out.npy`` and ``  95,322 kept, 3,474 dropped at junctions; 1,204 points
    belong to no connection record (1,000 with a NaN key, 204 with a key no record has)``.
    """
    lines = [
        f"merged {records:,} connection records in {seconds:.3f} s: {counts.points:,} "
        f"points in, {kept:,} out; saved to {written}"
    ]
    where = [f"  {kept:,} kept, {counts.gathered - kept:,} dropped at junctions"]
    noun = "point belongs" if counts.unassigned == 1 else "points belong"
    unassigned = f"{counts.unassigned:,} {noun} to no connection record"
    if counts.unassigned:
        unassigned += f" ({counts.reasons()})"
    where.append(unassigned)
    shared = counts.gathered - counts.assigned
    if shared:
        # Records with one base key gather the same points, each its own copy.
        where.append(
            f"{shared:,} copies of points gathered again by connection records that share "
            "a base key"
        )
    lines.append("; ".join(where))
    return lines
