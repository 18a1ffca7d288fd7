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

# Cells that stress the key rules: truncation, NaN, negatives, the saturation bound.
ODD_KEY_CELLS = [NAN, -1.0, -0.0, 0.5, 1.5, 2.9, 4294967295.0, 5e9, INF, -INF]
# Small grids make ties in coordinates and between reference points common.
GRID = [float(v) for v in range(-2, 7)] + [0.5, 2.5, 3.5]
ODD_COORDINATES = [NAN, INF, -INF, 1e300, -1e300, 5e-324, 1e-160]
TOLERANCES = [0.0, -0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 5.0, -1.0, NAN, INF, -INF]


def coordinates(odd_share=0.1):
    grid = st.sampled_from(GRID)
    odd = st.sampled_from(ODD_COORDINATES)
    finite = st.floats(min_value=-20.0, max_value=20.0, allow_nan=False)
    return st.one_of(grid, grid, grid, finite, odd) if odd_share else st.one_of(grid, finite)


def tolerances():
    return st.one_of(
        st.sampled_from(TOLERANCES), st.floats(min_value=-3.0, max_value=10.0, allow_nan=False)
    )


def thread_counts():
    return st.sampled_from([1, 1, 2, 3, 4, 0])


def further_values():
    """Cells beyond column 3 of a point record: only copied, so any bits at all."""
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.integers(0, 2**64 - 1).map(lambda bits: float(np.uint64(bits).view(np.float64))),
    )


@st.composite
def coherent_fields(draw):
    """Full-width tables whose keys resolve: the engine cannot fail on them."""
    keys = draw(
        st.lists(st.tuples(st.integers(0, 3), st.integers(0, 2)), min_size=1, max_size=5, unique=True)
    )
    point = st.tuples(coordinates(), coordinates())
    rows = []
    for key_a, key_b in keys:
        # A cell with a fractional part still names the key under the base rule, and
        # the neighbour rule then needs that exact cell.
        cell_a = key_a + draw(st.sampled_from([0.0, 0.0, 0.5]))
        rows.append(row_record(cell_a, float(key_b), draw(point), draw(point), draw(point)))
    # Later duplicates of a key are never used.
    for _ in range(draw(st.integers(0, 2))):
        rows.append(list(draw(st.sampled_from(rows))[:5]) + [draw(coordinates()) for _ in range(6)])
    row_keys = [(row[0], row[4]) for row in rows]

    connections = []
    for _ in range(draw(st.integers(0, 6))):
        key_a, key_b = draw(st.sampled_from(keys))
        neighbours = draw(st.lists(st.sampled_from(row_keys), max_size=4))
        connections.append(connection_record(float(key_a), float(key_b), *neighbours))
    connection_width = draw(st.sampled_from([FULL_WIDTH, FULL_WIDTH, 12, 14]))

    point_keys = st.one_of(
        st.sampled_from(keys).map(lambda key: (float(key[0]), float(key[1]))),
        st.tuples(st.sampled_from([0.0, 1.0, 2.0, 3.9, 4.0]), st.sampled_from([0.0, 1.0, 2.0])),
    )
    point_width = draw(st.integers(4, 7))
    points = []
    for _ in range(draw(st.integers(0, 25))):
        key_a, key_b = draw(point_keys)
        further = [draw(further_values()) for _ in range(point_width - 4)]
        points.append(point_record(key_a, key_b, draw(coordinates()), draw(coordinates()), *further))
    return (
        table(connections, connection_width),
        table(points, point_width),
        table(rows, FULL_WIDTH),
    )


def key_cells():
    return st.one_of(st.sampled_from([0.0, 1.0, 2.0, 3.0]), st.sampled_from(ODD_KEY_CELLS))


def any_cells():
    return st.one_of(key_cells(), coordinates())


@st.composite
def any_tables(draw):
    """Tables of any width with cells from small pools, so that keys often match."""

    def draw_table(max_records, widths):
        width = draw(widths)
        count = draw(st.integers(0, max_records))
        cells = [[draw(any_cells()) for _ in range(width)] for _ in range(count)]
        return np.array(cells, dtype=np.float64).reshape(count, width)

    widths = st.one_of(st.integers(0, 13), st.just(FULL_WIDTH))
    connected = draw_table(5, widths)
    points = draw_table(12, st.one_of(st.integers(0, 6), st.just(4)))
    rows = draw_table(5, widths)
    # Neighbour keys must equal row_information cells exactly to be found: copy some.
    if rows.shape[0] and rows.shape[1] >= 5 and connected.shape[0]:
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
