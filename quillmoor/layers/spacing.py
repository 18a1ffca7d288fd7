"""The row spacing of a field, estimated from its segment lines.

For each segment, the distance across to the nearest other segment running beside it
(within 30 degrees, the foot of the perpendicular from its midpoint inside the other's
chord). A segment with nothing beside it counts as infinitely far, so the median of these
distances is right as soon as the search radius takes in more than half the segments'
neighbours: the radius starts near the field's area per metre of line and doubles until
then. The nearer of two neighbours, though, is the nearer of two noisy distances and so
reads short; the spacing is therefore the median of the nearest distance on each side
separately, searched within twice that first estimate. Large fields are measured on an
even sample of their segments (by key order, so the layer's order never matters).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from quillmoor.layers.errors import LayerError

#: Segments whose directions differ by more than this are not side by side.
MAX_TURN_DEGREES = 30.0
COS_MAX_TURN = math.cos(math.radians(MAX_TURN_DEGREES))
#: Segments measured at most: the median of this many is as good as of all of them.
SAMPLE_SIZE = 20_000


def estimate_row_spacing(shapely: Any, tree: Any, first: np.ndarray, last: np.ndarray) -> float:
    chord = last - first
    length = np.hypot(chord[:, 0], chord[:, 1])
    unit = chord / length[:, None]
    middle = (first + last) * 0.5
    sample = np.arange(0, first.shape[0], max(1, -(-first.shape[0] // SAMPLE_SIZE)))
    probes = shapely.points(middle[sample])

    ends = np.concatenate([first, last])
    hull = shapely.convex_hull(shapely.multipoints(ends))
    radius = 1.5 * float(shapely.area(hull)) / float(length.sum())
    if not radius > 0:
        radius = float(np.median(length)) / 16
    reach = 2.0 * float(shapely.length(hull)) + float(length.max())
    while radius <= reach:
        nearest = _nearest_across(tree, probes, sample, middle, first, unit, length, radius)
        rough = float(np.median(nearest.min(axis=1)))
        if math.isfinite(rough):
            sides = _nearest_across(tree, probes, sample, middle, first, unit, length,
                                    2.0 * rough)
            return float(np.median(sides[np.isfinite(sides)]))
        radius *= 2.0
    raise LayerError(
        "segments: cannot estimate the row spacing, as no segment runs beside another; "
        "give the row spacing"
    )


def _nearest_across(tree: Any, probes: Any, sample: np.ndarray, middle: np.ndarray,
                    first: np.ndarray, unit: np.ndarray, length: np.ndarray,
                    radius: float) -> np.ndarray:
    """Per sampled segment, the distance across to the nearest segment beside it on its
    left and on its right, within ``radius`` (inf where there is none), shape (m, 2)."""
    probe, other = tree.query(probes, predicate="dwithin", distance=radius)
    source = sample[probe]
    keep = source != other
    probe, source, other = probe[keep], source[keep], other[keep]
    parallel = np.abs(np.einsum("ij,ij->i", unit[source], unit[other])) >= COS_MAX_TURN
    relative = middle[source] - first[other]
    along = np.einsum("ij,ij->i", relative, unit[other])
    signed = relative[:, 0] * unit[other, 1] - relative[:, 1] * unit[other, 0]
    across = np.abs(signed)
    beside = parallel & (along >= 0) & (along <= length[other]) & (across > 0)
    # Which side of the segment the other lies on, in the segment's own direction.
    side = (np.sign(signed) * np.sign(np.einsum("ij,ij->i", unit[source], unit[other])) > 0)
    nearest = np.full((sample.shape[0], 2), np.inf)
    np.minimum.at(nearest, (probe[beside], side[beside].astype(np.intp)), across[beside])
    return nearest
