// The bridge on domains whose frames the tests write into their cache folders: placement, order
// and shading of the delivered arrays against the black-body colours worked out again here, the
// ring and the holders, the refusals and the summary; then a sibling module reading a baked domain
// inside the tolvaris program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/scene/scene.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "render/render.h"
#include "script/bridge.h"
#include "tests/e2e/e2e_scene.h"
#include "tests/support/tolvaris_program.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using Int3 = std::array<int32_t, 3>;
using Rgb = std::array<double, 3>;

// The domains' look: smokeDensityR 4, fireIntensity 2, fireTempScale 1.5, fireTint (1, 0.5, 0.25).
constexpr double kVoxel = 0.02;  // 2 scene units of 1 cm
constexpr host::TimeValue kTicksPerFrame = 160;

double Extinction(double d, double k) { return 4.0 / (20.0 * k) * d; }

Rgb Emission(double t, double k) {
  const double s = t * 1.5, kelvin = 1000.0 * s + 300.0;
  if (!(s > 0.15)) return {0.0, 0.0, 0.0};
  const double p = std::clamp((kelvin - 300.0) / 4000.0 * 127.0, 0.0, 126.999), f = p - std::floor(p);
  const Vec3f lo = BlackbodyColor(float(300.0 + std::floor(p) * 4000.0 / 127.0));
  const Vec3f hi = BlackbodyColor(float(300.0 + (std::floor(p) + 1.0) * 4000.0 / 127.0));
  const double w = 2.0 * 3.0 / (10.0 * k) * std::max(0.0, std::pow(kelvin / 1500.0, 6) - 0.08);
  return {w * (lo.x + f * (hi.x - lo.x)), w * 0.5 * (lo.y + f * (hi.y - lo.y)), w * 0.25 * (lo.z + f * (hi.z - lo.z))};
}

// Frame `number` of a grid of 2-unit cells; value(channel, x, y, z) fills the crop box. The file
// holds halves, so the tests use values that halves hold exactly.
void WriteFrame(const fs::path& folder, int number, Int3 grid, Int3 origin, Int3 size,
                const std::function<float(int, int, int, int)>& value) {
  CacheFrame f;
  f.header.nx = grid[0], f.header.ny = grid[1], f.header.nz = grid[2];
  f.header.cellSize = float(kVoxel), f.header.cellSizeScene = 2.0f, f.header.frame = number;
  f.header.cropOrigin = origin, f.header.cropSize = size, f.header.channelMask = kCacheAlwaysMask;
  for (int c = 0; c < 4 && CacheCropValues(f.header) > 0; ++c)
    for (int z = 0; z < size[2]; ++z)
      for (int y = 0; y < size[1]; ++y)
        for (int x = 0; x < size[0]; ++x) f.channels[size_t(c)].push_back(value(c, x, y, z));
  fs::create_directories(folder);
  ASSERT_TRUE(WriteCacheFrame(f, MakeFramePath(folder.string(), "fire", number, "tfc")));
}

void WriteUniform(const fs::path& folder, int number, float density, float temperature) {
  WriteFrame(folder, number, {4, 4, 4}, {0, 0, 0}, {4, 4, 4},
             [=](int c, int, int, int) { return c == 0 ? density : c == 1 ? temperature : 0.0f; });
}

void ExpectNear(const float (&v)[3], Rgb expected) {
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(v[i], expected[i], 1e-6) << i;
}

// One delivered frame, given back when it goes.
struct Delivered {
  Delivered(host::Node* node, host::TimeValue t) : ok(GetBridgeTable()->getFrame(node, t, &f)) {}
  ~Delivered() { GetBridgeTable()->releaseFrame(f.holder); }
  TfrBridgeFrame f{};
  int ok = 0;
};

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(RegisterFireClass(&why)) << why;
    scene_.time.metresPerUnit = 0.01;
    node_ = scene_.CreateNode("Fire", MakeDomain(folder_ / "a"));
  }
  static std::unique_ptr<host::Object> MakeDomain(const fs::path& cache) {
    auto object = host::CreateObject(kFireClassName, nullptr);
    host::ParamBlock& p = *AsFireObject(object.get())->Params();
    EXPECT_TRUE(p.SetInt(kLiveMode, 0, 0) && p.SetString(kCachePath, 0, cache.string()) &&
                p.SetFloat(kSmokeDensityR, 0, 4.0f) && p.SetFloat(kFireIntensity, 0, 2.0f) &&
                p.SetFloat(kFireTempScale, 0, 1.5f) && p.SetColour(kFireTint, 0, {1.0f, 0.5f, 0.25f}));
    return object;
  }
  FireObject* Domain() const { return AsFireObject(node_->GetObject()); }

  host::testing::TempFolder folder_;
  host::Scene scene_;
  host::Node* node_ = nullptr;
};

TEST_F(Bridge, PlacesTheCropBoxInMetresWithZFastest) {
  WriteFrame(folder_ / "a", 0, {10, 8, 6}, {2, 1, 3}, {3, 2, 4}, [](int c, int x, int y, int z) {
    return c == kChannelDensity ? float(1 + x + 10 * y + 100 * z) : c == kChannelFlame ? float(-x - 10 * y) : 0.0f;
  });
  node_->transform.position.Set(0, {100, -50, 20}, false);
  node_->transform.scale.Set(0, {2, 2, 2}, false);
  const Delivered d(node_, 0);
  ASSERT_TRUE(d.ok);
  const TfrBridgeFrame& f = d.f;
  EXPECT_EQ(std::vector<uint32_t>({f.nx, f.ny, f.nz}), std::vector<uint32_t>({3, 2, 4}));
  EXPECT_FLOAT_EQ(f.voxel, 0.02f);
  // Across: crop offset less half the grid; up: the crop offset alone.
  ExpectNear(f.origin, {-0.06, -0.06, 0.06});
  ExpectNear(f.row1, {0, 2, 0});
  ExpectNear(f.translation, {1.0, -0.5, 0.2});
  EXPECT_EQ(f.generation, Domain()->DisplayGeneration());
  for (int x = 0; x < 3; ++x)
    for (int y = 0; y < 2; ++y)
      for (int z = 0; z < 4; ++z) {
        const size_t i = size_t(z + 4 * (y + 2 * x));
        EXPECT_FLOAT_EQ(f.extinction[i], float(Extinction(1 + x + 10 * y + 100 * z, kVoxel))) << i;
        EXPECT_EQ(f.third[i], float(-x - 10 * y)) << i;
      }
}

TEST_F(Bridge, EmitsOnlyAboveTheThresholdAndClampsTheColourTable) {
  // Scaled by 1.5: below zero, 0.14, 1500 K, 3300 K, and 4800 K, beyond the last table entry.
  const float temperatures[] = {-3.0f, 0.09375f, 0.8125f, 2.0f, 3.0f};
  WriteFrame(folder_ / "a", 0, {5, 1, 1}, {0, 0, 0}, {5, 1, 1},
             [&](int c, int x, int, int) { return c == 1 ? temperatures[x] : c == 0 ? float(x + 1) : 0.0f; });
  const Delivered d(node_, 0);
  ASSERT_TRUE(d.ok);
  double extinction = 0.0, emission = 0.0, largest = 0.0;
  for (int x = 0; x < 5; ++x) {
    const Rgb e = Emission(temperatures[x], kVoxel);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(d.f.emission[3 * x + c], e[size_t(c)], 1e-4 * e[size_t(c)]) << x;
    extinction += Extinction(x + 1, kVoxel);
    emission += e[0] + e[1] + e[2];
    largest = std::max(largest, e[0] + e[1] + e[2]);
  }
  EXPECT_EQ(std::vector<float>(d.f.emission, d.f.emission + 6), std::vector<float>(6, 0.0f));
  char text[200];
  std::snprintf(text, sizeof text, "bridge v2: 5x1x1 voxel 0.02 m origin -0.05 -0.01 0 ext=%.4g emission=%.4g max=%.4g",
                extinction, emission, largest);
  EXPECT_EQ(BridgeInfoText(node_, 0), text);
}

TEST_F(Bridge, RingKeepsAVolumeUntilItsKeyChangesAndHoldersOutliveIt) {
  WriteUniform(folder_ / "a", 0, 1.0f, 0.8125f);
  WriteUniform(folder_ / "a", 1, 1.0f, 0.8125f);
  const Delivered a(node_, 0);
  {
    const Delivered again(node_, 0);
    ASSERT_TRUE(a.ok && again.ok);
    EXPECT_EQ(std::vector<const float*>({again.f.extinction, again.f.emission, again.f.third}),
              std::vector<const float*>({a.f.extinction, a.f.emission, a.f.third}));
    node_->transform.position.Set(0, {0, 0, 50}, false);
    const Delivered moved(node_, 0);  // a kept volume still follows the node
    EXPECT_EQ(moved.f.emission, a.f.emission);
    EXPECT_FLOAT_EQ(moved.f.translation[2], 0.5f);
  }
  // Frame 1, then frame 0 loaded again: the display generation moved both times.
  const Delivered next(node_, kTicksPerFrame), back(node_, 0);
  EXPECT_NE(next.f.emission, a.f.emission);
  EXPECT_NE(back.f.emission, a.f.emission);
  ASSERT_TRUE(Domain()->Params()->SetFloat(kFireIntensity, 0, 3.0f));
  const Delivered brighter(node_, 0);
  EXPECT_NE(brighter.f.emission, back.f.emission);
  EXPECT_FLOAT_EQ(brighter.f.emission[0], 1.5f * back.f.emission[0]);
  Domain()->InvalidateDisplayFrame();
  const Delivered reloaded(node_, 0);
  EXPECT_NE(reloaded.f.emission, brighter.f.emission);
  // Four volumes made since pushed the first out of the ring: its first holder alone keeps it
  // (the sanitizer build sees any read of freed memory).
  const Rgb e = Emission(0.8125, kVoxel);
  for (size_t i = 0; i < 64; ++i) EXPECT_NEAR(a.f.emission[3 * i + 1], e[1], 1e-4 * e[1]) << i;
}

TEST_F(Bridge, ANewDomainOnTheSameNodeGetsItsOwnVolume) {
  WriteUniform(folder_ / "a", 0, 1.0f, 0.0f);
  WriteUniform(folder_ / "b", 0, 2.0f, 0.0f);
  const Delivered before(node_, 0);
  node_->SetObject(MakeDomain(folder_ / "b"));
  const Delivered after(node_, 0);
  ASSERT_TRUE(before.ok && after.ok);
  ASSERT_EQ(after.f.generation, before.f.generation) << "the test needs both domains at one generation";
  EXPECT_FLOAT_EQ(after.f.extinction[0], 2.0f * before.f.extinction[0]);
}

TEST_F(Bridge, NodesWithoutAFrameGetNone) {
  const TfrBridge& b = *GetBridgeTable();
  host::Node* box = scene_.CreateNode("Box", host::CreateObject("Box", nullptr));
  EXPECT_EQ(b.isFireNode(nullptr, nullptr, nullptr) + b.isFireNode(box, nullptr, nullptr), 0);
  EXPECT_EQ(b.isFireNode(node_, nullptr, nullptr), 1);
  EXPECT_EQ(BridgeInfoText(nullptr, 0), "bridge: not a fire node");
  EXPECT_EQ(BridgeInfoText(box, 0), "bridge: not a fire node");
  EXPECT_EQ(BridgeInfoText(node_, 0), "bridge: no frame");
  WriteFrame(folder_ / "a", 1, {4, 4, 4}, {0, 0, 0}, {4, 0, 4}, [](int, int, int, int) { return 1.0f; });
  WriteUniform(folder_ / "a", 2, 1.0f, 1.0f);
  TfrBridgeFrame f{};
  EXPECT_EQ(b.getFrame(node_, kTicksPerFrame, &f), 0);  // the crop box is empty
  EXPECT_EQ(b.getFrame(node_, 2 * kTicksPerFrame, nullptr), 0);
}

TEST(BridgeSettings, CompareByValueNotByBytes) {
  RenderSettings a = DefaultRenderSettings(), b = a;  // equal, over different padding after useGpu
  const size_t pad = offsetof(RenderSettings, useGpu) + 1, padBytes = offsetof(RenderSettings, fireTint) - pad;
  std::memset(reinterpret_cast<unsigned char*>(&a) + pad, 0x00, padBytes);
  std::memset(reinterpret_cast<unsigned char*>(&b) + pad, 0xab, padBytes);
  EXPECT_TRUE(SameRenderSettings(a, b));
  b.fireIntensity = 1.5f;
  EXPECT_FALSE(SameRenderSettings(a, b));
}

// BridgeProbe.read's figures: dimensions, extinction and emission sums, generation, same arrays.
std::vector<double> ProbeFigures(const std::string& line) {
  static const std::regex format(R"((\d+)x(\d+)x(\d+) ext=(\S+) emission=(\S+) generation=(\d+) same=(\d))");
  std::smatch m;
  std::vector<double> v;
  if (std::regex_match(line, m, format))
    for (size_t i = 1; i < m.size(); ++i) v.push_back(std::stod(m[i].str()));
  return v;
}

TEST(BridgeSibling, ReadsABakedDomainInTheProgram) {
  using host::testing::RunProgram;
  host::testing::TempFolder work;
  const fs::path cache = work / "cache", scene = work / "scene.json", plugins = work / "plugins";
  host::testing::WriteText(scene, e2e::SceneJson(e2e::Range(0, 1) + ", " + e2e::CachePath(cache) + R"(,
      {"name": "useGPU", "value": false}, {"name": "smokeDensityR", "value": 4}, {"name": "fireIntensity", "value": 2},
      {"name": "fireTempScale", "value": 1.5}, {"name": "fireTint", "value": [1, 0.5, 0.25]})"));
  ASSERT_EQ(RunProgram({"--documents", work.path().string(), "simulate", scene.string()}).status, 0);
  fs::create_directories(plugins);
  fs::create_symlink(TFR_FIRE_MODULE, plugins / "TolvarisFire.dlo");
  fs::create_symlink(TFR_PROBE_MODULE, plugins / "BridgeProbe.dlo");
  host::testing::WriteText(work / "probe.lua", R"(scene.setFrame(1)
local fire = scene.find("Fire")
print(BridgeProbe.read(fire)) print(BridgeProbe.read(fire))
scene.setParam(fire, "fireIntensity", 5)
print(BridgeProbe.read(fire)) print(BridgeProbe.read(scene.find("Log"))))");
  const auto o = RunProgram({"--documents", work.path().string(), "--plugins", plugins.string(), "run",
                             (work / "probe.lua").string(), "--scene", scene.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  std::istringstream lines(o.out);
  std::string line[4];
  for (std::string& l : line) std::getline(lines, l);
  const std::vector<double> first = ProbeFigures(line[0]), again = ProbeFigures(line[1]), hot = ProbeFigures(line[2]);
  ASSERT_TRUE(first.size() == 7 && again.size() == 7 && hot.size() == 7) << o.out;

  CacheFrame frame;  // what the probe should have read: frame 1, at 1 cm a scene unit
  ASSERT_TRUE(ReadCacheFrame(MakeFramePath(cache.string(), "fire", 1, "tfc"), frame));
  const double k = frame.header.cellSizeScene * 0.01;
  double extinction = 0.0, emission = 0.0;
  for (size_t i = 0; i < CacheCropValues(frame.header); ++i) {
    extinction += Extinction(frame.channels[kChannelDensity][i], k);
    const Rgb e = Emission(frame.channels[kChannelTemperature][i], k);
    emission += e[0] + e[1] + e[2];
  }
  ASSERT_GT(emission, 0.0) << "the baked frame holds no fire";
  EXPECT_EQ(first[0] * first[1] * first[2], double(CacheCropValues(frame.header)));
  EXPECT_NEAR(first[3], extinction, 1e-4 * extinction);
  EXPECT_NEAR(first[4], emission, 1e-4 * emission);
  // Read again from the ring; then shaded anew at 2.5 times the intensity.
  EXPECT_EQ(std::vector<double>({first[6], again[5], again[6]}), std::vector<double>({0, first[5], 1}));
  EXPECT_GT(hot[5], first[5]);
  EXPECT_EQ(hot[6], 0);
  EXPECT_NEAR(hot[4], 2.5 * first[4], 1e-5 * hot[4]);
  EXPECT_EQ(line[3], "not a fire node");
}

}  // namespace
}  // namespace tf
