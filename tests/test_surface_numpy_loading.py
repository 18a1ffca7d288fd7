"""Loading NumPy's C API on first use, in fresh interpreters: a missing or unusable
NumPy, the version and byte-order checks (against a stand-in NumPy whose C-API table
is built with ctypes), retries, the borrow registry's checks, and concurrent first calls."""

import pytest

from test_surface_support import WORKED_EXAMPLE_SOURCE, run_python

PREFIX = "Failed to access NumPy array API capsule: PyErr { type: "

# A stand-in NumPy package: `version` picks the multiarray module, the table answers the
# version and byte-order queries, and its ndarray type is a plain class.
FAKE_NUMPY = """
import ctypes, sys, types

def fake_numpy(version, abi=0x2000000, feature=0x12, byte_order=1, capsule=True):
    class ndarray:
        pass
    keep = [ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: abi),
            ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: feature),
            ctypes.CFUNCTYPE(ctypes.c_int)(lambda: byte_order), ndarray]
    table = (ctypes.c_void_p * 300)()
    table[0] = ctypes.cast(keep[0], ctypes.c_void_p).value
    table[211] = ctypes.cast(keep[1], ctypes.c_void_p).value
    table[210] = ctypes.cast(keep[2], ctypes.c_void_p).value
    table[2] = id(ndarray)
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    core = "numpy._core" if int(version.split(".")[0]) >= 2 else "numpy.core"
    modules = {name: types.ModuleType(name) for name in ("numpy", "numpy.lib", core, core + ".multiarray")}
    modules["numpy"].__version__ = version
    modules["numpy.lib"].NumpyVersion = lambda text: types.SimpleNamespace(major=int(text.split(".")[0]))
    if capsule is True:
        modules[core + ".multiarray"]._ARRAY_API = new_capsule(ctypes.addressof(table), None, None)
    elif capsule is not None:
        modules[core + ".multiarray"]._ARRAY_API = capsule
    modules[core + ".multiarray"].keep = (keep, table)
    sys.modules.update(modules)
    return modules[core + ".multiarray"]

from quillmoor._native import merge_points_removing_overlap as merge

def first_call():
    try:
        merge(None, None, None, 0.5, 1)
    except BaseException as error:
        print(type(error).__name__ + ": " + error.args[0], getattr(error, "__notes__", None))
"""


def test_missing_numpy_then_retry():
    lines = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        from quillmoor._native import merge_points_removing_overlap as merge
        for attempt in range(2):
            try:
                merge(None, None, None, 0.5, 1)
            except BaseException as error:
                print(type(error).__name__, type(error).__module__, error.args[0])
        del sys.modules["numpy"]
        import numpy as np
        result = merge(np.zeros((1, 11)), np.zeros((1, 5)), np.zeros((1, 11)), 0.5, 1)
        print(result.tolist())
        """
    ).splitlines()
    for line in lines[:2]:
        assert line.startswith("PanicException pyo3_runtime " + PREFIX + "<class 'ModuleNotFoundError'>")
        assert line.endswith(", traceback: None }")
    assert lines[2] == "[[0.0, 0.0, 0.0, 0.0, 0.0]]"


@pytest.mark.parametrize("arguments, rendering", [
    ("'2.1.0', abi=0x2000001", "<class 'RuntimeError'>, value: RuntimeError('module compiled against "
     "ABI version 0x2000000 but this version of numpy is 0x2000001'), traceback: None }"),
    ("'1.14.0', abi=0x1000009, feature=0xb", "<class 'RuntimeError'>, value: RuntimeError('module was "
     "compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has C-API "
     "version 0xb'), traceback: None }"),
    ("'2.0.0', byte_order=2", "<class 'RuntimeError'>, value: RuntimeError('module compiled as "
     "little endian, but detected different endianness at runtime'), traceback: None }"),
    ("'2.0.0', capsule=7", "<class 'TypeError'>, value: TypeError(\"'int' object cannot be "
     "converted to 'PyCapsule'\"), traceback: None }"),
    ("'300.0.0'", "<class 'OverflowError'>, value: OverflowError('out of range integral type "
     "conversion attempted'), traceback: None }"),
])
def test_compatibility_checks(arguments, rendering):
    out = run_python(FAKE_NUMPY + f"fake_numpy({arguments})\nfirst_call()\n")
    assert out == "PanicException: " + PREFIX + rendering + " None\n"


def test_versions_pick_the_module_and_failures_are_retried():
    out = run_python(
        FAKE_NUMPY + """
        multiarray = fake_numpy("1.26.4", abi=0x1000009, feature=0x11, capsule=None)
        first_call()
        fake_numpy("1.26.4", abi=0x1000009, feature=0x11)
        first_call()
        """.replace("\n        ", "\n")
    ).splitlines()
    assert out[0].startswith("PanicException: " + PREFIX + "<class 'AttributeError'>")
    assert "_ARRAY_API" in out[0]
    assert out[1] == ("TypeError: 'None' is not an instance of 'ndarray' "
                      "[\"while processing 'connected_crop_rows'\"]")


@pytest.mark.parametrize("registry, rendering", [
    ("42", "<class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\")"),
    ("new_capsule(ctypes.addressof(fake_table), b'someone.else', None)",
     "<class 'ValueError'>, value: ValueError('PyCapsule_GetPointer called with incorrect name')"),
    ("new_capsule(ctypes.addressof(fake_table), b'quillmoor._native.borrow_registry', None)",
     "<class 'RuntimeError'>, value: RuntimeError('the borrow registry has version 2, "
     "but this module needs version 1')"),
])
def test_unusable_borrow_registry(registry, rendering):
    out = run_python(
        f"""
        import ctypes, importlib
        import numpy as np
        from quillmoor._native import merge_points_removing_overlap as merge
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        fake_table = (ctypes.c_uint64 * 8)(2)
        core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
        multiarray = importlib.import_module(core + ".multiarray")
        multiarray._quillmoor_borrow_registry = {registry}
        try:
            merge(np.zeros((1, 11)), np.zeros((1, 5)), np.zeros((1, 11)), 0.5, 1)
        except BaseException as error:
            print(type(error).__name__ + ": " + error.args[0])
        """
    )
    assert out == ("PanicException: Internal borrow checking API error: PyErr { type: "
                   + rendering + ", traceback: None }\n")


def test_threads_making_the_first_call_together():
    out = run_python(
        WORKED_EXAMPLE_SOURCE + """
import threading
from quillmoor._native import merge_points_removing_overlap as merge

THREADS = 8
barrier = threading.Barrier(THREADS)
outcomes = []

def call(index):
    tables = worked_example()
    barrier.wait()
    try:
        outcomes.append(np.array_equal(merge(*tables, 0.5, 1 + index % 3), EXPECTED))
    except BaseException as error:
        outcomes.append(repr(error))

threads = [threading.Thread(target=call, args=(index,)) for index in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(outcomes)
""", timeout=120)
    assert out == str([True] * 8) + "\n"
