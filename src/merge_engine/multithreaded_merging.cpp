#include "merge_engine/connection_merge.hpp"
#include "merge_engine/allocation_failure.hpp"
#include "merge_engine/merge_engine.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/progress/progress_bar.hpp"
#include "merge_engine/progress/work_progress.hpp"
#include "merge_engine/result_assembly.hpp"
#include "merge_engine/row_record_index.hpp"
#include "merge_engine/worker_pool/worker_pool.hpp"

#include <vector>

namespace quillmoor {

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the order of the Python function
OwnedMatrix multithreaded_merging(const OwnedMatrix& connected_crop_rows,
                                  const PointTable& points_in_rows,
                                  const OwnedMatrix& row_information, double tolerance,
                                  std::size_t num_threads) {
// NOLINTEND(bugprone-easily-swappable-parameters)
    const std::size_t workers = resolve_worker_count(num_threads);
    const MergeTables tables{connected_crop_rows, points_in_rows, row_information, tolerance};
    const PointSlots point_slots(connected_crop_rows, points_in_rows);
    const RowRecordIndex row_record_index(row_information);
    const MergeIndexes indexes{point_slots, row_record_index};

    const std::size_t record_count = connected_crop_rows.rows();
    std::vector<RecordMerge> merges;
    allocate_named("the merge results of connected_crop_rows", record_count,
                   sizeof(RecordMerge), [&] { merges.resize(record_count); });
    // Destroyed unfinished when the call fails, which erases the bar.
    ProgressBar progress(record_count);
    // The work: one unit per record decided, then one per point row in each of the three
    // steps of the assembly, which take nearly all of the time, and a last one that only
    // finishing the bar does: so n/n is never drawn before the result is complete.
    WorkProgress work(progress, record_count + ASSEMBLY_UNITS_PER_POINT *
                                                   static_cast<std::uint64_t>(points_in_rows.rows()) + 1);
    run_indexed(record_count, workers, [&](std::size_t record) {
        merges[record] = merge_connection_record(record, tables, indexes);
        work.advance(1);
    });
    OwnedMatrix result = assemble_result_matrix(merges, point_slots, points_in_rows, workers, work);
    progress.finish_with_message(PROGRESS_FINISH_MESSAGE);
    return result;
}

}  // namespace quillmoor
