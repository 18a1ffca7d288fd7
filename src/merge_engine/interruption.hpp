#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <thread>

namespace quillmoor {

// How often the calling thread asks whether to stop: often enough that a stop feels
// immediate, rarely enough that asking costs nothing measurable.
inline constexpr std::chrono::nanoseconds STOP_POLL_INTERVAL = std::chrono::milliseconds(4);

// Asked by the calling thread of an engine call, at most every `interval` while the call
// runs, whether the call should stop. It may block for a while (to run the host's signal
// handlers, say) but must not throw. An empty poll is never asked.
struct StopPoll {
    bool (*ask)(void* context) noexcept = nullptr;
    void* context = nullptr;
    std::chrono::nanoseconds interval = STOP_POLL_INTERVAL;
};

// The call stopped because its poll said so. Not a failure of the merge: nothing is
// reported, and it unwinds through the engine like any failure, leaving no result.
class MergeInterrupted final : public std::exception {
public:
    const char* what() const noexcept override { return "the merge was interrupted"; }
};

// The stop state of one engine call. Every thread working for the call checks it at its
// interruption points; the calling thread also asks the poll there when it is due. Once
// the poll says stop, every check throws MergeInterrupted, on every thread.
class CallInterruption {
public:
    explicit CallInterruption(StopPoll poll) noexcept;
    CallInterruption(const CallInterruption&) = delete;
    CallInterruption& operator=(const CallInterruption&) = delete;

    // Throws MergeInterrupted when the call is to stop. Cheap on every thread.
    void check() {
        if (stop_requested()) [[unlikely]] {
            throw MergeInterrupted();
        }
        if (poll_.ask != nullptr) {
            check_on_calling_thread();
        }
    }

    // For a calling thread that waits (for the pool's threads, say) instead of working:
    // asks the poll when it is due, never throws. True once the call is to stop.
    bool poll_while_waiting() noexcept;

    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // How long a waiting calling thread may sleep between two polls.
    std::chrono::nanoseconds wait_step() const noexcept {
        return std::max<std::chrono::nanoseconds>(poll_.interval, std::chrono::milliseconds(1));
    }

private:
    using Clock = std::chrono::steady_clock;

    void check_on_calling_thread();
    // Asks the poll if this is the calling thread and the poll is due; true on stop.
    bool poll_if_due() noexcept;

    const StopPoll poll_;
    const std::thread::id caller_;
    Clock::time_point next_poll_;  // the calling thread's alone
    std::atomic<bool> stop_{false};
};

// Makes `interruption` the current call of this thread for the scope's life (null: none),
// and restores the previous one after: calls may nest.
class InterruptionScope {
public:
    explicit InterruptionScope(CallInterruption* interruption) noexcept;
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

private:
    CallInterruption* previous_;
};

// This thread's current call, or null outside any interruptible call.
CallInterruption* current_interruption() noexcept;

// Throws MergeInterrupted when this thread's current call is to stop (see
// CallInterruption::check); does nothing outside an interruptible call.
void interruption_point();

// Interruption points this far apart in a loop over rows or records: well under a
// millisecond of work, while the check costs nothing against the loop.
inline constexpr std::size_t INTERRUPTION_CHECK_ITEMS = 4096;

// action(i) for every i in [begin, end) in increasing order, with an interruption point
// before every INTERRUPTION_CHECK_ITEMS of them.
template <typename Action>
void for_each_interruptible(std::size_t begin, std::size_t end, Action&& action) {
    for (std::size_t block = begin; block < end;) {
        interruption_point();
        const std::size_t block_end = std::min(end, block + INTERRUPTION_CHECK_ITEMS);
        for (; block < block_end; ++block) {
            action(block);
        }
    }
}

// Runs `work` (an engine entry point) as one call that `poll` can stop: the work's
// threads stop at their next interruption point and the call throws MergeInterrupted.
// When the poll said stop, the call never returns a result, however far it got.
template <typename Work>
auto run_interruptible(StopPoll poll, Work&& work) -> decltype(work()) {
    CallInterruption interruption(poll);
    const InterruptionScope scope(&interruption);
    auto result = work();
    if (interruption.stop_requested()) {
        throw MergeInterrupted();
    }
    return result;
}

}  // namespace quillmoor
