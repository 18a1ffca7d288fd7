#include "py_binding/type_name.hpp"

#include "py_binding/api_level.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/py_text.hpp"

namespace quillmoor::py {

std::string type_qualname(PyTypeObject* type) {
#if QUILLMOOR_PY_API_HEX >= 0x030B0000
    PyRef name = PyRef::steal(PyType_GetQualName(type));
#else
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
#endif
    return utf8_text_or(name, "<failed to extract type name>");
}

}  // namespace quillmoor::py
