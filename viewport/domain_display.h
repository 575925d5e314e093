// The domain's shape as the viewports see it: its box edges and the label under it, for hit
// testing and for the bounding boxes the host asks the domain object for. Boxes are in the
// domain's own space unless a transform is given.
#pragma once

#include <vector>

#include "domain/domain_sizing.h"
#include "host/core/math.h"
#include "host/view/viewport.h"

namespace tf {

// The 12 edges of the box as 24 segment end points, in the order (0,1), (2,3), (4,5), (6,7), (0,2),
// (1,3), (4,6), (5,7), (0,4), (1,5), (2,6), (3,7) of its corners, corner i taking x from the
// maximum when i & 1, y when i & 2 and z when i & 4.
std::vector<host::Point3> DomainBoxEdges(const DomainBox& box);

// The eight corners of a box, in the same numbering.
std::vector<host::Point3> BoxCorners(const DomainBox& box);

// True when a box edge or, after them, a label stroke drawn with nodeTM passes through the region.
bool HitTestDomain(const host::View& view, const host::HitRegion& region, const host::Matrix3& nodeTM,
                   const DomainBox& box);

// The domain box grown by every point of its label.
DomainBox DomainLocalBox(const DomainBox& box);
// The box around the eight corners of `localBox` transformed by nodeTM.
DomainBox DomainWorldBox(const DomainBox& localBox, const host::Matrix3& nodeTM);
// The box around the eight corners of the domain box, transformed by `tm` when one is given.
DomainBox DomainDeformBox(const DomainBox& box, const host::Matrix3* tm);

}  // namespace tf
