#pragma once

#include "py_binding/python_error.hpp"

namespace quillmoor::py {

// Runs one argument conversion; its Python exception gets the note
// "while processing '<name>'".
template <typename Convert>
auto convert_parameter(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        add_note_to_pending_error("while processing '%s'", name);
        throw;
    }
}

}  // namespace quillmoor::py
