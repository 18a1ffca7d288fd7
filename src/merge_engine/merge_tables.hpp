#pragma once

#include "merge_engine/owned_matrix.hpp"

namespace quillmoor {

// The three read-only tables and the tolerance of one call, as every record sees them.
struct MergeTables {
    const OwnedMatrix& connected_crop_rows;
    const OwnedMatrix& points_in_rows;
    const OwnedMatrix& row_information;
    double tolerance;
};

}  // namespace quillmoor
