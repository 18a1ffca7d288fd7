#pragma once

#include "merge_engine/kept_positions.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "py_binding/py_ref.hpp"

#include <cstddef>

namespace quillmoor::py {

// Hands `matrix`'s buffer to a new writeable float64 numpy.ndarray without copying:
// a PySliceContainer holding the buffer becomes the array's base object. The matrix is
// left empty. Failures are internal errors; the buffer is freed then.
PyRef from_owned_array(OwnedMatrix matrix);

// The same for `count` positions: a new writeable one-dimensional intp numpy.ndarray
// over the buffer.
PyRef from_owned_positions(PositionBuffer positions, std::size_t count);

}  // namespace quillmoor::py
