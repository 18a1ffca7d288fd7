#include "merge_engine/allocation_failure.hpp"

#include "merge_engine/internal_error.hpp"

#include <string>

namespace quillmoor {

void raise_allocation_failure(std::string_view what, std::size_t count,
                              std::size_t element_bytes, std::source_location where) {
    const std::string entries = std::to_string(count) + " entries of " +
                                std::to_string(element_bytes) + " bytes";
    std::string text;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, element_bytes, &bytes)) {
        text = "could not allocate ";
        text += what;
        text += ": " + entries + " exceed the address space";
    } else {
        text = "could not allocate " + std::to_string(bytes) + " bytes for ";
        text += what;
        text += " (" + entries + ")";
    }
    raise_internal_error(text, where);
}

}  // namespace quillmoor
