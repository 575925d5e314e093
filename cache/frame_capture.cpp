// Frame capture and flow displacement. Host-side work on downloaded arrays: OpenMP loops over z
// slices, each thread keeping its own minima, maxima or sums and merging them once at the end.
// Every merge is a min, a max or a sum taken in slice order, so the result does not depend on the
// number of threads.
#include "cache/frame_capture.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "cache/half.h"
#include "device/device_math.h"
#include "device/sampling.h"
#include "solver/fire_sim.h"

namespace tf {

namespace {

// Channels whose values make a cell visible; fuel and velocity never widen the crop.
constexpr int kVisibleChannels[] = {kChannelDensity, kChannelTemperature, kChannelFlame, kChannelDust};
// Channels flow displacement moves; fuel and velocity stay where the solver left them.
constexpr int kDisplacedChannels[] = {kChannelDensity, kChannelTemperature, kChannelFlame, kChannelDust};

struct Box {
  int32_t lo[3] = {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max(),
                   std::numeric_limits<int32_t>::max()};
  int32_t hi[3] = {-1, -1, -1};
  bool empty() const { return hi[0] < 0; }
  void add(int32_t x, int32_t y, int32_t z) {
    lo[0] = std::min(lo[0], x), lo[1] = std::min(lo[1], y), lo[2] = std::min(lo[2], z);
    hi[0] = std::max(hi[0], x), hi[1] = std::max(hi[1], y), hi[2] = std::max(hi[2], z);
  }
  void merge(const Box& o) {
    if (o.empty()) return;
    add(o.lo[0], o.lo[1], o.lo[2]);
    add(o.hi[0], o.hi[1], o.hi[2]);
  }
};

// The box of cells where any present visible channel is strictly above `threshold`.
Box FindVisibleBox(const CaptureChannels& channels, int32_t nx, int32_t ny, int32_t nz, float threshold) {
  const float* visible[4] = {};
  int count = 0;
  for (int c : kVisibleChannels)
    if (!channels[c].empty()) visible[count++] = channels[c].data();

  Box box;
  if (count == 0) return box;
#pragma omp parallel
  {
    Box mine;
#pragma omp for schedule(static) nowait
    for (int32_t z = 0; z < nz; ++z) {
      for (int32_t y = 0; y < ny; ++y) {
        const size_t row = size_t(nx) * (size_t(y) + size_t(ny) * size_t(z));
        for (int32_t x = 0; x < nx; ++x) {
          for (int c = 0; c < count; ++c) {
            if (visible[c][row + size_t(x)] > threshold) {
              mine.add(x, y, z);
              break;
            }
          }
        }
      }
    }
#pragma omp critical(tfr_capture_box)
    box.merge(mine);
  }
  return box;
}

// Copies the crop box of a full-grid array into `out`, rounding every value through half
// precision, and returns the largest stored magnitude.
float CopyCrop(const float* src, int32_t nx, int32_t ny, const int32_t (&origin)[3], const int32_t (&size)[3],
               std::vector<float>& out) {
  const int32_t sx = size[0], sy = size[1], sz = size[2];
  out.assign(size_t(sx) * size_t(sy) * size_t(sz), 0.0f);
  float largest = 0.0f;
#pragma omp parallel
  {
    float mine = 0.0f;
#pragma omp for schedule(static) nowait
    for (int32_t z = 0; z < sz; ++z) {
      for (int32_t y = 0; y < sy; ++y) {
        const size_t from = size_t(origin[0]) + size_t(nx) * (size_t(origin[1] + y) + size_t(ny) * size_t(origin[2] + z));
        const size_t to = size_t(sx) * (size_t(y) + size_t(sy) * size_t(z));
        for (int32_t x = 0; x < sx; ++x) {
          const float v = RoundToHalf(src[from + size_t(x)]);
          out[to + size_t(x)] = v;
          mine = std::max(mine, std::fabs(v));  // a NaN never wins a comparison and is left out
        }
      }
    }
#pragma omp critical(tfr_capture_max)
    largest = std::max(largest, mine);
  }
  return largest;
}

float SignedNoise(float a, float b, float c) { return 2.0f * DetailNoise(a, b, c) - 1.0f; }

// Keeps a sample coordinate inside [0, hi]; NaN goes to 0.
float ClampSample(float v, float hi) {
  if (!(v >= 0.0f)) return 0.0f;
  return v > hi ? hi : v;
}

}  // namespace

bool BuildCacheFrame(CacheFrame& frame, int32_t nx, int32_t ny, int32_t nz, float cellSizeM, float cellSizeScene,
                     int32_t frameNumber, const CaptureChannels& channels, float threshold) {
  frame.Clear();
  if (nx <= 0 || ny <= 0 || nz <= 0) return false;
  const size_t cells = size_t(nx) * size_t(ny) * size_t(nz);
  for (const auto& channel : channels)
    if (!channel.empty() && channel.size() != cells) return false;

  CacheFrameHeader& h = frame.header;
  h.magic = kCacheMagic;
  h.version = kCacheVersion;
  h.nx = nx, h.ny = ny, h.nz = nz;
  h.cellSize = cellSizeM;
  h.cellSizeScene = cellSizeScene;
  h.frame = frameNumber;
  for (int c = 0; c < kCacheChannels; ++c)
    if (!channels[c].empty()) h.channelMask |= 1u << c;

  const Box box = FindVisibleBox(channels, nx, ny, nz, threshold);
  if (box.empty()) return true;  // nothing visible: crop 0, no channel data, mask kept

  // One cell of margin so the exported volume ends in empty cells, but never beyond the grid.
  const int32_t n[3] = {nx, ny, nz};
  int32_t origin[3], size[3];
  for (int a = 0; a < 3; ++a) {
    const int32_t lo = std::max(box.lo[a] - 1, 0);
    const int32_t hi = std::min(box.hi[a] + 1, n[a] - 1);
    origin[a] = lo;
    size[a] = hi - lo + 1;
    h.cropOrigin[a] = lo;
    h.cropSize[a] = size[a];
  }
  try {
    for (int c = 0; c < kCacheChannels; ++c) {
      if (channels[c].empty()) continue;
      h.channelMax[c] = CopyCrop(channels[c].data(), nx, ny, origin, size, frame.channels[c]);
    }
  } catch (const std::bad_alloc&) {
    frame.Clear();
    return false;
  }
  return true;
}

bool CaptureFrame(FireSim& sim, const DomainGrid& grid, CacheFrame& frame, int32_t frameNumber, bool withVelocity,
                  const Int3& window) {
  frame.Clear();
  if (grid.nx <= 0 || grid.ny <= 0 || grid.nz <= 0) return false;
  // The read-back fills arrays of the solver's own size, which must lie inside the grid.
  const GridDesc solverGrid = sim.Grid();
  const bool inside = window.x >= 0 && window.y >= 0 && window.z >= 0 && window.x + solverGrid.nx <= grid.nx &&
                      window.y + solverGrid.ny <= grid.ny && window.z + solverGrid.nz <= grid.nz;
  if (!inside || solverGrid.nx <= 0 || solverGrid.ny <= 0 || solverGrid.nz <= 0) return false;
  const size_t cells = size_t(solverGrid.nx) * size_t(solverGrid.ny) * size_t(solverGrid.nz);
  try {
    // Host copies live only for this call: a large grid must not keep gigabytes between frames.
    std::array<std::vector<float>, kCacheChannels> host;
    auto fetch = [&](int channel, FieldId id) {
      host[channel].resize(cells);
      return sim.CopyField(id, host[channel].data());
    };
    // Channel order: density, temperature, flame, fuel (the solver's field ids 0, 1, 3, 2).
    bool ok = fetch(kChannelDensity, FieldId::Density) && fetch(kChannelTemperature, FieldId::Temperature) &&
              fetch(kChannelFlame, FieldId::Flame) && fetch(kChannelFuel, FieldId::Fuel);
    if (ok && withVelocity)
      ok = fetch(kChannelVelX, FieldId::VelX) && fetch(kChannelVelY, FieldId::VelY) && fetch(kChannelVelZ, FieldId::VelZ);
    if (ok && sim.Total(FieldId::Dust) > 0.0) ok = fetch(kChannelDust, FieldId::Dust);
    if (!ok) {
      frame.Clear();
      return false;
    }
    CaptureChannels views;
    for (int c = 0; c < kCacheChannels; ++c) views[c] = host[c];
    if (!BuildCacheFrame(frame, solverGrid.nx, solverGrid.ny, solverGrid.nz, grid.cellSizeM, grid.cellSize,
                         frameNumber, views, kCaptureThreshold))
      return false;
    // Stored against the whole grid: the crop moves to where the window lies in it.
    CacheFrameHeader& h = frame.header;
    h.nx = grid.nx;
    h.ny = grid.ny;
    h.nz = grid.nz;
    if (h.cropSize[0] > 0 && h.cropSize[1] > 0 && h.cropSize[2] > 0) {
      h.cropOrigin[0] += window.x;
      h.cropOrigin[1] += window.y;
      h.cropOrigin[2] += window.z;
    }
  } catch (const std::bad_alloc&) {
    frame.Clear();
    return false;
  }
  const SolverStats stats = sim.Stats();
  frame.header.stepMs = stats.stepMs;
  frame.header.pressureIterations = stats.iterations;
  frame.header.maxDivergence = stats.maxDivergence;
  return true;
}

namespace {

size_t CropIndex(const CacheFrameHeader& h, int32_t x, int32_t y, int32_t z) {
  return size_t(x) + size_t(h.cropSize[0]) * (size_t(y) + size_t(h.cropSize[1]) * size_t(z));
}

// |curl v| per cell of the crop into `curl` (central differences inside, one-sided at the crop's
// faces); returns its mean over the cells with smoke (1 when there are none).
float CurlMagnitudes(const CacheFrame& frame, float cell, std::vector<float>& curl) {
  const CacheFrameHeader& h = frame.header;
  const int32_t sx = h.cropSize[0], sy = h.cropSize[1], sz = h.cropSize[2];
  const float* vx = frame.channels[kChannelVelX].data();
  const float* vy = frame.channels[kChannelVelY].data();
  const float* vz = frame.channels[kChannelVelZ].data();
  const float* density = frame.channels[kChannelDensity].data();
  auto index = [&](int32_t x, int32_t y, int32_t z) { return CropIndex(h, x, y, z); };
  curl.assign(CacheCropValues(h), 0.0f);
  std::vector<double> sliceSum(size_t(sz), 0.0);
  std::vector<int64_t> sliceCount(size_t(sz), 0);
#pragma omp parallel for schedule(static)
  for (int32_t z = 0; z < sz; ++z) {
    const int32_t z0 = std::max(z - 1, 0), z1 = std::min(z + 1, sz - 1);
    const float dz = cell * float(z1 - z0 < 2 ? 1 : z1 - z0);
    double sum = 0.0;
    int64_t count = 0;
    for (int32_t y = 0; y < sy; ++y) {
      const int32_t y0 = std::max(y - 1, 0), y1 = std::min(y + 1, sy - 1);
      const float dy = cell * float(y1 - y0 < 2 ? 1 : y1 - y0);
      for (int32_t x = 0; x < sx; ++x) {
        const int32_t x0 = std::max(x - 1, 0), x1 = std::min(x + 1, sx - 1);
        const float dx = cell * float(x1 - x0 < 2 ? 1 : x1 - x0);
        const float dvzdy = (vz[index(x, y1, z)] - vz[index(x, y0, z)]) / dy;
        const float dvydz = (vy[index(x, y, z1)] - vy[index(x, y, z0)]) / dz;
        const float dvxdz = (vx[index(x, y, z1)] - vx[index(x, y, z0)]) / dz;
        const float dvzdx = (vz[index(x1, y, z)] - vz[index(x0, y, z)]) / dx;
        const float dvydx = (vy[index(x1, y, z)] - vy[index(x0, y, z)]) / dx;
        const float dvxdy = (vx[index(x, y1, z)] - vx[index(x, y0, z)]) / dy;
        const float cx = dvzdy - dvydz, cy = dvxdz - dvzdx, cz = dvydx - dvxdy;
        const size_t i = index(x, y, z);
        curl[i] = std::sqrt(cx * cx + cy * cy + cz * cz);
        if (density[i] > 0.001f) {
          sum += double(curl[i]);
          ++count;
        }
      }
    }
    sliceSum[size_t(z)] = sum;
    sliceCount[size_t(z)] = count;
  }
  double sum = 0.0;
  int64_t count = 0;
  for (int32_t z = 0; z < sz; ++z) sum += sliceSum[size_t(z)], count += sliceCount[size_t(z)];
  return count > 0 ? float(sum / double(count)) : 1.0f;
}

// Two noise layers, half a 0.6 s period apart, carried back along the flow; each fades to nothing
// as its phase wraps, so the jump back to the unadvected noise is never seen.
struct FlowNoise {
  float phase[2], weight[2];
  float offset[2] = {0.0f, 31.7f};
  float size;

  FlowNoise(float timeSeconds, float sizeCells) : size(std::max(sizeCells, 1.0f)) {
    const double c = double(timeSeconds) / 0.6;
    phase[0] = float(c - std::floor(c));
    phase[1] = float((c + 0.5) - std::floor(c + 0.5));
    weight[0] = 1.0f - std::fabs(2.0f * phase[0] - 1.0f);
    weight[1] = 1.0f - weight[0];
  }

  // The offset in cells (before scaling) at cell (x, y, z) moving at `vel` cells per second.
  void At(int32_t x, int32_t y, int32_t z, const float (&vel)[3], float& dx, float& dy, float& dz) const {
    dx = dy = dz = 0.0f;
    for (int l = 0; l < 2; ++l) {
      const float back = phase[l] * 0.6f;
      const float qx = float(x) - back * vel[0], qy = float(y) - back * vel[1], qz = float(z) - back * vel[2];
      const float s1x = qx / size, s1y = qy / size, s1z = qz / size;
      const float s2x = qx * 2.3f / size, s2y = qy * 2.3f / size, s2z = qz * 2.3f / size;
      const float off = offset[l], w = weight[l];
      dx += w * (SignedNoise(s1x + off, s1y, s1z) + 0.45f * SignedNoise(s2x + off, s2y, s2z));
      dy += w * (SignedNoise(s1x, s1y + off + 17.1f, s1z) + 0.45f * SignedNoise(s2x, s2y + off + 17.1f, s2z));
      dz += w * (SignedNoise(s1x + 41.3f, s1y, s1z + off) + 0.45f * SignedNoise(s2x + 41.3f, s2y, s2z + off));
    }
  }
};

bool DisplaceFrame(CacheFrame& frame, float amount, float sizeCells, float timeSeconds) {
  if (!(amount > 0.0f)) return false;
  const CacheFrameHeader& h = frame.header;
  const uint64_t n = CacheCropValues(h);
  auto holds = [&](int c) { return !frame.channels[c].empty() && frame.channels[c].size() == n; };
  if (n == 0 || !holds(kChannelDensity) || !holds(kChannelVelX) || !holds(kChannelVelY) || !holds(kChannelVelZ))
    return false;
  for (int c : kDisplacedChannels)
    if (!frame.channels[c].empty() && !holds(c)) return false;

  const int32_t sx = h.cropSize[0], sy = h.cropSize[1], sz = h.cropSize[2];
  const float cell = h.cellSize > 1e-6f ? h.cellSize : 1e-6f;
  std::vector<float> curl;
  const float mean = CurlMagnitudes(frame, cell, curl);
  const FlowNoise noise(timeSeconds, sizeCells);
  const float amplitude = amount * 0.5f * noise.size;
  const float hiX = std::max(float(sx) - 1.001f, 0.0f), hiY = std::max(float(sy) - 1.001f, 0.0f),
              hiZ = std::max(float(sz) - 1.001f, 0.0f);

  // Results go to copies; sampling always reads the channels as captured.
  std::vector<int> moved;
  std::vector<std::vector<float>> result;
  for (int ch : kDisplacedChannels) {
    if (frame.channels[ch].empty()) continue;
    moved.push_back(ch);
    result.push_back(frame.channels[ch]);
  }
  const float* v[3] = {frame.channels[kChannelVelX].data(), frame.channels[kChannelVelY].data(),
                       frame.channels[kChannelVelZ].data()};
#pragma omp parallel for schedule(dynamic, 2)
  for (int32_t z = 0; z < sz; ++z) {
    for (int32_t y = 0; y < sy; ++y) {
      for (int32_t x = 0; x < sx; ++x) {
        const size_t i = CropIndex(h, x, y, z);
        const float f = curl[i] > 0.0f ? curl[i] / (curl[i] + mean) : 0.0f;
        if (!(f >= 0.02f)) continue;  // calm (or non-finite) cells keep their values
        const float vel[3] = {v[0][i] / cell, v[1][i] / cell, v[2][i] / cell};
        float dx, dy, dz;
        noise.At(x, y, z, vel, dx, dy, dz);
        const float r = f * amplitude;
        const float px = ClampSample(float(x) + dx * r, hiX);
        const float py = ClampSample(float(y) + dy * r, hiY);
        const float pz = ClampSample(float(z) + dz * r, hiZ);
        for (size_t m = 0; m < moved.size(); ++m) {
          const float value = SampleClamped(frame.channels[moved[m]].data(), sx, sy, sz, px, py, pz);
          result[m][i] = value > 0.0f ? value : 0.0f;
        }
      }
    }
  }
  for (size_t m = 0; m < moved.size(); ++m) frame.channels[moved[m]] = std::move(result[m]);
  return true;
}

}  // namespace

bool ApplyFlowDisplacement(CacheFrame& frame, float amount, float sizeCells, float timeSeconds) {
  try {
    return DisplaceFrame(frame, amount, sizeCells, timeSeconds);
  } catch (const std::bad_alloc&) {
    return false;  // the channels are replaced only at the very end, so the frame is as it was
  }
}

}  // namespace tf
