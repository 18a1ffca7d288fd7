#include "py_binding/python_error.hpp"

#include "merge_engine/internal_error.hpp"
#include "py_binding/pending_exception.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/py_text.hpp"

#include <utility>

namespace quillmoor::py {

namespace {

// repr() of `object` as UTF-8; a failing repr is replaced so that rendering never fails.
std::string repr_text(PyObject* object) {
    return utf8_text_or(PyRef::steal(PyObject_Repr(object)), "<unprintable object>");
}

}  // namespace

void throw_python_error() { throw PythonErrorSet(); }

PyRef checked_new_reference(PyObject* result, const std::string& description,
                            std::source_location where) {
    if (result == nullptr) {
        raise_internal_error_from_python(description, where);
    }
    return PyRef::steal(result);
}

std::string take_pending_error_text() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    PyRef exception = take_pending_exception();
    if (!exception) {
        return "PyErr { type: <unknown>, value: <unknown>, traceback: None }";
    }
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception.get()));
    std::string text = "PyErr { type: ";
    text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    text += ", value: ";
    text += repr_text(exception.get());
    text += ", traceback: ";
    text += traceback ? repr_text(traceback.get()) : "None";
    text += " }";
    return text;
}

void raise_internal_error_from_python(const std::string& description,
                                      std::source_location where) {
    // What is no Exception (KeyboardInterrupt from Ctrl-C, SystemExit) came from a signal
    // handler or an exit request that ran while Python code did: not a failure of that
    // code, and the caller must get it as it is.
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception) == 0) {
        throw_python_error();
    }
    raise_internal_error(description + ": " + take_pending_error_text(), where);
}

void add_note_to_pending_error(const char* note_format, const char* argument) noexcept {
    PyRef exception = take_pending_exception();
    if (!exception) {
        return;
    }
    PyRef note = PyRef::steal(PyUnicode_FromFormat(note_format, argument));
    if (note) {
        PyRef added =
            PyRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
        if (!added) {
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    restore_pending_exception(std::move(exception));
}

}  // namespace quillmoor::py
