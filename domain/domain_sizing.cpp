#include "domain/domain_sizing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>

#include "device/gpu_memory.h"
#include "domain/fire_params_desc.h"
#include "host/core/platform.h"
#include "host/core/text.h"

namespace tf {

using host::Format;

namespace {

// Device memory per cell while simulating (the solver's arrays), for the panel's estimate.
constexpr double kDeviceBytesPerCell = 106.0;
// Budgets used when choosing a resolution: generous per-cell sizes and a share of the free memory,
// leaving room for the display, the cache and the rest of the scene.
constexpr double kHostBytesPerCell = 100.0;
constexpr double kGpuBytesPerCell = 160.0;
constexpr double kHostShare = 0.6;
constexpr double kGpuShare = 0.85;
constexpr uint64_t kMemoryFiguresLifeMs = 3000;

struct MemoryCache {
  std::mutex mutex;
  MemorySources sources;
  std::optional<uint64_t> stamp;
  MemoryFigures figures;
};

MemoryCache& Cache() {
  static MemoryCache cache;
  return cache;
}

MemorySources WithRealSources(MemorySources s) {
  if (!s.clockMs) s.clockMs = [] { return host::MillisecondsSinceStart(); };
  if (!s.gpuFreeBytes) s.gpuFreeBytes = [] { return uint64_t(GpuFreeMemory()); };
  if (!s.hostAvailableBytes) s.hostAvailableBytes = [] { return host::AvailablePhysicalMemory(); };
  return s;
}

// Cells along one axis: the extent over the cell size, rounded with halves away from zero, and
// never fewer than 4 so that the solver always accepts the grid.
int32_t CellsAlong(float extent, float cellSize) {
  const float q = std::min(extent / cellSize, 1e9f);
  return std::max(int32_t(std::lround(q)), int32_t(4));
}

}  // namespace

DomainBox GetDomainBox(const host::ParamBlock& block, host::TimeValue t) {
  const float sx = block.GetFloat(kSizeX, t).value_or(200.0f);
  const float sy = block.GetFloat(kSizeY, t).value_or(200.0f);
  const float sz = block.GetFloat(kSizeZ, t).value_or(300.0f);
  return {{-sx / 2, -sy / 2, 0.0f}, {sx / 2, sy / 2, sz}};
}

MemoryFigures CurrentMemoryFigures() {
  MemoryCache& c = Cache();
  std::lock_guard lock(c.mutex);
  if (!c.sources.clockMs) c.sources = WithRealSources({});
  const uint64_t now = c.sources.clockMs();
  // Unsigned difference: a clock that went back counts as long ago.
  if (c.stamp && now - *c.stamp <= kMemoryFiguresLifeMs) return c.figures;
  c.stamp = now;
  c.figures.gpuFreeBytes = c.sources.gpuFreeBytes();
  c.figures.hostAvailableBytes = c.sources.hostAvailableBytes();
  return c.figures;
}

void SetMemorySources(MemorySources sources) {
  MemoryCache& c = Cache();
  std::lock_guard lock(c.mutex);
  c.sources = WithRealSources(std::move(sources));
  c.stamp.reset();
  c.figures = {};
}

int AutoResolution(const host::Point3& extents) {
  const MemoryFigures m = CurrentMemoryFigures();
  const double ex = extents.x, ey = extents.y, ez = extents.z;
  const double longest = std::max({ex, ey, ez});
  // The box's volume relative to its bounding cube; a very thin box would otherwise ask for an
  // endless number of cells. Written so that a degenerate box (NaN) also takes the floor.
  const double fill = (ex / longest) * (ey / longest) * (ez / longest);
  const double boundedFill = fill >= 0.001 ? fill : 0.001;

  const double hostBudget = double(m.hostAvailableBytes) * kHostShare;
  const double gpuBudget = m.gpuFreeBytes != 0 ? double(m.gpuFreeBytes) * kGpuShare : hostBudget;
  const double cells = std::min(hostBudget / kHostBytesPerCell, gpuBudget / kGpuBytesPerCell) / boundedFill;
  // Clamped before the conversion, so that no figure can overflow the integer.
  return int(std::clamp(std::floor(std::cbrt(cells)), 32.0, 4096.0));
}

DomainGrid SizeDomainGrid(const host::ParamBlock& block, host::TimeValue t, int resolutionOverride,
                          double metresPerUnit) {
  const host::Point3 e = GetDomainBox(block, t).Extents();
  const float longest = std::max({e.x, e.y, e.z});

  int n = resolutionOverride >= 1 ? resolutionOverride : block.GetInt(kResolution, t).value_or(128);
  if (n < 1) n = AutoResolution(e);

  DomainGrid g;
  g.cellSize = std::max(longest / float(std::max(n, 8)), 1e-6f);
  g.nx = CellsAlong(e.x, g.cellSize);
  g.ny = CellsAlong(e.y, g.cellSize);
  g.nz = CellsAlong(e.z, g.cellSize);
  g.cellSizeM = float(double(g.cellSize) * metresPerUnit);
  g.originX = float(g.nx) * -0.5f * g.cellSize;
  g.originY = float(g.ny) * -0.5f * g.cellSize;
  g.originZ = 0.0f;
  return g;
}

std::vector<std::string> MemoryEstimateLines(const DomainGrid& grid, int cachedFrames, const CellBox& window) {
  const Int3 w = window.Size();
  const bool windowed = !window.Empty();
  const uint64_t cells = windowed ? uint64_t(w.x) * uint64_t(w.y) * uint64_t(w.z)
                                  : uint64_t(grid.nx) * uint64_t(grid.ny) * uint64_t(grid.nz);
  const double millions = double(cells) / 1e6;
  const double megabytes = double(cells) * kDeviceBytesPerCell / 1048576.0;
  const double cellCm = double(grid.cellSizeM) * 100.0;
  return {
      windowed ? Format("Grid %d x %d x %d, window %d x %d x %d = %.2f M cells, ~%.0f MB on the GPU.", grid.nx,
                        grid.ny, grid.nz, w.x, w.y, w.z, millions, megabytes)
               : Format("Grid %d x %d x %d = %.2f M cells, ~%.0f MB on the GPU.", grid.nx, grid.ny, grid.nz, millions,
                        megabytes),
      Format("Cell %.3g scene units (%.3g cm).", double(grid.cellSize), cellCm),
      Format("Cached frames: %d", cachedFrames),
  };
}

}  // namespace tf
