// A thread that is ended inside a task (pthread_exit, as CPython does to a daemon thread
// that re-attaches during finalisation) must unwind through the pool without being
// caught, and leave the pool usable for every other thread.
#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/pool_threads.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"
#include "worker_pool_test_support.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace quillmoor {
namespace {

using testing::RunCounts;
using namespace std::chrono_literals;

// glibc's pthread_exit ends a thread by unwinding its stack, which these tests are about.
// musl's does not unwind at all, so there they would test the test's own stack objects.
#if defined(__GLIBC__)
#define SKIP_WITHOUT_UNWINDING_THREAD_EXIT()
#else
#define SKIP_WITHOUT_UNWINDING_THREAD_EXIT() \
    GTEST_SKIP() << "this C library's pthread_exit does not unwind the thread's stack"
#endif

// Waits for `flag`, at most for a patience no busy machine exhausts.
void await(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!flag.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

void expect_pool_works() {
    RunCounts counts(2000);
    run_indexed(2000, 4, [&](std::size_t i) { counts.hit(i); });
    EXPECT_EQ(counts.first_not_run_once(), 2000U);
}

struct CallerEnd {
    std::atomic<bool> caller_ran{false};
    std::atomic<bool> returned{false};
    pthread_t caller{};
};

// The calling thread ends in its first task, while pool threads are inside the run.
void* call_and_end_inside(void* state_pointer) {
    auto& state = *static_cast<CallerEnd*>(state_pointer);
    state.caller = pthread_self();
    run_indexed(1000, 4, [&state](std::size_t) {
        if (pthread_equal(pthread_self(), state.caller) != 0) {
            state.caller_ran = true;
            pthread_exit(nullptr);
        }
        // Pool threads hold their first task until the caller is inside one: each has
        // claimed one chunk only, so the caller is sure to find indices left.
        await(state.caller_ran);
    });
    state.returned = true;
    return nullptr;
}

TEST(WorkerPoolThreadEnd, CallerEndedInsideATaskUnwindsAndLeavesThePoolWorking) {
    SKIP_WITHOUT_UNWINDING_THREAD_EXIT();
    CallerEnd state;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, &call_and_end_inside, &state), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_TRUE(state.caller_ran.load());
    EXPECT_FALSE(state.returned.load());
    expect_pool_works();
}

TEST(WorkerPoolThreadEnd, CallerEndedWhileRunningAloneUnwinds) {
    SKIP_WITHOUT_UNWINDING_THREAD_EXIT();
    CallerEnd state;
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void* pointer) -> void* {
                      auto& s = *static_cast<CallerEnd*>(pointer);
                      run_indexed(10, 1, [&s](std::size_t i) {
                          if (i == 3) {
                              s.caller_ran = true;
                              pthread_exit(nullptr);
                          }
                      });
                      s.returned = true;
                      return nullptr;
                  },
                  &state),
              0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_TRUE(state.caller_ran.load());
    EXPECT_FALSE(state.returned.load());
}

TEST(WorkerPoolThreadEnd, PoolThreadEndedInsideATaskFailsTheRunAndIsReplaced) {
    SKIP_WITHOUT_UNWINDING_THREAD_EXIT();
    const pthread_t caller = pthread_self();
    std::atomic<bool> pool_thread_ended{false};
    std::string reported;
    try {
        run_indexed(1000, 3, [&](std::size_t) {
            if (pthread_equal(pthread_self(), caller) == 0) {
                if (!pool_thread_ended.exchange(true)) {
                    pthread_exit(nullptr);
                }
                return;
            }
            // The caller's tasks wait until a pool thread has taken one, so that one
            // surely runs on a pool thread.
            await(pool_thread_ended);
        });
    } catch (const InternalError& error) {
        reported = error.what();
    }
    ASSERT_TRUE(pool_thread_ended.load());
    EXPECT_NE(reported.find("was ended"), std::string::npos) << reported;
    expect_pool_works();
    expect_pool_works();
}

}  // namespace
}  // namespace quillmoor
