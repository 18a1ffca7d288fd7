"""The module object, the argument binder, the scalar conversions with their notes, and
PanicException."""

import inspect
import re
import struct
import sysconfig
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from quillmoor import _native
from test_surface_support import (
    EXPECTED, WORKED_EXAMPLE_SOURCE, failing_tables, run_python, worked_example)

merge = _native.merge_points_removing_overlap
NAME = "merge_points_removing_overlap()"
PARAMETERS = ["connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"]


def raised(exception_type, *args, **kwargs):
    with pytest.raises(exception_type) as caught:
        merge(*args, **kwargs)
    return caught.value


def notes(error):
    return getattr(error, "__notes__", None)


class TestModule:
    def test_attributes(self):
        assert _native.__all__ == ["merge_points_removing_overlap", "argmerge"]
        assert _native.__doc__ == ""
        public = {name for name in vars(_native) if not name.startswith("__")}
        assert public == {"merge_points_removing_overlap", "argmerge"}

    def test_function_metadata(self):
        assert merge.__name__ == "merge_points_removing_overlap"
        assert merge.__module__ == "quillmoor._native"
        assert merge.__self__ is _native
        assert merge.__doc__ is None
        assert merge.__text_signature__ == "(" + ", ".join(PARAMETERS) + ")"
        parameters = inspect.signature(merge).parameters
        assert list(parameters) == PARAMETERS
        for parameter in parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is inspect.Parameter.empty

    @pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED"), reason="no stable ABI")
    @pytest.mark.skipif("site-packages" not in _native.__file__, reason="a developer build")
    def test_an_installed_module_is_the_stable_abi_one(self):
        # Every wheel and sdist install for the classic interpreter: one build serves 3.11+.
        assert _native.__file__.endswith(".abi3.so"), _native.__file__

    def test_import_and_binding_errors_leave_numpy_alone(self):
        out = run_python(
            """
            import sys
            from quillmoor._native import merge_points_removing_overlap as merge
            print('numpy' in sys.modules)
            try:
                merge(1, 2)
            except TypeError as error:
                print(error)
            print('numpy' in sys.modules)
            """
        )
        assert out.splitlines() == [
            "False", f"{NAME} missing 3 required positional arguments: "
            "'row_information', 'tolerance', and 'num_threads'", "False"]


class TestBinder:
    def test_keywords_in_any_order_bind_like_positions(self):
        connected, points, rows = worked_example()
        by_keyword = merge(num_threads=1, tolerance=0.5, row_information=rows,
                           points_in_rows=points, connected_crop_rows=connected)
        mixed = merge(connected, points, tolerance=0.5, num_threads=1, row_information=rows)
        assert np.array_equal(by_keyword, EXPECTED)
        assert np.array_equal(mixed, EXPECTED)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, 2, 3, 4, 5, 6), {}, f"{NAME} takes 5 positional arguments but 6 were given"),
        ((1, 2, 3, 4, 5, 6, 7), {"bogus": 1},
         f"{NAME} takes 5 positional arguments but 7 were given"),
        ((1, 2, 3, 4, 5), {"tolerance": 1},
         f"{NAME} got multiple values for argument 'tolerance'"),
        ((1, 2, 3, 4, 5), {"bogus": 1}, f"{NAME} got an unexpected keyword argument 'bogus'"),
        ((1,), {"Points_in_rows": 1}, f"{NAME} got an unexpected keyword argument 'Points_in_rows'"),
        ((1, 2, 3, 4), {"bogus": 1, "tolerance": 2},
         f"{NAME} got an unexpected keyword argument 'bogus'"),
        ((1, 2, 3, 4, 5), {"connected_crop_rows": 1, "bogus": 2},
         f"{NAME} got multiple values for argument 'connected_crop_rows'"),
        ((1, 2, 3, 4), {"\udcff": 1}, f"{NAME} got an unexpected keyword argument '\udcff'"),
        ((1, 2, 3, 4), {}, f"{NAME} missing 1 required positional argument: 'num_threads'"),
        ((1, 2, 3), {}, f"{NAME} missing 2 required positional arguments: 'tolerance' and 'num_threads'"),
        ((1, 2), {}, f"{NAME} missing 3 required positional arguments: "
                     "'row_information', 'tolerance', and 'num_threads'"),
        ((), {}, f"{NAME} missing 5 required positional arguments: 'connected_crop_rows', "
                 "'points_in_rows', 'row_information', 'tolerance', and 'num_threads'"),
        ((1,), {"row_information": 3}, f"{NAME} missing 3 required positional arguments: "
                                       "'points_in_rows', 'tolerance', and 'num_threads'"),
    ])
    def test_binding_errors(self, args, kwargs, message):
        error = raised(TypeError, *args, **kwargs)
        assert type(error) is TypeError
        assert error.args == (message,)
        assert notes(error) is None


class TestConversions:
    class Floaty:
        def __init__(self, value):
            self.value = value

        def __float__(self):
            return self.value

    class Indexy:
        def __index__(self):
            return 1

    @pytest.mark.parametrize("tolerance", [
        0.5, np.float64(0.5), np.float32(0.5), Floaty(0.5), Fraction(1, 2)])
    def test_float_conversions(self, tolerance):
        assert np.array_equal(merge(*worked_example(), tolerance, 1), EXPECTED)

    @pytest.mark.parametrize("same", [(1, True, 1.0, Indexy()), (-1.0, Floaty(-1.0), -1)])
    def test_tolerances_that_convert_alike(self, same):
        results = [merge(*worked_example(), tolerance, 1) for tolerance in same]
        for result in results[1:]:
            assert np.array_equal(result, results[0])

    @pytest.mark.parametrize("num_threads", [1, True, 0, 3, np.int64(2), np.uint8(4), Indexy(), 1000])
    def test_thread_counts(self, num_threads):
        # Every thread count gives the same rows (blocks stay in record order).
        assert np.array_equal(merge(*worked_example(), 0.5, num_threads), EXPECTED)

    def test_word_sized_thread_counts(self):
        if struct.calcsize("P") == 4:
            error = raised(OverflowError, *worked_example(), 0.5, 2**32)
            assert error.args == ("out of range integral type conversion attempted",)
            assert notes(error) == ["while processing 'num_threads'"]
        else:
            assert np.array_equal(merge(*worked_example(), 0.5, 2**32), EXPECTED)

    @pytest.mark.parametrize("tolerance, num_threads, exception_type, parameter", [
        ("0.5", 1, TypeError, "tolerance"),
        (None, 1, TypeError, "tolerance"),
        (Floaty("not a float"), 1, TypeError, "tolerance"),
        (10**400, 1, OverflowError, "tolerance"),
        (0.5, 4.0, TypeError, "num_threads"),
        (0.5, "4", TypeError, "num_threads"),
        (0.5, -1, OverflowError, "num_threads"),
        (0.5, 2**64, OverflowError, "num_threads"),
        ("0.5", "4", TypeError, "tolerance"),
    ])
    def test_conversion_errors_carry_a_note(self, tolerance, num_threads, exception_type, parameter):
        error = raised(exception_type, *worked_example(), tolerance, num_threads)
        assert type(error) is exception_type
        assert notes(error) == [f"while processing '{parameter}'"]

    def test_own_exception_of_float_conversion_is_kept(self):
        class Refusing:
            def __float__(self):
                raise KeyError("refused")

        error = raised(KeyError, *worked_example(), Refusing(), 1)
        assert error.args == ("refused",) and notes(error) == ["while processing 'tolerance'"]

    def test_failing_note_is_dropped(self):
        class NoNotes(ValueError):
            def add_note(self, note):
                raise RuntimeError("no notes here")

        class Refusing:
            def __float__(self):
                raise NoNotes("bad tolerance")

        error = raised(NoNotes, *worked_example(), Refusing(), 1)
        assert error.args == ("bad tolerance",) and notes(error) is None
        assert error.__context__ is None


class TestPanicException:
    def fail(self):
        try:
            merge(*failing_tables(), 0.5, 1)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
        except BaseException as error:
            return error
        pytest.fail("the merge did not fail")

    def test_type(self):
        error = self.fail()
        kind = type(error)
        assert kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
        assert kind.__qualname__ == "PanicException"
        assert kind.__bases__ == (BaseException,)
        assert kind.__doc__
        assert type(self.fail()) is kind

    def test_args_are_the_failure_text(self, capfd):
        error = self.fail()
        assert len(error.args) == 1 and isinstance(error.args[0], str) and error.args[0]
        assert str(error) == error.args[0]
        # The report at the point of failure names the same text.
        assert error.args[0] in capfd.readouterr().err

    def test_report_names_the_source_file_within_the_project(self, capfd):
        # Not the folder the module was built in: a wheel built anywhere reports the same.
        error = self.fail()
        report = capfd.readouterr().err
        located = re.search(r"failed at (\S+):[0-9]+:\n" + re.escape(error.args[0]), report)
        assert located, report
        source = located.group(1)
        assert source.startswith("src/merge_engine/") and source.endswith(".cpp"), source
        assert (Path(__file__).resolve().parents[1] / source).is_file()

    def test_argument_errors_still_come_first(self):
        self.fail()
        error = raised(TypeError, None, None, None, 0.5, 1)
        assert notes(error) == ["while processing 'connected_crop_rows'"]

    def test_every_later_call_succeeds(self):
        self.fail()
        for num_threads in (1, 2, 1):
            assert np.array_equal(merge(*worked_example(), 0.5, num_threads), EXPECTED)


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED"), reason="no interpreter lock")
def test_other_threads_run_during_the_merge():
    # With a switch interval far longer than the call, the waiting thread can only run
    # if the merge lets go of the interpreter; nothing else in between does.
    out = run_python(
        WORKED_EXAMPLE_SOURCE
        + """
import sys, threading, time
from quillmoor._native import merge_points_removing_overlap as merge

connected, points, rows = worked_example()
merge(connected, points, rows, 0.5, 1)  # loads NumPy's C API beforehand
busy_connected = np.repeat(connected[:1], 40, axis=0)
overlap = np.linspace(10.0, 10.4, 50_000)
busy_points = np.column_stack([np.ones_like(overlap), np.ones_like(overlap), overlap, overlap, overlap])

go, ran = threading.Event(), []
helper = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
helper.start()
sys.setswitchinterval(1000)
go.set()
# Merge until the helper has run, with a deadline no busy machine reaches: when the
# call keeps the interpreter, the helper never runs and the deadline ends the loop.
deadline = time.monotonic() + 60
while not ran and time.monotonic() < deadline:
    result = merge(busy_connected, busy_points, rows, 0.5, 1)
print(bool(ran), result.shape)
sys.setswitchinterval(0.005)
helper.join()
"""
    )
    assert out == "True (0, 5)\n"
