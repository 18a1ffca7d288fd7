#include "py_binding/pending_exception.hpp"

#include "py_binding/api_level.hpp"

namespace quillmoor::py {

// Python 3.12 keeps one exception object; older versions keep a (type, value, traceback)
// triple that has to be normalised first.
PyRef take_pending_exception() noexcept {
#if QUILLMOOR_PY_API_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return {};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    if (owned_value && owned_traceback) {
        PyException_SetTraceback(owned_value.get(), owned_traceback.get());
    }
    return owned_value;
#endif
}

void restore_pending_exception(PyRef exception) noexcept {
    if (!exception) {
        return;
    }
#if QUILLMOOR_PY_API_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
}

}  // namespace quillmoor::py
