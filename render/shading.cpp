// The host-side parts of the shading model: black-body colours, the fire colour table, the glow
// grid and the tone mapping of finished images.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/exec.h"
#include "render/render.h"
#include "render/render_bodies.h"

namespace tf {

using render_detail::FireColor;
using render_detail::Index3;

namespace {

// One lobe of the piecewise-Gaussian colour-matching fits: width s1 below the peak, s2 above.
double Lobe(double lambda, double mu, double s1, double s2) {
  const double t = (lambda - mu) / (lambda < mu ? s1 : s2);
  return std::exp(-0.5 * t * t);
}

}  // namespace

Vec3f BlackbodyColor(float kelvin) {
  const double t = std::max(double(kelvin), 300.0);
  double X = 0.0, Y = 0.0, Z = 0.0;
  for (int i = 0; i <= 40; ++i) {
    const double nm = 380.0 + 10.0 * i;
    const double m = nm * 1e-9;
    const double p = 1e-30 / ((std::exp(std::min(0.014388 / (m * t), 80.0)) - 1.0) * (m * m * m * m * m));
    const double xb = 1.056 * Lobe(nm, 599.8, 37.9, 31.0) + 0.362 * Lobe(nm, 442.0, 16.0, 26.7) -
                      0.065 * Lobe(nm, 501.1, 20.4, 26.2);
    const double yb = 0.821 * Lobe(nm, 568.8, 46.9, 40.5) + 0.286 * Lobe(nm, 530.9, 16.3, 31.1);
    const double zb = 1.217 * Lobe(nm, 437.0, 11.8, 36.0) + 0.681 * Lobe(nm, 459.0, 26.0, 13.8);
    X += xb * p, Y += yb * p, Z += zb * p;
  }
  double r = std::max(0.0, 3.2406 * X - 1.5372 * Y - 0.4986 * Z);
  double g = std::max(0.0, -0.9689 * X + 1.8758 * Y + 0.0415 * Z);
  double b = std::max(0.0, 0.0557 * X - 0.2040 * Y + 1.0570 * Z);
  const double top = std::max({r, g, b});
  if (top > 0.0) r /= top, g /= top, b /= top;
  return Vec3f{float(r), float(g), float(b)};
}

FireColorTable MakeFireColorTable(const Vec3f& tint) {
  FireColorTable table{};
  for (int i = 0; i < kFireColorEntries; ++i) {
    const Vec3f c = BlackbodyColor(300.0f + float(i) * 4000.0f / 127.0f);
    table[size_t(i)] = Vec3f{c.x * tint.x, c.y * tint.y, c.z * tint.z};
  }
  return table;
}

void FireColorAtKelvin(const FireColorTable& table, float kelvin, Vec3f& color, float& strength) {
  render_detail::KelvinColor(table.data(), kelvin, color, strength);
}

namespace {

// One 3-tap box pass along an axis; neighbours outside the grid count as 0.
void BoxPass(const std::vector<float>& in, std::vector<float>& out, int32_t gx, int32_t gy, int32_t gz, int axis) {
  const int32_t n[3] = {gx, gy, gz};
  [[maybe_unused]] const bool parallel = int64_t(gx) * gy * gz >= 4096;
#pragma omp parallel for schedule(static) if (parallel)
  for (int32_t z = 0; z < gz; ++z)
    for (int32_t y = 0; y < gy; ++y)
      for (int32_t x = 0; x < gx; ++x) {
        const int32_t c[3] = {x, y, z};
        const size_t i = Index3(x, y, z, gx, gy);
        float sum = in[i];
        int32_t lo[3] = {x, y, z}, hi[3] = {x, y, z};
        lo[axis] = c[axis] - 1;
        hi[axis] = c[axis] + 1;
        if (lo[axis] >= 0) sum += in[Index3(lo[0], lo[1], lo[2], gx, gy)];
        if (hi[axis] < n[axis]) sum += in[Index3(hi[0], hi[1], hi[2], gx, gy)];
        out[i] = sum / 3.0f;
      }
}

GlowGrid MakeGlowGrid(const RenderVolume& v, const ShadingContext& ctx) {
  GlowGrid glow;
  if (v.nx < 1 || v.ny < 1 || v.nz < 1) return glow;
  glow.gx = (v.nx + 3) / 4, glow.gy = (v.ny + 3) / 4, glow.gz = (v.nz + 3) / 4;
  const size_t cells = size_t(glow.gx) * size_t(glow.gy) * size_t(glow.gz);
  glow.r.assign(cells, 0.0f), glow.g.assign(cells, 0.0f), glow.b.assign(cells, 0.0f);
  if (v.temperature == nullptr) return glow;
  // Each glow slice gathers four voxel slices of its own, so slices fill in parallel.
  [[maybe_unused]] const bool parallel = int64_t(v.nx) * v.ny * v.nz >= 4096;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
  for (int32_t gz = 0; gz < glow.gz; ++gz)
    for (int32_t z = gz * 4; z < std::min(gz * 4 + 4, v.nz); ++z)
      for (int32_t y = 0; y < v.ny; ++y)
        for (int32_t x = 0; x < v.nx; ++x) {
          Vec3f e;
          float w;
          FireColor(ctx.table.data(), v.temperature[Index3(x, y, z, v.nx, v.ny)], ctx.fireTempScale, ctx.fireIntensity,
                    e, w);
          if (!(e.x + e.y + e.z > 0.0f)) continue;
          const float weight = (1.0f - std::exp(-0.12f * std::min(w, 4.0f))) / 64.0f;
          const size_t g = Index3(x / 4, y / 4, gz, glow.gx, glow.gy);
          glow.r[g] += weight * e.x, glow.g[g] += weight * e.y, glow.b[g] += weight * e.z;
        }
  std::vector<float> tmp(cells);
  for (std::vector<float>* plane : {&glow.r, &glow.g, &glow.b})
    for (int round = 0; round < 3; ++round)
      for (int axis = 0; axis < 3; ++axis) {
        BoxPass(*plane, tmp, glow.gx, glow.gy, glow.gz, axis);
        plane->swap(tmp);
      }
  return glow;
}

}  // namespace

ShadingContext MakeShadingContext(const RenderVolume& volume, const RenderSettings& s) {
  ShadingContext ctx;
  ctx.densityScale = s.smokeDensity / (volume.cellSize * 20.0f);
  ctx.fireIntensity = s.fireIntensity;
  ctx.fireTempScale = s.fireTempScale;
  ctx.shadowAmount = s.shadowAmount;
  ctx.detailAmount = s.detailAmount;
  ctx.glowK = s.glow * 12.0f;
  ctx.detailFreq = 1.0f / (2.0f * std::max(0.1f, s.detailScale));
  ctx.smokeColor = s.smokeColor;
  ctx.lightColor = s.lightColor;
  ctx.skyColor = s.skyColor;
  ctx.background = s.background;
  const Vec3f l = s.lightDir;
  float len = std::sqrt(l.x * l.x + l.y * l.y + l.z * l.z);
  if (!(len >= 1e-6f)) len = 1.0f;
  ctx.lightDir = Vec3f{l.x / len, l.y / len, l.z / len};
  ctx.table = MakeFireColorTable(s.fireTint);
  ctx.glowGrid = MakeGlowGrid(volume, ctx);
  return ctx;
}

namespace render_detail {

uint8_t ToneMapFormula(float v) {
  const float x = std::max(0.0f, v);  // NaN becomes 0 as well
  const float y = std::min(1.0f, x * (2.51f * x + 0.03f) / (x * (2.43f * x + 0.59f) + 0.14f));
  const float s = y <= 0.0031308f ? 12.92f * y : 1.055f * std::pow(y, 1.0f / 2.4f) - 0.055f;
  return uint8_t(std::clamp(s * 255.0f + 0.5f, 0.0f, 255.0f));
}

}  // namespace render_detail

namespace {

// The formula's byte does not fall as the value grows, and the bit patterns of non-negative floats
// order as their values do. So the byte of a value is the byte at the start of its bucket (2^16
// consecutive patterns) raised past every threshold (the first pattern of each byte) the value
// has reached: the formula's own bytes, without a power per value. Only its rounding breaks the
// order, right at a threshold (a byte and the next alternate over a few dozen patterns), so values
// that close to one are given the formula itself. Every float was checked against the formula.
struct ToneTable {
  uint32_t first[257];           // first[b]: the smallest pattern that maps to b or above; first[256] stops the walk
  uint8_t bucket[0x7F80u + 1u];  // the byte of each bucket's first pattern, up to +infinity

  ToneTable() {
    const auto byteOf = [](uint32_t bits) { return render_detail::ToneMapFormula(std::bit_cast<float>(bits)); };
    first[0] = 0;
    first[256] = 0xFFFFFFFFu;
    for (int b = 1; b < 256; ++b) {
      uint32_t lo = first[b - 1], hi = 0x7F800000u;  // +infinity maps to 255
      while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (byteOf(mid) >= b) hi = mid;
        else lo = mid + 1;
      }
      first[b] = lo;
    }
    for (uint32_t k = 0; k <= 0x7F80u; ++k) bucket[k] = byteOf(k << 16);
  }
};

const ToneTable& Tones() {
  static const ToneTable table;
  return table;
}

uint8_t ToneFromTable(const ToneTable& t, float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  if (bits > 0x7F800000u) return t.bucket[0];  // below zero or not a number: as zero
  uint32_t b = t.bucket[bits >> 16];
  while (bits >= t.first[b + 1]) ++b;
  constexpr uint32_t kNear = 256;  // patterns; the rounding alternates within 43 of a threshold
  if (bits - t.first[b] < kNear || t.first[b + 1] - bits <= kNear) return render_detail::ToneMapFormula(v);
  return uint8_t(b);
}

}  // namespace

uint8_t ToneMapValue(float v) { return ToneFromTable(Tones(), v); }

void ToneMapToBytes(const float* image, int32_t width, int32_t height, uint8_t* bytes) {
  if (image == nullptr || bytes == nullptr || width <= 0 || height <= 0) return;
  const ToneTable& t = Tones();
  const size_t rowValues = size_t(width) * 3;
  [[maybe_unused]] const bool parallel = int64_t(width) * height >= kSerialPixelsBelow;
#pragma omp parallel for schedule(static) if (parallel)
  for (int32_t y = 0; y < height; ++y) {
    const size_t at = rowValues * size_t(y);
    for (size_t i = at; i < at + rowValues; ++i) bytes[i] = ToneFromTable(t, image[i]);
  }
}

}  // namespace tf
