#include "merge_engine/result_assembly.hpp"
#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/internal_error.hpp"
#include "merge_engine/interruption.hpp"
#include "merge_engine/page_prefault.hpp"
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
static_assert(SHARED_KEY == PointSlots::SHARED_SLOT);

struct KeptPair {
    std::size_t row;
    std::size_t record;
};

// Uninitialised storage for the fate of every point row (each is written before it is
// read); the one place the assembly allocates memory in proportion to the points. Each
// worker maps in its own share before writing it, so no thread faults in the lot.
std::unique_ptr<RowFate[]> allocate_fates(std::size_t count) {
    std::unique_ptr<RowFate[]> fates;
    allocate_named("the row fates of points_in_rows", count, sizeof(RowFate),
                   [&] { fates = std::make_unique_for_overwrite<RowFate[]>(count); });
    return fates;
}

// How far ahead of the row being decided its key is looked up, and how far ahead of a
// row being read its cells are fetched.
constexpr std::size_t LOOK_AHEAD_ROWS = 16;
constexpr std::size_t TABLE_AHEAD_ROWS = 64;

struct RowRange {
    std::size_t begin;
    std::size_t end;
};
RowRange chunk_rows(std::size_t c, std::size_t chunks, std::size_t rows) noexcept {
    return {rows * c / chunks, rows * (c + 1) / chunks};
}

// Fetches the row TABLE_AHEAD_ROWS after `row`, if the range has one: the processor's
// own prefetching does not keep up with a table read this slowly (it halved the first
// pass).
void fetch_row_ahead(const PointTable& points, std::size_t row, std::size_t end) noexcept {
    if (row + TABLE_AHEAD_ROWS < end) {
        points.prefetch_row(row + TABLE_AHEAD_ROWS);
    }
}

// Runs row_action(row) over the range block by block, each block after an interruption
// point and followed by its progress report: units_per_row units of work per row.
template <typename RowAction>
void for_each_row(RowRange range, WorkProgress& progress, RowAction&& row_action,
                  std::uint64_t units_per_row = 1) {
    for (std::size_t block = range.begin; block < range.end; block += INTERRUPTION_CHECK_ITEMS) {
        const std::size_t block_end = std::min(range.end, block + INTERRUPTION_CHECK_ITEMS);
        interruption_point();
        for (std::size_t row = block; row < block_end; ++row) {
            row_action(row);
        }
        progress.advance(units_per_row * (block_end - block));
    }
}

// What the first pass saw of the order of one chunk's kept rows: whether they already lie
// in output order (each kept by one record, records non-decreasing down the chunk), and
// the first and last record keeping a row.
struct ChunkOrder {
    bool in_record_order = true;
    RowFate first_record = NOT_KEPT;
    RowFate last_record = 0;

    // Without a branch on the order: on shuffled points it would be mispredicted on every
    // other row. last_record starts at 0, so the first kept row is always in order.
    void note_kept(RowFate record) noexcept {
        in_record_order &= record >= last_record;
        if (first_record == NOT_KEPT) {
            first_record = record;
        }
        last_record = record;
    }
};

// The first pass over one chunk: decides every row's fate and counts the rows each
// record keeps in the chunk.
class FateDecider {
public:
    FateDecider(std::span<const RecordMerge> merges, const PointSlots& slots,
                const PointTable& points, RowFate* fates, std::size_t* counts,
                std::vector<KeptPair>& shared, ChunkOrder& order) noexcept
        : merges_(merges), slots_(slots), points_(points), fates_(fates), counts_(counts),
          shared_(shared), order_out_(order) {
        remember(0);
    }

    void run(RowRange range, WorkProgress& progress) {
        prefault_for_writing(fates_ + range.begin, (range.end - range.begin) * sizeof(RowFate));
        // Points come in any key order, so each row's slot and record data are likely
        // cache misses: look the slot up a few rows ahead and prefetch the record's data.
        // The looked-up record is parked in the row's fate until the row is decided.
        // The table's rows are fetched further ahead still (fetch_row_ahead).
        const std::size_t first_end = std::min(range.begin + LOOK_AHEAD_ROWS, range.end);
        for (std::size_t row = range.begin; row < std::min(range.begin + TABLE_AHEAD_ROWS, range.end); ++row) {
            points_.prefetch_row(row);
        }
        for (std::size_t row = range.begin; row < first_end; ++row) {
            look_ahead(row);
        }
        for_each_row(range, progress, [&](std::size_t row) {
            fetch_row_ahead(points_, row, range.end);
            if (row + LOOK_AHEAD_ROWS < range.end) {
                look_ahead(row + LOOK_AHEAD_ROWS);
            }
            decide(row);
        });
        order_out_ = order_;
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
        const auto [slot, record] = slots_.slot_and_record_of_key(key);
        if (slot == KeySlotMap::NO_SLOT) {
            return;
        }
        last_slot_ = slot;
        if (record == PointSlots::SHARED_SLOT) {
            last_fate_ = SHARED_KEY;
            return;
        }
        last_fate_ = record;
        // The keep-test reads the junction count and the first junctions' bounds.
        const char* merge = reinterpret_cast<const char*>(&merges_[record]);  // NOLINT: prefetch only
        __builtin_prefetch(merge);
        __builtin_prefetch(merge + 64);
        __builtin_prefetch(merge + 128);
    }

    void decide(std::size_t row) {
        const RowFate fate = fates_[row];
        if (fate == NOT_KEPT) {
            return;
        }
        if (fate != SHARED_KEY) {
            if (merges_[fate].keeps_point(points_, row)) {
                ++counts_[fate];
                order_.note_kept(fate);
            } else {
                fates_[row] = NOT_KEPT;
            }
            return;
        }
        // One read of x and y is not shared between the records' tests, but each test's
        // verdict is final: it is stored here and the copy pass only follows it.
        order_.in_record_order = false;
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
    // Kept here and stored once at the end: the chunks' orders share a cache line, which
    // the threads would otherwise pass back and forth on every kept row.
    ChunkOrder order_;
    ChunkOrder& order_out_;
    // The key last looked up, and what it gave.
    std::uint64_t last_key_ = 0;
    RowFate last_fate_ = NOT_KEPT;
    std::uint32_t last_slot_ = 0;
    std::array<std::uint32_t, LOOK_AHEAD_RING> shared_slots_{};
};


// Where the first pass put every kept row: fates, each chunk's first output row per
// record, and the rows of shared keys.
struct Placement {
    const RowFate* fates;
    const std::vector<std::size_t>& first_output_row;  // [chunk * records + record]
    const std::vector<std::vector<KeptPair>>& shared;
    std::size_t chunks;
    std::size_t record_count;
    std::size_t point_count;
};

// How far ahead of the row being copied its place in the output is fetched.
constexpr std::size_t SCATTER_AHEAD_ROWS = 16;
// From this size of result on, the copy of rows already in output order writes around
// the caches.
constexpr std::size_t STREAMING_BYTES = std::size_t{16} << 20U;

// Copies every kept row into `result` in one more pass down the table: each chunk writes
// each record's rows, in table order, from that record's first output row in the chunk
// on, following the stored fates alone. The reads go front to back; the writes go to as
// many places as there are records, so the place of a row a few rows ahead is fetched
// before it is written. (Listing the source of every output row first and then gathering
// the output front to back took a pass more and 4 bytes per row, for no gain.)
void scatter_kept_rows(const Placement& placement, const PointTable& points, OwnedMatrix& result,
                       std::size_t workers, WorkProgress& progress) {
    const std::size_t output_rows = result.rows();
    const std::size_t width = result.cols();
    double* out = result.mutable_data();
    // A chunk's rows land all over the result, so the whole result is mapped in first,
    // each worker an equal share, before any chunk writes: a write into a share still
    // being mapped would fault and wait on the same page tables.
    run_indexed(placement.chunks, workers, [&](std::size_t c) {
        const RowRange share = chunk_rows(c, placement.chunks, output_rows);
        prefault_for_writing(out + share.begin * width, (share.end - share.begin) * width * sizeof(double));
    });
    run_indexed(placement.chunks, workers, [&](std::size_t c) {
        const auto first = placement.first_output_row.begin() +
                           static_cast<std::ptrdiff_t>(c * placement.record_count);
        std::vector<std::size_t> next(first, first + static_cast<std::ptrdiff_t>(placement.record_count));
        const RowFate* fate = placement.fates;
        const RowRange rows = chunk_rows(c, placement.chunks, placement.point_count);
        for_each_row(rows, progress, [&](std::size_t row) {
            fetch_row_ahead(points, row, rows.end);
            if (row + SCATTER_AHEAD_ROWS < rows.end && fate[row + SCATTER_AHEAD_ROWS] < SHARED_KEY) {
                // Where that row will most likely go: its record's next output row now.
                __builtin_prefetch(out + next[fate[row + SCATTER_AHEAD_ROWS]] * width, 1);
            }
            if (fate[row] < SHARED_KEY) {
                points.copy_row(row, out + next[fate[row]]++ * width);
            }
        }, ASSEMBLY_UNITS_PER_POINT - 1);
        // A record's rows are all of single-record keys or all of one shared key, so
        // these cannot reorder any record's rows.
        const std::vector<KeptPair>& pairs = placement.shared[c];
        for_each_interruptible(0, pairs.size(), [&](std::size_t p) {
            points.copy_row(pairs[p].row, out + next[pairs[p].record]++ * width);
        });
    });
}

// Whether the kept rows, read down the table, already stand in output order: every
// chunk in record order, and each chunk's records at or after the previous chunk's.
// Then the output is the kept rows in table order, each chunk's in one run.
bool kept_rows_in_output_order(std::span<const ChunkOrder> orders) noexcept {
    RowFate last_record = 0;
    for (const ChunkOrder& order : orders) {
        if (!order.in_record_order) {
            return false;
        }
        if (order.first_record == NOT_KEPT) {
            continue;  // nothing kept in this chunk
        }
        if (order.first_record < last_record) {
            return false;
        }
        last_record = order.last_record;
    }
    return true;
}

// Copies the kept rows when they already lie in output order (grouped points, one
// record per key): each chunk writes its kept rows, in table order, to its own run of
// the output, following the stored fates. Unlike the general copy, the writes go front to
// back too. `first_output_row[c]`: where chunk c's run starts.
void copy_rows_in_table_order(const RowFate* fates, std::span<const std::size_t> first_output_row,
                              const PointTable& points, OwnedMatrix& result,
                              std::size_t workers, WorkProgress& progress) {
    const std::size_t chunks = first_output_row.size();
    const std::size_t width = result.cols();
    double* out = result.mutable_data();
    const bool streaming = result.rows() * width * sizeof(double) >= STREAMING_BYTES;
    run_indexed(chunks, workers, [&](std::size_t c) {
        const std::size_t run_end = c + 1 < chunks ? first_output_row[c + 1] : result.rows();
        double* next = out + first_output_row[c] * width;
        prefault_for_writing(next, (run_end - first_output_row[c]) * width * sizeof(double));
        // The same share of the work as the general path's copy.
        const RowRange rows = chunk_rows(c, chunks, points.rows());
        for_each_row(rows, progress, [&](std::size_t row) {
            fetch_row_ahead(points, row, rows.end);
            if (fates[row] != NOT_KEPT) {
                if (streaming) {
                    points.stream_row(row, next);
                } else {
                    points.copy_row(row, next);
                }
                next += width;
            }
        }, ASSEMBLY_UNITS_PER_POINT - 1);
        if (streaming) {
            PointTable::finish_streaming();
        }
    });
}

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
    std::vector<std::size_t> kept;
    allocate_named("the per-chunk row counts of the result", chunks * record_count,
                   sizeof(std::size_t), [&] { kept.assign(chunks * record_count, 0); });
    std::vector<std::vector<KeptPair>> shared(chunks);
    std::vector<ChunkOrder> orders(chunks);
    const std::unique_ptr<RowFate[]> fates =
        allocate_fates(point_count);
    run_indexed(chunks, workers, [&](std::size_t c) {
        FateDecider(merges, slots, points_in_rows, fates.get(), kept.data() + c * record_count,
                    shared[c], orders[c])
            .run(chunk_rows(c, chunks, point_count), progress);
    });
    progress.draw_milestone();

    // When the kept rows already stand in output order, each chunk's run starts after the
    // kept rows of all chunks before it.
    const bool in_output_order = kept_rows_in_output_order(orders);
    std::vector<std::size_t> first_output_row(in_output_order ? chunks : 0, 0);
    for (std::size_t c = 1; c < first_output_row.size(); ++c) {
        first_output_row[c] = first_output_row[c - 1];
        for (std::size_t record = 0; record < record_count; ++record) {
            first_output_row[c] += kept[(c - 1) * record_count + record];
        }
    }

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
    if (in_output_order) {
        copy_rows_in_table_order(fates.get(), first_output_row, points_in_rows, result, workers,
                                 progress);
        return result;
    }
    const Placement placement{fates.get(), kept, shared, chunks, record_count, point_count};
    scatter_kept_rows(placement, points_in_rows, result, workers, progress);
    return result;
}

}  // namespace quillmoor
