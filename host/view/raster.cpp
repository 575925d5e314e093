#include "host/view/raster.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "host/core/status.h"
#include "host/view/image_codec.h"

namespace host {

namespace {

ColorRgba Mix(const ColorRgba& a, const ColorRgba& b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}

uint8_t Blend(float src, float alpha, uint8_t dst) {
  const float v = src * 255.0f * alpha + float(dst) * (1.0f - alpha);
  return uint8_t(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

bool Rasterizer::Begin(const View& view, RgbImage& image, const RasterOptions& options, std::string* message) {
  image_ = nullptr;
  if (view.width < 1 || view.height < 1 || view.width > kMaxRasterSide || view.height > kMaxRasterSide)
    return Fail(message, "cannot draw a " + std::to_string(view.width) + " x " + std::to_string(view.height) +
                             " view: each side must be 1 to " + std::to_string(kMaxRasterSide) + " pixels");
  const std::size_t count = std::size_t(view.width) * std::size_t(view.height);
  try {
    image.pixels.resize(count * 3);
    depth_.assign(options.depthTest ? count : 0, std::numeric_limits<float>::infinity());
  } catch (const std::bad_alloc&) {
    return Fail(message, "cannot draw a " + std::to_string(view.width) + " x " + std::to_string(view.height) +
                             " view: out of memory");
  }
  view_ = view;
  options_ = options;
  image.width = view.width;
  image.height = view.height;
  for (std::size_t i = 0; i < count; ++i)
    for (int k = 0; k < 3; ++k) image.pixels[i * 3 + std::size_t(k)] = options.background[k];
  image_ = &image;
  return true;
}

void Rasterizer::Plot(int x, int y, float depth, const ColorRgba& c) {
  if (c.a <= 0.0f) return;
  if (options_.depthTest) {
    float& stored = depth_[std::size_t(y) * std::size_t(view_.width) + std::size_t(x)];
    if (depth > stored) return;
    stored = depth;
  }
  uint8_t* p = image_->At(x, y);
  p[0] = Blend(c.r, c.a, p[0]);
  p[1] = Blend(c.g, c.a, p[1]);
  p[2] = Blend(c.b, c.a, p[2]);
}

void Rasterizer::DrawLine(const Point3& a, const Point3& b, const ColorRgba& ca, const ColorRgba& cb) {
  Point3 va = a, vb = b;
  float ta = 0.0f, tb = 1.0f;
  if (!ClipToView(view_, va, vb, &ta, &tb)) return;
  ScreenPoint sa, sb;
  if (!view_.ProjectViewPoint(va, &sa) || !view_.ProjectViewPoint(vb, &sb)) return;
  if (!std::isfinite(sa.x) || !std::isfinite(sa.y) || !std::isfinite(sb.x) || !std::isfinite(sb.y)) return;
  const ColorRgba c0 = Mix(ca, cb, ta), c1 = Mix(ca, cb, tb);

  const double dx = double(sb.x) - sa.x, dy = double(sb.y) - sa.y;
  if (dx == 0.0 && dy == 0.0) return;
  // Step along the major axis over the pixel centres in [min, max); the minor axis takes the
  // pixel that holds the line there.
  const bool xMajor = std::fabs(dx) >= std::fabs(dy);
  const double a0 = xMajor ? sa.x : sa.y, d0 = xMajor ? dx : dy;
  const double b0 = xMajor ? sa.y : sa.x, e0 = xMajor ? dy : dx;
  const int majorSize = xMajor ? view_.width : view_.height;
  const int minorSize = xMajor ? view_.height : view_.width;
  const double lo = std::min(a0, a0 + d0), hi = std::max(a0, a0 + d0);
  const double first = std::max(std::ceil(lo - 0.5), 0.0);
  const double end = std::min(std::ceil(hi - 0.5), double(majorSize));
  if (!(first < end)) return;
  // Perspective depth is linear in 1 / depth across the screen.
  const bool persp = view_.perspective;
  const double za = persp ? 1.0 / sa.depth : sa.depth, zb = persp ? 1.0 / sb.depth : sb.depth;
  for (int i = int(first); i < int(end); ++i) {
    const double t = (i + 0.5 - a0) / d0;
    const double minor = std::floor(b0 + t * e0);
    if (minor < 0.0 || minor >= double(minorSize)) continue;
    const double z = za + (zb - za) * t;
    const float depth = float(persp ? 1.0 / z : z);
    const ColorRgba c = Mix(c0, c1, float(t));
    if (xMajor) Plot(i, int(minor), depth, c);
    else Plot(int(minor), i, depth, c);
  }
}

void Rasterizer::DrawPoint(const Point3& p, const ColorRgba& c, int size) {
  ScreenPoint s;
  if (!view_.ProjectViewPoint(p, &s) || !std::isfinite(s.x) || !std::isfinite(s.y)) return;
  const double cx = std::floor(double(s.x)), cy = std::floor(double(s.y));
  const double x0 = cx - (size - 1) / 2, y0 = cy - (size - 1) / 2;
  const int xa = int(std::max(x0, 0.0)), xb = int(std::min(x0 + size, double(view_.width)));
  const int ya = int(std::max(y0, 0.0)), yb = int(std::min(y0 + size, double(view_.height)));
  for (int y = ya; y < yb; ++y)
    for (int x = xa; x < xb; ++x) Plot(x, y, s.depth, c);
}

bool Rasterizer::Draw(const RenderBatch& batch, const Matrix3& objectToWorld) {
  if (!image_ || !batch.Valid()) return false;
  const Matrix3 toView = objectToWorld * view_.affineTM;
  const auto& pos = batch.positions;
  if (batch.type == PrimitiveType::kLineList) {
    for (std::size_t i = 0; i + 1 < pos.size(); i += 2)
      DrawLine(pos[i] * toView, pos[i + 1] * toView, batch.VertexColor(i), batch.VertexColor(i + 1));
  } else {
    for (std::size_t i = 0; i < pos.size(); ++i) DrawPoint(pos[i] * toView, batch.VertexColor(i), batch.pointSize);
  }
  return true;
}

bool Rasterizer::Draw(const CustomRenderItem& item) {
  bool ok = true;
  const Matrix3 tm = item.WorldTransform();
  for (const RenderBatch& b : item.Batches()) ok = Draw(b, tm) && ok;
  return ok;
}

bool RasterizeView(const View& view, std::span<const std::shared_ptr<CustomRenderItem>> items, TimeValue t,
                   RgbImage& image, const RasterOptions& options, std::string* message) {
  Rasterizer r;
  if (!r.Begin(view, image, options, message)) return false;
  int malformed = 0;
  for (const auto& item : items) {
    if (!item) continue;
    item->Realize(view, t);
    if (!r.Draw(*item)) ++malformed;
  }
  if (malformed > 0)
    return Fail(message, std::to_string(malformed) + " render item(s) handed a malformed batch (colour count or "
                                                     "point size); those batches were skipped");
  return true;
}

bool SaveRgbPng(const RgbImage& image, const std::filesystem::path& path, std::string* message) {
  if (image.width < 1 || image.height < 1 ||
      image.pixels.size() != std::size_t(image.width) * std::size_t(image.height) * 3) {
    return Fail(message, "cannot write '" + path.string() + "': the image is empty or its size does not match");
  }
  return codec::WritePngFile(path, image.width, image.height, 3, 8, image.pixels.data(), message);
}

}  // namespace host
