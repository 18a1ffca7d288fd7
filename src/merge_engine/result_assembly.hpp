#pragma once

#include "merge_engine/connection_merge.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_slots.hpp"

#include <cstddef>
#include <span>

namespace quillmoor {

// Stacks the kept point records of every connection record, record by record in
// increasing index and each record's rows in table order, into one row-major matrix
// with the width of points_in_rows. Every output row is an unchanged copy of its point
// record, copied exactly once.
//
// points_in_rows is read front to back in chunks (one per worker), twice: once to count
// each record's kept rows per chunk, once to copy them to their final place. Sequential
// reads keep this fast on tables far larger than the caches.
OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges, const PointSlots& slots,
                                   const OwnedMatrix& points_in_rows,
                                   std::size_t workers);

}  // namespace quillmoor
