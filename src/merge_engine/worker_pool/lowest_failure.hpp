#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>

namespace quillmoor {

// The failure of the lowest-indexed task seen so far in one run. Any thread may record
// a failure; a task whose index lies above the lowest known failure need not run, since
// its failure could never be the one reported.
class LowestFailure {
public:
    // True when a failure at an index below `index` is already known.
    bool is_known_below(std::size_t index) const noexcept {
        return lowest_index_.load(std::memory_order_relaxed) < index;
    }

    // Keeps `error` when `index` is lower than every failure recorded so far. An empty
    // `error` stands for a failure whose exception could not be kept for want of memory.
    // Never throws: a failure must not be lost on its way to the caller.
    void record(std::size_t index, std::exception_ptr error) noexcept;

    // Rethrows the recorded failure, if any (std::bad_alloc for one without exception).
    void rethrow_if_any() const;

private:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    // A spin lock, not std::mutex: taking it cannot fail, and it is held for a few
    // instructions once per failure.
    mutable std::atomic_flag busy_;
    std::exception_ptr error_;  // guarded by busy_
    std::atomic<std::size_t> lowest_index_{none};
};

}  // namespace quillmoor
