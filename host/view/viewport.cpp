#include "host/view/viewport.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace host {

namespace {

bool Finite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

Point3 Lerp(const Point3& a, const Point3& b, float t) { return a + (b - a) * t; }

// Liang-Barsky: does the 2D segment (ax, ay)-(bx, by) meet the closed box [x0, x1] x [y0, y1]?
bool SegmentMeetsBox(double ax, double ay, double bx, double by, double x0, double y0, double x1, double y1) {
  double t0 = 0.0, t1 = 1.0;
  const double dx = bx - ax, dy = by - ay;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {ax - x0, x1 - ax, ay - y0, y1 - ay};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return false;  // parallel to this edge and outside it
      continue;
    }
    const double r = q[i] / p[i];
    if (p[i] < 0.0) t0 = std::max(t0, r);
    else t1 = std::min(t1, r);
    if (t0 > t1) return false;
  }
  return true;
}

}  // namespace

float View::Aspect() const { return float(std::max(height, 1)) / float(std::max(width, 1)); }

double View::TanHalfFov() const {
  if (!(fov > 0.0f) || !(fov < float(std::numbers::pi))) return 0.0;
  return std::tan(double(fov) * 0.5);
}

bool View::ProjectViewPoint(const Point3& v, ScreenPoint* out) const {
  if (!Finite(v)) return false;
  const double depth = -double(v.z);
  const double w = std::max(width, 1), h = std::max(height, 1);
  // Scale from view units to half window widths.
  double scale;
  if (perspective) {
    const double tanHalf = TanHalfFov();
    if (tanHalf <= 0.0 || !(depth >= double(nearClip)) || depth <= 0.0) return false;
    scale = 1.0 / (depth * tanHalf);
  } else {
    if (!(orthoWidth > 0.0f)) return false;
    scale = 2.0 / double(orthoWidth);
  }
  out->x = float(w * 0.5 * (1.0 + double(v.x) * scale));
  out->y = float(h * 0.5 - double(v.y) * scale * w * 0.5);
  out->depth = float(depth);
  return true;
}

bool View::Project(const Point3& world, ScreenPoint* out) const { return ProjectViewPoint(world * affineTM, out); }

float View::WorldWidthAt(const Point3& world) const {
  double viewWidth;
  if (perspective) viewWidth = 2.0 * std::max(double(Depth(world)), double(nearClip)) * TanHalfFov();
  else viewWidth = orthoWidth;
  // The view transform may scale: measure the width back in world units.
  return Length(ViewToWorld().VectorTransform(Point3(float(viewWidth), 0.0f, 0.0f)));
}

Ray View::PixelRay(float px, float py) const {
  const double w = std::max(width, 1), h = std::max(height, 1);
  const double sx = double(px) / w * 2.0 - 1.0;
  const double sy = 1.0 - double(py) / h * 2.0;
  const double aspect = h / w;
  const Matrix3 toWorld = ViewToWorld();
  Point3 origin, dir;
  if (perspective) {
    const double t = TanHalfFov();
    dir = Point3(float(sx * t), float(sy * t * aspect), -1.0f);
  } else {
    const double half = double(orthoWidth) * 0.5;
    origin = Point3(float(sx * half), float(sy * half * aspect), 0.0f);
    dir = Point3(0.0f, 0.0f, -1.0f);
  }
  return {origin * toWorld, Normalize(toWorld.VectorTransform(dir))};
}

bool ClipToView(const View& view, Point3& a, Point3& b, float* ta, float* tb) {
  if (!Finite(a) || !Finite(b)) return false;
  float t0 = 0.0f, t1 = 1.0f;
  if (view.perspective) {
    // Kept where depth = -z >= near, that is z <= -near.
    const float zNear = -view.nearClip;
    const bool aIn = a.z <= zNear, bIn = b.z <= zNear;
    if (!aIn && !bIn) return false;
    if (!aIn || !bIn) {
      const float t = (zNear - a.z) / (b.z - a.z);
      Point3 cut = Lerp(a, b, t);
      cut.z = zNear;  // exactly on the plane, so that projecting it cannot fail by rounding
      if (aIn) {
        b = cut;
        t1 = t;
      } else {
        a = cut;
        t0 = t;
      }
    }
  }
  if (ta) *ta = t0;
  if (tb) *tb = t1;
  return true;
}

Matrix3 LookAt(const Point3& eye, const Point3& target, const Point3& up) {
  const Point3 forward = target - eye;
  if (Length(forward) == 0.0f) return Matrix3::Translation(eye);
  const Point3 f = Normalize(forward);
  Point3 right = Cross(f, up);
  if (Length(right) < 1e-6f * std::max(Length(up), 1e-30f)) right = Cross(f, Point3(0, 1, 0));
  if (Length(right) < 1e-6f) right = Cross(f, Point3(1, 0, 0));
  right = Normalize(right);
  const Point3 back = -f;
  return Matrix3(right, Cross(back, right), back, eye);
}

View ViewFromCamera(const Matrix3& cameraTM, float fov, bool orthographic, float targetDistance, int width,
                    int height) {
  Matrix3 cam = cameraTM.RotationPart();
  cam.SetTrans(cameraTM.GetTrans());
  View v;
  v.width = std::max(width, 1);
  v.height = std::max(height, 1);
  v.affineTM = cam.Inverse();
  v.perspective = !orthographic;
  v.fov = fov;
  if (orthographic) v.orthoWidth = float(2.0 * std::tan(double(fov) * 0.5) * double(targetDistance));
  return v;
}

// ---------------------------------------------------------------------------------------------

bool RenderBatch::Valid() const {
  if (pointSize < 1) return false;
  if (!colorsArgb.empty() && !colorsRgba.empty()) return false;
  if (!colorsArgb.empty() && colorsArgb.size() != positions.size()) return false;
  if (!colorsRgba.empty() && colorsRgba.size() != positions.size()) return false;
  return true;
}

ColorRgba ColorFromArgb(uint32_t argb) {
  return {float((argb >> 16) & 0xFFu) / 255.0f, float((argb >> 8) & 0xFFu) / 255.0f, float(argb & 0xFFu) / 255.0f,
          float(argb >> 24) / 255.0f};
}

ColorRgba RenderBatch::VertexColor(std::size_t i) const {
  ColorRgba c = color;
  if (i < colorsArgb.size()) c = ColorFromArgb(colorsArgb[i]);
  else if (i < colorsRgba.size()) c = colorsRgba[i];
  const auto clamp01 = [](float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; };
  return {clamp01(c.r), clamp01(c.g), clamp01(c.b), clamp01(c.a)};
}

// ---------------------------------------------------------------------------------------------

HitRegion HitRegion::AroundPoint(int x, int y, int epsilon) {
  const int e = std::max(epsilon, 0);
  return {x - e, y - e, x + e, y + e};
}

HitRegion HitRegion::Rect(int xa, int ya, int xb, int yb) {
  return {std::min(xa, xb), std::min(ya, yb), std::max(xa, xb), std::max(ya, yb)};
}

bool HitSegment(const View& view, const HitRegion& region, const Matrix3& objectToWorld, const Point3& a,
                const Point3& b) {
  const Matrix3 toView = objectToWorld * view.affineTM;
  Point3 va = a * toView, vb = b * toView;
  if (!ClipToView(view, va, vb)) return false;
  ScreenPoint sa, sb;
  if (!view.ProjectViewPoint(va, &sa) || !view.ProjectViewPoint(vb, &sb)) return false;
  return SegmentMeetsBox(sa.x, sa.y, sb.x, sb.y, region.x0, region.y0, double(region.x1) + 1.0,
                         double(region.y1) + 1.0);
}

long HitSegments(const View& view, const HitRegion& region, const Matrix3& objectToWorld,
                 std::span<const Point3> pairs) {
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
    if (HitSegment(view, region, objectToWorld, pairs[i], pairs[i + 1])) return long(i / 2);
  return -1;
}

// ---------------------------------------------------------------------------------------------

void Viewports::SetActiveView(const View& view) {
  active_ = view;
  active_.width = std::max(active_.width, 1);
  active_.height = std::max(active_.height, 1);
  hasActive_ = true;
}

void Viewports::RedrawViews(TimeValue t) {
  ++redrawCount_;
  redrawPending_ = true;
  lastRedrawTime_ = t;
}

bool Viewports::TakeRedrawRequest() {
  const bool pending = redrawPending_;
  redrawPending_ = false;
  return pending;
}

void Viewports::AddItem(std::shared_ptr<CustomRenderItem> item) {
  if (item && std::find(items_.begin(), items_.end(), item) == items_.end()) items_.push_back(std::move(item));
}

bool Viewports::RemoveItem(const CustomRenderItem* item) {
  const auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p.get() == item; });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

Viewports& TheViewports() {
  static Viewports viewports;
  return viewports;
}

}  // namespace host
