#include "merge_engine/result_assembly.hpp"

#include "merge_engine/internal_error.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillmoor {

namespace {

// A row's fate, decided once by the first pass: the one record that keeps it, or one
// of these two marks.
using RowFate = std::uint32_t;
constexpr RowFate NOT_KEPT = UINT32_MAX;
// Its key is shared by several records: the chunk's list of (row, record) pairs says
// which of them keep it.
constexpr RowFate SHARED_KEY = UINT32_MAX - 1;

struct KeptPair {
    std::size_t row;
    std::size_t record;
};

// Storage for one fate per point row, left uninitialised: the first pass writes every one.
std::unique_ptr<RowFate[]> allocate_row_fates(std::size_t rows) {
    return std::make_unique_for_overwrite<RowFate[]>(rows);
}

// How far ahead of the row being decided its key is looked up.
constexpr std::size_t LOOK_AHEAD_ROWS = 16;
// Progress is reported once per this many rows of a chunk.
constexpr std::size_t PROGRESS_BLOCK_ROWS = std::size_t{1} << 16U;

struct RowRange {
    std::size_t begin;
    std::size_t end;
};
RowRange chunk_rows(std::size_t c, std::size_t chunks, std::size_t rows) noexcept {
    return {rows * c / chunks, rows * (c + 1) / chunks};
}

// Runs row_action(row) over the range, reporting progress block by block.
template <typename RowAction>
void for_each_row(RowRange range, WorkProgress& progress, RowAction&& row_action) {
    for (std::size_t block = range.begin; block < range.end; block += PROGRESS_BLOCK_ROWS) {
        const std::size_t block_end = std::min(range.end, block + PROGRESS_BLOCK_ROWS);
        for (std::size_t row = block; row < block_end; ++row) {
            row_action(row);
        }
        progress.advance(block_end - block);
    }
}

// The first pass over one chunk: decides every row's fate and counts the rows each
// record keeps in the chunk.
class FateDecider {
public:
    FateDecider(std::span<const RecordMerge> merges, const PointSlots& slots,
                const PointTable& points, RowFate* fates, std::size_t* counts,
                std::vector<KeptPair>& shared) noexcept
        : merges_(merges), slots_(slots), points_(points), fates_(fates), counts_(counts),
          shared_(shared) {
        remember(0);
    }

    void run(RowRange range, WorkProgress& progress) {
        // Points come in any key order, so each row's slot and record data are likely
        // cache misses: look the slot up a few rows ahead and prefetch the record's data.
        // The looked-up record is parked in the row's fate until the row is decided.
        for (std::size_t row = range.begin; row < std::min(range.begin + LOOK_AHEAD_ROWS, range.end); ++row) {
            look_ahead(row);
        }
        for_each_row(range, progress, [&](std::size_t row) {
            if (row + LOOK_AHEAD_ROWS < range.end) {
                look_ahead(row + LOOK_AHEAD_ROWS);
            }
            decide(row);
        });
    }

private:
    void look_ahead(std::size_t row) noexcept {
        const std::uint64_t key = PointSlots::point_key(points_, row);
        if (key != last_key_) {
            // Points of one segment often come together: one lookup for the run.
            remember(key);
        }
        fates_[row] = last_fate_;
        if (last_fate_ == SHARED_KEY) {
            shared_slots_[row % LOOK_AHEAD_RING] = last_slot_;
        }
    }

    void remember(std::uint64_t key) noexcept {
        last_key_ = key;
        last_fate_ = NOT_KEPT;
        const std::uint32_t slot = slots_.slot_of_key(key);
        if (slot != KeySlotMap::NO_SLOT) {
            const std::span<const std::size_t> records = slots_.records_of_slot(slot);
            last_fate_ = records.size() == 1 ? static_cast<RowFate>(records[0]) : SHARED_KEY;
            last_slot_ = slot;
            __builtin_prefetch(&merges_[records[0]]);
        }
    }

    void decide(std::size_t row) {
        const RowFate fate = fates_[row];
        if (fate == NOT_KEPT) {
            return;
        }
        if (fate != SHARED_KEY) {
            if (merges_[fate].keeps_point(points_, row)) {
                ++counts_[fate];
            } else {
                fates_[row] = NOT_KEPT;
            }
            return;
        }
        // One read of x and y is not shared between the records' tests, but each test's
        // verdict is final: it is stored here and the copy pass only follows it.
        const std::uint32_t slot = shared_slots_[row % LOOK_AHEAD_RING];
        for (const std::size_t record : slots_.records_of_slot(slot)) {
            if (merges_[record].keeps_point(points_, row)) {
                ++counts_[record];
                shared_.push_back({row, record});
            }
        }
    }

    // Slots of the shared-key rows between lookup and decision; one more entry than the
    // look-ahead, so a row's entry is not overwritten before it is decided.
    static constexpr std::size_t LOOK_AHEAD_RING = LOOK_AHEAD_ROWS + 1;

    std::span<const RecordMerge> merges_;
    const PointSlots& slots_;
    const PointTable& points_;
    RowFate* fates_;
    std::size_t* counts_;
    std::vector<KeptPair>& shared_;
    // The key last looked up, and what it gave.
    std::uint64_t last_key_ = 0;
    RowFate last_fate_ = NOT_KEPT;
    std::uint32_t last_slot_ = 0;
    std::array<std::uint32_t, LOOK_AHEAD_RING> shared_slots_{};
};

}  // namespace

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress) {
    const std::size_t width = points_in_rows.cols();
    const std::size_t point_count = points_in_rows.rows();
    const std::size_t record_count = merges.size();
    if (record_count == 0 || !slots.gathers_anything()) {
        return OwnedMatrix::row_major(0, width);
    }
    if (record_count >= SHARED_KEY) {
        raise_internal_error("too many connection records: " + std::to_string(record_count));
    }
    // One chunk per worker, but never more per-chunk counters than point records.
    const std::size_t chunks = std::clamp<std::size_t>(point_count / record_count, 1, workers);

    // kept[c * record_count + r]: rows of record r kept in chunk c; later each chunk's
    // next output row for record r.
    std::vector<std::size_t> kept(chunks * record_count, 0);
    std::vector<std::vector<KeptPair>> shared(chunks);
    const std::unique_ptr<RowFate[]> fates = allocate_row_fates(point_count);
    run_indexed(chunks, workers, [&](std::size_t c) {
        FateDecider(merges, slots, points_in_rows, fates.get(), kept.data() + c * record_count,
                    shared[c])
            .run(chunk_rows(c, chunks, point_count), progress);
    });
    progress.draw_milestone();

    // Records in increasing index, chunks in order within each record.
    std::size_t next_row = 0;
    for (std::size_t record = 0; record < record_count; ++record) {
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t count = kept[c * record_count + record];
            kept[c * record_count + record] = next_row;
            next_row += count;
        }
    }

    OwnedMatrix result = OwnedMatrix::row_major(next_row, width);
    if (result.empty()) {
        return result;
    }
    double* out = result.mutable_data();
    run_indexed(chunks, workers, [&](std::size_t c) {
        std::size_t* next = kept.data() + c * record_count;
        const RowFate* fate = fates.get();
        for_each_row(chunk_rows(c, chunks, point_count), progress, [&](std::size_t row) {
            if (fate[row] < SHARED_KEY) {
                points_in_rows.copy_row(row, out + next[fate[row]]++ * width);
            }
        });
        // A record's rows are all of single-record keys or all of one shared key, so
        // these copies cannot reorder any record's rows.
        for (const KeptPair& pair : shared[c]) {
            points_in_rows.copy_row(pair.row, out + next[pair.record]++ * width);
        }
    });
    return result;
}

}  // namespace quillmoor
