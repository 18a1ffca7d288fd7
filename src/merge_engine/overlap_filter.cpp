#include "merge_engine/overlap_filter.hpp"

namespace quillmoor {

namespace {

// +1 when A lies below B on this axis, -1 above, 0 when equal or either is NaN.
int direction(double a, double b) noexcept {
    if (a < b) {
        return 1;
    }
    if (a > b) {
        return -1;
    }
    return 0;
}

}  // namespace

OverlapTest::OverlapTest(const Junction& junction, double tolerance) noexcept {
    const Point2 a = junction.cut_point;
    const Point2 b = junction.near_end;
    drops_all_ = std::isnan(tolerance);
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    keeps_all_ = std::sqrt(dx * dx + dy * dy) < tolerance;

    // Going up an axis from A to B: kept at most A + t, or at least B + t; going down:
    // at least A - t, or at most B - t. An axis without direction sets no bound.
    const auto set_axis = [this, tolerance](int dir, double a_k, double b_k, Bound a_side,
                                            Bound beyond_b) {
        if (dir > 0) {
            set(a_side, Kind::AT_MOST, a_k + tolerance);
            set(beyond_b, Kind::AT_LEAST, b_k + tolerance);
        } else if (dir < 0) {
            set(a_side, Kind::AT_LEAST, a_k - tolerance);
            set(beyond_b, Kind::AT_MOST, b_k - tolerance);
        }
    };
    set_axis(direction(a.x, b.x), a.x, b.x, A_SIDE_X, BEYOND_B_X);
    set_axis(direction(a.y, b.y), a.y, b.y, A_SIDE_Y, BEYOND_B_Y);
}

}  // namespace quillmoor
