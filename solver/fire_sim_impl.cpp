// The solver's state: its arrays and pressure pyramid allocated, resized and released, and FireSim
// handing its calls to it.
#define TFR_BODY_SOURCE
#include "solver/fire_sim_impl.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "device/device_memory.h"

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

void FireSim::Impl::freeArray(void*& p) {
  DeviceFree(exec(), p);
  p = nullptr;
}

namespace {

using I = FireSim::Impl;
constexpr ArraySlot kArrayTable[] = {
    {&I::u, ArrayShape::FaceX, 0, 0, 1, &I::uNext},
    {&I::uNext, ArrayShape::FaceX, 0, 0, 0, nullptr},
    {&I::v, ArrayShape::FaceY, 0, 0, 2, &I::vNext},
    {&I::vNext, ArrayShape::FaceY, 0, 0, 0, nullptr},
    {&I::w, ArrayShape::FaceZ, 0, 0, 3, &I::wNext},
    {&I::wNext, ArrayShape::FaceZ, 0, 0, 0, nullptr},
    {&I::density, ArrayShape::Cells, 0, 0, 4, nullptr},
    {&I::temperature, ArrayShape::Cells, 0, 0, 5, nullptr},
    {&I::fuel, ArrayShape::Cells, 0, 0, 6, nullptr},
    {&I::densityNext, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::temperatureNext, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::fuelNext, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::dust, ArrayShape::Cells, 0, 0, 7, nullptr},
    {&I::dustNext, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::flame, ArrayShape::Cells, 0, 0, 8, nullptr},
    {&I::emitterMask, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::targetDivergence, ArrayShape::Cells, 0, 0, 0, nullptr},
    {&I::pressure, ArrayShape::Cells, 0, 0, 9, nullptr},
    {&I::scratch, ArrayShape::Cells, 1, 0, 0, nullptr},
    {&I::scratch2, ArrayShape::Cells, 1, 1, 0, nullptr},
    {&I::cellForceX, ArrayShape::Cells, 1, 2, 0, nullptr},
    {&I::cellForceY, ArrayShape::Cells, 1, 3, 0, nullptr},
    {&I::cellForceZ, ArrayShape::Cells, 2, 0, 0, nullptr},
    {&I::divergence, ArrayShape::Cells, 2, 1, 0, nullptr},
    {&I::pcgSearch, ArrayShape::Cells, 2, 2, 0, nullptr},
    {&I::pcgProduct, ArrayShape::Cells, 2, 3, 0, nullptr},
    {&I::extForceX, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::extForceY, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::extForceZ, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::quenchMask, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::emitVelX, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::emitVelY, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::emitVelZ, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::flammableMask, ArrayShape::Cells, kOptionalArray, 0, 0, nullptr},
    {&I::burnAge, ArrayShape::Cells, kOptionalArray, 0, 10, nullptr},
};

// Frees the arrays of `slots` in `s` (a block with its first member) and nulls every pointer.
void FreeArrays(FireSim::Impl& s) {
  for (const ArraySlot& a : kArrayTable) {
    float*& p = s.*a.member;
    if (a.inBlock == 0) s.freeArray(reinterpret_cast<void*&>(p));
    p = nullptr;  // the rest of a block went with its first member
  }
}

// dst (extents dn) = src (extents sn) moved by `offset`: dst(x, y, z) = src(x + ox, ...) where
// that lies inside src, else 0.
void MoveArray(const Exec& ex, float* dst, Dims dn, const float* src, Dims sn, Int3 offset) {
  kFor3(ex, "resize: move", dn.nx, dn.ny, dn.nz, [=] TFR_HD(int x, int y, int z) {
    const int sx = x + offset.x, sy = y + offset.y, sz = z + offset.z;
    const bool inside = sx >= 0 && sx < sn.nx && sy >= 0 && sy < sn.ny && sz >= 0 && sz < sn.nz;
    dst[dn.cell(x, y, z)] = inside ? src[sn.cell(sx, sy, sz)] : 0.0f;
  });
}

bool FitsIndices(const GridDesc& g) {
  // Linear indices are 32-bit: a grid whose largest array would reach 2^31 elements cannot be
  // indexed, so it is refused like any grid whose memory is not there.
  const int64_t nx = g.nx, ny = g.ny, nz = g.nz;
  return std::max({(nx + 1) * ny * nz, nx * (ny + 1) * nz, nx * ny * (nz + 1)}) < kMaxElements;
}

}  // namespace

std::span<const ArraySlot> SolverArrays() { return kArrayTable; }

size_t FireSim::Impl::ElementCount(const GridDesc& g, ArrayShape shape) {
  const size_t nx = size_t(g.nx), ny = size_t(g.ny), nz = size_t(g.nz);
  switch (shape) {
    case ArrayShape::FaceX: return (nx + 1) * ny * nz;
    case ArrayShape::FaceY: return nx * (ny + 1) * nz;
    case ArrayShape::FaceZ: return nx * ny * (nz + 1);
    default: return nx * ny * nz;
  }
}

Dims FireSim::Impl::ShapeDims(const GridDesc& g, ArrayShape shape) {
  return Dims{g.nx + (shape == ArrayShape::FaceX), g.ny + (shape == ArrayShape::FaceY),
              g.nz + (shape == ArrayShape::FaceZ)};
}

void FireSim::Impl::setOpenSides(const OpenSides& sides) {
  openSides = sides;
  openMask = 0;
  for (int s = 0; s < 6; ++s)
    if (sides[size_t(s)]) openMask |= 1 << s;
  if (openMask == 0) openMask = 32;  // the pressure problem always keeps one side at zero pressure
}

bool FireSim::Impl::buildPyramid(std::vector<Level>& out) {
  bool ok = true;
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
    out.push_back(level);
  }
  return ok;
}

void FireSim::Impl::freePyramid(std::vector<Level>& pyramid) {
  for (Level& level : pyramid) {
    freeArray(reinterpret_cast<void*&>(level.x));
    freeArray(reinterpret_cast<void*&>(level.b));
    freeArray(reinterpret_cast<void*&>(level.r));
    freeArray(reinterpret_cast<void*&>(level.solid));
  }
  pyramid.clear();
}

bool FireSim::Impl::create(const GridDesc& g, const OpenSides& sides, bool wantGpu) {
  release();
  error[0] = '\0';
  if (g.nx < 4 || g.ny < 4 || g.nz < 4) {
    std::snprintf(error, sizeof error, "domain too small");
    return false;
  }
  grid = g;
  setOpenSides(sides);
  if (!FitsIndices(g)) {
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

  bool ok = true;
  for (const ArraySlot& a : kArrayTable) {
    if (a.block == kOptionalArray || a.inBlock != 0) continue;
    const size_t count = ElementCount(grid, a.shape);
    if (a.block == 0) {
      ok &= allocate(this->*a.member, count);
      continue;
    }
    float* base = nullptr;
    ok &= allocate(base, 4 * count);
    for (const ArraySlot& b : kArrayTable)
      if (b.block == a.block) this->*b.member = base ? base + size_t(b.inBlock) * count : nullptr;
  }

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

  ok &= buildPyramid(levels);

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

bool FireSim::Impl::resize(const GridDesc& g, const Int3& offset, const OpenSides& sides) {
  if (!ready || g.nx < 4 || g.ny < 4 || g.nz < 4 || !FitsIndices(g)) return false;
  const GridDesc old = grid;
  // The new arrays first, all of them: a window the device cannot hold leaves the old one whole.
  Impl fresh;
  fresh.useGpu = useGpu;
  fresh.stream = stream;
  fresh.grid = g;
  bool ok = true;
  for (const ArraySlot& a : kArrayTable) {
    if (a.inBlock != 0 || (a.block == kOptionalArray && !(this->*a.member))) continue;
    const size_t count = ElementCount(g, a.shape) * (a.block == 1 || a.block == 2 ? 4 : 1);
    ok &= fresh.allocate(fresh.*a.member, count);
  }
  ok &= fresh.buildPyramid(fresh.levels);
  ok &= DeviceOk(exec());
  if (!ok) {
    FreeArrays(fresh);
    fresh.freePyramid(fresh.levels);
    fresh.useGpu = false;  // shares this solver's stream, which it must not destroy
    fresh.stream = nullptr;
    return false;
  }
  const Exec ex = exec();
  for (const ArraySlot& a : kArrayTable) {
    float*& mine = this->*a.member;
    float*& theirs = fresh.*a.member;
    if (a.block == 1 || a.block == 2) {
      if (a.inBlock != 0) mine = nullptr;  // its head reassigns it below
      continue;
    }
    if (mine) MoveArray(ex, theirs, ShapeDims(g, a.shape), mine, ShapeDims(old, a.shape), offset);
  }
  WaitStream(ex);
  FreeArrays(*this);
  freePyramid(levels);
  freeArray(reinterpret_cast<void*&>(sealed));
  grid = g;
  for (const ArraySlot& a : kArrayTable) {
    if (a.inBlock != 0) continue;
    this->*a.member = fresh.*a.member;
    fresh.*a.member = nullptr;
    if (a.block != 1 && a.block != 2) continue;
    const size_t count = ElementCount(g, a.shape);
    for (const ArraySlot& b : kArrayTable)
      if (b.block == a.block) this->*b.member = this->*a.member + size_t(b.inBlock) * count;
  }
  levels = std::move(fresh.levels);
  fresh.levels.clear();
  fresh.useGpu = false;
  fresh.stream = nullptr;
  stats.bytesAllocated = fresh.stats.bytesAllocated;
  setOpenSides(sides);
  // The colliders come again with the next frame's inputs; the recordings point at freed arrays.
  hasSealed = false;
  for (int a = 0; a < 3; ++a) {
    solidLo[a] = 0;
    solidHi[a] = -1;
  }
  preconditioner.Reset();
  for (LaunchGraph& run : iterationRuns) run.Reset();
  FindOpenRows();
  return true;
}

void FireSim::Impl::release() {
  FreeArrays(*this);
  freeArray(reinterpret_cast<void*&>(sealed));
  hasSealed = false;
  for (int a = 0; a < 3; ++a) {
    solidLo[a] = 0;
    solidHi[a] = -1;
  }
  freePyramid(levels);
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

bool FireSim::Resize(const GridDesc& grid, const Int3& offset, const OpenSides& openSides) {
  return impl->resize(grid, offset, openSides);
}

const char* FireSim::LastError() const { return impl->error; }

bool FireSim::UsesGpu() const { return impl->useGpu; }

GridDesc FireSim::Grid() const { return impl->grid; }

SolverStats FireSim::Stats() const { return impl->stats; }

}  // namespace tf
