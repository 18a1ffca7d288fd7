#pragma once

#include "merge_engine/interruption.hpp"
#include "merge_engine/worker_pool/lowest_failure.hpp"

#include <atomic>
#include <cstddef>
#include <functional>

namespace quillmoor {

// The indices of one run, claimed in chunks by every thread taking part. Chunks start
// large and shrink as the run nears its end (a share of what is left per thread), so
// the threads meet at the end together while claiming rarely. Each chunk runs in
// increasing index order; a failure ends its chunk, and a chunk stops at an index above
// a failure known elsewhere. Indices below every known failure always run, so the
// lowest failing index is always found.
// The run belongs to the interruptible call of the thread that made it (if any): every
// thread working in it checks that call's stop before each index.
class SharedRun {
public:
    SharedRun(std::size_t count, std::size_t threads,
              const std::function<void(std::size_t)>& task) noexcept
        : count_(count), threads_(threads == 0 ? 1 : threads), task_(&task),
          interruption_(current_interruption()) {}

    SharedRun(const SharedRun&) = delete;
    SharedRun& operator=(const SharedRun&) = delete;
    SharedRun(SharedRun&&) = delete;
    SharedRun& operator=(SharedRun&&) = delete;
    ~SharedRun() = default;

    // Claims and runs chunks until none is left. Any thread, any number at once.
    void work();

    // Leaves nothing more to claim: chunks already claimed still finish.
    void stop_claiming() noexcept { next_.store(count_, std::memory_order_relaxed); }

    LowestFailure& failures() noexcept { return failures_; }
    CallInterruption* interruption() const noexcept { return interruption_; }

private:
    void run_chunk(std::size_t begin, std::size_t end);

    const std::size_t count_;
    const std::size_t threads_;
    const std::function<void(std::size_t)>* task_;
    CallInterruption* const interruption_;
    std::atomic<std::size_t> next_{0};
    LowestFailure failures_;
};

}  // namespace quillmoor
