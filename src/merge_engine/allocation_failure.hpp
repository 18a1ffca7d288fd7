#pragma once

#include <cstddef>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string_view>

namespace quillmoor {

// Fails the call for a table that cannot be allocated, in this system's words:
// "could not allocate {bytes} bytes for {what} ({count} entries of {size} bytes)", or,
// when the size does not even fit a machine word, that it exceeds the address space.
[[noreturn]] void raise_allocation_failure(
    std::string_view what, std::size_t count, std::size_t element_bytes,
    std::source_location where = std::source_location::current());

// Runs `allocate`, which sizes one table of `count` entries of `element_bytes` each; the
// standard library's failures (std::bad_alloc, and std::length_error with texts such as
// "vector::_M_default_append") become the internal error above, naming `what`.
template <typename Allocate>
void allocate_named(std::string_view what, std::size_t count, std::size_t element_bytes,
                    Allocate&& allocate,
                    std::source_location where = std::source_location::current()) {
    try {
        allocate();
    } catch (const std::bad_alloc&) {
        raise_allocation_failure(what, count, element_bytes, where);
    } catch (const std::length_error&) {
        raise_allocation_failure(what, count, element_bytes, where);
    }
}

}  // namespace quillmoor
