#include "merge_engine/page_prefault.hpp"

#include "merge_engine/interruption.hpp"

#include <algorithm>
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
// A couple of milliseconds of the kernel's work at most (16 MiB took 6 to 11 ms of CPU time
// on the development VM).
constexpr std::size_t PREFAULT_SLICE_BYTES = std::size_t{4} << 20U;
}  // namespace

void prefault_for_writing(void* begin, std::size_t bytes) {
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
    // Slice by slice: mapping in a result of gigabytes takes a good part of a second, and
    // a stop must be seen in between.
    const std::uintptr_t slice = std::max<std::uintptr_t>(PREFAULT_SLICE_BYTES / page, 1) * page;
    for (std::uintptr_t from = first; from < last; from += std::min(slice, last - from)) {
        interruption_point();
        // The kernel may refuse (too old, or memory short): the writes then fault as usual.
        (void)madvise(reinterpret_cast<void*>(from), std::min(slice, last - from),  // NOLINT
                      POPULATE_WRITE);
    }
}
#else
void prefault_for_writing(void* /*begin*/, std::size_t /*bytes*/) {}
#endif

}  // namespace quillmoor
