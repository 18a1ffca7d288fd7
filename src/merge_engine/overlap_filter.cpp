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

    using Kind = AxisBound::Kind;
    // Going up an axis from A to B: kept at most A + t, or at least B + t; going down:
    // at least A - t, or at most B - t.
    const auto a_side = [tolerance](int dir, double a_k) {
        return dir > 0 ? AxisBound{Kind::UP, a_k + tolerance}
               : dir < 0 ? AxisBound{Kind::DOWN, a_k - tolerance}
                         : AxisBound{};
    };
    const auto beyond_b = [tolerance](int dir, double b_k) {
        return dir > 0 ? AxisBound{Kind::DOWN, b_k + tolerance}
               : dir < 0 ? AxisBound{Kind::UP, b_k - tolerance}
                         : AxisBound{};
    };
    const int dir_x = direction(a.x, b.x);
    const int dir_y = direction(a.y, b.y);
    a_side_x_ = a_side(dir_x, a.x);
    a_side_y_ = a_side(dir_y, a.y);
    beyond_b_x_ = beyond_b(dir_x, b.x);
    beyond_b_y_ = beyond_b(dir_y, b.y);
}

}  // namespace quillmoor
