// The accelerated march (occupancy bricks, lattice shadows) against the reference march that
// takes every sample: on a frame the solver made, and on sparse volumes where skipping is exact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "render/occupancy.h"
#include "render/render.h"
#include "solver/fire_sim.h"

namespace tf {
namespace {

struct Images {
  std::vector<float> reference, accelerated;
  int64_t referenceSamples = 0, acceleratedSamples = 0;
};

Images RenderBoth(const RenderVolume& v, const RenderCamera& cam, const RenderSettings& s) {
  Images out;
  const size_t values = size_t(cam.width) * size_t(cam.height) * 3;
  out.reference.assign(values, -1.0f);
  out.accelerated.assign(values, -1.0f);
  bool gpu = true;
  EXPECT_TRUE(RenderPreviewReference(v, cam, s, out.reference.data(), gpu, nullptr, 0, nullptr, &out.referenceSamples));
  EXPECT_TRUE(RenderPreview(v, cam, s, out.accelerated.data(), gpu, nullptr, 0, nullptr, &out.acceleratedSamples));
  return out;
}

// The tolerance devices are held to: every value within 2e-3 + 1e-3 x value, the mean within 1e-4.
void ExpectSameImage(const Images& im, float perValue = 2e-3f, double mean = 1e-4) {
  double sum = 0.0;
  for (size_t i = 0; i < im.reference.size(); ++i) {
    const float r = im.reference[i], a = im.accelerated[i];
    if (std::isnan(r)) {
      ASSERT_TRUE(std::isnan(a)) << "value " << i;
      continue;
    }
    ASSERT_NEAR(a, r, perValue + 1e-3f * std::fabs(r)) << "value " << i;
    sum += std::fabs(double(a) - double(r));
  }
  EXPECT_LT(sum / double(im.reference.size()), mean);
}

RenderCamera Camera(float cx, float cy, float cz, float distance, int32_t width, int32_t height) {
  RenderCamera c;
  c.position = Vec3f{cx + 0.3f * distance, cy - distance, cz + 0.2f * distance};
  const float len = std::sqrt(0.09f + 1.0f + 0.04f);
  c.forward = Vec3f{-0.3f / len, 1.0f / len, -0.2f / len};
  c.right = Vec3f{1.0f / std::sqrt(1.09f), 0.3f / std::sqrt(1.09f), 0.0f};
  c.up = Vec3f{c.right.y * c.forward.z - c.right.z * c.forward.y, c.right.z * c.forward.x - c.right.x * c.forward.z,
               c.right.x * c.forward.y - c.right.y * c.forward.x};
  c.tanHalfFov = 0.45f;
  c.width = width, c.height = height;
  return c;
}

// The solver's standard plume (a disc emitter on the floor) after 40 frames, rendered with and
// without detail noise and with a light from behind: the images agree within the tolerance and the
// bricks save samples.
TEST(AcceleratedMarch, MatchesTheReferenceOnASolvedPlume) {
  const int n = 32;
  FireSim sim;
  ASSERT_TRUE(sim.Create(GridDesc{n, n, n, 2.0f / float(n)}, kDefaultOpenSides, false)) << sim.LastError();
  std::vector<float> emitter(size_t(n) * n * n, 0.0f);
  for (int k = 1; k < 3; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i)
        if (std::hypot(float(i) - 15.5f, float(j) - 15.5f) <= 4.0f) emitter[size_t(i + n * (j + n * k))] = 1.0f;
  FireParams p;
  p.turbulence = 0.5f;
  sim.SetEmission(p.emission);
  ASSERT_TRUE(sim.SetEmitterMask(emitter.data()));
  for (int f = 0; f < 40; ++f) {
    p.time = float(f) * p.frameTime;
    sim.Step(p);
  }
  std::vector<float> density(emitter.size()), temperature(emitter.size());
  ASSERT_TRUE(sim.CopyField(FieldId::Density, density.data()));
  ASSERT_TRUE(sim.CopyField(FieldId::Temperature, temperature.data()));
  RenderVolume v;
  v.density = density.data(), v.temperature = temperature.data();
  v.nx = v.ny = v.nz = n;
  v.cellSize = 0.5f;
  const RenderCamera cam = Camera(8.0f, 8.0f, 8.0f, 30.0f, 96, 72);
  for (const float detail : {0.0f, 0.4f}) {
    for (const Vec3f light : {Vec3f{-0.4f, -0.45f, 0.8f}, Vec3f{0.2f, 1.0f, 0.3f}}) {
      SCOPED_TRACE(testing::Message() << "detail " << detail << ", light y " << light.y);
      RenderSettings s;
      s.useGpu = false;
      s.detailAmount = detail;
      s.lightDir = light;
      const Images im = RenderBoth(v, cam, s);
      ExpectSameImage(im);
      EXPECT_LT(im.acceleratedSamples, im.referenceSamples * 9 / 10);
    }
  }
}

// A dense plate hanging over a block of thin smoke casts a hard-edged shadow across it, under a
// slanted light and straight from above: the lattice shadows keep the edge (its voxels are traced,
// not interpolated) and the smoke in the plate's shadow and out of it looks as it does with every
// voxel traced.
TEST(AcceleratedMarch, KeepsHardShadowEdges) {
  const int32_t nx = 41, ny = 39, nz = 35;
  std::vector<float> density(size_t(nx) * ny * nz, 0.0f);
  for (int z = 0; z < nz; ++z)
    for (int y = 4; y < ny - 4; ++y)
      for (int x = 4; x < nx - 4; ++x) {
        float d = 0.0f;
        if (z >= 4 && z < 18) d = 0.25f + 0.1f * std::sin(float(x) * 0.4f) * std::cos(float(y) * 0.3f);  // smoke
        if (z >= 26 && z < 29 && x < 22) d = 6.0f;                                                        // plate
        density[size_t(x + nx * (y + ny * z))] = d;
      }
  RenderVolume v;
  v.density = density.data();
  v.nx = nx, v.ny = ny, v.nz = nz;
  const RenderCamera cam = Camera(20.0f, 19.0f, 12.0f, 70.0f, 90, 70);
  for (const Vec3f light : {Vec3f{0.35f, -0.2f, 0.9f}, Vec3f{0.0f, 0.0f, 1.0f}}) {
    SCOPED_TRACE(testing::Message() << "light x " << light.x);
    RenderSettings s;
    s.useGpu = false;
    s.lightDir = light;
    ExpectSameImage(RenderBoth(v, cam, s));
  }
}

// Two small blocks of smoke and fire in a mostly empty grid whose sides are not multiples of the
// brick: whatever the bricks skip holds exactly nothing, so the images agree to rounding (without
// self-shadowing, whose lattice is checked above), with a noise that reaches further than a brick,
// and a NaN in the smoke shows as it does without bricks.
TEST(AcceleratedMarch, SkipsOnlyWhatIsEmpty) {
  const int32_t nx = 45, ny = 37, nz = 29;
  std::vector<float> density(size_t(nx) * ny * nz, 0.0f), temperature(density.size(), 0.0f);
  auto fill = [&](int x0, int y0, int z0, int size, float d, float t) {
    for (int z = z0; z < z0 + size; ++z)
      for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x) {
          density[size_t(x + nx * (y + ny * z))] = d;
          temperature[size_t(x + nx * (y + ny * z))] = t;
        }
  };
  fill(5, 20, 4, 6, 0.8f, 1.5f);    // burning
  fill(30, 10, 15, 9, 0.3f, 0.0f);  // cold smoke
  RenderVolume v;
  v.density = density.data(), v.temperature = temperature.data();
  v.nx = nx, v.ny = ny, v.nz = nz;
  const RenderCamera cam = Camera(22.0f, 18.0f, 14.0f, 60.0f, 80, 60);
  RenderSettings s;
  s.useGpu = false;
  s.shadowAmount = 0.0f;
  s.detailAmount = 1.0f;
  for (const float scale : {1.0f, 4.0f}) {  // the noise moves samples up to 1 and 9.6 cells
    SCOPED_TRACE(scale);
    s.detailScale = scale;
    const Images im = RenderBoth(v, cam, s);
    ExpectSameImage(im, 1e-5f, 1e-6);
    if (scale == 1.0f) {
      EXPECT_LT(im.acceleratedSamples, im.referenceSamples / 2);
    }
  }
  density[size_t(33 + nx * (13 + ny * 18))] = NAN;
  ExpectSameImage(RenderBoth(v, cam, s), 1e-5f, 1e-6);
}

// A long slab of cold smoke reaching from beside a fire far out past its glow: the march leaves the
// glow out only where it is zero, so the slab's light fades out exactly as with every lookup made,
// with and without a noise that moves samples across brick borders.
TEST(AcceleratedMarch, LeavesOutOnlyGlowThatIsZero) {
  const int32_t nx = 70, ny = 21, nz = 19;
  std::vector<float> density(size_t(nx) * ny * nz, 0.0f), temperature(density.size(), 0.0f);
  for (int z = 6; z < 13; ++z)
    for (int y = 7; y < 14; ++y)
      for (int x = 2; x < 68; ++x) {
        const size_t i = size_t(x + nx * (y + ny * z));
        density[i] = 0.4f;
        if (x < 8) temperature[i] = 1.6f;
      }
  RenderVolume v;
  v.density = density.data(), v.temperature = temperature.data();
  v.nx = nx, v.ny = ny, v.nz = nz;
  const RenderCamera cam = Camera(35.0f, 10.0f, 9.0f, 80.0f, 120, 50);
  RenderSettings s;
  s.useGpu = false;
  s.shadowAmount = 0.0f;
  s.glow = 4.0f;
  for (const float detail : {0.0f, 1.0f}) {
    SCOPED_TRACE(detail);
    s.detailAmount = detail;
    ExpectSameImage(RenderBoth(v, cam, s), 1e-5f, 1e-6);
  }
}

}  // namespace
}  // namespace tf
