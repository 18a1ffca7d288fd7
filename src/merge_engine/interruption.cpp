#include "merge_engine/interruption.hpp"

namespace quillmoor {

namespace {

thread_local CallInterruption* current_call = nullptr;

// A poll that took this long (it waited to run the host's code) spaces the next ones out
// to ten times its length, up to MAX_POLL_SPACING: asking never takes more than about a
// tenth of the calling thread's time, and a stop is still seen well within 0.1 s.
constexpr std::chrono::nanoseconds SLOW_POLL = std::chrono::milliseconds(1);
constexpr std::chrono::nanoseconds MAX_POLL_SPACING = std::chrono::milliseconds(40);
constexpr int SLOW_POLL_SPACING_FACTOR = 10;

}  // namespace

CallInterruption::CallInterruption(StopPoll poll) noexcept
    : poll_(poll), caller_(std::this_thread::get_id()), next_poll_(Clock::now() + poll.interval) {}

void CallInterruption::check_on_calling_thread() {
    if (poll_if_due()) {
        throw MergeInterrupted();
    }
}

bool CallInterruption::poll_while_waiting() noexcept {
    return stop_requested() || poll_if_due();
}

bool CallInterruption::poll_if_due() noexcept {
    if (poll_.ask == nullptr || std::this_thread::get_id() != caller_) {
        return false;
    }
    const Clock::time_point asked = Clock::now();
    if (asked < next_poll_) {
        return false;
    }
    if (poll_.ask(poll_.context)) {
        stop_.store(true, std::memory_order_relaxed);
        return true;
    }
    const Clock::time_point answered = Clock::now();
    const auto took = answered - asked;
    const std::chrono::nanoseconds spacing =
        took < SLOW_POLL ? poll_.interval
                         : std::max<std::chrono::nanoseconds>(
                               poll_.interval, std::min<std::chrono::nanoseconds>(
                                                   SLOW_POLL_SPACING_FACTOR * took, MAX_POLL_SPACING));
    next_poll_ = answered + spacing;
    return false;
}

InterruptionScope::InterruptionScope(CallInterruption* interruption) noexcept
    : previous_(current_call) {
    current_call = interruption;
}

InterruptionScope::~InterruptionScope() { current_call = previous_; }

CallInterruption* current_interruption() noexcept { return current_call; }

void interruption_point() {
    if (current_call != nullptr) {
        current_call->check();
    }
}

}  // namespace quillmoor
