// The volume renderer: black-body colours against references computed independently, the fire
// colour edges, the ray-march's geometry, shadows, detail noise, the voxel colours, tone mapping
// and the agreement of the CPU and GPU paths.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "render/render.h"
#include "render/render_bodies.h"

namespace tf {
namespace {

using render_detail::FireColor;
using render_detail::RayNoise;
using render_detail::SampleGrid;

// A cube of n cells a side with one density and temperature everywhere inside `lo` to `hi`.
struct TestVolume {
  int32_t n;
  std::vector<float> density, temperature;
  explicit TestVolume(int32_t size) : n(size), density(size_t(size * size * size)), temperature(density.size()) {}
  void Fill(int32_t lo, int32_t hi, float d, float t) {
    for (int32_t z = lo; z < hi; ++z)
      for (int32_t y = lo; y < hi; ++y)
        for (int32_t x = lo; x < hi; ++x) {
          density[size_t(x + n * (y + n * z))] = d;
          temperature[size_t(x + n * (y + n * z))] = t;
        }
  }
  RenderVolume View(float cellSize = 1.0f) const {
    RenderVolume v;
    v.density = density.data();
    v.temperature = temperature.data();
    v.nx = v.ny = v.nz = n;
    v.cellSize = cellSize;
    return v;
  }
};

// A perspective camera south of the cube (at y < 0) looking north, z up.
RenderCamera FrontCamera(int32_t n, int32_t width = 48, int32_t height = 32) {
  RenderCamera c;
  const float f = float(n);
  c.position = Vec3f{f * 0.5f, -2.5f * f, f * 0.5f};
  c.right = Vec3f{1, 0, 0};
  c.up = Vec3f{0, 0, 1};
  c.forward = Vec3f{0, 1, 0};
  c.tanHalfFov = 0.35f;
  c.width = width;
  c.height = height;
  return c;
}

RenderSettings CpuSettings() {
  RenderSettings s;
  s.useGpu = false;
  return s;
}

std::vector<float> Render(const RenderVolume& v, const RenderCamera& c, const RenderSettings& s, bool* gpu = nullptr) {
  std::vector<float> image(size_t(c.width) * size_t(c.height) * 3, -1.0f);
  bool usedGpu = true;
  char message[64] = {};
  EXPECT_TRUE(RenderPreview(v, c, s, image.data(), usedGpu, message, sizeof message));
  if (gpu != nullptr) *gpu = usedGpu;
  return image;
}

float MaxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  float m = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

float Sum(const std::vector<float>& a) {
  double s = 0.0;
  for (float v : a) s += v;
  return float(s);
}

// ---- Colours -----------------------------------------------------------------------------------

// References from tests/render/blackbody_reference.py (numpy, double precision).
TEST(Blackbody, MatchesIndependentReference) {
  struct Ref {
    float kelvin;
    float rgb[3];
  };
  const Ref refs[] = {
      {300.0f, {1.0000000f, 0.4179082f, 0.0000000f}},  {800.0f, {1.0000000f, 0.0000000f, 0.0000000f}},
      {1200.0f, {1.0000000f, 0.0731750f, 0.0000000f}}, {1900.0f, {1.0000000f, 0.2425138f, 0.0000000f}},
      {3000.0f, {1.0000000f, 0.4840135f, 0.1544017f}}, {4300.0f, {1.0000000f, 0.7035484f, 0.4527830f}},
      {6500.0f, {1.0000000f, 0.9440203f, 0.9916769f}},
  };
  for (const Ref& r : refs) {
    SCOPED_TRACE(r.kelvin);
    const Vec3f c = BlackbodyColor(r.kelvin);
    EXPECT_NEAR(c.x, r.rgb[0], 2e-6);
    EXPECT_NEAR(c.y, r.rgb[1], 2e-6);
    EXPECT_NEAR(c.z, r.rgb[2], 2e-6);
  }
  // Temperatures below 300 K are raised to 300 K first.
  const Vec3f cold = BlackbodyColor(0.0f), room = BlackbodyColor(300.0f);
  EXPECT_EQ(cold.x, room.x);
  EXPECT_EQ(cold.y, room.y);
  EXPECT_EQ(cold.z, room.z);
}

TEST(FireColour, TableIsTintedBlackbody) {
  const FireColorTable table = MakeFireColorTable(Vec3f{0.5f, 1.0f, 2.0f});
  for (int i : {0, 40, 127}) {
    const Vec3f b = BlackbodyColor(300.0f + float(i) * 4000.0f / 127.0f);
    EXPECT_FLOAT_EQ(table[size_t(i)].x, b.x * 0.5f);
    EXPECT_FLOAT_EQ(table[size_t(i)].y, b.y);
    EXPECT_FLOAT_EQ(table[size_t(i)].z, b.z * 2.0f);
  }
}

TEST(FireColour, ThresholdsAndCaps) {
  const FireColorTable table = MakeFireColorTable(Vec3f{1, 1, 1});
  Vec3f e;
  float w = -1.0f;
  // Exactly 0.15 emits nothing; just above, 450 K is far below the glow threshold.
  FireColor(table.data(), 0.15f, 1.0f, 1.0f, e, w);
  EXPECT_EQ(e.x + e.y + e.z, 0.0f);
  EXPECT_EQ(w, 0.0f);
  FireColor(table.data(), 0.1501f, 1.0f, 1.0f, e, w);
  EXPECT_EQ(e.x + e.y + e.z, 0.0f);
  // The scale applies before the threshold: 0.1 x 2 is above it.
  FireColor(table.data(), 0.1f, 2.0f, 1.0f, e, w);
  EXPECT_EQ(e.x, 0.0f);  // 500 K: still no glow, but the colour lookup ran
  // Glow starts near 984.6 K: (K / 1500)^6 crosses 0.08.
  FireColor(table.data(), 0.68f, 1.0f, 1.0f, e, w);
  EXPECT_EQ(w, 0.0f);
  FireColor(table.data(), 0.69f, 1.0f, 1.0f, e, w);
  EXPECT_GT(w, 0.0f);
  EXPECT_NEAR(w, std::pow(990.0 / 1500.0, 6.0) - 0.08, 1e-6);
  // Strength caps at 4 near 1900 K; the intensity scales the emission.
  Vec3f e1, e2;
  FireColor(table.data(), 1.7f, 1.0f, 1.0f, e1, w);
  EXPECT_GT(w, 4.0f);
  FireColor(table.data(), 1.7f, 1.0f, 2.5f, e2, w);
  EXPECT_NEAR(e2.x, e1.x * 2.5f, 1e-5f);
  // At and above 4300 K the last pair of entries with fraction 0.999.
  const Vec3f expect{table[126].x + (table[127].x - table[126].x) * 0.999f,
                     table[126].y + (table[127].y - table[126].y) * 0.999f,
                     table[126].z + (table[127].z - table[126].z) * 0.999f};
  for (float tau : {4.0f, 9.7f}) {
    FireColor(table.data(), tau, 1.0f, 1.0f, e, w);
    EXPECT_NEAR(e.x, expect.x * 4.0f, 1e-5f);
    EXPECT_NEAR(e.y, expect.y * 4.0f, 1e-5f);
    EXPECT_NEAR(e.z, expect.z * 4.0f, 1e-5f);
  }
}

TEST(Sampling, TrilinearInsideEdgesAndOutside) {
  // 2 x 1 x 1 grid: values 1 and 3 at x centres 0.5 and 1.5.
  const float g[2] = {1.0f, 3.0f};
  EXPECT_FLOAT_EQ(SampleGrid(g, 2, 1, 1, 0.5f, 0.5f, 0.5f), 1.0f);
  EXPECT_FLOAT_EQ(SampleGrid(g, 2, 1, 1, 1.0f, 0.2f, 0.9f), 2.0f);  // size-1 axes ignore the position
  EXPECT_FLOAT_EQ(SampleGrid(g, 2, 1, 1, 0.1f, 0.5f, 0.5f), 1.0f);  // clamped to the outer centre
  EXPECT_NEAR(SampleGrid(g, 2, 1, 1, 1.99f, 0.5f, 0.5f), 1.0f + 2.0f * 0.999f, 1e-5f);
  EXPECT_EQ(SampleGrid(g, 2, 1, 1, -0.01f, 0.5f, 0.5f), 0.0f);
  EXPECT_EQ(SampleGrid(g, 2, 1, 1, 2.01f, 0.5f, 0.5f), 0.0f);
  EXPECT_EQ(SampleGrid(g, 2, 1, 1, 1.0f, 1.2f, 0.5f), 0.0f);
  EXPECT_EQ(SampleGrid(nullptr, 2, 1, 1, 1.0f, 0.5f, 0.5f), 0.0f);
}

// The march's noise along a ray against DetailNoise at each sample, over both octaves and the four
// channels: rays along one axis (the cached corners shift a face at a time), slanted rays (several
// axes cross at once), negative coordinates (the floor by truncation) and a jump far along the ray
// (every corner hashed again). The two differ only by the rounding of the lattice coordinates; a
// wrong corner is off by tenths.
TEST(Sampling, RayNoiseFollowsDetailNoise) {
  const float off[4][3] = {{0.0f, 0.0f, 0.0f}, {31.7f, 11.3f, 0.0f}, {0.0f, 57.1f, 7.9f}, {91.3f, 0.0f, 43.7f}};
  const Vec3f rays[][2] = {{{3.2f, 5.1f, 7.7f}, {1.0f, 0.0f, 0.0f}},
                           {{40.0f, 2.5f, 9.0f}, {0.0f, 0.0f, -1.0f}},
                           {{-20.3f, -7.6f, 3.3f}, {0.48f, 0.64f, 0.6f}},
                           {{90.0f, -3.0f, 60.0f}, {-0.8f, 0.36f, -0.48f}}};
  for (const float freq : {0.5f, 1.7f}) {
    for (const auto& ray : rays) {
      RayNoise noise;
      noise.Start(ray[0], ray[1], freq);
      for (int step = 0; step < 400; ++step) {
        const float t = float(step) * 0.5f + (step >= 300 ? 250.0f : 0.0f);
        float got[4] = {0.0f, 0.0f, 0.0f, 0.0f}, want[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        noise.Add(t, got);
        const Vec3f p{ray[0].x + ray[1].x * t, ray[0].y + ray[1].y * t, ray[0].z + ray[1].z * t};
        float f = freq, amp = 1.0f;
        for (int oct = 0; oct < 2; ++oct, f *= 2.1f, amp *= 0.5f)
          for (int c = 0; c < 4; ++c)
            want[c] += (DetailNoise(f * p.x + off[c][0], f * p.y + off[c][1], f * p.z + off[c][2]) - 0.5f) * amp;
        for (int c = 0; c < 4; ++c)
          ASSERT_NEAR(got[c], want[c], 2e-3f) << "frequency " << freq << ", step " << step << ", channel " << c;
      }
    }
  }
}

// ---- Ray-march ---------------------------------------------------------------------------------

TEST(RenderPreview, RefusesMissingImage) {
  TestVolume vol(4);
  RenderCamera cam = FrontCamera(4);
  std::vector<float> image(size_t(cam.width * cam.height * 3));
  bool gpu = true;
  char message[32] = "unchanged";
  EXPECT_FALSE(RenderPreview(vol.View(), cam, CpuSettings(), nullptr, gpu, message, sizeof message));
  EXPECT_STREQ(message, "no image");
  EXPECT_FALSE(gpu);
  cam.height = 0;
  EXPECT_FALSE(RenderPreview(vol.View(), cam, CpuSettings(), image.data(), gpu, nullptr, 0));
}

TEST(RenderPreview, EmptyGridIsBackgroundTimesExposure) {
  RenderVolume none;  // no cells, no arrays
  RenderSettings s = CpuSettings();
  s.background = Vec3f{0.25f, 0.5f, 1.0f};
  s.exposure = -1.0f;
  float ms = -1.0f;
  const RenderCamera cam = FrontCamera(4, 5, 3);
  std::vector<float> image(5 * 3 * 3);
  bool gpu = true;
  ASSERT_TRUE(RenderPreview(none, cam, s, image.data(), gpu, nullptr, 0, &ms));
  EXPECT_FALSE(gpu);
  EXPECT_GE(ms, 0.0f);
  for (size_t i = 0; i < image.size(); i += 3) {
    EXPECT_EQ(image[i], 0.125f);
    EXPECT_EQ(image[i + 1], 0.25f);
    EXPECT_EQ(image[i + 2], 0.5f);
  }
  // Cells without a usable size cannot be placed: background too, not NaN.
  TestVolume vol(4);
  vol.Fill(0, 4, 1.0f, 1.0f);
  for (float h : {0.0f, -1.0f, NAN}) {
    std::vector<float> other(image.size());
    ASSERT_TRUE(RenderPreview(vol.View(h), cam, s, other.data(), gpu, nullptr, 0));
    EXPECT_EQ(other, image) << h;
  }
}

TEST(RenderPreview, RayParallelToASlabOutsideSeesBackground) {
  TestVolume vol(8);
  vol.Fill(0, 8, 5.0f, 1.5f);  // dense and burning everywhere
  RenderSettings s = CpuSettings();
  s.background = Vec3f{0.3f, 0.2f, 0.1f};
  RenderCamera cam;
  cam.ortho = true;
  cam.forward = Vec3f{1, 0, 0};  // exactly along x
  cam.right = Vec3f{0, 1, 0};
  cam.up = Vec3f{0, 0, 1};
  cam.orthoHalfWidth = 1.0f;
  cam.width = cam.height = 8;
  cam.position = Vec3f{-20.0f, 4.0f, 12.0f};  // every ray runs above the top (z > 8)
  const std::vector<float> above = Render(vol.View(), cam, s);
  for (size_t i = 0; i < above.size(); i += 3) {
    EXPECT_EQ(above[i], 0.3f);
    EXPECT_EQ(above[i + 1], 0.2f);
    EXPECT_EQ(above[i + 2], 0.1f);
  }
  cam.position.z = 4.0f;  // the same rays through the middle see fire and smoke
  const std::vector<float> through = Render(vol.View(), cam, s);
  EXPECT_GT(std::fabs(through[0] - 0.3f), 0.05f);
}

TEST(RenderPreview, ShadowAmountZeroIgnoresTheLightDirection) {
  TestVolume vol(16);
  vol.Fill(3, 13, 2.0f, 0.0f);  // a dense, cold block of smoke
  RenderSettings s = CpuSettings();
  s.shadowAmount = 0.0f;
  s.lightDir = Vec3f{0, 0, 1};
  const auto top = Render(vol.View(), FrontCamera(16), s);
  s.lightDir = Vec3f{0, 1, 0};  // from behind the block
  const auto behind = Render(vol.View(), FrontCamera(16), s);
  EXPECT_EQ(MaxAbsDiff(top, behind), 0.0f);

  // Fully shadowed, light through the whole block darkens the smoke the camera sees.
  s.shadowAmount = 1.0f;
  const auto shadowed = Render(vol.View(), FrontCamera(16), s);
  s.lightDir = Vec3f{0, -1, 0};  // from the camera's side: the front face is lit directly
  const auto lit = Render(vol.View(), FrontCamera(16), s);
  EXPECT_LT(Sum(shadowed), Sum(lit) * 0.8f);
  EXPECT_LT(Sum(shadowed), Sum(behind) * 0.8f);
}

TEST(RenderPreview, DetailAmountZeroDoesNotDependOnDetailScale) {
  TestVolume vol(16);
  vol.Fill(2, 14, 0.6f, 1.0f);
  RenderSettings s = CpuSettings();
  s.detailAmount = 0.0f;
  s.detailScale = 0.3f;
  const auto a = Render(vol.View(), FrontCamera(16), s);
  s.detailScale = 6.0f;
  const auto b = Render(vol.View(), FrontCamera(16), s);
  EXPECT_EQ(MaxAbsDiff(a, b), 0.0f);
  // With detail on, the scale changes the image: the check above could fail.
  s.detailAmount = 1.0f;
  const auto c = Render(vol.View(), FrontCamera(16), s);
  s.detailScale = 0.3f;
  const auto d = Render(vol.View(), FrontCamera(16), s);
  EXPECT_GT(MaxAbsDiff(c, d), 1e-3f);
  EXPECT_GT(MaxAbsDiff(a, d), 1e-3f);
}

TEST(RenderPreview, FireIsWarmAndExposureDoubles) {
  TestVolume vol(16);
  vol.Fill(5, 11, 0.05f, 1.4f);  // thin smoke, 1700 K
  RenderSettings s = CpuSettings();
  s.background = Vec3f{0, 0, 0};
  const RenderCamera cam = FrontCamera(16, 32, 32);
  const auto image = Render(vol.View(), cam, s);
  const size_t centre = (size_t(16) * 32 + 16) * 3;
  EXPECT_GT(image[centre], image[centre + 1]);
  EXPECT_GT(image[centre + 1], image[centre + 2]);
  EXPECT_GT(image[centre], 0.2f);
  EXPECT_EQ(image[0] + image[1] + image[2], 0.0f);  // the corner ray misses the block
  s.exposure = 1.0f;
  const auto brighter = Render(vol.View(), cam, s);
  for (size_t i = 0; i < image.size(); ++i) ASSERT_NEAR(brighter[i], image[i] * 2.0f, 1e-6f * (1.0f + image[i]));
  // Two CPU renders are identical.
  s.exposure = 0.0f;
  EXPECT_EQ(MaxAbsDiff(image, Render(vol.View(), cam, s)), 0.0f);
}

TEST(RenderPreview, MissingDensityShowsBackgroundAndFireOnly) {
  TestVolume vol(16);
  vol.Fill(5, 11, 0.0f, 1.4f);
  RenderVolume v = vol.View();
  v.density = nullptr;
  RenderSettings s = CpuSettings();
  s.background = Vec3f{0.1f, 0.1f, 0.1f};
  const auto image = Render(v, FrontCamera(16, 32, 32), s);
  EXPECT_EQ(image[0], 0.1f);                       // corner: background
  EXPECT_GT(image[(16 * 32 + 16) * 3], 0.3f);      // centre: fire
  v.temperature = nullptr;
  const auto empty = Render(v, FrontCamera(16, 32, 32), s);
  for (float c : empty) ASSERT_EQ(c, 0.1f);
}

// ---- Voxel colours ------------------------------------------------------------------------------

// A column of smoke one cell wide lit from straight above: the shadow of cell z counts the cells
// above it, and the colour follows from that by hand.
TEST(ShadeVoxels, ColumnUnderOverheadLight) {
  const int32_t k = 6;
  std::vector<float> density(k, 0.4f);
  RenderVolume v;
  v.density = density.data();
  v.nx = v.ny = 1;
  v.nz = k;
  v.cellSize = 0.5f;
  RenderSettings s = CpuSettings();
  s.lightDir = Vec3f{0, 0, 3};  // normalised by the renderer
  for (float amount : {0.0f, 1.0f}) {
    SCOPED_TRACE(amount);
    s.shadowAmount = amount;
    std::vector<float> out(size_t(k) * 4);
    bool gpu = true;
    ASSERT_TRUE(ShadeVoxels(v, s, out.data(), gpu));
    EXPECT_FALSE(gpu);
    const double scale = 3.0 / (0.5 * 20.0);  // smokeDensity / (cellSize * 20)
    const double a = 1.0 - std::exp(-0.4 * scale * 0.5);
    for (int32_t z = 0; z < k; ++z) {
      const double shadow = std::exp(-double(k - 1 - z) * 0.4 * scale * 0.5);
      const double vis = 1.0 - (1.0 - shadow) * amount;
      const double r = (vis * 1.2 + 0.1) * a * 0.3;
      const double b = (vis * 1.1 + 0.16) * a * 0.32;
      EXPECT_NEAR(out[size_t(z) * 4 + 0], r, 1e-5);
      EXPECT_NEAR(out[size_t(z) * 4 + 2], b, 1e-5);
      EXPECT_NEAR(out[size_t(z) * 4 + 3], a, 1e-6);
    }
  }
  bool gpu = false;
  EXPECT_FALSE(ShadeVoxels(v, s, nullptr, gpu));
  v.nz = 0;
  std::vector<float> out(4);
  EXPECT_FALSE(ShadeVoxels(v, s, out.data(), gpu));
}

TEST(ShadeVoxels, FireEmitsAndIsOpaque) {
  TestVolume vol(8);
  vol.Fill(0, 8, 0.0f, 1.7f);
  std::vector<float> out(size_t(8 * 8 * 8) * 4);
  bool gpu = true;
  RenderSettings s = CpuSettings();
  ASSERT_TRUE(ShadeVoxels(vol.View(), s, out.data(), gpu));
  const size_t i = size_t(4 + 8 * (4 + 8 * 4)) * 4;
  EXPECT_GT(out[i], out[i + 2]);                                  // warm
  EXPECT_NEAR(out[i + 3], 1.0f - std::exp(-0.12f * 4.0f), 1e-5f);  // capped strength 4
}

// ---- Tone mapping -------------------------------------------------------------------------------

TEST(ToneMap, ReferenceValues) {
  // Computed with the filmic curve and sRGB encoding in double precision.
  const float in[] = {-3.0f, 0.0f, 0.001f, 0.01f, 0.18f, 0.5f, 1.0f, 2.0f, 1e6f, NAN};
  const uint8_t expect[] = {0, 0, 1, 12, 141, 206, 232, 245, 255, 0};
  uint8_t out[3 * 4] = {};
  for (size_t i = 0; i < std::size(in); ++i) EXPECT_EQ(ToneMapValue(in[i]), expect[i]) << in[i];
  const float image[12] = {0.18f, 0.5f, 1.0f, 0, 0, 0, 2.0f, 1e6f, 0.01f, -1, 0.001f, 0.5f};
  ToneMapToBytes(image, 2, 2, out);
  const uint8_t bytes[12] = {141, 206, 232, 0, 0, 0, 245, 255, 12, 0, 1, 206};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(out[i], bytes[i]) << i;
}

TEST(ToneMap, TableGivesTheFormulasBytes) {
  // Around every byte's threshold, where the formula's rounding is least regular, and across the
  // whole range of non-negative floats, infinity and the patterns above it included.
  std::vector<uint32_t> thresholds;
  uint8_t last = 0;
  for (uint32_t bits = 0; bits <= 0x7F800000u; bits += 997) {
    const uint8_t b = render_detail::ToneMapFormula(std::bit_cast<float>(bits));
    if (b != last) thresholds.push_back(bits);
    last = b;
    ASSERT_EQ(ToneMapValue(std::bit_cast<float>(bits)), b) << std::hex << bits;
  }
  EXPECT_GT(thresholds.size(), 200u);
  for (const uint32_t at : thresholds)
    for (uint32_t bits = at - 1200; bits < at + 1200; ++bits)
      ASSERT_EQ(ToneMapValue(std::bit_cast<float>(bits)), render_detail::ToneMapFormula(std::bit_cast<float>(bits)))
          << std::hex << bits;
  for (const uint32_t bits : {0x7F800000u, 0x7FC00000u, 0x80000000u, 0xFF800000u, 0x00000001u})
    EXPECT_EQ(ToneMapValue(std::bit_cast<float>(bits)), render_detail::ToneMapFormula(std::bit_cast<float>(bits)));
}

TEST(ToneMap, ImagesSharedAmongThreadsMapEveryValue) {
  const int32_t w = 97, h = 41;  // enough pixels for the rows to be shared among threads
  std::vector<float> image(size_t(w) * h * 3);
  for (size_t i = 0; i < image.size(); ++i) image[i] = float(i % 1000) * 0.004f - 0.5f;
  std::vector<uint8_t> bytes(image.size(), 7);
  ToneMapToBytes(image.data(), w, h, bytes.data());
  for (size_t i = 0; i < image.size(); ++i) ASSERT_EQ(bytes[i], render_detail::ToneMapFormula(image[i])) << i;
}

// ---- Devices ------------------------------------------------------------------------------------

// The GPU and CPU run the same bodies; they may differ by fused multiply-adds and the last step
// before the early exit, so pixels agree within 2e-3 + 1e-3 x value and on average within 1e-4.
TEST(Devices, GpuMatchesCpu) {
  if (!RenderGpuAvailable()) GTEST_SKIP() << "no CUDA device: the GPU path is not checked on this machine";
  TestVolume vol(24);
  vol.Fill(4, 20, 0.8f, 0.9f);
  vol.Fill(8, 16, 0.3f, 1.6f);
  RenderSettings s = CpuSettings();
  s.detailAmount = 0.5f;
  const RenderCamera cam = FrontCamera(24, 96, 64);
  bool gpu = true;
  const auto cpu = Render(vol.View(0.1f), cam, s, &gpu);
  EXPECT_FALSE(gpu);
  s.useGpu = true;
  const auto dev = Render(vol.View(0.1f), cam, s, &gpu);
  EXPECT_TRUE(gpu);
  double mean = 0.0;
  for (size_t i = 0; i < cpu.size(); ++i) {
    ASSERT_NEAR(dev[i], cpu[i], 2e-3f + 1e-3f * std::fabs(cpu[i])) << "value " << i;
    mean += std::fabs(dev[i] - cpu[i]);
  }
  EXPECT_LT(mean / double(cpu.size()), 1e-4);

  std::vector<float> a(size_t(24 * 24 * 24) * 4), b(a.size());
  s.useGpu = false;
  ASSERT_TRUE(ShadeVoxels(vol.View(0.1f), s, a.data(), gpu));
  s.useGpu = true;
  ASSERT_TRUE(ShadeVoxels(vol.View(0.1f), s, b.data(), gpu));
  EXPECT_TRUE(gpu);
  EXPECT_LT(MaxAbsDiff(a, b), 1e-4f);
}

}  // namespace
}  // namespace tf
