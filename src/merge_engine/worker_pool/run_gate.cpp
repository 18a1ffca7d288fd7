#include "merge_engine/worker_pool/run_gate.hpp"

#include <new>

namespace quillmoor {

void RunGate::enter() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !closed_; });
    ++active_runs_;
}

void RunGate::leave() noexcept {
    bool last = false;
    {
        const std::lock_guard lock(mutex_);
        --active_runs_;
        last = active_runs_ == 0;
    }
    if (last) {
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
