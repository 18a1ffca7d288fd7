#include "py_binding/matrix_view.hpp"
#include "merge_engine/allocation_failure.hpp"

#include "merge_engine/internal_error.hpp"
#include "py_binding/numpy_abi.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillmoor::py {

namespace {

constexpr auto ELEMENT_SIZE = static_cast<std::ptrdiff_t>(sizeof(double));

struct Axis {
    std::size_t length;
    std::ptrdiff_t stride;  // in elements
};

// True when the elements fill exactly one block of rows * cols values: the inner axis
// (smaller stride magnitude) steps by one element, the outer axis by the inner length.
bool fills_one_block(const Axis& first, const Axis& second) {
    const bool first_is_inner = std::abs(first.stride) <= std::abs(second.stride);
    const Axis& inner = first_is_inner ? first : second;
    const Axis& outer = first_is_inner ? second : first;
    const bool inner_steps_by_one = std::abs(inner.stride) == 1 || inner.length == 1;
    const bool outer_follows = static_cast<std::size_t>(std::abs(outer.stride)) == inner.length ||
                               outer.length == 1;
    return inner_steps_by_one && outer_follows;
}

// Offset, in elements, from element (0, 0) down to the lowest element's address.
std::size_t offset_of_lowest(const Axis& axis) {
    return axis.stride < 0 ? (axis.length - 1) * static_cast<std::size_t>(-axis.stride) : 0;
}

OwnedMatrix copy_block(const MatrixView& view, const Axis& row_axis, const Axis& col_axis,
                       std::size_t count) {
    const std::size_t data_offset = offset_of_lowest(row_axis) + offset_of_lowest(col_axis);
    MatrixBuffer buffer;
    allocate_named("the copy of an input table", count, sizeof(double),
                   [&] { buffer = allocate_matrix_buffer(count); });
    std::memcpy(buffer.get(), view.data - data_offset * sizeof(double), count * sizeof(double));
    return {view.rows, view.cols, row_axis.stride, col_axis.stride, std::move(buffer), count,
            data_offset};
}

// Reads every element by its byte address, so any stride and alignment works.
OwnedMatrix copy_elements(const MatrixView& view) {
    OwnedMatrix copy;
    allocate_named("the copy of an input table", checked_element_count(view.rows, view.cols),
                   sizeof(double), [&] { copy = OwnedMatrix::row_major(view.rows, view.cols); });
    double* out = copy.mutable_data();
    for (std::size_t row = 0; row < view.rows; ++row) {
        const char* row_start = view.data + static_cast<std::ptrdiff_t>(row) * view.row_stride_bytes;
        for (std::size_t col = 0; col < view.cols; ++col) {
            std::memcpy(out, row_start + static_cast<std::ptrdiff_t>(col) * view.col_stride_bytes,
                        sizeof(double));
            ++out;
        }
    }
    return copy;
}

}  // namespace

MatrixView as_view(PyObject* array) noexcept {
    const auto* fields = numpy_abi::array_fields(array);
    return {static_cast<std::size_t>(fields->dimensions[0]),
            static_cast<std::size_t>(fields->dimensions[1]), fields->strides[0],
            fields->strides[1], fields->data};
}

OwnedMatrix to_owned(const MatrixView& view) {
    const std::size_t count = checked_element_count(view.rows, view.cols);
    if (count == 0) {
        return OwnedMatrix::row_major(view.rows, view.cols);
    }
    const bool whole_elements =
        view.row_stride_bytes % ELEMENT_SIZE == 0 && view.col_stride_bytes % ELEMENT_SIZE == 0;
    if (whole_elements) {
        const Axis row_axis{view.rows, view.row_stride_bytes / ELEMENT_SIZE};
        const Axis col_axis{view.cols, view.col_stride_bytes / ELEMENT_SIZE};
        if (fills_one_block(row_axis, col_axis)) {
            return copy_block(view, row_axis, col_axis, count);
        }
    }
    return copy_elements(view);
}

}  // namespace quillmoor::py
