// Domain sizing: the box of a domain, the solver grid that fills it, the resolution chosen from
// free memory, and the status panel's estimate of what the grid costs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "domain/adaptive_window.h"
#include "domain/domain_grid.h"
#include "host/core/math.h"
#include "host/scene/param_block.h"

namespace tf {

// The domain's box in the object space of its node, scene units. It stands on the pivot and is
// centred on it in x and y: min = (-sizeX / 2, -sizeY / 2, 0), max = (sizeX / 2, sizeY / 2, sizeZ).
struct DomainBox {
  host::Point3 min, max;
  host::Point3 Extents() const { return max - min; }
};

// The box from `sizeX`, `sizeY` and `sizeZ` at time t.
DomainBox GetDomainBox(const host::ParamBlock& block, host::TimeValue t);

// The solver grid of the domain at time t. An override of 1 or more replaces the `resolution`
// setting (cells on the longest side); 0 lets the setting decide, and a resolution below 1 is
// chosen from free memory (AutoResolution). `metresPerUnit` is the scene's unit scale.
DomainGrid SizeDomainGrid(const host::ParamBlock& block, host::TimeValue t, int resolutionOverride,
                          double metresPerUnit);

// Cells on the longest side of a box with these extents: the largest cube count whose memory fits
// both the GPU (160 bytes a cell, 85% of its free memory) and the host (100 bytes a cell, 60% of
// its available memory), scaled up for boxes smaller than their bounding cube. Between 32 and 4096.
int AutoResolution(const host::Point3& extents);

// Where the memory figures come from. The figures are read at most once every three seconds and
// kept process-wide, since a query of the GPU is slow and the panel sizes the grid on every redraw.
struct MemorySources {
  std::function<uint64_t()> clockMs;             // host::MillisecondsSinceStart
  std::function<uint64_t()> gpuFreeBytes;        // GpuFreeMemory
  std::function<uint64_t()> hostAvailableBytes;  // host::AvailablePhysicalMemory
};
struct MemoryFigures {
  uint64_t gpuFreeBytes = 0;
  uint64_t hostAvailableBytes = 0;
};
// The figures, fresh when none are kept or the kept ones are more than 3000 ms old.
MemoryFigures CurrentMemoryFigures();
// Replaces the sources (empty members fall back to the real ones) and forgets the kept figures.
void SetMemorySources(MemorySources sources);

// The status panel's estimate for a grid: its size, cell count and device memory, the cell size,
// and the number of frames in the cache. With an adaptive run's window (in cells of the grid), the
// cells and memory are the window's, which is what the solver holds.
std::vector<std::string> MemoryEstimateLines(const DomainGrid& grid, int cachedFrames, const CellBox& window = {});

}  // namespace tf
