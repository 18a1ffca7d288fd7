#include "merge_engine/worker_pool/worker_pool.hpp"
#include "worker_pool_test_support.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace quillmoor {
namespace {

using testing::RunCounts;
using testing::ThreadCensus;
using namespace std::chrono_literals;

// Exit codes of a forked child.
constexpr int CHILD_OK = 0;
constexpr int CHILD_WRONG_RESULT = 3;
constexpr int CHILD_ONE_THREAD = 4;
constexpr int CHILD_FAILURE_LOST = 5;

// A fork while a new thread is still starting can leave the sanitizers' thread registries
// locked in the child, whose own new threads then never start. So every test below lets
// the pool threads it makes take part in a task (all of them at once, with a generous
// patience) before it forks. That is the condition, not a delay.
void run_with_every_thread_taking_part(std::size_t workers) {
    ThreadCensus census(workers, 120s);
    run_indexed(4 * workers, workers, [&](std::size_t) { census.visit(); });
}

// What a child checks: a parallel run covers every index once, really runs on several
// threads (all four at once), and still reports a failure.
int use_pool_in_child() {
    constexpr std::size_t count = 400;
    RunCounts counts(count);
    ThreadCensus census(4, 60s);  // generous: spent only if the pool never runs four
    run_indexed(count, 4, [&](std::size_t i) {
        counts.hit(i);
        census.visit();
    });
    if (counts.first_not_run_once() != count) {
        return CHILD_WRONG_RESULT;
    }
    if (census.most_at_once() < 4) {
        return CHILD_ONE_THREAD;
    }
    try {
        run_indexed(count, 3, [](std::size_t i) {
            if (i >= 100) {
                throw std::runtime_error("late");
            }
        });
        return CHILD_FAILURE_LOST;
    } catch (const std::runtime_error&) {
    }
    return CHILD_OK;
}

// In a fork's child, the parent's other threads do not exist and are never joined;
// detaching their copies says so (ThreadSanitizer would report them as leaked).
void forget_parent_thread(std::thread& thread) { thread.detach(); }

// Forks; the child runs `body` under a generous watchdog (a hang ends it by SIGALRM) and exits
// with its result. Returns the child's wait status.
template <typename Body>
int fork_and_wait(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(180);
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return status;
}

void expect_child_ok(int status) {
    ASSERT_TRUE(WIFEXITED(status)) << "child did not exit; signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), CHILD_OK);
}

void expect_pool_works_here() {
    RunCounts counts(1000);
    run_indexed(1000, 4, [&](std::size_t i) { counts.hit(i); });
    EXPECT_EQ(counts.first_not_run_once(), 1000U);
}

TEST(WorkerPoolFork, ChildOfAProcessThatUsedThePoolUsesItToo) {
    expect_pool_works_here();
    run_with_every_thread_taking_part(255);
    expect_child_ok(fork_and_wait(use_pool_in_child));
    expect_pool_works_here();
    // And a grandchild, from a child that used the pool itself.
    expect_child_ok(fork_and_wait([] {
        const int first = use_pool_in_child();
        if (first != CHILD_OK) {
            return first;
        }
        const int status = fork_and_wait(use_pool_in_child);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
    }));
}

TEST(WorkerPoolFork, ThreadsThatCalledThePoolEarlierDoNotHoldTheChildBack) {
    // A caller thread that stays alive after its calls, like an idle Python thread.
    std::atomic<bool> called{false};
    std::atomic<bool> release{false};
    std::thread caller([&] {
        RunCounts counts(500);
        run_indexed(500, 3, [&](std::size_t i) { counts.hit(i); });
        run_with_every_thread_taking_part(3);
        called = true;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
    });
    while (!called) {
        std::this_thread::sleep_for(1ms);
    }
    expect_child_ok(fork_and_wait([&] {
        forget_parent_thread(caller);
        return use_pool_in_child();
    }));
    release = true;
    caller.join();
    expect_pool_works_here();
}

TEST(WorkerPoolFork, ATaskThatForksInAChildDoesNotHoldItsRunBack) {
    run_with_every_thread_taking_part(4);
    expect_child_ok(fork_and_wait([] {
        constexpr std::size_t count = 300;
        RunCounts counts(count);
        run_indexed(count, 4, [&](std::size_t i) {
            counts.hit(i);
            if (i == 10) {  // a task that forks in turn must not wait for itself
                const pid_t pid = ::fork();
                if (pid == 0) {
                    ::_exit(CHILD_OK);
                }
                ::waitpid(pid, nullptr, 0);
            }
        });
        return counts.first_not_run_once() == count ? CHILD_OK : CHILD_WRONG_RESULT;
    }));
    expect_pool_works_here();
}

TEST(WorkerPoolFork, ChildWorksWhileARunIsInProgressOnAnotherThread) {
    constexpr std::size_t count = 200;
    RunCounts counts(count);
    ThreadCensus census(4, 120s);
    std::atomic<bool> started{false};
    std::thread runner([&] {
        run_indexed(count, 4, [&](std::size_t i) {
            census.visit();  // all four threads at once, then free
            started = true;
            counts.hit(i);
            std::this_thread::sleep_for(2ms);
        });
    });
    while (!started) {
        std::this_thread::sleep_for(1ms);
    }
    expect_child_ok(fork_and_wait([&] {
        forget_parent_thread(runner);
        return use_pool_in_child();
    }));
    runner.join();
    EXPECT_EQ(counts.first_not_run_once(), count);
}

TEST(WorkerPoolFork, ATaskThatForksDoesNotDeadlockItsRun) {
    constexpr std::size_t count = 100;
    RunCounts counts(count);
    std::atomic<int> child_status{-1};
    run_indexed(count, 4, [&](std::size_t i) {
        counts.hit(i);
        if (i == 50) {
            // The child of a fork from inside a run only exits, as after exec.
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::_exit(CHILD_OK);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            child_status = status;
        }
    });
    EXPECT_EQ(counts.first_not_run_once(), count);
    EXPECT_TRUE(WIFEXITED(child_status.load()) && WEXITSTATUS(child_status.load()) == CHILD_OK);
    expect_pool_works_here();
}

}  // namespace
}  // namespace quillmoor
