#include "py_binding/py_text.hpp"

namespace quillmoor::py {

std::string utf8_text_or(const PyRef& text, const char* fallback) {
    if (text && PyUnicode_Check(text.get())) {
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
        if (utf8 != nullptr) {
            return {utf8, static_cast<std::size_t>(length)};
        }
    }
    PyErr_Clear();
    return fallback;
}

}  // namespace quillmoor::py
