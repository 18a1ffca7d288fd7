#include "merge_engine/result_assembly.hpp"

#include "merge_engine/worker_pool/worker_pool.hpp"

#include <cstring>
#include <vector>

namespace quillmoor {

namespace {

void copy_row(const OwnedMatrix& points, std::size_t row, double* out) noexcept {
    const std::size_t width = points.cols();
    if (points.col_stride() == 1) {
        std::memcpy(out, points.address(row, 0), width * sizeof(double));
        return;
    }
    for (std::size_t col = 0; col < width; ++col) {
        out[col] = points(row, col);
    }
}

}  // namespace

OwnedMatrix assemble_result_matrix(std::span<const RecordMerge> merges,
                                   const OwnedMatrix& points_in_rows, double tolerance,
                                   std::size_t workers) {
    // First output row of every record.
    std::vector<std::size_t> first_row(merges.size() + 1, 0);
    for (std::size_t i = 0; i < merges.size(); ++i) {
        first_row[i + 1] = first_row[i] + merges[i].kept_count;
    }
    const std::size_t width = points_in_rows.cols();
    OwnedMatrix result = OwnedMatrix::row_major(first_row.back(), width);
    if (result.empty()) {
        return result;
    }
    double* out = result.mutable_data();
    run_indexed(merges.size(), workers, [&](std::size_t i) {
        const RecordMerge& merge = merges[i];
        double* next = out + first_row[i] * width;
        for (const std::size_t row : merge.gathered_rows) {
            if (keeps_point(merge, points_in_rows, row, tolerance)) {
                copy_row(points_in_rows, row, next);
                next += width;
            }
        }
    });
    return result;
}

}  // namespace quillmoor
