#include "merge_engine/progress/display_mode.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace quillmoor {
namespace {

struct Case {
    const char* what;
    std::function<void(TerminalEnvironment&)> change;  // applied to a colour terminal
    bool visible;
    bool colours;
};

TEST(ProgressDisplayMode, TerminalAndEnvironmentRules) {
    const Case cases[] = {
        {"colour terminal", [](auto&) {}, true, true},
        {"stderr is a file", [](auto& e) { e.stderr_is_terminal = false; }, false, false},
        {"forcing colours does not force drawing",
         [](auto& e) { e.stderr_is_terminal = false; e.clicolor_force = "1"; }, false, false},
        {"NO_COLOR set, even empty", [](auto& e) { e.no_color = ""; }, false, false},
        {"TERM dumb", [](auto& e) { e.term = "dumb"; }, false, false},
        {"TERM unset", [](auto& e) { e.term.reset(); }, false, false},
        {"CLICOLOR 0", [](auto& e) { e.clicolor = "0"; }, true, false},
        {"CLICOLOR 1", [](auto& e) { e.clicolor = "1"; }, true, true},
        {"CLICOLOR_FORCE 0 forces nothing",
         [](auto& e) { e.clicolor = "0"; e.clicolor_force = "0"; }, true, false},
        {"CLICOLOR_FORCE 1", [](auto& e) { e.clicolor = "0"; e.clicolor_force = "1"; }, true, true},
        {"CLICOLOR_FORCE empty", [](auto& e) { e.clicolor = "0"; e.clicolor_force = ""; }, true, true},
    };
    for (const Case& c : cases) {
        TerminalEnvironment environment;
        environment.stderr_is_terminal = true;
        environment.term = "xterm-256color";
        c.change(environment);
        const DisplayMode mode = decide_display_mode(environment);
        EXPECT_EQ(mode.visible, c.visible) << c.what;
        EXPECT_EQ(mode.colours, c.colours) << c.what;
    }
}

}  // namespace
}  // namespace quillmoor
