// The renderer's passes: the shadow pass and the ray-march of RenderPreview, the shadow pass and
// voxel colours of ShadeVoxels. Each pass is one body of render/render_bodies.h run through the
// device layer (device/exec.h): voxel passes in the Voxels shape, the march in the Pixels shape,
// so either a CUDA kernel on the default stream or an OpenMP loop handing out one slice or row at
// a time. Device memory comes from device/device_memory.h. This file compiles as CUDA when the
// toolkit is found.
#define TFR_BODY_SOURCE 1

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "device/device.h"
#include "device/device_memory.h"
#include "device/exec.h"
#include "device/gpu_memory.h"
#include "device/rows.h"
#include "render/occupancy.h"
#include "render/render.h"
#include "render/render_bodies.h"

namespace tf {

using render_detail::BrickMarchBody;
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
                        const float* temperature, const float* shadow, float* image, int32_t* steps) {
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
  return b;
}

// Whether every lattice coordinate the detail noise can reach inside the box stays small enough
// for the march's fast floor: the second octave's frequency times the grid's extent, plus the
// channels' offsets.
bool FastNoiseFits(const RenderVolume& v, const ShadingContext& c) {
  const float extent = float(std::max(v.nx, std::max(v.ny, v.nz))) + 2.0f;
  const float reach = c.detailFreq * 2.1f * extent + 100.0f;
  return reach < render_detail::kFastNoiseReach;
}

// The host runs every pass that is not sent to the GPU.
const Exec kHost{};

// Device memory of one render, freed on every way out.
class DeviceArrays {
 public:
  explicit DeviceArrays(const Exec& ex) : ex_(ex) {}
  DeviceArrays(const DeviceArrays&) = delete;
  DeviceArrays& operator=(const DeviceArrays&) = delete;
  ~DeviceArrays() {
    for (void* p : ptrs_) DeviceFree(ex_, p);
  }
  // A device array of n elements holding a copy of `src` (or zeros without a source; null for no
  // elements); false when the memory is not there.
  template <class T>
  bool Make(T*& out, size_t n, const T* src) {
    out = nullptr;
    if (n == 0) return true;
    out = static_cast<T*>(DeviceAllocZeroed(ex_, n * sizeof(T)));
    if (out == nullptr) return false;
    ptrs_.push_back(out);
    if (src != nullptr) Upload(ex_, out, src, n * sizeof(T));
    return true;
  }

 private:
  Exec ex_;
  std::vector<void*> ptrs_;
};

void RunShadow(const Exec& ex, const RenderVolume& v, const ShadowBody& body) {
  kFor3(ex, {"render: shadow", LaunchShape::Voxels}, v.nx, v.ny, v.nz, body);
}

// The accelerated march with bricks, the reference march without.
void RunMarch(const Exec& ex, const RenderCamera& cam, const MarchBody& body, const BrickView& bricks,
              bool fastNoise) {
  if (bricks.march != nullptr) {
    // Pixel rows, compiled for AVX2 on a CPU that has it: the detail noise's lanes hash with
    // native 32-bit multiplies. The same arithmetic per lane, so the same image. No pixel counts
    // as inside: the march takes no shortcut.
    const BrickMarchBody fast{body, bricks, fastNoise};
    const IndexBox none{{0, 0, 0}, {-1, -1, -1}};
    kRows(ex, {"render: march", LaunchShape::Pixels}, cam.width, cam.height, 1, none,
          [=] TFR_HD(bool, int32_t x, int32_t y, int32_t) TFR_ROW_BODY { fast(x, y); }, RowWork::Rows);
    return;
  }
  kFor3(ex, {"render: march", LaunchShape::Pixels}, cam.width, cam.height, 1,
        [=] TFR_HD(int32_t x, int32_t y, int32_t) { body(x, y); });
}

// The shadows of a pass that traced every second voxel are filled in between.
void RunShadowPasses(const Exec& ex, const RenderVolume& v, const ShadowBody& body) {
  RunShadow(ex, v, body);
  if (body.stride == 2) kFor3(ex, {"render: shadow fill", LaunchShape::Voxels}, v.nx, v.ny, v.nz, ShadowFillBody{body});
}

// A failure anywhere (memory, a launch, a transfer) gives false; the caller renders on the CPU.
bool RenderOnGpu(const RenderVolume& v, const RenderCamera& cam, const ShadingContext& ctx,
                 const OccupancyBricks* bricks, float* image, std::vector<int32_t>* steps) {
  const Exec ex{true};
  const size_t cells = size_t(v.nx) * size_t(v.ny) * size_t(v.nz);
  const size_t glowCells = ctx.glowGrid.r.size();
  const size_t pixels = size_t(cam.width) * size_t(cam.height);
  DeviceArrays mem(ex);
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
  if (!ok || !DeviceOk(ex)) return false;
  BrickView bv{};
  if (bricks != nullptr) {
    const size_t n = bricks->march.size();
    float *march = nullptr, *light = nullptr;
    uint8_t *lit = nullptr, *glowing = nullptr;
    if (!mem.Make(march, n, bricks->march.data()) || !mem.Make(light, n, bricks->light.data()) ||
        !mem.Make(lit, n, bricks->shadow.data()) || !mem.Make(glowing, n, bricks->glow.data()))
      return false;
    bv = BrickView{march, light, lit, glowing, bricks->bx, bricks->by, bricks->bz};
  }
  const ShadeView sv = MakeShadeView(ctx, table, gr, gg, gb);
  RunShadowPasses(ex, v, MakeShadowBody(v, ctx, density, shadow, bv));
  RunMarch(ex, cam, MakeMarchBody(v, cam, sv, density, temperature, shadow, img, devSteps), bv,
           FastNoiseFits(v, ctx));
  if (!DeviceOk(ex)) return false;
  Download(ex, image, img, pixels * 3 * sizeof(float));
  if (steps != nullptr) {
    steps->resize(pixels);
    Download(ex, steps->data(), devSteps, pixels * sizeof(int32_t));
  }
  return DeviceOk(ex);
}

bool ShadowOnGpu(const RenderVolume& v, const ShadingContext& ctx, float* shadowHost) {
  const Exec ex{true};
  const size_t cells = size_t(v.nx) * size_t(v.ny) * size_t(v.nz);
  DeviceArrays mem(ex);
  float *density = nullptr, *shadow = nullptr;
  if (v.density != nullptr && !mem.Make(density, cells, v.density)) return false;
  if (!mem.Make(shadow, cells, (const float*)nullptr)) return false;
  RunShadow(ex, v, MakeShadowBody(v, ctx, density, shadow));
  if (!DeviceOk(ex)) return false;
  Download(ex, shadowHost, shadow, cells * sizeof(float));
  return DeviceOk(ex);
}

void RenderOnCpu(const RenderVolume& v, const RenderCamera& cam, const ShadingContext& ctx,
                 const OccupancyBricks* bricks, float* image, std::vector<int32_t>* steps) {
  const BrickView bv = bricks != nullptr ? bricks->View() : BrickView{};
  std::vector<float> shadow(size_t(v.nx) * size_t(v.ny) * size_t(v.nz));
  RunShadowPasses(kHost, v, MakeShadowBody(v, ctx, v.density, shadow.data(), bv));
  if (steps != nullptr) steps->assign(size_t(cam.width) * size_t(cam.height), 0);
  const ShadeView sv = MakeShadeView(ctx, ctx.table.data(), ctx.glowGrid.r.data(), ctx.glowGrid.g.data(),
                                     ctx.glowGrid.b.data());
  RunMarch(kHost, cam,
           MakeMarchBody(v, cam, sv, v.density, v.temperature, shadow.data(), image,
                         steps != nullptr ? steps->data() : nullptr),
           bv, FastNoiseFits(v, ctx));
}

// Linear indices inside a pass are 32-bit (the device layer's sampler): a larger grid is refused.
bool Indexable(const RenderVolume& v) { return int64_t(v.nx) * v.ny * v.nz < (int64_t(1) << 31); }

void PutMessage(char* message, size_t size, const char* text) {
  if (message != nullptr && size > 0) std::snprintf(message, size, "%s", text);
}

}  // namespace

bool RenderGpuAvailable() { return TFR_DEVICE_PASS && GpuPresent(); }

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
  if (!Indexable(volume)) {
    PutMessage(message, messageSize, "volume too large");
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
    if (settings.useGpu && RenderGpuAvailable()) {
      done = RenderOnGpu(volume, camera, ctx, bricksIn, image, stepsOut);
      usedGpu = done;
    }
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
  if (voxelColors == nullptr || volume.nx < 1 || volume.ny < 1 || volume.nz < 1 || !Indexable(volume)) return false;
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
  if (settings.useGpu && RenderGpuAvailable()) {
    done = ShadowOnGpu(volume, ctx, shadow.data());
    usedGpu = done;
  }
  if (!done) RunShadow(kHost, volume, MakeShadowBody(volume, ctx, volume.density, shadow.data()));
  const ShadeView sv = MakeShadeView(ctx, ctx.table.data(), ctx.glowGrid.r.data(), ctx.glowGrid.g.data(),
                                     ctx.glowGrid.b.data());
  const VoxelColorBody body{volume.density, volume.temperature, shadow.data(), voxelColors, volume.nx, volume.ny,
                            volume.cellSize, std::exp2(settings.exposure), sv};
  kFor3(kHost, "render: voxel colours", volume.nx, volume.ny, volume.nz, body);
  return true;
}

}  // namespace

}  // namespace tf
