#pragma once

#include "merge_engine/junction_geometry.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

    // Every point record passes here once per junction: no branches. Each half of the
    // test is a box, lo <= p <= hi per axis; an axis without a bound has the box's edges
    // at -inf and +inf, which any number satisfies and NaN does not, so a NaN coordinate
    // is never kept. "Keep all" is the unbounded box, "drop all" a box with NaN edges.
    bool keeps(double px, double py) const noexcept {
        return in_box(A_SIDE, px, py) | in_box(BEYOND_B, px, py);
    }

private:
    enum Half : std::uint8_t { A_SIDE, BEYOND_B };
    struct Box {
        std::array<double, 2> lo;  // x, y
        std::array<double, 2> hi;
    };

    bool in_box(Half half, double px, double py) const noexcept {
        const Box& box = boxes_[half];
#if defined(__SSE2__)
        // Both axes in one comparison each way; the same ordered <= (false on NaN).
        const __m128d point = _mm_set_pd(py, px);
        const __m128d inside = _mm_and_pd(_mm_cmple_pd(_mm_loadu_pd(box.lo.data()), point),
                                          _mm_cmple_pd(point, _mm_loadu_pd(box.hi.data())));
        return _mm_movemask_pd(inside) == 3;
#else
        return (box.lo[0] <= px) & (px <= box.hi[0]) & (box.lo[1] <= py) & (py <= box.hi[1]);
#endif
    }

    static constexpr double INF = std::numeric_limits<double>::infinity();
    std::array<Box, 2> boxes_{Box{{-INF, -INF}, {INF, INF}}, Box{{-INF, -INF}, {INF, INF}}};
};

// The keep-test for a single point.
inline bool is_outside_overlap(double px, double py, const Junction& junction,
                               double tolerance) noexcept {
    return OverlapTest(junction, tolerance).keeps(px, py);
}

}  // namespace quillmoor
