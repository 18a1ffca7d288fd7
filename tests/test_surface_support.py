"""Shared pieces of the surface tests (no tests here): the worked example, a fresh
interpreter runner, and a ctypes view of the process-wide borrow registry."""

import ctypes
import importlib
import os
import subprocess
import sys
import textwrap

import numpy as np

# Kept as source so that a fresh interpreter can build it before anything else runs.
WORKED_EXAMPLE_SOURCE = textwrap.dedent(
    """
    import numpy as np

    def worked_example():
        nan = np.nan
        row_information = np.full((2, 11), nan)
        row_information[0] = [1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]
        row_information[1] = [2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16]
        connected_crop_rows = np.full((2, 11), nan)
        connected_crop_rows[0, :5] = [0, 1, 1, 2, 1]
        connected_crop_rows[1, :5] = [1, 2, 1, 1, 1]
        points = [(1, 1, w, w, 100 + w) for w in (0, 3, 6, 9, 10, 10.3, 10.8, 11.4)]
        points += [(2, 1, w, w, 200 + w) for w in (9.6, 11, 12, 15, 20)]
        return connected_crop_rows, np.array(points, dtype=np.float64), row_information

    EXPECTED = np.array(
        [(1, 1, w, w, 100 + w) for w in (0, 3, 6, 9, 10.8, 11.4)]
        + [(2, 1, w, w, 200 + w) for w in (9.6, 11, 15, 20)]
    )
    """
)
_namespace = {}
exec(WORKED_EXAMPLE_SOURCE, _namespace)
worked_example = _namespace["worked_example"]
EXPECTED = _namespace["EXPECTED"]


def failing_tables():
    """Valid arguments whose merge fails inside the engine: no row record at all."""
    connected_crop_rows = np.full((1, 11), np.nan)
    connected_crop_rows[0, :3] = [0, 1, 1]
    return connected_crop_rows, np.zeros((0, 5)), np.zeros((0, 11))


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter with this one's import path; returns stdout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def multiarray_module():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


class BorrowKey(ctypes.Structure):
    _fields_ = [("base", ctypes.c_size_t), ("start", ctypes.c_size_t), ("end", ctypes.c_size_t)]


# PYFUNCTYPE: the registry's functions are called attached to the interpreter.
_BORROW_FUNCTION = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(BorrowKey))
_COUNT_FUNCTION = ctypes.PYFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p)


class _RegistryTable(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_read", _BORROW_FUNCTION),
        ("release_read", _BORROW_FUNCTION),
        ("read_borrow_count", _COUNT_FUNCTION),
    ]


class BorrowRegistry:
    """The registry capsule on NumPy's multiarray module, as other modules would use it."""

    def __init__(self):
        capsule = getattr(multiarray_module(), "_quillmoor_borrow_registry")
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        address = get_pointer(capsule, b"quillmoor._native.borrow_registry")
        self.table = _RegistryTable.from_address(address)
        assert self.table.version == 1

    def count(self):
        return self.table.read_borrow_count(self.table.state)

    def acquire(self, key):
        return self.table.acquire_read(self.table.state, ctypes.byref(key))

    def release(self, key):
        return self.table.release_read(self.table.state, ctypes.byref(key))


def whole_array_key(array):
    """The key of a C-contiguous array that is its own base."""
    start = array.__array_interface__["data"][0]
    return BorrowKey(id(array), start, start + array.nbytes)
