// argmerge gives the positions of the rows the merge returns: taking the rows of the
// table at those positions gives the merge's result bit for bit, for every layout of the
// points (grouped or shuffled, shared keys, a whole table or its four columns alone) and
// every worker count; and it fails where the merge fails, with the same text.
#include "engine_test_tables.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/interruption.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/point_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quillmoor {
namespace {

using testing::NaN;
using testing::table;

constexpr std::size_t SEGMENTS = 24;
constexpr std::size_t WIDTH = 6;  // key_a, key_b, x, y, point id, spare
constexpr double TOLERANCE = 0.5;
constexpr auto ELEMENT = static_cast<std::ptrdiff_t>(sizeof(double));

// Segments of one crop row along a slant, each overlapping the next; record s joins
// segment s to both neighbours. With `shared_key`, one more record repeats segment 0's
// key, so its kept rows come twice.
struct Field {
    OwnedMatrix row_information = OwnedMatrix::row_major(SEGMENTS, 11);
    OwnedMatrix connected;

    explicit Field(bool shared_key = false)
        : connected(OwnedMatrix::row_major(SEGMENTS + (shared_key ? 1 : 0), 11)) {
        for (std::size_t s = 0; s < SEGMENTS; ++s) {
            const double start = 10.0 * static_cast<double>(s) - 1.0;
            const std::array<double, 11> row{1, 0, 0, 0, static_cast<double>(s + 1),
                                             start, start / 2, start + 12.0, (start + 12.0) / 2,
                                             start + 6.0, (start + 6.0) / 2};
            std::copy(row.begin(), row.end(), row_information.mutable_data() + s * 11);
        }
        for (std::size_t r = 0; r < connected.rows(); ++r) {
            const std::size_t s = r % SEGMENTS;
            std::array<double, 11> record{static_cast<double>(r), 1, static_cast<double>(s + 1)};
            std::fill(record.begin() + 3, record.end(), NaN);
            std::size_t col = 3;
            for (const std::size_t neighbour : {s - 1, s + 1}) {
                if (neighbour < SEGMENTS) {  // s - 1 wraps around for segment 0
                    record[col++] = 1;
                    record[col++] = static_cast<double>(neighbour + 1);
                }
            }
            std::copy(record.begin(), record.end(), connected.mutable_data() + r * 11);
        }
    }
};

// `per_segment` points along every segment (ids below SEGMENTS * per_segment) and rows of
// a key no record has (the ids above), in the order `order` gives, each row carrying its id.
struct Points {
    std::vector<double> cells;
    std::size_t rows = 0;

    Points(std::size_t per_segment, const std::vector<std::size_t>& order) {
        rows = order.size();
        cells.resize(rows * WIDTH);
        for (std::size_t row = 0; row < rows; ++row) {
            const std::size_t id = order[row];
            std::array<double, WIDTH> cell{1, 999, static_cast<double>(id), 0, static_cast<double>(id), 7};
            if (id < SEGMENTS * per_segment) {
                const std::size_t s = id / per_segment;
                const double along = 10.0 * static_cast<double>(s) - 1.0 +
                                     static_cast<double>(id % per_segment) * 12.0 /
                                         static_cast<double>(per_segment);
                cell = {1, static_cast<double>(s + 1), along, along / 2, static_cast<double>(id), 7};
            }
            std::copy(cell.begin(), cell.end(), cells.begin() + static_cast<std::ptrdiff_t>(row * WIDTH));
        }
    }

    PointTable whole() const {
        return {rows, WIDTH, WIDTH * ELEMENT, ELEMENT, cells.data()};
    }
    // The four decision columns alone, strided as a row-major table's columns are.
    PointTable columns() const {
        PointTable::DecisionColumns columns{};
        for (std::size_t col = 0; col < columns.size(); ++col) {
            columns[col] = {cells.data() + col, WIDTH * ELEMENT};
        }
        return PointTable::of_columns(rows, columns);
    }
};

// Row ids 0 .. n-1: grouped segment by segment, then the strays.
std::vector<std::size_t> grouped_order(std::size_t n) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    return order;
}

std::vector<std::size_t> shuffled_order(std::size_t n) {
    std::vector<std::size_t> order = grouped_order(n);
    std::shuffle(order.begin(), order.end(), std::mt19937_64(11));
    return order;
}

std::vector<RowPosition> positions_of(const KeptPositions& kept) {
    return {kept.positions.get(), kept.positions.get() + kept.count};
}
std::vector<RowPosition> bounds_of(const KeptPositions& kept) {
    return {kept.record_bounds.get(), kept.record_bounds.get() + kept.record_count + 1};
}

// The rows at `positions`, every column, as the merge lays out its result.
std::vector<double> rows_at(const Points& points, const std::vector<RowPosition>& positions) {
    std::vector<double> out;
    for (const RowPosition position : positions) {
        const auto first = points.cells.begin() + static_cast<std::ptrdiff_t>(position) * static_cast<std::ptrdiff_t>(WIDTH);
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(WIDTH));
    }
    return out;
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

// Each record's block holds rows of its own base key, in increasing table position.
void expect_blocks_of_their_records(const Field& field, const Points& points,
                                    const KeptPositions& kept) {
    const std::vector<RowPosition> bounds = bounds_of(kept);
    ASSERT_EQ(bounds.front(), 0);
    ASSERT_EQ(static_cast<std::size_t>(bounds.back()), kept.count);
    for (std::size_t record = 0; record < kept.record_count; ++record) {
        ASSERT_LE(bounds[record], bounds[record + 1]);
        for (RowPosition i = bounds[record]; i < bounds[record + 1]; ++i) {
            const RowPosition position = kept.positions[static_cast<std::size_t>(i)];
            ASSERT_EQ(points.cells[static_cast<std::size_t>(position) * WIDTH + 1],
                      field.connected(record, 2)) << "record " << record;
            if (i > bounds[record]) {
                ASSERT_LT(kept.positions[static_cast<std::size_t>(i) - 1], position);
            }
        }
    }
}

constexpr std::size_t PER_SEGMENT = 50;
constexpr std::size_t STRAYS = 300;

TEST(Argmerge, WorkedExampleGivesTheKeptRowsAndEachRecordsBlock) {
    const testing::WorkedExample ex;
    const PointTable whole = PointTable::of(ex.points_in_rows);
    const double* cells = ex.points_in_rows.data();
    PointTable::DecisionColumns columns{};
    for (std::size_t col = 0; col < columns.size(); ++col) {
        columns[col] = {cells + col, 5 * ELEMENT};
    }
    for (const std::size_t threads : {1U, 2U, 4U}) {
        for (const PointTable& points : {whole, PointTable::of_columns(13, columns)}) {
            const KeptPositions kept =
                argmerge(ex.connected_crop_rows, points, ex.row_information, 0.5, threads);
            EXPECT_EQ(positions_of(kept), (std::vector<RowPosition>{0, 1, 2, 3, 6, 7, 8, 9, 11, 12}));
            EXPECT_EQ(bounds_of(kept), (std::vector<RowPosition>{0, 6, 10}));
        }
    }
}

TEST(Argmerge, RowsAtThePositionsAreTheMergesResultForEveryLayoutAndWorkerCount) {
    const std::size_t n = SEGMENTS * PER_SEGMENT + STRAYS;
    for (const bool shared_key : {false, true}) {
        const Field field(shared_key);
        for (const bool shuffled : {false, true}) {
            const Points points(PER_SEGMENT, shuffled ? shuffled_order(n) : grouped_order(n));
            const std::vector<double> merged = values(multithreaded_merging(
                field.connected, points.whole(), field.row_information, TOLERANCE, 1));
            // Most points are kept, not all.
            ASSERT_GT(merged.size(), SEGMENTS * PER_SEGMENT * WIDTH / 2);
            ASSERT_LT(merged.size(), SEGMENTS * PER_SEGMENT * WIDTH);
            for (const std::size_t workers : {1U, 2U, 3U, 7U}) {
                for (const PointTable& table : {points.whole(), points.columns()}) {
                    const KeptPositions kept =
                        argmerge(field.connected, table, field.row_information, TOLERANCE, workers);
                    EXPECT_EQ(rows_at(points, positions_of(kept)), merged)
                        << "shared key " << shared_key << ", shuffled " << shuffled << ", "
                        << workers << " workers";
                    expect_blocks_of_their_records(field, points, kept);
                }
            }
        }
    }
}

TEST(Argmerge, SegmentsSwappedInAGroupedTableAreRegrouped) {
    // Grouped, but two segments stand in swapped places: almost in output order.
    const Field field;
    std::vector<std::size_t> order = grouped_order(SEGMENTS * PER_SEGMENT);
    std::swap_ranges(order.begin() + 10 * PER_SEGMENT, order.begin() + 11 * PER_SEGMENT,
                     order.begin() + 11 * PER_SEGMENT);
    const Points points(PER_SEGMENT, order);
    const std::vector<double> merged = values(
        multithreaded_merging(field.connected, points.whole(), field.row_information, TOLERANCE, 1));
    for (const std::size_t workers : {1U, 2U, 4U}) {
        const KeptPositions kept =
            argmerge(field.connected, points.columns(), field.row_information, TOLERANCE, workers);
        EXPECT_EQ(rows_at(points, positions_of(kept)), merged) << workers << " workers";
    }
}

TEST(Argmerge, NothingKeptGivesNoPositionsAndEmptyBlocks) {
    const Field field;
    // Only strays; then no points at all.
    const Points strays(PER_SEGMENT, [] {
        std::vector<std::size_t> order(STRAYS);
        std::iota(order.begin(), order.end(), SEGMENTS * PER_SEGMENT);
        return order;
    }());
    const Points none(PER_SEGMENT, {});
    for (const Points* points : {&strays, &none}) {
        const KeptPositions kept =
            argmerge(field.connected, points->columns(), field.row_information, TOLERANCE, 2);
        EXPECT_EQ(kept.count, 0U);
        EXPECT_EQ(bounds_of(kept), std::vector<RowPosition>(SEGMENTS + 1, 0));
    }
    // No connection records: one bound.
    const OwnedMatrix no_records = OwnedMatrix::row_major(0, 11);
    const Points points(PER_SEGMENT, grouped_order(SEGMENTS * PER_SEGMENT));
    const KeptPositions kept = argmerge(no_records, points.whole(), field.row_information, TOLERANCE, 1);
    EXPECT_EQ(kept.count, 0U);
    EXPECT_EQ(bounds_of(kept), std::vector<RowPosition>{0});
}

std::string failure_of(const auto& call) {
    try {
        call();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no failure>";
}

TEST(Argmerge, FailsWhereTheMergeFailsWithTheSameText) {
    const testing::WorkedExample ex;
    const auto both = [](const OwnedMatrix& conn, const OwnedMatrix& points, const OwnedMatrix& rows,
                         std::size_t threads) {
        const std::string merged = failure_of(
            [&] { (void)multithreaded_merging(conn, PointTable::of(points), rows, 0.5, threads); });
        const std::string positions =
            failure_of([&] { (void)argmerge(conn, PointTable::of(points), rows, 0.5, threads); });
        EXPECT_EQ(positions, merged);
        return positions;
    };
    // A base key without a row record, at records 37 and 120: the lowest is reported.
    OwnedMatrix conn = OwnedMatrix::row_major(200, 11);
    for (std::size_t r = 0; r < 200; ++r) {
        const bool broken = r == 37 || r == 120;
        const double row[11] = {0, broken ? 9.0 : 1.0, 1, 2, 1, NaN, NaN, NaN, NaN, NaN, NaN};
        std::copy(std::begin(row), std::end(row), conn.mutable_data() + r * 11);
    }
    for (const std::size_t threads : {1U, 2U, 8U}) {
        EXPECT_EQ(both(conn, ex.points_in_rows, ex.row_information, threads),
                  "connection record 37: no row record matches base key (9, 1)");
    }
    // Narrow tables fail as in the merge: no columns, one column, three columns.
    EXPECT_EQ(both(ex.connected_crop_rows, OwnedMatrix::row_major(3, 0), ex.row_information, 1),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(both(ex.connected_crop_rows, table(1, {{1}}), ex.row_information, 2), INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(both(ex.connected_crop_rows, table(3, {{1, 1, 0}}), ex.row_information, 1),
              INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(both(ex.connected_crop_rows, table(3, {{5, 5, 0}}), ex.row_information, 1), "<no failure>");
    // A neighbour list not ended inside the table.
    EXPECT_EQ(both(table(6, {{0, 1, 1, 2, 1, 2}}), ex.points_in_rows, ex.row_information, 1),
              INDEX_OUT_OF_BOUNDS);
}

TEST(Argmerge, TheMergeRefusesATableOfColumnsOnly) {
    // Columns alone cannot be copied as rows: the merge says so instead of reading
    // outside them.
    const testing::WorkedExample ex;
    const double* cells = ex.points_in_rows.data();
    PointTable::DecisionColumns columns{};
    for (std::size_t col = 0; col < columns.size(); ++col) {
        columns[col] = {cells + col, 5 * ELEMENT};
    }
    const std::string failure = failure_of([&] {
        (void)multithreaded_merging(ex.connected_crop_rows, PointTable::of_columns(13, columns),
                                    ex.row_information, 0.5, 1);
    });
    EXPECT_NE(failure.find("whole point rows"), std::string::npos) << failure;
}

// Says stop at its `stop_at`-th question, asked at every interruption point of the
// calling thread.
struct StopAtQuestion {
    std::size_t stop_at;
    std::size_t asked = 0;
    bool said_stop = false;

    static bool ask(void* self) noexcept {
        auto& poll = *static_cast<StopAtQuestion*>(self);
        poll.said_stop = ++poll.asked == poll.stop_at;
        return poll.said_stop;
    }
    StopPoll poll() { return {&StopAtQuestion::ask, this, std::chrono::nanoseconds(0)}; }
};

TEST(Argmerge, StopsAtAnyQuestionAndTheNextCallIsRight) {
    // Stopped at its 1st, 2nd, ... question in turn until a call ends unstopped: each
    // stopped call throws MergeInterrupted and the call after it gives the positions.
    const std::size_t n = SEGMENTS * 400;
    for (const bool shared_key : {false, true}) {
        const Field field(shared_key);
        for (const bool shuffled : {false, true}) {
            const Points points(400, shuffled ? shuffled_order(n) : grouped_order(n));
            for (const std::size_t workers : {1U, 2U}) {
                const auto call = [&] {
                    return argmerge(field.connected, points.columns(), field.row_information,
                                    TOLERANCE, workers);
                };
                const std::vector<RowPosition> expected = positions_of(call());
                for (std::size_t stop_at = 1;; ++stop_at) {
                    SCOPED_TRACE("stop at question " + std::to_string(stop_at));
                    StopAtQuestion poll{stop_at};
                    std::optional<KeptPositions> kept;
                    try {
                        kept = run_interruptible(poll.poll(), call);
                    } catch (const MergeInterrupted&) {
                        ASSERT_TRUE(poll.said_stop);
                        ASSERT_EQ(positions_of(call()), expected);
                        continue;
                    }
                    ASSERT_FALSE(poll.said_stop);
                    ASSERT_EQ(positions_of(*kept), expected);
                    EXPECT_GT(stop_at, 2U);  // both passes were asked
                    break;
                }
            }
        }
    }
}

// Positions of 16 MiB and more are written around the caches when they are already in
// output order. Columns with stride 0 stand for a whole column of one value, so only the
// key_b and x columns take memory.
constexpr std::size_t LARGE_PER_SEGMENT = 120000;
static_assert(SEGMENTS * LARGE_PER_SEGMENT * sizeof(RowPosition) * 3 / 4 >= (std::size_t{16} << 20U));

struct LargeColumns {
    std::vector<double> key_b;
    std::vector<double> x;
    double one = 1.0;
    double zero = 0.0;

    // Row `row` holds the point with id order[row]: its segment and place along the row.
    explicit LargeColumns(const std::vector<std::size_t>& order) : key_b(order.size()), x(order.size()) {
        for (std::size_t row = 0; row < order.size(); ++row) {
            const std::size_t s = order[row] / LARGE_PER_SEGMENT;
            key_b[row] = static_cast<double>(s + 1);
            x[row] = 10.0 * static_cast<double>(s) - 1.0 +
                     static_cast<double>(order[row] % LARGE_PER_SEGMENT) * 12.0 / LARGE_PER_SEGMENT;
        }
    }
    PointTable table() const {
        return PointTable::of_columns(x.size(), {{{&one, 0}, {key_b.data(), ELEMENT}, {x.data(), ELEMENT},
                                                  {&zero, 0}}});
    }
};

TEST(Argmerge, LargeGroupedTableGivesTheShuffledTablesRowsInTheSameOrder) {
    // The rows of each segment keep their relative order in both tables, so the grouped
    // table's positions (the streamed path) are the shuffled table's (the general path),
    // each mapped to its row's id.
    Field field;
    for (std::size_t s = 0; s < SEGMENTS; ++s) {  // a flat row: y is 0 throughout
        for (const std::size_t col : {6U, 8U, 10U}) {
            field.row_information.mutable_data()[s * 11 + col] = 0.0;
        }
    }
    const std::size_t n = SEGMENTS * LARGE_PER_SEGMENT;
    const std::vector<std::size_t> grouped = grouped_order(n);
    // Interleaved segment after segment: each segment's points stay in order.
    std::vector<std::size_t> interleaved;
    interleaved.reserve(n);
    for (std::size_t i = 0; i < LARGE_PER_SEGMENT; ++i) {
        for (std::size_t s = 0; s < SEGMENTS; ++s) {
            interleaved.push_back(s * LARGE_PER_SEGMENT + i);
        }
    }
    const LargeColumns grouped_columns(grouped);
    const LargeColumns interleaved_columns(interleaved);
    const KeptPositions expected =
        argmerge(field.connected, interleaved_columns.table(), field.row_information, TOLERANCE, 2);
    ASSERT_GE(expected.count * sizeof(RowPosition), std::size_t{16} << 20U);
    ASSERT_LT(expected.count, n);
    std::vector<RowPosition> expected_ids(expected.count);
    for (std::size_t i = 0; i < expected.count; ++i) {
        expected_ids[i] = static_cast<RowPosition>(interleaved[static_cast<std::size_t>(expected.positions[i])]);
    }
    for (const std::size_t workers : {1U, 2U}) {
        const KeptPositions kept =
            argmerge(field.connected, grouped_columns.table(), field.row_information, TOLERANCE, workers);
        EXPECT_TRUE(positions_of(kept) == expected_ids) << workers << " workers";
        EXPECT_EQ(bounds_of(kept), bounds_of(expected));
    }
}

}  // namespace
}  // namespace quillmoor
