#pragma once

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace quillmoor {

// The fixed text of every read outside a matrix's bounds.
inline constexpr const char* INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds";

// A failure that ends the whole call. The Python surface raises it as PanicException
// with what() as the only argument.
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the failure report (thread, source location, text) to standard error at the
// point of failure, then throws InternalError carrying `text`.
[[noreturn]] void raise_internal_error(
    const std::string& text,
    std::source_location where = std::source_location::current());

// rows * cols, or an internal error when the product does not fit a machine word.
std::size_t checked_element_count(std::size_t rows, std::size_t cols);

}  // namespace quillmoor
