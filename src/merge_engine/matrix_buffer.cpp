#include "merge_engine/matrix_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace quillmoor {

namespace {

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20U;

}  // namespace

void MatrixBufferDeleter::operator()(double* buffer) const noexcept {
    std::free(buffer);  // NOLINT(cppcoreguidelines-no-malloc): pairs with the allocations below
}

MatrixBuffer allocate_matrix_buffer(std::size_t count) {
    // malloc, not new[]: nothing is constructed over buffers of hundreds of megabytes, and
    // every owner (NumPy's result array too) frees them with the one deleter.
    const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(double);
    void* memory = nullptr;
    if (bytes >= 4 * HUGE_PAGE_BYTES) {
        // Like NumPy's own large arrays: aligned to huge pages and advised to use them,
        // so filling the buffer takes a few hundred page faults instead of ~250 per MiB.
        const std::size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES;
        memory = std::aligned_alloc(HUGE_PAGE_BYTES, rounded);
#ifdef MADV_HUGEPAGE
        if (memory != nullptr) {
            (void)::madvise(memory, rounded, MADV_HUGEPAGE);  // advice only
        }
#endif
    } else {
        memory = std::malloc(bytes);  // NOLINT(cppcoreguidelines-no-malloc)
    }
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return MatrixBuffer(static_cast<double*>(memory));
}

}  // namespace quillmoor
