// The label drawn under a domain's box: a flame emblem and the product name in line strokes.
// The viewport draws it, and the same strokes take part in hit testing and in the domain's
// bounding boxes, so all three always agree.
#pragma once

#include <vector>

#include "host/core/math.h"

namespace tf {

// Segment end points in pairs (0, 1), (2, 3), ... for the box from boxMin to boxMax. The label is
// sized to the box: its unit is c = max(1, 0.06 * the box diagonal). It lies flat in the z = 0
// plane (the domain's base), its emblem centred on (boxMin.x, boxMin.y - 1.5 c), the name running
// along +x beside it, in front of the box's minimum-y edge.
std::vector<host::Point3> BuildDomainLabel(const host::Point3& boxMin, const host::Point3& boxMax);

}  // namespace tf
