#pragma once

#include "py_binding/py_ref.hpp"

#include <string>

namespace quillmoor::py {

// `text` (a str) as UTF-8; `fallback` when it is null, not a str or not encodable.
// Any Python error from the attempt is cleared, so rendering a name never fails.
std::string utf8_text_or(const PyRef& text, const char* fallback);

}  // namespace quillmoor::py
