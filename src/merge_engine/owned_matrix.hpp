#pragma once

#include "merge_engine/matrix_buffer.hpp"

#include <cstddef>

namespace quillmoor {

// A two-dimensional float64 matrix that owns its buffer.
// Element (i, j) lies at data() + i * row_stride() + j * col_stride(); strides are
// signed and counted in elements, so a copy of a column-major or axis-reversed
// array keeps its memory order and the engine still reads it by (row, column).
class OwnedMatrix {
public:
    // 0 x 0, no buffer.
    OwnedMatrix() = default;

    // Adopts `buffer` (buffer_len elements); element (0, 0) is buffer[data_offset].
    // The caller guarantees that every element of the shape lies inside the buffer.
    // NOLINTBEGIN(bugprone-easily-swappable-parameters): shape, then strides, as NumPy's
    OwnedMatrix(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                std::ptrdiff_t col_stride, MatrixBuffer buffer,
                std::size_t buffer_len, std::size_t data_offset) noexcept;
    // NOLINTEND(bugprone-easily-swappable-parameters)

    // A row-major matrix with uninitialised elements; no allocation when it is empty.
    static OwnedMatrix row_major(std::size_t rows, std::size_t cols);

    OwnedMatrix(OwnedMatrix&&) noexcept = default;
    OwnedMatrix& operator=(OwnedMatrix&&) noexcept = default;
    OwnedMatrix(const OwnedMatrix&) = delete;
    OwnedMatrix& operator=(const OwnedMatrix&) = delete;
    ~OwnedMatrix() = default;

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::ptrdiff_t row_stride() const noexcept { return row_stride_; }
    std::ptrdiff_t col_stride() const noexcept { return col_stride_; }
    bool empty() const noexcept { return rows_ == 0 || cols_ == 0; }
    bool is_row_major() const noexcept {
        return col_stride_ == 1 && row_stride_ == static_cast<std::ptrdiff_t>(cols_);
    }

    // Checked read: a cell outside the shape is an internal error with the text
    // "ndarray: index out of bounds".
    double at(std::size_t row, std::size_t col) const;

    // Unchecked read, for loops whose bounds were checked once.
    double operator()(std::size_t row, std::size_t col) const noexcept {
        return *address(row, col);
    }

    // Unchecked address of element (row, col).
    const double* address(std::size_t row, std::size_t col) const noexcept {
        return data_ + static_cast<std::ptrdiff_t>(row) * row_stride_ +
               static_cast<std::ptrdiff_t>(col) * col_stride_;
    }

    // Address of element (0, 0); null for a matrix without buffer.
    const double* data() const noexcept { return data_; }
    double* mutable_data() noexcept { return data_; }
    std::size_t buffer_length() const noexcept { return buffer_len_; }

    // Gives up the buffer (for handing it to NumPy); the matrix becomes 0 x 0.
    MatrixBuffer release_buffer() noexcept;

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
    MatrixBuffer buffer_;
    std::size_t buffer_len_ = 0;
    double* data_ = nullptr;
};

}  // namespace quillmoor
