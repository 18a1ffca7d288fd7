#include "merge_engine/worker_pool/worker_pool.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/lowest_failure.hpp"
#include "merge_engine/worker_pool/scheduler_state.hpp"
#include "merge_engine/worker_pool/tsan_annotations.hpp"

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
void run_indices(const IndexRange& range, const std::function<void(std::size_t)>& task,
                 LowestFailure& failures) {
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

// What every range of one run shares.
struct RunContext {
    const std::function<void(std::size_t)>* task;
    LowestFailure* failures;
};

// The loop body handed to parallel_for. oneTBB copies it into each range it splits off,
// and another thread may run that range: each copy and each run is a hand-over point.
class RangeBody {
public:
    explicit RangeBody(const RunContext& context) noexcept : context_(&context) {}
    RangeBody(const RangeBody& other) noexcept : context_(received_context(other)) {
        tsan::release_handover();
    }
    RangeBody& operator=(const RangeBody&) = delete;
    ~RangeBody() = default;

    void operator()(const IndexRange& range) const {
        const RunContext& context = *received_context(*this);
        const ParallelTaskScope in_task;
        run_indices(range, *context.task, *context.failures);
        tsan::release_handover();
    }

private:
    static const RunContext* received_context(const RangeBody& body) noexcept {
        tsan::acquire_handover();
        return body.context_;
    }

    const RunContext* context_;
};

// The body of the thread that hands one run to the arena. Everything it throws is
// carried back to the caller.
struct ArenaRun {
    tbb::task_arena* arena;
    std::size_t count;
    RunContext context;
    std::exception_ptr* scheduler_failure;

    void operator()() const noexcept {
        try {
            const RangeBody body(context);
            // When the arena's slots are taken by other runs, a worker runs this instead
            // of the current thread: another hand-over.
            const auto run_all = [this, &body] {
                tsan::acquire_handover();
                tbb::parallel_for(IndexRange(0, count, 1), body, tbb::auto_partitioner());
                tsan::release_handover();
            };
            tsan::release_handover();
            arena->execute(run_all);
        } catch (...) {
            *scheduler_failure = std::current_exception();
        }
        tsan::acquire_handover();
    }
};

// Runs every index on an arena of `concurrency` threads, if the permit grants one.
// Returns false, having run nothing, when it does not.
bool run_in_arena(std::size_t count, const std::function<void(std::size_t)>& task,
                  std::size_t concurrency) {
    const ParallelRunPermit permit(concurrency);
    if (permit.arena() == nullptr) {
        return false;
    }
    LowestFailure failures;
    std::exception_ptr scheduler_failure;
    // The run is handed to a thread of its own, which joins the arena and exits with it.
    // oneTBB keeps per-thread state for every thread that enters an arena until that
    // thread ends; keeping the caller (typically a Python thread that lives on) out of it
    // lets the scheduler be shut down before a fork.
    try {
        std::thread runner(
            ArenaRun{permit.arena(), count, RunContext{&task, &failures}, &scheduler_failure});
        runner.join();
    } catch (const std::system_error& error) {
        raise_internal_error(std::string("worker pool: cannot start a thread: ") +
                             error.what());
    }
    if (scheduler_failure) {
        std::rethrow_exception(scheduler_failure);
    }
    failures.rethrow_if_any();
    return true;
}

}  // namespace

void run_indexed(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t)>& task) {
    const std::size_t concurrency = std::min({workers, count, MAX_WORKERS});
    if (concurrency > 1 && run_in_arena(count, task, concurrency)) {
        return;
    }
    // Without holding a permit: a task here may fork, and the fork would wait for it.
    run_in_order(count, task);
}

}  // namespace quillmoor
