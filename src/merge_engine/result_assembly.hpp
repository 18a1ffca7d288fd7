#pragma once

#include "merge_engine/connection_merge.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_slots.hpp"
#include "merge_engine/point_table.hpp"
#include "merge_engine/progress/work_progress.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmoor {

// Stacks the kept point records of every connection record, record by record in
// increasing index and each record's rows in table order, into one row-major matrix
// with the width of points_in_rows. Every output row is a copy of its point record,
// copied exactly once, into the buffer that becomes the result's storage.
//
// Two passes down points_in_rows, each split between the workers:
//   1. each row's fate (which records keep it) is decided and stored, and the kept rows
//      of each record counted;
//   2. each kept row is copied to its place: its record's next output row, followed from
//      the stored fates alone.
// When the first pass finds the kept rows already in output order (grouped points, one
// record per key: each chunk's rows in record order, chunk after chunk), each chunk's kept
// rows form one run of the output, written front to back.
// No step after the first reads a key or a coordinate again, so another thread writing
// into the table can change the values copied but never the counts and offsets the
// copy relies on.
//
// The first pass advances `progress` by one unit per point row, the copy by the rest of
// ASSEMBLY_UNITS_PER_POINT.
inline constexpr std::uint64_t ASSEMBLY_UNITS_PER_POINT = 3;

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress);

}  // namespace quillmoor
