// The extension module quillmoor._native: merge_points_removing_overlap, and argmerge,
// the positions of the rows it keeps.
#include <Python.h>

#include "merge_engine/internal_error.hpp"
#include "py_binding/argmerge_call.hpp"
#include "py_binding/merge_points_call.hpp"
#include "py_binding/panic_exception.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"

namespace {

using quillmoor::py::PyRef;

// Not noexcept: a thread the interpreter ends during finalisation unwinds through here
// (see call_at_python_boundary).
PyObject* merge_points_removing_overlap(PyObject* /*module*/, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
    return quillmoor::py::call_at_python_boundary<PyObject*>(nullptr, [&] {
        return quillmoor::py::merge_points_call(args, nargs, kwnames).release();
    });
}

PyObject* argmerge(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    return quillmoor::py::call_at_python_boundary<PyObject*>(nullptr, [&] {
        return quillmoor::py::argmerge_call(args, nargs, kwnames).release();
    });
}

PyMethodDef merge_points_definition = {
    "merge_points_removing_overlap",
    // The usual cast of a METH_FASTCALL | METH_KEYWORDS function to PyCFunction.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&merge_points_removing_overlap)),
    METH_FASTCALL | METH_KEYWORDS,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, "
    "tolerance, num_threads)\n--\n\n",
};

PyMethodDef argmerge_definition = {
    "argmerge",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&argmerge)),
    METH_FASTCALL | METH_KEYWORDS,
    "argmerge(connected_crop_rows, points_in_rows, row_information, tolerance, num_threads, "
    "*, with_bounds=False, progress=True)\n--\n\n"
    "Positions of the rows of points_in_rows that merge_points_removing_overlap returns, in\n"
    "its order, as a 1-D intp array: points_in_rows[argmerge(...)] is its result. Takes the\n"
    "same arguments and fails in the same way; points_in_rows may also be a list or tuple of\n"
    "four 1-D float64 arrays (key_a, key_b, x, y), the only columns read. with_bounds=True\n"
    "returns (positions, bounds): connection record r's rows are\n"
    "positions[bounds[r]:bounds[r + 1]]. progress=False never draws the bar.",
};

PyRef checked(PyObject* result) {
    if (result == nullptr) {
        quillmoor::py::throw_python_error();
    }
    return PyRef::steal(result);
}

// The module's __all__, created as an empty list if the module has none yet.
PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        quillmoor::py::throw_python_error();
    }
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
        quillmoor::py::throw_python_error();
    }
    return all;
}

void add_function(PyObject* module, PyMethodDef* definition) {
    PyRef module_name = checked(PyModule_GetNameObject(module));
    PyRef function = checked(PyCMethod_New(definition, module, module_name.get(), nullptr));
    PyRef function_name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    PyRef all = module_all(module);
    PyRef appended =
        PyRef::steal(PyObject_CallMethod(all.get(), "append", "O", function_name.get()));
    if (!appended) {
        PyErr_Clear();
        quillmoor::raise_internal_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) {
        quillmoor::py::throw_python_error();
    }
}

int module_exec(PyObject* module) {
    return quillmoor::py::call_at_python_boundary<int>(-1, [&] {
        add_function(module, &merge_points_definition);
        add_function(module, &argmerge_definition);
        return 0;
    });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, native_slots, nullptr, nullptr, nullptr,
};

}  // namespace

// The interpreter looks the module up by this exact name.
PyMODINIT_FUNC PyInit__native() {  // NOLINT(bugprone-reserved-identifier)
    return PyModuleDef_Init(&native_module);
}
