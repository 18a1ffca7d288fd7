// Placeholder until the Python surface lands.
#include <Python.h>

static PyModuleDef native_module = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&native_module); }
