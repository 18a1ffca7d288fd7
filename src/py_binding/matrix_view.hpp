#pragma once

#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_table.hpp"

#include <Python.h>

#include <cstddef>

namespace quillmoor::py {

// A caller's float64 matrix in place: element (i, j) starts at byte
// data + i * row_stride_bytes + j * col_stride_bytes. The bytes need not be aligned and
// the strides need not be multiples of 8 (unaligned views of a byte buffer).
struct MatrixView {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride_bytes = 0;
    std::ptrdiff_t col_stride_bytes = 0;
    const char* data = nullptr;
};

// Describes an accepted two-dimensional float64 ndarray. Only valid while the array is
// held (see ReadonlyArray).
MatrixView as_view(PyObject* array) noexcept;

// Copies the view into an owned matrix: in one block, keeping the element strides, when
// the elements fill a contiguous block of memory (either memory order, axes possibly
// reversed); element by element into a row-major matrix otherwise. No allocation for a
// matrix without elements.
OwnedMatrix to_owned(const MatrixView& view);

// The view as the engine reads a table in place (by byte address, any stride).
inline PointTable as_point_table(const MatrixView& view) noexcept {
    return {view.rows, view.cols, view.row_stride_bytes, view.col_stride_bytes, view.data};
}

}  // namespace quillmoor::py
