#pragma once

#include <Python.h>

#include <exception>

namespace quillmoor::py {

// The process-wide type "pyo3_runtime.PanicException" (derived from BaseException),
// created on first need and kept for the life of the process. Borrowed reference;
// null with a Python exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets the Python exception for a C++ exception that reached the Python boundary:
// PythonErrorSet leaves the pending exception as it is; every other failure becomes a
// PanicException whose only argument is the failure text.
void set_python_error_from(const std::exception_ptr& failure) noexcept;

// Runs `body` and returns its result; a C++ exception becomes a Python exception and
// `failure_value` is returned instead. Nothing may propagate into CPython.
template <typename Result, typename Body>
Result call_at_python_boundary(Result failure_value, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from(std::current_exception());
        return failure_value;
    }
}

}  // namespace quillmoor::py
