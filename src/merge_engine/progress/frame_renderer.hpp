#pragma once

#include "merge_engine/progress/progress_template.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmoor {

inline constexpr std::array<std::string_view, 29> SPINNER_FRAMES{
    "⠁", "⠁", "⠉", "⠙", "⠚", "⠒", "⠂", "⠂", "⠒", "⠲", "⠴", "⠤", "⠄", "⠄", "⠤",
    "⠠", "⠠", "⠤", "⠦", "⠖", "⠒", "⠐", "⠐", "⠒", "⠓", "⠋", "⠉", "⠈", "⠈"};
inline constexpr std::string_view FINISHED_SPINNER_FRAME = " ";
inline constexpr std::string_view FILLED_CELL = "█";
inline constexpr std::string_view EMPTY_CELL = "░";
inline constexpr std::string_view STYLE_RESET = "\x1b[0m";

// Everything one frame shows besides the template.
struct FrameState {
    std::uint64_t position = 0;
    std::uint64_t length = 0;
    std::chrono::nanoseconds elapsed{0};
    std::uint64_t spinner_tick = 0;  // the frame shown is SPINNER_FRAMES[tick % 29]
    bool finished = false;
    std::string_view message{};
};

// Cells of a bar `width` wide filled at the state's position/length, rounded down; a bar
// with nothing to do (length 0) or past its end is full.
std::size_t filled_cells(const FrameState& state, std::size_t width);

// One frame of the bar as text, without any line control; colours as ANSI escapes
// when `colours` is set.
std::string render_frame(const ProgressStyle& style, const FrameState& state, bool colours);

}  // namespace quillmoor
