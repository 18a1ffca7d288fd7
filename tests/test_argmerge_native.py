"""quillmoor._native.argmerge: its arguments, the points as a table or as four columns,
the positions it returns, and that it fails, draws and borrows as the merge does."""

import inspect
import sys
import threading

import numpy as np
import pytest

from conftest import is_panic_exception
from quillmoor import _native
from test_array_exchange import LAYOUTS, resident_bytes
from test_progress_terminal import FRAME, drawn_frames, run_on_terminal, screen_lines
from test_surface_support import (
    EXPECTED, BorrowRegistry, failing_tables, worked_example)

argmerge = _native.argmerge
merge = _native.merge_points_removing_overlap
NAME = "argmerge()"
KEPT = [0, 1, 2, 3, 6, 7, 8, 9, 11, 12]  # the worked example's kept rows


def columns_of(points):
    return [points[:, column] for column in range(4)]


def raised(exception_type, *args, **kwargs):
    with pytest.raises(exception_type) as caught:
        argmerge(*args, **kwargs)
    return caught.value


def panic_text(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the engine's failures are not Exceptions
        assert is_panic_exception(error), error
        return str(error)
    raise AssertionError("no failure")


class TestSurface:
    def test_metadata_and_signature(self):
        assert argmerge.__name__ == "argmerge"
        assert argmerge.__module__ == "quillmoor._native"
        assert argmerge.__self__ is _native
        assert "points_in_rows[argmerge(...)]" in argmerge.__doc__
        parameters = list(inspect.signature(argmerge).parameters.values())
        assert [p.name for p in parameters] == [
            "connected_crop_rows", "points_in_rows", "row_information", "tolerance",
            "num_threads", "with_bounds", "progress"]
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters[:5])
        assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters[5:])
        assert (parameters[5].default, parameters[6].default) == (False, True)

    def test_the_merge_keeps_its_surface(self):
        assert merge.__doc__ is None
        assert merge.__text_signature__ == (
            "(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads)")

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, 2, 3, 4, 5, True), {}, f"{NAME} takes 5 positional arguments but 6 were given"),
        ((1, 2, 3, 4), {}, f"{NAME} missing 1 required positional argument: 'num_threads'"),
        ((1,), {"with_bounds": True}, f"{NAME} missing 4 required positional arguments: "
                                      "'points_in_rows', 'row_information', 'tolerance', and "
                                      "'num_threads'"),
        ((1, 2, 3, 4, 5), {"bounds": True}, f"{NAME} got an unexpected keyword argument 'bounds'"),
        ((1, 2, 3, 4, 5), {"num_threads": 1},
         f"{NAME} got multiple values for argument 'num_threads'"),
    ])
    def test_binding_errors_name_argmerge(self, args, kwargs, message):
        error = raised(TypeError, *args, **kwargs)
        assert error.args == (message,)
        assert getattr(error, "__notes__", None) is None

    def test_conversion_errors_carry_the_parameters_note(self):
        connected, points, rows = worked_example()

        class Undecided:
            def __bool__(self):
                raise RuntimeError("cannot say")

        cases = [
            ((None, points, rows, 0.5, 1), {}, TypeError, "connected_crop_rows"),
            ((connected, points, rows, "far", 1), {}, TypeError, "tolerance"),
            ((connected, points, rows, 0.5, -1), {}, OverflowError, "num_threads"),
            ((connected, points, rows, 0.5, 1), {"with_bounds": Undecided()}, RuntimeError,
             "with_bounds"),
        ]
        for args, kwargs, kind, parameter in cases:
            error = raised(kind, *args, **kwargs)
            assert error.__notes__ == [f"while processing '{parameter}'"]


class TestPointsAsColumns:
    @pytest.mark.parametrize("container", [list, tuple])
    def test_columns_give_the_tables_positions(self, container):
        connected, points, rows = worked_example()
        assert argmerge(connected, container(columns_of(points)), rows, 0.5, 1).tolist() == KEPT

    @pytest.mark.parametrize("layout", ["fortran", "reversed rows", "stepped", "unaligned",
                                        "odd strides reversed", "read-only"])
    def test_columns_of_any_layout(self, layout):
        connected, points, rows = worked_example()
        stored = LAYOUTS[layout](points)
        assert argmerge(connected, columns_of(stored), rows, 0.5, 2).tolist() == KEPT
        assert argmerge(connected, stored, rows, 0.5, 2).tolist() == KEPT

    def test_columns_from_separate_arrays_and_a_broadcast_one(self):
        connected, points, rows = worked_example()
        key_a, key_b, x, y = (points[:, column].copy() for column in range(4))
        assert argmerge(connected, [key_a, key_b, x, y], rows, 0.5, 1).tolist() == KEPT
        # A stride of 0: every row has key_b 1.
        ones = np.broadcast_to(np.float64(1.0), key_b.shape)
        assert argmerge(connected, [key_a, ones, x, y], rows, 0.5, 1).tolist() == KEPT

    def test_columns_of_no_rows(self):
        connected, _, rows = worked_example()
        empty = [np.empty(0)] * 4
        positions, bounds = argmerge(connected, empty, rows, 0.5, 1, with_bounds=True)
        assert positions.shape == (0,) and bounds.tolist() == [0, 0, 0]

    def test_refusals(self):
        connected, points, rows = worked_example()
        key_a, key_b, x, y = columns_of(points)
        cases = [
            ([key_a, key_b, x], TypeError, "as columns it takes 4 arrays (key_a, key_b, x, y), got 3"),
            ((), TypeError, "as columns it takes 4 arrays (key_a, key_b, x, y), got 0"),
            ([key_a, key_b, x, y, y], TypeError,
             "as columns it takes 4 arrays (key_a, key_b, x, y), got 5"),
            ([key_a, key_b, list(x), y], TypeError,
             "column 2 (x): 'list' object is not a one-dimensional float64 'ndarray'"),
            ([key_a, key_b, x, y.astype(np.float32)], TypeError,
             "column 3 (y): 'ndarray' object is not a one-dimensional float64 'ndarray'"),
            ([points, key_b, x, y], TypeError,
             "column 0 (key_a): 'ndarray' object is not a one-dimensional float64 'ndarray'"),
            ([key_a, key_b[:-1], x, y], ValueError,
             "its columns differ in length: key_a 13, key_b 12, x 13, y 13"),
            ({"x": x}, TypeError, "'dict' object is not an instance of 'ndarray'"),
            (None, TypeError, "'None' is not an instance of 'ndarray'"),
        ]
        for given, kind, message in cases:
            error = raised(kind, connected, given, rows, 0.5, 1)
            assert (type(error), error.args) == (kind, (message,)), given
            assert error.__notes__ == ["while processing 'points_in_rows'"]


class TestResult:
    def test_positions_array(self):
        positions = argmerge(*worked_example(), 0.5, 1)
        assert type(positions) is np.ndarray and positions.dtype == np.intp
        assert positions.shape == (10,) and positions.strides == (np.dtype(np.intp).itemsize,)
        assert positions.flags.writeable and not positions.flags.owndata
        assert type(positions.base).__name__ == "PySliceContainer"
        assert positions.tolist() == KEPT

    def test_positions_take_the_merges_rows(self):
        connected, points, rows = worked_example()
        for threads in (1, 2, 3, 4, 0):
            positions = argmerge(connected, points, rows, 0.5, threads)
            assert points[positions].tobytes() == merge(connected, points, rows, 0.5, threads).tobytes()
        assert np.array_equal(points[positions], EXPECTED)

    def test_bounds_delimit_each_records_block(self):
        connected, points, rows = worked_example()
        positions, bounds = argmerge(connected, points, rows, 0.5, 2, with_bounds=True)
        assert positions.tolist() == KEPT and bounds.tolist() == [0, 6, 10]
        assert bounds.dtype == np.intp and type(bounds.base).__name__ == "PySliceContainer"
        assert argmerge(connected, points, rows, 0.5, 2, with_bounds=0).tolist() == KEPT
        # Three copies of record 1 and none of record 0's points.
        three = np.vstack([connected[1:]] * 3)
        positions, bounds = argmerge(three, points[8:], rows, 0.5, 1, with_bounds=True)
        assert bounds.tolist() == [0, 4, 8, 12]
        assert positions.tolist() == [0, 1, 3, 4] * 3

    def test_no_records_and_no_kept_rows(self):
        connected, points, rows = worked_example()
        positions, bounds = argmerge(connected[:0], points, rows, 0.5, 1, with_bounds=True)
        assert positions.shape == (0,) and positions.dtype == np.intp
        assert bounds.tolist() == [0]
        assert type(positions.base).__name__ == "PySliceContainer"

    def test_inputs_are_left_alone(self):
        tables = worked_example()
        saved = [table.copy() for table in tables]
        argmerge(*tables, 0.5, 1)[...] = -1
        for table, original in zip(tables, saved):
            assert np.array_equal(table, original, equal_nan=True)


class TestFailures:
    def test_the_merges_failures_with_its_texts(self, capfd):
        connected, points, rows = worked_example()
        nan = np.nan
        cases = [
            failing_tables(),
            (connected, points[:, :3], rows),  # too narrow for x and y
            (connected, points, rows[:, :5]),  # too narrow for the reference points
            (np.array([[0, 1, 1, 7, 1] + [nan] * 6]), points, rows),  # neighbour (7, 1)
        ]
        for tables in cases:
            expected = panic_text(lambda: merge(*tables, 0.5, 2))
            assert panic_text(lambda: argmerge(*tables, 0.5, 2)) == expected
            assert panic_text(lambda: argmerge(tables[0], columns_of(tables[1]) if
                                               tables[1].shape[1] >= 4 else tables[1],
                                               tables[2], 0.5, 1)) == expected
        # Each call reports its failure on standard error, the same way.
        err = capfd.readouterr().err
        assert err.count("no row record matches neighbour key (7, 1)\n") == 3

    def test_no_borrow_outlives_a_call(self):
        argmerge(*worked_example(), 0.5, 1)
        registry = BorrowRegistry()
        connected, points, rows = worked_example()
        calls = [
            lambda: argmerge(connected, points, rows, 0.5, 1),
            lambda: argmerge(connected, columns_of(points), rows, 0.5, 1, with_bounds=True),
            lambda: argmerge(connected, columns_of(points)[:3] + [None], rows, 0.5, 1),
            lambda: argmerge(connected, columns_of(points)[:3] + [points[:-1, 3]], rows, 0.5, 1),
            lambda: argmerge(connected, columns_of(points), None, 0.5, 1),
            lambda: argmerge(connected, columns_of(points), rows, "bad", 1),
            lambda: argmerge(*failing_tables(), 0.5, 1),
        ]
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001 - failures are part of the check
                pass
            assert registry.count() == 0


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_references_and_memory_are_given_back():
    connected, points, rows = worked_example()
    big = np.vstack([points] + [np.full((40_000, 5), 9.0)] * 25)
    columns = columns_of(big)
    calls = [
        lambda: argmerge(connected, big, rows, 0.5, 1),
        lambda: argmerge(connected, columns, rows, 0.5, 2, with_bounds=True),
        lambda: argmerge(connected, columns[:3] + [big[:-1, 3]], rows, 0.5, 1),
        lambda: argmerge(connected, columns, np.zeros((0, 11)), 0.5, 1),
    ]

    def run_all():
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass

    run_all()
    tables = (connected, big, rows, *columns)
    before_counts = [sys.getrefcount(table) for table in tables]
    before_memory = resident_bytes()
    for _ in range(15):
        run_all()
    assert [sys.getrefcount(table) for table in tables] == before_counts
    assert resident_bytes() - before_memory < 64 * 2**20


def test_python_threads_calling_at_once():
    from quillmoor.synthetic import make_field

    field = make_field(20000, seed=3, segment_length=2.0, overlap=0.3)
    tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    expected = merge(*tables, 0.05, 1)
    results = {}

    def call(index):
        points = columns_of(tables[1]) if index % 2 else tables[1]
        results[index] = argmerge(tables[0], points, tables[2], 0.05, index % 3 + 1)

    threads = [threading.Thread(target=call, args=(index,)) for index in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 6
    for positions in results.values():
        assert tables[1][positions].tobytes() == expected.tobytes()


# The progress bar's child, calling argmerge: the worked example, or a failing field whose
# bar has been drawn when it fails.
PROGRESS_CHILD = """
import sys
import numpy as np
from quillmoor._native import argmerge

nan = float("nan")
def record(*values):
    return list(values) + [nan] * (11 - len(values))

row_information = np.array([record(1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5),
                            record(2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16)], dtype=float)
points = np.array([[1, 1, w, w] for w in (0, 3, 6, 9, 10, 10.3, 10.8, 11.4)]
                  + [[2, 1, w, w] for w in (9.6, 11, 12, 15, 20)], dtype=float)
if sys.argv[1] == "fail":
    connected = np.array([record(0, 1, 1, 2, 1)] * 50 + [record(50, 2, 1, 7, 1)], dtype=float)
else:
    connected = np.array([record(0, 1, 1, 2, 1), record(1, 2, 1, 1, 1)], dtype=float)
try:
    positions = argmerge(connected, list(points.T), row_information, 0.5, 1)
    print("positions", positions.shape[0])
except BaseException as error:
    if type(error).__name__ != "PanicException":
        raise
    print("failed", type(error).__name__)
"""


def test_progress_bar_as_the_merges():
    stdout, written = run_on_terminal("ok", child=PROGRESS_CHILD)
    assert stdout == "positions 10\n"
    frames = drawn_frames(written)
    assert frames and frames[-1] == (" ", "█" * 40, "2", "2", "0s"), written
    screen = screen_lines(written)
    assert len(screen) == 1 and FRAME.fullmatch(screen[0]), screen

    stdout, written = run_on_terminal("fail", child=PROGRESS_CHILD)
    assert stdout == "failed PanicException\n"
    assert drawn_frames(written)
    assert not any("█" in line or "░" in line for line in screen_lines(written))
