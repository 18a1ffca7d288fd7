"""The demo's picture: the field, and close-ups of junctions with the dropped points."""

from __future__ import annotations

import numpy as np

from quillmoor.synthetic import Field

KEPT_COLOURS = ("#1f77b4", "#2ca02c")  # alternate segments of a crop row
DROPPED_COLOUR = "#d62728"
ZOOM_HALF_WIDTH = 0.9  # metres: the overlap and the neighbouring crop rows


def matplotlib_missing() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return True
    return False


def pick_junctions(field: Field, count: int) -> np.ndarray:
    """``count`` junctions spread over the field, away from its edges where possible."""
    junctions = field.junctions()
    if junctions.shape[0] == 0:
        return junctions
    picks = np.linspace(0.2, 0.8, count) * (junctions.shape[0] - 1)
    return junctions[np.unique(np.round(picks).astype(int))]


def draw_merge(field: Field, kept: np.ndarray, path: str, title: str) -> None:
    """Writes a 2 x 2 PNG: the whole field, then three junctions close up."""
    # The object-oriented interface needs no display and leaves pyplot's state alone.
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    points = field.points_in_rows
    dropped = ~kept
    junctions = pick_junctions(field, 3)

    figure = Figure(figsize=(12, 11), dpi=110, layout="constrained")
    axes = figure.subplots(2, 2).ravel()
    figure.suptitle(title)

    overview = axes[0]
    overview.scatter(points[kept, 2], points[kept, 3], s=0.05, c="0.45",
                     linewidths=0, rasterized=True)
    overview.scatter(points[dropped, 2], points[dropped, 3], s=0.6, c=DROPPED_COLOUR,
                     linewidths=0, rasterized=True)
    overview.set_title(f"whole field: {kept.sum():,} points kept, "
                       f"{dropped.sum():,} dropped (red)")
    for label, (_, _, x, y) in zip("ABC", junctions):
        corner = (x - ZOOM_HALF_WIDTH, y - ZOOM_HALF_WIDTH)
        overview.add_patch(Rectangle(corner, 2 * ZOOM_HALF_WIDTH, 2 * ZOOM_HALF_WIDTH,
                                     fill=False, edgecolor="black", linewidth=1.2))
        overview.annotate(label, (x + ZOOM_HALF_WIDTH, y + ZOOM_HALF_WIDTH),
                          fontsize=12, fontweight="bold")
    _finish_axes(overview)

    for axis, label, junction in zip(axes[1:], "ABC", junctions):
        _draw_junction(axis, field, kept, label, junction)
    for axis in axes[1 + len(junctions):]:
        axis.set_axis_off()
    figure.savefig(path)


def _draw_junction(axis, field: Field, kept: np.ndarray, label: str, junction) -> None:
    row_key, segment_key, x, y = junction
    points = field.points_in_rows
    near = (np.abs(points[:, 2] - x) <= ZOOM_HALF_WIDTH) & (
        np.abs(points[:, 3] - y) <= ZOOM_HALF_WIDTH
    )
    for parity, colour in enumerate(KEPT_COLOURS):
        chosen = near & kept & (points[:, 1] % 2 == 1 - parity)
        axis.scatter(points[chosen, 2], points[chosen, 3], s=14, c=colour, linewidths=0,
                     label=f"kept, {'odd' if parity == 0 else 'even'} segments")
    chosen = near & ~kept
    axis.scatter(points[chosen, 2], points[chosen, 3], s=22, c=DROPPED_COLOUR, marker="x",
                 linewidths=1.2, label="dropped")
    _draw_segment_ends(axis, field, x, y)
    axis.set_xlim(x - ZOOM_HALF_WIDTH, x + ZOOM_HALF_WIDTH)
    axis.set_ylim(y - ZOOM_HALF_WIDTH, y + ZOOM_HALF_WIDTH)
    axis.set_title(f"{label}: crop row {row_key:.0f}, segments {segment_key:.0f} and "
                   f"{segment_key + 1:.0f}")
    axis.legend(loc="lower right", fontsize=8, framealpha=0.9)
    _finish_axes(axis)


def _draw_segment_ends(axis, field: Field, x: float, y: float) -> None:
    """Short ticks across each segment end near (x, y), where the overlaps begin and end."""
    rows = field.row_information
    half = 0.5 * field.row_spacing * 0.4
    for p0, p1 in zip(rows[:, 5:7], rows[:, 7:9]):
        direction = (p1 - p0) / np.hypot(*(p1 - p0))
        across = np.array([-direction[1], direction[0]]) * half
        for end in (p0, p1):
            if abs(end[0] - x) <= ZOOM_HALF_WIDTH and abs(end[1] - y) <= ZOOM_HALF_WIDTH:
                tick = np.stack([end - across, end + across])
                axis.plot(tick[:, 0], tick[:, 1], c="black", linewidth=1.0)


def _finish_axes(axis) -> None:
    axis.set_aspect("equal")
    axis.set_xlabel("x (m)")
    axis.set_ylabel("y (m)")
