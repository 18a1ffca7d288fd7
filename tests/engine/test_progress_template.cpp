#include "merge_engine/internal_error.hpp"
#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/progress_template.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillmoor {
namespace {

TEST(ProgressTemplate, FixedTemplateParsesIntoItsPiecesInOrder) {
    const TemplateParseResult parsed = parse_progress_template(PROGRESS_TEMPLATE);
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.parts.size(), 12U);
    const auto& p = parsed.parts;
    EXPECT_EQ(p[0].field, TemplateField::spinner);
    EXPECT_EQ(p[0].style.escape, "\x1b[32m");
    EXPECT_EQ(p[1].literal, " [");
    EXPECT_EQ(p[2].field, TemplateField::elapsed_precise);
    EXPECT_TRUE(p[2].style.plain());
    EXPECT_EQ(p[3].literal, "] [");
    EXPECT_EQ(p[4].field, TemplateField::bar);
    EXPECT_EQ(p[4].width, 40U);
    EXPECT_EQ(p[4].style.escape, "\x1b[36m");
    EXPECT_EQ(p[4].alt_style.escape, "\x1b[34m");
    EXPECT_EQ(p[5].literal, "] ");
    EXPECT_EQ(p[6].field, TemplateField::pos);
    EXPECT_EQ(p[7].literal, "/");
    EXPECT_EQ(p[8].field, TemplateField::len);
    EXPECT_EQ(p[9].literal, " (");
    EXPECT_EQ(p[10].field, TemplateField::eta);
    EXPECT_EQ(p[11].literal, ")");
    EXPECT_EQ(PROGRESS_TEMPLATE.size(), 77U);
    EXPECT_EQ(PROGRESS_FINISH_MESSAGE, "Processing complete");
}

TEST(ProgressTemplate, EscapedBracesWidthsAndCombinedStyles) {
    const TemplateParseResult parsed = parse_progress_template("{{x}} {bar} {bar:7} {msg:.red.bold}");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.parts.size(), 6U);
    EXPECT_EQ(parsed.parts[0].literal, "{x} ");
    EXPECT_EQ(parsed.parts[1].width, DEFAULT_BAR_WIDTH);
    EXPECT_EQ(parsed.parts[3].width, 7U);
    EXPECT_TRUE(parsed.parts[3].style.plain());
    EXPECT_EQ(parsed.parts[5].style.escape, "\x1b[31m\x1b[1m");
    EXPECT_TRUE(parse_progress_template("").parts.empty());
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
    EXPECT_NO_THROW((void)ProgressStyle::from_template(PROGRESS_TEMPLATE));
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
