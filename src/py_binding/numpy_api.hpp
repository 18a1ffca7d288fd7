#pragma once

#include "py_binding/numpy_abi.hpp"

#include <Python.h>

namespace quillmoor::py {

// Typed access to NumPy's C-API table. Cheap to copy; the table lives as long as the
// process.
class NumpyApi {
public:
    explicit NumpyApi(void** table) noexcept : table_(table) {}

    PyTypeObject* array_type() const noexcept {
        return static_cast<PyTypeObject*>(table_[numpy_abi::ARRAY_TYPE]);
    }
    // New reference, or null with a Python exception set.
    numpy_abi::PyArray_Descr* descr_from_type(int type_number) const noexcept {
        return entry<numpy_abi::DescrFromTypeFn>(numpy_abi::DESCR_FROM_TYPE)(type_number);
    }
    bool equiv_types(numpy_abi::PyArray_Descr* first,
                     numpy_abi::PyArray_Descr* second) const noexcept {
        return entry<numpy_abi::EquivTypesFn>(numpy_abi::EQUIV_TYPES)(first, second) != 0;
    }
    // Steals `descr`. New reference, or null with a Python exception set.
    PyObject* new_from_descr(PyTypeObject* subtype, numpy_abi::PyArray_Descr* descr, int nd,
                             const numpy_abi::npy_intp* dims,
                             const numpy_abi::npy_intp* strides, void* data, int flags,
                             PyObject* init) const noexcept {
        return entry<numpy_abi::NewFromDescrFn>(numpy_abi::NEW_FROM_DESCR)(
            subtype, descr, nd, dims, strides, data, flags, init);
    }
    // Steals `base`, also on failure (-1 with a Python exception set).
    int set_base_object(PyObject* array, PyObject* base) const noexcept {
        return entry<numpy_abi::SetBaseObjectFn>(numpy_abi::SET_BASE_OBJECT)(array, base);
    }

    bool is_array(PyObject* object) const noexcept {
        return PyObject_TypeCheck(object, array_type()) != 0;
    }

private:
    template <typename Function>
    Function entry(numpy_abi::ApiSlot slot) const noexcept {
        return reinterpret_cast<Function>(table_[slot]);
    }

    void** table_;
};

// The C-API table, loaded on first use (importing NumPy, checking its ABI version,
// C-API feature version and byte order). A failed load raises InternalError and is
// tried again on the next use. Loads run one at a time; waiting threads detach from
// the interpreter meanwhile.
NumpyApi numpy_api();

// "numpy._core.multiarray" (NumPy 2 and later) or "numpy.core.multiarray"; known once
// numpy_api() has succeeded.
const char* numpy_multiarray_module_name() noexcept;

}  // namespace quillmoor::py
