#pragma once

#include "merge_engine/connection_merge.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/progress/work_progress.hpp"

#include <cstddef>
#include <span>

namespace quillmoor {

// Stacks the kept point records of every connection record, record by record in
// increasing index and each record's rows in table order, into one row-major matrix
// with the width of points_in_rows. Every output row is a copy of its point record,
// copied exactly once.
//
// points_in_rows is read front to back in chunks (one per worker), twice: the first
// pass decides each row's fate (which records keep it) and counts, the second copies
// the kept rows to their final place. The second pass reads only the fates stored by
// the first, never the keys or coordinates again, so another thread writing into the
// table can change the values copied but never the counts and offsets the copy relies
// on. Sequential reads keep this fast on tables far larger than the caches.
//
// Each pass advances `progress` by one unit per point row.
OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress);

}  // namespace quillmoor
