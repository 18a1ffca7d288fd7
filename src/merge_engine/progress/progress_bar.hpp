#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace quillmoor {

inline constexpr std::string_view PROGRESS_TEMPLATE =
    "{spinner:.green} [{elapsed_precise}] [{bar:40.cyan/blue}] {pos}/{len} ({eta})";
inline constexpr std::string_view PROGRESS_FINISH_MESSAGE = "Processing complete";

// A one-line progress bar on standard error, counting finished records.
// Drawn only where standard error is a terminal and the environment allows it;
// a hidden bar still counts. increase() may be called from many threads at once.
class ProgressBar {
public:
    explicit ProgressBar(std::uint64_t length);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // A bar that was not finished is erased from the terminal.
    ~ProgressBar();

    void increase(std::uint64_t delta) noexcept;
    // Position to the length, one last redraw; the bar stays on screen.
    void finish_with_message(std::string_view message);

    std::uint64_t position() const noexcept { return position_.load(std::memory_order_relaxed); }
    std::uint64_t length() const noexcept { return length_; }

private:
    std::uint64_t length_;
    std::atomic<std::uint64_t> position_{0};
};

}  // namespace quillmoor
