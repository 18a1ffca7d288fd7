#include "merge_engine/worker_pool/lowest_failure.hpp"

#include <new>
#include <thread>
#include <utility>

namespace quillmoor {

namespace {

class SpinGuard {
public:
    explicit SpinGuard(std::atomic_flag& flag) noexcept : flag_(flag) {
        while (flag_.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    ~SpinGuard() { flag_.clear(std::memory_order_release); }
    SpinGuard(const SpinGuard&) = delete;
    SpinGuard& operator=(const SpinGuard&) = delete;

private:
    std::atomic_flag& flag_;
};

}  // namespace

void LowestFailure::record(std::size_t index, std::exception_ptr error) noexcept {
    const SpinGuard guard(busy_);
    if (index < lowest_index_.load(std::memory_order_relaxed)) {
        error_ = std::move(error);
        lowest_index_.store(index, std::memory_order_relaxed);
    }
}

void LowestFailure::rethrow_if_any() const {
    std::exception_ptr error;
    bool failed = false;
    {
        const SpinGuard guard(busy_);
        error = error_;
        failed = lowest_index_.load(std::memory_order_relaxed) != none;
    }
    if (error) {
        std::rethrow_exception(error);
    }
    if (failed) {
        throw std::bad_alloc();
    }
}

}  // namespace quillmoor
