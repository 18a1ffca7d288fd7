#include "merge_engine/owned_matrix.hpp"

#include "merge_engine/internal_error.hpp"

#include <utility>

namespace quillmoor {

// NOLINTBEGIN(bugprone-easily-swappable-parameters): shape, then strides, as NumPy's
OwnedMatrix::OwnedMatrix(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                         std::ptrdiff_t col_stride, MatrixBuffer buffer,
                         std::size_t buffer_len, std::size_t data_offset) noexcept
// NOLINTEND(bugprone-easily-swappable-parameters)
    : rows_(rows),
      cols_(cols),
      row_stride_(row_stride),
      col_stride_(col_stride),
      buffer_(std::move(buffer)),
      buffer_len_(buffer_len),
      data_(buffer_ ? buffer_.get() + data_offset : nullptr) {}

OwnedMatrix OwnedMatrix::row_major(std::size_t rows, std::size_t cols) {
    const std::size_t count = checked_element_count(rows, cols);
    MatrixBuffer buffer;
    if (count != 0) {
        buffer = allocate_matrix_buffer(count);
    }
    return {rows, cols, static_cast<std::ptrdiff_t>(cols), 1, std::move(buffer), count, 0};
}

double OwnedMatrix::at(std::size_t row, std::size_t col) const {
    if (row >= rows_ || col >= cols_) {
        raise_internal_error(INDEX_OUT_OF_BOUNDS);
    }
    return (*this)(row, col);
}

MatrixBuffer OwnedMatrix::release_buffer() noexcept {
    rows_ = cols_ = 0;
    row_stride_ = col_stride_ = 0;
    buffer_len_ = 0;
    data_ = nullptr;
    return std::move(buffer_);
}

}  // namespace quillmoor
