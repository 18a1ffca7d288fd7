"""Which way a segment runs at its ends.

A straight segment runs along its chord. A curved one (more than two vertices) runs at
each end along the line from the point a short stretch back to the end: on a bend the
chord can differ from the end's direction by half the bend, while the last edge alone
would follow every wobble of a measured track.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def outward_directions(shapely: Any, lines: np.ndarray, first: np.ndarray, last: np.ndarray,
                       length: np.ndarray, vertex_count: np.ndarray,
                       stretch: float) -> np.ndarray:
    """Unit vectors pointing out of each segment at its first vertices (rows ``0 .. n-1``)
    and its last vertices (rows ``n .. 2n-1``), measured over at most ``stretch`` (and
    at most half the line)."""
    chord = last - first
    unit = chord / np.hypot(chord[:, 0], chord[:, 1])[:, None]
    outward = np.concatenate([-unit, unit])
    curved = np.flatnonzero(vertex_count > 2)
    if curved.size:
        back = np.minimum(0.5 * length[curved], stretch)
        inner_first = shapely.get_coordinates(shapely.line_interpolate_point(lines[curved], back))
        inner_last = shapely.get_coordinates(
            shapely.line_interpolate_point(lines[curved], length[curved] - back))
        n = first.shape[0]
        outward[curved] = _unit(first[curved] - inner_first)
        outward[n + curved] = _unit(last[curved] - inner_last)
    return outward


def _unit(vectors: np.ndarray) -> np.ndarray:
    unit: np.ndarray = vectors / np.hypot(vectors[:, 0], vectors[:, 1])[:, None]
    return unit
