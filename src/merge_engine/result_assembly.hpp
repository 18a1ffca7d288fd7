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
// Three steps, each split between the workers:
//   1. points_in_rows is read front to back once: each row's fate (which records keep it)
//      is decided and stored, and the kept rows of each record counted;
//   2. from the stored fates alone, the source row of every output row is listed;
//   3. the output is written front to back, each row copied from its source row.
// When the first pass finds the kept rows already in output order (grouped points, one
// record per key: each chunk's rows in record order, chunk after chunk), steps 2 and 3
// become one: each chunk copies its kept rows front to back, following the stored fates.
// No step after the first reads a key or a coordinate again, so another thread writing
// into the table can change the values copied but never the counts and offsets the
// copy relies on.
//
// Each step advances `progress` by one unit per point row (ASSEMBLY_UNITS_PER_POINT in all).
inline constexpr std::uint64_t ASSEMBLY_UNITS_PER_POINT = 3;

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const PointTable& points_in_rows, std::size_t workers,
                                   WorkProgress& progress);

}  // namespace quillmoor
