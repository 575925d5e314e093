// The renderer's passes: the shadow pass and the ray-march of RenderPreview, the shadow pass and
// voxel colours of ShadeVoxels. Each pass is one body of render/render_bodies.h, launched as a
// CUDA kernel (blocks of 8 x 8 x 4 voxels or 8 x 8 pixels) or run in an OpenMP loop, one slice or
// row at a time with a dynamic schedule. This file compiles as CUDA when the toolkit is found.
#define TFR_BODY_SOURCE 1

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "render/occupancy.h"
#include "render/render.h"
#include "render/render_bodies.h"
#include "solver/device.h"

#if TFR_DEVICE_PASS
#include <cuda_runtime.h>
#endif

namespace tf {

using render_detail::BrickView;
using render_detail::MarchBody;
using render_detail::ShadeView;
using render_detail::ShadowBody;
using render_detail::ShadowFillBody;
using render_detail::VoxelColorBody;

namespace {

ShadeView MakeShadeView(const ShadingContext& c, const Vec3f* table, const float* gr, const float* gg,
                        const float* gb) {
  ShadeView v{};
  v.densityScale = c.densityScale;
  v.fireIntensity = c.fireIntensity;
  v.fireTempScale = c.fireTempScale;
  v.shadowAmount = c.shadowAmount;
  v.detailAmount = c.detailAmount;
  v.glowK = c.glowK;
  v.detailFreq = c.detailFreq;
  v.smokeColor = c.smokeColor;
  v.lightColor = c.lightColor;
  v.skyColor = c.skyColor;
  v.background = c.background;
  v.lightDir = c.lightDir;
  v.table = table;
  v.glowR = gr, v.glowG = gg, v.glowB = gb;
  v.gx = c.glowGrid.gx, v.gy = c.glowGrid.gy, v.gz = c.glowGrid.gz;
  return v;
}

ShadowBody MakeShadowBody(const RenderVolume& v, const ShadingContext& c, const float* density, float* shadow,
                          const BrickView& bricks = {}) {
  // With bricks, the shadow is traced on every second voxel per axis and filled in between.
  const int32_t stride = bricks.shadow != nullptr ? 2 : 1;
  return ShadowBody{density, shadow, v.nx, v.ny, v.nz, c.densityScale, v.cellSize, c.lightDir, bricks, stride};
}

MarchBody MakeMarchBody(const RenderVolume& v, const RenderCamera& cam, const ShadeView& sv, const float* density,
                        const float* temperature, const float* shadow, float* image, int32_t* steps,
                        const BrickView& bricks) {
  MarchBody b{};
  b.density = density, b.temperature = temperature, b.shadow = shadow, b.image = image, b.steps = steps;
  b.nx = v.nx, b.ny = v.ny, b.nz = v.nz;
  b.cellSize = v.cellSize;
  b.volumeOrigin = v.origin;
  b.camPos = cam.position, b.camRight = cam.right, b.camUp = cam.up, b.camForward = cam.forward;
  b.ortho = cam.ortho;
  b.tanHalfFov = cam.tanHalfFov, b.orthoHalfWidth = cam.orthoHalfWidth;
  b.width = cam.width, b.height = cam.height;
  b.sv = sv;
  b.bricks = bricks;
  return b;
}

// ---- CPU loops ---------------------------------------------------------------------------------

// Below these sizes a pass runs on the calling thread: waking the team costs more than the work.
constexpr int64_t kSerialVoxels = 4096;
constexpr int64_t kSerialPixels = 1024;

template <class Body>
void VoxelLoopCpu(int32_t nx, int32_t ny, int32_t nz, const Body& body) {
  [[maybe_unused]] const bool parallel = int64_t(nx) * ny * nz >= kSerialVoxels;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
  for (int32_t z = 0; z < nz; ++z)
    for (int32_t y = 0; y < ny; ++y)
      for (int32_t x = 0; x < nx; ++x) body(x, y, z);
}

template <class Body>
void PixelLoopCpu(int32_t width, int32_t height, const Body& body) {
  [[maybe_unused]] const bool parallel = int64_t(width) * height >= kSerialPixels;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) body(x, y);
}

// ---- GPU launches ------------------------------------------------------------------------------

#if TFR_DEVICE_PASS
template <class Body>
__global__ void VoxelKernel(int32_t nx, int32_t ny, int32_t nz, Body body) {
  const int32_t x = int32_t(blockIdx.x) * 8 + int32_t(threadIdx.x);
  const int32_t y = int32_t(blockIdx.y) * 8 + int32_t(threadIdx.y);
  const int32_t z = int32_t(blockIdx.z) * 4 + int32_t(threadIdx.z);
  if (x >= nx || y >= ny || z >= nz) return;
  body(x, y, z);
}

template <class Body>
__global__ void PixelKernel(int32_t width, int32_t height, Body body) {
  const int32_t x = int32_t(blockIdx.x) * 8 + int32_t(threadIdx.x);
  const int32_t y = int32_t(blockIdx.y) * 8 + int32_t(threadIdx.y);
  if (x >= width || y >= height) return;
  body(x, y);
}

template <class Body>
bool LaunchVoxels(int32_t nx, int32_t ny, int32_t nz, const Body& body) {
  const dim3 block(8, 8, 4);
  const dim3 grid(unsigned(nx + 7) / 8, unsigned(ny + 7) / 8, unsigned(nz + 3) / 4);
  VoxelKernel<<<grid, block>>>(nx, ny, nz, body);
  return cudaGetLastError() == cudaSuccess;
}

template <class Body>
bool LaunchPixels(int32_t width, int32_t height, const Body& body) {
  const dim3 block(8, 8, 1);
  const dim3 grid(unsigned(width + 7) / 8, unsigned(height + 7) / 8, 1);
  PixelKernel<<<grid, block>>>(width, height, body);
  return cudaGetLastError() == cudaSuccess;
}

// Device memory of one render, freed on every way out.
class DeviceArrays {
 public:
  DeviceArrays() = default;
  DeviceArrays(const DeviceArrays&) = delete;
  DeviceArrays& operator=(const DeviceArrays&) = delete;
  ~DeviceArrays() {
    for (void* p : ptrs_) cudaFree(p);
  }
  // A device array of n elements holding a copy of `src` (or zeros without a source); false when
  // the allocation or the copy fails.
  template <class T>
  bool Make(T*& out, size_t n, const T* src) {
    out = nullptr;
    void* p = nullptr;
    if (cudaMalloc(&p, n * sizeof(T)) != cudaSuccess) return false;
    ptrs_.push_back(p);
    const cudaError_t e = src != nullptr ? cudaMemcpy(p, src, n * sizeof(T), cudaMemcpyHostToDevice)
                                         : cudaMemset(p, 0, n * sizeof(T));
    if (e != cudaSuccess) return false;
    out = static_cast<T*>(p);
    return true;
  }

 private:
  std::vector<void*> ptrs_;
};

bool GpuPresent() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) {
    cudaGetLastError();
    return false;
  }
  return true;
}

bool RenderOnGpu(const RenderVolume& v, const RenderCamera& cam, const ShadingContext& ctx,
                 const OccupancyBricks* bricks, float* image, std::vector<int32_t>* steps) {
  const size_t cells = size_t(v.nx) * size_t(v.ny) * size_t(v.nz);
  const size_t glowCells = ctx.glowGrid.r.size();
  const size_t pixels = size_t(cam.width) * size_t(cam.height);
  DeviceArrays mem;
  float *density = nullptr, *temperature = nullptr, *gr = nullptr, *gg = nullptr, *gb = nullptr;
  float *shadow = nullptr, *img = nullptr;
  Vec3f* table = nullptr;
  int32_t* devSteps = nullptr;
  const bool ok = (v.density == nullptr || mem.Make(density, cells, v.density)) &&
                  (v.temperature == nullptr || mem.Make(temperature, cells, v.temperature)) &&
                  mem.Make(table, size_t(kFireColorEntries), ctx.table.data()) &&
                  mem.Make(gr, glowCells, ctx.glowGrid.r.data()) && mem.Make(gg, glowCells, ctx.glowGrid.g.data()) &&
                  mem.Make(gb, glowCells, ctx.glowGrid.b.data()) && mem.Make(shadow, cells, (const float*)nullptr) &&
                  mem.Make(img, pixels * 3, (const float*)nullptr) &&
                  (steps == nullptr || mem.Make(devSteps, pixels, (const int32_t*)nullptr));
  if (!ok) return false;
  BrickView bv{};
  if (bricks != nullptr) {
    const size_t n = bricks->march.size();
    float *march = nullptr, *light = nullptr;
    uint8_t* lit = nullptr;
    if (!mem.Make(march, n, bricks->march.data()) || !mem.Make(light, n, bricks->light.data()) ||
        !mem.Make(lit, n, bricks->shadow.data()))
      return false;
    bv = BrickView{march, light, lit, bricks->bx, bricks->by, bricks->bz};
  }
  const ShadeView sv = MakeShadeView(ctx, table, gr, gg, gb);
  const ShadowBody shadowBody = MakeShadowBody(v, ctx, density, shadow, bv);
  if (!LaunchVoxels(v.nx, v.ny, v.nz, shadowBody)) return false;
  if (shadowBody.stride == 2 && !LaunchVoxels(v.nx, v.ny, v.nz, ShadowFillBody{shadowBody})) return false;
  if (!LaunchPixels(cam.width, cam.height, MakeMarchBody(v, cam, sv, density, temperature, shadow, img, devSteps, bv)))
    return false;
  if (cudaDeviceSynchronize() != cudaSuccess) return false;
  if (cudaMemcpy(image, img, pixels * 3 * sizeof(float), cudaMemcpyDeviceToHost) != cudaSuccess) return false;
  if (steps != nullptr) {
    steps->resize(pixels);
    if (cudaMemcpy(steps->data(), devSteps, pixels * sizeof(int32_t), cudaMemcpyDeviceToHost) != cudaSuccess)
      return false;
  }
  return true;
}

bool ShadowOnGpu(const RenderVolume& v, const ShadingContext& ctx, float* shadowHost) {
  const size_t cells = size_t(v.nx) * size_t(v.ny) * size_t(v.nz);
  DeviceArrays mem;
  float *density = nullptr, *shadow = nullptr;
  if (v.density != nullptr && !mem.Make(density, cells, v.density)) return false;
  if (!mem.Make(shadow, cells, (const float*)nullptr)) return false;
  if (!LaunchVoxels(v.nx, v.ny, v.nz, MakeShadowBody(v, ctx, density, shadow))) return false;
  if (cudaDeviceSynchronize() != cudaSuccess) return false;
  return cudaMemcpy(shadowHost, shadow, cells * sizeof(float), cudaMemcpyDeviceToHost) == cudaSuccess;
}
#endif  // TFR_DEVICE_PASS

void RenderOnCpu(const RenderVolume& v, const RenderCamera& cam, const ShadingContext& ctx,
                 const OccupancyBricks* bricks, float* image, std::vector<int32_t>* steps) {
  const BrickView bv = bricks != nullptr ? bricks->View() : BrickView{};
  std::vector<float> shadow(size_t(v.nx) * size_t(v.ny) * size_t(v.nz));
  const ShadowBody shadowBody = MakeShadowBody(v, ctx, v.density, shadow.data(), bv);
  VoxelLoopCpu(v.nx, v.ny, v.nz, shadowBody);
  if (shadowBody.stride == 2) VoxelLoopCpu(v.nx, v.ny, v.nz, ShadowFillBody{shadowBody});
  if (steps != nullptr) steps->assign(size_t(cam.width) * size_t(cam.height), 0);
  const ShadeView sv = MakeShadeView(ctx, ctx.table.data(), ctx.glowGrid.r.data(), ctx.glowGrid.g.data(),
                                     ctx.glowGrid.b.data());
  PixelLoopCpu(cam.width, cam.height,
               MakeMarchBody(v, cam, sv, v.density, v.temperature, shadow.data(), image,
                             steps != nullptr ? steps->data() : nullptr, bv));
}

void PutMessage(char* message, size_t size, const char* text) {
  if (message != nullptr && size > 0) std::snprintf(message, size, "%s", text);
}

}  // namespace

bool RenderGpuAvailable() {
#if TFR_DEVICE_PASS
  return GpuPresent();
#else
  return false;
#endif
}

namespace {

bool ShadeVoxelsImpl(const RenderVolume& volume, const RenderSettings& settings, float* voxelColors,
                     [[maybe_unused]] bool& usedGpu);

bool RenderPreviewImpl(bool accelerated, const RenderVolume& volume, const RenderCamera& camera,
                       const RenderSettings& settings, float* image, [[maybe_unused]] bool& usedGpu, char* message,
                       size_t messageSize, float* milliseconds, int64_t* marchedSamples) {
  if (image == nullptr || camera.width <= 0 || camera.height <= 0) {
    PutMessage(message, messageSize, "no image");
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  if (marchedSamples != nullptr) *marchedSamples = 0;
  const size_t values = size_t(camera.width) * size_t(camera.height) * 3;
  const ShadingContext ctx = MakeShadingContext(volume, settings);
  // A grid without cells, or without a usable cell size to place them, shows the background.
  const bool placeable = volume.cellSize > 0.0f && std::isfinite(volume.cellSize);
  if (volume.nx < 1 || volume.ny < 1 || volume.nz < 1 || !placeable) {
    for (size_t i = 0; i < values; i += 3) {
      image[i] = ctx.background.x, image[i + 1] = ctx.background.y, image[i + 2] = ctx.background.z;
    }
  } else {
    std::vector<int32_t> steps;
    std::vector<int32_t>* stepsOut = marchedSamples != nullptr ? &steps : nullptr;
    OccupancyBricks bricks;
    if (accelerated) bricks = MakeOccupancyBricks(volume, ctx);
    const OccupancyBricks* bricksIn = accelerated ? &bricks : nullptr;
    bool done = false;
#if TFR_DEVICE_PASS
    if (settings.useGpu && GpuPresent()) {
      done = RenderOnGpu(volume, camera, ctx, bricksIn, image, stepsOut);
      if (!done) cudaGetLastError();
      usedGpu = done;
    }
#endif
    if (!done) RenderOnCpu(volume, camera, ctx, bricksIn, image, stepsOut);
    if (marchedSamples != nullptr)
      for (const int32_t n : steps) *marchedSamples += n;
  }
  // The exposure applies to every image, an empty volume's background included, so a frame with
  // nothing visible looks like one whose cells are all empty.
  const float scale = std::exp2(settings.exposure);
  for (size_t i = 0; i < values; ++i) image[i] *= scale;
  if (milliseconds != nullptr)
    *milliseconds = std::chrono::duration<float, std::milli>(std::chrono::steady_clock::now() - start).count();
  return true;
}

}  // namespace

namespace {

// The host-side buffers (shadow grid, glow planes, bricks, step counts) are the only allocations
// that can fail here; such a failure is reported like any other, never thrown at the caller.
bool RenderPreviewGuarded(bool accelerated, const RenderVolume& volume, const RenderCamera& camera,
                          const RenderSettings& settings, float* image, bool& usedGpu, char* message,
                          size_t messageSize, float* milliseconds, int64_t* marchedSamples) {
  usedGpu = false;
  try {
    return RenderPreviewImpl(accelerated, volume, camera, settings, image, usedGpu, message, messageSize,
                             milliseconds, marchedSamples);
  } catch (const std::bad_alloc&) {
    usedGpu = false;
    PutMessage(message, messageSize, "out of memory");
    return false;
  }
}

}  // namespace

bool RenderPreview(const RenderVolume& volume, const RenderCamera& camera, const RenderSettings& settings,
                   float* image, bool& usedGpu, char* message, size_t messageSize, float* milliseconds,
                   int64_t* marchedSamples) {
  return RenderPreviewGuarded(true, volume, camera, settings, image, usedGpu, message, messageSize, milliseconds,
                              marchedSamples);
}

bool RenderPreviewReference(const RenderVolume& volume, const RenderCamera& camera, const RenderSettings& settings,
                            float* image, bool& usedGpu, char* message, size_t messageSize, float* milliseconds,
                            int64_t* marchedSamples) {
  return RenderPreviewGuarded(false, volume, camera, settings, image, usedGpu, message, messageSize, milliseconds,
                              marchedSamples);
}

bool ShadeVoxels(const RenderVolume& volume, const RenderSettings& settings, float* voxelColors, bool& usedGpu) {
  usedGpu = false;
  if (voxelColors == nullptr || volume.nx < 1 || volume.ny < 1 || volume.nz < 1) return false;
  try {
    return ShadeVoxelsImpl(volume, settings, voxelColors, usedGpu);
  } catch (const std::bad_alloc&) {
    usedGpu = false;
    return false;
  }
}

namespace {

bool ShadeVoxelsImpl(const RenderVolume& volume, const RenderSettings& settings, float* voxelColors,
                     [[maybe_unused]] bool& usedGpu) {
  const ShadingContext ctx = MakeShadingContext(volume, settings);
  std::vector<float> shadow(size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz), 1.0f);
  bool done = false;
#if TFR_DEVICE_PASS
  if (settings.useGpu && GpuPresent()) {
    done = ShadowOnGpu(volume, ctx, shadow.data());
    if (!done) cudaGetLastError();
    usedGpu = done;
  }
#endif
  if (!done) VoxelLoopCpu(volume.nx, volume.ny, volume.nz, MakeShadowBody(volume, ctx, volume.density, shadow.data()));
  const ShadeView sv = MakeShadeView(ctx, ctx.table.data(), ctx.glowGrid.r.data(), ctx.glowGrid.g.data(),
                                     ctx.glowGrid.b.data());
  const VoxelColorBody body{volume.density, volume.temperature, shadow.data(), voxelColors, volume.nx, volume.ny,
                            volume.cellSize, std::exp2(settings.exposure), sv};
  [[maybe_unused]] const bool parallel = int64_t(volume.nx) * volume.ny * volume.nz >= kSerialVoxels;
#pragma omp parallel for schedule(static) if (parallel)
  for (int32_t z = 0; z < volume.nz; ++z)
    for (int32_t y = 0; y < volume.ny; ++y)
      for (int32_t x = 0; x < volume.nx; ++x) body(x, y, z);
  return true;
}

}  // namespace

}  // namespace tf
