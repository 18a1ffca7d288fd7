#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <span>

namespace quillmoor::py {

// The parameters of one function: positional-or-keyword and required, then the last
// `keyword_only` of them keyword-only and optional (their slots stay null when not given).
struct ParameterTable {
    const char* function_name;  // as shown in messages, e.g. "f()"
    std::span<const char* const> names;
    std::size_t keyword_only = 0;
    // The names as interned str objects, made on first use and kept for the process;
    // keyword names are compared with them by identity before by text.
    std::atomic<PyObject* const*> interned_names{nullptr};
};

// Binds a METH_FASTCALL | METH_KEYWORDS call to `slots` (one per parameter, in parameter
// order; borrowed references). On failure sets a TypeError worded like CPython's and
// throws PythonErrorSet:
//   "f() takes N positional arguments but M were given", checked before any keyword
//   (N counts the positional-or-keyword parameters);
//   "f() got an unexpected keyword argument 'x'" and
//   "f() got multiple values for argument 'x'", keywords taken in the caller's order;
//   "f() missing K required positional arguments: 'a', 'b', and 'c'".
void bind_arguments(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace quillmoor::py
