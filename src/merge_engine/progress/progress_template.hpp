#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmoor {

// The values a template can show.
enum class TemplateField { spinner, elapsed_precise, bar, pos, len, eta, msg };

// Terminal attributes for one piece of a frame, as the escape sequence that turns them
// on ("\x1b[32m" for green); empty for plain text.
struct TextStyle {
    std::string escape;
    bool plain() const noexcept { return escape.empty(); }
};

// One piece of a parsed template: literal text, or a placeholder for a field.
struct TemplatePart {
    std::string literal;                 // only when `field` is empty
    std::optional<TemplateField> field;
    std::size_t width = 0;               // bar only: its number of cells
    TextStyle style;
    TextStyle alt_style;                 // bar only: the cells not yet filled
};

// The parts of a template, or why it does not parse (then `error` is non-empty).
struct TemplateParseResult {
    std::vector<TemplatePart> parts;
    std::string error;
};

// Template grammar: literal text, "{{" and "}}" for braces, and placeholders
// "{name}" or "{name:spec}". spec is an optional width (bar only), then optionally
// "." and dot-separated style words, then optionally "/" and the bar's second style.
// Names: spinner, elapsed_precise, bar, pos, len, eta, msg. Style words: the eight
// basic colours, bold, dim. Control characters are refused: a frame is one line.
TemplateParseResult parse_progress_template(std::string_view text);

inline constexpr std::size_t DEFAULT_BAR_WIDTH = 20;
inline constexpr std::size_t MAX_BAR_WIDTH = 1000;

// A parsed template, ready for rendering.
class ProgressStyle {
public:
    // A template that does not parse is an internal error.
    static ProgressStyle from_template(std::string_view text);

    const std::vector<TemplatePart>& parts() const noexcept { return parts_; }

private:
    explicit ProgressStyle(std::vector<TemplatePart> parts) : parts_(std::move(parts)) {}

    std::vector<TemplatePart> parts_;
};

}  // namespace quillmoor
