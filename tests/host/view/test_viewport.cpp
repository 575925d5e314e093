// Views: projection of known points, world width at a point, pixel rays, views from cameras,
// near-plane clipping, hit testing of segments, and the program's viewports.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "host/view/viewport.h"

namespace host {
namespace {

constexpr float kQuarterTurn = float(std::numbers::pi / 2);

View TopView(int w, int h, float widthInWorld) {
  View v;
  v.width = w;
  v.height = h;
  v.perspective = false;
  v.orthoWidth = widthInWorld;
  return v;
}

View PerspectiveView(int w, int h, float fov, const Matrix3& viewTM = Matrix3()) {
  View v;
  v.width = w;
  v.height = h;
  v.fov = fov;
  v.affineTM = viewTM;
  return v;
}

ScreenPoint Projected(const View& v, const Point3& p) {
  ScreenPoint s;
  EXPECT_TRUE(v.Project(p, &s)) << p.x << " " << p.y << " " << p.z;
  return s;
}

TEST(ViewProjection, PerspectiveMapsKnownPointsToKnownPixels) {
  // 90 degrees across 200 pixels: at depth 10 the window spans x in [-10, 10] and y in [-5, 5].
  const View v = PerspectiveView(200, 100, kQuarterTurn);
  // tan(pi / 4) in floating point is 1 within an ulp or so.
  ScreenPoint s = Projected(v, {0, 0, -10});
  EXPECT_NEAR(s.x, 100.0f, 1e-4f);
  EXPECT_NEAR(s.y, 50.0f, 1e-4f);
  EXPECT_FLOAT_EQ(s.depth, 10.0f);
  s = Projected(v, {10, 0, -10});
  EXPECT_NEAR(s.x, 200.0f, 1e-4f);  // the right edge
  s = Projected(v, {-5, 5, -10});
  EXPECT_NEAR(s.x, 50.0f, 1e-4f);
  EXPECT_NEAR(s.y, 0.0f, 1e-4f);  // the top edge: y grows downwards
  s = Projected(v, {2, -1, -4});
  EXPECT_NEAR(s.x, 150.0f, 1e-4f);
  EXPECT_NEAR(s.y, 75.0f, 1e-4f);

  // Behind the eye, on the eye plane and nearer than the near plane: nothing.
  ScreenPoint none{-1, -1, -1};
  EXPECT_FALSE(v.Project({0, 0, 5}, &none));
  EXPECT_FALSE(v.Project({1, 1, 0}, &none));
  EXPECT_FALSE(v.Project({0, 0, -0.5f * v.nearClip}, &none));
  EXPECT_FALSE(v.Project({NAN, 0, -10}, &none));
  EXPECT_EQ(none.x, -1.0f);
}

TEST(ViewProjection, LookAtViewPutsTheTargetInTheMiddleAndKeepsZUp) {
  // Eye 10 units in front (-y) of the origin, looking along +y with z up.
  const Matrix3 cam = LookAt({0, -10, 0}, {0, 0, 0});
  const View v = PerspectiveView(100, 100, kQuarterTurn, cam.Inverse());
  ScreenPoint s = Projected(v, {0, 0, 0});
  EXPECT_NEAR(s.x, 50.0f, 1e-4f);
  EXPECT_NEAR(s.y, 50.0f, 1e-4f);
  EXPECT_NEAR(s.depth, 10.0f, 1e-5f);
  s = Projected(v, {1, 0, 0});  // world +x is to the right
  EXPECT_NEAR(s.x, 55.0f, 1e-4f);
  s = Projected(v, {0, 0, 2});  // world +z is up on screen
  EXPECT_NEAR(s.y, 40.0f, 1e-4f);
  s = Projected(v, {0, 10, 0});  // twice as far away
  EXPECT_NEAR(s.depth, 20.0f, 1e-5f);
}

TEST(ViewProjection, OrthographicScalesByTheViewWidthAtAnyDepth) {
  const View v = TopView(100, 80, 50.0f);  // 2 pixels per world unit
  for (float z : {-100.0f, 0.0f, 30.0f}) {
    const ScreenPoint s = Projected(v, {5, 2, z});
    EXPECT_FLOAT_EQ(s.x, 60.0f);
    EXPECT_FLOAT_EQ(s.y, 36.0f);
    EXPECT_FLOAT_EQ(s.depth, -z);
  }
}

TEST(ViewProjection, WorldWidthAtAPointMatchesOnePixelOnScreen) {
  const View persp = PerspectiveView(200, 100, kQuarterTurn);
  EXPECT_NEAR(persp.WorldWidthAt({3, 4, -10}), 20.0f, 1e-5f);
  EXPECT_NEAR(persp.WorldWidthAt({0, 0, -1}), 2.0f, 1e-6f);
  // Points nearer than the near plane, or behind the eye, take the near plane's width.
  EXPECT_NEAR(persp.WorldWidthAt({0, 0, 3}), 2.0f * persp.nearClip, 1e-6f);
  EXPECT_FLOAT_EQ(TopView(100, 80, 50.0f).WorldWidthAt({1, 2, 300}), 50.0f);

  // A view transform that scales the world by 2: widths stay in world units.
  const View scaled = PerspectiveView(200, 100, kQuarterTurn, Matrix3::Scale({2, 2, 2}));
  EXPECT_NEAR(scaled.WorldWidthAt({0, 0, -5}), 10.0f, 1e-5f);

  // A marker one WorldPerPixelAt wide at p covers exactly one pixel, whatever the view.
  const Matrix3 cam = Matrix3::RotateX(1.1f) * Matrix3::RotateZ(0.4f) * Matrix3::Translation({3, -20, 8});
  for (bool perspective : {true, false}) {
    View v = PerspectiveView(320, 240, 0.9f, cam.Inverse());
    v.perspective = perspective;
    v.orthoWidth = 37.0f;
    const Point3 p(1.5f, 2.0f, -0.5f);
    const Point3 right = Normalize(cam.VectorTransform({1, 0, 0}));
    const ScreenPoint a = Projected(v, p), b = Projected(v, p + right * v.WorldPerPixelAt(p));
    EXPECT_NEAR(b.x - a.x, 1.0f, 1e-3f);
    EXPECT_NEAR(b.y - a.y, 0.0f, 1e-3f);
  }
}

TEST(ViewProjection, PixelRaysProjectBackToTheirPixel) {
  const Matrix3 cam = Matrix3::RotateY(0.3f) * Matrix3::RotateX(0.8f) * Matrix3::Translation({5, 6, 7});
  for (bool perspective : {true, false}) {
    View v = PerspectiveView(64, 48, 1.2f, cam.Inverse());
    v.perspective = perspective;
    v.orthoWidth = 12.0f;
    for (const auto& [px, py] : {std::pair{0.5f, 0.5f}, {63.5f, 47.5f}, {10.25f, 30.0f}, {32.0f, 24.0f}}) {
      const Ray r = v.PixelRay(px, py);
      EXPECT_NEAR(Length(r.dir), 1.0f, 1e-5f);
      const ScreenPoint s = Projected(v, r.origin + r.dir * 9.0f);
      EXPECT_NEAR(s.x, px, 2e-3f);
      EXPECT_NEAR(s.y, py, 2e-3f);
    }
  }
  // The middle of a perspective window looks straight ahead from the eye.
  const View v = PerspectiveView(64, 48, 1.2f, cam.Inverse());
  const Ray centre = v.PixelRay(32.0f, 24.0f);
  const Point3 forward = -Normalize(cam.VectorTransform({0, 0, 1}));
  EXPECT_NEAR(Dot(centre.dir, forward), 1.0f, 1e-6f);
  EXPECT_NEAR(Length(centre.origin - Point3(5, 6, 7)), 0.0f, 1e-4f);
}

TEST(ViewFromCamera, IgnoresNodeScaleAndSizesOrthographicViewsByTargetDistance) {
  const Matrix3 cam = Matrix3::Scale({3, 3, 3}) * LookAt({0, -10, 0}, {0, 0, 0});
  const View persp = ViewFromCamera(cam, kQuarterTurn, false, 10.0f, 100, 50);
  ScreenPoint s = Projected(persp, {0, 0, 0});
  EXPECT_NEAR(s.x, 50.0f, 1e-4f);
  EXPECT_NEAR(s.y, 25.0f, 1e-4f);
  EXPECT_NEAR(s.depth, 10.0f, 1e-5f);  // not 10 / 3: the camera's scale is not a zoom

  // fov 90 at a target distance of 10 shows 20 units: x = 10 at the target lands on the edge.
  const View ortho = ViewFromCamera(cam, kQuarterTurn, true, 10.0f, 100, 50);
  EXPECT_FALSE(ortho.perspective);
  EXPECT_NEAR(ortho.orthoWidth, 20.0f, 1e-5f);
  s = Projected(ortho, {10, 0, 0});
  EXPECT_NEAR(s.x, 100.0f, 1e-3f);

  const View tiny = ViewFromCamera(cam, kQuarterTurn, false, 10.0f, 0, -4);
  EXPECT_EQ(tiny.width, 1);
  EXPECT_EQ(tiny.height, 1);
}

TEST(ViewFromCamera, LookAtStraightDownStillGivesAnOrthonormalFrame) {
  const Matrix3 m = LookAt({1, 2, 10}, {1, 2, 0});
  const Point3 x = m.GetRow(0), y = m.GetRow(1), z = m.GetRow(2);
  for (const Point3& r : {x, y, z}) EXPECT_NEAR(Length(r), 1.0f, 1e-6f);
  EXPECT_NEAR(Dot(x, y), 0.0f, 1e-6f);
  EXPECT_NEAR(Dot(Cross(x, y), z), 1.0f, 1e-6f);  // right-handed
  EXPECT_NEAR(z.z, 1.0f, 1e-6f);                  // local -z points down at the target
  EXPECT_EQ(m.GetTrans(), Point3(1, 2, 10));
}

TEST(ViewClipping, KeepsThePartInFrontOfTheNearPlaneWithItsParameters) {
  View v = PerspectiveView(100, 100, kQuarterTurn);
  v.nearClip = 1.0f;
  // z = -5 + 8t reaches the plane z = -1 at t = 0.5, from either end.
  Point3 a(0, 0, -5), b(0, 4, 3);
  float ta = -1, tb = -1;
  ASSERT_TRUE(ClipToView(v, a, b, &ta, &tb));
  EXPECT_EQ(std::vector<float>({ta, tb, b.y, b.z}), std::vector<float>({0.0f, 0.5f, 2.0f, -1.0f}));
  a = {0, 4, 3};
  b = {0, 0, -5};
  ASSERT_TRUE(ClipToView(v, a, b, &ta, &tb));
  EXPECT_EQ(std::vector<float>({ta, tb, a.y, a.z}), std::vector<float>({0.5f, 1.0f, 2.0f, -1.0f}));
  // Wholly behind the plane: nothing. Orthographic views keep everything.
  a = {0, 0, -0.5f};
  b = {1, 1, 4};
  EXPECT_FALSE(ClipToView(v, a, b));
  v.perspective = false;
  EXPECT_TRUE(ClipToView(v, a, b, &ta, &tb));
  EXPECT_EQ(std::vector<float>({ta, tb, b.z}), std::vector<float>({0.0f, 1.0f, 4.0f}));
}

TEST(HitTest, SegmentInsideAndOutsideAPixelRegion) {
  // 1 world unit per pixel; world y = 0.5 is pixel row 49, x = -20..20 is pixels 30..70.
  const View v = TopView(100, 100, 100.0f);
  const Matrix3 id;
  const Point3 a(-20, 0.5f, 0), b(20, 0.5f, 0);
  EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(50, 49), id, a, b));
  EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(50, 53), id, a, b));   // rows 49..57 reach the line
  EXPECT_FALSE(HitSegment(v, HitRegion::AroundPoint(50, 54), id, a, b));  // rows 50..58 do not
  EXPECT_FALSE(HitSegment(v, HitRegion::AroundPoint(80, 49), id, a, b));  // beyond the end
  EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(50, 49, 0), id, a, b));
  // A dragged rectangle, corners in any order.
  EXPECT_TRUE(HitSegment(v, HitRegion::Rect(65, 60, 60, 45), id, a, b));
  // The object's transform moves the segment into place.
  EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(50, 20, 1), Matrix3::Translation({0, 29, 0}), a, b));
  EXPECT_FALSE(HitSegment(v, HitRegion::AroundPoint(50, 49, 1), Matrix3::Translation({0, 29, 0}), a, b));
}

TEST(HitTest, SegmentPassingTheRegionsCornerDoesNotHit) {
  // The line x + y = 10 (pixels) crosses the bounding box of pixels 0..3 x 0..3 but not the box.
  const View v = TopView(100, 100, 100.0f);
  const Point3 a(-50, 40, 0), b(-40, 50, 0);  // pixels (0, 10) and (10, 0)
  EXPECT_FALSE(HitSegment(v, HitRegion::Rect(0, 0, 3, 3), Matrix3(), a, b));
  EXPECT_TRUE(HitSegment(v, HitRegion::Rect(0, 0, 5, 5), Matrix3(), a, b));  // [0, 6]^2 reaches it
}

TEST(HitTest, PerspectiveSegmentThroughTheEyePlaneIsNotFoldedOver) {
  // From in front of the eye, below and left, to behind it: on screen it runs off to the lower
  // right. Projected naively, the end behind the eye lands in the upper left at pixel (30, 45).
  const View v = PerspectiveView(100, 100, kQuarterTurn);
  const Point3 a(-2, -1, -10), b(4, -1, 10);
  EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(40, 55, 1), Matrix3(), a, b));
  EXPECT_FALSE(HitSegment(v, HitRegion::AroundPoint(32, 47, 4), Matrix3(), a, b));
  EXPECT_FALSE(HitSegment(v, HitRegion::Rect(0, 0, 99, 49), Matrix3(), a, b));
  // Wholly behind the eye: no hit anywhere.
  EXPECT_FALSE(HitSegment(v, HitRegion::Rect(0, 0, 99, 99), Matrix3(), {0, 0, 1}, {1, 1, 5}));
}

TEST(HitTest, FirstHitSegmentOfAList) {
  const View v = TopView(100, 100, 100.0f);
  const Point3 pairs[] = {{-40, -40, 0}, {-30, -40, 0},  // far away
                          {-5, 0.5f, 0}, {5, 0.5f, 0},   // through the middle
                          {0.5f, -5, 0}, {0.5f, 5, 0},   // through the middle too
                          {0, 0, 0}};                    // an odd end point is ignored
  EXPECT_EQ(HitSegments(v, HitRegion::AroundPoint(50, 49, 2), Matrix3(), pairs), 1);
  EXPECT_EQ(HitSegments(v, HitRegion::AroundPoint(10, 90, 2), Matrix3(), pairs), 0);
  EXPECT_EQ(HitSegments(v, HitRegion::AroundPoint(80, 10, 2), Matrix3(), pairs), -1);
  EXPECT_EQ(HitSegments(v, HitRegion::AroundPoint(50, 49, 2), Matrix3(), std::span(pairs).subspan(4)), 0);
}

TEST(Viewports, RedrawRequestsAreCountedAndTakenOnce) {
  Viewports vp;
  EXPECT_EQ(vp.ActiveView(), nullptr);
  vp.SetActiveView(TopView(0, 30, 10.0f));
  ASSERT_NE(vp.ActiveView(), nullptr);
  EXPECT_EQ(vp.ActiveView()->width, 1);  // a window is at least one pixel wide

  EXPECT_FALSE(vp.TakeRedrawRequest());
  vp.RedrawViews(160);
  vp.RedrawViews(320);
  EXPECT_EQ(vp.RedrawCount(), 2u);
  EXPECT_EQ(vp.LastRedrawTime(), 320);
  EXPECT_TRUE(vp.TakeRedrawRequest());
  EXPECT_FALSE(vp.TakeRedrawRequest());

  auto item = std::make_shared<SimpleRenderItem>();
  vp.AddItem(item);
  vp.AddItem(item);  // once only
  vp.AddItem(nullptr);
  EXPECT_EQ(vp.Items().size(), 1u);
  EXPECT_TRUE(vp.RemoveItem(item.get()));
  EXPECT_FALSE(vp.RemoveItem(item.get()));
}

}  // namespace
}  // namespace host
