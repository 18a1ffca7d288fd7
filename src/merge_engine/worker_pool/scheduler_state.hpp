#pragma once

#include <oneapi/tbb/task_arena.h>

#include <cstddef>

namespace quillmoor {

// Permission to run one parallel section on the process-wide oneTBB scheduler, and the
// arena to run it in. While any permit lives, a fork of the process waits for it (see
// fork_handlers in scheduler_state.cpp), so oneTBB can be shut down cleanly before the
// fork and started afresh on both sides of it.
class ParallelRunPermit {
public:
    // Asks for an arena of `concurrency` threads (the calling thread included), 2 or more.
    explicit ParallelRunPermit(std::size_t concurrency);
    ~ParallelRunPermit();

    ParallelRunPermit(const ParallelRunPermit&) = delete;
    ParallelRunPermit& operator=(const ParallelRunPermit&) = delete;
    ParallelRunPermit(ParallelRunPermit&&) = delete;
    ParallelRunPermit& operator=(ParallelRunPermit&&) = delete;

    // The arena to run in, or nullptr when the run must stay on the calling thread: in
    // the child of a fork whose parent could not shut oneTBB down, or when the process
    // allows oneTBB a single thread.
    tbb::task_arena* arena() const noexcept { return arena_; }

private:
    tbb::task_arena* arena_ = nullptr;
};

// Marks the calling thread as running tasks of a parallel section for its lifetime. A
// fork from such a thread cannot wait for the section to end, so it leaves oneTBB as is.
class ParallelTaskScope {
public:
    ParallelTaskScope() noexcept;
    ~ParallelTaskScope();

    ParallelTaskScope(const ParallelTaskScope&) = delete;
    ParallelTaskScope& operator=(const ParallelTaskScope&) = delete;
    ParallelTaskScope(ParallelTaskScope&&) = delete;
    ParallelTaskScope& operator=(ParallelTaskScope&&) = delete;
};

}  // namespace quillmoor
