#define TFR_BODY_SOURCE
#include "solver/fire_sim.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "solver/device_memory.h"
#include "solver/fire_sim_impl.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

namespace {
constexpr int kMaxLevels = 10;
constexpr int64_t kMaxElements = int64_t(1) << 31;  // indices are 32-bit signed
}  // namespace

std::vector<Int3> PyramidExtents(const GridDesc& grid) {
  std::vector<Int3> out;
  Int3 e{grid.nx, grid.ny, grid.nz};
  while (true) {
    out.push_back(e);
    if (e.x <= 8 || e.y <= 8 || e.z <= 8 || int(out.size()) >= kMaxLevels) break;
    e = Int3{(e.x + 1) / 2, (e.y + 1) / 2, (e.z + 1) / 2};
  }
  return out;
}

// ---- creation and release ---------------------------------------------------------------------

bool FireSim::Impl::allocate(float*& p, size_t count) {
  p = static_cast<float*>(DeviceAllocZeroed(exec(), count * sizeof(float)));
  if (!p) return false;
  stats.bytesAllocated += count * sizeof(float);
  return true;
}

bool FireSim::Impl::allocateBlock(float** const (&block)[4], size_t count) {
  float* base = nullptr;
  if (!allocate(base, 4 * count)) return false;
  for (int a = 0; a < 4; ++a) *block[a] = base + size_t(a) * count;
  return true;
}

void FireSim::Impl::freeArray(void*& p) {
  DeviceFree(exec(), p);
  p = nullptr;
}

bool FireSim::Impl::create(const GridDesc& g, const OpenSides& sides, bool wantGpu) {
  release();
  error[0] = '\0';
  if (g.nx < 4 || g.ny < 4 || g.nz < 4) {
    std::snprintf(error, sizeof error, "domain too small");
    return false;
  }
  grid = g;
  openSides = sides;
  openMask = 0;
  for (int s = 0; s < 6; ++s)
    if (sides[size_t(s)]) openMask |= 1 << s;
  if (openMask == 0) openMask = 32;  // the pressure problem always keeps one side at zero pressure

  // Linear indices are 32-bit: a grid whose largest array would reach 2^31 elements cannot be
  // indexed, so it is refused like any grid whose memory is not there.
  const int64_t nx = g.nx, ny = g.ny, nz = g.nz;
  const int64_t largest = std::max({(nx + 1) * ny * nz, nx * (ny + 1) * nz, nx * ny * (nz + 1)});
  if (largest >= kMaxElements) {
    std::snprintf(error, sizeof error, "out of memory for %dx%dx%d", g.nx, g.ny, g.nz);
    return false;
  }

#if TFR_DEVICE_PASS
  if (wantGpu) {
    int count = 0;
    cudaStream_t s = nullptr;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) {
      cudaGetLastError();
    } else if (cudaStreamCreate(&s) != cudaSuccess) {
      cudaGetLastError();
    } else {
      stream = s;
      useGpu = true;
      cudaMalloc(reinterpret_cast<void**>(&devSum), sizeof(double));
      cudaMalloc(reinterpret_cast<void**>(&devMax), sizeof(uint32_t));
      cudaMallocHost(reinterpret_cast<void**>(&hostSum), sizeof(double));
      cudaMallocHost(reinterpret_cast<void**>(&hostMax), sizeof(uint32_t));
    }
  }
#else
  (void)wantGpu;
#endif

  const size_t cells = size_t(cellCount());
  const size_t uCount = size_t((nx + 1) * ny * nz);
  const size_t vCount = size_t(nx * (ny + 1) * nz);
  const size_t wCount = size_t(nx * ny * (nz + 1));
  bool ok = true;
  ok &= allocate(u, uCount);
  ok &= allocate(uNext, uCount);
  ok &= allocate(v, vCount);
  ok &= allocate(vNext, vCount);
  ok &= allocate(w, wCount);
  ok &= allocate(wNext, wCount);
  for (float** a : {&density, &temperature, &fuel, &densityNext, &temperatureNext, &fuelNext, &dust,
                    &dustNext, &flame, &emitterMask, &targetDivergence, &pressure})
    ok &= allocate(*a, cells);
  ok &= allocateBlock({&scratch, &scratch2, &cellForceX, &cellForceY}, cells);
  ok &= allocateBlock({&cellForceZ, &divergence, &pcgSearch, &pcgProduct}, cells);

  solve = static_cast<SolveState*>(DeviceAllocZeroed(exec(), sizeof(SolveState)));
  ok &= solve != nullptr;
#if TFR_DEVICE_PASS
  if (useGpu && cudaMallocHost(reinterpret_cast<void**>(&solveHost), sizeof(SolveState)) != cudaSuccess) {
    cudaGetLastError();
    solveHost = nullptr;
    ok = false;
  }
#endif
  if (!useGpu) solveHost = solve;

  for (const Int3& e : PyramidExtents(grid)) {
    Level level;
    level.nx = e.x;
    level.ny = e.y;
    level.nz = e.z;
    const size_t n = size_t(e.x) * size_t(e.y) * size_t(e.z);
    ok &= allocate(level.x, n);
    ok &= allocate(level.b, n);
    ok &= allocate(level.r, n);
    level.solid = static_cast<uint8_t*>(DeviceAllocZeroed(exec(), n));
    if (level.solid)
      stats.bytesAllocated += n;
    else
      ok = false;
    levels.push_back(level);
  }

#if TFR_DEVICE_PASS
  if (useGpu) {
    cudaStreamSynchronize(static_cast<cudaStream_t>(stream));
    const cudaError_t e = cudaGetLastError();
    if (e != cudaSuccess) std::snprintf(error, sizeof error, "CUDA: %s", cudaGetErrorString(e));
  }
#endif
  if (ok && error[0] == '\0') {
    FindOpenRows();
    ready = true;
    return true;
  }
  if (error[0] == '\0') std::snprintf(error, sizeof error, "out of memory for %dx%dx%d", g.nx, g.ny, g.nz);
  char kept[sizeof error];
  std::memcpy(kept, error, sizeof error);
  release();
  std::memcpy(error, kept, sizeof error);
  return false;
}

void FireSim::Impl::release() {
  for (float** a : {&u, &uNext, &v, &vNext, &w, &wNext, &density, &temperature, &fuel, &densityNext,
                    &temperatureNext, &fuelNext, &dust, &dustNext, &flame, &emitterMask,
                    &targetDivergence, &pressure, &scratch, &cellForceZ, &extForceX, &extForceY,
                    &extForceZ, &quenchMask, &emitVelX, &emitVelY, &emitVelZ, &flammableMask,
                    &burnAge})
    freeArray(reinterpret_cast<void*&>(*a));
  // The rest of the two blocks went with their first arrays.
  scratch2 = cellForceX = cellForceY = divergence = pcgSearch = pcgProduct = nullptr;
  freeArray(reinterpret_cast<void*&>(sealed));
  hasSealed = false;
  for (int a = 0; a < 3; ++a) {
    solidLo[a] = 0;
    solidHi[a] = -1;
  }
  for (Level& level : levels) {
    freeArray(reinterpret_cast<void*&>(level.x));
    freeArray(reinterpret_cast<void*&>(level.b));
    freeArray(reinterpret_cast<void*&>(level.r));
    freeArray(reinterpret_cast<void*&>(level.solid));
  }
  levels.clear();
  // The recordings point at the arrays just freed.
  preconditioner.Reset();
  for (LaunchGraph& run : iterationRuns) run.Reset();
  lastIterations = 0;
  freeArray(reinterpret_cast<void*&>(solve));
#if TFR_DEVICE_PASS
  if (useGpu && solveHost != nullptr) cudaFreeHost(solveHost);
#endif
  solveHost = nullptr;
  hasExtForce = hasQuench = hasEmitVel = hasFlammable = false;
#if TFR_DEVICE_PASS
  if (useGpu) {
    cudaFree(devSum);
    cudaFree(devMax);
    cudaFreeHost(hostSum);
    cudaFreeHost(hostMax);
    cudaStreamDestroy(static_cast<cudaStream_t>(stream));
  }
#endif
  devSum = nullptr;
  devMax = nullptr;
  hostSum = nullptr;
  hostMax = nullptr;
  stream = nullptr;
  useGpu = false;
  ready = false;
  stats = SolverStats{};
}

// ---- public operations ------------------------------------------------------------------------

FireSim::FireSim() : impl(std::make_unique<Impl>()) {}

FireSim::~FireSim() { impl->release(); }

bool FireSim::Create(const GridDesc& grid, const OpenSides& openSides, bool useGpu) {
  return impl->create(grid, openSides, useGpu);
}

void FireSim::Release() { impl->release(); }

const char* FireSim::LastError() const { return impl->error; }

bool FireSim::UsesGpu() const { return impl->useGpu; }

GridDesc FireSim::Grid() const { return impl->grid; }

SolverStats FireSim::Stats() const { return impl->stats; }

}  // namespace tf
