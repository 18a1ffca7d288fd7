#pragma once

#include <Python.h>

#include <cstddef>

namespace quillmoor::py {

// A float64 from a float (fast path) or anything the interpreter's float conversion
// accepts; NaN and infinities pass unchanged. Throws PythonErrorSet with the
// interpreter's exception pending.
double to_float64(PyObject* object);

// An unsigned machine word from an int (or subclass) or an object with __index__.
// Negative values and values of 2**64 or more fail with the interpreter's OverflowError;
// values that do not fit a narrower machine word with OverflowError
// "out of range integral type conversion attempted". Throws PythonErrorSet.
std::size_t to_machine_word(PyObject* object);

// The truth of `object`, as `if object:` decides it. Throws PythonErrorSet when its
// __bool__ or __len__ fails.
bool to_truth(PyObject* object);

}  // namespace quillmoor::py
