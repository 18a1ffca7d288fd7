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
    struct Axis {
        double a;
        double b;
        Bound a_side;
        Bound beyond_b;
    };
    const auto set_axis = [this, tolerance](const Axis& axis) {
        const int dir = direction(axis.a, axis.b);
        if (dir > 0) {
            set(axis.a_side, Kind::AT_MOST, axis.a + tolerance);
            set(axis.beyond_b, Kind::AT_LEAST, axis.b + tolerance);
        } else if (dir < 0) {
            set(axis.a_side, Kind::AT_LEAST, axis.a - tolerance);
            set(axis.beyond_b, Kind::AT_MOST, axis.b - tolerance);
        }
    };
    set_axis({a.x, b.x, A_SIDE_X, BEYOND_B_X});
    set_axis({a.y, b.y, A_SIDE_Y, BEYOND_B_Y});
}

}  // namespace quillmoor
