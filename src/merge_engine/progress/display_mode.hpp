#pragma once

#include <optional>
#include <string>

namespace quillmoor {

// What the process looks like to the progress display: whether standard error is a
// terminal, and the environment variables that govern drawing (nullopt = unset).
struct TerminalEnvironment {
    bool stderr_is_terminal = false;
    std::optional<std::string> no_color;
    std::optional<std::string> term;
    std::optional<std::string> clicolor;
    std::optional<std::string> clicolor_force;
};

// How a bar shows itself for its whole life.
struct DisplayMode {
    bool visible = false;
    bool colours = false;
};

// Drawn only on a terminal, with NO_COLOR unset (even when empty) and TERM set to
// anything but "dumb". Colours unless CLICOLOR is "0"; CLICOLOR_FORCE set to anything
// but "0" turns them on regardless. A hidden bar has no colours.
DisplayMode decide_display_mode(const TerminalEnvironment& environment);

// The current process: isatty(2) and getenv.
TerminalEnvironment read_terminal_environment();

}  // namespace quillmoor
