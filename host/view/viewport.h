// Viewports of the host: views (window, view transform, projection), the active view, redraw
// requests, custom render items drawn as coloured lines and points, and hit testing of segments.
//
// Conventions every function here shares:
// - View space: x to the right, y up, the eye looks down -z. The view transform maps world points
//   to view space in the row-vector convention (v = p * affineTM). The depth of a point is -v.z,
//   its distance in front of the eye along the viewing direction.
// - Pixel coordinates are continuous: x grows to the right from the window's left edge, y grows
//   downwards from its top edge, and pixel (i, j) covers [i, i + 1) x [j, j + 1), its centre at
//   (i + 0.5, j + 0.5). Pixels are square.
// - The field of view is horizontal: it spans the window's width, and the height shows
//   height / width as much. An orthographic view shows `orthoWidth` world units across the width.
//   This is the camera model of the volume renderer (tangent of half the horizontal fov, aspect =
//   height / width, rays through pixel centres), so a render item and a rendered volume line up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "host/core/math.h"

namespace host {

// A point projected into a view's window.
struct ScreenPoint {
  float x = 0.0f, y = 0.0f;  // pixel coordinates
  float depth = 0.0f;        // distance in front of the eye along the viewing direction (view units)
};

// A ray through the window, in world space.
struct Ray {
  Point3 origin;
  Point3 dir;  // unit length
};

struct View {
  int width = 640;   // window size in pixels, each at least 1
  int height = 480;
  Matrix3 affineTM;  // world to view
  bool perspective = true;
  float fov = 0.7853982f;      // horizontal field of view in radians (perspective)
  float orthoWidth = 100.0f;   // world units across the window's width (orthographic)
  // Perspective views show nothing nearer than this depth; lines are clipped there. Orthographic
  // views have no near plane: everything along the view direction is shown.
  float nearClip = 0.01f;

  // The window aspect used for the vertical extent: height / width.
  float Aspect() const;
  // View space to world.
  Matrix3 ViewToWorld() const { return affineTM.Inverse(); }
  // tan(fov / 2), 0 when the field of view is outside (0, pi) and nothing can be projected.
  double TanHalfFov() const;
  // The eye's world position; for an orthographic view the centre of its view plane.
  Point3 EyePosition() const { return ViewToWorld().GetTrans(); }
  float Depth(const Point3& world) const { return -(world * affineTM).z; }

  // Projects a world point. False (and `out` untouched) for a perspective view when the point lies
  // nearer than nearClip or behind the eye, or when a coordinate is not finite.
  bool Project(const Point3& world, ScreenPoint* out) const;
  // The same for a point already in view space.
  bool ProjectViewPoint(const Point3& viewPoint, ScreenPoint* out) const;

  // The width of the view, in world units, in the plane through `world` that faces the eye: the
  // distance between the window's left and right edges at that point's depth. Orthographic views
  // give the view width whatever the point; perspective views 2 * depth * tan(fov / 2), with the
  // depth raised to nearClip for points nearer than that. Screen-constant markers use it:
  // a marker n pixels wide at p is n * WorldWidthAt(p) / width world units wide.
  float WorldWidthAt(const Point3& world) const;
  float WorldPerPixelAt(const Point3& world) const { return WorldWidthAt(world) / float(width); }

  // The world-space ray through the pixel position (px, py): pass (i + 0.5, j + 0.5) for the
  // centre of pixel (i, j). Perspective rays start at the eye, orthographic rays on the view plane.
  Ray PixelRay(float px, float py) const;
};

// Clips the view-space segment a-b to the depths a view shows: for a perspective view the part at
// or beyond nearClip, for an orthographic view all of it. On return a and b are the ends of the
// part kept and ta, tb their parameters along the original segment (0 at a, 1 at b), for
// interpolating what the vertices carry. False when nothing is left or a coordinate is not finite.
bool ClipToView(const View& view, Point3& a, Point3& b, float* ta = nullptr, float* tb = nullptr);

// The camera-to-world transform of an eye at `eye` looking at `target`, the camera's local -z
// along the line of sight and its local +y as close to `up` as the line allows (the world y axis
// stands in when the line is parallel to `up`). Its inverse is a view transform.
Matrix3 LookAt(const Point3& eye, const Point3& target, const Point3& up = Point3(0, 0, 1));

// The view through a camera whose node transform is cameraTM (the camera looks down its local -z,
// local +y up; scale in the transform is ignored). An orthographic camera shows
// 2 * tan(fov / 2) * targetDistance world units across. Sizes below 1 pixel become 1.
View ViewFromCamera(const Matrix3& cameraTM, float fov, bool orthographic, float targetDistance, int width,
                    int height);

// ---------------------------------------------------------------------------------------------
// Custom render items

enum class PrimitiveType { kLineList, kPointList };

struct ColorRgba {
  float r = 1.0f, g = 1.0f, b = 1.0f, a = 1.0f;
};

// One vertex batch of a render item. The buffers belong to the item and must stay valid while it
// is drawn or hit tested. Colours come from exactly one of the two colour buffers, one per vertex,
// or, with both empty, from `color` for every vertex. A line list draws vertices (0, 1), (2, 3), ...;
// an odd last vertex is ignored. A point list draws every vertex as a square of pointSize pixels.
struct RenderBatch {
  PrimitiveType type = PrimitiveType::kLineList;
  std::span<const Point3> positions;   // object space
  std::span<const uint32_t> colorsArgb;  // 0xAARRGGBB per vertex
  std::span<const ColorRgba> colorsRgba;  // 0..1 per channel, per vertex
  ColorRgba color;
  int pointSize = 1;

  // False when a colour buffer does not hold one colour per vertex, both are given, or the point
  // size is below 1: such a batch is not drawn.
  bool Valid() const;
  // The colour of vertex i as 0..1 floats (values outside are clamped).
  ColorRgba VertexColor(std::size_t i) const;
};

ColorRgba ColorFromArgb(uint32_t argb);

// What a scene object hands the viewports to draw. The host keeps items by shared pointer.
class CustomRenderItem {
 public:
  virtual ~CustomRenderItem() = default;
  // Called before every draw with the view and the scene time: rebuild the batches when needed.
  virtual void Realize(const View& /*view*/, TimeValue /*t*/) {}
  // The batches to draw, valid until the next Realize.
  virtual std::span<const RenderBatch> Batches() const = 0;
  // Object space to world for every batch (the owning node's transform at the realized time).
  virtual Matrix3 WorldTransform() const { return Matrix3(); }
};

// An item that simply holds its batches and transform; the buffers the batches point at stay the
// caller's.
class SimpleRenderItem : public CustomRenderItem {
 public:
  std::vector<RenderBatch> batches;
  Matrix3 worldTM;

  std::span<const RenderBatch> Batches() const override { return batches; }
  Matrix3 WorldTransform() const override { return worldTM; }
};

// ---------------------------------------------------------------------------------------------
// Hit testing

// A rectangle of whole pixels, corners included: pixels x0..x1 by y0..y1, covering the continuous
// area [x0, x1 + 1] x [y0, y1 + 1].
struct HitRegion {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;

  // The square of pixels within `epsilon` of the cursor pixel (x, y): the usual pick region.
  static HitRegion AroundPoint(int x, int y, int epsilon = 4);
  // A dragged rectangle between two corner pixels given in any order.
  static HitRegion Rect(int xa, int ya, int xb, int yb);
};

// True when the segment a-b, in object space drawn with objectToWorld, passes through the region
// once projected. A perspective view tests only the part in front of the near plane, so a segment
// reaching behind the eye is not folded over. A pixel the rasteriser draws for the segment inside
// the region always counts as a hit.
bool HitSegment(const View& view, const HitRegion& region, const Matrix3& objectToWorld, const Point3& a,
                const Point3& b);

// The index of the first segment, the points taken in pairs (0, 1), (2, 3), ..., that passes
// through the region, or -1 when none does.
long HitSegments(const View& view, const HitRegion& region, const Matrix3& objectToWorld,
                 std::span<const Point3> pairs);

// ---------------------------------------------------------------------------------------------
// The viewports of the program: the active view, redraw requests and the render items shown in
// every view. Used from the main thread, like the rest of the host's interface.
class Viewports {
 public:
  // The program sets the active view (from its options or a camera); the plug-in reads it.
  void SetActiveView(const View& view);
  void ClearActiveView() { hasActive_ = false; }
  // Null when there is none.
  const View* ActiveView() const { return hasActive_ ? &active_ : nullptr; }

  // A request to redraw every view at time t. The program reads and clears it when it draws.
  void RedrawViews(TimeValue t);
  uint64_t RedrawCount() const { return redrawCount_; }
  TimeValue LastRedrawTime() const { return lastRedrawTime_; }
  // True when a redraw was requested since the last call.
  bool TakeRedrawRequest();

  void AddItem(std::shared_ptr<CustomRenderItem> item);
  // False when the item was not registered.
  bool RemoveItem(const CustomRenderItem* item);
  void ClearItems() { items_.clear(); }
  const std::vector<std::shared_ptr<CustomRenderItem>>& Items() const { return items_; }

 private:
  View active_;
  bool hasActive_ = false;
  uint64_t redrawCount_ = 0;
  bool redrawPending_ = false;
  TimeValue lastRedrawTime_ = 0;
  std::vector<std::shared_ptr<CustomRenderItem>> items_;
};

// The program's viewports, shared by the program and the plug-in.
Viewports& TheViewports();

}  // namespace host
