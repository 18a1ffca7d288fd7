#include "py_binding/scalar_conversions.hpp"

#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"

#include <limits>

namespace quillmoor::py {

double to_float64(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AsDouble(object);  // cannot fail for an exact float
    }
    const double value = PyFloat_AsDouble(object);
    // -1.0 is also a valid value; only a pending exception marks a failure.
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
    return value;
}

std::size_t to_machine_word(PyObject* object) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) {
            throw_python_error();
        }
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw_python_error();
    }
    if constexpr (std::numeric_limits<std::size_t>::max() <
                  std::numeric_limits<unsigned long long>::max()) {
        if (value > std::numeric_limits<std::size_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            throw_python_error();
        }
    }
    return static_cast<std::size_t>(value);
}

bool to_truth(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        throw_python_error();
    }
    return truth != 0;
}

}  // namespace quillmoor::py
