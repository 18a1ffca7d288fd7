#pragma once

// The few pieces of NumPy's C ABI this module uses, declared by their stable positions
// and layouts so that no NumPy headers are needed at build time. Positions and layouts
// are the same in NumPy 1.x and 2.x (see numpy/__multiarray_api.h and
// numpy/ndarraytypes.h of either series).

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace quillmoor::numpy_abi {

// npy_intp: Py_intptr_t in NumPy 1.x, Py_ssize_t in 2.x; the same width everywhere we run.
using npy_intp = Py_ssize_t;
static_assert(sizeof(Py_ssize_t) == sizeof(std::intptr_t));

// Opaque: only handled by pointer.
struct PyArray_Descr;

// The leading fields of every ndarray object (PyArrayObject_fields). Later fields
// differ between versions and are never touched.
struct PyArrayObject_fields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyArray_Descr* descr;
    int flags;
};

inline const PyArrayObject_fields* array_fields(PyObject* array) noexcept {
    return reinterpret_cast<const PyArrayObject_fields*>(array);
}

inline constexpr int NPY_INT = 5;                    // enum NPY_TYPES
inline constexpr int NPY_LONG = 7;
inline constexpr int NPY_LONGLONG = 9;
inline constexpr int NPY_DOUBLE = 12;
// npy_intp's type number, chosen as NumPy's headers choose it: long where it is as wide,
// then int, then long long.
inline constexpr int NPY_INTP = sizeof(npy_intp) == sizeof(long)  ? NPY_LONG
                                : sizeof(npy_intp) == sizeof(int) ? NPY_INT
                                                                  : NPY_LONGLONG;
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;   // array flags
inline constexpr int NPY_CPU_LITTLE = 1;             // PyArray_GetEndianness

// The highest ABI version and the lowest C-API feature version we are built for:
// NumPy 2.0's ABI (1.x reports lower ABI versions) and NumPy 1.15's feature level.
inline constexpr unsigned int SUPPORTED_ABI_VERSION = 0x2000000;
inline constexpr unsigned int REQUIRED_FEATURE_VERSION = 0xc;

// Positions in the table behind the _ARRAY_API capsule.
enum ApiSlot : std::size_t {
    GET_NDARRAY_C_VERSION = 0,
    ARRAY_TYPE = 2,
    DESCR_FROM_TYPE = 45,
    NEW_FROM_DESCR = 94,
    EQUIV_TYPES = 182,
    GET_ENDIANNESS = 210,
    GET_NDARRAY_C_FEATURE_VERSION = 211,
    SET_BASE_OBJECT = 282,
};

using GetNDArrayCVersionFn = unsigned int (*)();
using DescrFromTypeFn = PyArray_Descr* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*,
                                     const npy_intp*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyArray_Descr*, PyArray_Descr*);
using GetEndiannessFn = int (*)();
using GetNDArrayCFeatureVersionFn = unsigned int (*)();
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

}  // namespace quillmoor::numpy_abi
