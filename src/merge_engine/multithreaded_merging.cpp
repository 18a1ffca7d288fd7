#include "merge_engine/connection_merge.hpp"
#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/work_progress.hpp"
#include "merge_engine/result_assembly.hpp"
#include "merge_engine/row_record_index.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <algorithm>
#include <span>
#include <vector>

namespace quillmoor {

namespace {

constexpr std::size_t RECORDS_PER_RUN = 256;

// Raises the bar by the records a run got done, also when a later one fails.
struct DoneRecords {
    explicit DoneRecords(WorkProgress& work) noexcept : work(work) {}
    DoneRecords(const DoneRecords&) = delete;
    DoneRecords& operator=(const DoneRecords&) = delete;
    ~DoneRecords() { work.advance(count); }

    WorkProgress& work;
    std::uint64_t count = 0;
};

// Decides every connection record on the pool, then has `assemble` write the result from
// those decisions (copies of the kept rows, or their positions), and finishes the bar.
// The merge and argmerge are this one driver: same records, failures, order and bar.
template <typename Assemble>
auto merge_records(const MergeTables& tables, std::size_t num_threads, bool show_progress,
                   Assemble&& assemble) {
    const OwnedMatrix& connected_crop_rows = tables.connected_crop_rows;
    const PointTable& points_in_rows = tables.points_in_rows;
    const std::size_t workers = resolve_worker_count(num_threads);
    const PointSlots point_slots(connected_crop_rows, points_in_rows);
    const RowRecordIndex row_record_index(tables.row_information);
    const MergeIndexes indexes{point_slots, row_record_index};

    const std::size_t record_count = connected_crop_rows.rows();
    std::vector<RecordMerge> merges;
    allocate_named("the merge results of connected_crop_rows", record_count,
                   sizeof(RecordMerge), [&] { merges.resize(record_count); });
    // Destroyed unfinished when the call fails, which erases the bar.
    ProgressBar progress(record_count,
                         show_progress ? decide_display_mode(read_terminal_environment())
                                       : DisplayMode{},
                         ProgressStyle::from_template(PROGRESS_TEMPLATE));
    // The work: one unit per record decided, then ASSEMBLY_UNITS_PER_POINT per point row
    // for the two passes of the assembly, which take nearly all of the time, and a last
    // one that only finishing the bar does: so n/n is never drawn before the result is
    // complete.
    WorkProgress work(progress, record_count + ASSEMBLY_UNITS_PER_POINT *
                                                   static_cast<std::uint64_t>(points_in_rows.rows()) + 1);
    // Records are handed out in runs, and a run reports its done records once, when it
    // ends or fails: a task and a report per record kept the threads queueing on the
    // pool's and the bar's counters. The lowest failing run holds the lowest failing
    // record, as each run stops at its first failure.
    const std::size_t runs = (record_count + RECORDS_PER_RUN - 1) / RECORDS_PER_RUN;
    run_indexed(runs, workers, [&](std::size_t run) {
        const std::size_t begin = run * RECORDS_PER_RUN;
        const std::size_t end = std::min(record_count, begin + RECORDS_PER_RUN);
        DoneRecords done(work);
        for (std::size_t record = begin; record < end; ++record) {
            merges[record] = merge_connection_record(record, tables, indexes);
            ++done.count;
        }
    });
    auto result = assemble(std::span<const RecordMerge>(merges), point_slots, points_in_rows,
                           workers, work);
    progress.finish_with_message(PROGRESS_FINISH_MESSAGE);
    return result;
}

}  // namespace

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the order of the Python function
OwnedMatrix multithreaded_merging(const OwnedMatrix& connected_crop_rows,
                                  const PointTable& points_in_rows,
                                  const OwnedMatrix& row_information, double tolerance,
                                  std::size_t num_threads) {
    return merge_records({connected_crop_rows, points_in_rows, row_information, tolerance},
                         num_threads, true, assemble_result_matrix);
}

KeptPositions argmerge(const OwnedMatrix& connected_crop_rows, const PointTable& points_in_rows,
                       const OwnedMatrix& row_information, double tolerance,
                       std::size_t num_threads, bool show_progress) {
    return merge_records({connected_crop_rows, points_in_rows, row_information, tolerance},
                         num_threads, show_progress, assemble_kept_positions);
}
// NOLINTEND(bugprone-easily-swappable-parameters)

}  // namespace quillmoor
