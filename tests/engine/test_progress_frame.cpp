#include "merge_engine/progress/duration_text.hpp"
#include "merge_engine/progress/frame_renderer.hpp"
#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/terminal_line.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>

namespace quillmoor {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

std::string cells(std::string_view glyph, std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) {
        out += glyph;
    }
    return out;
}

std::string fixed_frame(const FrameState& state, bool colours) {
    static const ProgressStyle style = ProgressStyle::from_template(PROGRESS_TEMPLATE);
    return render_frame(style, state, colours);
}

TEST(ProgressFrame, FixedTemplatePlainAndInColour) {
    const FrameState quarter{.position = 10, .length = 40, .elapsed = seconds(75), .spinner_tick = 3};
    EXPECT_EQ(fixed_frame(quarter, false),
              "⠙ [00:01:15] [" + cells("█", 10) + cells("░", 30) + "] 10/40 (3m)");
    EXPECT_EQ(fixed_frame(quarter, true),
              "\x1b[32m⠙\x1b[0m [00:01:15] [\x1b[36m" + cells("█", 10) + "\x1b[0m\x1b[34m" +
                  cells("░", 30) + "\x1b[0m] 10/40 (3m)");
}

TEST(ProgressFrame, EndsOfTheBar) {
    // Finished: blank spinner, full bar, nothing left.
    const FrameState finished{
        .position = 7, .length = 7, .elapsed = seconds(3661), .spinner_tick = 5, .finished = true};
    EXPECT_EQ(fixed_frame(finished, false), "  [01:01:01] [" + cells("█", 40) + "] 7/7 (0s)");
    // Nothing to do at all is a full bar, not an empty one; empty parts carry no colour.
    const FrameState nothing_to_do{.finished = true};
    EXPECT_EQ(fixed_frame(nothing_to_do, true),
              "\x1b[32m \x1b[0m [00:00:00] [\x1b[36m" + cells("█", 40) + "\x1b[0m] 0/0 (0s)");
    // Nothing done yet: empty bar, unknown estimate.
    const FrameState not_started{.position = 0, .length = 5, .elapsed = seconds(2)};
    EXPECT_EQ(fixed_frame(not_started, false), "⠁ [00:00:02] [" + cells("░", 40) + "] 0/5 (?)");
}

TEST(ProgressFrame, SpinnerTakesTheTwentyNineFramesInTurnAndOtherFieldsRender) {
    std::string all;
    for (const std::string_view frame : SPINNER_FRAMES) {
        all += frame;
    }
    EXPECT_EQ(all, "⠁⠁⠉⠙⠚⠒⠂⠂⠒⠲⠴⠤⠄⠄⠤⠠⠠⠤⠦⠖⠒⠐⠐⠒⠓⠋⠉⠈⠈");
    const ProgressStyle style = ProgressStyle::from_template("{spinner}{{{bar:4}}}{msg}");
    for (std::uint64_t tick = 0; tick < 60; ++tick) {
        const FrameState state{.position = 1, .length = 2, .spinner_tick = tick, .message = "m"};
        EXPECT_EQ(render_frame(style, state, false),
                  std::string(SPINNER_FRAMES[tick % 29]) + "{██░░}m");
    }
}

std::size_t filled_of_40(std::uint64_t position, std::uint64_t length) {
    return filled_cells(FrameState{.position = position, .length = length}, 40);
}

TEST(ProgressFrame, FilledCellsRoundDownAndNeverOverflow) {
    EXPECT_EQ(filled_of_40(1, 3), 13U);
    EXPECT_EQ(filled_of_40(2, 3), 26U);
    EXPECT_EQ(filled_of_40(39, 40), 39U);
    EXPECT_EQ(filled_of_40(9, 3), 40U);
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(filled_of_40(top - 1, top), 39U);  // one short of done is not full
    EXPECT_EQ(filled_of_40(top / 2, top), 19U);
    EXPECT_EQ(filled_of_40(1, top), 0U);
}

TEST(ProgressFrame, ElapsedAndEta) {
    EXPECT_EQ(format_elapsed_precise(std::chrono::milliseconds(59999)), "00:00:59");
    EXPECT_EQ(format_elapsed_precise(seconds(3600 * 100 + 61)), "100:01:01");
    EXPECT_EQ(estimate_remaining(1, 4, seconds(2)), seconds(6));
    // A rate that would overflow saturates instead of wrapping to a negative time.
    EXPECT_EQ(estimate_remaining(1, std::numeric_limits<std::uint64_t>::max(), seconds(1000)),
              nanoseconds::max());
    EXPECT_EQ(format_eta(seconds(59)), "59s");
    EXPECT_EQ(format_eta(seconds(60)), "1m");
    EXPECT_EQ(format_eta(seconds(3599)), "59m");
    EXPECT_EQ(format_eta(seconds(86399)), "23h");
    EXPECT_EQ(format_eta(seconds(86400 * 3)), "3d");
}

TEST(ProgressFrame, FittingToTheTerminalCountsCharactersNotBytesOrEscapes) {
    EXPECT_EQ(fit_to_columns("abcdef", 4), "abcd");
    EXPECT_EQ(fit_to_columns("█░█░█", 3), "█░█");
    EXPECT_EQ(fit_to_columns("\x1b[36m████\x1b[0m", 4), "\x1b[36m████\x1b[0m");
    EXPECT_EQ(fit_to_columns("\x1b[36m████\x1b[0mab", 2), "\x1b[36m██\x1b[0m");
    const FrameState state{.position = 123, .length = 456, .elapsed = seconds(10)};
    const std::string frame = fixed_frame(state, true);
    EXPECT_EQ(fit_to_columns(frame, DEFAULT_TERMINAL_COLUMNS), frame);
    EXPECT_EQ(fit_to_columns(frame, 20),
              "\x1b[32m⠁\x1b[0m [00:00:10] [\x1b[36m" + cells("█", 6) + "\x1b[0m");
}

}  // namespace
}  // namespace quillmoor
