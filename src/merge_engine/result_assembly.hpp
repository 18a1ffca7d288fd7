#pragma once

#include "merge_engine/connection_merge.hpp"
#include "merge_engine/kept_positions.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/progress/work_progress.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmoor {

// The kept point rows of every connection record, record by record in increasing index
// and each record's rows in table order: the merge's output, and argmerge's.
//
// Two passes down points_in_rows, each split between the workers:
//   1. each row's fate (which records keep it) is decided and stored, and the kept rows
//      of each record counted;
//   2. each kept row is written to its place, followed from the stored fates alone: a
//      copy of the row (assemble_result_matrix) or its position (assemble_kept_positions).
// When the first pass finds the kept rows already in output order (grouped points, one
// record per key: each chunk's rows in record order, chunk after chunk), each chunk's kept
// rows form one run of the output, written front to back.
// No step after the first reads a key or a coordinate again, so another thread writing
// into the table can change the values copied but never the counts and offsets the
// copy relies on.
//
// The first pass advances `progress` by one unit per point row, the second by the rest of
// ASSEMBLY_UNITS_PER_POINT.
inline constexpr std::uint64_t ASSEMBLY_UNITS_PER_POINT = 3;

// A row-major matrix with the width of points_in_rows (which must hold whole rows) whose
// rows are copies of the kept point rows, each copied exactly once, into the buffer that
// becomes the result's storage.
OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress);

// The positions of the kept point rows in points_in_rows, in the same order, and each
// record's block. Reads only the decision columns.
KeptPositions assemble_kept_positions(std::span<const RecordMerge> merges, const PointSlots& slots,
                                      const PointTable& points_in_rows, std::size_t workers,
                                      WorkProgress& progress);

}  // namespace quillmoor
