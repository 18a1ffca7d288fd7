#pragma once

#include "merge_engine/progress/display_mode.hpp"
#include "merge_engine/progress/progress_template.hpp"
#include "merge_engine/progress/redraw_rate_limiter.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quillmoor {

inline constexpr std::string_view PROGRESS_TEMPLATE =
    "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";
inline constexpr std::string_view PROGRESS_FINISH_MESSAGE = "Processing complete";
inline constexpr int MAX_REDRAWS_PER_SECOND = 20;

// A one-line progress bar on standard error, counting connection records.
// Drawn only where standard error is a terminal and the environment allows it;
// a hidden bar still counts. increase() may be called from many threads at once.
class ProgressBar {
public:
    // PROGRESS_TEMPLATE, shown as the terminal and environment allow (decided now).
    explicit ProgressBar(std::uint64_t length);
    // A given style and display mode, whatever the terminal.
    ProgressBar(std::uint64_t length, DisplayMode mode, ProgressStyle style);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // A bar that was not finished is erased from the terminal.
    ~ProgressBar();

    // Counts at once; redraws at most MAX_REDRAWS_PER_SECOND times a second, and never
    // waits for another thread's redraw.
    void increase(std::uint64_t delta) noexcept;
    // Draws one frame now, whatever the redraw rate (nothing on a hidden or finished bar).
    // Later redraws are rate-limited from this one.
    void redraw_now();
    // Position to the length, one last redraw; the bar stays on screen. The message is
    // stored: the fixed template does not show it.
    void finish_with_message(std::string_view message);

    std::uint64_t position() const noexcept { return position_.load(std::memory_order_relaxed); }
    std::uint64_t length() const noexcept { return length_; }
    bool is_visible() const noexcept { return mode_.visible; }
    bool is_finished() const;
    std::string message() const;

private:
    using Clock = RedrawRateLimiter::Clock;

    // Renders and writes one frame; the caller holds draw_mutex_.
    void draw_locked(Clock::time_point now);

    const std::uint64_t length_;
    std::atomic<std::uint64_t> position_{0};
    const DisplayMode mode_;
    const ProgressStyle style_;
    const Clock::time_point started_;
    RedrawRateLimiter limiter_;

    // Taken after the driver's result lock, never before it.
    mutable std::mutex draw_mutex_;
    bool finished_ = false;          // guarded by draw_mutex_
    bool drawn_ = false;             // guarded by draw_mutex_
    std::uint64_t spinner_tick_ = 0; // guarded by draw_mutex_
    std::string message_;            // guarded by draw_mutex_
};

}  // namespace quillmoor
