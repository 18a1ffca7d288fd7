#pragma once

#include <cstddef>

namespace quillmoor {

// Maps in, ready for writing, the whole pages of [begin, begin + bytes) that are not yet
// mapped: one system call per 4 MiB instead of one page fault per 4 KiB page of a
// fresh buffer (a quarter of a large merge's time went to those faults). Partial pages
// at either end are left to ordinary faults. Purely an optimisation: where the kernel
// cannot do it (before Linux 5.14, other systems), nothing happens and the writes fault
// the pages in as usual. The memory must belong to the caller and be about to be written.
// Checks for a stop between slices (it throws MergeInterrupted when the call is to stop).
void prefault_for_writing(void* begin, std::size_t bytes);

}  // namespace quillmoor
