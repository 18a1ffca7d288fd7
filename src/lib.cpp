// The extension module quillmoor._native: one function, merge_points_removing_overlap.
#include <Python.h>

#include "merge_engine/internal_error.hpp"
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

PyMethodDef merge_points_definition = {
    "merge_points_removing_overlap",
    // The usual cast of a METH_FASTCALL | METH_KEYWORDS function to PyCFunction.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&merge_points_removing_overlap)),
    METH_FASTCALL | METH_KEYWORDS,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, "
    "tolerance, num_threads)\n--\n\n",
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

void add_function(PyObject* module) {
    PyRef module_name = checked(PyModule_GetNameObject(module));
    PyRef function =
        checked(PyCMethod_New(&merge_points_definition, module, module_name.get(), nullptr));
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
        add_function(module);
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
