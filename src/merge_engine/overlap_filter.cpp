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
    if (std::isnan(tolerance)) {
        constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
        boxes_ = {Box{{NaN, NaN}, {NaN, NaN}}, Box{{NaN, NaN}, {NaN, NaN}}};
        return;
    }
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    if (std::sqrt(dx * dx + dy * dy) < tolerance) {
        return;  // A and B closer than the tolerance: the unbounded boxes keep every point
    }

    // Going up an axis from A to B: kept at most A + t, or at least B + t; going down:
    // at least A - t, or at most B - t. An axis without direction keeps its -inf, +inf.
    const auto set_axis = [this, tolerance](std::size_t axis, double a_k, double b_k) {
        const int dir = direction(a_k, b_k);
        if (dir > 0) {
            boxes_[A_SIDE].hi[axis] = a_k + tolerance;
            boxes_[BEYOND_B].lo[axis] = b_k + tolerance;
        } else if (dir < 0) {
            boxes_[A_SIDE].lo[axis] = a_k - tolerance;
            boxes_[BEYOND_B].hi[axis] = b_k - tolerance;
        }
    };
    set_axis(0, a.x, b.x);
    set_axis(1, a.y, b.y);
}

}  // namespace quillmoor
