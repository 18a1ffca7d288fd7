#include "merge_engine/kept_positions.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace quillmoor {

void PositionBufferDeleter::operator()(RowPosition* positions) const noexcept {
    std::free(positions);  // NOLINT(cppcoreguidelines-no-malloc): pairs with the malloc below
}

PositionBuffer allocate_positions(std::size_t count) {
    // malloc, as for matrices: nothing to construct, and one deleter for every owner.
    if (count > SIZE_MAX / sizeof(RowPosition)) {
        throw std::bad_alloc();  // callers name the table (see allocate_named)
    }
    void* memory = std::malloc((count == 0 ? 1 : count) * sizeof(RowPosition));  // NOLINT
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return PositionBuffer(static_cast<RowPosition*>(memory));
}

}  // namespace quillmoor
