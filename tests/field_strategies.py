"""Building blocks for the three input tables, by hand and as hypothesis strategies.

Hand-built tables place crop-row segments on straight lines so that the junction
geometry (far end, near end, cut point) can be worked out on paper. The strategies
draw whole fields: coherent ones whose keys resolve, and malformed ones with narrow
tables, unmatched and NaN keys, ties on small integer grids and odd tolerances.
"""

import math

import numpy as np
from hypothesis import strategies as st

NAN = math.nan
INF = math.inf
FULL_WIDTH = 11


def table(records, width=None):
    """A float64 table from records of any length, padded with NaN to `width`."""
    records = [list(record) for record in records]
    if width is None:
        width = max((len(record) for record in records), default=0)
    result = np.full((len(records), width), NAN)
    for index, record in enumerate(records):
        if len(record) > width:
            raise ValueError(f"record {index} is wider than {width} columns")
        result[index, : len(record)] = record
    return result


def connection_record(key_a, key_b, *neighbours, column_0=0.0):
    """Base key and neighbour keys; the NaN padding of `table` ends the neighbour list."""
    record = [column_0, key_a, key_b]
    for neighbour_a, neighbour_b in neighbours:
        record += [neighbour_a, neighbour_b]
    return record


def row_record(key_a, key_b, p0, p1, p2):
    return [key_a, 0.0, 0.0, 0.0, key_b, *p0, *p1, *p2]


def segment_record(key_a, key_b, start, end):
    """A straight segment from `start` (p0) to `end` (p1), with p2 at its middle."""
    middle = ((start[0] + end[0]) / 2, (start[1] + end[1]) / 2)
    return row_record(key_a, key_b, start, end, middle)


def point_record(key_a, key_b, x, y, *further):
    return [key_a, key_b, x, y, *further]


# ---------------------------------------------------------------- strategies
# Cells are drawn as bytes that index small pools: one draw per run of cells keeps
# generation fast, and small pools make matching keys and tied coordinates common.

# Cells that stress the key rules: truncation, NaN, negatives, the saturation bound.
ODD_KEY_CELLS = [NAN, -1.0, -0.0, 0.5, 1.5, 2.9, 4294967295.0, 5e9, INF, -INF]
# Small grids make ties in coordinates and between reference points common.
GRID = [float(v) for v in range(-2, 7)] + [0.5, 2.5, 3.5]
ODD_COORDINATES = [NAN, INF, -INF, 1.5e308, -1.5e308, 1e300, 5e-324, 1e-160, -0.0]
UNEVEN_COORDINATES = [0.1, 1 / 3, 7.25, -3.7, 10.000000000000002, 2.675, 12.5, 19.9, -11.3]
COORDINATES = GRID * 3 + UNEVEN_COORDINATES + ODD_COORDINATES
ANY_CELLS = [0.0, 1.0, 2.0, 3.0] * 2 + ODD_KEY_CELLS + COORDINATES
TOLERANCES = [0.0, -0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 5.0, -1.0, NAN, INF, -INF]

SEGMENT_KEY = st.tuples(st.integers(0, 3), st.integers(0, 2))
# Point keys that no generated segment may carry, or carry under another cell value.
EXTRA_POINT_KEYS = [(3.9, 2.0), (4.0, 1.0), (0.5, 0.0), (1.0, 2.0)]


def draw_cells(draw, pool, count):
    picks = draw(st.binary(min_size=count, max_size=count))
    return [pool[pick % len(pool)] for pick in picks]


def draw_any_bits(draw, count):
    """Cells beyond column 3 of a point record are only copied, so any bits will do."""
    raw = draw(st.binary(min_size=8 * count, max_size=8 * count))
    return np.frombuffer(raw, dtype=np.float64).tolist()


def tolerances():
    return st.one_of(
        st.sampled_from(TOLERANCES), st.floats(min_value=-3.0, max_value=10.0, allow_nan=False)
    )


def thread_counts():
    return st.sampled_from([1, 1, 2, 3, 4, 0])


@st.composite
def coherent_fields(draw):
    """Full-width tables whose keys resolve: the engine cannot fail on them."""
    keys = draw(st.lists(SEGMENT_KEY, min_size=1, max_size=5, unique=True))
    rows = []
    for key_a, key_b in keys:
        # A cell with a fractional part still names the key under the base rule, and
        # the neighbour rule then needs that exact cell.
        cell_a = key_a + draw(st.sampled_from([0.0, 0.0, 0.5]))
        reference_values = draw_cells(draw, COORDINATES, 6)
        rows.append([cell_a, 0.0, 0.0, 0.0, float(key_b), *reference_values])
    # Later records with the key of an earlier one are never used.
    for _ in range(draw(st.integers(0, 2))):
        rows.append(draw(st.sampled_from(rows))[:5] + draw_cells(draw, COORDINATES, 6))
    row_keys = [(row[0], row[4]) for row in rows]

    connections = []
    for _ in range(draw(st.integers(1, 6))):
        key_a, key_b = draw(st.sampled_from(keys))
        neighbours = draw(st.lists(st.sampled_from(row_keys), max_size=4))
        connections.append(connection_record(float(key_a), float(key_b), *neighbours))
    connection_width = draw(st.sampled_from([FULL_WIDTH, FULL_WIDTH, 12, 14]))

    point_keys = [(float(a), float(b)) for a, b in keys] * 2 + EXTRA_POINT_KEYS
    point_width = draw(st.integers(4, 7))
    count = draw(st.integers(0, 25))
    point_cells = zip(
        draw_cells(draw, point_keys, count),
        draw_cells(draw, COORDINATES, count),
        draw_cells(draw, COORDINATES, count),
    )
    points = [
        point_record(*key, x, y, *draw_any_bits(draw, point_width - 4))
        for key, x, y in point_cells
    ]
    return (
        table(connections, connection_width),
        table(points, point_width),
        table(rows, FULL_WIDTH),
    )


@st.composite
def damaged_fields(draw):
    """A coherent field with some tables narrowed or widened and some cells replaced."""
    damaged = []
    for array in draw(coherent_fields()):
        records, width = array.shape
        new_width = draw(st.one_of(st.just(width), st.integers(0, width + 2)))
        if new_width <= width:
            array = array[:, :new_width].copy()
        else:
            extra = draw_cells(draw, ANY_CELLS, records * (new_width - width))
            array = np.hstack([array, np.array(extra).reshape(records, new_width - width)])
        if array.size:
            for _ in range(draw(st.integers(0, 3))):
                record = draw(st.integers(0, records - 1))
                column = draw(st.integers(0, array.shape[1] - 1))
                array[record, column] = draw(st.sampled_from(ANY_CELLS))
        damaged.append(array)
    return tuple(damaged)


@st.composite
def any_tables(draw):
    """Tables of any width with cells from small pools, so that keys often match."""

    def draw_table(max_records, widths):
        width = draw(widths)
        count = draw(st.integers(0, max_records))
        cells = draw_cells(draw, ANY_CELLS, count * width)
        return np.array(cells, dtype=np.float64).reshape(count, width)

    widths = st.one_of(st.integers(0, 13), st.just(FULL_WIDTH))
    connected = draw_table(5, widths)
    points = draw_table(12, st.one_of(st.integers(0, 6), st.just(4)))
    rows = draw_table(5, widths)
    # Neighbour keys must equal row_information cells exactly to be found: copy some.
    if rows.shape[0] and rows.shape[1] >= 5:
        for record in range(connected.shape[0]):
            for column in range(3, min(connected.shape[1] - 1, 11), 2):
                if draw(st.booleans()):
                    source = draw(st.integers(0, rows.shape[0] - 1))
                    connected[record, column] = rows[source, 0]
                    connected[record, column + 1] = rows[source, 4]
    return connected, points, rows


def memory_layouts():
    return st.sampled_from(["C", "F", "reversed rows", "every other column"])


def in_layout(array, layout):
    """The same logical table, stored in another memory order."""
    if layout == "F":
        return np.asfortranarray(array)
    if layout == "reversed rows":
        return np.ascontiguousarray(array[::-1])[::-1]
    if layout == "every other column":
        spread = np.full((array.shape[0], 2 * array.shape[1]), -7.0)
        spread[:, ::2] = array
        return spread[:, ::2]
    return np.ascontiguousarray(array)
