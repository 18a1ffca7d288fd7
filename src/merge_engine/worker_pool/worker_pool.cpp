// Sequential stand-in until the work-stealing pool lands.
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <algorithm>

namespace quillmoor {

std::size_t resolve_worker_count(std::size_t num_threads) {
    return std::clamp<std::size_t>(num_threads, 1, MAX_WORKERS);
}

void run_indexed(std::size_t count, std::size_t /*workers*/,
                 const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < count; ++i) {
        task(i);
    }
}

}  // namespace quillmoor
