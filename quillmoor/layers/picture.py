"""A picture of a merged field: the whole field, and a few junctions close up.

The whole field shows the kept points and, in red, the dropped ones; close-ups show
the points of the two segments that meet there in two colours, the dropped ones as red
crosses, a tick across every segment end and a dashed line between the two near ends
the merge cut at. It is drawn from the merge's own tables, so any command can draw the
field it merged: ``draw_field(connected_crop_rows, points_in_rows, row_information,
kept, path)``. Needs matplotlib only.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quillmoor.layers.junctions import Junctions, find_junctions
from quillmoor.layers.layer_files import committed_path

SEGMENT_COLOURS = ("#1f77b4", "#2ca02c")
OTHER_COLOUR = "0.6"
DROPPED_COLOUR = "#d62728"
CLOSE_UPS = 3


def draw_field(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    kept: Any,
    path: str,
    *,
    title: str | None = None,
) -> None:
    """Writes a PNG of the field to ``path`` (complete, or not at all).

    The tables are the merge's (``points_in_rows`` with the key in columns 0 and 1, x and
    y in 2 and 3). ``kept`` says which points the merge kept: a boolean mask over the
    rows of ``points_in_rows``, their positions, or the merge's result itself (its rows
    are found in ``points_in_rows`` by value).
    """
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    points = np.asarray(points_in_rows, dtype=np.float64)
    rows = np.asarray(row_information, dtype=np.float64)
    mask = _kept_mask(kept, points)
    junctions = find_junctions(np.asarray(connected_crop_rows, dtype=np.float64), rows)
    picked = _picked(junctions, CLOSE_UPS)

    figure = Figure(figsize=(12, 11), dpi=110, layout="constrained")
    axes = figure.subplots(2, 2).ravel()
    if title:
        figure.suptitle(title)
    overview = axes[0]
    overview.scatter(points[mask, 2], points[mask, 3], s=0.05, c="0.45", linewidths=0,
                     rasterized=True)
    overview.scatter(points[~mask, 2], points[~mask, 3], s=0.6, c=DROPPED_COLOUR,
                     linewidths=0, rasterized=True)
    overview.set_title(f"whole field: {int(mask.sum()):,} points kept, "
                       f"{int((~mask).sum()):,} dropped (red), {junctions.count:,} junctions")
    halves = [_half_width(junctions, rows, k) for k in picked]
    for label, k, half in zip("ABC", picked, halves):
        x, y = junctions.middle[k]
        overview.add_patch(Rectangle((x - half, y - half), 2 * half, 2 * half, fill=False,
                                     edgecolor="black", linewidth=1.2))
        overview.annotate(label, (x + half, y + half), fontsize=12, fontweight="bold")
    _finish(overview)
    for axis, label, k, half in zip(axes[1:], "ABC", picked, halves):
        _close_up(axis, points, mask, rows, junctions, k, half, label)
    for axis in axes[1 + len(picked):]:
        axis.set_axis_off()
    with committed_path(path) as temporary:
        figure.savefig(temporary, format="png")


def _kept_mask(kept: Any, points: np.ndarray) -> np.ndarray:
    count = points.shape[0]
    given = np.asarray(kept)
    if given.ndim == 2:
        return _rows_found(points, np.asarray(given, dtype=np.float64))
    if given.dtype == bool:
        if given.shape != (count,):
            raise ValueError(f"kept has {given.size} flags for {count} points")
        return given
    mask = np.zeros(count, dtype=bool)
    mask[given.astype(np.intp)] = True
    return mask


def _rows_found(points: np.ndarray, result: np.ndarray) -> np.ndarray:
    """Which rows of ``points`` appear among the rows of ``result``, compared bit for bit
    (the merge copies rows unchanged)."""
    if result.shape[1:] != points.shape[1:]:
        raise ValueError(f"the merge's result has {result.shape[1]} columns, the points "
                         f"{points.shape[1]}")
    row = np.dtype((np.void, points.shape[1] * points.itemsize))
    found: np.ndarray = np.isin(np.ascontiguousarray(points).view(row).ravel(),
                                np.ascontiguousarray(result).view(row).ravel())
    return found


def _picked(junctions: Junctions, count: int) -> list[int]:
    """Up to ``count`` junctions spread over the field in key order, away from its ends."""
    if junctions.count == 0:
        return []
    spots = np.round(np.linspace(0.2, 0.8, count) * (junctions.count - 1)).astype(int)
    return [int(k) for k in np.unique(spots)]


def _half_width(junctions: Junctions, rows: np.ndarray, k: int) -> float:
    """Half the close-up's width: the overlap, and the next rows on either side."""
    middle = junctions.middle[k]
    reach = float(np.hypot(*(junctions.near[k] - junctions.neighbour_near[k])))
    start, chord = rows[:, 5:7], rows[:, 7:9] - rows[:, 5:7]
    length = np.hypot(chord[:, 0], chord[:, 1])
    with np.errstate(invalid="ignore", divide="ignore"):
        unit = chord / length[:, None]
        relative = middle - start
        along = relative[:, 0] * unit[:, 0] + relative[:, 1] * unit[:, 1]
        across = np.abs(relative[:, 0] * unit[:, 1] - relative[:, 1] * unit[:, 0])
        beside = (along >= 0) & (along <= length) & (across > 0.5 * reach)
    beside[[junctions.segment[k], junctions.neighbour[k]]] = False
    nearest = float(across[beside].min()) if beside.any() else 0.0
    half = max(1.5 * reach, 1.2 * nearest)
    return half if np.isfinite(half) and half > 0 else 1.0


def _close_up(axis: Any, points: np.ndarray, mask: np.ndarray, rows: np.ndarray,
              junctions: Junctions, k: int, half: float, label: str) -> None:
    x, y = junctions.middle[k]
    near = (np.abs(points[:, 2] - x) <= half) & (np.abs(points[:, 3] - y) <= half)
    pair = (junctions.segment[k], junctions.neighbour[k])
    owner = [(points[:, 0] == rows[r, 0]) & (points[:, 1] == rows[r, 4]) for r in pair]
    shown = near & mask & ~owner[0] & ~owner[1]
    axis.scatter(points[shown, 2], points[shown, 3], s=8, c=OTHER_COLOUR, linewidths=0,
                 label="kept, other segments")
    for r, mine, colour in zip(pair, owner, SEGMENT_COLOURS):
        shown = near & mask & mine
        axis.scatter(points[shown, 2], points[shown, 3], s=14, c=colour, linewidths=0,
                     label=f"kept, segment {_key(rows, r)}")
    shown = near & ~mask
    axis.scatter(points[shown, 2], points[shown, 3], s=22, c=DROPPED_COLOUR, marker="x",
                 linewidths=1.2, label="dropped")
    _segment_ends(axis, rows, x, y, half)
    link = np.stack([junctions.near[k], junctions.neighbour_near[k]])
    axis.plot(link[:, 0], link[:, 1], c="black", linestyle="--", linewidth=1.0,
              label="near ends")
    axis.set_xlim(x - half, x + half)
    axis.set_ylim(y - half, y + half)
    axis.set_title(f"{label}: segments {_key(rows, pair[0])} and {_key(rows, pair[1])}")
    axis.legend(loc="lower right", fontsize=8, framealpha=0.9)
    _finish(axis)


def _segment_ends(axis: Any, rows: np.ndarray, x: float, y: float, half: float) -> None:
    """A short tick across each segment end in view."""
    start, stop = rows[:, 5:7], rows[:, 7:9]
    chord = stop - start
    length = np.hypot(chord[:, 0], chord[:, 1])
    with np.errstate(invalid="ignore", divide="ignore"):
        across = np.stack([-chord[:, 1], chord[:, 0]], axis=1) / length[:, None] * (0.15 * half)
    for ends in (start, stop):
        inside = np.flatnonzero((np.abs(ends[:, 0] - x) <= half)
                                & (np.abs(ends[:, 1] - y) <= half) & (length > 0))
        for r in inside:
            tick = np.stack([ends[r] - across[r], ends[r] + across[r]])
            axis.plot(tick[:, 0], tick[:, 1], c="black", linewidth=1.0)


def _key(rows: np.ndarray, r: int) -> str:
    return f"({rows[r, 0]:.0f}, {rows[r, 4]:.0f})"


def _finish(axis: Any) -> None:
    axis.set_aspect("equal")
    axis.set_xlabel("x")
    axis.set_ylabel("y")
