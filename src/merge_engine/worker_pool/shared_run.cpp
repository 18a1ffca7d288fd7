#include "merge_engine/worker_pool/shared_run.hpp"

#include "merge_engine/forced_unwind.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/stderr_channel.hpp"

#include <algorithm>
#include <exception>
#include <string>

namespace quillmoor {

void SharedRun::work() {
    const InterruptionScope call(interruption_);
    std::size_t begin = next_.load(std::memory_order_relaxed);
    while (begin < count_) {
        const std::size_t length = std::max<std::size_t>(1, (count_ - begin) / (2 * threads_));
        if (next_.compare_exchange_weak(begin, begin + length, std::memory_order_relaxed)) {
            run_chunk(begin, begin + length);
            begin = next_.load(std::memory_order_relaxed);
        }
    }
}

void SharedRun::run_chunk(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i != end; ++i) {
        if (failures_.is_known_below(i)) {
            return;
        }
        try {
            interruption_point();
            (*task_)(i);
        } catch (...) {
            std::exception_ptr error = storable_exception();
            if (error) {
                failures_.record(i, std::move(error));
                return;
            }
            // The thread is being ended (pthread_exit or cancellation inside the task).
            // Its index did not complete: the run must not report success without it.
            // Nothing may escape this handler but the unwind itself.
            std::exception_ptr failure;
            try {
                const std::string text =
                    "worker pool: the thread running task " + std::to_string(i) + " was ended";
                stderr_channel::write_report(text);
                failure = std::make_exception_ptr(InternalError(text));
            } catch (...) {  // NOLINT(bugprone-empty-catch): recorded below without its text
            }
            failures_.record(i, failure);
            throw;
        }
    }
}

}  // namespace quillmoor
