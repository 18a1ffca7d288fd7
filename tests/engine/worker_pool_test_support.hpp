#pragma once

#include <atomic>
#include <chrono>
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

// Collects the threads that ran tasks. wait_for_threads lets a task hold on until
// `wanted` distinct threads have shown up or the census's patience has run out, so a
// pool that really runs that many threads is seen doing so even with tiny tasks, and a
// run confined to one thread still ends soon.
class ThreadCensus {
public:
    explicit ThreadCensus(std::chrono::milliseconds patience)
        : deadline_(std::chrono::steady_clock::now() + patience) {}

    void arrive() {
        const std::lock_guard lock(mutex_);
        ids_.insert(std::this_thread::get_id());
    }

    void wait_for_threads(std::size_t wanted) {
        while (std::chrono::steady_clock::now() < deadline_) {
            {
                const std::lock_guard lock(mutex_);
                if (ids_.size() >= wanted) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::size_t distinct() const {
        const std::lock_guard lock(mutex_);
        return ids_.size();
    }

    bool saw(std::thread::id id) const {
        const std::lock_guard lock(mutex_);
        return ids_.count(id) != 0;
    }

private:
    std::chrono::steady_clock::time_point deadline_;
    mutable std::mutex mutex_;
    std::set<std::thread::id> ids_;
};

}  // namespace quillmoor::testing
