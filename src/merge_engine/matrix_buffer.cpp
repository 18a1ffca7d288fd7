#include "merge_engine/matrix_buffer.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace quillmoor {

void MatrixBufferDeleter::operator()(double* buffer) const noexcept {
    std::free(buffer);  // NOLINT(cppcoreguidelines-no-malloc): pairs with the malloc below
}

MatrixBuffer allocate_matrix_buffer(std::size_t count) {
    // malloc, not new[]: nothing is constructed over buffers of hundreds of megabytes, and
    // every owner (NumPy's result array too) frees them with the one deleter.
    // No huge-page advice: it makes calls bimodal (0.6 s or 2.5 s and more on 10-million-
    // point fields). A virtual machine that reports freed memory to its host does so in
    // free blocks of huge-page size; a huge page must take such a block, whose first touch
    // then waits for the host, while 4 KiB pages mostly come from smaller free blocks.
    // The result's fault cost is cut instead by mapping it in one call per range (see
    // prefault_for_writing).
    if (count > SIZE_MAX / sizeof(double)) {
        throw std::bad_alloc();  // callers name the matrix (see allocate_named)
    }
    void* memory = std::malloc((count == 0 ? 1 : count) * sizeof(double));  // NOLINT
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return MatrixBuffer(static_cast<double*>(memory));
}

}  // namespace quillmoor
