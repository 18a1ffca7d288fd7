#pragma once

#include "py_binding/borrow_registry_table.hpp"
#include "py_binding/py_ref.hpp"

#include <Python.h>

#include <optional>

namespace quillmoor::py {

// A caller's two-dimensional float64 ndarray held for the length of a call: a strong
// reference plus one read borrow in the borrow registry. Destruction gives the borrow
// back, then drops the reference.
class ReadonlyArray {
public:
    ReadonlyArray(PyRef array, const BorrowKey& key) noexcept
        : array_(std::move(array)), key_(key) {}
    ReadonlyArray(ReadonlyArray&& other) noexcept = default;
    ReadonlyArray& operator=(ReadonlyArray&&) = delete;
    ReadonlyArray(const ReadonlyArray&) = delete;
    ReadonlyArray& operator=(const ReadonlyArray&) = delete;
    ~ReadonlyArray();

    PyObject* get() const noexcept { return array_.get(); }

private:
    PyRef array_;
    BorrowKey key_;
};

// Accepts `object` as one of the table arguments: an ndarray (or subclass) with exactly
// two dimensions and a float64-equivalent element type. Otherwise a TypeError
// ("'None' is not an instance of 'ndarray'" or "'<qualname>' object is not an instance of
// 'ndarray'") is set and PythonErrorSet thrown. Loading NumPy's C API or taking the read
// borrow may fail with an internal error.
ReadonlyArray accept_array(PyObject* object);

// Accepts `object` as one column of a table: an ndarray (or subclass) with exactly one
// dimension and a float64-equivalent element type; nothing (and no Python exception)
// when it is not one. Loading NumPy's C API or taking the read borrow may fail with an
// internal error.
std::optional<ReadonlyArray> accept_column(PyObject* object);

}  // namespace quillmoor::py
