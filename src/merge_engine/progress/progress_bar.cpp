// Hidden stand-in until the terminal renderer lands: counts, draws nothing.
#include "merge_engine/progress/progress_bar.hpp"

namespace quillmoor {

ProgressBar::ProgressBar(std::uint64_t length) : length_(length) {}

ProgressBar::~ProgressBar() = default;

void ProgressBar::increase(std::uint64_t delta) noexcept {
    position_.fetch_add(delta, std::memory_order_relaxed);
}

void ProgressBar::finish_with_message(std::string_view /*message*/) {
    position_.store(length_, std::memory_order_relaxed);
}

}  // namespace quillmoor
