#pragma once

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace quillmoor::testing {

// One counter per index, for "ran exactly once" checks from any thread.
class RunCounts {
public:
    explicit RunCounts(std::size_t count)
        : counts_(std::make_unique<std::atomic<int>[]>(count)), size_(count) {}

    void hit(std::size_t index) { counts_[index].fetch_add(1, std::memory_order_relaxed); }
    int at(std::size_t index) const { return counts_[index].load(std::memory_order_relaxed); }
    std::size_t size() const { return size_; }

    // First index that did not run exactly once, or size() when every one did.
    std::size_t first_not_run_once() const {
        for (std::size_t i = 0; i < size_; ++i) {
            if (at(i) != 1) {
                return i;
            }
        }
        return size_;
    }

private:
    std::unique_ptr<std::atomic<int>[]> counts_;
    std::size_t size_;
};

// Watches which threads run tasks and how many run at once. A task calls visit(); until
// `wanted` tasks have once been in flight together it holds on, at most until the
// census's patience runs out. So a pool that really runs that many threads is seen doing
// so even with tiny tasks on a busy machine (the patience can be generous: it is spent
// only when the count is never reached), and tasks run freely once it has been.
class ThreadCensus {
public:
    ThreadCensus(std::size_t wanted, std::chrono::milliseconds patience)
        : wanted_(wanted), deadline_(std::chrono::steady_clock::now() + patience) {}

    void visit() {
        std::unique_lock lock(mutex_);
        ids_.insert(std::this_thread::get_id());
        ++in_flight_;
        most_in_flight_ = std::max(most_in_flight_, in_flight_);
        reached_ = reached_ || in_flight_ >= wanted_;
        changed_.notify_all();
        changed_.wait_until(lock, deadline_, [this] { return reached_; });
        --in_flight_;
    }

    std::size_t distinct_threads() const {
        const std::lock_guard lock(mutex_);
        return ids_.size();
    }

    std::size_t most_at_once() const {
        const std::lock_guard lock(mutex_);
        return most_in_flight_;
    }

    bool saw(std::thread::id id) const {
        const std::lock_guard lock(mutex_);
        return ids_.count(id) != 0;
    }

private:
    std::size_t wanted_;
    std::chrono::steady_clock::time_point deadline_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::thread::id> ids_;
    std::size_t in_flight_ = 0;
    std::size_t most_in_flight_ = 0;
    bool reached_ = false;
};

}  // namespace quillmoor::testing
