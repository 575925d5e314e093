// The software rasteriser: known lines to known pixels, points, near-plane clipping, depth and
// alpha, agreement with hit testing, whole views of render items, and the PNG it saves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <set>
#include <utility>

#include "host/view/bitmap.h"
#include "host/view/raster.h"
#include "tests/host/view/image_files.h"

namespace host {
namespace {

using Pixel = std::pair<int, int>;
using PixelSet = std::set<Pixel>;

constexpr uint32_t kOrange = 0xFFFF8A1Eu;
constexpr uint32_t kRed[2] = {0xFFFF0000u, 0xFFFF0000u}, kGreen[2] = {0xFF00FF00u, 0xFF00FF00u};

// 100 x 100 pixels, one world unit a pixel: world (x, y) lands on pixel coordinates (50 + x, 50 - y).
View TopView() {
  View v;
  v.width = v.height = 100;
  v.perspective = false;
  v.orthoWidth = 100.0f;
  return v;
}

// 100 x 100 pixels, 90 degrees, the eye at the origin looking down -z.
View EyeView() {
  View v;
  v.width = v.height = 100;
  v.fov = float(std::numbers::pi / 2);
  return v;
}

RenderBatch Lines(std::span<const Point3> pos, std::span<const uint32_t> argb) {
  RenderBatch b;
  b.positions = pos;
  b.colorsArgb = argb;
  return b;
}

PixelSet Rect(int x0, int y0, int x1, int y1) {
  PixelSet s;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) s.insert({x, y});
  return s;
}

PixelSet Drawn(const RgbImage& img, const RasterOptions& o = {}) {
  PixelSet s;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (!std::equal(o.background, o.background + 3, img.At(x, y))) s.insert({x, y});
  return s;
}

// Draws the batches on a fresh image.
RgbImage Draw(const View& v, std::initializer_list<RenderBatch> batches, const RasterOptions& o = {}) {
  RgbImage img;
  Rasterizer r;
  EXPECT_TRUE(r.Begin(v, img, o, nullptr));
  for (const RenderBatch& b : batches) EXPECT_TRUE(r.Draw(b, Matrix3()));
  return img;
}

// Draws one orange segment and returns the pixels it covered, each checked for the exact colour.
PixelSet DrawSegment(const View& v, Point3 a, Point3 b) {
  const Point3 pos[2] = {a, b};
  const uint32_t col[2] = {kOrange, kOrange};
  const RgbImage img = Draw(v, {Lines(pos, col)});
  const PixelSet s = Drawn(img);
  for (const auto& [x, y] : s) EXPECT_TRUE(std::equal(img.At(x, y), img.At(x, y) + 3, std::array<uint8_t, 3>{255, 138, 30}.begin()));
  return s;
}

// Both directions of a segment cover the same pixels.
PixelSet DrawBothWays(const View& v, Point3 a, Point3 b) {
  const PixelSet s = DrawSegment(v, a, b);
  EXPECT_EQ(DrawSegment(v, b, a), s);
  return s;
}

TEST(RasterLines, HorizontalVerticalAndDiagonalCoverExactlyTheirPixels) {
  const View v = TopView();
  // Horizontal at pixel y 49.5 from x 40 to 60: the centres 40.5 .. 59.5 in row 49.
  EXPECT_EQ(DrawBothWays(v, {-10, 0.5f, 0}, {10, 0.5f, 0}), Rect(40, 49, 59, 49));
  // Ends between pixel centres: x 40.7 to 45.6 takes the centres 41.5 .. 45.5.
  EXPECT_EQ(DrawBothWays(v, {-9.3f, 0.5f, 0}, {-4.4f, 0.5f, 0}), Rect(41, 49, 45, 49));
  // Vertical at pixel x 25.5 from y 40 to 70.
  EXPECT_EQ(DrawBothWays(v, {-24.5f, 10, 0}, {-24.5f, -20, 0}), Rect(25, 40, 25, 69));

  // Diagonals from pixel (10, 10) to (30, 30), and (10, 30) to (30, 10): at the centre x + 0.5
  // the lines are at y = x + 0.5 and y = 39.5 - x.
  PixelSet down, up;
  for (int i = 10; i < 30; ++i) {
    down.insert({i, i});
    up.insert({i, 39 - i});
  }
  EXPECT_EQ(DrawBothWays(v, {-40, 40, 0}, {-20, 20, 0}), down);
  EXPECT_EQ(DrawBothWays(v, {-40, 20, 0}, {-20, 40, 0}), up);

  // Steep, pixel (10, 10) to (13, 20): rows 10..19 at x = 10 + 0.3 (y + 0.5 - 10).
  const int columns[10] = {10, 10, 10, 11, 11, 11, 11, 12, 12, 12};
  PixelSet steep;
  for (int j = 0; j < 10; ++j) steep.insert({columns[j], 10 + j});
  EXPECT_EQ(DrawBothWays(v, {-40, 40, 0}, {-37, 30, 0}), steep);

  // Far outside the window at both ends: exactly the row across it. Wholly outside: nothing.
  EXPECT_EQ(DrawSegment(v, {-1e6f, 0.5f, 0}, {1e6f, 0.5f, 0}), Rect(0, 49, 99, 49));
  EXPECT_TRUE(DrawSegment(v, {60, -70, 0}, {90, 80, 0}).empty());
  // Orthographic views clip nothing in depth.
  EXPECT_EQ(DrawSegment(v, {-10, 0.5f, 50}, {10, 0.5f, -50}), Rect(40, 49, 59, 49));
}

TEST(RasterLines, ColoursAreInterpolatedAlongTheLine) {
  const Point3 pos[2] = {{-10, 0.5f, 0}, {10, 0.5f, 0}};
  const uint32_t col[2] = {0xFFFF0000u, 0xFF0000FFu};  // red to blue
  const RgbImage img = Draw(TopView(), {Lines(pos, col)});
  for (int x = 40; x < 60; ++x) {
    const float t = (float(x) + 0.5f - 40.0f) / 20.0f;
    EXPECT_NEAR(img.At(x, 49)[0], 255.0f * (1.0f - t), 0.51f) << x;
    EXPECT_EQ(img.At(x, 49)[1], 0) << x;
    EXPECT_NEAR(img.At(x, 49)[2], 255.0f * t, 0.51f) << x;
  }
}

TEST(RasterLines, PerspectiveLineThroughTheEyePlaneIsClippedNotWrapped) {
  // From in front of the eye (pixel (40, 55)) to behind it. Cut at the near plane, the line runs
  // off the lower right of the window; projected without clipping, its far end would wrap round
  // to pixel (30, 45) in the upper half.
  const View v = EyeView();
  const PixelSet s = DrawSegment(v, {-2, -1, -10}, {4, -1, 10});
  bool reachesEdge = false;
  for (const auto& [x, y] : s) {
    EXPECT_TRUE(x >= 40 && y >= 55) << x << "," << y;
    reachesEdge |= x == 99 || y == 99;
  }
  EXPECT_TRUE(s.count({40, 55}));
  EXPECT_TRUE(reachesEdge);
  // On screen the line is y = x + 15; a part of it ending in front of the eye draws the same pixels.
  for (const Pixel& p : DrawSegment(v, {-2, -1, -10}, {-0.5f, -1, -5})) EXPECT_TRUE(s.count(p));
  // Wholly behind the eye, or nearer than the near plane: nothing.
  EXPECT_TRUE(DrawSegment(v, {-2, -1, 1}, {4, -1, 10}).empty());
  EXPECT_TRUE(DrawSegment(v, {-1e-3f, 0, -1e-3f}, {1e-3f, 0, -1e-3f}).empty());
}

TEST(RasterPoints, SquaresOfThePointSize) {
  const auto drawn = [](Point3 p, int size, const View& v = TopView()) {
    RenderBatch b;
    b.type = PrimitiveType::kPointList;
    b.positions = std::span(&p, 1);
    b.pointSize = size;
    return Drawn(Draw(v, {b}));
  };
  const Point3 p(-29.7f, 19.3f, 0);  // pixel coordinates (20.3, 30.7): pixel (20, 30)
  EXPECT_EQ(drawn(p, 1), Rect(20, 30, 20, 30));
  EXPECT_EQ(drawn(p, 2), Rect(20, 30, 21, 31));
  EXPECT_EQ(drawn(p, 3), Rect(19, 29, 21, 31));
  // In the corner a 5-pixel point keeps its part inside the window; outside, or behind a
  // perspective eye, nothing.
  EXPECT_EQ(drawn({-49.5f, 49.5f, 0}, 5), Rect(0, 0, 2, 2));
  EXPECT_TRUE(drawn({-60, 0, 0}, 3).empty());
  EXPECT_TRUE(drawn({0, 0, 5}, 3, EyeView()).empty());
}

TEST(RasterDepth, NearerLinesWinWithTheDepthTestAndLaterOnesWithout) {
  // A red line at depth 5 and a green one at depth 20 cross at pixel (50, 49).
  const Point3 nearLine[2] = {{-1, 0.05f, -5}, {1, 0.05f, -5}}, farLine[2] = {{0.1f, -4, -20}, {0.1f, 4, -20}};
  const RenderBatch n = Lines(nearLine, kRed), f = Lines(farLine, kGreen);
  const auto redAtCross = [&](bool depthTest, bool nearFirst) {
    RasterOptions o;
    o.depthTest = depthTest;
    return Draw(EyeView(), {nearFirst ? n : f, nearFirst ? f : n}, o).At(50, 49)[0] == 255;
  };
  EXPECT_TRUE(redAtCross(true, true));
  EXPECT_TRUE(redAtCross(true, false));
  EXPECT_FALSE(redAtCross(false, true));
  EXPECT_TRUE(redAtCross(false, false));

  // Along row 49, x 40 to 60: the red line recedes from depth 2 to 40 and passes depth 10 at
  // x 56.84; the green one stays at depth 10 and is drawn second. Depth interpolated linearly
  // on screen would hand the row to green already at x 44.2.
  const Point3 slanted[2] = {{-0.4f, 0.02f, -2}, {8, 0.4f, -40}}, flat[2] = {{-2, 0.1f, -10}, {2, 0.1f, -10}};
  const RgbImage img = Draw(EyeView(), {Lines(slanted, kRed), Lines(flat, kGreen)});
  for (int x = 40; x < 60; ++x) EXPECT_EQ(img.At(x, 49)[0], x <= 56 ? 255 : 0) << x;
  EXPECT_EQ(Drawn(img).size(), 20u);
}

TEST(RasterBlend, AlphaBlendsOverWhatIsThereAndTransparentHidesNothing) {
  RasterOptions o;
  o.background[0] = o.background[1] = o.background[2] = 0;
  const Point3 pos[2] = {{-10, 0.5f, 0}, {10, 0.5f, 0}}, under[2] = {{-10, 0.5f, -10}, {10, 0.5f, -10}};
  const uint32_t half[2] = {0x80FFFFFFu, 0x80FFFFFFu}, clear[2] = {0x00FFFFFFu, 0x00FFFFFFu};
  EXPECT_EQ(Draw(TopView(), {Lines(pos, half)}, o).At(45, 49)[0], 128);
  // The transparent line is nearer but does not keep the green one behind it from showing.
  EXPECT_EQ(Draw(TopView(), {Lines(pos, clear), Lines(under, kGreen)}, o).At(45, 49)[1], 255);
}

TEST(RasterBatches, MalformedBatchesAndOversizedViewsDrawNothing) {
  const Point3 pos[2] = {{-10, 0.5f, 0}, {10, 0.5f, 0}};
  const uint32_t one[1] = {kOrange};
  Rasterizer r;
  EXPECT_FALSE(r.Draw(Lines(pos, kRed), Matrix3()));  // before Begin
  RgbImage img;
  ASSERT_TRUE(r.Begin(TopView(), img, {}, nullptr));
  EXPECT_FALSE(r.Draw(Lines(pos, one), Matrix3()));  // one colour for two vertices
  EXPECT_TRUE(Drawn(img).empty());
  View huge = TopView();
  huge.width = kMaxRasterSide + 1;
  std::string msg;
  EXPECT_FALSE(r.Begin(huge, img, {}, &msg));
  EXPECT_NE(msg.find("16384"), std::string::npos) << msg;
  EXPECT_FALSE(r.Draw(Lines(pos, kRed), Matrix3()));  // nothing to draw on after a failed Begin
}

TEST(RasterHitTest, EveryDrawnPixelHitsAndPixelsAwayFromTheLineDoNot) {
  View v = EyeView();
  v.affineTM = LookAt({4, -30, 12}, {0, 0, 0}).Inverse();
  uint32_t seed = 12345;
  const auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return float(seed >> 8) / 16777216.0f * 20.0f - 10.0f;
  };
  for (int k = 0; k < 40; ++k) {
    const Point3 a(next(), next(), next()), b(next(), next(), next());
    const PixelSet s = DrawSegment(v, a, b);
    for (const auto& [x, y] : s) EXPECT_TRUE(HitSegment(v, HitRegion::AroundPoint(x, y, 0), Matrix3(), a, b));
    ScreenPoint pa, pb;
    ASSERT_TRUE(v.Project(a, &pa) && v.Project(b, &pb));
    const auto inside = [](ScreenPoint p) { return p.x >= 0 && p.x < 100 && p.y >= 0 && p.y < 100; };
    if (s.empty() || !inside(pa) || !inside(pb)) continue;  // nothing drawn to compare with
    for (int y = 0; y < 100; y += 3)
      for (int x = 0; x < 100; x += 3) {
        bool far = true;
        for (const auto& [px, py] : s) far &= std::abs(px - x) >= 2 || std::abs(py - y) >= 2;
        if (far) {
          EXPECT_FALSE(HitSegment(v, HitRegion::AroundPoint(x, y, 0), Matrix3(), a, b)) << x << "," << y;
        }
      }
  }
}

// An item that rebuilds its line on Realize: one world unit higher for every 160 ticks.
class RisingLine : public CustomRenderItem {
 public:
  void Realize(const View& view, TimeValue t) override {
    ++realized;
    seenWidth = view.width;
    pos_[0] = {-10, 0.5f + float(t / 160), 0};
    pos_[1] = {10, 0.5f + float(t / 160), 0};
    batch_[0].positions = pos_;
  }
  std::span<const RenderBatch> Batches() const override { return batch_; }
  Matrix3 WorldTransform() const override { return Matrix3::Translation({-20, 0, 0}); }
  int realized = 0, seenWidth = 0;

 private:
  Point3 pos_[2];
  RenderBatch batch_[1];
};

TEST(RasterizeView, RealizesItemsAtTheTimeAndDrawsThemWithTheirTransform) {
  auto item = std::make_shared<RisingLine>();
  std::vector<std::shared_ptr<CustomRenderItem>> items = {item, nullptr};
  RgbImage img;
  std::string msg;
  ASSERT_TRUE(RasterizeView(TopView(), items, 3 * 160, img, {}, &msg)) << msg;
  EXPECT_EQ(item->realized, 1);
  EXPECT_EQ(item->seenWidth, 100);
  EXPECT_EQ(Drawn(img), Rect(20, 46, 39, 46));  // y 3.5 is row 46; moved 20 to the left

  static const Point3 pos[2] = {{0, 0, 0}, {1, 1, 0}};
  static const uint32_t one[1] = {kOrange};
  auto bad = std::make_shared<SimpleRenderItem>();
  bad->batches.push_back(Lines(pos, one));
  items.push_back(bad);
  EXPECT_FALSE(RasterizeView(TopView(), items, 3 * 160, img, {}, &msg));
  EXPECT_NE(msg.find("malformed"), std::string::npos) << msg;
  EXPECT_EQ(Drawn(img), Rect(20, 46, 39, 46));  // the good item is still drawn
}

TEST(RasterPng, SavedImageReadsBackPixelForPixel) {
  // A wire box in perspective with points at its corners.
  std::vector<Point3> corners, lines;
  for (int i = 0; i < 8; ++i) corners.push_back({i & 1 ? 5.0f : -5.0f, i & 2 ? 5.0f : -5.0f, i & 4 ? 10.0f : 0.0f});
  for (int i = 0; i < 8; ++i)
    for (int bit : {1, 2, 4})
      if (!(i & bit)) lines.insert(lines.end(), {corners[std::size_t(i)], corners[std::size_t(i | bit)]});
  std::vector<uint32_t> colors(lines.size(), kOrange);
  RenderBatch points;
  points.type = PrimitiveType::kPointList;
  points.positions = corners;
  points.color = {1.0f, 0.2f, 0.2f, 1.0f};
  points.pointSize = 5;
  View v = EyeView();
  v.width = 160;
  v.height = 120;
  v.affineTM = LookAt({18, -30, 16}, {0, 0, 4}).Inverse();
  const RgbImage img = Draw(v, {Lines(lines, colors), points});
  EXPECT_GT(Drawn(img).size(), 300u);

  testimg::TempFolder dir;
  std::string msg;
  ASSERT_TRUE(SaveRgbPng(img, dir / "box.png", &msg)) << msg;
  const auto back = LoadBitmapFile(dir / "box.png", &msg);
  ASSERT_TRUE(back && back->Width() == 160 && back->Height() == 120) << msg;
  std::vector<Rgba16> row(160);
  int mismatches = 0;
  for (int y = 0; y < 120; ++y) {
    ASSERT_TRUE(back->GetRow(y, row));
    for (int x = 0; x < 160; ++x) {
      const uint8_t* p = img.At(x, y);
      mismatches += row[std::size_t(x)] != Rgba16{uint16_t(p[0] * 257), uint16_t(p[1] * 257), uint16_t(p[2] * 257), 65535};
    }
  }
  EXPECT_EQ(mismatches, 0);
  // No image, or no folder to write into: a message and no file.
  EXPECT_FALSE(SaveRgbPng(RgbImage{}, dir / "empty.png", &msg));
  EXPECT_FALSE(SaveRgbPng(img, dir / "missing" / "box.png", &msg));
  EXPECT_NE(msg.find("missing"), std::string::npos) << msg;
  EXPECT_EQ(testimg::FileNames(dir.path()), std::vector<std::string>{"box.png"});
}

}  // namespace
}  // namespace host
