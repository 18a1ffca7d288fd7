#include "merge_engine/progress/work_progress.hpp"

#include <algorithm>
#include <limits>

namespace quillmoor {

std::uint64_t WorkProgress::position_after(std::uint64_t done) const noexcept {
    const std::uint64_t length = bar_.length();
    if (done >= total_) {
        return length;
    }
    if (done == 0 || length <= std::numeric_limits<std::uint64_t>::max() / done) {
        return length * done / total_;  // exact, and below length since done < total
    }
    // Beyond 64-bit products (no 128-bit integers on 32-bit targets): the position only
    // shows, so a float64 estimate kept below the length will do.
    const double estimate =
        static_cast<double>(length) * (static_cast<double>(done) / static_cast<double>(total_));
    return std::min(static_cast<std::uint64_t>(estimate), length - 1);
}

void WorkProgress::advance(std::uint64_t units) noexcept {
    // Each caller owns the interval [before, before + units) of the work, so the deltas
    // of all callers add up to exactly the positions crossed, whatever their order.
    const std::uint64_t before = done_.fetch_add(units, std::memory_order_relaxed);
    const std::uint64_t from = position_after(before);
    const std::uint64_t to = position_after(before + units);
    bar_.increase(to - from);
}

}  // namespace quillmoor
