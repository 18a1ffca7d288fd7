#include "engine_test_tables.hpp"
#include "merge_engine/connection_merge.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/merge_engine.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmoor {
namespace {

using testing::NaN;
using testing::table;

std::vector<double> column(const OwnedMatrix& m, std::size_t col) {
    std::vector<double> values;
    for (std::size_t r = 0; r < m.rows(); ++r) values.push_back(m.at(r, col));
    return values;
}

std::string failure_of(const OwnedMatrix& conn, const OwnedMatrix& points, const OwnedMatrix& rows,
                       std::size_t threads = 1) {
    try {
        (void)multithreaded_merging(conn, PointTable::of(points), rows, 0.5, threads);
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no failure>";
}

TEST(MultithreadedMerging, WorkedExampleGivesTenRowsInRecordOrder) {
    const testing::WorkedExample ex;
    for (const std::size_t threads : {1U, 2U, 4U}) {
        const OwnedMatrix out = multithreaded_merging(
            ex.connected_crop_rows, PointTable::of(ex.points_in_rows), ex.row_information, 0.5, threads);
        ASSERT_EQ(out.rows(), 10U);
        ASSERT_EQ(out.cols(), 5U);
        EXPECT_TRUE(out.is_row_major());
        EXPECT_EQ(column(out, 4), (std::vector<double>{100, 103, 106, 109, 110.8, 111.4, 209.6,
                                                       211, 215, 220}));
    }
}

TEST(MultithreadedMerging, NoRecordsGivesZeroRowsOfThePointsWidth) {
    const testing::WorkedExample ex;
    const OwnedMatrix none = OwnedMatrix::row_major(0, 11);
    const OwnedMatrix out =
        multithreaded_merging(none, PointTable::of(ex.points_in_rows), ex.row_information, 0.5, 1);
    EXPECT_EQ(out.rows(), 0U);
    EXPECT_EQ(out.cols(), 5U);
}

TEST(MergeConnectionRecord, KeysConvertForGatheringButNeighboursMatchExactly) {
    // Base key (7.6, 1) gathers points keyed 7.x; neighbour (4.0, 1) must not take 4.5.
    const OwnedMatrix rows = table(11, {{4.5, 0, 0, 0, 1, 0, 0, 1, 0, 2, 0},
                                        {7, 0, 0, 0, 1, 0, 0, 1, 0, 2, 0},
                                        {4, 0, 0, 0, 1, 5, 0, 6, 0, 7, 0}});
    // The junction cuts at x = 3 with its near end at x = 1, so x <= 0.5 survives.
    const OwnedMatrix points = table(4, {{7.0, 1, 0, 0}, {7.99, 1.5, 0.2, 0}, {8, 1, 0, 0}});
    const OwnedMatrix conn_exact = table(11, {{0, 7.6, 1, 4.0, 1}});
    const OwnedMatrix out = multithreaded_merging(conn_exact, PointTable::of(points), rows, 0.5, 1);
    EXPECT_EQ(out.rows(), 2U);

    const OwnedMatrix conn_inexact = table(11, {{0, 7.6, 1, 4.2, 1}});
    EXPECT_NE(failure_of(conn_inexact, points, rows).find("no row record matches neighbour key (4.2, 1)"),
              std::string::npos);
}

TEST(MergeConnectionRecord, FirstMatchingRowRecordIsUsed) {
    const OwnedMatrix rows = table(11, {{1, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0},
                                        {1, 0, 0, 0, 1, 100, 0, 110, 0, 105, 0},
                                        {2, 0, 0, 0, 1, 12, 0, 20, 0, 16, 0}});
    const OwnedMatrix conn = table(11, {{0, 1, 1, 2, 1}});
    const OwnedMatrix point_matrix = table(4, {{1, 1, 3, 0}});
    const PointTable points = PointTable::of(point_matrix);
    const PointSlots points_index(conn, points);
    const RowRecordIndex row_index(rows);
    const RecordMerge merge = merge_connection_record(
        0, {conn, points, rows, 0.5}, {points_index, row_index});
    ASSERT_EQ(merge.junction_count, 1U);
    // Cut point (11, 0), near end (10, 0): the second record would cut near x = 60.
    EXPECT_TRUE(merge.junction_tests[0].keeps(11, 0));
    EXPECT_FALSE(merge.junction_tests[0].keeps(10, 0));
}

TEST(MergeConnectionRecord, FailuresComeInScanOrder) {
    const testing::WorkedExample ex;
    // Too few connection columns: the base key cannot be read.
    EXPECT_EQ(failure_of(table(2, {{0, 1}}), ex.points_in_rows, ex.row_information),
              INDEX_OUT_OF_BOUNDS);
    // Points with rows but no columns fail at gathering, before any row lookup.
    EXPECT_EQ(failure_of(ex.connected_crop_rows, OwnedMatrix::row_major(3, 0),
                         OwnedMatrix::row_major(0, 11)),
              INDEX_OUT_OF_BOUNDS);
    // One point column: only a matching key_a fails.
    EXPECT_EQ(failure_of(ex.connected_crop_rows, table(1, {{1}}), ex.row_information),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(failure_of(table(11, {{0, 3, 1}}), table(1, {{1}}),
                         table(5, {{3, 0, 0, 0, 1}})),
              "<no failure>");
    // row_information narrower than 5 columns: a key_a match reads the missing column 4.
    EXPECT_EQ(failure_of(ex.connected_crop_rows, ex.points_in_rows, table(4, {{1, 0, 0, 0}})),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(failure_of(ex.connected_crop_rows, ex.points_in_rows, table(4, {{9, 0, 0, 0}})),
              "connection record 0: no row record matches base key (1, 1)");
    // A neighbour list not ended by NaN before the table's last column.
    EXPECT_EQ(failure_of(table(6, {{0, 1, 1, 2, 1, 2}}), ex.points_in_rows, ex.row_information),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(failure_of(table(4, {{0, 1, 1, 2}}), ex.points_in_rows, ex.row_information),
              INDEX_OUT_OF_BOUNDS);
    // Reference points need exactly 11 columns, but only once there is a neighbour.
    const OwnedMatrix rows_12 = table(12, {{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5, 0},
                                           {2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16, 0}});
    EXPECT_NE(failure_of(ex.connected_crop_rows, ex.points_in_rows, rows_12).find("expected 6"),
              std::string::npos);
    EXPECT_EQ(failure_of(table(11, {{0, 1, 1}}), ex.points_in_rows, rows_12), "<no failure>");
    // Points of 3 columns fail at the first filter pass over a non-empty list only.
    EXPECT_EQ(failure_of(ex.connected_crop_rows, table(3, {{1, 1, 0}}), ex.row_information),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(failure_of(ex.connected_crop_rows, table(3, {{5, 5, 0}}), ex.row_information),
              "<no failure>");
}

TEST(MultithreadedMerging, LowestFailingRecordIsReported) {
    const testing::WorkedExample ex;
    OwnedMatrix conn = OwnedMatrix::row_major(200, 11);
    for (std::size_t r = 0; r < 200; ++r) {
        const bool broken = r == 37 || r == 120 || r == 199;
        const double row[11] = {0, broken ? 9.0 : 1.0, 1, 2, 1, NaN, NaN, NaN, NaN, NaN, NaN};
        std::copy(std::begin(row), std::end(row), conn.mutable_data() + r * 11);
    }
    for (const std::size_t threads : {1U, 2U, 8U}) {
        EXPECT_EQ(failure_of(conn, ex.points_in_rows, ex.row_information, threads),
                  "connection record 37: no row record matches base key (9, 1)");
    }
}

}  // namespace
}  // namespace quillmoor
