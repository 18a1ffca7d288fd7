#include "merge_engine/junction_geometry.hpp"
#include "merge_engine/overlap_filter.hpp"
#include "merge_engine/table_layout.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillmoor {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

TEST(KeyFromCell, TruncatesAndSaturates) {
    EXPECT_EQ(key_from_cell(3.0), 3U);
    EXPECT_EQ(key_from_cell(3.99), 3U);
    EXPECT_EQ(key_from_cell(0.7), 0U);
    EXPECT_EQ(key_from_cell(-0.5), 0U);
    EXPECT_EQ(key_from_cell(-7.0), 0U);
    EXPECT_EQ(key_from_cell(NaN), 0U);
    EXPECT_EQ(key_from_cell(4294967294.5), 4294967294U);
    EXPECT_EQ(key_from_cell(4294967295.0), 4294967295U);
    EXPECT_EQ(key_from_cell(5e9), 4294967295U);
    EXPECT_EQ(key_from_cell(INF), 4294967295U);
    EXPECT_EQ(key_from_cell(-INF), 0U);
}

TEST(FarthestPair, FirstStrictMaximumWinsAndNaNNeverWins) {
    const ReferencePoints base{{{0, 0}, {10, 10}, {5, 5}}};
    const ReferencePoints neighbour{{{12, 12}, {20, 20}, {16, 16}}};
    const FarthestPair pair = farthest_pair(base, neighbour);
    EXPECT_EQ(pair.base, 0U);
    EXPECT_EQ(pair.neighbour, 1U);

    // Equal greatest distances: smaller base index, then smaller neighbour index.
    const ReferencePoints tie_base{{{0, 0}, {0, 0}, {0, 0}}};
    const ReferencePoints tie_neighbour{{{0, 5}, {0, -5}, {0, 0}}};
    const FarthestPair tie = farthest_pair(tie_base, tie_neighbour);
    EXPECT_EQ(tie.base, 0U);
    EXPECT_EQ(tie.neighbour, 0U);

    const ReferencePoints nan_points{{{NaN, 0}, {NaN, 0}, {NaN, 0}}};
    const FarthestPair none = farthest_pair(nan_points, neighbour);
    EXPECT_EQ(none.base, 0U);
    EXPECT_EQ(none.neighbour, 0U);
}

TEST(JunctionBetween, WorkedExampleCutPoints) {
    const ReferencePoints first{{{0, 0}, {10, 10}, {5, 5}}};
    const ReferencePoints second{{{12, 12}, {20, 20}, {16, 16}}};
    const Junction j0 = junction_between(first, second);
    EXPECT_EQ(j0.cut_point.x, 11.0);
    EXPECT_EQ(j0.cut_point.y, 11.0);
    EXPECT_EQ(j0.near_end.x, 10.0);
    const Junction j1 = junction_between(second, first);
    EXPECT_EQ(j1.cut_point.x, 11.0);
    EXPECT_EQ(j1.near_end.x, 12.0);
    EXPECT_EQ(j1.near_end.y, 12.0);
}

TEST(JunctionBetween, FarEndP2MakesP0TheNearEnd) {
    const ReferencePoints base{{{4, 0}, {6, 0}, {0, 0}}};
    const ReferencePoints neighbour{{{10, 0}, {20, 0}, {15, 0}}};
    const Junction j = junction_between(base, neighbour);  // pair (2, 1): near ends p0, p0
    EXPECT_EQ(j.near_end.x, 4.0);
    EXPECT_EQ(j.cut_point.x, 7.0);
    EXPECT_EQ(j.cut_point.y, 0.0);
}

TEST(JunctionBetween, CoincidentEndsGiveNaNCutPoint) {
    const ReferencePoints same{{{1, 1}, {1, 1}, {1, 1}}};
    const Junction j = junction_between(same, same);
    EXPECT_TRUE(std::isnan(j.cut_point.x));
    EXPECT_TRUE(std::isnan(j.cut_point.y));
}

bool kept(double px, double py, Point2 a, Point2 b, double t) {
    return is_outside_overlap(px, py, Junction{a, b}, t);
}

TEST(OverlapFilter, DiagonalJunctionBoundsAreInclusive) {
    EXPECT_TRUE(kept(1, 1, {0, 0}, {10, 10}, 1));
    EXPECT_FALSE(kept(1.5, 1.5, {0, 0}, {10, 10}, 1));
    EXPECT_TRUE(kept(11, 11, {0, 0}, {10, 10}, 1));
    EXPECT_FALSE(kept(10.5, 10.5, {0, 0}, {10, 10}, 1));
    // Worked example junctions.
    EXPECT_TRUE(kept(10.8, 10.8, {11, 11}, {10, 10}, 0.5));
    EXPECT_FALSE(kept(10.3, 10.3, {11, 11}, {10, 10}, 0.5));
    EXPECT_FALSE(kept(12, 12, {11, 11}, {12, 12}, 0.5));
    EXPECT_TRUE(kept(11, 11, {11, 11}, {12, 12}, 0.5));
}

TEST(OverlapFilter, DistanceTestIsStrictAndKeepsAllButNaNPoints) {
    EXPECT_TRUE(kept(100, -100, {11, 0}, {10, 0}, 1.5));
    EXPECT_FALSE(kept(NaN, 0, {11, 0}, {10, 0}, 1.5));
    // d == t: the orientation rule decides.
    EXPECT_TRUE(kept(1.5, 2, {0, 0}, {3, 4}, 5));
    EXPECT_FALSE(kept(6, 6, {0, 0}, {3, 4}, 5));
    EXPECT_TRUE(kept(-1, -1, {0, 0}, {3, 4}, 5));
}

TEST(OverlapFilter, NaNToleranceOrPointIsNeverKept) {
    EXPECT_FALSE(kept(-50, -50, {0, 0}, {10, 10}, NaN));
    EXPECT_FALSE(kept(0, 0, {1, 1}, {1, 1}, NaN));
    EXPECT_FALSE(kept(NaN, 5, {11, 0}, {10, 0}, 0.5));
    EXPECT_FALSE(kept(5, NaN, {NaN, NaN}, {10, 0}, 0.5));
}

TEST(OverlapFilter, AxisAlignedJunctionKeepsTheInterior) {
    EXPECT_TRUE(kept(11, 0, {11, 0}, {10, 0}, 0.5));
    EXPECT_TRUE(kept(5, 1, {11, 0}, {10, 0}, 0.5));
    EXPECT_TRUE(kept(5, 0, {11, 0}, {10, 0}, 0.5));
    EXPECT_FALSE(kept(10, 0, {11, 0}, {10, 0}, 0.5));
    EXPECT_TRUE(kept(8, 0, {8, 0}, {10, 0}, 1));
    EXPECT_TRUE(kept(5, 0, {8, 0}, {10, 0}, 1));
    EXPECT_TRUE(kept(11, 0, {8, 0}, {10, 0}, 1));
    EXPECT_FALSE(kept(9.5, 0, {8, 0}, {10, 0}, 1));
    EXPECT_TRUE(kept(123, -4, {NaN, NaN}, {10, 0}, 0.5));  // NaN cut point drops nothing
}

TEST(OverlapFilter, NonPositiveToleranceMovesTheBounds) {
    EXPECT_TRUE(kept(0, 0, {0, 0}, {10, 10}, 0));
    EXPECT_FALSE(kept(0, 0, {0, 0}, {10, 10}, -1));
    EXPECT_TRUE(kept(9, 9, {0, 0}, {10, 10}, -1));
}

}  // namespace
}  // namespace quillmoor
