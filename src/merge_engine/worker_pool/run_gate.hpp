#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace quillmoor {

// Lets parallel runs proceed side by side while keeping them apart from fork
// preparation: close() waits until no run is active and holds new runs back until
// open(). The child of a fork starts over with reset_in_child().
class RunGate {
public:
    // Waits while the gate is closed, then counts the caller as an active run.
    void enter();
    // Ends the caller's active run.
    void leave() noexcept;

    // Holds new runs back and waits until no run is active.
    void close();
    // Lets runs in again.
    void open();

    // In a fork's child only: threads that waited on the parent's condition variable do
    // not exist here, and the variable's bookkeeping would still count them, so the gate
    // is rebuilt instead of reused.
    void reset_in_child() noexcept;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t active_runs_ = 0;  // guarded by mutex_
    bool closed_ = false;          // guarded by mutex_
};

}  // namespace quillmoor
