"""``quillmoor.merge``: the tables users have, and errors that name the table at fault."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

import quillmoor
from quillmoor.tables.conversion import as_float64_table
from test_surface_support import EXPECTED, run_python, worked_example

NAN = np.nan


def small_field():
    """Two joined segments, as in the README; every cell a whole number but the points."""
    row_information = np.array([
        [1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5],
        [2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16],
    ], dtype=np.int64)
    connected_crop_rows = np.array([[0, 1, 1, 2, 1, NAN], [1, 2, 1, 1, 1, NAN]])
    points = np.array(
        [[1, 1, w, w, 100 + w] for w in (0, 3, 6, 9, 10, 10.3, 10.8, 11.4)]
        + [[2, 1, w, w, 200 + w] for w in (9.6, 11, 12, 15, 20)]
    )
    return connected_crop_rows, points, row_information


def exact(connected_crop_rows, points, row_information, tolerance=0.5):
    full = np.full((connected_crop_rows.shape[0], 11), NAN)
    full[:, : connected_crop_rows.shape[1]] = connected_crop_rows
    return quillmoor.merge_points_removing_overlap(
        full, points.astype(np.float64), row_information.astype(np.float64), tolerance, 1
    )


class TestInputsNumPyCanRead:
    def test_integer_lists_float32_bool_and_byte_swapped_tables_merge_alike(self):
        ccr, points, rows = small_field()
        expected = exact(ccr, points, rows)
        assert rows.dtype == np.int64
        variants = [
            (ccr, points, rows),
            (ccr.tolist(), points.tolist(), rows.tolist()),
            (ccr.astype(">f8"), points.astype(">f8"), rows.astype(np.int32)),
            (ccr, points, rows.astype(np.float32)),
            (ccr, points, rows.astype(np.uint16)),
        ]
        for variant in variants:
            got = quillmoor.merge(*variant, tolerance=0.5)
            assert got.dtype == np.float64
            np.testing.assert_array_equal(got, expected)

    def test_bool_and_array_protocol_objects(self):
        class Table:
            def __init__(self, values):
                self.values = values

            def __array__(self, dtype=None, copy=None):
                return np.asarray(self.values, dtype=dtype)

        ccr, points, rows = small_field()
        got = quillmoor.merge(Table(ccr), Table(points), Table(rows), tolerance=0.5)
        np.testing.assert_array_equal(got, exact(ccr, points, rows))
        flags = np.array([[True, False, True, False, True]])
        assert as_float64_table(flags, "points_in_rows").tolist() == [[1, 0, 1, 0, 1]]

    def test_float64_arrays_pass_through_uncopied_in_any_layout(self):
        points = np.asfortranarray(np.arange(40.0).reshape(8, 5))[::-2, ::-1]
        assert as_float64_table(points, "points_in_rows") is points
        ccr, points, rows = small_field()
        strided = np.repeat(points, 2, axis=0)[::2]
        got = quillmoor.merge(ccr, strided, rows, tolerance=0.5, num_threads=2)
        np.testing.assert_array_equal(got, exact(ccr, points, rows))

    def test_dataframes(self):
        pd = pytest.importorskip("pandas")
        ccr, points, rows = small_field()
        frame = pd.DataFrame(points, columns=["key_a", "key_b", "x", "y", "h"])
        frame = frame.astype({"key_a": "int64", "key_b": "int32"})
        got = quillmoor.merge(ccr, frame, pd.DataFrame(rows), tolerance=0.5)
        np.testing.assert_array_equal(got, exact(ccr, points, rows))

    def test_defaults_and_keyword_only_options(self):
        ccr, points, rows = small_field()
        np.testing.assert_array_equal(quillmoor.merge(ccr, points, rows), exact(ccr, points, rows, 0.0))
        with pytest.raises(TypeError):
            quillmoor.merge(ccr, points, rows, 0.5)  # type: ignore[misc]

    def test_worked_example(self):
        got = quillmoor.merge(*worked_example(), tolerance=0.5, num_threads=1)
        np.testing.assert_array_equal(got, EXPECTED)

    def test_wider_row_information_is_read_as_its_first_eleven_columns(self):
        ccr, points, rows = small_field()
        wider = np.hstack([rows, np.full((2, 3), 7.0)])
        np.testing.assert_array_equal(
            quillmoor.merge(ccr, points, wider, tolerance=0.5), exact(ccr, points, rows)
        )


class TestTablesThatCannotBe:
    @pytest.mark.parametrize(
        ("tables", "kind", "message"),
        [
            (lambda c, p, r: (c, p, r[0]), ValueError,
             "row_information must be 2-D (one row record per row), got shape (11,)"),
            (lambda c, p, r: (c, p[:, :3], r), ValueError,
             "points_in_rows has 3 columns; it needs at least 4: key_a, key_b, x, y"),
            (lambda c, p, r: (c[None], p, r), ValueError,
             "connected_crop_rows must be 2-D (one connection record per row), got shape (1, 2, 6)"),
            (lambda c, p, r: (c, p, r[:, :10]), ValueError,
             "row_information has 10 columns; it needs 11: key_a, -, -, -, key_b, p0_x, p0_y, "
             "p1_x, p1_y, p2_x, p2_y"),
            (lambda c, p, r: (c, p, r[:0]), ValueError,
             "row_information has no records; every connection record needs its segment's "
             "row record"),
            (lambda c, p, r: (c[:, :3], p, r), ValueError,
             "connected_crop_rows has 3 columns; it needs at least 4"),
            (lambda c, p, r: (c[:, :5], p, r), ValueError,
             "connected_crop_rows has 5 columns, but record 0 lists a neighbour beyond them"),
            (lambda c, p, r: (c, p.astype(complex), r), TypeError,
             "points_in_rows must hold real numbers, got an array of dtype complex128 "
             "(complex numbers)"),
            (lambda c, p, r: (c, [["a", "b", "c", "d"]], r), TypeError,
             "points_in_rows must hold real numbers"),
            (lambda c, p, r: (c, [[1, 2, 3, 4], [1, 2]], r), TypeError,
             "points_in_rows must be a 2-D table of numbers"),
        ],
    )
    def test_message_names_the_table(self, tables, kind, message):
        with pytest.raises(kind) as raised:
            quillmoor.merge(*tables(*small_field()), tolerance=0.5)
        assert str(raised.value).startswith(message)

    def test_narrow_tables_whose_lists_end_inside_them_merge(self):
        ccr, points, rows = small_field()
        ccr[:, 3] = NAN
        got = quillmoor.merge(ccr[:, :4], points, rows[:, :11], tolerance=0.5)
        np.testing.assert_array_equal(got, exact(ccr[:, :4], points, rows))

    def test_nothing_is_checked_where_nothing_is_read(self):
        got = quillmoor.merge(np.zeros((0, 2)), np.zeros((5, 2)), np.zeros((0, 1)))
        assert got.shape == (0, 2)

    @pytest.mark.parametrize(
        ("options", "kind", "message"),
        [
            ({"tolerance": "wide"}, TypeError, "tolerance must be a real number"),
            ({"tolerance": NAN}, ValueError, "tolerance must be a real number, got nan"),
            ({"num_threads": 2.0}, TypeError, "num_threads must be an integer"),
            ({"num_threads": -1}, ValueError, "num_threads must be 0 (one per processor) or more"),
        ],
    )
    def test_bad_options(self, options, kind, message):
        with pytest.raises(kind, match=message.replace("(", r"\(").replace(")", r"\)")):
            quillmoor.merge(*small_field(), **options)

    def test_more_threads_than_the_pool_holds_mean_the_most_it_holds(self):
        ccr, points, rows = small_field()
        np.testing.assert_array_equal(
            quillmoor.merge(ccr, points, rows, tolerance=0.5, num_threads=2**40),
            exact(ccr, points, rows),
        )


class TestIntegersFloat64CannotHold:
    @pytest.mark.parametrize(
        "table",
        [
            np.array([[2**53 + 1, 1, 0, 0]], dtype=np.int64),
            np.array([[1, 1, 0, -(2**53) - 1]], dtype=np.int64),
            np.array([[1, 2**63, 0, 0]], dtype=np.uint64),
            [[1, 1, 0, 2**80]],
        ],
    )
    def test_refused_with_their_position(self, table):
        with pytest.raises(ValueError, match=r"points_in_rows\[0, \d\] is -?\d+, beyond 2\*\*53"):
            quillmoor.merge(np.zeros((0, 11)), table, np.zeros((0, 11)))

    def test_extremes_of_signed_dtypes_do_not_overflow_the_check(self):
        table = np.array([[np.iinfo(np.int64).min, 0, 0, 0]])
        with pytest.raises(ValueError, match="beyond 2"):
            as_float64_table(table, "points_in_rows")

    def test_exactly_representable_integers_pass(self):
        table = np.array([[2**53, -(2**53), 0, 0]], dtype=np.int64)
        assert as_float64_table(table, "points_in_rows").tolist() == [[2.0**53, -(2.0**53), 0, 0]]

    def test_a_dataframe_integer_column_is_checked_before_mixing_with_floats(self):
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame({"key_a": [2**53 + 1], "key_b": [1.5], "x": [0.0], "y": [0.0]})
        with pytest.raises(ValueError, match=r"points_in_rows\[0, 0\]"):
            as_float64_table(frame, "points_in_rows")


class TestMergeError:
    def missing_row_record(self):
        ccr = np.full((1, 11), NAN)
        ccr[0, :3] = [0, 9, 9]
        return ccr, np.zeros((0, 4)), np.zeros((1, 11))

    def test_engine_failures_are_ordinary_value_errors_with_the_engine_text(self):
        with pytest.raises(quillmoor.MergeError) as raised:
            quillmoor.merge(*self.missing_row_record())
        error = raised.value
        assert isinstance(error, ValueError)
        assert "(9, 9)" in str(error) and str(error) == error.engine_message
        assert error.field is None

    def test_it_pickles_with_its_field(self):
        error = quillmoor.MergeError("connection record 3: no row record", field="north")
        again = pickle.loads(pickle.dumps(error))
        assert (type(again), str(again), again.engine_message, again.field) == (
            quillmoor.MergeError, "field 'north': connection record 3: no row record",
            "connection record 3: no row record", "north")

    def test_importing_the_package_leaves_numpy_alone(self):
        out = run_python(
            """
            import sys
            import quillmoor
            print('numpy' in sys.modules, quillmoor.merge.__name__, quillmoor.__all__)
            """
        )
        assert out.split(" ", 2)[:2] == ["False", "merge"]
