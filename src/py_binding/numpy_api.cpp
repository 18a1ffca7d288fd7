#include "py_binding/numpy_api.hpp"

#include "py_binding/interpreter_detach.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/type_name.hpp"

#include <atomic>
#include <mutex>
#include <source_location>

namespace quillmoor::py {

namespace {

constexpr const char* LOAD_FAILURE = "Failed to access NumPy array API capsule";
constexpr const char* API_CAPSULE_ATTRIBUTE = "_ARRAY_API";

// Both are published once and then only read; loader_mutex serialises the loading.
std::atomic<void**> published_table{nullptr};
std::atomic<const char*> multiarray_module_name{nullptr};
std::mutex loader_mutex;

[[noreturn]] void fail_load(std::source_location where = std::source_location::current()) {
    raise_internal_error_from_python(LOAD_FAILURE, where);
}

PyRef checked(PyObject* result, std::source_location where = std::source_location::current()) {
    return checked_new_reference(result, LOAD_FAILURE, where);
}

// NumPy 2 moved the multiarray module from numpy.core to numpy._core.
const char* find_multiarray_module_name() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef numpy_lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef version_class = checked(PyObject_GetAttrString(numpy_lib.get(), "NumpyVersion"));
    PyRef parsed = checked(PyObject_CallFunctionObjArgs(version_class.get(), version.get(), nullptr));
    PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long major_value = PyLong_AsLong(major.get());
    if (major_value == -1 && PyErr_Occurred() != nullptr) {
        fail_load();
    }
    if (major_value < 0 || major_value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        fail_load();
    }
    return major_value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void** get_numpy_api(const char* module_name) {
    PyRef name = checked(PyUnicode_FromString(module_name));
    PyRef module = checked(PyImport_Import(name.get()));
    PyRef capsule = checked(PyObject_GetAttrString(module.get(), API_CAPSULE_ATTRIBUTE));
    if (!PyCapsule_CheckExact(capsule.get())) {
        const std::string type_name = type_qualname(Py_TYPE(capsule.get()));
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                     type_name.c_str());
        fail_load();
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        fail_load();
    }
    return static_cast<void**>(table);
}

void check_compatibility(void** table) {
    const auto abi_version =
        reinterpret_cast<numpy_abi::GetNDArrayCVersionFn>(table[numpy_abi::GET_NDARRAY_C_VERSION])();
    if (abi_version > numpy_abi::SUPPORTED_ABI_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     numpy_abi::SUPPORTED_ABI_VERSION, abi_version);
        fail_load();
    }
    const auto feature_version = reinterpret_cast<numpy_abi::GetNDArrayCFeatureVersionFn>(
        table[numpy_abi::GET_NDARRAY_C_FEATURE_VERSION])();
    if (feature_version < numpy_abi::REQUIRED_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the "
                     "running NumPy has C-API version 0x%x",
                     numpy_abi::REQUIRED_FEATURE_VERSION, feature_version);
        fail_load();
    }
    const int byte_order =
        reinterpret_cast<numpy_abi::GetEndiannessFn>(table[numpy_abi::GET_ENDIANNESS])();
    if (byte_order != numpy_abi::NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness "
                        "at runtime");
        fail_load();
    }
}

void** load_table() {
    const char* module_name = multiarray_module_name.load(std::memory_order_acquire);
    if (module_name == nullptr) {
        module_name = find_multiarray_module_name();
        multiarray_module_name.store(module_name, std::memory_order_release);
    }
    void** table = get_numpy_api(module_name);
    check_compatibility(table);
    return table;
}

}  // namespace

NumpyApi numpy_api() {
    void** table = published_table.load(std::memory_order_acquire);
    if (table != nullptr) {
        return NumpyApi(table);
    }
    const std::unique_lock lock = lock_detached(loader_mutex);
    table = published_table.load(std::memory_order_acquire);
    if (table == nullptr) {
        table = load_table();
        published_table.store(table, std::memory_order_release);
    }
    return NumpyApi(table);
}

const char* numpy_multiarray_module_name() noexcept {
    return multiarray_module_name.load(std::memory_order_acquire);
}

}  // namespace quillmoor::py
