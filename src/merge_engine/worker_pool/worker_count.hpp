#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The pieces behind resolve_worker_count, visible for tests.
namespace quillmoor::worker_count {

// A thread count as written in RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS: one or more ASCII
// digits and nothing else (no sign, no spaces), whose value fits a size_t.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// Processors this thread may run on (its affinity mask); failing that, the processors
// online; failing that, 1.
std::size_t available_processors();

}  // namespace quillmoor::worker_count
