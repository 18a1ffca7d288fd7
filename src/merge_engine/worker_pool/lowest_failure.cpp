#include "merge_engine/worker_pool/lowest_failure.hpp"

#include <utility>

namespace quillmoor {

void LowestFailure::record(std::size_t index, std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (index < lowest_index_.load(std::memory_order_relaxed)) {
        error_ = std::move(error);
        lowest_index_.store(index, std::memory_order_relaxed);
    }
}

void LowestFailure::rethrow_if_any() const {
    std::exception_ptr error;
    {
        const std::lock_guard lock(mutex_);
        error = error_;
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace quillmoor
