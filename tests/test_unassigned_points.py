"""Points of no segment: counted, with their reasons, and warned about, raised or ignored.

The counts are checked against a slow per-point reference of the engine's key rules,
and against the engine itself: with every neighbour list empty, the merge keeps every
point it gathers, so its output has exactly ``gathered`` rows and none of the points
counted as unassigned.
"""

from __future__ import annotations

import math
import pickle
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmoor
from quillmoor.merging import unassigned_points
from quillmoor.synthetic import make_field

NAN = math.nan
KEY_MAX = 4294967295

# Cells that the engine reads as keys in every way it can: whole, fractional, negative,
# NaN, infinite, at and beyond the largest key.
KEY_CELLS = st.one_of(
    st.integers(0, 4).map(float),
    st.sampled_from([0.5, 2.7, 3.99, -0.0, -1.0, -2.5, NAN, math.inf, -math.inf,
                     KEY_MAX - 1.0, float(KEY_MAX), KEY_MAX + 1.0, 5e9, 1e300]),
)


def key_from_cell(cell):
    if cell != cell or cell < 0:
        return 0
    if cell >= KEY_MAX:
        return KEY_MAX
    return int(cell)


def is_key_as_written(cell):
    return cell == cell and 0 <= cell <= KEY_MAX and cell == int(cell)


def reference_counts(connections, points):
    """Point by point, as the engine gathers them."""
    records = {}
    for key_a, key_b in connections[:, 1:3]:
        key = (key_from_cell(key_a), key_from_cell(key_b))
        records[key] = records.get(key, 0) + 1
    unassigned = nan = invalid = gathered = 0
    for key_a, key_b in points[:, :2]:
        matching = records.get((key_from_cell(key_a), key_from_cell(key_b)), 0)
        gathered += matching
        if matching:
            continue
        unassigned += 1
        if math.isnan(key_a) or math.isnan(key_b):
            nan += 1
        elif not (is_key_as_written(key_a) and is_key_as_written(key_b)):
            invalid += 1
    return quillmoor.UnassignedPoints(len(points), unassigned, nan, invalid,
                                      unassigned - nan - invalid, gathered)


@st.composite
def keyed_tables(draw, max_points=60):
    records = draw(st.lists(st.tuples(KEY_CELLS, KEY_CELLS), max_size=6))
    connections = np.full((len(records), 11), NAN)
    if records:
        connections[:, 1:3] = records
    keys = draw(st.lists(st.tuples(KEY_CELLS, KEY_CELLS), max_size=max_points))
    points = np.zeros((len(keys), draw(st.integers(2, 5))))
    if keys:
        points[:, :2] = keys
    return connections, points


@pytest.fixture(params=["as chosen", "sorted"])
def lookup(request, monkeypatch):
    """Each way of looking keys up: as chosen by the keys' range (a dense table of the
    records' key range when it is small, sorted search when it is wide), and sorted
    search for every range."""
    if request.param == "sorted":
        monkeypatch.setattr(unassigned_points, "DENSE_CELLS_SMALL", 0)
        monkeypatch.setattr(unassigned_points, "DENSE_CELLS_LIMIT", 0)
    return request.param


class TestCounts:
    @settings(max_examples=300, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(tables=keyed_tables())
    def test_match_the_reference_for_every_kind_of_key_cell(self, tables, lookup):
        connections, points = tables
        assert quillmoor.count_unassigned_points(connections, points) == reference_counts(
            connections, points)

    def test_match_the_reference_across_many_chunks(self, lookup):
        rng = np.random.default_rng(3)
        connections = np.full((40, 11), NAN)
        connections[:, 1] = rng.integers(1, 9, 40)
        connections[:, 2] = rng.integers(1, 6, 40)  # some keys twice, some not at all
        points = np.zeros((3 * unassigned_points.CHUNK_ROWS + 17, 4))
        points[:, 0] = rng.integers(0, 10, len(points))
        points[:, 1] = rng.integers(0, 7, len(points))
        points[rng.random(len(points)) < 0.01, 0] = NAN
        points[rng.random(len(points)) < 0.01, 1] = -3.5
        expected = reference_counts(connections, points)
        assert 0 < expected.nan_key and 0 < expected.invalid_key and 0 < expected.unknown_key
        assert expected.gathered > expected.assigned  # records that share a base key
        assert quillmoor.count_unassigned_points(connections, points) == expected

    @settings(max_examples=150, deadline=None)
    @given(tables=keyed_tables(max_points=30))
    def test_the_engine_gathers_exactly_the_assigned_points(self, tables):
        connections, points = tables
        points = np.column_stack([points[:, :2], np.zeros((len(points), 2)),
                                  np.arange(len(points), dtype=float)])
        # One row record per distinct converted base key; no neighbours, so nothing
        # is dropped at a junction and the merge returns every point it gathers.
        rows = np.unique(np.array([[key_from_cell(a), key_from_cell(b)]
                                   for a, b in connections[:, 1:3]]).reshape(-1, 2), axis=0)
        row_information = np.zeros((max(len(rows), 1), 11))
        row_information[: len(rows), 0] = rows[:, 0]
        row_information[: len(rows), 4] = rows[:, 1]
        counts = quillmoor.count_unassigned_points(connections, points)
        merged = quillmoor.merge(connections, points, row_information, unassigned="ignore")
        assert len(merged) == counts.gathered
        assert len(np.unique(merged[:, 4])) == counts.assigned

    def test_text_says_how_many_and_why(self):
        counts = quillmoor.UnassignedPoints(100_000, 1_234, 1_000, 30, 204, 98_766)
        assert str(counts) == (
            "1,234 of 100,000 points belong to no connection record (1,000 with a NaN key, "
            "30 with a negative, fractional or too large key, 204 with a key no record has)")
        assert str(quillmoor.UnassignedPoints(5, 0, 0, 0, 0, 5)) == (
            "0 of 5 points belong to no connection record")

    def test_tables_too_narrow_to_hold_keys_are_refused(self):
        with pytest.raises(ValueError, match="connected_crop_rows has 2 columns"):
            quillmoor.count_unassigned_points(np.zeros((1, 2)), np.zeros((3, 4)))
        with pytest.raises(ValueError, match="points_in_rows has 1 columns"):
            quillmoor.count_unassigned_points(np.zeros((1, 11)), np.zeros((3, 1)))
        # Without records every point is unassigned, whatever its width.
        assert quillmoor.count_unassigned_points(np.zeros((0, 11)), np.zeros((3, 1))) == (
            quillmoor.UnassignedPoints(3, 3, 0, 0, 3, 0))


def field_with_lost_points():
    """A synthetic field, 30 of its points with a NaN key and 20 of an unknown segment."""
    field = make_field(3000, seed=11)
    points = field.points_in_rows.copy()
    points[:30, 0] = NAN
    points[30:50, 1] = 77
    return field.connected_crop_rows, points, field.row_information


EXPECTED = quillmoor.UnassignedPoints(3000, 50, 30, 0, 20, 2950)


class TestPolicies:
    def test_warn_is_the_default_and_points_at_the_caller(self):
        tables = field_with_lost_points()
        with pytest.warns(quillmoor.UnassignedPointsWarning) as caught:
            merged = quillmoor.merge(*tables)
        (warning,) = caught
        assert warning.filename == __file__
        assert warning.message.counts == EXPECTED
        assert (warning.message.unassigned, warning.message.nan_key,
                warning.message.unknown_key) == (50, 30, 20)
        assert str(warning.message) == str(EXPECTED)
        assert isinstance(warning.message, UserWarning)
        np.testing.assert_array_equal(merged, quillmoor.merge(*tables, unassigned="ignore"))

    def test_no_warning_when_every_point_has_a_record(self):
        field = make_field(3000, seed=11)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                            field.row_information)

    def test_raise_refuses_before_merging(self, monkeypatch):
        import quillmoor.merging.forgiving_merge as forgiving

        def no_engine(*args, **kwargs):
            raise AssertionError("the engine ran")

        monkeypatch.setattr(forgiving, "call_engine", no_engine)
        with pytest.raises(quillmoor.UnassignedPointsError) as raised:
            quillmoor.merge(*field_with_lost_points(), unassigned="raise")
        error = raised.value
        assert isinstance(error, quillmoor.MergeError) and error.counts == EXPECTED
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), again.counts, str(again)) == (type(error), EXPECTED, str(error))

    def test_ignore_does_not_count(self, monkeypatch):
        def no_count(*args):
            raise AssertionError("counted")

        monkeypatch.setattr(unassigned_points, "count_in_tables", no_count)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            quillmoor.merge(*field_with_lost_points(), unassigned="ignore")

    def test_a_function_is_given_the_counts_after_the_merge(self):
        given_counts = []
        quillmoor.merge(*field_with_lost_points(), unassigned=given_counts.append)
        field = make_field(500, seed=2)
        quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                        field.row_information, unassigned=given_counts.append)
        assert given_counts == [EXPECTED, quillmoor.UnassignedPoints(500, 0, 0, 0, 0, 500)]

    def test_an_unknown_policy_is_refused_before_any_work(self):
        with pytest.raises(ValueError, match="unassigned must be 'warn', 'raise', 'ignore'"):
            quillmoor.merge(np.zeros((0, 11)), "not even a table", np.zeros((0, 11)),
                            unassigned="wran")

    def test_merge_frame_follows_the_same_option(self):
        pd = pytest.importorskip("pandas")
        from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS

        connections, points, rows = field_with_lost_points()
        frames = (pd.DataFrame(connections, columns=CONNECTION_COLUMNS),
                  pd.DataFrame(points, columns=POINT_COLUMNS), rows)
        with pytest.warns(quillmoor.UnassignedPointsWarning) as caught:
            quillmoor.merge_frame(*frames)
        assert caught[0].message.counts == EXPECTED and caught[0].filename == __file__
        with pytest.raises(quillmoor.UnassignedPointsError):
            quillmoor.merge_frame(*frames, unassigned="raise")

    def test_merge_partitions_raises_naming_the_field(self):
        pd = pytest.importorskip("pandas")
        dd = pytest.importorskip("dask.dataframe")
        from quillmoor.dask import merge_partitions
        from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS

        connections, points, rows = field_with_lost_points()
        points = pd.DataFrame(points, columns=POINT_COLUMNS).assign(field="north")
        connections = pd.DataFrame(connections, columns=CONNECTION_COLUMNS).assign(
            field="north")
        rows = pd.DataFrame(rows[:, [0, 4, 5, 6, 7, 8, 9, 10]],
                            columns=["key_a", "key_b", "p0_x", "p0_y", "p1_x", "p1_y",
                                     "p2_x", "p2_y"]).assign(field="north")
        merged = merge_partitions(connections, dd.from_pandas(points, npartitions=1), rows,
                                  unassigned="raise")
        with pytest.raises(quillmoor.UnassignedPointsError, match="field 'north': 50 of"):
            merged.compute(scheduler="sync")


class TestKeyCellsInMessages:
    def test_a_nan_base_key_is_explained_in_a_note(self):
        connections, points, rows = field_with_lost_points()
        connections = connections.copy()
        connections[4, 2] = NAN
        with pytest.raises(quillmoor.MergeError) as raised:
            quillmoor.merge(connections, points, rows)
        key_a = int(connections[4, 1])
        assert str(raised.value) == (
            f"connection record 4: no row record matches base key ({key_a}, 0)")
        assert raised.value.__notes__ == ["connected_crop_rows[4, 2] (key_b) is nan, read as 0"]

    def test_signalling_nans_in_keys_raise_no_numpy_warning(self):
        signalling = np.array([0x7FF0000000000001], dtype=np.uint64).view(np.float64)[0]
        single = np.array([0x7F800001], dtype=np.uint32).view(np.float32)[0]
        connections, points, rows = field_with_lost_points()
        connections = connections.copy()
        points32 = points.astype(np.float32)
        points32[:30, 0] = single
        points = points.copy()
        connections[2, 5] = signalling  # ends record 2's neighbour list
        points[:30, 0] = signalling
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            counts = quillmoor.count_unassigned_points(connections, points)
            quillmoor.merge(connections, points, rows, unassigned="ignore")
            quillmoor.merge(connections, points32, rows, unassigned="ignore")
        assert counts == EXPECTED
