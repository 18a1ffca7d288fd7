#include "merge_engine/progress/progress_template.hpp"

#include "merge_engine/internal_error.hpp"

#include <array>
#include <utility>

namespace quillmoor {

namespace {

struct NamedField {
    std::string_view name;
    TemplateField field;
};

constexpr std::array<NamedField, 7> FIELD_NAMES{{
    {"spinner", TemplateField::spinner},
    {"elapsed_precise", TemplateField::elapsed_precise},
    {"bar", TemplateField::bar},
    {"pos", TemplateField::pos},
    {"len", TemplateField::len},
    {"eta", TemplateField::eta},
    {"msg", TemplateField::msg},
}};

struct NamedAttribute {
    std::string_view name;
    std::string_view sgr_parameter;
};

constexpr std::array<NamedAttribute, 10> STYLE_WORDS{{
    {"black", "30"},
    {"red", "31"},
    {"green", "32"},
    {"yellow", "33"},
    {"blue", "34"},
    {"magenta", "35"},
    {"cyan", "36"},
    {"white", "37"},
    {"bold", "1"},
    {"dim", "2"},
}};

bool is_control_character(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// "green.bold" -> "\x1b[32m\x1b[1m"; an unknown or empty word is an error.
bool parse_style(std::string_view words, TextStyle& style, std::string& error) {
    while (true) {
        const std::size_t dot = words.find('.');
        const std::string_view word = words.substr(0, dot);
        bool known = false;
        for (const NamedAttribute& attribute : STYLE_WORDS) {
            if (attribute.name == word) {
                style.escape += "\x1b[";
                style.escape += attribute.sgr_parameter;
                style.escape += 'm';
                known = true;
                break;
            }
        }
        if (!known) {
            error = "unknown style '" + std::string(word) + "'";
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        words.remove_prefix(dot + 1);
    }
}

// The text between the braces of one placeholder.
bool parse_placeholder(std::string_view inner, TemplatePart& part, std::string& error) {
    const std::size_t colon = inner.find(':');
    const std::string_view name = inner.substr(0, colon);
    bool known = false;
    for (const NamedField& entry : FIELD_NAMES) {
        if (entry.name == name) {
            part.field = entry.field;
            known = true;
            break;
        }
    }
    if (!known) {
        error = "unknown placeholder '{" + std::string(name) + "}'";
        return false;
    }
    const bool is_bar = part.field == TemplateField::bar;
    if (is_bar) {
        part.width = DEFAULT_BAR_WIDTH;
    }
    if (colon == std::string_view::npos) {
        return true;
    }

    std::string_view spec = inner.substr(colon + 1);
    if (spec.empty()) {
        error = "empty format after '{" + std::string(name) + ":'";
        return false;
    }
    std::size_t digits = 0;
    std::size_t width = 0;
    while (digits < spec.size() && spec[digits] >= '0' && spec[digits] <= '9') {
        width = width * 10 + static_cast<std::size_t>(spec[digits] - '0');
        if (width > MAX_BAR_WIDTH) {
            error = "bar width above " + std::to_string(MAX_BAR_WIDTH);
            return false;
        }
        ++digits;
    }
    if (digits > 0) {
        if (!is_bar) {
            error = "a width is allowed only on {bar}";
            return false;
        }
        part.width = width;
        spec.remove_prefix(digits);
    }
    if (spec.empty()) {
        return true;
    }
    if (spec.front() != '.') {
        error = "unexpected '" + std::string(spec) + "' in '{" + std::string(inner) + "}'";
        return false;
    }
    spec.remove_prefix(1);
    const std::size_t slash = spec.find('/');
    if (!parse_style(spec.substr(0, slash), part.style, error)) {
        return false;
    }
    if (slash == std::string_view::npos) {
        return true;
    }
    if (!is_bar) {
        error = "a second style is allowed only on {bar}";
        return false;
    }
    return parse_style(spec.substr(slash + 1), part.alt_style, error);
}

}  // namespace

TemplateParseResult parse_progress_template(std::string_view text) {
    TemplateParseResult result;
    std::string literal;
    const auto flush_literal = [&] {
        if (!literal.empty()) {
            TemplatePart part;
            part.literal = std::move(literal);
            result.parts.push_back(std::move(part));
            literal.clear();
        }
    };
    const auto fail = [&](std::string why) {
        result.parts.clear();
        result.error = std::move(why);
        return std::move(result);
    };

    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        const bool doubled = at + 1 < text.size() && text[at + 1] == c;
        if ((c == '{' || c == '}') && doubled) {
            literal += c;
            at += 2;
        } else if (c == '{') {
            const std::size_t close = text.find('}', at + 1);
            if (close == std::string_view::npos) {
                return fail("unclosed '{' at offset " + std::to_string(at));
            }
            const std::string_view inner = text.substr(at + 1, close - at - 1);
            if (inner.find('{') != std::string_view::npos) {
                return fail("'{' inside a placeholder at offset " + std::to_string(at));
            }
            flush_literal();
            TemplatePart part;
            std::string why;
            if (!parse_placeholder(inner, part, why)) {
                return fail(std::move(why));
            }
            result.parts.push_back(std::move(part));
            at = close + 1;
        } else if (c == '}') {
            return fail("unmatched '}' at offset " + std::to_string(at));
        } else if (is_control_character(c)) {
            return fail("control character at offset " + std::to_string(at));
        } else {
            literal += c;
            ++at;
        }
    }
    flush_literal();
    return result;
}

ProgressStyle ProgressStyle::from_template(std::string_view text) {
    TemplateParseResult parsed = parse_progress_template(text);
    if (!parsed.error.empty()) {
        raise_internal_error("progress template does not parse: " + parsed.error);
    }
    return ProgressStyle(std::move(parsed.parts));
}

}  // namespace quillmoor
