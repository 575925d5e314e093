// The volume renderer: one frame of smoke density and temperature turned into an image
// (RenderPreview, a ray-marcher for preview images and composites) or into one colour and opacity
// per voxel (ShadeVoxels, for the viewport). Both share one shading model: a black-body fire
// colour driven by temperature, smoke lit by one key light with self-shadowing, a constant sky
// term and a blurred glow of fire light on the smoke.
//
// Every per-pixel and per-voxel computation is written once (render/render_bodies.h) and runs as
// a CUDA kernel when the renderer was compiled with CUDA, a device is present and the caller asks
// for it, or in an OpenMP loop otherwise. Any GPU failure falls back to the CPU without a message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/device_math.h"  // Vec3f: a point, a direction or a linear RGB colour

namespace tf {

// Read-only input; the arrays stay the caller's. Index x + nx * (y + ny * z).
struct RenderVolume {
  const float* density = nullptr;      // smoke density; null reads as zero
  const float* temperature = nullptr;  // normalised: kelvin = 300 + 1000 * value; null reads as zero
  const float* flame = nullptr;        // carried along, read by neither entry point
  int32_t nx = 0, ny = 0, nz = 0;
  float cellSize = 1.0f;  // edge of one cell, scene units
  Vec3f origin;           // minimum corner of cell (0, 0, 0)
};

// The look of a render. The initial values are the defaults of the preview commands, before the
// domain's parameters are applied.
struct RenderSettings {
  float smokeDensity = 3.0f;
  Vec3f smokeColor{0.3f, 0.3f, 0.32f};
  float fireIntensity = 1.0f;
  float exposure = 0.0f;  // stops
  Vec3f lightDir{0.4f, -0.5f, 0.75f};  // toward the key light; normalised by the renderer
  Vec3f lightColor{1.2f, 1.15f, 1.1f};
  Vec3f skyColor{0.1f, 0.12f, 0.16f};
  Vec3f background{0.02f, 0.02f, 0.025f};
  bool useGpu = true;
  Vec3f fireTint{1.0f, 1.0f, 1.0f};
  float fireTempScale = 1.0f;
  float glow = 1.0f;
  float shadowAmount = 1.0f;  // 0 no self-shadowing, 1 full
  float detailAmount = 0.0f;  // 0 switches the render-time noise detail off
  float detailScale = 1.0f;
};

inline RenderSettings DefaultRenderSettings() { return RenderSettings{}; }

// A pinhole or orthographic camera in the volume's space. forward is the viewing direction;
// tanHalfFov belongs to the horizontal field of view.
struct RenderCamera {
  Vec3f position;
  Vec3f right{1.0f, 0.0f, 0.0f}, up{0.0f, 1.0f, 0.0f}, forward{0.0f, 0.0f, -1.0f};
  bool ortho = false;
  float tanHalfFov = 0.41421356f;
  float orthoHalfWidth = 1.0f;
  int32_t width = 0, height = 0;
  // The key light direction the camera builder proposes; the renderer reads the settings' one.
  Vec3f lightDir{0.0f, 0.0f, 1.0f};
};

inline constexpr int kFireColorEntries = 128;
// Entry i holds the colour of 300 + i * 4000 / 127 kelvin.
using FireColorTable = std::array<Vec3f, kFireColorEntries>;

// Fire light blurred on a quarter-resolution grid: three planes of gx * gy * gz values.
struct GlowGrid {
  int32_t gx = 0, gy = 0, gz = 0;
  std::vector<float> r, g, b;
};

// Everything a pass needs besides the volume, derived once per render.
struct ShadingContext {
  float densityScale = 0.0f;  // smokeDensity / (cellSize * 20)
  float fireIntensity = 1.0f, fireTempScale = 1.0f, shadowAmount = 1.0f, detailAmount = 0.0f;
  float glowK = 12.0f;      // glow * 12
  float detailFreq = 0.5f;  // 1 / (2 * max(0.1, detailScale))
  Vec3f smokeColor, lightColor, skyColor, background;
  Vec3f lightDir;  // unit length
  FireColorTable table{};
  GlowGrid glowGrid;
};

// Linear RGB of a black body at `kelvin` (raised to 300 first), largest channel 1, or all 0.
Vec3f BlackbodyColor(float kelvin);

// The 128 black-body colours times `tint`.
FireColorTable MakeFireColorTable(const Vec3f& tint);

// Colour and strength of fire at `kelvin` (no lower threshold, no cap on the strength): the table
// colour interpolated at the temperature, and max(0, (K / 1500)^6 - 0.08).
void FireColorAtKelvin(const FireColorTable& table, float kelvin, Vec3f& color, float& strength);

// The context of one render; builds the glow grid from the volume's temperature on the CPU.
ShadingContext MakeShadingContext(const RenderVolume& volume, const RenderSettings& settings);

// Ray-marches the volume into `image` (width * height * 3 floats, row 0 at the top). False with
// "no image" when the image is missing or a size is not positive, and with "volume too large"
// when one of its arrays would hold 2^31 values or more (grids are indexed in 32 bits). `usedGpu` tells which device
// rendered, `milliseconds` (optional) the wall time. `marchedSamples` (optional) receives the
// number of samples taken along all rays.
bool RenderPreview(const RenderVolume& volume, const RenderCamera& camera, const RenderSettings& settings,
                   float* image, bool& usedGpu, char* message, size_t messageSize, float* milliseconds = nullptr,
                   int64_t* marchedSamples = nullptr);

// One colour and opacity per voxel: four floats (r, g, b, a) per voxel in the volume's order.
// False when the buffer is missing, a grid size is below 1 or the grid has 2^31 cells or more.
bool ShadeVoxels(const RenderVolume& volume, const RenderSettings& settings, float* voxelColors, bool& usedGpu);

// Filmic curve and sRGB encoding of a float image into width * height * 3 bytes.
void ToneMapToBytes(const float* image, int32_t width, int32_t height, uint8_t* bytes);
// One channel value of that mapping.
uint8_t ToneMapValue(float v);

namespace render_detail {
// The mapping of one value computed in full; ToneMapValue gives the same bytes from a table.
uint8_t ToneMapFormula(float v);
}  // namespace render_detail

// True when the renderer was compiled with CUDA and a device is present now.
bool RenderGpuAvailable();

}  // namespace tf
