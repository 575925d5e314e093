#include "viewport/frame_points.h"

#include <algorithm>
#include <cmath>

#include "render/render.h"

namespace tf {

namespace {

constexpr float kMinAlpha = 0.015f;

// Into 0..1; NaN becomes 0.
float Clamp01(float v) { return v > 0.0f ? std::min(v, 1.0f) : 0.0f; }

// 0..1 to a byte, truncating.
uint8_t UnitToByte(float v) { return uint8_t(Clamp01(v) * 255.0f); }

uint32_t Argb(uint8_t r, uint8_t g, uint8_t b) {
  return 0xFF000000u | (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
}

bool Kept(int mode, float density, float tau, float alpha) {
  switch (mode) {
    case kVpFireSmoke: return alpha > kMinAlpha;
    case kVpFire: return alpha > kMinAlpha && tau > 0.3f;
    case kVpSmoke: return alpha > kMinAlpha && density > 0.001f && tau < 0.6f;
    case kVpTemperature: return tau > 0.02f;
    default: return false;
  }
}

}  // namespace

bool FrameFitsCrop(const CacheFrame& frame) {
  const uint64_t voxels = CacheCropValues(frame.header);
  for (const auto& channel : frame.channels)
    if (!channel.empty() && channel.size() != voxels) return false;
  const float h = frame.header.cellSizeScene;
  return h > 0.0f && std::isfinite(h);
}

std::vector<PointBatchData> BuildFramePoints(const CacheFrame& frame, const PointSettings& settings,
                                             std::span<const float> voxelColors) {
  std::vector<PointBatchData> batches;
  const CacheFrameHeader& hd = frame.header;
  const std::size_t n = std::size_t(CacheCropValues(hd));
  const int mode = settings.mode;
  if (n == 0 || mode < kVpFireSmoke || mode > kVpTemperature || !FrameFitsCrop(frame)) return batches;
  const bool shaded = mode != kVpTemperature;
  if (shaded && voxelColors.size() != 4 * n) return batches;

  const std::vector<float>& density = frame.channels[kChannelDensity];
  const std::vector<float>& temperature = frame.channels[kChannelTemperature];
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < n; ++i) {
    const float tau = temperature.empty() ? 0.0f : temperature[i] * settings.fireTempScale;
    const float rho = density.empty() ? 0.0f : density[i];
    const float alpha = shaded ? voxelColors[4 * i + 3] : 0.0f;
    if (Kept(mode, rho, tau, alpha)) kept.push_back(i);
  }
  if (kept.empty()) return batches;

  const std::size_t budget = std::size_t(std::max(1000, settings.budget));
  const std::size_t count = kept.size();
  const std::size_t perVoxel = std::min<std::size_t>(8, std::max<std::size_t>(1, budget / count));
  const std::size_t stride = budget >= count ? 1 : (budget + count - 1) / budget;
  const float maxTemp = std::max(hd.channelMax[kChannelTemperature], 0.001f);

  const float h = hd.cellSizeScene;
  const float shiftX = float(hd.nx) * h / 2.0f, shiftY = float(hd.ny) * h / 2.0f;
  const std::size_t sx = std::size_t(hd.cropSize[0]), sy = std::size_t(hd.cropSize[1]);
  uint32_t seed = uint32_t(hd.frame) ^ 0x9E3779B9u;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return float(seed >> 8) / 16777216.0f;
  };

  PointBatchData pending;
  for (std::size_t k = 0; k < count; k += stride) {
    const std::size_t i = kept[k];
    uint32_t color;
    if (shaded) {
      color = Argb(ToneMapValue(voxelColors[4 * i]), ToneMapValue(voxelColors[4 * i + 1]),
                   ToneMapValue(voxelColors[4 * i + 2]));
    } else {
      const float e = Clamp01(temperature[i] / maxTemp);
      color = Argb(UnitToByte(e), UnitToByte((1.0f - e) * 0.2f), UnitToByte(1.0f - e));
    }
    const float x = float(hd.cropOrigin[0]) + float(i % sx);
    const float y = float(hd.cropOrigin[1]) + float(i / sx % sy);
    const float z = float(hd.cropOrigin[2]) + float(i / (sx * sy));
    for (std::size_t p = 0; p < perVoxel; ++p) {
      float ox = 0.5f, oy = 0.5f, oz = 0.5f;
      if (perVoxel > 1) {
        ox = next();
        oy = next();
        oz = next();
      }
      pending.positions.emplace_back((x + ox) * h - shiftX, (y + oy) * h - shiftY, (z + oz) * h);
      pending.colors.push_back(color);
    }
    if (pending.positions.size() > settings.splitAbove) batches.push_back(std::move(pending)), pending = {};
  }
  if (!pending.positions.empty()) batches.push_back(std::move(pending));
  return batches;
}

}  // namespace tf
