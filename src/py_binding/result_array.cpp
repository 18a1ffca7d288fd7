#include "py_binding/result_array.hpp"

#include "merge_engine/internal_error.hpp"
#include "py_binding/numpy_api.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/slice_container.hpp"

#include <array>
#include <memory>

namespace quillmoor::py {

PyRef from_owned_array(OwnedMatrix matrix) {
    const NumpyApi api = numpy_api();
    const std::array<numpy_abi::npy_intp, 2> dims{
        static_cast<numpy_abi::npy_intp>(matrix.rows()),
        static_cast<numpy_abi::npy_intp>(matrix.cols())};
    // A result without elements gets strides (0, 0).
    std::array<numpy_abi::npy_intp, 2> strides{0, 0};
    if (!matrix.empty()) {
        strides = {matrix.row_stride() * static_cast<numpy_abi::npy_intp>(sizeof(double)),
                   matrix.col_stride() * static_cast<numpy_abi::npy_intp>(sizeof(double))};
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
    PyRef container = new_slice_container(std::move(buffer), length);
    if (!container) {
        raise_internal_error_from_python("Failed to create slice container");
    }
    auto* float64 = api.descr_from_type(numpy_abi::NPY_DOUBLE);
    if (float64 == nullptr) {
        raise_internal_error_from_python("Failed to create the float64 descriptor");
    }
    PyRef array = PyRef::steal(api.new_from_descr(api.array_type(), float64, 2, dims.data(),
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

}  // namespace quillmoor::py
