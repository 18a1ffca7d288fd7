#pragma once

#include <string_view>

// Every write of the engine to standard error goes through here, under one lock, so a
// failure report never lands inside the progress bar's line and two reports never mix.
namespace quillmoor::stderr_channel {

// Writes `text` and a newline on a line of its own (clearing a bar line first).
void write_report(std::string_view text);

// Replaces the current terminal line with `line` (the progress bar).
void write_bar_line(std::string_view line);

// Erases the bar line, if one is on screen.
void clear_bar_line();

// Leaves the bar line on screen and moves below it, if one is on screen.
void leave_bar_line();

}  // namespace quillmoor::stderr_channel
