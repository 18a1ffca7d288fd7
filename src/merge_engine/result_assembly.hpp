#pragma once

#include "merge_engine/connection_merge.hpp"
#include "merge_engine/owned_matrix.hpp"

#include <cstddef>
#include <span>

namespace quillmoor {

// Stacks the kept rows of every record, record by record in increasing index, each an
// unchanged copy of its point record, into one row-major matrix with the width of
// points_in_rows. Each kept row is copied exactly once. `workers` threads share the copying.
OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges,
                                   const OwnedMatrix& points_in_rows, double tolerance,
                                   std::size_t workers);

}  // namespace quillmoor
