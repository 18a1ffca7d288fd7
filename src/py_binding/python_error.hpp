#pragma once

#include "py_binding/py_ref.hpp"

#include <exception>
#include <source_location>
#include <string>

namespace quillmoor::py {

// Thrown when a Python exception is pending and should reach the caller unchanged
// (argument errors and the Python failures of the module's exec step).
class PythonErrorSet final : public std::exception {
public:
    const char* what() const noexcept override { return "a Python exception is set"; }
};

// Throws PythonErrorSet; the caller has just seen a C-API call fail.
[[noreturn]] void throw_python_error();

// Takes the pending Python exception off the interpreter and renders it as
// "PyErr { type: <type repr>, value: <value repr>, traceback: <traceback repr or None> }".
std::string take_pending_error_text();

// Turns the pending Python exception into an internal error whose text is
// "<description>: <rendering>". Writes the failure report and throws InternalError.
// A pending exception that is no Exception (KeyboardInterrupt, SystemExit) is left
// pending instead, and PythonErrorSet thrown.
[[noreturn]] void raise_internal_error_from_python(
    const std::string& description,
    std::source_location where = std::source_location::current());

// `result` as an owned reference; when it is null (the call that made it failed), an
// internal error "<description>: <rendering of the pending exception>" (or the pending
// KeyboardInterrupt or SystemExit itself, as above).
PyRef checked_new_reference(PyObject* result, const std::string& description,
                            std::source_location where = std::source_location::current());

// Adds `note` to the pending Python exception with its add_note method. If building or
// adding the note fails, that secondary failure is dropped and the first exception
// stays pending without the note.
void add_note_to_pending_error(const char* note_format, const char* argument) noexcept;

}  // namespace quillmoor::py
