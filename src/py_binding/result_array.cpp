#include "py_binding/result_array.hpp"

#include "merge_engine/internal_error.hpp"
#include "py_binding/numpy_api.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/slice_container.hpp"

#include <array>
#include <memory>

namespace quillmoor::py {

namespace {

using numpy_abi::npy_intp;

static_assert(sizeof(RowPosition) == sizeof(npy_intp), "positions are NumPy's intp");

// A new writeable array of `type_number` over `data`, which `container` owns and which
// becomes the array's base object.
template <std::size_t Dimensions>
PyRef array_over(PyRef container, int type_number, const std::array<npy_intp, Dimensions>& dims,
                 const std::array<npy_intp, Dimensions>& strides, void* data) {
    if (!container) {
        raise_internal_error_from_python("Failed to create slice container");
    }
    const NumpyApi api = numpy_api();
    auto* descr = api.descr_from_type(type_number);
    if (descr == nullptr) {
        raise_internal_error_from_python("Failed to create the result's descriptor");
    }
    PyRef array = PyRef::steal(api.new_from_descr(api.array_type(), descr,
                                                  static_cast<int>(Dimensions), dims.data(),
                                                  strides.data(), data,
                                                  numpy_abi::NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        PyErr_WriteUnraisable(nullptr);
        raise_internal_error("PyObject pointer is null");
    }
    if (api.set_base_object(array.get(), container.release()) != 0) {
        raise_internal_error_from_python("Failed to make the slice container the array's base");
    }
    return array;
}

}  // namespace

PyRef from_owned_array(OwnedMatrix matrix) {
    const std::array<npy_intp, 2> dims{static_cast<npy_intp>(matrix.rows()),
                                       static_cast<npy_intp>(matrix.cols())};
    // A result without elements gets strides (0, 0).
    std::array<npy_intp, 2> strides{0, 0};
    if (!matrix.empty()) {
        strides = {matrix.row_stride() * static_cast<npy_intp>(sizeof(double)),
                   matrix.col_stride() * static_cast<npy_intp>(sizeof(double))};
    }
    double* data = matrix.mutable_data();
    std::size_t length = matrix.buffer_length();
    MatrixBuffer buffer = matrix.release_buffer();
    if (!buffer) {
        // NumPy would allocate memory of its own for a null data address; an empty result
        // still gets a buffer of ours so that its data belongs to the container.
        buffer = allocate_matrix_buffer(1);
        data = buffer.get();
        length = 1;
    }
    return array_over(new_slice_container(std::move(buffer), length), numpy_abi::NPY_DOUBLE,
                      dims, strides, data);
}

PyRef from_owned_positions(PositionBuffer positions, std::size_t count) {
    // Every buffer of positions has room for at least one, so even an empty result's data
    // belongs to the container.
    RowPosition* data = positions.get();
    return array_over(new_slice_container(std::move(positions), count), numpy_abi::NPY_INTP,
                      std::array<npy_intp, 1>{static_cast<npy_intp>(count)},
                      std::array<npy_intp, 1>{static_cast<npy_intp>(sizeof(RowPosition))}, data);
}

}  // namespace quillmoor::py
