#include "viewport/domain_display.h"

#include <algorithm>

#include "viewport/domain_label.h"

namespace tf {

namespace {

constexpr int kEdgeCorners[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                     {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};

DomainBox BoxAround(const std::vector<host::Point3>& points) {
  DomainBox b{points.front(), points.front()};
  for (const host::Point3& p : points)
    for (int a = 0; a < 3; ++a) {
      b.min[a] = std::min(b.min[a], p[a]);
      b.max[a] = std::max(b.max[a], p[a]);
    }
  return b;
}

DomainBox TransformedBox(const DomainBox& box, const host::Matrix3& tm) {
  std::vector<host::Point3> corners = BoxCorners(box);
  for (host::Point3& p : corners) p = tm.PointTransform(p);
  return BoxAround(corners);
}

}  // namespace

std::vector<host::Point3> BoxCorners(const DomainBox& box) {
  std::vector<host::Point3> corners(8);
  for (int i = 0; i < 8; ++i)
    corners[size_t(i)] = {(i & 1) ? box.max.x : box.min.x, (i & 2) ? box.max.y : box.min.y,
                          (i & 4) ? box.max.z : box.min.z};
  return corners;
}

std::vector<host::Point3> DomainBoxEdges(const DomainBox& box) {
  const std::vector<host::Point3> corners = BoxCorners(box);
  std::vector<host::Point3> edges;
  edges.reserve(24);
  for (const auto& e : kEdgeCorners) {
    edges.push_back(corners[size_t(e[0])]);
    edges.push_back(corners[size_t(e[1])]);
  }
  return edges;
}

bool HitTestDomain(const host::View& view, const host::HitRegion& region, const host::Matrix3& nodeTM,
                   const DomainBox& box) {
  if (host::HitSegments(view, region, nodeTM, DomainBoxEdges(box)) >= 0) return true;
  return host::HitSegments(view, region, nodeTM, BuildDomainLabel(box.min, box.max)) >= 0;
}

DomainBox DomainLocalBox(const DomainBox& box) {
  std::vector<host::Point3> points = BuildDomainLabel(box.min, box.max);
  points.push_back(box.min);
  points.push_back(box.max);
  return BoxAround(points);
}

DomainBox DomainWorldBox(const DomainBox& localBox, const host::Matrix3& nodeTM) {
  return TransformedBox(localBox, nodeTM);
}

DomainBox DomainDeformBox(const DomainBox& box, const host::Matrix3* tm) {
  return TransformedBox(box, tm != nullptr ? *tm : host::Matrix3());
}

}  // namespace tf
