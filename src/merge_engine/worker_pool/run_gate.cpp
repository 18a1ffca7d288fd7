#include "merge_engine/worker_pool/run_gate.hpp"

#include <new>

namespace quillmoor {

void RunGate::enter() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !closed_; });
    ++active_runs_;
}

void RunGate::leave() noexcept {
    // Notified under the lock, so that once close() returns no thread is still inside
    // the condition variable: the fork's child then copies it at rest.
    const std::lock_guard lock(mutex_);
    --active_runs_;
    if (active_runs_ == 0) {
        changed_.notify_all();
    }
}

void RunGate::close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    changed_.wait(lock, [this] { return active_runs_ == 0; });
}

void RunGate::open() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = false;
    }
    changed_.notify_all();
}

void RunGate::reset_in_child() noexcept {
    // Deliberately no destructor call: destroying a condition variable that still counts
    // waiters blocks forever. A fresh gate starts open with no active run.
    new (this) RunGate();
}

}  // namespace quillmoor
