#pragma once

#include <cstddef>

namespace quillmoor::worker_count {

// Processors this thread may run on (its affinity mask); failing that, the processors
// online; failing that, 1.
std::size_t available_processors();

}  // namespace quillmoor::worker_count
