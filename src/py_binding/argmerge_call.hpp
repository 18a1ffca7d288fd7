#pragma once

#include "py_binding/py_ref.hpp"

#include <Python.h>

namespace quillmoor::py {

// The body of argmerge(connected_crop_rows, points_in_rows, row_information, tolerance,
// num_threads, *, with_bounds=False): the merge's arguments, bound, converted and checked
// as the merge's are (points_in_rows may also be its four decision columns, see
// accept_points), and the positions in points_in_rows of the rows the merge would return,
// in its order, as a one-dimensional intp array over the engine's buffer. With
// with_bounds true, the pair (positions, bounds), where connection record r's rows are
// positions[bounds[r]:bounds[r + 1]]. Failures and interruption as the merge's.
PyRef argmerge_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quillmoor::py
