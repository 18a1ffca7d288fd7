#pragma once

#include "merge_engine/junction_geometry.hpp"

namespace quillmoor {

// Whether the point (px, py) lies outside the overlap zone of `junction`, i.e. is kept.
//
// Cut point A and near end B closer than the tolerance t: everything is kept (but NaN
// points). Otherwise, per axis, the direction from A toward B decides the bounds: the
// point is kept on A's side of A moved t toward B, or beyond B moved t further on.
// An axis along which A and B do not differ (equal or NaN) sets no bound, so a crop row
// that runs exactly along an axis keeps its interior. A NaN tolerance or NaN coordinate
// never keeps a point; bounds are inclusive.
bool is_outside_overlap(double px, double py, const Junction& junction, double tolerance) noexcept;

}  // namespace quillmoor
