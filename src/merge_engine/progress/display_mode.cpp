#include "merge_engine/progress/display_mode.hpp"

#include <unistd.h>

#include <cstdlib>

namespace quillmoor {

namespace {

std::optional<std::string> environment_value(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace

DisplayMode decide_display_mode(const TerminalEnvironment& environment) {
    const bool visible = environment.stderr_is_terminal && !environment.no_color.has_value() &&
                         environment.term.has_value() && *environment.term != "dumb";
    if (!visible) {
        return {};
    }
    const bool forced = environment.clicolor_force.has_value() && *environment.clicolor_force != "0";
    const bool switched_off = environment.clicolor.has_value() && *environment.clicolor == "0";
    return {true, forced || !switched_off};
}

TerminalEnvironment read_terminal_environment() {
    TerminalEnvironment environment;
    environment.stderr_is_terminal = ::isatty(STDERR_FILENO) == 1;
    environment.no_color = environment_value("NO_COLOR");
    environment.term = environment_value("TERM");
    environment.clicolor = environment_value("CLICOLOR");
    environment.clicolor_force = environment_value("CLICOLOR_FORCE");
    return environment;
}

}  // namespace quillmoor
