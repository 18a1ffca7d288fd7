#include "py_binding/borrow_registry.hpp"

#include "merge_engine/stderr_channel.hpp"
#include "py_binding/api_level.hpp"
#include "py_binding/borrow_ledger.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/type_name.hpp"

#include <atomic>
#include <memory>
#include <source_location>
#include <string>

namespace quillmoor::py {

namespace {

constexpr const char* REGISTRY_FAILURE = "Internal borrow checking API error";

// Reached once and kept for the life of the process, together with a strong reference
// to its capsule so that the table outlives any change to the module attribute.
std::atomic<const BorrowRegistryTable*> cached_registry{nullptr};

[[noreturn]] void fail_registry(std::source_location where = std::source_location::current()) {
    raise_internal_error_from_python(REGISTRY_FAILURE, where);
}

PyRef checked(PyObject* result, std::source_location where = std::source_location::current()) {
    return checked_new_reference(result, REGISTRY_FAILURE, where);
}

void destroy_registry_capsule(PyObject* capsule) noexcept {
    delete_borrow_registry(static_cast<BorrowRegistryTable*>(
        PyCapsule_GetPointer(capsule, BORROW_REGISTRY_CAPSULE_NAME)));
}

PyRef new_registry_capsule() {
    std::unique_ptr<BorrowRegistryTable, decltype(&delete_borrow_registry)> table(
        new_borrow_registry(), &delete_borrow_registry);
    PyRef capsule = checked(
        PyCapsule_New(table.get(), BORROW_REGISTRY_CAPSULE_NAME, &destroy_registry_capsule));
    static_cast<void>(table.release());
    return capsule;
}

// The attribute's value, or empty when the module has none.
PyRef existing_registry_capsule(PyObject* module_dict) {
#if QUILLMOOR_PY_API_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(module_dict, BORROW_REGISTRY_ATTRIBUTE, &found) < 0) {
        fail_registry();
    }
    return PyRef::steal(found);
#else
    PyRef name = checked(PyUnicode_FromString(BORROW_REGISTRY_ATTRIBUTE));
    PyObject* found = PyDict_GetItemWithError(module_dict, name.get());
    if (found == nullptr && PyErr_Occurred() != nullptr) {
        fail_registry();
    }
    return PyRef::borrow(found);
#endif
}

// Stores `fresh` unless another thread or module got there first; returns the winner.
PyRef install_registry_capsule(PyObject* module_dict, PyRef fresh) {
    PyRef name = checked(PyUnicode_FromString(BORROW_REGISTRY_ATTRIBUTE));
#if defined(Py_LIMITED_API)
    // dict.setdefault: one step under the interpreter lock, as PyDict_SetDefault is.
    PyRef winner = checked(
        PyObject_CallMethod(module_dict, "setdefault", "OO", name.get(), fresh.get()));
    return winner;
#elif PY_VERSION_HEX >= 0x030D0000
    PyObject* winner = nullptr;
    if (PyDict_SetDefaultRef(module_dict, name.get(), fresh.get(), &winner) < 0) {
        fail_registry();
    }
    return PyRef::steal(winner);
#else
    PyObject* winner = PyDict_SetDefault(module_dict, name.get(), fresh.get());  // borrowed
    if (winner == nullptr) {
        fail_registry();
    }
    return PyRef::borrow(winner);
#endif
}

const BorrowRegistryTable* table_in(PyObject* capsule) {
    if (!PyCapsule_CheckExact(capsule)) {
        const std::string type_name = type_qualname(Py_TYPE(capsule));
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                     type_name.c_str());
        fail_registry();
    }
    const auto* table = static_cast<const BorrowRegistryTable*>(
        PyCapsule_GetPointer(capsule, BORROW_REGISTRY_CAPSULE_NAME));
    if (table == nullptr) {
        fail_registry();
    }
    if (table->version != BORROW_REGISTRY_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "the borrow registry has version %llu, but this module needs version %llu",
                     static_cast<unsigned long long>(table->version),
                     static_cast<unsigned long long>(BORROW_REGISTRY_VERSION));
        fail_registry();
    }
    return table;
}

const BorrowRegistryTable* reach_registry() {
    const BorrowRegistryTable* table = cached_registry.load(std::memory_order_acquire);
    if (table != nullptr) {
        return table;
    }
    const char* module_name = numpy_multiarray_module_name();
    if (module_name == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "NumPy's C API has not been loaded");
        fail_registry();
    }
    PyRef module = checked(PyImport_ImportModule(module_name));
    PyObject* module_dict = PyModule_GetDict(module.get());  // borrowed, lives with module
    PyRef capsule = existing_registry_capsule(module_dict);
    if (!capsule) {
        capsule = install_registry_capsule(module_dict, new_registry_capsule());
    }
    table = table_in(capsule.get());
    const BorrowRegistryTable* expected = nullptr;
    if (cached_registry.compare_exchange_strong(expected, table, std::memory_order_acq_rel)) {
        static_cast<void>(capsule.release());  // kept for the life of the process
        return table;
    }
    return expected;
}

}  // namespace

BorrowKey borrow_key_of(PyObject* array, const NumpyApi& api) noexcept {
    PyObject* base = array;
    for (PyObject* next = numpy_abi::array_fields(base)->base;
         next != nullptr && api.is_array(next); next = numpy_abi::array_fields(base)->base) {
        base = next;
    }
    const auto* fields = numpy_abi::array_fields(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields->data);
    BorrowKey key{reinterpret_cast<std::uintptr_t>(base), data, data};
    std::uintptr_t low = data;
    std::uintptr_t high = data;
    for (int axis = 0; axis < fields->nd; ++axis) {
        const numpy_abi::npy_intp length = fields->dimensions[axis];
        if (length == 0) {
            return key;  // spans no memory
        }
        // Unsigned wrap-around gives the right address for negative strides.
        const auto reach = static_cast<std::uintptr_t>((length - 1) * fields->strides[axis]);
        if (fields->strides[axis] < 0) {
            low += reach;
        } else {
            high += reach;
        }
    }
    key.start = low;
    key.end = high + sizeof(double);
    return key;
}

int acquire_read_borrow(const BorrowKey& key) {
    const BorrowRegistryTable* table = reach_registry();
    return table->acquire_read(table->state, &key);
}

void release_read_borrow(const BorrowKey& key) noexcept {
    const BorrowRegistryTable* table = cached_registry.load(std::memory_order_acquire);
    const int code = table == nullptr ? BORROW_NOT_HELD : table->release_read(table->state, &key);
    if (code != BORROW_OK) {
        try {
            stderr_channel::write_report("a read borrow could not be given back (code " +
                                         std::to_string(code) + ")");
        } catch (...) {
        }
    }
}

}  // namespace quillmoor::py
