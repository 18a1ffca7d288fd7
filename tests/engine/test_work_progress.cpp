#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/work_progress.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace quillmoor {
namespace {

ProgressBar hidden_bar(std::uint64_t length) {
    return {length, DisplayMode{false, false}, ProgressStyle::from_template(PROGRESS_TEMPLATE)};
}

TEST(WorkProgress, PositionFollowsTheWorkAndReachesTheLengthOnlyAtTheEnd) {
    ProgressBar bar = hidden_bar(10);
    WorkProgress work(bar, 1000);
    EXPECT_EQ(work.position_after(0), 0U);
    EXPECT_EQ(work.position_after(99), 0U);
    EXPECT_EQ(work.position_after(100), 1U);
    EXPECT_EQ(work.position_after(999), 9U);
    EXPECT_EQ(work.position_after(1000), 10U);
    work.advance(350);
    EXPECT_EQ(bar.position(), 3U);
    work.advance(649);
    EXPECT_EQ(bar.position(), 9U);
    work.advance(1);
    EXPECT_EQ(bar.position(), 10U);
}

TEST(WorkProgress, ShortBarsLongWorkAndHugeFiguresStayBelowTheLengthUntilDone) {
    ProgressBar one = hidden_bar(1);
    WorkProgress work(one, 3);
    work.advance(2);
    EXPECT_EQ(one.position(), 0U);
    constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(scale_share(huge - 1, huge, huge), huge - 1);
    EXPECT_LT(scale_share(huge - 2, huge - 1, huge - 1), huge - 1);
    const std::uint64_t half = scale_share(huge / 2, 1000, huge);  // 499.99..., estimated
    EXPECT_TRUE(half == 499U || half == 500U) << half;
    EXPECT_EQ(scale_share(5, 7, 0), 7U);  // no work at all counts as done
}

TEST(WorkProgress, AdvancesFromManyThreadsAddUpToTheLength) {
    ProgressBar bar = hidden_bar(777);
    const std::uint64_t total = 4 * 10007;
    WorkProgress work(bar, total);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10007; ++i) work.advance(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(bar.position(), 777U);
}

}  // namespace
}  // namespace quillmoor
