// Occupancy bricks: the frame cut into 8^3-cell bricks, each summarised by how much a sample near
// it can add to an image. The accelerated ray-march and the shadow pass step over bricks that add
// nothing (or less than a per-ray budget of optical depth), so empty air around a plume costs one
// box exit per brick instead of a full sample every half cell.
//
// Per brick (index bx + nbx * (by + nby * bz)):
//   march  the optical depth one half-cell march sample can have anywhere its lookups reach from
//          inside the brick (the detail noise's displacement and the trilinear stencil included);
//          +infinity when a temperature there can emit light or a value is not a number;
//   light  the optical depth of one whole-cell shadow step, stencil included, no noise;
//   shadow 1 where the march may read the shadow grid, 0 where every march sample that could read
//          it steps over (the shadow pass leaves those voxels fully lit);
//   glow   1 where a march sample may read glow that is not zero, 0 where all it can read is 0
//          (the march then leaves the glow out).
// The arrays are filled on the CPU before either device runs; the bodies only read them.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/device.h"
#include "render/render.h"

namespace tf {

inline constexpr int32_t kBrickCells = 8;

// Optical depth a whole ray may lose to skipped samples of smoke too thin to show, weighted by the
// transmittance in front of them. A pixel changes by at most this times the larger of the skipped
// smoke's light and the radiance behind it; on plumes that stays below a tenth of the tolerance
// devices are held to (2e-3 + 1e-3 x value).
inline constexpr float kSkipBudget = 2e-3f;

namespace render_detail {

// The bricks as they travel into a kernel; null arrays mean "march everything".
struct BrickView {
  const float* march = nullptr;
  const float* light = nullptr;
  const uint8_t* shadow = nullptr;
  const uint8_t* glow = nullptr;
  int32_t bx = 0, by = 0, bz = 0;
};

// The brick holding grid point p (cell units), clamped into the brick grid.
TFR_HD inline int32_t BrickOf(float v, int32_t count) {
  int32_t b = v > 0.0f ? int32_t(v * (1.0f / float(kBrickCells))) : 0;
  return b < count ? b : count - 1;
}

TFR_HD inline size_t BrickIndex(const BrickView& b, int32_t x, int32_t y, int32_t z) {
  return size_t(x) + size_t(b.bx) * (size_t(y) + size_t(b.by) * size_t(z));
}

TFR_HD inline void Nearer(float& t, float v) { t = v < t ? v : t; }

// How far along `d` (in units of d's length) the point p leaves the box of brick (x, y, z).
TFR_HD inline float BrickExit(int32_t x, int32_t y, int32_t z, float px, float py, float pz, float dx, float dy,
                              float dz) {
  const float s = float(kBrickCells);
  float t = 1e30f;
  if (dx > 0.0f) Nearer(t, (float(x + 1) * s - px) / dx);
  if (dx < 0.0f) Nearer(t, (float(x) * s - px) / dx);
  if (dy > 0.0f) Nearer(t, (float(y + 1) * s - py) / dy);
  if (dy < 0.0f) Nearer(t, (float(y) * s - py) / dy);
  if (dz > 0.0f) Nearer(t, (float(z + 1) * s - pz) / dz);
  if (dz < 0.0f) Nearer(t, (float(z) * s - pz) / dz);
  return t;
}

// Whether the samples p + i * step * d (d a unit direction) that lie in p's brick may be skipped,
// and how many there are (`steps`, at least 1, ending with the first sample past the brick's far
// face). `perStepTau` holds each brick's optical depth per sample; skipping a brick that has some
// spends from the ray's budget (`spent`) in proportion to the transmittance `weight` in front of
// it (what is lost behind dense smoke shows less), and a brick the budget cannot cover is sampled.
TFR_HD inline bool SkipBrick(const float* perStepTau, const BrickView& b, float px, float py, float pz, float dx,
                             float dy, float dz, float step, float weight, float& spent, int32_t& steps) {
  const int32_t x = BrickOf(px, b.bx), y = BrickOf(py, b.by), z = BrickOf(pz, b.bz);
  const float exit = BrickExit(x, y, z, px, py, pz, dx, dy, dz);
  const float c = ceilf(exit / step);
  const float n = c > 1.0f ? c : 1.0f;
  steps = n < 65536.0f ? int32_t(n) : 65536;
  const float tau = perStepTau[BrickIndex(b, x, y, z)];
  if (tau == 0.0f) return true;
  const float cost = tau * float(steps) * weight;
  if (!(spent + cost <= kSkipBudget)) return false;
  spent += cost;
  return true;
}

}  // namespace render_detail

// The bricks of one render, owned on the host.
struct OccupancyBricks {
  int32_t bx = 0, by = 0, bz = 0;
  std::vector<float> march, light;
  std::vector<uint8_t> shadow, glow;
  render_detail::BrickView View() const {
    return render_detail::BrickView{march.data(), light.data(), shadow.data(), glow.data(), bx, by, bz};
  }
};

// The bricks of `volume` under the shading of `ctx` (its density scale, fire temperature scale and
// detail noise decide what a brick can add).
OccupancyBricks MakeOccupancyBricks(const RenderVolume& volume, const ShadingContext& ctx);

// RenderPreview without bricks: every half-cell sample taken and every voxel's shadow traced to
// the volume's edge. The accelerated march is measured and checked against it.
bool RenderPreviewReference(const RenderVolume& volume, const RenderCamera& camera, const RenderSettings& settings,
                            float* image, bool& usedGpu, char* message, size_t messageSize,
                            float* milliseconds = nullptr, int64_t* marchedSamples = nullptr);

}  // namespace tf
