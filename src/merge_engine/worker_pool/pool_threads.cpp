// The process-wide threads behind the worker pool: started on demand, one runner loop
// each, waiting for runs with a free seat.
#include "merge_engine/worker_pool/pool_threads.hpp"

#include "merge_engine/forced_unwind.hpp"
#include "merge_engine/interruption.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <list>
#include <mutex>

namespace quillmoor {

namespace {

// Generous for the engine's shallow calls, small enough for 255 of them on 32 bits.
constexpr std::size_t WORKER_STACK_BYTES = sizeof(void*) >= 8 ? 4U << 20U : 2U << 20U;

// One run that pool threads may join. Lives on its caller's stack.
struct OpenRun {
    OpenRun(SharedRun& shared, std::size_t seats) noexcept : run(&shared), free_seats(seats) {}

    SharedRun* run;
    std::size_t free_seats;  // guarded by the pool's mutex, as is inside
    std::size_t inside = 0;  // pool threads in run->work()
    std::condition_variable all_left;
};

class PoolThreads {
public:
    explicit PoolThreads(pid_t owner) noexcept : owner_(owner) {}

    // The pool of this process: a fork's child, which has none of its parent's
    // threads, makes its own (the parent's is left as it is, never touched again).
    static PoolThreads& of_this_process();

    void run_with_helpers(SharedRun& run, std::size_t helpers);

    pid_t owner() const noexcept { return owner_; }

private:
    // Not noexcept: a thread ended by pthread_exit unwinds out of it.
    static void* thread_main(void* pool);
    void serve();
    // Starts threads until `idle_ + starting` covers `wanted` or one cannot be started.
    void grow_to_cover(std::size_t wanted, std::unique_lock<std::mutex>& lock);
    bool start_one_thread() noexcept;
    void leave(OpenRun& open) noexcept;

    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable work_posted_;
    std::list<OpenRun*> open_runs_;  // guarded; runs with free seats
    std::size_t threads_ = 0;        // guarded; started and not ended
    std::size_t idle_ = 0;           // guarded; waiting for a run
};

std::atomic<PoolThreads*> process_pool{nullptr};

PoolThreads& PoolThreads::of_this_process() {
    const pid_t self = ::getpid();
    PoolThreads* pool = process_pool.load(std::memory_order_acquire);
    while (pool == nullptr || pool->owner() != self) {
        // Never freed: its threads (or, after a fork, the parent's) may still use it.
        auto* fresh = new PoolThreads(self);
        if (process_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) {
            return *fresh;
        }
        delete fresh;
    }
    return *pool;
}

void* PoolThreads::thread_main(void* pool) {
    static_cast<PoolThreads*>(pool)->serve();
    return nullptr;
}

bool PoolThreads::start_one_thread() noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES);
    // Pool threads take no asynchronous signals: the process's handlers run on its own
    // threads, as they expect. The new thread inherits the mask in force here.
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all_signals, &previous) == 0;
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, &thread_main, this);
    if (masked) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
    if (created == 0) {
        pthread_setname_np(thread, "quillmoor-pool");
    }
    return created == 0;
}

void PoolThreads::grow_to_cover(std::size_t wanted, std::unique_lock<std::mutex>& lock) {
    // Threads started here count as idle at once: they look for work before waiting.
    while (idle_ < wanted && threads_ < MAX_WORKERS) {
        ++threads_;
        ++idle_;
        if (!start_one_thread()) {
            --threads_;
            --idle_;
            return;
        }
    }
    static_cast<void>(lock);
}

void PoolThreads::serve() {
    std::unique_lock lock(mutex_);
    try {
        for (;;) {
            work_posted_.wait(lock, [this] { return !open_runs_.empty(); });
            OpenRun& open = *open_runs_.front();
            if (--open.free_seats == 0) {
                open_runs_.pop_front();
            }
            ++open.inside;
            --idle_;
            lock.unlock();
            {
                // Leaves the run however work() ends; the run's caller waits for that.
                struct Leaving {
                    PoolThreads* pool;
                    OpenRun* open;
                    ~Leaving() { pool->leave(*open); }
                } leaving{this, &open};
                open.run->work();
            }
            lock.lock();
            ++idle_;
        }
    } catch (...) {
        // work() keeps task failures in the run; what reaches here is the pool's own (a
        // lock that cannot be taken) or the thread being ended. Either way it no longer
        // counts, and later runs start another. `lock` is released on the way out.
        if (!lock.owns_lock()) {
            lock.lock();
        }
        --threads_;
        if (!storable_exception()) {
            throw;  // a thread being ended
        }
    }
}

void PoolThreads::leave(OpenRun& open) noexcept {
    const std::lock_guard lock(mutex_);
    if (--open.inside == 0) {
        // Under the lock: once the caller sees inside == 0, nobody touches `open` again.
        open.all_left.notify_all();
    }
}

void PoolThreads::run_with_helpers(SharedRun& run, std::size_t helpers) {
    OpenRun open(run, helpers);
    std::size_t to_wake = 0;
    {
        std::unique_lock lock(mutex_);
        grow_to_cover(helpers, lock);
        if (threads_ > 0 && helpers > 0) {
            open_runs_.push_back(&open);
            to_wake = std::min(helpers, idle_);
        } else {
            open.free_seats = 0;
        }
    }
    // One wake-up per seat, not all idle threads: after a run of 255 threads, a run of
    // two must not stir the other 252.
    for (std::size_t i = 0; i < to_wake; ++i) {
        work_posted_.notify_one();
    }

    // However the calling thread's part ends (a forced unwind included), the run is
    // closed and every pool thread inside it has left before `open` goes away.
    struct Closing {
        PoolThreads* pool;
        OpenRun* open;
        SharedRun* run;
        ~Closing() {
            run->stop_claiming();
            std::unique_lock lock(pool->mutex_);
            if (open->free_seats > 0) {
                pool->open_runs_.remove(open);
                open->free_seats = 0;
            }
            const auto all_left = [this] { return open->inside == 0; };
            CallInterruption* const interruption = run->interruption();
            if (interruption == nullptr || std::uncaught_exceptions() > 0) {
                open->all_left.wait(lock, all_left);
                return;
            }
            // The calling thread keeps asking whether to stop while the pool's threads
            // finish: a stop reaches them at their next check. Not under the lock: the
            // poll may run the host's code, which may start another call.
            while (!open->all_left.wait_for(lock, interruption->wait_step(), all_left)) {
                lock.unlock();
                static_cast<void>(interruption->poll_while_waiting());
                lock.lock();
            }
        }
    } closing{this, &open, &run};
    run.work();
}

}  // namespace

void run_with_helpers(SharedRun& run, std::size_t helpers) {
    PoolThreads::of_this_process().run_with_helpers(run, helpers);
}

}  // namespace quillmoor
