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

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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


// How far ahead of the row being written its place in the output is fetched.
constexpr std::size_t SCATTER_AHEAD_ROWS = 16;
// From this size of output on, writing rows already in output order goes around the
// caches.
constexpr std::size_t STREAMING_BYTES = std::size_t{16} << 20U;

// Where the first pass put every kept row. Everything after the first pass follows this
// alone, never the table's keys or coordinates.
struct KeptRowPlan {
    std::unique_ptr<RowFate[]> fates;
    // [chunk * record_count + record]: the output row of the record's first kept row in
    // the chunk. Chunk 0's entries are thus where each record's block starts.
    std::vector<std::size_t> first_output_row;
    // Per chunk, the rows of shared keys and the records that keep them.
    std::vector<std::vector<KeptPair>> shared;
    // When the kept rows already stand in output order: where each chunk's run of the
    // output starts. Empty otherwise.
    std::vector<std::size_t> run_start;
    std::size_t chunks = 0;
    std::size_t record_count = 0;
    std::size_t point_count = 0;
    std::size_t output_rows = 0;

    bool in_output_order() const noexcept { return !run_start.empty(); }
};

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

// The first pass: every row's fate, then the place of every kept row in the output.
KeptRowPlan plan_kept_rows(std::span<const RecordMerge> merges, const PointSlots& slots,
                           const PointTable& points_in_rows, std::size_t workers,
                           WorkProgress& progress) {
    KeptRowPlan plan;
    plan.record_count = merges.size();
    plan.point_count = points_in_rows.rows();
    const std::size_t record_count = plan.record_count;
    const std::size_t point_count = plan.point_count;
    if (record_count == 0 || !slots.gathers_anything()) {
        return plan;  // nothing is kept
    }
    if (record_count >= SHARED_KEY) {
        raise_internal_error("too many connection records: " + std::to_string(record_count));
    }
    // One chunk per worker, but never more per-chunk counters than point records.
    const std::size_t chunks = std::clamp<std::size_t>(point_count / record_count, 1, workers);
    plan.chunks = chunks;

    // kept[c * record_count + r]: rows of record r kept in chunk c; later each chunk's
    // first output row for record r.
    std::vector<std::size_t>& kept = plan.first_output_row;
    allocate_named("the per-chunk row counts of the result", chunks * record_count,
                   sizeof(std::size_t), [&] { kept.assign(chunks * record_count, 0); });
    plan.shared.resize(chunks);
    std::vector<ChunkOrder> orders(chunks);
    plan.fates = allocate_fates(point_count);
    run_indexed(chunks, workers, [&](std::size_t c) {
        FateDecider(merges, slots, points_in_rows, plan.fates.get(), kept.data() + c * record_count,
                    plan.shared[c], orders[c])
            .run(chunk_rows(c, chunks, point_count), progress);
    });
    progress.draw_milestone();

    // When the kept rows already stand in output order, each chunk's run starts after the
    // kept rows of all chunks before it.
    if (kept_rows_in_output_order(orders)) {
        plan.run_start.assign(chunks, 0);
        for (std::size_t c = 1; c < chunks; ++c) {
            plan.run_start[c] = plan.run_start[c - 1];
            for (std::size_t record = 0; record < record_count; ++record) {
                plan.run_start[c] += kept[(c - 1) * record_count + record];
            }
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
    plan.output_rows = next_row;
    return plan;
}

// Writes every kept row to its place in `output`, in one more pass down the table.
// Output is what is written for a row: a copy of its cells (the merge) or its position
// (argmerge); both are placed by the same plan, so they agree row for row:
//   void map_in(first, end)  maps output rows [first, end) in, ready for writing (may
//                            throw MergeInterrupted between slices)
//   void fetch_ahead(row, end)  asks for the table's row a few rows ahead, if it reads it
//   void expect(out)         asks for output row `out`'s memory ahead of a write
//   void put(row, out)       writes row `row` as output row `out`
//   void stream(row, out)    the same, around the caches; finish_streaming() afterwards
//   bool streams()           whether the output is large enough to stream
//
// Rows already in output order are written chunk by chunk, each chunk to its own run of
// the output, front to back. Otherwise each chunk writes each record's rows, in table
// order, from that record's first output row in the chunk on: the reads go front to back,
// the writes to as many places as there are records, so the place of a row a few rows
// ahead is fetched before it is written. (Listing the source of every output row first and
// then gathering the output front to back took a pass more and 4 bytes per row, for no
// gain.)
template <typename Output>
void place_kept_rows(const KeptRowPlan& plan, const Output& output, std::size_t workers,
                     WorkProgress& progress) {
    if (plan.output_rows == 0) {
        return;
    }
    const RowFate* fates = plan.fates.get();
    if (plan.in_output_order()) {
        const bool streaming = output.streams();
        run_indexed(plan.chunks, workers, [&](std::size_t c) {
            const std::size_t run_end = c + 1 < plan.chunks ? plan.run_start[c + 1] : plan.output_rows;
            std::size_t next = plan.run_start[c];
            output.map_in(next, run_end);
            // The same share of the work as the general path's.
            const RowRange rows = chunk_rows(c, plan.chunks, plan.point_count);
            for_each_row(rows, progress, [&](std::size_t row) {
                output.fetch_ahead(row, rows.end);
                if (fates[row] != NOT_KEPT) {
                    if (streaming) {
                        output.stream(row, next++);
                    } else {
                        output.put(row, next++);
                    }
                }
            }, ASSEMBLY_UNITS_PER_POINT - 1);
            if (streaming) {
                output.finish_streaming();
            }
        });
        return;
    }
    // A chunk's rows land all over the output, so the whole of it is mapped in first,
    // each worker an equal share, before any chunk writes: a write into a share still
    // being mapped would fault and wait on the same page tables.
    run_indexed(plan.chunks, workers, [&](std::size_t c) {
        const RowRange share = chunk_rows(c, plan.chunks, plan.output_rows);
        output.map_in(share.begin, share.end);
    });
    run_indexed(plan.chunks, workers, [&](std::size_t c) {
        const auto first = plan.first_output_row.begin() +
                           static_cast<std::ptrdiff_t>(c * plan.record_count);
        std::vector<std::size_t> next(first, first + static_cast<std::ptrdiff_t>(plan.record_count));
        const RowRange rows = chunk_rows(c, plan.chunks, plan.point_count);
        for_each_row(rows, progress, [&](std::size_t row) {
            output.fetch_ahead(row, rows.end);
            if (row + SCATTER_AHEAD_ROWS < rows.end && fates[row + SCATTER_AHEAD_ROWS] < SHARED_KEY) {
                // Where that row will most likely go: its record's next output row now.
                output.expect(next[fates[row + SCATTER_AHEAD_ROWS]]);
            }
            if (fates[row] < SHARED_KEY) {
                output.put(row, next[fates[row]]++);
            }
        }, ASSEMBLY_UNITS_PER_POINT - 1);
        // A record's rows are all of single-record keys or all of one shared key, so
        // these cannot reorder any record's rows.
        const std::vector<KeptPair>& pairs = plan.shared[c];
        for_each_interruptible(0, pairs.size(), [&](std::size_t p) {
            output.put(pairs[p].row, next[pairs[p].record]++);
        });
    });
}

// The merge's output: each kept row's cells, every column, into a row-major matrix.
class RowCopies {
public:
    RowCopies(const PointTable& points, OwnedMatrix& result) noexcept
        : points_(points), width_(result.cols()), out_(result.mutable_data()),
          streams_(result.rows() * width_ * sizeof(double) >= STREAMING_BYTES) {}

    void map_in(std::size_t first, std::size_t end) const {
        prefault_for_writing(row(first), (end - first) * width_ * sizeof(double));
    }
    void fetch_ahead(std::size_t row, std::size_t end) const noexcept {
        fetch_row_ahead(points_, row, end);
    }
    void expect(std::size_t out) const noexcept { __builtin_prefetch(row(out), 1); }
    void put(std::size_t row, std::size_t out) const noexcept {
        points_.copy_row(row, this->row(out));
    }
    void stream(std::size_t row, std::size_t out) const noexcept {
        points_.stream_row(row, this->row(out));
    }
    static void finish_streaming() noexcept { PointTable::finish_streaming(); }
    bool streams() const noexcept { return streams_; }

private:
    double* row(std::size_t out) const noexcept { return out_ + out * width_; }

    const PointTable& points_;
    std::size_t width_;
    double* out_;
    bool streams_;
};

// argmerge's output: each kept row's position in points_in_rows. The table is not read
// again: the plan holds all there is to write.
class RowPositions {
public:
    RowPositions(RowPosition* out, std::size_t count) noexcept
        : out_(out), streams_(count * sizeof(RowPosition) >= STREAMING_BYTES) {}

    void map_in(std::size_t first, std::size_t end) const {
        prefault_for_writing(out_ + first, (end - first) * sizeof(RowPosition));
    }
    static void fetch_ahead(std::size_t /*row*/, std::size_t /*end*/) noexcept {}
    void expect(std::size_t out) const noexcept { __builtin_prefetch(out_ + out, 1); }
    void put(std::size_t row, std::size_t out) const noexcept {
        out_[out] = static_cast<RowPosition>(row);
    }
    void stream(std::size_t row, std::size_t out) const noexcept {
#if defined(__x86_64__)
        static_assert(sizeof(RowPosition) == sizeof(long long));
        _mm_stream_si64(reinterpret_cast<long long*>(out_ + out),  // NOLINT: the store's own type
                        static_cast<long long>(row));
#else
        put(row, out);
#endif
    }
    static void finish_streaming() noexcept { PointTable::finish_streaming(); }
    bool streams() const noexcept { return streams_; }

private:
    RowPosition* out_;
    bool streams_;
};

}  // namespace

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress) {
    if (!points_in_rows.holds_whole_rows()) {
        raise_internal_error("the merge copies whole point rows, and points_in_rows is given "
                             "as its key, x and y columns only");
    }
    const std::size_t width = points_in_rows.cols();
    const KeptRowPlan plan = plan_kept_rows(merges, slots, points_in_rows, workers, progress);
    OwnedMatrix result;
    allocate_named("the result matrix", checked_element_count(plan.output_rows, width),
                   sizeof(double), [&] { result = OwnedMatrix::row_major(plan.output_rows, width); });
    if (!result.empty()) {
        place_kept_rows(plan, RowCopies(points_in_rows, result), workers, progress);
    }
    return result;
}

KeptPositions assemble_kept_positions(std::span<const RecordMerge> merges, const PointSlots& slots,
                                      const PointTable& points_in_rows, std::size_t workers,
                                      WorkProgress& progress) {
    const KeptRowPlan plan = plan_kept_rows(merges, slots, points_in_rows, workers, progress);
    KeptPositions kept;
    kept.record_count = plan.record_count;
    kept.count = plan.output_rows;
    allocate_named("the record bounds of the result", plan.record_count + 1, sizeof(RowPosition),
                   [&] { kept.record_bounds = allocate_positions(plan.record_count + 1); });
    for (std::size_t record = 0; record < plan.record_count; ++record) {
        // Chunk 0's first output row of a record is where its block starts.
        kept.record_bounds[record] = plan.chunks == 0
            ? 0 : static_cast<RowPosition>(plan.first_output_row[record]);
    }
    kept.record_bounds[plan.record_count] = static_cast<RowPosition>(plan.output_rows);
    allocate_named("the positions of the result", plan.output_rows, sizeof(RowPosition),
                   [&] { kept.positions = allocate_positions(plan.output_rows); });
    place_kept_rows(plan, RowPositions(kept.positions.get(), plan.output_rows), workers, progress);
    return kept;
}

}  // namespace quillmoor
