#pragma once

#include "merge_engine/owned_matrix.hpp"

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <vector>

namespace quillmoor::testing {

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A row-major matrix from rows of values; short rows are padded with NaN.
inline OwnedMatrix table(std::size_t cols, std::initializer_list<std::vector<double>> rows) {
    OwnedMatrix m = OwnedMatrix::row_major(rows.size(), cols);
    std::size_t r = 0;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < cols; ++c) {
            m.mutable_data()[r * cols + c] = c < row.size() ? row[c] : NaN;
        }
        ++r;
    }
    return m;
}

// The two-segment field of the worked example: segments (1, 1) and (2, 1) joined once.
struct WorkedExample {
    OwnedMatrix row_information = table(11, {{1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5},
                                            {2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16}});
    OwnedMatrix connected_crop_rows = table(11, {{0, 1, 1, 2, 1}, {1, 2, 1, 1, 1}});
    OwnedMatrix points_in_rows = make_points();

    static OwnedMatrix make_points() {
        const std::vector<double> first{0, 3, 6, 9, 10, 10.3, 10.8, 11.4};
        const std::vector<double> second{9.6, 11, 12, 15, 20};
        OwnedMatrix m = OwnedMatrix::row_major(first.size() + second.size(), 5);
        double* out = m.mutable_data();
        for (const double w : first) {
            for (const double v : {1.0, 1.0, w, w, 100 + w}) *out++ = v;
        }
        for (const double w : second) {
            for (const double v : {2.0, 1.0, w, w, 200 + w}) *out++ = v;
        }
        return m;
    }
};

}  // namespace quillmoor::testing
