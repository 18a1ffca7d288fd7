#include "merge_engine/progress/work_progress.hpp"

#include <algorithm>
#include <limits>

namespace quillmoor {

std::uint64_t scale_share(std::uint64_t value, std::uint64_t numerator,
                          std::uint64_t denominator) noexcept {
    if (value >= denominator) {
        return numerator;
    }
    if (value == 0 || numerator <= std::numeric_limits<std::uint64_t>::max() / value) {
        return numerator * value / denominator;  // exact, and below numerator
    }
    // Beyond 64-bit products (no 128-bit integers on 32-bit targets): the figures only
    // show on the bar, so an estimate kept below the whole will do.
    const double estimate = static_cast<double>(numerator) *
                            (static_cast<double>(value) / static_cast<double>(denominator));
    if (!(estimate < static_cast<double>(numerator))) {
        return numerator - 1;  // also keeps the conversion below in range
    }
    return std::min(static_cast<std::uint64_t>(estimate), numerator - 1);
}

std::uint64_t WorkProgress::position_after(std::uint64_t done) const noexcept {
    return scale_share(done, bar_.length(), total_);
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
