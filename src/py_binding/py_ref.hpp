#pragma once

#include <Python.h>

#include <utility>

namespace quillmoor::py {

// False only for a thread that the finalising interpreter is ending (pthread_exit inside
// a re-attach, CPython before 3.14): the frames it unwinds must leave every Python object
// alone. Outside finalisation every caller is attached, and the answer is always true.
bool attached_to_interpreter() noexcept;

// Owns one strong reference to a Python object (or nothing) and drops it on scope exit.
// The caller must be attached to the interpreter whenever a non-empty PyRef is destroyed;
// only a thread the interpreter is ending is not, and its references are left as they
// are (the process is exiting).
class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a new reference (as returned by most C-API calls); null stays empty.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            drop(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { drop(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller; this PyRef becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    static void drop(PyObject* object) noexcept {
        if (object != nullptr && attached_to_interpreter()) {
            Py_DECREF(object);
        }
    }

    PyObject* object_ = nullptr;
};

}  // namespace quillmoor::py
