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

// Runs task(i) once for every i in [0, count) on at most `workers` threads: the calling
// thread and threads of the process-wide pool (started on first need, kept for the life
// of the process). With workers == 1 or count <= 1 the calling thread runs the indices
// itself, in increasing order. Threads that the process may not start (a process or
// memory limit) are done without: the run then uses fewer, at the least the calling
// thread. Any thread may call at any time, several at once; a fork's child starts
// pool threads of its own.
// If tasks throw, every task already started is waited for, then the exception of the
// lowest failing index is rethrown on the calling thread; indices above a known
// failure may be skipped. A task that ends its thread (pthread_exit, cancellation)
// fails the run when that thread is a pool thread; the calling thread's own end passes
// through, after the run is closed and its pool threads have left it.
// Inside an interruptible call (run_interruptible), every thread checks the call's stop
// before each index, and the calling thread goes on asking its poll while it waits for
// the pool's threads; a stop ends the run with MergeInterrupted.
void run_indexed(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t)>& task);

}  // namespace quillmoor
