"""Which segment continues each segment end: the junctions of a field's crop rows.

Ends are numbered ``0 .. n-1`` for the segments' first vertices and ``n .. 2n-1`` for
their last ones. At an end E of a segment S, with D the unit vector pointing out of S
at E (see ``directions``), a segment T found near E by the spatial index qualifies when

* its near end E' (the one less far along D) lies at most ``max_gap`` beyond E and at
  most half the shorter segment's chord back over S: consecutive passes of one row
  overlap a little, or leave a small gap;
* it reaches beyond E along D;
* from E' it runs on within 30 degrees of D;
* their lateral offset, the mean of E's distance across T's direction at E' and E''s
  distance across D, is at most ``max_offset``.

Each end takes the candidate with the smallest ``hypot(offset, gap)`` (ties by the
smaller key, so the layer's order never matters), and the link stands only when T's
near end chose S's end E in return: one neighbour per end.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from quillmoor.layers.directions import outward_directions
from quillmoor.layers.segment_input import Segments
from quillmoor.layers.spacing import COS_MAX_TURN

#: A curved segment's direction at an end is taken over this many search radii.
DIRECTION_STRETCH = 2.0


@dataclass(frozen=True, eq=False)
class EndLinks:
    """Per end (``2n``): the linked end, or -1; and the link's offset and overlap."""

    partner: np.ndarray
    offset: np.ndarray
    overlap: np.ndarray
    """How far the neighbour reaches back over the segment; negative for a gap."""


def link_ends(shapely: Any, tree: Any, segments: Segments, max_offset: float,
              max_gap: float) -> EndLinks:
    n = segments.count
    first, last = segments.first, segments.last
    chord = last - first
    length = np.hypot(chord[:, 0], chord[:, 1])
    ends = np.concatenate([first, last])
    reach = float(np.hypot(max_offset, max_gap))
    outward = outward_directions(shapely, segments.lines, first, last, segments.length,
                                 segments.vertex_count, DIRECTION_STRETCH * reach)

    end, other = tree.query(shapely.points(ends), predicate="dwithin", distance=reach)
    segment = end % n
    keep = segment != other
    end, other, segment = end[keep], other[keep], segment[keep]

    direction = outward[end]
    reach_first = np.einsum("ij,ij->i", first[other] - ends[end], direction)
    reach_last = np.einsum("ij,ij->i", last[other] - ends[end], direction)
    near_is_last = reach_last < reach_first
    near = np.where(near_is_last, reach_last, reach_first)
    far = np.where(near_is_last, reach_first, reach_last)
    near_end = other + n * near_is_last
    # The other segment's direction where it starts beside this end, pointing on.
    onward = -outward[near_end]
    relative = ends[near_end] - ends[end]
    offset = 0.5 * (_across(relative, onward) + _across(relative, direction))
    parallel = np.einsum("ij,ij->i", direction, onward) >= COS_MAX_TURN
    qualifies = (
        parallel
        & (far > 0)
        & (near <= max_gap)
        & (-near <= 0.5 * np.minimum(length[segment], length[other]))
        & (offset <= max_offset)
    )
    end, other, near, offset = end[qualifies], other[qualifies], near[qualifies], offset[qualifies]
    partner_end = near_end[qualifies]
    score = np.hypot(offset, np.maximum(near, 0.0))

    # The best candidate of each end: smallest score, then smallest key.
    order = np.lexsort((segments.packed[other], score, end))
    best = order[np.r_[True, end[order][1:] != end[order][:-1]]] if order.size else order
    partner = np.full(2 * n, -1, dtype=np.intp)
    partner[end[best]] = partner_end[best]
    best_offset = np.full(2 * n, np.nan)
    best_offset[end[best]] = offset[best]
    best_overlap = np.full(2 * n, np.nan)
    best_overlap[end[best]] = -near[best]

    chosen = partner >= 0
    mutual = np.zeros(2 * n, dtype=bool)
    mutual[chosen] = partner[partner[chosen]] == np.flatnonzero(chosen)
    partner[~mutual] = -1
    best_offset[~mutual] = np.nan
    best_overlap[~mutual] = np.nan
    return EndLinks(partner=partner, offset=best_offset, overlap=best_overlap)


def _across(relative: np.ndarray, unit: np.ndarray) -> np.ndarray:
    """Distance of each relative vector across the matching direction."""
    across: np.ndarray = np.abs(relative[:, 0] * unit[:, 1] - relative[:, 1] * unit[:, 0])
    return across
