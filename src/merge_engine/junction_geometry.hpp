#pragma once

#include <array>
#include <cstddef>

namespace quillmoor {

struct Point2 {
    double x;
    double y;
};

// p0, p1 (a segment's end points) and p2, which only takes part in the farthest-pair search.
using ReferencePoints = std::array<Point2, 3>;

// One junction as the overlap filter sees it: the cut point A and the near end B.
struct Junction {
    Point2 cut_point;
    Point2 near_end;
};

struct FarthestPair {
    std::size_t base;
    std::size_t neighbour;
};

// The base and neighbour reference points farthest apart: the first strictly greatest
// distance in base-major order wins; NaN never wins; (0, 0) when nothing exceeds 0.
FarthestPair farthest_pair(const ReferencePoints& base, const ReferencePoints& neighbour) noexcept;

// The junction between a base segment and one neighbour: the near ends of both, their
// midpoint, and the midpoint projected onto the line through the base segment's far
// and near ends (the cut point). Arithmetic is plain IEEE float64, in a fixed order.
Junction junction_between(const ReferencePoints& base, const ReferencePoints& neighbour) noexcept;

}  // namespace quillmoor
