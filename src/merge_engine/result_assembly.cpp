#include "merge_engine/result_assembly.hpp"
#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/internal_error.hpp"

#include "merge_engine/worker_pool/worker_pool.hpp"

#include <algorithm>
#include <vector>

namespace quillmoor {

namespace {

void copy_row(const OwnedMatrix& points, std::size_t row, double* out) noexcept {
    const std::size_t width = points.cols();
    if (points.col_stride() == 1) {
        // Rows are short: an inline loop beats a call to memcpy per row.
        const double* in = points.address(row, 0);
        for (std::size_t col = 0; col < width; ++col) {
            out[col] = in[col];
        }
        return;
    }
    for (std::size_t col = 0; col < width; ++col) {
        out[col] = points(row, col);
    }
}

// How far ahead of the row being tested its record data is fetched.
constexpr std::size_t PREFETCH_ROWS = 16;

// Row range of chunk c out of `chunks` over `rows` rows.
struct RowRange {
    std::size_t begin;
    std::size_t end;
};
RowRange chunk_rows(std::size_t c, std::size_t chunks, std::size_t rows) noexcept {
    return {rows * c / chunks, rows * (c + 1) / chunks};
}

}  // namespace

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const OwnedMatrix& points_in_rows,
                                   std::size_t workers) {
    const std::size_t width = points_in_rows.cols();
    const std::size_t point_count = points_in_rows.rows();
    const std::size_t record_count = merges.size();
    if (record_count == 0 || !slots.gathers_anything()) {
        return OwnedMatrix::row_major(0, width);
    }
    // One chunk per worker, but never more per-chunk counters than point records.
    const std::size_t chunks = std::clamp<std::size_t>(point_count / record_count, 1, workers);

    // kept[c * record_count + r]: rows of record r kept in chunk c; later each chunk's
    // next output row for record r. slot_of_row: the row's slot, or NO_SLOT when it
    // contributes nothing.
    std::vector<std::size_t> kept;
    std::vector<std::uint32_t> slot_of_row;
    allocate_named("the per-chunk row counts of the result", chunks * record_count,
                   sizeof(std::size_t), [&] { kept.assign(chunks * record_count, 0); });
    allocate_named("the key slots of points_in_rows", point_count, sizeof(std::uint32_t),
                   [&] { slot_of_row.resize(point_count); });
    run_indexed(chunks, workers, [&](std::size_t c) {
        std::size_t* counts = kept.data() + c * record_count;
        const RowRange range = chunk_rows(c, chunks, point_count);
        // Points come in any key order, so each one's record data is a likely cache
        // miss: look the slot up a few rows ahead and prefetch that record's data.
        const auto look_ahead = [&](std::size_t row) {
            const std::uint32_t slot = slots.slot_of_point(points_in_rows, row);
            slot_of_row[row] = slot;
            if (slot != KeySlotMap::NO_SLOT) {
                __builtin_prefetch(&merges[slots.records_of_slot(slot)[0]]);
            }
        };
        for (std::size_t row = range.begin; row < std::min(range.begin + PREFETCH_ROWS, range.end); ++row) {
            look_ahead(row);
        }
        for (std::size_t row = range.begin; row < range.end; ++row) {
            if (row + PREFETCH_ROWS < range.end) {
                look_ahead(row + PREFETCH_ROWS);
            }
            const std::uint32_t slot = slot_of_row[row];
            if (slot == KeySlotMap::NO_SLOT) {
                continue;
            }
            const std::span<const std::size_t> records = slots.records_of_slot(slot);
            if (records.size() == 1) {
                // The usual case: one record per key. Remember the verdict, so the copy
                // pass need not test again.
                if (merges[records[0]].keeps_point(points_in_rows, row)) {
                    ++counts[records[0]];
                } else {
                    slot_of_row[row] = KeySlotMap::NO_SLOT;
                }
                continue;
            }
            for (const std::size_t record : records) {
                counts[record] += merges[record].keeps_point(points_in_rows, row) ? 1 : 0;
            }
        }
    });

    // Records in increasing index, chunks in order within each record.
    std::size_t next_row = 0;
    for (std::size_t record = 0; record < record_count; ++record) {
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t count = kept[c * record_count + record];
            kept[c * record_count + record] = next_row;
            next_row += count;
        }
    }

    OwnedMatrix result;
    allocate_named("the result matrix", checked_element_count(next_row, width), sizeof(double),
                   [&] { result = OwnedMatrix::row_major(next_row, width); });
    if (result.empty()) {
        return result;
    }
    double* out = result.mutable_data();
    run_indexed(chunks, workers, [&](std::size_t c) {
        std::size_t* next = kept.data() + c * record_count;
        const RowRange range = chunk_rows(c, chunks, point_count);
        for (std::size_t row = range.begin; row < range.end; ++row) {
            const std::uint32_t slot = slot_of_row[row];
            if (slot == KeySlotMap::NO_SLOT) {
                continue;
            }
            const std::span<const std::size_t> records = slots.records_of_slot(slot);
            if (records.size() == 1) {
                copy_row(points_in_rows, row, out + next[records[0]]++ * width);
                continue;
            }
            for (const std::size_t record : records) {
                if (merges[record].keeps_point(points_in_rows, row)) {
                    copy_row(points_in_rows, row, out + next[record]++ * width);
                }
            }
        }
    });
    return result;
}

}  // namespace quillmoor
