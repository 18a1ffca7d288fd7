#pragma once

#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_table.hpp"

namespace quillmoor {

// The three read-only tables and the tolerance of one call, as every record sees them.
// points_in_rows lies in the caller's memory, where another thread may write.
struct MergeTables {
    const OwnedMatrix& connected_crop_rows;
    const PointTable& points_in_rows;
    const OwnedMatrix& row_information;
    double tolerance;
};

}  // namespace quillmoor
