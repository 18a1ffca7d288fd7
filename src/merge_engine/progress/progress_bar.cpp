#include "merge_engine/progress/progress_bar.hpp"

#include "merge_engine/progress/frame_renderer.hpp"
#include "merge_engine/progress/terminal_line.hpp"
#include "merge_engine/stderr_channel.hpp"

#include <utility>

namespace quillmoor {

namespace {

constexpr std::chrono::nanoseconds MIN_REDRAW_INTERVAL =
    std::chrono::nanoseconds(std::chrono::seconds(1)) / MAX_REDRAWS_PER_SECOND;

}  // namespace

ProgressBar::ProgressBar(std::uint64_t length)
    : ProgressBar(length, decide_display_mode(read_terminal_environment()),
                  ProgressStyle::from_template(PROGRESS_TEMPLATE)) {}

ProgressBar::ProgressBar(std::uint64_t length, DisplayMode mode, ProgressStyle style)
    : length_(length),
      mode_(mode),
      style_(std::move(style)),
      started_(Clock::now()),
      limiter_(MIN_REDRAW_INTERVAL) {}

ProgressBar::~ProgressBar() {
    // Only a failing call gets here unfinished; erasing its bar must not raise a second
    // failure on top of the first.
    try {
        const std::lock_guard lock(draw_mutex_);
        if (finished_) {
            return;
        }
        finished_ = true;
        position_.store(length_, std::memory_order_relaxed);
        if (drawn_) {
            stderr_channel::clear_bar_line();
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): nothing sound is left to do; stderr
                     // writes are no cancellation points, so no forced unwind is caught
    }
}

void ProgressBar::increase(std::uint64_t delta) noexcept {
    if (delta == 0) {
        return;
    }
    position_.fetch_add(delta, std::memory_order_relaxed);
    if (!mode_.visible) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (!limiter_.redraw_due(now)) {
        return;
    }
    // A worker holds the driver's result lock here: whoever is already redrawing
    // draws for everyone.
    const std::unique_lock lock(draw_mutex_, std::try_to_lock);
    if (!lock.owns_lock() || finished_ || !limiter_.redraw_due(now)) {
        return;
    }
    limiter_.record_redraw(now);
    try {
        draw_locked(now);
    } catch (...) {  // NOLINT(bugprone-empty-catch): a frame lost for want of memory only
                     // delays the display (no forced unwind: stderr writes do not cancel)
    }
}

void ProgressBar::redraw_now() {
    if (!mode_.visible) {
        return;
    }
    const std::lock_guard lock(draw_mutex_);
    if (finished_) {
        return;
    }
    const Clock::time_point now = Clock::now();
    limiter_.record_redraw(now);
    draw_locked(now);
}

void ProgressBar::finish_with_message(std::string_view message) {
    const std::lock_guard lock(draw_mutex_);
    message_ = message;
    if (finished_) {
        return;
    }
    position_.store(length_, std::memory_order_relaxed);
    finished_ = true;
    if (mode_.visible) {
        draw_locked(Clock::now());
        stderr_channel::leave_bar_line();
    }
}

bool ProgressBar::is_finished() const {
    const std::lock_guard lock(draw_mutex_);
    return finished_;
}

std::string ProgressBar::message() const {
    const std::lock_guard lock(draw_mutex_);
    return message_;
}

void ProgressBar::draw_locked(Clock::time_point now) {
    FrameState state;
    state.position = position();
    state.length = length_;
    state.elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_);
    state.spinner_tick = spinner_tick_++;
    state.finished = finished_;
    state.message = message_;
    const std::string frame = render_frame(style_, state, mode_.colours);
    stderr_channel::write_bar_line(fit_to_columns(frame, stderr_terminal_columns()));
    drawn_ = true;
}

}  // namespace quillmoor
