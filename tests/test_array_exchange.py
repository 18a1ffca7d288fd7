"""Arrays in and out: which arrays are accepted, that every accepted layout is read by
logical index, the result array, the borrow registry, and that nothing leaks."""

import sys

import numpy as np
import pytest

from quillmoor import merge_points_removing_overlap as merge
from test_surface_support import (
    EXPECTED, BorrowRegistry, failing_tables, whole_array_key, worked_example)

PARAMETERS = ["connected_crop_rows", "points_in_rows", "row_information"]


class Sub(np.ndarray):
    pass


def strided_copy(array, row_stride, col_stride, offset):
    """`array`'s values in a byte buffer at arbitrary byte strides (possibly unaligned)."""
    rows, cols = array.shape
    size = offset + max(rows - 1, 0) * row_stride + max(cols - 1, 0) * col_stride + 8
    view = np.ndarray(array.shape, np.float64, buffer=bytearray(size), offset=offset,
                      strides=(row_stride, col_stride))
    view[...] = array
    return view


def stepped(array):
    wide = np.full((2 * array.shape[0], 2 * array.shape[1]), -7.0)
    wide[::2, ::2] = array
    return wide[::2, ::2]


def read_only(array):
    array = array.copy()
    array.setflags(write=False)
    return array


LAYOUTS = {
    "fortran": np.asfortranarray,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "stepped": stepped,
    "column slice": lambda a: np.hstack([a, np.full((a.shape[0], 3), -7.0)])[:, : a.shape[1]],
    "reversed rows": lambda a: a[::-1].copy()[::-1],
    "reversed columns": lambda a: a[:, ::-1].copy()[:, ::-1],
    "reversed fortran": lambda a: np.asfortranarray(a[::-1, ::-1])[::-1, ::-1],
    "read-only": read_only,
    "subclass": lambda a: a.view(Sub),
    "unaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), np.float64, offset=1).reshape(a.shape),
    "odd strides": lambda a: strided_copy(a, 9 * a.shape[1] + 5, 9, 3),
    "odd strides reversed": lambda a: strided_copy(a[::-1, ::-1], 9 * a.shape[1] + 5, 9, 3)[::-1, ::-1],
}


class TestAcceptance:
    class Narrow(np.ndarray):
        pass

    @pytest.mark.parametrize("position", range(3))
    @pytest.mark.parametrize("bad, message", [
        (np.zeros((2, 11), np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 11), np.int64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(11), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((1, 2, 11)), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 11), ">f8" if sys.byteorder == "little" else "<f8"),
         "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros((2, 11), object), "'ndarray' object is not an instance of 'ndarray'"),
        ([[0.0] * 11], "'list' object is not an instance of 'ndarray'"),
        (np.zeros((2, 11), np.float32).view(Narrow),
         "'TestAcceptance.Narrow' object is not an instance of 'ndarray'"),
        (None, "'None' is not an instance of 'ndarray'"),
    ])
    def test_refused(self, position, bad, message):
        args = [*worked_example(), "not a tolerance", 1]
        args[position] = bad
        with pytest.raises(TypeError) as caught:
            merge(*args)
        assert caught.value.args == (message,)
        assert caught.value.__notes__ == [f"while processing '{PARAMETERS[position]}'"]

    @pytest.mark.parametrize("layout", LAYOUTS)
    def test_layouts_read_like_c_order(self, layout):
        tables = [LAYOUTS[layout](table) for table in worked_example()]
        for table, original in zip(tables, worked_example()):
            assert np.array_equal(table, original, equal_nan=True)
        result = merge(*tables, 0.5, 1)
        assert type(result) is np.ndarray
        assert np.array_equal(result, EXPECTED)

    @pytest.mark.parametrize("layout", ["odd strides", "odd strides reversed"])
    def test_single_record_at_odd_strides(self, layout):
        connected, points, rows = worked_example()
        expected = merge(connected[1:], points, rows, 0.5, 1)
        odd = LAYOUTS[layout](connected[1:])
        assert np.array_equal(merge(odd, points, rows, 0.5, 1), expected)

    def test_broadcast_and_native_byte_order_views(self):
        connected, points, rows = worked_example()
        native = points.astype(np.dtype("=f8"))
        assert np.array_equal(merge(connected, native, rows, 0.5, 1), EXPECTED)
        # A record repeated by a zero stride contributes its points once per repeat.
        once = merge(connected[:1], points, rows, 0.5, 1)
        repeated = np.broadcast_to(connected[:1], (3, 11))
        assert np.array_equal(merge(repeated, points, rows, 0.5, 1), np.vstack([once] * 3))

    def test_same_array_for_several_parameters(self):
        table = np.zeros((1, 11))  # key (0, 0) everywhere, no neighbours: the point record itself
        result = merge(table, table, table, 0.5, 1)
        assert np.array_equal(result, table)

    @pytest.mark.parametrize("empty", ["connected_crop_rows", "points_in_rows"])
    def test_no_rows(self, empty):
        connected, points, rows = worked_example()
        if empty == "connected_crop_rows":
            connected = connected[:0]
        else:
            points = points[:0]
        result = merge(connected, points, rows, 0.5, 1)
        assert result.shape == (0, 5) and result.strides == (0, 0)
        assert result.dtype == np.float64 and not result.flags.owndata


class TestResult:
    def test_properties(self):
        result = merge(*[table.view(Sub) for table in worked_example()], 0.5, 1)
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
        assert not result.flags.owndata
        assert type(result.base).__name__ == "PySliceContainer"
        assert result.strides == (40, 8)

    def test_result_is_independent_of_inputs(self):
        tables = worked_example()
        saved = [table.copy() for table in tables]
        result = merge(*tables, 0.5, 1)
        result[...] = -1.0
        for table, original in zip(tables, saved):
            assert np.array_equal(table, original, equal_nan=True)
        assert np.array_equal(merge(*tables, 0.5, 1), EXPECTED)

    def test_buffer_outlives_array_and_container_cannot_be_made(self):
        result = merge(*worked_example(), 0.5, 1)
        view = result[2:]
        container = result.base
        del result
        assert np.array_equal(view, EXPECTED[2:])
        with pytest.raises(TypeError):
            type(container)()


class TestBorrows:
    def test_no_borrow_outlives_a_call(self):
        merge(*worked_example(), 0.5, 1)
        registry = BorrowRegistry()
        connected, points, rows = worked_example()
        calls = [
            lambda: merge(connected, points, rows, 0.5, 1),
            lambda: merge(rows, rows, rows, 0.5, 1),
            lambda: merge(connected, points, np.float32(rows), 0.5, 1),
            lambda: merge(connected, points, rows, "bad", 1),
            lambda: merge(connected, points, rows, 0.5, -1),
            lambda: merge(*failing_tables(), 0.5, 1),
        ]
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001 - failures are part of the check
                pass
            assert registry.count() == 0

    def test_read_borrows_of_others_are_shared(self):
        merge(*worked_example(), 0.5, 1)
        registry = BorrowRegistry()
        connected, points, rows = worked_example()
        key = whole_array_key(points)
        assert registry.acquire(key) == 0 and registry.acquire(key) == 0
        assert registry.count() == 2
        assert np.array_equal(merge(connected, points, rows, 0.5, 1), EXPECTED)
        assert registry.count() == 2
        assert registry.release(key) == 0 and registry.release(key) == 0
        assert registry.release(key) == -3  # never more releases than borrows
        assert registry.count() == 0


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
class TestLeaks:
    def test_references_and_memory_are_given_back(self):
        connected, points, rows = worked_example()
        # About 8 MB per copy: a copy or result kept per call would show at once.
        big_points = np.vstack([points] + [np.full((40_000, 5), 9.0)] * 25)
        big_fortran = np.asfortranarray(big_points)
        good = [connected, big_points, rows]
        calls = [
            lambda: merge(*good, 0.5, 1),
            lambda: merge(connected, big_fortran, rows, 0.5, 2),
            lambda: merge(connected, big_points[::-1], rows, 0.5, 1),
            lambda: merge(connected, big_points, rows, "bad", 1),
            lambda: merge(connected, big_points, np.zeros((0, 11)), 0.5, 1),
            lambda: merge(connected, big_points, None, 0.5, 1),
            lambda: merge(connected, big_points, rows, 0.5, 2**64),
        ]

        def run_all():
            for call in calls:
                try:
                    call()
                except BaseException:  # noqa: BLE001
                    pass

        run_all()
        before_counts = [sys.getrefcount(table) for table in (connected, big_points, big_fortran, rows)]
        before_memory = resident_bytes()
        for _ in range(15):
            run_all()
        after_counts = [sys.getrefcount(table) for table in (connected, big_points, big_fortran, rows)]
        assert after_counts == before_counts
        assert resident_bytes() - before_memory < 64 * 2**20
