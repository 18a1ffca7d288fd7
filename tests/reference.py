"""Slow, plainly written model of ``merge_points_removing_overlap``.

Every step follows the documented algorithm literally: one scan of the tables per
lookup, Python floats for the geometry (each operation is one correctly rounded
IEEE double operation, so no fused multiply-add), and the failure conditions checked
in the documented order. Tests compare the native module against this model bit for
bit, so it favours being easy to check by eye over being fast.
"""

from __future__ import annotations

import math

import numpy as np

INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds"
MAX_NEIGHBOURS = 4
KEY_MAX = 4294967295
REFERENCE_VALUE_COUNT = 6

# Failure kinds. Only out-of-bounds reads have a fixed text; the others carry texts
# chosen by the engine, so the model records no text for them.
OUT_OF_BOUNDS = "out of bounds"
ROW_INFORMATION_UNUSABLE = "row_information has no records or no columns"
NO_BASE_ROW_RECORD = "no row record matches the base key"
NO_NEIGHBOUR_ROW_RECORD = "no row record matches a neighbour key"
REFERENCE_COUNT = "row record does not hold exactly six reference values"


class ReferenceFailure(Exception):
    """The whole call fails; `text` is the exact failure text where it is fixed."""

    def __init__(self, kind: str, text: str | None, record: int | None = None):
        super().__init__(kind, text, record)
        self.kind = kind
        self.text = text
        self.record = record


def out_of_bounds() -> ReferenceFailure:
    return ReferenceFailure(OUT_OF_BOUNDS, INDEX_OUT_OF_BOUNDS)


def key_from_cell(cell: float) -> int:
    """Truncate toward zero into 0..KEY_MAX; NaN and everything below 1 give 0."""
    if math.isnan(cell) or cell < 1.0:
        return 0
    if cell >= KEY_MAX:
        return KEY_MAX
    return math.trunc(cell)


def ieee_divide(numerator: float, denominator: float) -> float:
    # Python's float division raises on a zero divisor; the engine gets NaN or inf.
    with np.errstate(all="ignore"):
        return float(np.float64(numerator) / np.float64(denominator))


def distance(ax: float, ay: float, bx: float, by: float) -> float:
    dx = ax - bx
    dy = ay - by
    return math.sqrt(dx * dx + dy * dy)


def dot(a: tuple[float, float], b: tuple[float, float]) -> float:
    # Summed from 0.0, x term first: decides the sign of a zero result.
    total = 0.0
    total = total + a[0] * b[0]
    total = total + a[1] * b[1]
    return total


class Tables:
    """The three input tables as nested lists of Python floats, read cell by cell."""

    def __init__(self, connected_crop_rows, points_in_rows, row_information):
        self.connected = np.asarray(connected_crop_rows, dtype=np.float64)
        self.points = np.asarray(points_in_rows, dtype=np.float64)
        self.rows = np.asarray(row_information, dtype=np.float64)
        for table in (self.connected, self.points, self.rows):
            if table.ndim != 2:
                raise ValueError("tables must be two-dimensional")
        self.connected_cells = self.connected.tolist()
        self.point_cells = self.points.tolist()
        self.row_cells = self.rows.tolist()

    @property
    def connected_width(self) -> int:
        return self.connected.shape[1]

    @property
    def points_width(self) -> int:
        return self.points.shape[1]

    @property
    def rows_width(self) -> int:
        return self.rows.shape[1]


def gather_points_by_key(tables: Tables, key_a: int, key_b: int) -> list[int]:
    """Indices of the point records carrying the key, in table order."""
    if len(tables.point_cells) == 0:
        return []
    if tables.points_width == 0:
        raise out_of_bounds()
    gathered = []
    for index, record in enumerate(tables.point_cells):
        if key_from_cell(record[0]) != key_a:
            continue
        if tables.points_width < 2:
            raise out_of_bounds()
        if key_from_cell(record[1]) == key_b:
            gathered.append(index)
    return gathered


def base_rule_matches(cell: float, key: int) -> bool:
    return key_from_cell(cell) == key


def neighbour_rule_matches(cell: float, key_cell: float) -> bool:
    return cell == key_cell


def find_row_record(tables: Tables, matches, key_a, key_b, missing_kind: str) -> list[float]:
    """Values from column 4 on of the first row record the rule accepts.

    Column 4 is read only for a record whose column 0 matched, so a table of 1 to 4
    columns fails with an out-of-bounds read there, or by finding no record at all.
    """
    if len(tables.row_cells) == 0 or tables.rows_width == 0:
        raise ReferenceFailure(ROW_INFORMATION_UNUSABLE, None)
    for record in tables.row_cells:
        if not matches(record[0], key_a):
            continue
        if tables.rows_width < 5:
            raise out_of_bounds()
        if matches(record[4], key_b):
            return record[4:]
    raise ReferenceFailure(missing_kind, None)


def read_reference_points(row_record_copy: list[float]) -> list[tuple[float, float]]:
    values = row_record_copy[1:]
    if len(values) != REFERENCE_VALUE_COUNT:
        raise ReferenceFailure(REFERENCE_COUNT, None)
    return [(values[0], values[1]), (values[2], values[3]), (values[4], values[5])]


def farthest_pair(base_points, neighbour_points) -> tuple[int, int]:
    best = 0.0
    pair = (0, 0)
    for i, (bx, by) in enumerate(base_points):
        for j, (nx, ny) in enumerate(neighbour_points):
            d = distance(bx, by, nx, ny)
            if d > best:  # NaN never wins; the first maximum keeps its place
                best = d
                pair = (i, j)
    return pair


def junction_points(base_points, neighbour_points):
    """The cut point and the near end of the base segment at one junction."""
    i, j = farthest_pair(base_points, neighbour_points)
    far_end = base_points[i]
    near_end = base_points[1] if i == 0 else base_points[0]
    neighbour_near_end = neighbour_points[1] if j == 0 else neighbour_points[0]
    midpoint = (
        (near_end[0] + neighbour_near_end[0]) * 0.5,
        (near_end[1] + neighbour_near_end[1]) * 0.5,
    )
    u = (far_end[0] - near_end[0], far_end[1] - near_end[1])
    v = (midpoint[0] - near_end[0], midpoint[1] - near_end[1])
    s = ieee_divide(dot(v, u), dot(u, u))
    cut_point = (near_end[0] + s * u[0], near_end[1] + s * u[1])
    return cut_point, near_end


def direction(a: float, b: float) -> int:
    """+1 when A lies below B on the axis, -1 above, 0 for equal values or a NaN."""
    if a < b:
        return 1
    if a > b:
        return -1
    return 0


def on_cut_point_side(p: float, a: float, s: int, t: float) -> bool:
    # The quadrant on A's side, reaching t past A toward B; no direction, no bound.
    if s > 0:
        return p <= a + t
    if s < 0:
        return p >= a - t
    return True


def beyond_near_end(p: float, b: float, s: int, t: float) -> bool:
    # The quadrant beyond B, starting t past B away from A; no direction, no bound.
    if s > 0:
        return p >= b + t
    if s < 0:
        return p <= b - t
    return True


def is_outside_overlap(point: list[float], cut_point, near_end, tolerance: float) -> bool:
    """The keep-test: the distance test, then the per-axis orientation rule.

    With both directions non-zero the two halves are exactly the four rows of the
    orientation table; a tie or a NaN on an axis only removes that axis's bounds.
    A point with a NaN coordinate and a NaN tolerance keep nothing, also where no
    bound is left to compare them with (an axis-aligned row, a NaN cut point).
    """
    if len(point) < 4:
        raise out_of_bounds()
    px, py = point[2], point[3]
    ax, ay = cut_point
    bx, by = near_end
    t = tolerance
    if math.isnan(px) or math.isnan(py) or math.isnan(t):
        return False
    if distance(ax, ay, bx, by) < t:
        return True
    sx = direction(ax, bx)
    sy = direction(ay, by)
    first_half = on_cut_point_side(px, ax, sx, t) and on_cut_point_side(py, ay, sy, t)
    second_half = beyond_near_end(px, bx, sx, t) and beyond_near_end(py, by, sy, t)
    return first_half or second_half


def drop_overlapping_points(tables: Tables, point_list, cut_point, near_end, tolerance):
    return [
        index
        for index in point_list
        if is_outside_overlap(tables.point_cells[index], cut_point, near_end, tolerance)
    ]


def merge_connection_record(tables: Tables, index: int, tolerance: float) -> list[int]:
    """Indices of the point records the connection record contributes, in order."""
    record = tables.connected_cells[index]
    width = tables.connected_width
    if width < 3:
        raise out_of_bounds()
    key_a = key_from_cell(record[1])
    key_b = key_from_cell(record[2])
    point_list = gather_points_by_key(tables, key_a, key_b)
    base_copy = find_row_record(tables, base_rule_matches, key_a, key_b, NO_BASE_ROW_RECORD)
    for k in range(MAX_NEIGHBOURS):
        c = 3 + 2 * k
        if c >= width:
            raise out_of_bounds()
        if math.isnan(record[c]):
            break
        if c + 1 >= width:
            raise out_of_bounds()
        neighbour_copy = find_row_record(
            tables, neighbour_rule_matches, record[c], record[c + 1], NO_NEIGHBOUR_ROW_RECORD
        )
        base_points = read_reference_points(base_copy)
        neighbour_points = read_reference_points(neighbour_copy)
        cut_point, near_end = junction_points(base_points, neighbour_points)
        point_list = drop_overlapping_points(tables, point_list, cut_point, near_end, tolerance)
    return point_list


def merged_row_indices(connected_crop_rows, points_in_rows, row_information, tolerance):
    """Indices into points_in_rows of the result rows, records in increasing index."""
    tables = Tables(connected_crop_rows, points_in_rows, row_information)
    rows = []
    for index in range(len(tables.connected_cells)):
        try:
            rows.extend(merge_connection_record(tables, index, float(tolerance)))
        except ReferenceFailure as failure:
            failure.record = index
            raise
    return rows


def merge_points_removing_overlap(
    connected_crop_rows, points_in_rows, row_information, tolerance, num_threads=1
):
    """The model of the module function; `num_threads` cannot change the result."""
    del num_threads
    points = np.asarray(points_in_rows, dtype=np.float64)
    rows = merged_row_indices(connected_crop_rows, points, row_information, tolerance)
    if not rows:
        return np.empty((0, points.shape[1]), dtype=np.float64)
    return np.ascontiguousarray(points[np.asarray(rows, dtype=np.intp)])
