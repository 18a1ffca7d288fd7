#include "py_binding/readonly_array.hpp"

#include "merge_engine/internal_error.hpp"
#include "py_binding/borrow_registry.hpp"
#include "py_binding/numpy_api.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/type_name.hpp"

#include <optional>
#include <string>

namespace quillmoor::py {

namespace {

bool is_float64_array(PyObject* object, const NumpyApi& api, int dimensions) {
    if (!api.is_array(object)) {
        return false;
    }
    const auto* fields = numpy_abi::array_fields(object);
    if (fields->nd != dimensions) {
        return false;
    }
    auto* float64 = api.descr_from_type(numpy_abi::NPY_DOUBLE);
    if (float64 == nullptr) {
        throw_python_error();
    }
    const PyRef float64_owner = PyRef::steal(reinterpret_cast<PyObject*>(float64));
    return fields->descr == float64 || api.equiv_types(fields->descr, float64);
}

[[noreturn]] void refuse(PyObject* object) {
    if (object == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
    } else {
        const std::string type_name = type_qualname(Py_TYPE(object));
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'ndarray'",
                     type_name.c_str());
    }
    throw_python_error();
}

// Holds `object`, an accepted array, under a read borrow.
ReadonlyArray borrow_for_reading(PyObject* object, const NumpyApi& api) {
    PyRef array = PyRef::borrow(object);
    const BorrowKey key = borrow_key_of(object, api);
    const int code = acquire_read_borrow(key);
    if (code == BORROW_REFUSED) {
        raise_internal_error("the array could not be borrowed for reading: AlreadyBorrowed");
    }
    if (code != BORROW_OK) {
        raise_internal_error("Unexpected return code " + std::to_string(code) +
                             " from borrow checking API");
    }
    return {std::move(array), key};
}

}  // namespace

ReadonlyArray::~ReadonlyArray() {
    // A thread the interpreter is ending keeps its borrows: the registry is the
    // interpreter's, and the process is exiting.
    if (array_ && attached_to_interpreter()) {
        release_read_borrow(key_);
    }
}

ReadonlyArray accept_array(PyObject* object) {
    const NumpyApi api = numpy_api();
    if (!is_float64_array(object, api, 2)) {
        refuse(object);
    }
    return borrow_for_reading(object, api);
}

std::optional<ReadonlyArray> accept_column(PyObject* object) {
    const NumpyApi api = numpy_api();
    if (!is_float64_array(object, api, 1)) {
        return std::nullopt;
    }
    return borrow_for_reading(object, api);
}

}  // namespace quillmoor::py
