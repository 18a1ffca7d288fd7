#include "merge_engine/junction_geometry.hpp"

#include <cmath>

namespace quillmoor {

namespace {

double distance(Point2 a, Point2 b) noexcept {
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    return std::sqrt(dx * dx + dy * dy);
}

// The end point that is not the far one: p1 when p0 is far, p0 otherwise.
Point2 near_end_of(const ReferencePoints& points, std::size_t far_index) noexcept {
    return far_index == 0 ? points[1] : points[0];
}

}  // namespace

FarthestPair farthest_pair(const ReferencePoints& base, const ReferencePoints& neighbour) noexcept {
    double best = 0.0;
    FarthestPair pair{0, 0};
    for (std::size_t i = 0; i < base.size(); ++i) {
        for (std::size_t j = 0; j < neighbour.size(); ++j) {
            const double d = distance(base[i], neighbour[j]);
            if (d > best) {
                best = d;
                pair = {i, j};
            }
        }
    }
    return pair;
}

Junction junction_between(const ReferencePoints& base, const ReferencePoints& neighbour) noexcept {
    const FarthestPair pair = farthest_pair(base, neighbour);
    const Point2 far_end = base[pair.base];
    const Point2 near_end = near_end_of(base, pair.base);
    const Point2 neighbour_near_end = near_end_of(neighbour, pair.neighbour);

    const Point2 midpoint{(near_end.x + neighbour_near_end.x) * 0.5,
                          (near_end.y + neighbour_near_end.y) * 0.5};
    const Point2 u{far_end.x - near_end.x, far_end.y - near_end.y};
    const Point2 v{midpoint.x - near_end.x, midpoint.y - near_end.y};
    // Dot products summed from 0.0, x term first; u . u = 0 gives a NaN cut point.
    const double v_dot_u = 0.0 + v.x * u.x + v.y * u.y;
    const double u_dot_u = 0.0 + u.x * u.x + u.y * u.y;
    const double s = v_dot_u / u_dot_u;
    const Point2 cut_point{near_end.x + s * u.x, near_end.y + s * u.y};
    return {cut_point, near_end};
}

}  // namespace quillmoor
