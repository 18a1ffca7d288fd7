#include "py_binding/slice_container.hpp"

#include <atomic>

namespace quillmoor::py {

namespace {

using BufferRelease = void (*)(void*) noexcept;

struct SliceContainer {
    PyObject_HEAD
    void* buffer;            // owned: freed with `release`
    BufferRelease release;   // the deleter of the buffer's owner type
    std::size_t length;      // in elements
};

void slice_container_dealloc(PyObject* self) noexcept {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->buffer);
    container->buffer = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    // Through the slot: the stable ABI keeps type objects opaque.
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array returned by quillmoor.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "quillmoor._native.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

// Created once per process; a thread that loses the creation race drops its own type.
std::atomic<PyTypeObject*> slice_container_type{nullptr};

PyTypeObject* container_type() noexcept {
    PyTypeObject* existing = slice_container_type.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
    if (created == nullptr) {
        return nullptr;
    }
    if (!slice_container_type.compare_exchange_strong(existing, created,
                                                      std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return existing;
    }
    return created;
}

// Hands `buffer` (a unique_ptr) over to a new container, which frees it with the same
// deleter; on failure the unique_ptr still owns and frees it.
template <typename Buffer>
PyRef contain(Buffer& buffer, std::size_t length) {
    PyTypeObject* type = container_type();
    if (type == nullptr) {
        return {};
    }
    SliceContainer* container = PyObject_New(SliceContainer, type);
    if (container == nullptr) {
        return {};
    }
    using Element = typename Buffer::element_type;
    container->release = [](void* owned) noexcept {
        typename Buffer::deleter_type{}(static_cast<Element*>(owned));
    };
    container->buffer = buffer.release();
    container->length = length;
    return PyRef::steal(reinterpret_cast<PyObject*>(container));
}

}  // namespace

PyRef new_slice_container(MatrixBuffer buffer, std::size_t length) {
    return contain(buffer, length);
}

PyRef new_slice_container(PositionBuffer buffer, std::size_t length) {
    return contain(buffer, length);
}

}  // namespace quillmoor::py
