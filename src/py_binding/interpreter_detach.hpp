#pragma once

#include <Python.h>

#include "merge_engine/forced_unwind.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace quillmoor::py {

// Runs `work` with the calling thread detached from the interpreter, so other Python
// threads (and the free-threaded collector) keep running. `work` must not touch Python
// objects. Its exception is carried past the re-attach and rethrown attached.
// Re-attaching during interpreter finalisation may end the thread with pthread_exit
// (CPython before 3.14): that forced unwind starts inside Py_END_ALLOW_THREADS and must
// pass through every frame above, as must one that starts inside `work`.
template <typename Work>
auto run_detached(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(work());
    } catch (...) {
        failure = storable_exception();
        if (!failure) {
            throw;  // a thread being ended: not carried past the re-attach
        }
    }
    Py_END_ALLOW_THREADS
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

// Locks `mutex` for a thread attached to the interpreter. If another thread holds it,
// waits detached: the holder may be running Python code that needs this thread to let
// go of the interpreter, and waiting attached could deadlock.
inline std::unique_lock<std::mutex> lock_detached(std::mutex& mutex) {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        return lock;
    }
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        lock.lock();
    } catch (...) {
        failure = storable_exception();
        if (!failure) {
            throw;
        }
    }
    Py_END_ALLOW_THREADS
    if (failure) {
        std::rethrow_exception(failure);
    }
    return lock;
}

}  // namespace quillmoor::py
