#pragma once

#include <Python.h>

#include <string>

namespace quillmoor::py {

// The qualified name of `type` as UTF-8, or "<failed to extract type name>" when it
// cannot be read (any Python error from the attempt is cleared).
std::string type_qualname(PyTypeObject* type);

}  // namespace quillmoor::py
