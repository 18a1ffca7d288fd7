#include "merge_engine/worker_pool/worker_pool.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/lowest_failure.hpp"
#include "merge_engine/worker_pool/scheduler_state.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

namespace quillmoor {

namespace {

using IndexRange = tbb::blocked_range<std::size_t>;

void run_in_order(std::size_t count, const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < count; ++i) {
        task(i);
    }
}

// Runs one range's indices in increasing order. A failure ends the range, and so does
// reaching an index above a failure known elsewhere; indices below every known failure
// always run, so the lowest failing index is always found.
void run_range(const IndexRange& range, const std::function<void(std::size_t)>& task,
               LowestFailure& failures) {
    const ParallelTaskScope in_task;
    for (std::size_t i = range.begin(); i != range.end(); ++i) {
        if (failures.is_known_below(i)) {
            return;
        }
        try {
            task(i);
        } catch (...) {
            failures.record(i, std::current_exception());
            return;
        }
    }
}

// The body of the thread that hands one run to the arena. Everything it throws is
// carried back to the caller.
struct ArenaRun {
    tbb::task_arena* arena;
    std::size_t count;
    const std::function<void(std::size_t)>* task;
    LowestFailure* failures;
    std::exception_ptr* scheduler_failure;

    void operator()() const noexcept {
        try {
            arena->execute([this] {
                tbb::parallel_for(
                    IndexRange(0, count, 1),
                    [this](const IndexRange& range) { run_range(range, *task, *failures); },
                    tbb::auto_partitioner());
            });
        } catch (...) {
            *scheduler_failure = std::current_exception();
        }
    }
};

}  // namespace

void run_indexed(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t)>& task) {
    const std::size_t concurrency = std::min({workers, count, MAX_WORKERS});
    if (concurrency <= 1) {
        run_in_order(count, task);
        return;
    }
    const ParallelRunPermit permit(concurrency);
    if (permit.arena() == nullptr) {
        run_in_order(count, task);
        return;
    }
    LowestFailure failures;
    std::exception_ptr scheduler_failure;
    // The run is handed to a thread of its own, which joins the arena and exits with it.
    // oneTBB keeps per-thread state for every thread that enters an arena until that
    // thread ends; keeping the caller (typically a Python thread that lives on) out of it
    // lets the scheduler be shut down before a fork.
    try {
        std::thread runner(
            ArenaRun{permit.arena(), count, &task, &failures, &scheduler_failure});
        runner.join();
    } catch (const std::system_error& error) {
        raise_internal_error(std::string("worker pool: cannot start a thread: ") +
                             error.what());
    }
    if (scheduler_failure) {
        std::rethrow_exception(scheduler_failure);
    }
    failures.rethrow_if_any();
}

}  // namespace quillmoor
