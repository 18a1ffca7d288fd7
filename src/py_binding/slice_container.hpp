#pragma once

#include "merge_engine/kept_positions.hpp"
#include "merge_engine/matrix_buffer.hpp"
#include "py_binding/py_ref.hpp"

#include <Python.h>

#include <cstddef>
#include <memory>

namespace quillmoor::py {

// A new PySliceContainer object that owns `buffer` (`length` float64 values or
// positions) and frees it with its own deleter when the object dies; it serves as the
// base object of a result array whose data lies in that buffer. Returns empty with a
// Python exception set on failure; the buffer is freed then too.
PyRef new_slice_container(MatrixBuffer buffer, std::size_t length);
PyRef new_slice_container(PositionBuffer buffer, std::size_t length);

}  // namespace quillmoor::py
