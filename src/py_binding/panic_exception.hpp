#pragma once

#include <Python.h>

#include "merge_engine/forced_unwind.hpp"

#include <exception>

namespace quillmoor::py {

// The process-wide type "pyo3_runtime.PanicException" (derived from BaseException),
// created on first need and kept for the life of the process. Borrowed reference;
// null with a Python exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets the Python exception for a C++ exception that reached the Python boundary:
// PythonErrorSet leaves the pending exception as it is; every other failure becomes a
// PanicException whose only argument is the failure text. An empty `failure` counts
// as an unknown failure.
void set_python_error_from(const std::exception_ptr& failure) noexcept;

// Runs `body` and returns its result; a C++ exception becomes a Python exception and
// `failure_value` is returned instead. Only the forced unwind of a thread the interpreter
// ends (pthread_exit during finalisation) goes on into CPython's frames, up to the
// thread's start: it is not an error, cannot be stored, and must not be stopped. So
// this is not noexcept, nor is any frame between here and the interpreter.
template <typename Result, typename Body>
Result call_at_python_boundary(Result failure_value, Body&& body) {
#if defined(_LIBCPP_VERSION)
    // libc++abi enters catch (...) for that unwind too, but its `throw;` of an exception
    // foreign to C++ starts a new search, which finds no handler and terminates. Every
    // exception of this module is a std::exception, so only those are caught and the
    // unwind passes this frame like any cleanup.
    try {
        return body();
    } catch (const std::exception&) {
        set_python_error_from(std::current_exception());
        return failure_value;
    }
#else
    try {
        return body();
    } catch (...) {
        const std::exception_ptr failure = storable_exception();
        if (!failure) {
            throw;  // a thread being ended
        }
        set_python_error_from(failure);
        return failure_value;
    }
#endif
}

}  // namespace quillmoor::py
