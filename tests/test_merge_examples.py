"""Worked examples of the merge, checked on the native module and on the reference.

Junction geometry is worked out by hand in the comments: with base reference points
p0, p1, p2 and neighbour points q0, q1, q2, the farthest pair (i, j) gives the far end
F = p_i, the near end N (p1 when i is 0, else p0) and the neighbour near end N'; the
cut point A is the projection of (N + N') / 2 onto the line N-F, and B = N.
"""

import math

import numpy as np
import pytest

import reference
from conftest import MergeFailed
from field_strategies import (
    FULL_WIDTH,
    NAN,
    connection_record,
    point_record,
    row_record,
    segment_record,
    table,
)

# Hand-built junctions: (base reference points, neighbour reference points, A, B).
JUNCTIONS = {
    # (0,1) is farthest: F = (30,30), N = (10,10), N' = (-10,-10), M = (0,0), s = -0.5.
    "diagonal": ([(30, 30), (10, 10), (20, 20)], [(-10, -10), (-30, -30), (-20, -20)],
                 (0.0, 0.0), (10.0, 10.0)),
    # |A - B| is exactly 5: F = (9,12), N = (3,4), N' = (-3,-4), M = (0,0), s = -0.5.
    "three four five": ([(9, 12), (3, 4), (6, 8)], [(-3, -4), (-9, -12), (-6, -8)],
                        (0.0, 0.0), (3.0, 4.0)),
    # Along x, A beyond B: F = (0,0), N = (10,0), N' = (12,0), M = (11,0), s = -0.1.
    "x axis, cut beyond": ([(0, 0), (10, 0), (5, 0)], [(12, 0), (20, 0), (16, 0)],
                           (11.0, 0.0), (10.0, 0.0)),
    # Along x, A before B: F = (20,0), N = (10,0), N' = (6,0), M = (8,0), s = -0.2.
    "x axis, cut before": ([(20, 0), (10, 0), (15, 0)], [(6, 0), (0, 0), (3, 0)],
                           (8.0, 0.0), (10.0, 0.0)),
    # The far ends are the p2 points: (2,2) is farthest, so N = p0 and N' = q0.
    "far ends at p2": ([(10, 0), (5, 0), (0, 0)], [(12, 0), (16, 0), (20, 0)],
                       (11.0, 0.0), (10.0, 0.0)),
    # (0,0) and (2,2) tie for the greatest distance; the first wins: N = p1, N' = q1.
    "tie goes to the first pair": ([(0, 0), (10, 0), (0, 0)], [(20, 0), (12, 0), (20, 0)],
                                   (11.0, 0.0), (10.0, 0.0)),
    # All base points equal: F = N, u = (0,0), so s = 0/0 and the cut point is NaN.
    "degenerate": ([(5, 5), (5, 5), (5, 5)], [(6, 6), (9, 9), (7, 7)],
                   (NAN, NAN), (5.0, 5.0)),
}


def same_floats(a, b):
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


@pytest.mark.parametrize("name", JUNCTIONS)
def test_hand_built_junctions_give_their_cut_point(name):
    base, neighbour, cut_point, near_end = JUNCTIONS[name]
    got_cut, got_near = reference.junction_points(base, neighbour)
    assert same_floats(got_cut, cut_point) and same_floats(got_near, near_end)


def kept_points(merge, junction, points, tolerance, num_threads=1):
    """Merge one segment (key (1, 1)) joined to one neighbour (key (2, 1))."""
    base, neighbour, _, _ = JUNCTIONS[junction]
    connected = table([connection_record(1, 1, (2, 1))], FULL_WIDTH)
    rows = table([row_record(1, 1, *base), row_record(2, 1, *neighbour)])
    point_table = table([point_record(1, 1, x, y) for x, y in points], 4)
    result = merge(connected, point_table, rows, tolerance, num_threads)
    return [tuple(row[2:4]) for row in result.tolist()]


def on_x_axis(*xs):
    return [(float(x), 0.0) for x in xs]


# ------------------------------------------------------------- the worked example


@pytest.mark.parametrize("num_threads", [1, 2, 4, 0])
def test_worked_example_of_two_joined_segments(merge, num_threads):
    rows = table([(1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5), (2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16)])
    connected = table([(0, 1, 1, 2, 1), (1, 2, 1, 1, 1)], FULL_WIDTH)
    first = [0, 3, 6, 9, 10, 10.3, 10.8, 11.4]
    second = [9.6, 11, 12, 15, 20]
    points = table([(1, 1, w, w, 100 + w) for w in first] + [(2, 1, w, w, 200 + w) for w in second])

    result = merge(connected, points, rows, 0.5, num_threads)

    kept = [(1, 1, w, w, 100 + w) for w in (0, 3, 6, 9, 10.8, 11.4)]
    kept += [(2, 1, w, w, 200 + w) for w in (9.6, 11, 15, 20)]
    expected = np.array(kept, dtype=np.float64)
    assert result.dtype == np.float64 and result.shape == (10, 5)
    assert result.tobytes() == expected.tobytes()


def test_rows_are_copied_bit_for_bit(merge):
    odd_bits = [0x8000000000000000, 0x7FF0000000000001, 0x7FF8DEADBEEF0001, 0x0000000000000001,
                0xFFF0000000000000, 0x3FF0000000000001]
    further = np.array(odd_bits, dtype=np.uint64).view(np.float64)
    points = table([point_record(1, 1, x, 0.0, *np.roll(further, x)) for x in range(11)])
    connected = table([connection_record(1, 1, (2, 1))], FULL_WIDTH)
    rows = table([segment_record(1, 1, (0, 0), (10, 0)), segment_record(2, 1, (12, 0), (20, 0))])

    result = merge(connected, points, rows, 0.5, 2)

    assert result.shape == (10, 10)  # x = 10 lies in the overlap zone
    assert result.tobytes() == points[:10].tobytes()


# ------------------------------------------------------------- the keep-test at its bounds


def test_points_on_a_bound_are_kept(merge):
    points = [(1, 1), (1.5, 1.5), (11, 11), (10.5, 10.5), (-4, -4), (25, 25)]
    kept = kept_points(merge, "diagonal", points, 1.0)
    assert kept == [(1, 1), (11, 11), (-4, -4), (25, 25)]


def test_distance_equal_to_tolerance_leaves_the_decision_to_the_orientation_rule(merge):
    points = [(5, 5), (6, 6), (8, 9), (7.9, 9), (0, 0)]
    # d = 5 is not below t = 5: keep x <= 5, y <= 5 or x >= 8, y >= 9.
    assert kept_points(merge, "three four five", points, 5.0) == [(5, 5), (8, 9), (0, 0)]
    # Just above d, nothing is cut.
    assert kept_points(merge, "three four five", points, math.nextafter(5.0, 6.0)) == points


@pytest.mark.parametrize("junction", ["diagonal", "x axis, cut beyond", "x axis, cut before"])
def test_points_with_nan_coordinates_are_never_kept_while_the_distance_test_holds(
    merge, junction
):
    points = [(NAN, 1.0), (1.0, NAN), (2.0, 2.0)]
    assert kept_points(merge, junction, points, 1000.0) == [(2.0, 2.0)]


def test_points_with_nan_coordinates_are_never_kept_by_the_orientation_rule(merge):
    points = [(NAN, -5.0), (-5.0, NAN), (-5.0, -5.0), (NAN, 20.0), (20.0, 20.0)]
    assert kept_points(merge, "diagonal", points, 1.0) == [(-5.0, -5.0), (20.0, 20.0)]


@pytest.mark.parametrize("junction", ["diagonal", "x axis, cut beyond", "x axis, cut before"])
def test_nan_tolerance_drops_every_point(merge, junction):
    points = [(-5, -5), (0, 0), (5, 0), (20, 20), (20, 0), (10, 10)]
    assert kept_points(merge, junction, points, NAN) == []


def test_zero_and_negative_tolerances_move_the_bounds(merge):
    points = [(0, 0), (-1, -1), (9, 9), (10, 10), (5, 5)]
    assert kept_points(merge, "diagonal", points, 0.0) == [(0, 0), (-1, -1), (10, 10)]
    assert kept_points(merge, "diagonal", points, -1.0) == [(-1, -1), (9, 9), (10, 10)]


def test_tolerance_above_the_junction_distance_cuts_nothing(merge):
    points = on_x_axis(11, 5, 10) + [(5.0, 1.0)]
    assert kept_points(merge, "x axis, cut beyond", points, 1.5) == points


# ------------------------------------------------------------- ties and NaN in the orientation


@pytest.mark.parametrize(
    "junction", ["x axis, cut beyond", "far ends at p2", "tie goes to the first pair"]
)
def test_axis_aligned_cut_beyond_the_near_end_keeps_the_interior(merge, junction):
    points = [(11.0, 0.0), (5.0, 1.0), (5.0, 0.0), (10.0, 0.0)]
    assert kept_points(merge, junction, points, 0.5) == points[:3]


def test_axis_aligned_cut_before_the_near_end_keeps_the_interior(merge):
    points = on_x_axis(8, 5, 11, 9.5)
    assert kept_points(merge, "x axis, cut before", points, 1.0) == points[:3]


def test_nan_cut_point_drops_nothing(merge):
    points = [(5.0, 5.0), (0.0, 0.0), (100.0, -100.0), (5.0, 6.0), (-3.0, 40.0)]
    assert kept_points(merge, "degenerate", points, 0.5) == points


@pytest.mark.parametrize("junction", ["x axis, cut beyond", "x axis, cut before", "degenerate"])
def test_axes_without_bounds_keep_no_nan_point_and_nothing_under_nan_tolerance(
    merge, junction
):
    # The y axis (or both axes) set no bound here; NaN still keeps nothing.
    points = [(11.0, NAN), (NAN, 0.0), (5.0, 0.0)]
    assert kept_points(merge, junction, points, 0.5) == [(5.0, 0.0)]
    assert kept_points(merge, junction, points, NAN) == []


@pytest.mark.parametrize("along", ["x", "y"])
def test_field_of_axis_aligned_rows_keeps_every_interior_point(merge, along):
    # Three crop rows, each split into segments [0, 10], [9, 20] and [19, 30] that
    # overlap by one unit; one point at every whole coordinate of every segment.
    def place(u, v):
        return (u, v) if along == "x" else (v, u)

    spans = {1: (0, 10), 2: (9, 20), 3: (19, 30)}
    rows, connected, points = [], [], []
    for crop_row, offset in ((1, 0.0), (2, 3.0), (3, -6.0)):
        for segment, (start, end) in spans.items():
            rows.append(segment_record(crop_row, segment, place(start, offset), place(end, offset)))
            points += [point_record(crop_row, segment, *place(u, offset))
                       for u in range(start, end + 1)]
        connected += [
            connection_record(crop_row, 1, (crop_row, 2)),
            connection_record(crop_row, 2, (crop_row, 1), (crop_row, 3)),
            connection_record(crop_row, 3, (crop_row, 2)),
        ]

    result = merge(table(connected, FULL_WIDTH), table(points), table(rows), 0.25, 2)

    along_row = result[:, 2] if along == "x" else result[:, 3]
    for crop_row in (1, 2, 3):
        kept = {segment: along_row[(result[:, 0] == crop_row) & (result[:, 1] == segment)].tolist()
                for segment in spans}
        # Only the end inside the junction band is cut; the merged row has every point once.
        assert kept == {1: list(range(0, 10)), 2: list(range(10, 20)), 3: list(range(20, 31))}


# ------------------------------------------------------------- keys


def test_base_key_cells_are_truncated(merge):
    rows = table([
        row_record(7.0, 2.0, (0, 0), (10, 0), (5, 0)),  # key (7, 2): wrong key_b
        segment_record(7.99, 1.7, (0, 0), (10, 0)),  # first record converting to (7, 1)
        segment_record(7.0, 1.0, (0, 0), (20, 0)),  # also (7, 1), but later
        segment_record(9.0, 1.0, (12, 0), (20, 0)),
    ])
    connected = table([connection_record(7.6, 1.2, (9.0, 1.0))], FULL_WIDTH)
    points = table([
        point_record(7.0, 1.0, 8, 0), point_record(8.0, 1.0, 8, 0), point_record(7.5, 1.9, 9, 0),
        point_record(6.999, 1.0, 9, 0), point_record(7.999, 1.0, 10, 0),
        point_record(7.0, 2.0, 10, 0),
    ])
    result = merge(connected, points, rows, 0.5, 1)
    # The (0,0)-(10,0) record cuts x = 10; the (0,0)-(20,0) record would cut nothing.
    assert result.tobytes() == points[[0, 2]].tobytes()


def test_nan_negative_and_fractional_base_keys_are_all_key_zero(merge):
    rows = table([row_record(-1.0, 0.7, (0, 0), (1, 1), (2, 2))])
    connected = table([connection_record(NAN, -3.0)], FULL_WIDTH)
    cells = [0.0, -7.0, 0.5, NAN, 0.99, -0.0, -math.inf]
    points = table([point_record(a, b, 1, 1) for a in cells for b in (NAN, -0.5, 0.0)]
                   + [point_record(1.0, 0.0, 1, 1), point_record(0.0, 1.0, 1, 1)])
    result = merge(connected, points, rows, 0.5, 1)
    assert result.tobytes() == points[:-2].tobytes()


def test_base_keys_saturate_at_the_largest_key(merge):
    rows = table([row_record(math.inf, 4294967296.0, (0, 0), (1, 1), (2, 2))])
    connected = table([connection_record(5e9, 1e300)], FULL_WIDTH)
    cells = [4294967295.0, 1e10, math.inf, 4294967294.0, 4294967294.99]
    points = table([point_record(a, 4294967295.0, 1, 1) for a in cells])
    result = merge(connected, points, rows, 0.5, 1)
    assert result.tobytes() == points[:3].tobytes()


def test_neighbour_key_cells_match_only_exactly(merge):
    rows = table([
        segment_record(1, 1, (0, 0), (10, 0)),
        segment_record(7.0, 1, (12, 0), (20, 0)),  # would cut x = 10 only
        segment_record(7.6, 1, (6, 0), (20, 0)),  # cuts x = 9 and 10
    ])
    connected = table([connection_record(1, 1, (7.6, 1))], FULL_WIDTH)
    points = table([point_record(1, 1, x, 0) for x in (8, 9, 10)])
    result = merge(connected, points, rows, 0.5, 1)
    assert result.tobytes() == points[:1].tobytes()


def test_neighbour_key_four_does_not_find_four_and_a_half(merge):
    rows = table([segment_record(4.5, 1, (0, 0), (10, 0))])
    points = table([point_record(4, 1, 3, 0)])
    # The base rule finds the record ...
    alone = merge(table([connection_record(4.0, 1.0)], FULL_WIDTH), points, rows, 0.5, 1)
    assert alone.tobytes() == points.tobytes()
    # ... the neighbour rule does not.
    with pytest.raises(MergeFailed) as failed:
        merge(table([connection_record(4.0, 1.0, (4.0, 1.0))], FULL_WIDTH), points, rows, 0.5, 1)
    assert failed.value.record == 0


# ------------------------------------------------------------- row records and neighbour lists

X_AXIS_POINTS = table([point_record(1, 1, x, 0.0, 100 + x) for x in range(11)])


def merged_xs(merge, rows, *neighbours, width=FULL_WIDTH, num_threads=1):
    connected = table([connection_record(1, 1, *neighbours)], width)
    result = merge(connected, X_AXIS_POINTS, table(rows), 0.5, num_threads)
    assert result.tobytes() == X_AXIS_POINTS[result[:, 2].astype(int)].tobytes()
    return result[:, 2].astype(int).tolist()


BASE = segment_record(1, 1, (0, 0), (10, 0))
CUTS_10 = segment_record(2, 1, (12, 0), (20, 0))  # A = (11,0): drops (9.5, 10.5)
CUTS_0 = segment_record(3, 1, (-2, 0), (-8, 0))  # A = (-1,0), B = (0,0): drops (-0.5, 0.5)
CUTS_9_10 = segment_record(4, 1, (6, 0), (20, 0))  # A = (8,0): drops (8.5, 10.5)
CUTS_0_1 = segment_record(5, 1, (4, 0), (-10, 0))  # A = (2,0), B = (0,0): drops (-0.5, 1.5)


@pytest.mark.parametrize("num_threads", [1, 3])
def test_first_matching_row_record_is_used_for_base_and_neighbour(merge, num_threads):
    later_base = segment_record(1, 1, (0, 0), (20, 0))  # as the base record, cuts nothing
    later_neighbour = segment_record(2, 1, (6, 0), (20, 0))  # would cut x = 9 too
    rows = [BASE, later_base, CUTS_10, later_neighbour]
    assert merged_xs(merge, rows, (2, 1), num_threads=num_threads) == list(range(10))
    rows = [later_base, BASE, later_neighbour, CUTS_10]
    assert merged_xs(merge, rows, (2, 1), num_threads=num_threads) == list(range(11))


def test_record_without_neighbours_contributes_all_its_points(merge):
    assert merged_xs(merge, [BASE]) == list(range(11))
    # Only the base lookup is made, which needs five columns.
    narrow_rows = table([BASE[:5]])
    connected = table([connection_record(1, 1)], FULL_WIDTH)
    result = merge(connected, X_AXIS_POINTS, narrow_rows, 0.5, 1)
    assert result.tobytes() == X_AXIS_POINTS.tobytes()


def test_four_neighbours_in_eleven_columns_are_all_processed(merge):
    rows = [BASE, CUTS_10, CUTS_0, CUTS_9_10, CUTS_0_1]
    four = [(2, 1), (3, 1), (4, 1), (5, 1)]
    assert merged_xs(merge, rows, *four) == list(range(2, 9))
    assert merged_xs(merge, rows, *four[:3]) == list(range(1, 9))


@pytest.mark.parametrize("beyond", [(99.0, 99.0), (4.0, 1.0), (NAN, 0.0)])
def test_columns_beyond_ten_are_never_read(merge, beyond):
    rows = [BASE, CUTS_10, CUTS_0, CUTS_9_10, CUTS_0_1]
    neighbours = [(2, 1), (3, 1), (2, 1), (5, 1), beyond]
    assert merged_xs(merge, rows, *neighbours, width=13) == list(range(2, 10))


def test_six_column_table_ends_the_list_with_nan_in_column_five(merge):
    assert merged_xs(merge, [BASE, CUTS_10], (2, 1), width=6) == list(range(10))


def test_duplicated_neighbour_key_cuts_as_once(merge):
    rows = [BASE, CUTS_9_10]
    assert merged_xs(merge, rows, (4, 1), (4, 1)) == merged_xs(merge, rows, (4, 1))
    assert merged_xs(merge, rows, (4, 1)) == list(range(9))


def test_neighbour_equal_to_base_key_is_processed(merge):
    # Against itself: F = (0,0), N = (10,0), N' = (0,0), so A = (5,0), B = (10,0).
    assert merged_xs(merge, [BASE], (1, 1)) == list(range(6))


# ------------------------------------------------------------- empty tables and lists


@pytest.mark.parametrize("width", [0, 4, 7])
def test_empty_connected_table_gives_no_rows_with_the_points_width(merge, width):
    points = np.zeros((3, width))
    for connected in (np.empty((0, FULL_WIDTH)), np.empty((0, 0))):
        result = merge(connected, points, np.empty((0, 0)), 0.5, 1)
        assert result.dtype == np.float64 and result.shape == (0, width)


@pytest.mark.parametrize("width", [0, 1, 5])
def test_empty_points_table_gathers_nothing(merge, width):
    connected = table([connection_record(1, 1, (2, 1)), connection_record(2, 1)], FULL_WIDTH)
    rows = table([BASE, CUTS_10])
    result = merge(connected, np.empty((0, width)), rows, 0.5, 2)
    assert result.dtype == np.float64 and result.shape == (0, width)


def test_records_whose_keys_match_no_points_contribute_nothing(merge):
    connected = table([connection_record(2, 1, (1, 1)), connection_record(3, 1)], FULL_WIDTH)
    rows = table([BASE, CUTS_10, CUTS_0])
    result = merge(connected, X_AXIS_POINTS, rows, 0.5, 2)
    assert result.shape == (0, X_AXIS_POINTS.shape[1])


def test_point_record_named_by_several_records_is_contributed_by_each(merge):
    connected = table([connection_record(1, 1, (2, 1)), connection_record(1, 1),
                       connection_record(2, 1)], FULL_WIDTH)
    points = table([point_record(1, 1, 10, 0), point_record(1, 1, 3, 0)])
    result = merge(connected, points, table([BASE, CUTS_10]), 0.5, 2)
    assert result.tobytes() == points[[1, 0, 1]].tobytes()
