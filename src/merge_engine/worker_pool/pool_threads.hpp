#pragma once

#include "merge_engine/worker_pool/shared_run.hpp"

#include <cstddef>

namespace quillmoor {

// Runs `run` on the calling thread together with up to `helpers` threads of the
// process-wide pool, and returns once every thread that took part has left it.
// The pool starts its threads on first need and keeps them for the life of the process
// (of the process that started them: after a fork the child starts its own). A thread
// that cannot be started (a process or memory limit) is not an error: the run goes on
// with the threads there are, at the least the calling one, and a later run tries again.
// Exceptions of the run's tasks stay in `run.failures()`.
void run_with_helpers(SharedRun& run, std::size_t helpers);

}  // namespace quillmoor
