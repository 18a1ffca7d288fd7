#pragma once

#include "merge_engine/junction_geometry.hpp"

#include <cmath>

namespace quillmoor {

// The keep-test of one junction, with everything that does not depend on the point
// worked out once: whether the point is kept, i.e. lies outside the overlap zone.
//
// Cut point A and near end B closer than the tolerance t: everything is kept (but NaN
// points). Otherwise, per axis, the direction from A toward B decides the bounds: the
// point is kept on A's side of A moved t toward B, or beyond B moved t further on.
// An axis along which A and B do not differ (equal or NaN) sets no bound, so a crop row
// that runs exactly along an axis keeps its interior. A NaN tolerance or NaN coordinate
// never keeps a point; bounds are inclusive and computed in float64 as A + t, B - t, ...
class OverlapTest {
public:
    OverlapTest() = default;
    OverlapTest(const Junction& junction, double tolerance) noexcept;

    bool keeps(double px, double py) const noexcept {
        if (std::isnan(px) || std::isnan(py) || drops_all_) {
            return false;
        }
        if (keeps_all_) {
            return true;
        }
        return (a_side_x_.holds(px) && a_side_y_.holds(py)) ||
               (beyond_b_x_.holds(px) && beyond_b_y_.holds(py));
    }

private:
    // p <= bound (UP), p >= bound (DOWN), or no condition (ANY).
    struct AxisBound {
        enum class Kind { ANY, UP, DOWN } kind = Kind::ANY;
        double bound = 0.0;

        bool holds(double p) const noexcept {
            switch (kind) {
                case Kind::UP:
                    return p <= bound;
                case Kind::DOWN:
                    return p >= bound;
                case Kind::ANY:
                    break;
            }
            return true;
        }
    };

    bool drops_all_ = false;  // NaN tolerance
    bool keeps_all_ = false;  // A and B closer than the tolerance
    AxisBound a_side_x_, a_side_y_, beyond_b_x_, beyond_b_y_;
};

// The keep-test for a single point.
inline bool is_outside_overlap(double px, double py, const Junction& junction,
                               double tolerance) noexcept {
    return OverlapTest(junction, tolerance).keeps(px, py);
}

}  // namespace quillmoor
