#include "merge_engine/matrix_buffer.hpp"

#include <cstdlib>
#include <new>

namespace quillmoor {

void MatrixBufferDeleter::operator()(double* buffer) const noexcept {
    std::free(buffer);  // NOLINT(cppcoreguidelines-no-malloc): pairs with the malloc below
}

MatrixBuffer allocate_matrix_buffer(std::size_t count) {
    // malloc, not new[]: no constructor runs over buffers of hundreds of megabytes, and
    // the owner (NumPy's result array, too) frees it with the matching deleter.
    void* memory = std::malloc((count == 0 ? 1 : count) * sizeof(double));  // NOLINT
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return MatrixBuffer(static_cast<double*>(memory));
}

}  // namespace quillmoor
