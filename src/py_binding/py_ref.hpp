#pragma once

#include <Python.h>

#include <utility>

namespace quillmoor::py {

// Owns one strong reference to a Python object (or nothing) and drops it on scope exit.
// The caller must be attached to the interpreter whenever a non-empty PyRef is destroyed.
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
            Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller; this PyRef becomes empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace quillmoor::py
