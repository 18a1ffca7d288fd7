#include "merge_engine/internal_error.hpp"
#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/progress_template.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillmoor {
namespace {

// The fixed template's pieces are checked through the exact frames it renders.
TEST(ProgressTemplate, EscapedBracesWidthsAndCombinedStyles) {
    EXPECT_EQ(PROGRESS_TEMPLATE.size(), 77U);
    EXPECT_EQ(PROGRESS_FINISH_MESSAGE, "Processing complete");
    const TemplateParseResult parsed = parse_progress_template("{{x}} {bar} {bar:7} {msg:.red.bold}");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.parts.size(), 6U);
    EXPECT_EQ(parsed.parts[0].literal, "{x} ");
    EXPECT_EQ(parsed.parts[1].width, DEFAULT_BAR_WIDTH);
    EXPECT_EQ(parsed.parts[3].width, 7U);
    EXPECT_TRUE(parsed.parts[3].style.plain());
    EXPECT_EQ(parsed.parts[5].style.escape, "\x1b[31m\x1b[1m");
}

TEST(ProgressTemplate, BrokenTemplatesAreRefusedWithAReason) {
    const char* const broken[] = {
        "{pos",                  // unclosed
        "pos}",                  // stray closing brace
        "{}",                    // no name
        "{position}",            // unknown name
        "{pos:}",                // empty format
        "{pos:5}",               // width on a field that has none
        "{bar:40.cyan/}",        // empty second style
        "{bar:40.purple}",       // unknown colour
        "{bar:40.cyan..bold}",   // empty style word
        "{bar:40cyan}",          // style without its dot
        "{eta:.green/blue}",     // second style outside the bar
        "{bar:1001}",            // absurd width
        "{bar:99999999999999999999999}",  // width that overflows
        "{pos{len}}",            // nested placeholder
        "line\nbreak {pos}",     // a frame must stay one line
    };
    for (const char* text : broken) {
        const TemplateParseResult parsed = parse_progress_template(text);
        EXPECT_NE(parsed.error, "") << text;
        EXPECT_TRUE(parsed.parts.empty()) << text;
    }
}

TEST(ProgressTemplate, BuildingAStyleFromABrokenTemplateIsAnInternalError) {
    try {
        (void)ProgressStyle::from_template("{pos} {nonsense}");
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "progress template does not parse: unknown placeholder '{nonsense}'");
    }
}

}  // namespace
}  // namespace quillmoor
