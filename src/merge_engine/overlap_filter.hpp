#pragma once

#include "merge_engine/junction_geometry.hpp"

#include <array>
#include <cmath>
#include <cstdint>

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
        return (holds(A_SIDE_X, px) && holds(A_SIDE_Y, py)) ||
               (holds(BEYOND_B_X, px) && holds(BEYOND_B_Y, py));
    }

private:
    // Bounds, in this order; kept small, since every point record reads them.
    enum Bound : std::uint8_t { A_SIDE_X, A_SIDE_Y, BEYOND_B_X, BEYOND_B_Y, BOUND_COUNT };
    // p <= bound (AT_MOST), p >= bound (AT_LEAST), or no condition (ANY).
    enum class Kind : std::uint8_t { ANY, AT_MOST, AT_LEAST };

    bool holds(Bound which, double p) const noexcept {
        switch (kinds_[which]) {
            case Kind::AT_MOST:
                return p <= bounds_[which];
            case Kind::AT_LEAST:
                return p >= bounds_[which];
            case Kind::ANY:
                break;
        }
        return true;
    }

    void set(Bound which, Kind kind, double bound) noexcept {
        kinds_[which] = kind;
        bounds_[which] = bound;
    }

    std::array<double, BOUND_COUNT> bounds_{};
    std::array<Kind, BOUND_COUNT> kinds_{};
    bool drops_all_ = false;  // NaN tolerance
    bool keeps_all_ = false;  // A and B closer than the tolerance
};

// The keep-test for a single point.
inline bool is_outside_overlap(double px, double py, const Junction& junction,
                               double tolerance) noexcept {
    return OverlapTest(junction, tolerance).keeps(px, py);
}

}  // namespace quillmoor
