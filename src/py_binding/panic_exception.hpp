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
// PanicException whose only argument is the failure text. An empty `failure` counts
// as an unknown failure.
void set_python_error_from(const std::exception_ptr& failure) noexcept;

// Runs `body` and returns its result; a C++ exception becomes a Python exception and
// `failure_value` is returned instead. Only the forced unwind of a thread the interpreter
// ends (pthread_exit during finalisation) goes on into CPython's frames, up to the
// thread's start: it is not an error, cannot be stored, and must not be stopped. So
// this is not noexcept, nor is any frame between here and the interpreter.
// Every exception of this module is a std::exception, and only those are caught: that
// unwind then passes this frame like any cleanup, under every C++ runtime. (A
// catch (...) would enter for it too, and libc++abi cannot rethrow it: its `throw;` of an
// exception foreign to C++ starts a new search, which finds no handler and terminates.)
template <typename Result, typename Body>
Result call_at_python_boundary(Result failure_value, Body&& body) {
    try {
        return body();
    } catch (const std::exception&) {
        set_python_error_from(std::current_exception());
        return failure_value;
    }
}

}  // namespace quillmoor::py
