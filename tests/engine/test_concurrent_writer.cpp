// The engine reads points_in_rows in the caller's memory, where another thread may write
// at the same time. Whatever that thread writes, a call must stay inside its buffers and
// return a result whose shape agrees with its data; run under AddressSanitizer and
// ThreadSanitizer too.
#include "engine_test_tables.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/point_table.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace quillmoor {
namespace {

using testing::NaN;

constexpr std::size_t SEGMENTS = 40;
constexpr std::size_t POINTS_PER_SEGMENT = 100;
constexpr std::size_t POINT_COUNT = SEGMENTS * POINTS_PER_SEGMENT;
constexpr std::size_t WIDTH = 5;     // key_a, key_b, x, y, row id
constexpr std::size_t ROW_ID = 4;    // never written by the writer

// One crop row along x, split into SEGMENTS segments of length 10 overlapping by 1;
// connection record s joins segment s to its neighbours. With a shared key, two records
// share the base key of segment 0, so some rows are kept twice.
struct Field {
    OwnedMatrix connected;
    OwnedMatrix row_information = OwnedMatrix::row_major(SEGMENTS, 11);

    explicit Field(bool shared_key = true)
        : connected(OwnedMatrix::row_major(SEGMENTS + (shared_key ? 1 : 0), 11)) {
        for (std::size_t s = 0; s < SEGMENTS; ++s) {
            const double start = 10.0 * static_cast<double>(s) - 1.0;
            const std::array<double, 11> row{1, 0, 0, 0, static_cast<double>(s + 1), start, 0,
                                             start + 12.0, 0, start + 6.0, 0};
            std::copy(row.begin(), row.end(), row_information.mutable_data() + s * 11);
        }
        for (std::size_t r = 0; r < connected.rows(); ++r) {
            const std::size_t s = r == SEGMENTS ? 0 : r;
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

// Segments interleaved row by row, as in shuffled tables, or grouped one after another
// (whose kept rows already stand in output order when no key is shared).
enum class Layout { INTERLEAVED, GROUPED };

// A point row as generated: segment s, evenly along it.
std::array<double, WIDTH> original_point(std::size_t row, Layout layout = Layout::INTERLEAVED) {
    const bool grouped = layout == Layout::GROUPED;
    const std::size_t s = grouped ? row / POINTS_PER_SEGMENT : row % SEGMENTS;
    const std::size_t i = grouped ? row % POINTS_PER_SEGMENT : row / SEGMENTS;
    const double along = static_cast<double>(i) * 12.0 / POINTS_PER_SEGMENT;
    return {1, static_cast<double>(s + 1), 10.0 * static_cast<double>(s) - 1.0 + along, 0,
            static_cast<double>(row)};
}

// Writes junk into key and coordinate cells until told to stop. Its stores are atomic,
// as far as C++ can say so; the engine's racing reads are the intended ones.
class Scribbler {
public:
    Scribbler(double* cells, std::size_t rows, std::ptrdiff_t row_step, std::ptrdiff_t col_step,
              Layout layout)
        : thread_([=, this] {
              std::mt19937_64 random(7);
              constexpr double inf = std::numeric_limits<double>::infinity();
              const std::array<double, 12> junk{NaN, inf, -inf, 0.0, -1.0, 1e300, 4294967295.0,
                                                1.0, 2.0, 3.5, 40.0, 1e-300};
              while (!stop_.load(std::memory_order_relaxed)) {
                  const std::size_t row = random() % rows;
                  const std::size_t col = random() % ROW_ID;
                  double& cell = cells[static_cast<std::ptrdiff_t>(row) * row_step +
                                       static_cast<std::ptrdiff_t>(col) * col_step];
                  const std::uint64_t pick = random();
                  const double value = pick % 3 == 0 ? junk[pick % junk.size()]
                                                     : original_point(row, layout)[col];
                  std::atomic_ref<double>(cell).store(value, std::memory_order_relaxed);
                  writes_.fetch_add(1, std::memory_order_relaxed);
              }
          }) {}
    Scribbler(const Scribbler&) = delete;
    Scribbler& operator=(const Scribbler&) = delete;
    ~Scribbler() {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
    std::uint64_t writes() const { return writes_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> writes_{0};
    std::thread thread_;
};

// What a result must be, whatever was written: the points' width, one buffer of exactly
// rows x width values, every row a real point row (its id column intact), no row more
// often than the records that may keep it (each row is decided once, so a row whose key
// no two records share comes at most once, whatever its key was when read).
void expect_consistent(const OwnedMatrix& result, std::size_t max_copies = 2) {
    ASSERT_EQ(result.cols(), WIDTH);
    ASSERT_LE(result.rows(), POINT_COUNT + POINTS_PER_SEGMENT);
    if (result.rows() == 0) {
        return;
    }
    ASSERT_TRUE(result.is_row_major());
    ASSERT_EQ(result.buffer_length(), result.rows() * WIDTH);
    std::multiset<double> ids;
    for (std::size_t r = 0; r < result.rows(); ++r) {
        const double id = result(r, ROW_ID);
        ASSERT_TRUE(id >= 0 && id < POINT_COUNT && id == std::floor(id)) << id;
        ids.insert(id);
        ASSERT_LE(ids.count(id), max_copies);
    }
}

void merge_while_scribbled(PointTable points, double* cells, std::ptrdiff_t row_step,
                           std::ptrdiff_t col_step, Layout layout = Layout::INTERLEAVED) {
    const Field field(layout == Layout::INTERLEAVED);
    const Scribbler scribbler(cells, POINT_COUNT, row_step, col_step, layout);
    const auto calls = [&](std::size_t threads) {
        for (int call = 0; call < 6; ++call) {
            try {
                expect_consistent(multithreaded_merging(field.connected, points,
                                                        field.row_information, 0.5, threads),
                                  field.connected.rows() > SEGMENTS ? 2 : 1);
            } catch (const InternalError&) {
                // Junk keys may match no row record: a clean failure is fine.
            }
        }
    };
    // Several calls at once, on one and on several threads each.
    std::thread other([&] { calls(2); });
    calls(1);
    calls(3);
    other.join();
    EXPECT_GT(scribbler.writes(), 0U);
}

TEST(ConcurrentWriter, RowMajorPointsStayConsistent) {
    std::vector<double> cells(POINT_COUNT * WIDTH);
    for (std::size_t row = 0; row < POINT_COUNT; ++row) {
        const auto point = original_point(row);
        std::copy(point.begin(), point.end(), cells.begin() + row * WIDTH);
    }
    constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    const PointTable points(POINT_COUNT, WIDTH, WIDTH * element, element, cells.data());
    merge_while_scribbled(points, cells.data(), WIDTH, 1);
}

TEST(ConcurrentWriter, GroupedPointsCopiedInTableOrderStayConsistent) {
    // Grouped points without shared keys take the copy in table order, which follows the
    // fates stored by the first pass; junk keys written meanwhile may break that order
    // mid-pass, which must only send the call down the general path.
    std::vector<double> cells(POINT_COUNT * WIDTH);
    for (std::size_t row = 0; row < POINT_COUNT; ++row) {
        const auto point = original_point(row, Layout::GROUPED);
        std::copy(point.begin(), point.end(), cells.begin() + row * WIDTH);
    }
    constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    const PointTable points(POINT_COUNT, WIDTH, WIDTH * element, element, cells.data());
    merge_while_scribbled(points, cells.data(), WIDTH, 1, Layout::GROUPED);
}

TEST(ConcurrentWriter, ReversedColumnMajorPointsStayConsistent) {
    // Column-major with the rows in reverse: element (i, j) at (n - 1 - i) + j * n.
    std::vector<double> cells(POINT_COUNT * WIDTH);
    for (std::size_t row = 0; row < POINT_COUNT; ++row) {
        const auto point = original_point(row);
        for (std::size_t col = 0; col < WIDTH; ++col) {
            cells[(POINT_COUNT - 1 - row) + col * POINT_COUNT] = point[col];
        }
    }
    constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    double* first = cells.data() + (POINT_COUNT - 1);
    const PointTable points(POINT_COUNT, WIDTH, -element,
                            static_cast<std::ptrdiff_t>(POINT_COUNT) * element, first);
    merge_while_scribbled(points, first, -1, static_cast<std::ptrdiff_t>(POINT_COUNT));
}

// What argmerge's result must be, whatever was written: positions inside the table, each
// record's block inside the result, no position more often than the records that may
// keep it.
void expect_consistent(const KeptPositions& kept, std::size_t records, std::size_t max_copies) {
    ASSERT_EQ(kept.record_count, records);
    ASSERT_EQ(kept.record_bounds[0], 0);
    ASSERT_EQ(static_cast<std::size_t>(kept.record_bounds[records]), kept.count);
    for (std::size_t record = 0; record < records; ++record) {
        ASSERT_LE(kept.record_bounds[record], kept.record_bounds[record + 1]);
    }
    std::multiset<RowPosition> positions;
    for (std::size_t i = 0; i < kept.count; ++i) {
        const RowPosition position = kept.positions[i];
        ASSERT_TRUE(position >= 0 && static_cast<std::size_t>(position) < POINT_COUNT) << position;
        positions.insert(position);
        ASSERT_LE(positions.count(position), max_copies);
    }
}

TEST(ConcurrentWriter, PositionsFromColumnsStayConsistent) {
    // argmerge over the four decision columns alone, grouped and interleaved.
    for (const Layout layout : {Layout::INTERLEAVED, Layout::GROUPED}) {
        std::vector<double> cells(POINT_COUNT * WIDTH);
        for (std::size_t row = 0; row < POINT_COUNT; ++row) {
            const auto point = original_point(row, layout);
            std::copy(point.begin(), point.end(), cells.begin() + row * WIDTH);
        }
        constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
        PointTable::DecisionColumns columns{};
        for (std::size_t col = 0; col < columns.size(); ++col) {
            columns[col] = {cells.data() + col, WIDTH * element};
        }
        const PointTable points = PointTable::of_columns(POINT_COUNT, columns);
        const Field field(layout == Layout::INTERLEAVED);
        const std::size_t records = field.connected.rows();
        const Scribbler scribbler(cells.data(), POINT_COUNT, WIDTH, 1, layout);
        const auto calls = [&](std::size_t threads) {
            for (int call = 0; call < 6; ++call) {
                try {
                    expect_consistent(argmerge(field.connected, points, field.row_information, 0.5, threads),
                                      records, records > SEGMENTS ? 2 : 1);
                } catch (const InternalError&) {
                    // Junk keys may match no row record: a clean failure is fine.
                }
            }
        };
        // Calls go on until the writer has written a good many cells while they ran,
        // however the threads were scheduled (a generous deadline only against a hang).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (scribbler.writes() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        const std::uint64_t before = scribbler.writes();
        do {
            std::thread other([&] { calls(2); });
            calls(1);
            calls(3);
            other.join();
        } while (scribbler.writes() < before + 1000 && std::chrono::steady_clock::now() < deadline);
        EXPECT_GE(scribbler.writes(), before + 1000);
    }
}

TEST(ConcurrentWriter, UntouchedTableGivesEveryRowOutsideTheOverlaps) {
    // The same field without a writer, as a check that the scribbled runs test something.
    const Field field;
    std::vector<double> cells(POINT_COUNT * WIDTH);
    for (std::size_t row = 0; row < POINT_COUNT; ++row) {
        const auto point = original_point(row);
        std::copy(point.begin(), point.end(), cells.begin() + row * WIDTH);
    }
    constexpr auto element = static_cast<std::ptrdiff_t>(sizeof(double));
    const PointTable points(POINT_COUNT, WIDTH, WIDTH * element, element, cells.data());
    const OwnedMatrix result =
        multithreaded_merging(field.connected, points, field.row_information, 0.5, 2);
    expect_consistent(result);
    EXPECT_GT(result.rows(), POINT_COUNT / 2);
    EXPECT_LT(result.rows(), POINT_COUNT);
    // Record 0 and the last record share segment 0's key: its kept rows come twice, as the
    // first block and as the last.
    std::size_t block = 0;
    while (block < result.rows() && static_cast<std::size_t>(result(block, ROW_ID)) % SEGMENTS == 0) {
        ++block;
    }
    ASSERT_GT(block, 0U);
    for (std::size_t r = 0; r < block; ++r) {
        EXPECT_EQ(result(r, ROW_ID), result(result.rows() - block + r, ROW_ID));
    }
}

}  // namespace
}  // namespace quillmoor
