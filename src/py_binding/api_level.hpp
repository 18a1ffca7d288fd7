#pragma once

#include <Python.h>

// The oldest CPython whose C API this build may use: the building interpreter's own for a
// full-API build, the stable ABI's floor for a limited-API one (whose headers may be newer).
#if defined(Py_LIMITED_API)
#define QUILLMOOR_PY_API_HEX Py_LIMITED_API
#else
#define QUILLMOOR_PY_API_HEX PY_VERSION_HEX
#endif
