#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmoor {

inline constexpr std::size_t DEFAULT_TERMINAL_COLUMNS = 80;

// Width of the terminal on standard error, or DEFAULT_TERMINAL_COLUMNS when it cannot
// be told.
std::size_t stderr_terminal_columns() noexcept;

// `frame` cut to at most `columns` visible characters, so the line never wraps (a wrapped
// line could no longer be erased). Escape sequences take no column and are never cut;
// every other UTF-8 character counts one column. A cut frame that carried escapes ends
// with a style reset, so the colour does not leak past it.
std::string fit_to_columns(std::string_view frame, std::size_t columns);

}  // namespace quillmoor
