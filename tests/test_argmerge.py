"""``quillmoor.argmerge``: positions whose rows are ``quillmoor.merge``'s result bit for bit,
for the points as one table or as four columns of any kind, and the merge's failures."""

from __future__ import annotations

import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillmoor
import reference
from field_strategies import (
    any_tables,
    coherent_fields,
    damaged_fields,
    in_layout,
    memory_layouts,
    tolerances,
)
from test_surface_support import EXPECTED, worked_example

NO_DEADLINE = settings(deadline=None)
EVERY_THREAD_COUNT = st.sampled_from([1, 2, 3, 4, 0])
KEPT = [0, 1, 2, 3, 6, 7, 8, 9, 11, 12]


def outcome(function, *tables, **options):
    """The result, or the failure as (type, message)."""
    try:
        return function(*tables, **options)
    except (TypeError, ValueError) as error:
        return type(error), str(error)


def warned(function, *tables, **options):
    """outcome(...), and the texts of the warnings it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = outcome(function, *tables, **options)
    return result, [f"{type(w.message).__name__}: {w.message}" for w in caught]


def assert_argmerge_is_the_merge(tables, points=None, **options):
    """argmerge on `tables` (its points replaced by `points` if given) against the merge:
    the same failure, or the merge's rows and the same warnings."""
    merged, merge_warnings = warned(quillmoor.merge, *tables, **options)
    connected, _, rows = tables
    got, argmerge_warnings = warned(quillmoor.argmerge, connected,
                                    tables[1] if points is None else points, rows, **options)
    assert argmerge_warnings == merge_warnings
    if isinstance(merged, tuple):
        assert got == merged
        return None
    assert not isinstance(got, tuple), got
    assert got.dtype == np.intp and got.ndim == 1
    # Rows compared as bytes: NaN cells and any bits beyond column 3 must match too.
    assert np.asarray(tables[1])[got].tobytes() == merged.tobytes()
    return got


def strided_columns(points, layout):
    """The four columns of `points` stored in `layout`, each a strided view."""
    stored = in_layout(points, layout)
    return [stored[:, column] for column in range(4)]


class TestAgainstTheMerge:
    @settings(NO_DEADLINE, max_examples=200)
    @given(fields=coherent_fields(), tolerance=tolerances(), num_threads=EVERY_THREAD_COUNT)
    def test_coherent_fields_give_the_references_rows(self, fields, tolerance, num_threads):
        positions = assert_argmerge_is_the_merge(fields, tolerance=tolerance,
                                                 num_threads=num_threads)
        if np.isnan(tolerance):
            return  # refused by both, as a tolerance must be a number
        assert positions.tolist() == reference.merged_row_indices(*fields, tolerance)

    @settings(NO_DEADLINE, max_examples=200)
    @given(tables=st.one_of(damaged_fields(), any_tables()), tolerance=tolerances(),
           num_threads=EVERY_THREAD_COUNT)
    def test_malformed_tables_fail_as_the_merge_fails(self, tables, tolerance, num_threads):
        assert_argmerge_is_the_merge(tables, tolerance=tolerance, num_threads=num_threads)

    @settings(NO_DEADLINE, max_examples=150)
    @given(fields=coherent_fields(), layout=memory_layouts(), tolerance=tolerances(),
           num_threads=EVERY_THREAD_COUNT, container=st.sampled_from([list, tuple]))
    def test_separate_strided_columns_give_the_tables_positions(
            self, fields, layout, tolerance, num_threads, container):
        columns = container(strided_columns(fields[1], layout))
        from_table, _ = warned(quillmoor.argmerge, *fields, tolerance=tolerance,
                               num_threads=num_threads)
        from_columns = assert_argmerge_is_the_merge(fields, columns, tolerance=tolerance,
                                                    num_threads=num_threads)
        if from_columns is None:
            assert isinstance(from_table, tuple)
        else:
            assert from_columns.tolist() == from_table.tolist()


class TestColumnsOfAnyKind:
    def test_numpy_columns_of_other_dtypes_are_converted(self):
        connected, points, rows = worked_example()
        columns = [points[:, 0].astype(np.int64), points[:, 1].astype(np.uint8),
                   points[:, 2].astype(np.float32).astype(np.float64), points[:, 3].astype(">f8")]
        assert quillmoor.argmerge(connected, columns, rows, tolerance=0.5).tolist() == KEPT

    def test_pandas_polars_and_arrow_columns(self):
        pd = pytest.importorskip("pandas")
        pl = pytest.importorskip("polars")
        pa = pytest.importorskip("pyarrow")
        connected, points, rows = worked_example()
        key_a, key_b, x, y = (points[:, column] for column in range(4))
        kinds = [
            [pd.Series(key_a.astype(np.int64), index=range(100, 113)), pd.Series(key_b),
             pd.Series(x), pd.Series(y)],
            [pl.Series(key_a.astype(np.int32)), pl.Series(key_b), pl.Series(x), pl.Series(y)],
            [pa.array(key_a.astype(np.int64)), pa.array(key_b),
             pa.chunked_array([x[:5], x[5:]]), pa.array(y)],
        ]
        for columns in kinds:
            assert quillmoor.argmerge(connected, columns, rows, tolerance=0.5).tolist() == KEPT

    def test_a_frame_gives_its_first_four_columns_and_nothing_else_is_read(self):
        pd = pytest.importorskip("pandas")
        connected, points, rows = worked_example()
        frame = pd.DataFrame({
            "key_a": points[:, 0].astype(np.int64), "key_b": points[:, 1],
            "x": points[:, 2], "y": points[:, 3],
            "note": ["text"] * 13,
            "count": pd.array([1, None] * 6 + [3], dtype="Int64"),
            "id": np.arange(13, dtype=np.int64) + 2**60,  # beyond float64's integers
        }, index=[f"p{i}" for i in range(13)])
        assert quillmoor.argmerge(connected, frame, rows, tolerance=0.5).tolist() == KEPT
        assert frame.take(KEPT)["note"].tolist() == ["text"] * 10
        # The merge converts every column, and refuses the ids.
        with pytest.raises(ValueError, match=r"points_in_rows\[0, 6\] is 1152921504606846976"):
            quillmoor.merge(connected, frame, rows, tolerance=0.5)

    def test_only_the_first_four_columns_of_other_arrays_are_converted(self):
        connected, points, rows = worked_example()
        wide = np.hstack([points[:, :4].astype(np.int64), np.full((13, 1), 2**60)])
        wide[:, 2:4] = 0  # whole-number coordinates: all points lie at the origin
        expected = quillmoor.argmerge(connected, wide[:, :4].astype(np.float64), rows,
                                      tolerance=0.5)
        assert quillmoor.argmerge(connected, wide, rows, tolerance=0.5).tolist() == expected.tolist()
        with pytest.raises(ValueError, match=r"points_in_rows\[0, 4\] is 1152921504606846976"):
            quillmoor.merge(connected, wide, rows, tolerance=0.5)

    def test_a_list_of_lists_is_still_a_table(self):
        connected, points, rows = worked_example()
        assert quillmoor.argmerge(connected, points.tolist(), rows, tolerance=0.5).tolist() == KEPT


class TestMessages:
    @pytest.mark.parametrize("columns, kind, message", [
        (lambda p: [p[:, 0], p[:, 1], p[:-1, 2], p[:, 3]], ValueError,
         "the columns of points_in_rows must hold one value per point each; their lengths "
         "differ: key_a 13, key_b 13, x 12, y 13"),
        (lambda p: [p[:, 0], p[:, 1], p[:, 2:4], p[:, 3]], ValueError,
         "column 2 of points_in_rows must be 1-D (one value per point), got shape (13, 2)"),
        (lambda p: [p[:, 0], np.full(13, 2**60), p[:, 2], p[:, 3]], ValueError,
         "points_in_rows[0, 1] is 1152921504606846976, beyond 2**53: float64 cannot hold it "
         "exactly, so keys would be merged rounded; use keys of at most 2**53"),
        (lambda p: [p[:, 0], p[:, 1], p[:, 2], np.array(["north"] * 13)], TypeError,
         "points_in_rows must hold real numbers, got an array of dtype <U5 (strings)"),
        (lambda p: [p[:, 0], p[:, 1], p[:, 2], p[:, 3] + 1j], TypeError,
         "points_in_rows must hold real numbers, got an array of dtype complex128 "
         "(complex numbers)"),
    ])
    def test_columns_that_cannot_be_points(self, columns, kind, message):
        connected, points, rows = worked_example()
        with pytest.raises(kind) as raised:
            quillmoor.argmerge(connected, columns(points), rows)
        assert type(raised.value) is kind and str(raised.value) == message

    def test_the_merges_messages_for_everything_else(self):
        connected, points, rows = worked_example()
        nan = np.nan
        cases = [
            ((connected, points[:, :3], rows), {}),
            ((connected, points, rows[:, :7]), {}),
            ((connected[:, :4], points, rows), {}),
            ((connected, points[0], rows), {}),
            ((connected, points, rows), {"tolerance": "far"}),
            ((connected, points, rows), {"tolerance": nan}),
            ((connected, points, rows), {"num_threads": -1}),
            ((connected, points, rows), {"num_threads": 2.0}),
            ((np.array([[0, 1, 1, 6, 6] + [nan] * 6]), points, rows), {}),
        ]
        for tables, options in cases:
            merged = outcome(quillmoor.merge, *tables, **options)
            assert isinstance(merged, tuple), (tables, options)
            assert outcome(quillmoor.argmerge, *tables, **options) == merged

    def test_tables_that_do_not_fit_raise_merge_error_quietly(self, capfd):
        connected, points, rows = worked_example()
        connected = connected.copy()
        connected[1, 3] = 6
        with pytest.raises(quillmoor.MergeError) as raised:
            quillmoor.argmerge(connected, [points[:, c] for c in range(4)], rows)
        assert str(raised.value) == "connection record 1: no row record matches neighbour key (6, 1)"
        assert raised.value.field is None
        assert capfd.readouterr().err == ""


class TestUnassignedPoints:
    def fields_with_strays(self):
        connected, points, rows = worked_example()
        strays = np.array([[np.nan, 1, 0, 0, 0], [7, 1, 0, 0, 0], [-3, 1, 0, 0, 0]])
        return connected, np.vstack([points, strays]), rows

    def test_counted_and_reported_as_the_merge_does(self):
        connected, points, rows = self.fields_with_strays()
        for given in (points, [points[:, c] for c in range(4)]):
            seen = []
            positions = quillmoor.argmerge(connected, given, rows, tolerance=0.5,
                                           unassigned=seen.append)
            assert positions.tolist() == KEPT
            merged = []
            quillmoor.merge(connected, points, rows, tolerance=0.5, unassigned=merged.append)
            assert seen == merged and seen[0].unassigned == 3
            with pytest.warns(quillmoor.UnassignedPointsWarning, match="3 of 16 points"):
                quillmoor.argmerge(connected, given, rows, tolerance=0.5)
            with pytest.raises(quillmoor.UnassignedPointsError):
                quillmoor.argmerge(connected, given, rows, unassigned="raise")
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                quillmoor.argmerge(connected, given, rows, unassigned="ignore")

    def test_a_policy_that_is_none_is_refused_first(self):
        connected, points, rows = worked_example()
        with pytest.raises(ValueError, match="unassigned must be"):
            quillmoor.argmerge(connected, None, rows, unassigned="loud")


def test_thread_counts_beyond_the_pool_are_capped():
    connected, points, rows = worked_example()
    for threads in (255, 1000, 2**70):
        positions = quillmoor.argmerge(connected, points, rows, tolerance=0.5, num_threads=threads)
        assert np.array_equal(points[positions], EXPECTED)
