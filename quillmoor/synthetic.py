"""Synthetic crop-row fields in the table layouts that ``merge_points_removing_overlap`` reads.

A field is a set of parallel crop rows about ``row_spacing`` apart, turned by ``rotation``
against the x axis and optionally bent gently sideways. Every crop row is split into
consecutive straight segments that overlap where they meet, the way a row is mapped in
passes that start a little before the previous one ended. Each segment has:

* a key: ``key_a`` = crop row index + 1, ``key_b`` = segment index within its row + 1;
* a row record: its end points ``p0`` (start) and ``p1`` (end) and its midpoint ``p2``;
* measured points spread along it, offset sideways by bounded Gaussian jitter, each with
  a height, an intensity and a timestamp;
* a connection record naming its previous and next segment in the same crop row.

Everything is drawn from ``numpy.random.default_rng(seed)``, so a seed always gives the
same field. The points table is written once, in chunks, straight into shuffled positions:
ten million points take the 560 MB of the table plus a permutation of 80 MB.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

#: Columns of the generated ``points_in_rows``.
POINT_COLUMNS = ("key_a", "key_b", "x", "y", "height", "intensity", "timestamp")

#: Columns of the generated ``row_information``. Columns 1 to 3 are not read by the merge;
#: they carry the segment's length, its heading in radians and its number of points.
ROW_INFORMATION_COLUMNS = (
    "key_a", "length", "heading", "n_points", "key_b",
    "p0_x", "p0_y", "p1_x", "p1_y", "p2_x", "p2_y",
)

#: Columns of the generated ``connected_crop_rows``: the record's own index, the base key
#: and four neighbour keys; unused neighbour slots hold NaN.
CONNECTION_COLUMNS = (
    "index", "key_a", "key_b",
    "n0_key_a", "n0_key_b", "n1_key_a", "n1_key_b",
    "n2_key_a", "n2_key_b", "n3_key_a", "n3_key_b",
)

#: Sideways offsets are Gaussian with standard deviation ``jitter``, clipped at this many
#: deviations so that every point stays within a known distance of its segment.
JITTER_CLIP = 3.0

#: Timestamps: acquisition starts at this Unix time and takes one sample per interval.
TIMESTAMP_START = 1_700_000_000.0
SAMPLE_INTERVAL = 0.001

DEFAULT_POINTS_PER_METRE = 40.0
MIN_SEGMENTS_PER_ROW = 3
MIN_CROP_ROWS = 2

# Points are generated this many at a time, which bounds the temporaries.
_CHUNK_POINTS = 1 << 20


@dataclass(frozen=True, eq=False)
class Field:
    """One synthetic field: the three tables and how they were made."""

    connected_crop_rows: np.ndarray
    points_in_rows: np.ndarray
    row_information: np.ndarray
    seed: int
    n_crop_rows: int
    segments_per_row: int
    row_spacing: float
    rotation: float
    """Heading of the crop rows against the x axis, in radians."""
    jitter: float
    """Standard deviation of the sideways offset; no point lies farther than
    ``JITTER_CLIP * jitter`` from its segment."""
    overlap: float
    """Mean length by which consecutive segments of a crop row overlap."""
    bend: float
    """Largest sideways deviation of a crop row's centre line from a straight line."""

    @property
    def n_points(self) -> int:
        return int(self.points_in_rows.shape[0])

    @property
    def n_segments(self) -> int:
        return int(self.row_information.shape[0])

    @property
    def max_offset(self) -> float:
        """Largest distance of a point from the line of its segment."""
        return JITTER_CLIP * self.jitter

    def junctions(self) -> np.ndarray:
        """The junctions between consecutive segments, one per row.

        Columns: crop row key, key_b of the earlier segment, and x, y of the middle of
        the overlap (halfway between the earlier segment's end and the later one's start).
        """
        rows = self.row_information
        if self.segments_per_row < 2:
            return np.empty((0, 4))
        # Row records are stored crop row by crop row, segment by segment.
        earlier = rows.reshape(self.n_crop_rows, self.segments_per_row, -1)[:, :-1]
        later = rows.reshape(self.n_crop_rows, self.segments_per_row, -1)[:, 1:]
        middle = (earlier[..., 7:9] + later[..., 5:7]) * 0.5
        table = np.concatenate([earlier[..., 0:1], earlier[..., 4:5], middle], axis=-1)
        return table.reshape(-1, 4)

    def kept_points(self, merged: np.ndarray) -> np.ndarray:
        """Which rows of ``points_in_rows`` appear in a merge result, as a boolean mask.

        Every generated point has its own timestamp, so the timestamp column names it.
        """
        stamp = POINT_COLUMNS.index("timestamp")
        merged = np.asarray(merged)
        if merged.ndim != 2 or merged.shape[1] != len(POINT_COLUMNS):
            raise ValueError(f"a merge result of this field has {len(POINT_COLUMNS)} columns")
        return np.isin(self.points_in_rows[:, stamp], merged[:, stamp])


def make_field(
    n_points: int,
    seed: int = 0,
    *,
    n_crop_rows: int | None = None,
    segments_per_row: int | None = None,
    segment_length: float = 10.0,
    overlap: float = 0.4,
    row_spacing: float = 0.75,
    jitter: float = 0.02,
    rotation_deg: float | None = None,
    bend: float = 0.0,
) -> Field:
    """Make a field of exactly ``n_points`` measured points.

    Without ``n_crop_rows`` and ``segments_per_row`` the field is laid out roughly square at
    about 40 points per metre of crop row, with at least 2 crop rows and 3 segments per
    row (small fields are therefore sparser). Segment lengths vary by up to 20 % around
    ``segment_length`` and overlaps by up to 40 % around ``overlap``. Without
    ``rotation_deg`` the heading is drawn between 10 and 30 degrees either way: the
    merge's keep-test works per axis, so a heading very close to an axis lets sideways
    jitter decide which points near a junction are kept.
    """
    n_points = _non_negative_int(n_points, "n_points")
    if not segment_length > 0:
        raise ValueError("segment_length must be positive")
    if not 0 < overlap <= segment_length / 4:
        raise ValueError("overlap must be positive and at most a quarter of segment_length")
    if not row_spacing > 0:
        raise ValueError("row_spacing must be positive")
    if not jitter >= 0:
        raise ValueError("jitter must not be negative")

    rng = np.random.default_rng(seed)
    n_rows, n_segs = _choose_layout(
        n_points, n_crop_rows, segments_per_row, segment_length - overlap, row_spacing
    )
    if rotation_deg is None:
        rotation_deg = float(rng.choice([-1.0, 1.0]) * rng.uniform(10.0, 30.0))
    rotation = math.radians(rotation_deg)

    starts, ends = _segment_spans(rng, n_rows, n_segs, segment_length, overlap)
    p0, p1 = _segment_end_points(rng, starts, ends, row_spacing, rotation, bend)
    lengths = np.hypot(*(p1 - p0).T)
    counts = _share_points(n_points, lengths)

    row_information = _row_records(n_rows, n_segs, p0, p1, lengths, counts)
    connected_crop_rows = _connection_records(n_rows, n_segs)
    crop_height = rng.uniform(0.2, 0.5, size=n_rows)
    points_in_rows = _measured_points(rng, row_information, counts, crop_height, n_segs, jitter)

    return Field(
        connected_crop_rows=connected_crop_rows,
        points_in_rows=points_in_rows,
        row_information=row_information,
        seed=seed,
        n_crop_rows=n_rows,
        segments_per_row=n_segs,
        row_spacing=row_spacing,
        rotation=rotation,
        jitter=jitter,
        overlap=overlap,
        bend=bend,
    )


def _non_negative_int(value, name: str) -> int:
    number = int(value)
    if number != value or number < 0:
        raise ValueError(f"{name} must be a non-negative integer, got {value!r}")
    return number


def _choose_layout(n_points, n_crop_rows, segments_per_row, step, row_spacing):
    """Crop rows and segments per row for a roughly square field at the default density."""
    for given, name in ((n_crop_rows, "n_crop_rows"), (segments_per_row, "segments_per_row")):
        if given is not None and _non_negative_int(given, name) < 1:
            raise ValueError(f"{name} must be at least 1")
    row_metres = max(n_points, 1) / DEFAULT_POINTS_PER_METRE
    if n_crop_rows is None:
        if segments_per_row is None:
            # Square: the row length equals the width, n_rows * row_spacing.
            n_crop_rows = round(math.sqrt(row_metres / row_spacing))
        else:
            n_crop_rows = round(row_metres / (segments_per_row * step))
        n_crop_rows = max(MIN_CROP_ROWS, n_crop_rows)
    if segments_per_row is None:
        segments_per_row = max(MIN_SEGMENTS_PER_ROW, round(row_metres / n_crop_rows / step))
    return int(n_crop_rows), int(segments_per_row)


def _segment_spans(rng, n_rows, n_segs, segment_length, overlap):
    """Start and end of every segment along its crop row, in metres, shape (rows, segs)."""
    lengths = segment_length * rng.uniform(0.8, 1.2, size=(n_rows, n_segs))
    overlaps = overlap * rng.uniform(0.6, 1.4, size=(n_rows, n_segs))
    # overlaps[:, k] is how far segment k reaches back over segment k - 1.
    overlaps[:, 0] = 0.0
    # Field edges are ragged: each crop row starts up to a metre in.
    first_start = rng.uniform(0.0, 1.0, size=(n_rows, 1))
    advance = np.cumsum(lengths, axis=1) - lengths - np.cumsum(overlaps, axis=1)
    starts = first_start + advance
    return starts, starts + lengths


def _segment_end_points(rng, starts, ends, row_spacing, rotation, bend):
    """World coordinates of every segment's start (p0) and end (p1), shape (segments, 2)."""
    n_rows = starts.shape[0]
    across = row_spacing * np.arange(n_rows) + rng.normal(0.0, 0.01 * row_spacing, n_rows)
    field_length = float(ends.max()) if ends.size else 1.0

    def centre_line(along):
        # Parallel rows share one gentle sideways bow.
        side = across[:, None] + bend * np.sin(np.pi * along / field_length)
        cos, sin = math.cos(rotation), math.sin(rotation)
        return np.stack([along * cos - side * sin, along * sin + side * cos], axis=-1)

    return centre_line(starts).reshape(-1, 2), centre_line(ends).reshape(-1, 2)


def _share_points(n_points, lengths):
    """Points per segment, proportional to its length, summing to exactly n_points."""
    share = n_points * lengths / lengths.sum()
    counts = np.floor(share).astype(np.int64)
    missing = n_points - int(counts.sum())
    # Largest remainders first; a stable sort keeps ties in segment order.
    order = np.argsort(-(share - counts), kind="stable")
    counts[order[:missing]] += 1
    return counts


def _row_records(n_rows, n_segs, p0, p1, lengths, counts):
    rows = np.empty((n_rows * n_segs, len(ROW_INFORMATION_COLUMNS)))
    rows[:, 0] = np.repeat(np.arange(1, n_rows + 1), n_segs)
    rows[:, 1] = lengths
    rows[:, 2] = np.arctan2(p1[:, 1] - p0[:, 1], p1[:, 0] - p0[:, 0])
    rows[:, 3] = counts
    rows[:, 4] = np.tile(np.arange(1, n_segs + 1), n_rows)
    rows[:, 5:7] = p0
    rows[:, 7:9] = p1
    rows[:, 9:11] = (p0 + p1) * 0.5
    return rows


def _connection_records(n_rows, n_segs):
    """One record per segment: its key, then its previous and next segment, NaN-ended."""
    n = n_rows * n_segs
    records = np.full((n, len(CONNECTION_COLUMNS)), np.nan)
    records[:, 0] = np.arange(n)
    row_key = np.repeat(np.arange(1, n_rows + 1), n_segs).astype(np.float64)
    seg_key = np.tile(np.arange(1, n_segs + 1), n_rows).astype(np.float64)
    records[:, 1] = row_key
    records[:, 2] = seg_key
    has_previous = seg_key > 1
    has_next = seg_key < n_segs
    # The first free neighbour slot is column 3 for everyone; after a previous
    # neighbour it is column 5.
    records[has_previous, 3] = row_key[has_previous]
    records[has_previous, 4] = seg_key[has_previous] - 1
    next_column = np.where(has_previous, 5, 3)
    rows = np.flatnonzero(has_next)
    records[rows, next_column[rows]] = row_key[rows]
    records[rows, next_column[rows] + 1] = seg_key[rows] + 1
    return records


def _measured_points(rng, row_information, counts, crop_height, n_segs, jitter):
    """The points table, in shuffled order; see the module docstring for its memory use."""
    n_points = int(counts.sum())
    table = np.empty((n_points, len(POINT_COLUMNS)))
    if n_points == 0:
        return table
    destination = rng.permutation(n_points)
    first_point = np.cumsum(counts) - counts

    p0 = row_information[:, 5:7]
    direction = row_information[:, 7:9] - p0
    length = np.hypot(direction[:, 0], direction[:, 1])
    normal = np.stack([-direction[:, 1], direction[:, 0]], axis=1)
    normal /= np.maximum(length, 1e-300)[:, None]
    segment_height = crop_height[np.arange(row_information.shape[0]) // n_segs]

    bound = JITTER_CLIP * jitter
    for lo in range(0, n_points, _CHUNK_POINTS):
        hi = min(lo + _CHUNK_POINTS, n_points)
        sample = np.arange(lo, hi)
        seg = np.searchsorted(first_point, sample, side="right") - 1
        m = hi - lo
        # One sample per equal stretch of the segment, at a random place within it:
        # even coverage, acquisition order along the segment.
        along = (sample - first_point[seg] + rng.random(m)) / counts[seg]
        side = np.clip(rng.normal(0.0, jitter, m), -bound, bound)

        chunk = np.empty((m, len(POINT_COLUMNS)))
        chunk[:, 0] = row_information[seg, 0]
        chunk[:, 1] = row_information[seg, 4]
        chunk[:, 2:4] = p0[seg] + along[:, None] * direction[seg] + side[:, None] * normal[seg]
        chunk[:, 4] = segment_height[seg] + rng.normal(0.0, 0.03, m)
        chunk[:, 5] = np.floor(rng.uniform(0.0, 256.0, m))
        chunk[:, 6] = TIMESTAMP_START + sample * SAMPLE_INTERVAL
        table[destination[lo:hi]] = chunk
    return table
