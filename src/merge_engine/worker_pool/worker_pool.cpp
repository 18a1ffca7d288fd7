#include "merge_engine/worker_pool/worker_pool.hpp"

#include "merge_engine/interruption.hpp"
#include "merge_engine/worker_pool/pool_threads.hpp"
#include "merge_engine/worker_pool/shared_run.hpp"

#include <algorithm>

namespace quillmoor {

void run_indexed(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t)>& task) {
    const std::size_t concurrency = std::min({workers, count, MAX_WORKERS});
    if (concurrency <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            interruption_point();
            task(i);
        }
        return;
    }
    SharedRun run(count, concurrency, task);
    run_with_helpers(run, concurrency - 1);
    run.failures().rethrow_if_any();
}

}  // namespace quillmoor
