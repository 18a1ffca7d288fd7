#include "py_binding/type_name.hpp"

#include "py_binding/py_ref.hpp"

namespace quillmoor::py {

std::string type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    PyRef name = PyRef::steal(PyType_GetQualName(type));
#else
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
#endif
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &length);
        if (utf8 != nullptr) {
            return {utf8, static_cast<std::size_t>(length)};
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

}  // namespace quillmoor::py
