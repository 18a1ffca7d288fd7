#include "merge_engine/progress/terminal_line.hpp"

#include "merge_engine/progress/frame_renderer.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace quillmoor {

namespace {

constexpr char ESCAPE = '\x1b';

bool is_utf8_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

// Length of the control sequence "ESC [ parameters final" starting at `at`.
std::size_t escape_sequence_length(std::string_view text, std::size_t at) {
    std::size_t end = at + 1;
    if (end < text.size() && text[end] == '[') {
        ++end;
        while (end < text.size()) {
            const auto byte = static_cast<unsigned char>(text[end]);
            ++end;
            if (byte >= 0x40 && byte <= 0x7E) {
                break;
            }
        }
    }
    return end - at;
}

}  // namespace

std::size_t stderr_terminal_columns() noexcept {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return DEFAULT_TERMINAL_COLUMNS;
}

std::string fit_to_columns(std::string_view frame, std::size_t columns) {
    std::size_t used = 0;
    bool saw_escape = false;
    std::size_t at = 0;
    while (at < frame.size()) {
        if (frame[at] == ESCAPE) {
            saw_escape = true;
            at += escape_sequence_length(frame, at);
            continue;
        }
        if (used == columns) {
            std::string cut(frame.substr(0, at));
            if (saw_escape) {
                cut += STYLE_RESET;
            }
            return cut;
        }
        ++used;
        ++at;
        while (at < frame.size() && is_utf8_continuation(frame[at])) {
            ++at;
        }
    }
    return std::string(frame);
}

}  // namespace quillmoor
