#pragma once

#include "merge_engine/progress/progress_bar.hpp"

#include <atomic>
#include <cstdint>

namespace quillmoor {

// floor(value * numerator / denominator) for value <= denominator: exact while the product
// fits 64 bits, a float64 estimate kept below numerator (for value < denominator) beyond.
std::uint64_t scale_share(std::uint64_t value, std::uint64_t numerator,
                          std::uint64_t denominator) noexcept;

// Moves a bar of n connection records in proportion to the work done: with `total`
// units of work, `done` of them finished, the position is floor(n * done / total). The
// position reaches n only when every unit is done (or when the bar is finished), so a
// bar never shows n/n while work remains. advance() may be called from many threads.
class WorkProgress {
public:
    WorkProgress(ProgressBar& bar, std::uint64_t total_units) noexcept
        : bar_(bar), total_(total_units) {}

    void advance(std::uint64_t units) noexcept;

    // Draws the bar now, whatever the redraw rate: the driver calls it once, half-way,
    // so that even a call too quick for the rate limit shows how far it got.
    void draw_milestone() { bar_.redraw_now(); }

    // Position of the bar after `done` units.
    std::uint64_t position_after(std::uint64_t done) const noexcept;

private:
    ProgressBar& bar_;
    const std::uint64_t total_;
    std::atomic<std::uint64_t> done_{0};
};

}  // namespace quillmoor
