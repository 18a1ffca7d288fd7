#pragma once

#include <cstddef>
#include <functional>

namespace quillmoor {

// The process-wide pool never runs more threads than this for one call.
inline constexpr std::size_t MAX_WORKERS = 255;

// Worker count for one call: `num_threads` when above 0; otherwise RAYON_NUM_THREADS,
// then RAYON_RS_NUM_CPUS, then the processors available to the process, then 1.
// Capped at MAX_WORKERS.
std::size_t resolve_worker_count(std::size_t num_threads);

// Runs task(i) once for every i in [0, count) on at most `workers` threads of the
// process-wide pool (created on first need, never torn down). With workers == 1 or
// count <= 1 the calling thread runs the indices itself, in increasing order.
// Otherwise the calling thread only waits: a thread of the pool's own runs the indices
// on a oneTBB arena of `workers` threads (fewer when the process limits oneTBB to fewer).
// Any thread may call at any time, several at once. A fork waits for the runs in
// progress; the child starts its own worker threads.
// If tasks throw, every task already started is waited for, then the exception of the
// lowest failing index is rethrown on the calling thread; indices above a known
// failure may be skipped.
void run_indexed(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t)>& task);

}  // namespace quillmoor
