// The point cloud the viewport shows for one frame: voxels picked by the display mode, thinned to
// the point budget, coloured by their shading or by temperature and jittered inside their cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "host/core/math.h"
#include "cache/cache_file.h"

namespace tf {

// Display modes of the `vpMode` setting.
enum ViewportMode : int { kVpFireSmoke = 0, kVpFire = 1, kVpSmoke = 2, kVpTemperature = 3, kVpBoxOnly = 4 };

struct PointSettings {
  int mode = kVpFireSmoke;
  int budget = 300000;  // points wanted; at least 1000 is used
  float fireTempScale = 1.0f;
  // A batch is closed once more points than this are waiting after a voxel.
  std::size_t splitAbove = 3999999;
};

// One point batch: positions in the domain's space and one 0xAARRGGBB colour per point.
struct PointBatchData {
  std::vector<host::Point3> positions;
  std::vector<uint32_t> colors;
};

// True when every stored channel covers the frame's crop exactly and its cells can be placed; the
// renderer and the point builder read a frame only then.
bool FrameFitsCrop(const CacheFrame& frame);

// The points of `frame`. `voxelColors` holds four floats (r, g, b, alpha) per crop voxel as
// ShadeVoxels gives them; modes 0 to 2 need it, temperature mode ignores it. No batches when the
// crop is empty, the mode shows no points, no voxel is kept, or the frame's channels, cell size or
// colours do not cover the crop.
std::vector<PointBatchData> BuildFramePoints(const CacheFrame& frame, const PointSettings& settings,
                                             std::span<const float> voxelColors);

}  // namespace tf
