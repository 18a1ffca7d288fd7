#pragma once

#include "py_binding/py_ref.hpp"

#include <Python.h>

namespace quillmoor::py {

// The body of merge_points_removing_overlap: binds and converts the five arguments,
// copies the three tables, runs the merge engine detached from the interpreter and
// returns the result array. Argument errors throw PythonErrorSet (with the note
// "while processing '<param>'" on conversion failures); everything later throws
// InternalError, except the exception of a signal handler that raised during the merge
// (PythonErrorSet). Copies are freed, then borrows released, in reverse order of taking.
PyRef merge_points_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quillmoor::py
