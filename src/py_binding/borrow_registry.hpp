#pragma once

#include "py_binding/borrow_registry_table.hpp"
#include "py_binding/numpy_api.hpp"

#include <Python.h>

namespace quillmoor::py {

// The key under which a borrow of `array` (an accepted float64 ndarray) is registered.
BorrowKey borrow_key_of(PyObject* array, const NumpyApi& api) noexcept;

// Takes one read borrow under `key` and returns the registry's code (BORROW_OK on
// success). Reaching the registry for the first time may fail with an internal error
// "Internal borrow checking API error: ...".
int acquire_read_borrow(const BorrowKey& key);

// Gives back one read borrow taken with acquire_read_borrow. Never fails: the registry
// was reached when the borrow was taken; an inconsistency is reported on stderr.
void release_read_borrow(const BorrowKey& key) noexcept;

}  // namespace quillmoor::py
