// A call run inside run_interruptible stops when its poll says so, from whichever pass it
// is in and with any number of threads: it throws MergeInterrupted (not an internal
// error, nothing written to standard error), leaves no result, and the pool runs the next
// call as if nothing happened. A poll that never says stop changes nothing.
#include "engine_test_tables.hpp"
#include "merge_engine/interruption.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/page_prefault.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quillmoor {
namespace {

using testing::NaN;
using namespace std::chrono_literals;

constexpr double TOLERANCE = 0.5;

// A poll that says stop on its `stop_at`-th question (never when 0), asked at every
// interruption point of the calling thread. Remembers how often it was asked and whether
// it said stop.
class CountingPoll {
public:
    explicit CountingPoll(std::size_t stop_at = 0) : stop_at_(stop_at) {}

    StopPoll poll() { return {&CountingPoll::ask, this, std::chrono::nanoseconds(0)}; }
    std::size_t asked() const { return asked_.load(); }
    bool said_stop() const { return said_stop_.load(); }

private:
    static bool ask(void* self) noexcept {
        auto& poll = *static_cast<CountingPoll*>(self);
        const std::size_t question = ++poll.asked_;
        const bool stop = question == poll.stop_at_;
        if (stop) {
            poll.said_stop_ = true;
        }
        return stop;
    }

    const std::size_t stop_at_;
    std::atomic<std::size_t> asked_{0};
    std::atomic<bool> said_stop_{false};
};

// One crop row along a slant, `segments` segments 12 long, each overlapping the next by 2;
// record s joins segment s to both neighbours, and with `shared_key` one more record has
// segment 0's key (its rows are then decided record by record). Points: key_a, key_b, x,
// y, row id, then copies of the id up to `width` columns; segments interleaved row by row
// or grouped one after another.
struct Field {
    OwnedMatrix connected;
    OwnedMatrix row_information;
    OwnedMatrix points;

    Field(std::size_t segments, std::size_t per_segment, std::size_t width, bool grouped,
          bool shared_key)
        : connected(OwnedMatrix::row_major(segments + (shared_key ? 1 : 0), 11)),
          row_information(OwnedMatrix::row_major(segments, 11)),
          points(OwnedMatrix::row_major(segments * per_segment, width)) {
        for (std::size_t s = 0; s < segments; ++s) {
            const double start = 10.0 * static_cast<double>(s) - 1.0;
            const std::array<double, 11> row{1, 0, 0, 0, static_cast<double>(s + 1),
                                             start, start / 2, start + 12.0, (start + 12.0) / 2,
                                             start + 6.0, (start + 6.0) / 2};
            std::copy(row.begin(), row.end(), row_information.mutable_data() + s * 11);
        }
        for (std::size_t r = 0; r < connected.rows(); ++r) {
            const std::size_t s = r == segments ? 0 : r;
            std::array<double, 11> record{static_cast<double>(r), 1, static_cast<double>(s + 1)};
            std::fill(record.begin() + 3, record.end(), NaN);
            std::size_t col = 3;
            for (const std::size_t neighbour : {s - 1, s + 1}) {
                if (neighbour < segments) {  // s - 1 wraps around for segment 0
                    record[col++] = 1;
                    record[col++] = static_cast<double>(neighbour + 1);
                }
            }
            std::copy(record.begin(), record.end(), connected.mutable_data() + r * 11);
        }
        for (std::size_t row = 0; row < points.rows(); ++row) {
            const std::size_t s = grouped ? row / per_segment : row % segments;
            const std::size_t i = grouped ? row % per_segment : row / segments;
            const double x = 10.0 * static_cast<double>(s) - 1.0 +
                             12.0 * static_cast<double>(i) / static_cast<double>(per_segment);
            double* out = points.mutable_data() + row * width;
            out[0] = 1;
            out[1] = static_cast<double>(s + 1);
            out[2] = x;
            out[3] = x / 2;
            std::fill(out + 4, out + width, static_cast<double>(row));
        }
    }

    OwnedMatrix merge(std::size_t workers) const {
        return multithreaded_merging(connected, PointTable::of(points), row_information,
                                     TOLERANCE, workers);
    }
};

std::vector<double> values(const OwnedMatrix& m) {
    std::vector<double> out;
    out.reserve(m.rows() * m.cols());
    for (std::size_t r = 0; r < m.rows(); ++r) {
        for (std::size_t c = 0; c < m.cols(); ++c) {
            out.push_back(m(r, c));
        }
    }
    return out;
}

struct Case {
    std::string name;
    std::size_t segments;
    std::size_t per_segment;
    std::size_t width;
    bool grouped;
    bool shared_key;
};

std::string describe(const Case& c, std::size_t workers) {
    return c.name + ", " + std::to_string(workers) + " worker(s)";
}

// Small fields: every pass and both copies (rows in table order, rows scattered to their
// records, rows of a shared key) see several interruption points.
const std::vector<Case>& small_cases() {
    static const std::vector<Case> cases{
        {"grouped", 24, 1500, 6, true, false},
        {"interleaved", 24, 1500, 6, false, false},
        {"interleaved, shared key", 24, 1500, 6, false, true},
    };
    return cases;
}

// A result of about 45 MiB: mapped in 4 MiB at a time, by each worker its share. Wide
// rows keep the number of questions (one per few thousand rows) and so of calls small.
const Case& large_case(bool grouped) {
    static const Case grouped_case{"large grouped", 12, 2048, 256, true, false};
    static const Case interleaved_case{"large interleaved", 12, 2048, 256, false, false};
    return grouped ? grouped_case : interleaved_case;
}

// Stops the merge at its 1st, 2nd, ... question in turn, one call each, until a call ends
// before its poll said stop. Each call must throw MergeInterrupted exactly when the poll
// said stop and give the expected result otherwise; every `check_every`-th interrupted
// call is followed by one without a poll, which must give the expected result.
void stop_at_every_question(const Case& c, std::size_t workers, std::size_t check_every) {
    const Field field(c.segments, c.per_segment, c.width, c.grouped, c.shared_key);
    const std::vector<double> expected = values(field.merge(workers));
    ASSERT_GT(expected.size(), 0U);
    std::size_t interrupted = 0;
    for (std::size_t stop_at = 1;; ++stop_at) {
        SCOPED_TRACE(describe(c, workers) + ", stop at question " + std::to_string(stop_at));
        CountingPoll poll(stop_at);
        std::optional<OwnedMatrix> result;
        bool threw = false;
        try {
            result = run_interruptible(poll.poll(), [&] { return field.merge(workers); });
        } catch (const MergeInterrupted&) {
            threw = true;
        }
        ASSERT_EQ(threw, poll.said_stop());
        if (!threw) {
            ASSERT_EQ(values(*result), expected);
            // Any call stopped at all was asked several times: every pass checks.
            EXPECT_GT(stop_at, 3U);
            return;
        }
        if (++interrupted % check_every == 0) {
            ASSERT_EQ(values(field.merge(workers)), expected) << "the call after the stop";
        }
        ASSERT_LT(stop_at, 100000U) << "the merge never ends";
    }
}

TEST(Interruption, StopAtAnyQuestionEndsTheMergeAndTheNextCallIsRight) {
    for (const Case& c : small_cases()) {
        for (const std::size_t workers : {1U, 2U, 4U}) {
            stop_at_every_question(c, workers, 1);
        }
    }
}

TEST(Interruption, StopWhileALargeResultIsMappedInOrCopied) {
    for (const bool grouped : {true, false}) {
        for (const std::size_t workers : {1U, 2U}) {
            stop_at_every_question(large_case(grouped), workers, 4);
        }
    }
}

TEST(Interruption, APollThatNeverStopsChangesNothing) {
    for (const Case& c : small_cases()) {
        const Field field(c.segments, c.per_segment, c.width, c.grouped, c.shared_key);
        for (const std::size_t workers : {1U, 2U, 4U}) {
            SCOPED_TRACE(describe(c, workers));
            const std::vector<double> expected = values(field.merge(workers));
            CountingPoll poll;
            const OwnedMatrix result =
                run_interruptible(poll.poll(), [&] { return field.merge(workers); });
            EXPECT_EQ(values(result), expected);
            EXPECT_FALSE(poll.said_stop());
            if (workers == 1) {
                // The decision pass and the copy each check every few thousand rows.
                EXPECT_GE(poll.asked(), 2 * field.points.rows() / INTERRUPTION_CHECK_ITEMS);
            }
        }
    }
}

TEST(Interruption, AStopIsNotAFailureReport) {
    const Case& c = small_cases()[1];
    const Field field(c.segments, c.per_segment, c.width, c.grouped, c.shared_key);
    for (const std::size_t workers : {1U, 2U}) {
        CountingPoll poll(3);
        ::testing::internal::CaptureStderr();
        EXPECT_THROW(run_interruptible(poll.poll(), [&] { return field.merge(workers); }),
                     MergeInterrupted);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

// While the calling thread waits for the pool's threads to finish their share, it keeps
// asking, and a stop reaches the pool's threads at their next check.
TEST(Interruption, AWaitingCallingThreadKeepsAskingAndItsStopReachesThePool) {
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> pool_thread_inside{false};
    std::atomic<bool> pool_thread_stopped{false};
    std::atomic<bool> gave_up{false};
    // Says stop once a pool thread is inside its task.
    struct Poll {
        std::atomic<bool>* pool_thread_inside;
        static bool ask(void* self) noexcept {
            return static_cast<Poll*>(self)->pool_thread_inside->load();
        }
    } stop_when_inside{&pool_thread_inside};
    const StopPoll poll{&Poll::ask, &stop_when_inside, std::chrono::nanoseconds(0)};

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    EXPECT_THROW(run_interruptible(poll, [&] {
                     run_indexed(2, 2, [&](std::size_t) {
                         if (std::this_thread::get_id() == caller) {
                             // Hold the other index open for a pool thread, with patience.
                             while (!pool_thread_inside && std::chrono::steady_clock::now() < deadline) {
                                 std::this_thread::sleep_for(1ms);
                             }
                             return;
                         }
                         pool_thread_inside = true;
                         try {
                             while (std::chrono::steady_clock::now() < deadline) {
                                 interruption_point();
                                 std::this_thread::sleep_for(1ms);
                             }
                         } catch (const MergeInterrupted&) {
                             pool_thread_stopped = true;
                             throw;
                         }
                         gave_up = true;
                     });
                     return 0;
                 }),
                 MergeInterrupted);
    ASSERT_TRUE(pool_thread_inside) << "no pool thread could be started";
    EXPECT_TRUE(pool_thread_stopped);
    EXPECT_FALSE(gave_up);
    // The pool serves the next run in full.
    std::atomic<std::size_t> ran{0};
    run_indexed(1000, 2, [&](std::size_t) { ++ran; });
    EXPECT_EQ(ran.load(), 1000U);
}

TEST(Interruption, MappingInAResultStopsBetweenSlices) {
    constexpr std::size_t bytes = std::size_t{64} << 20U;
    const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(bytes);
    CountingPoll whole;
    run_interruptible(whole.poll(), [&] {
        prefault_for_writing(buffer.get(), bytes);
        return 0;
    });
    EXPECT_GE(whole.asked(), 3U) << "one question per slice";
    CountingPoll stopping(2);
    EXPECT_THROW(run_interruptible(stopping.poll(), [&] {
                     prefault_for_writing(buffer.get(), bytes);
                     return 0;
                 }),
                 MergeInterrupted);
    EXPECT_EQ(stopping.asked(), 2U) << "no question after the stop";
}

TEST(Interruption, LoopsCheckEveryFewThousandItemsAndOnlyInsideACall) {
    std::vector<std::size_t> seen;
    for_each_interruptible(3, 10003, [&](std::size_t i) { seen.push_back(i); });
    ASSERT_EQ(seen.size(), 10000U);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.front(), 3U);
    EXPECT_EQ(current_interruption(), nullptr);

    CountingPoll poll(2);
    std::size_t done = 0;
    EXPECT_THROW(run_interruptible(poll.poll(), [&] {
                     for_each_interruptible(0, 10 * INTERRUPTION_CHECK_ITEMS, [&](std::size_t) { ++done; });
                     return 0;
                 }),
                 MergeInterrupted);
    EXPECT_EQ(done, INTERRUPTION_CHECK_ITEMS);
    EXPECT_EQ(current_interruption(), nullptr) << "the call's scope ends with it";
}

// A stop says nothing about another call: an inner call has its own poll, and the outer
// call's state comes back when the inner one ends, whichever way it ends.
TEST(Interruption, CallsNestOnOneThread) {
    CountingPoll outer_poll;
    CountingPoll inner_poll(1);
    const int outer = run_interruptible(outer_poll.poll(), [&] {
        CallInterruption* const mine = current_interruption();
        EXPECT_THROW(run_interruptible(inner_poll.poll(), [&] {
                         interruption_point();
                         return 0;
                     }),
                     MergeInterrupted);
        EXPECT_EQ(current_interruption(), mine);
        interruption_point();
        return 7;
    });
    EXPECT_EQ(outer, 7);
    EXPECT_FALSE(outer_poll.said_stop());
    EXPECT_GE(outer_poll.asked(), 1U);
}

// A poll spaced out by its interval is not asked at every check.
TEST(Interruption, APollIsNotAskedBeforeItsInterval) {
    struct Poll {
        std::size_t asked = 0;
        static bool ask(void* self) noexcept {
            ++static_cast<Poll*>(self)->asked;
            return false;
        }
    } counting;
    const StopPoll poll{&Poll::ask, &counting, std::chrono::hours(1)};
    run_interruptible(poll, [&] {
        for_each_interruptible(0, 100 * INTERRUPTION_CHECK_ITEMS, [](std::size_t) {});
        return 0;
    });
    EXPECT_EQ(counting.asked, 0U);
}

}  // namespace
}  // namespace quillmoor
