#include "merge_engine/page_prefault.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quillmoor {

#if defined(__linux__)
namespace {
// Linux's value; older C libraries do not name it.
constexpr int POPULATE_WRITE = 23;
#if defined(MADV_POPULATE_WRITE)
static_assert(MADV_POPULATE_WRITE == POPULATE_WRITE);
#endif
// Below this the faults cost little, and blocks this small often come from the heap
// already mapped, where the call would only walk the page tables.
constexpr std::size_t MIN_PREFAULT_BYTES = std::size_t{8} << 20U;
}  // namespace

void prefault_for_writing(void* begin, std::size_t bytes) noexcept {
    if (bytes < MIN_PREFAULT_BYTES) {
        return;
    }
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) {
        return;
    }
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(begin);  // NOLINT: page arithmetic
    const std::uintptr_t first = (start + page - 1) / page * page;
    const std::uintptr_t last = (start + bytes) / page * page;
    if (last > first) {
        // The kernel may refuse (too old, or memory short): the writes then fault as usual.
        (void)madvise(reinterpret_cast<void*>(first), last - first, POPULATE_WRITE);  // NOLINT
    }
}
#else
void prefault_for_writing(void* /*begin*/, std::size_t /*bytes*/) noexcept {}
#endif

}  // namespace quillmoor
