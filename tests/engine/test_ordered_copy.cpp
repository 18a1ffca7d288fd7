// Kept rows that already lie in output order (grouped points, one record per key) are
// copied in table order, each chunk into one run; everything else takes the general path.
// Both must give the same result, bit for bit, for every worker count.
#include "engine_test_tables.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/point_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace quillmoor {
namespace {

using testing::NaN;

constexpr std::size_t SEGMENTS = 30;
constexpr std::size_t POINTS_PER_SEGMENT = 64;
constexpr std::size_t STRAYS = 500;  // rows whose key no record has
constexpr std::size_t WIDTH = 6;     // key_a, key_b, x, y, point id, spare
constexpr double TOLERANCE = 0.5;

// Segments of one crop row along a slant (no ties), each overlapping the next; record s
// joins segment s to both neighbours. `record_order` lists the segments in record order.
struct Field {
    OwnedMatrix row_information = OwnedMatrix::row_major(SEGMENTS, 11);
    OwnedMatrix connected = OwnedMatrix::row_major(SEGMENTS, 11);

    explicit Field(const std::vector<std::size_t>& record_order) {
        for (std::size_t s = 0; s < SEGMENTS; ++s) {
            const double start = 10.0 * static_cast<double>(s) - 1.0;
            const std::array<double, 11> row{1, 0, 0, 0, static_cast<double>(s + 1),
                                             start, start / 2, start + 12.0, (start + 12.0) / 2,
                                             start + 6.0, (start + 6.0) / 2};
            std::copy(row.begin(), row.end(), row_information.mutable_data() + s * 11);
        }
        for (std::size_t r = 0; r < SEGMENTS; ++r) {
            const std::size_t s = record_order[r];
            std::array<double, 11> record{static_cast<double>(r), 1, static_cast<double>(s + 1)};
            std::fill(record.begin() + 3, record.end(), NaN);
            std::size_t col = 3;
            for (const std::size_t neighbour : {s - 1, s + 1}) {
                if (neighbour < SEGMENTS) {
                    record[col++] = 1;
                    record[col++] = static_cast<double>(neighbour + 1);
                }
            }
            std::copy(record.begin(), record.end(), connected.mutable_data() + r * 11);
        }
    }
};

std::vector<std::size_t> segments_in_order() {
    std::vector<std::size_t> order(SEGMENTS);
    for (std::size_t s = 0; s < SEGMENTS; ++s) {
        order[s] = s;
    }
    return order;
}

// Point i of n along segment s, the same values in every layout; a stray row has key (1, 999).
std::array<double, WIDTH> point(std::size_t s, std::size_t i, std::size_t n) {
    const double along = 10.0 * static_cast<double>(s) - 1.0 +
                         static_cast<double>(i) * 12.0 / static_cast<double>(n);
    return {1, static_cast<double>(s + 1), along, along / 2, static_cast<double>(s * n + i), 7};
}
std::array<double, WIDTH> stray(std::size_t i) {
    return {1, 999, static_cast<double>(i), 0, -1, 7};
}

// Stray rows first (a chunk may keep nothing), then the points: grouped segment by
// segment, or interleaved (segment after segment within each index), both keeping each
// segment's points in the same relative order. Grouped segments start at first_segment
// and wrap around.
std::vector<double> layout(bool grouped, std::size_t strays = STRAYS, std::size_t first_segment = 0,
                           std::size_t per_segment = POINTS_PER_SEGMENT) {
    std::vector<double> cells;
    const auto append = [&cells](const std::array<double, WIDTH>& row) {
        cells.insert(cells.end(), row.begin(), row.end());
    };
    for (std::size_t i = 0; i < strays; ++i) {
        append(stray(i));
    }
    for (std::size_t outer = 0; outer < (grouped ? SEGMENTS : per_segment); ++outer) {
        for (std::size_t inner = 0; inner < (grouped ? per_segment : SEGMENTS); ++inner) {
            append(grouped ? point((first_segment + outer) % SEGMENTS, inner, per_segment)
                           : point(inner, outer, per_segment));
        }
    }
    return cells;
}

OwnedMatrix merge(const Field& field, const std::vector<double>& cells, std::size_t workers) {
    constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    const PointTable points(cells.size() / WIDTH, WIDTH, WIDTH * element, element, cells.data());
    return multithreaded_merging(field.connected, points, field.row_information, TOLERANCE, workers);
}

std::vector<double> values(const OwnedMatrix& m) {
    std::vector<double> out;
    for (std::size_t r = 0; r < m.rows(); ++r) {
        for (std::size_t c = 0; c < m.cols(); ++c) {
            out.push_back(m(r, c));
        }
    }
    return out;
}

TEST(OrderedCopy, GroupedPointsGiveTheInterleavedResultForEveryWorkerCount) {
    const Field field(segments_in_order());
    const std::vector<double> grouped = layout(true);
    const std::vector<double> interleaved = layout(false);
    const std::vector<double> expected = values(merge(field, interleaved, 1));
    // The overlaps drop some points of every segment, and most are kept.
    ASSERT_LT(expected.size(), SEGMENTS * POINTS_PER_SEGMENT * WIDTH);
    ASSERT_GT(expected.size(), SEGMENTS * POINTS_PER_SEGMENT * WIDTH / 2);
    for (const std::size_t workers : {1U, 2U, 3U, 7U}) {
        EXPECT_EQ(values(merge(field, grouped, workers)), expected) << workers << " workers";
        EXPECT_EQ(values(merge(field, interleaved, workers)), expected) << workers << " workers";
    }
}

TEST(OrderedCopy, GroupedPointsOfRecordsListedOutOfTableOrderAreRegrouped) {
    // Records list the segments backwards: kept rows in table order then run against
    // record order, so their blocks must still come record by record.
    std::vector<std::size_t> backwards = segments_in_order();
    std::reverse(backwards.begin(), backwards.end());
    const Field field(backwards);
    const std::vector<double> expected = values(merge(field, layout(false), 1));
    ASSERT_FALSE(expected.empty());
    // Record 0 is the last segment: the result starts with its points.
    EXPECT_EQ(expected[1], static_cast<double>(SEGMENTS));
    for (const std::size_t workers : {1U, 2U, 5U}) {
        EXPECT_EQ(values(merge(field, layout(true), workers)), expected) << workers << " workers";
    }
}

TEST(OrderedCopy, TwoSegmentsSwappedInTheTableBreakTheOrderOnlyThere) {
    // Grouped, but segments 10 and 11 stand in swapped places: a table almost in output
    // order must give the same result as the interleaved one.
    const Field field(segments_in_order());
    std::vector<double> swapped = layout(true);
    const auto segment_begin = [](std::size_t s) {
        return static_cast<std::ptrdiff_t>((STRAYS + s * POINTS_PER_SEGMENT) * WIDTH);
    };
    std::swap_ranges(swapped.begin() + segment_begin(10), swapped.begin() + segment_begin(11),
                     swapped.begin() + segment_begin(11));
    const std::vector<double> expected = values(merge(field, layout(false), 1));
    for (const std::size_t workers : {1U, 2U, 4U}) {
        EXPECT_EQ(values(merge(field, swapped, workers)), expected) << workers << " workers";
    }
}

TEST(OrderedCopy, ChunksEachInOrderButNotAfterEachOtherAreRegrouped) {
    // The second half of the segments first: with two workers each half of the table is a
    // chunk whose rows are in record order, while the chunks are not.
    static_assert(SEGMENTS % 2 == 0);
    const Field field(segments_in_order());
    const std::vector<double> expected = values(merge(field, layout(false), 1));
    const std::vector<double> rotated = layout(true, 0, SEGMENTS / 2);
    for (const std::size_t workers : {1U, 2U}) {
        EXPECT_EQ(values(merge(field, rotated, workers)), expected) << workers << " workers";
    }
}

// Results of 16 MiB and more are written around the caches, on both paths.
constexpr std::size_t LARGE_PER_SEGMENT = 12000;
static_assert(SEGMENTS * LARGE_PER_SEGMENT * WIDTH * sizeof(double) >= (std::size_t{16} << 20U));

TEST(OrderedCopy, LargeTablesCopiedWhileDecidedGiveTheGeneralResult) {
    const Field field(segments_in_order());
    const std::vector<double> expected = values(merge(field, layout(false, 0, 0, LARGE_PER_SEGMENT), 2));
    ASSERT_GT(expected.size(), SEGMENTS * LARGE_PER_SEGMENT * WIDTH / 2);
    // In order throughout; with strays first; out of order from the middle on.
    EXPECT_EQ(values(merge(field, layout(true, 0, 0, LARGE_PER_SEGMENT), 1)), expected);
    EXPECT_EQ(values(merge(field, layout(true, STRAYS, 0, LARGE_PER_SEGMENT), 1)), expected);
    EXPECT_EQ(values(merge(field, layout(true, 0, SEGMENTS / 2, LARGE_PER_SEGMENT), 1)), expected);
    EXPECT_EQ(values(merge(field, layout(false, 0, 0, LARGE_PER_SEGMENT), 1)), expected);
}

TEST(OrderedCopy, LargeTableOfRecordsListedBackwardsIsRegrouped) {
    std::vector<std::size_t> backwards = segments_in_order();
    std::reverse(backwards.begin(), backwards.end());
    const Field field(backwards);
    const std::vector<double> expected = values(merge(field, layout(false, 0, 0, LARGE_PER_SEGMENT), 2));
    EXPECT_EQ(values(merge(field, layout(true, 0, 0, LARGE_PER_SEGMENT), 1)), expected);
}

TEST(OrderedCopy, LargeTableKeepingNothingGivesAnEmptyResult) {
    // Every point is a stray: the result has no rows.
    const Field field(segments_in_order());
    const std::vector<double> strays = layout(true, SEGMENTS * LARGE_PER_SEGMENT, 0, 0);
    const OwnedMatrix result = merge(field, strays, 1);
    EXPECT_EQ(result.rows(), 0U);
    EXPECT_EQ(result.cols(), WIDTH);
}

}  // namespace
}  // namespace quillmoor
