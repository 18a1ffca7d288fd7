// The process-wide oneTBB state behind the worker pool: one arena per concurrency, kept
// for the life of the process, and the fork handlers that shut oneTBB down before a fork
// so that both sides of it can start worker threads again.
#include "merge_engine/worker_pool/scheduler_state.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/run_gate.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <new>

namespace quillmoor {

namespace {

thread_local int parallel_task_depth = 0;

class SchedulerState {
public:
    // Created on first need and never destroyed: runs may still be in flight on other
    // threads while static destructors run at exit.
    static SchedulerState& instance() {
        static SchedulerState* const state = new SchedulerState();
        return *state;
    }

    SchedulerState(const SchedulerState&) = delete;
    SchedulerState& operator=(const SchedulerState&) = delete;
    SchedulerState(SchedulerState&&) = delete;
    SchedulerState& operator=(SchedulerState&&) = delete;

    tbb::task_arena* begin_run(std::size_t concurrency) {
        gate_.enter();
        try {
            return arena_for(concurrency);
        } catch (...) {
            gate_.leave();
            throw;
        }
    }

    void end_run() noexcept { gate_.leave(); }

    void prepare_fork() noexcept;
    void after_fork_in_parent() noexcept;
    void after_fork_in_child() noexcept;

private:
    SchedulerState() {
        // oneTBB starts no more worker threads than the processors available unless told
        // otherwise, and a call asks for up to MAX_WORKERS threads. This only raises the
        // ceiling: oneTBB applies the lowest of all such limits in the process, so a
        // lower one set elsewhere still wins (arena_for then stays below it).
        parallelism_ceiling_ = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, MAX_WORKERS);
        scheduler_handle_ = tbb::task_scheduler_handle(tbb::attach{});
        if (pthread_atfork(&prepare_fork_handler, &parent_fork_handler, &child_fork_handler) !=
            0) {
            // Without them a forked child could hang on the parent's worker threads.
            raise_internal_error("worker pool: cannot register the fork handlers");
        }
    }
    ~SchedulerState() = default;

    tbb::task_arena* arena_for(std::size_t concurrency);
    void terminate_arenas() noexcept;

    static void prepare_fork_handler() { instance().prepare_fork(); }
    static void parent_fork_handler() { instance().after_fork_in_parent(); }
    static void child_fork_handler() { instance().after_fork_in_child(); }

    std::unique_ptr<tbb::global_control> parallelism_ceiling_;
    tbb::task_scheduler_handle scheduler_handle_;
    RunGate gate_;

    std::mutex arenas_mutex_;
    // Index: the arena's concurrency. Arenas are made on first need and kept, so
    // concurrent runs of one concurrency share its threads, as they would share a pool.
    std::array<std::unique_ptr<tbb::task_arena>, MAX_WORKERS + 1> arenas_;  // guarded

    // Written by the fork handlers only, while the gate is closed or in the child.
    bool scheduler_usable_ = true;
    bool fork_prepared_ = false;
    bool scheduler_finalized_ = false;
};

tbb::task_arena* SchedulerState::arena_for(std::size_t concurrency) {
    if (!scheduler_usable_) {
        return nullptr;
    }
    // Asking for more than the active limit makes oneTBB print a warning on stderr.
    const std::size_t limit =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    concurrency = std::min({concurrency, limit, MAX_WORKERS});
    if (concurrency < 2) {
        return nullptr;
    }
    const std::lock_guard lock(arenas_mutex_);
    std::unique_ptr<tbb::task_arena>& arena = arenas_.at(concurrency);
    if (!arena) {
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(concurrency));
    }
    return arena.get();
}

void SchedulerState::terminate_arenas() noexcept {
    const std::lock_guard lock(arenas_mutex_);
    for (const auto& arena : arenas_) {
        if (arena) {
            arena->terminate();  // the object stays; its next run initializes it again
        }
    }
}

void SchedulerState::prepare_fork() noexcept {
    fork_prepared_ = false;
    scheduler_finalized_ = false;
    // A task that forks cannot wait for its own run to end; oneTBB stays as it is and
    // the child runs everything on its calling thread.
    if (parallel_task_depth > 0) {
        return;
    }
    try {
        gate_.close();
        fork_prepared_ = true;
        if (scheduler_usable_) {
            // oneTBB's worker threads do not survive a fork. Shutting the scheduler down
            // (arenas first: each holds it alive) joins them, so the child can start its
            // own. This fails while some other code still holds oneTBB.
            terminate_arenas();
            scheduler_finalized_ = tbb::finalize(scheduler_handle_, std::nothrow);
        }
    } catch (...) {
        // Nothing to undo: the parent handler reopens the gate.
    }
}

void SchedulerState::after_fork_in_parent() noexcept {
    if (!fork_prepared_) {
        return;
    }
    try {
        if (!scheduler_handle_) {
            scheduler_handle_ = tbb::task_scheduler_handle(tbb::attach{});
        }
        gate_.open();
    } catch (...) {
    }
}

void SchedulerState::after_fork_in_child() noexcept {
    // The child has only the forking thread: no run is active here, whatever the parent
    // was doing.
    gate_.reset_in_child();
    // Unless the parent shut oneTBB down, the child's copy of it still counts on the
    // parent's worker threads; it is never touched again in this process.
    scheduler_usable_ = scheduler_usable_ && fork_prepared_ && scheduler_finalized_;
    if (scheduler_usable_) {
        try {
            scheduler_handle_ = tbb::task_scheduler_handle(tbb::attach{});
        } catch (...) {
            scheduler_usable_ = false;
        }
    }
}

}  // namespace

ParallelRunPermit::ParallelRunPermit(std::size_t concurrency)
    : arena_(SchedulerState::instance().begin_run(concurrency)) {}

ParallelRunPermit::~ParallelRunPermit() { SchedulerState::instance().end_run(); }

ParallelTaskScope::ParallelTaskScope() noexcept { ++parallel_task_depth; }

ParallelTaskScope::~ParallelTaskScope() { --parallel_task_depth; }

}  // namespace quillmoor
