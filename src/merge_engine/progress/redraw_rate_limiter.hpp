#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

namespace quillmoor {

// At most one redraw per interval. The check is one relaxed atomic load, so every
// worker can make it on each increase; only the thread that then wins the bar's lock
// records its redraw.
class RedrawRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RedrawRateLimiter(std::chrono::nanoseconds min_interval) noexcept
        : min_interval_(min_interval) {}

    bool redraw_due(Clock::time_point now) const noexcept {
        return ticks(now) >= next_allowed_.load(std::memory_order_relaxed);
    }

    void record_redraw(Clock::time_point now) noexcept {
        next_allowed_.store(ticks(now) + min_interval_.count(), std::memory_order_relaxed);
    }

private:
    static std::int64_t ticks(Clock::time_point when) noexcept {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch())
            .count();
    }

    std::chrono::nanoseconds min_interval_;
    std::atomic<std::int64_t> next_allowed_{std::numeric_limits<std::int64_t>::min()};
};

}  // namespace quillmoor
