#include "merge_engine/progress/display_mode.hpp"

#include <gtest/gtest.h>

namespace quillmoor {
namespace {

TerminalEnvironment colour_terminal() {
    TerminalEnvironment environment;
    environment.stderr_is_terminal = true;
    environment.term = "xterm-256color";
    return environment;
}

TEST(ProgressDisplayMode, ATerminalWithTermSetShowsTheBarInColour) {
    const DisplayMode mode = decide_display_mode(colour_terminal());
    EXPECT_TRUE(mode.visible);
    EXPECT_TRUE(mode.colours);
}

TEST(ProgressDisplayMode, HiddenWithoutTerminalOrWithNoColorOrDumbOrMissingTerm) {
    TerminalEnvironment file = colour_terminal();
    file.stderr_is_terminal = false;
    TerminalEnvironment no_color = colour_terminal();
    no_color.no_color = "";  // set, even empty
    TerminalEnvironment dumb = colour_terminal();
    dumb.term = "dumb";
    TerminalEnvironment no_term = colour_terminal();
    no_term.term.reset();
    TerminalEnvironment forced_file = file;
    forced_file.clicolor_force = "1";  // forcing colours does not force drawing
    for (const TerminalEnvironment& environment : {file, no_color, dumb, no_term, forced_file}) {
        const DisplayMode mode = decide_display_mode(environment);
        EXPECT_FALSE(mode.visible);
        EXPECT_FALSE(mode.colours);
    }
}

TEST(ProgressDisplayMode, ClicolorZeroTurnsColoursOffUnlessForced) {
    TerminalEnvironment environment = colour_terminal();
    environment.clicolor = "0";
    EXPECT_TRUE(decide_display_mode(environment).visible);
    EXPECT_FALSE(decide_display_mode(environment).colours);

    environment.clicolor_force = "0";
    EXPECT_FALSE(decide_display_mode(environment).colours);
    environment.clicolor_force = "1";
    EXPECT_TRUE(decide_display_mode(environment).colours);
    environment.clicolor_force = "";
    EXPECT_TRUE(decide_display_mode(environment).colours);

    environment.clicolor = "1";
    environment.clicolor_force.reset();
    EXPECT_TRUE(decide_display_mode(environment).colours);
}

}  // namespace
}  // namespace quillmoor
