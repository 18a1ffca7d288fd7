#include "py_binding/panic_exception.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/stderr_channel.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"

#include <atomic>
#include <new>
#include <string>
#include <string_view>

namespace quillmoor::py {

namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "Raised when the native code of quillmoor fails while called from Python.\n"
    "\n"
    "Like SystemExit, it derives from BaseException so that it will typically propagate\n"
    "all the way through the stack and end the Python interpreter.";

// Published once; a thread that loses the creation race drops its own type object.
std::atomic<PyObject*> panic_type{nullptr};

// A report that cannot be written must not turn into a second failure.
void report_quietly(std::string_view text, std::string_view detail = {}) noexcept {
    try {
        if (detail.empty()) {
            stderr_channel::write_report(text);
        } else {
            stderr_channel::write_report(std::string(text) + " (" + std::string(detail) + ")");
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): stderr writes are no cancellation points
    }
}

void raise_panic(std::string_view text) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        // The failure could not become a PanicException: the secondary error (in practice
        // a MemoryError) stays pending, so the call still fails.
        report_quietly("could not create the PanicException type for the failure above");
        return;
    }
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (!message) {
        return;
    }
    PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    if (!instance) {
        return;
    }
    PyErr_SetObject(type, instance.get());
}

void raise_unknown_failure() noexcept {
    constexpr std::string_view text = "native code failed with an unknown C++ exception";
    report_quietly(text);
    raise_panic(text);
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    PyObject* existing = panic_type.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    PyObject* created = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    if (!panic_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return existing;
    }
    return created;
}

void set_python_error_from(const std::exception_ptr& failure) noexcept {
    try {
        if (!failure) {
            raise_unknown_failure();  // never rethrown: that would dereference null
            return;
        }
        std::rethrow_exception(failure);
    } catch (const PythonErrorSet&) {
        // The Python exception is already pending.
    } catch (const InternalError& error) {
        // The failure report was written where the error was raised.
        raise_panic(error.what());
    } catch (const std::bad_alloc&) {
        // The tables have their own texts (allocate_named); this is a small allocation.
        constexpr std::string_view text = "out of memory in the native code";
        report_quietly(text);
        raise_panic(text);
    } catch (const std::exception& error) {
        // A standard library text ("vector::_M_default_append", "mutex lock failed") says
        // nothing to the user: it goes to the report only.
        constexpr std::string_view text = "the native code failed unexpectedly";
        report_quietly(text, error.what());
        raise_panic(text);
    } catch (...) {
        raise_unknown_failure();
    }
}

}  // namespace quillmoor::py
