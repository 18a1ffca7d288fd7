#include "merge_engine/overlap_filter.hpp"

#include <cmath>

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

// On A's side: at most A + t going up, at least A - t going down.
bool within_a_side(int dir, double p, double a, double t) noexcept {
    if (dir > 0) {
        return p <= a + t;
    }
    if (dir < 0) {
        return p >= a - t;
    }
    return true;
}

// Beyond B: at least B + t going up, at most B - t going down.
bool beyond_b(int dir, double p, double b, double t) noexcept {
    if (dir > 0) {
        return p >= b + t;
    }
    if (dir < 0) {
        return p <= b - t;
    }
    return true;
}

}  // namespace

bool is_outside_overlap(double px, double py, const Junction& junction, double tolerance) noexcept {
    if (std::isnan(px) || std::isnan(py) || std::isnan(tolerance)) {
        return false;
    }
    const Point2 a = junction.cut_point;
    const Point2 b = junction.near_end;
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    if (std::sqrt(dx * dx + dy * dy) < tolerance) {
        return true;
    }
    const int dir_x = direction(a.x, b.x);
    const int dir_y = direction(a.y, b.y);
    return (within_a_side(dir_x, px, a.x, tolerance) && within_a_side(dir_y, py, a.y, tolerance)) ||
           (beyond_b(dir_x, px, b.x, tolerance) && beyond_b(dir_y, py, b.y, tolerance));
}

}  // namespace quillmoor
