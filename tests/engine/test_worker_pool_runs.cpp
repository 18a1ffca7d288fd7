#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"
#include "worker_pool_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quillmoor {
namespace {

using testing::RunCounts;
using testing::ThreadCensus;
using namespace std::chrono_literals;

TEST(WorkerPoolRuns, EveryIndexRunsExactlyOnce) {
    for (const std::size_t count : {0U, 1U, 2U, 1000U}) {
        for (const std::size_t workers : {1U, 2U, 4U, 255U}) {
            RunCounts counts(count);
            run_indexed(count, workers, [&](std::size_t i) { counts.hit(i); });
            EXPECT_EQ(counts.first_not_run_once(), count)
                << "count " << count << ", workers " << workers;
        }
    }
}

TEST(WorkerPoolRuns, OneWorkerOrOneIndexRunsInOrderOnTheCallingThread) {
    const auto caller = std::this_thread::get_id();
    for (const auto& [count, workers] :
         std::vector<std::pair<std::size_t, std::size_t>>{{300, 1}, {1, 4}, {1, 255}}) {
        std::vector<std::size_t> order;
        bool all_on_caller = true;
        run_indexed(count, workers, [&](std::size_t i) {
            all_on_caller = all_on_caller && std::this_thread::get_id() == caller;
            order.push_back(i);
        });
        std::vector<std::size_t> expected(count);
        for (std::size_t i = 0; i < count; ++i) {
            expected[i] = i;
        }
        EXPECT_EQ(order, expected) << "workers " << workers;
        EXPECT_TRUE(all_on_caller) << "workers " << workers;
    }
}

// What the pool guarantees is an upper bound: never more tasks at once than asked for.
// How many actually overlap is the scheduler's business, so the census that looks for
// one more than asked only gives up after a short wait, and the bound is all it checks.
TEST(WorkerPoolRuns, NeverRunsMoreTasksAtOnceThanAsked) {
    for (const std::size_t workers : {2U, 4U, 6U}) {
        ThreadCensus census(workers + 1, 300ms);  // never satisfied
        run_indexed(40, workers, [&](std::size_t) { census.visit(); });
        EXPECT_LE(census.most_at_once(), workers);
        EXPECT_GE(census.most_at_once(), 1U);
    }
}

// More threads than this machine may have processors: the call's count is reached.
// Each task holds on until that many are in flight, with a patience no busy machine
// exhausts, so this waits for a condition rather than for the scheduler's luck.
TEST(WorkerPoolRuns, ReachesAsManyTasksAtOnceAsAsked) {
    for (const std::size_t workers : {2U, 4U, 6U}) {
        ThreadCensus census(workers, 120s);
        run_indexed(40, workers, [&](std::size_t) { census.visit(); });
        EXPECT_EQ(census.most_at_once(), workers);
    }
}

// Failing indices at random positions: the reported failure is always the lowest one,
// and every index below it ran exactly once, whatever the thread count.
TEST(WorkerPoolFailures, LowestFailingIndexWins) {
    std::mt19937 random(20240611);
    constexpr std::size_t count = 2000;
    for (int round = 0; round < 12; ++round) {
        std::vector<bool> fails(count, false);
        std::uniform_int_distribution<std::size_t> position(0, count - 1);
        for (int k = 0; k < 40; ++k) {
            fails[position(random)] = true;
        }
        const auto lowest = static_cast<std::size_t>(
            std::find(fails.begin(), fails.end(), true) - fails.begin());
        for (const std::size_t workers : {1U, 2U, 4U, 255U}) {
            RunCounts counts(count);
            std::string reported;
            try {
                run_indexed(count, workers, [&](std::size_t i) {
                    counts.hit(i);
                    if (fails[i]) {
                        // Lower failures take longer, so they tend to be seen last.
                        std::this_thread::sleep_for(std::chrono::microseconds(count - i));
                        throw InternalError("record " + std::to_string(i) + " failed");
                    }
                });
            } catch (const InternalError& e) {
                reported = e.what();
            }
            EXPECT_EQ(reported, "record " + std::to_string(lowest) + " failed")
                << "workers " << workers;
            EXPECT_GE(counts.first_not_run_once(), lowest + 1) << "workers " << workers;
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_LE(counts.at(i), 1) << "index " << i << ", workers " << workers;
            }
        }
    }
}

TEST(WorkerPoolFailures, ExceptionsOfAnyTypeReachTheCallerUnchanged) {
    struct Custom {
        std::size_t index;
    };
    for (const std::size_t workers : {1U, 4U}) {
        EXPECT_THROW(run_indexed(100, workers,
                                 [](std::size_t i) {
                                     if (i == 70) {
                                         throw std::out_of_range("seventy");
                                     }
                                 }),
                     std::out_of_range);
        try {
            run_indexed(100, workers, [](std::size_t i) {
                if (i % 30 == 29) {
                    throw Custom{i};
                }
            });
            ADD_FAILURE() << "no exception";
        } catch (const Custom& c) {
            EXPECT_EQ(c.index, 29U);
        }
    }
}

// Several threads call at once with different worker counts, some failing, many times:
// each call sees its own indices exactly once and its own failure only.
TEST(WorkerPoolConcurrency, SimultaneousCallsStayApart) {
    const std::vector<std::size_t> worker_counts{1, 2, 3, 4, 4, 8, 255, 2};
    std::vector<std::string> problems(worker_counts.size());
    {
        std::vector<std::jthread> callers;
        for (std::size_t c = 0; c < worker_counts.size(); ++c) {
            callers.emplace_back([&, c] {
                const std::size_t workers = worker_counts[c];
                for (int call = 0; call < 15; ++call) {
                    const std::size_t count = 200 + 37 * c + call;
                    const bool failing = call % 3 == 2;
                    const std::size_t failing_index = (count / 2) + c;
                    RunCounts counts(count);
                    std::string reported;
                    try {
                        run_indexed(count, workers, [&](std::size_t i) {
                            counts.hit(i);
                            if (failing && i >= failing_index) {
                                throw std::runtime_error("caller " + std::to_string(c) +
                                                         " index " + std::to_string(i));
                            }
                        });
                    } catch (const std::runtime_error& e) {
                        reported = e.what();
                    }
                    const std::string expected =
                        failing ? "caller " + std::to_string(c) + " index " +
                                      std::to_string(failing_index)
                                : "";
                    const std::size_t must_run = failing ? failing_index + 1 : count;
                    if (reported != expected || counts.first_not_run_once() < must_run) {
                        problems[c] = "call " + std::to_string(call) + " reported '" +
                                      reported + "'";
                        return;
                    }
                }
            });
        }
    }
    for (std::size_t c = 0; c < problems.size(); ++c) {
        EXPECT_EQ(problems[c], "") << "caller " << c << " with " << worker_counts[c]
                                   << " workers";
    }
}

}  // namespace
}  // namespace quillmoor
