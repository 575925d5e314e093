// The GPU check's comparison of two bakes, on frames made here and on two real CPU bakes: it must
// pass bakes that hold the same fire and fail those that differ beyond what the GPU is allowed.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tests/e2e/e2e_scene.h"
#include "tests/gpu/bake_compare.h"
#include "tests/cache/cache_test_util.h"

namespace tf::gpucheck {
namespace {

using tf::testing::MakeSmallFrame;

void Scale(CacheFrame& f, int channel, float factor) {
  for (float& v : f.channels[size_t(channel)]) v *= factor;
}

struct Alteration {
  const char* name;
  std::function<void(CacheFrame&)> change;
  bool within;
};

void PrintTo(const Alteration& a, std::ostream* os) { *os << a.name; }

class CompareFramesTest : public ::testing::TestWithParam<Alteration> {};

TEST_P(CompareFramesTest, JudgesTheSecondFrame) {
  const CacheFrame a = MakeSmallFrame(7, 1u << kChannelVelX);
  CacheFrame b = a;
  GetParam().change(b);
  BakeComparison c;
  c.frames.push_back(CompareFrames(a, b));
  EXPECT_EQ(c.Within(BakeTolerance{}), GetParam().within)
      << "totals " << c.frames[0].total << ", cells " << c.frames[0].field << " " << c.frames[0].problem;
}

// The same values in a larger crop, padded with zeros: only where the values sit in the grid counts.
void PadCrop(CacheFrame& f) {
  CacheFrameHeader& h = f.header;
  const int sx = h.cropSize[0], sy = h.cropSize[1], sz = h.cropSize[2];
  for (std::vector<float>& ch : f.channels) {
    if (ch.empty()) continue;
    std::vector<float> wide(size_t((sx + 1) * sy * sz), 0.0f);
    for (int z = 0; z < sz; ++z)
      for (int y = 0; y < sy; ++y)
        for (int x = 0; x < sx; ++x) wide[size_t(x + 1 + (sx + 1) * (y + sy * z))] = ch[size_t(x + sx * (y + sy * z))];
    ch = std::move(wide);
  }
  h.cropOrigin[0] -= 1;
  h.cropSize[0] += 1;
}

INSTANTIATE_TEST_SUITE_P(
    Alterations, CompareFramesTest,
    ::testing::Values(Alteration{"Identical", [](CacheFrame&) {}, true},
                      Alteration{"CropPaddedWithZeros", PadCrop, true},
                      Alteration{"DensityOnePercentMore", [](CacheFrame& f) { Scale(f, kChannelDensity, 1.01f); }, true},
                      Alteration{"FuelFivePercentMore", [](CacheFrame& f) { Scale(f, kChannelFuel, 1.05f); }, false},
                      // Velocity keeps no total; its cells must still agree.
                      Alteration{"VelocityReversed", [](CacheFrame& f) { Scale(f, kChannelVelX, -1.0f); }, false},
                      // Every total the same, every value one cell over.
                      Alteration{"ShiftedOneCell", [](CacheFrame& f) { f.header.cropOrigin[0] += 1; }, false},
                      Alteration{"OtherGrid", [](CacheFrame& f) { f.header.nx += 1; }, false},
                      Alteration{"OtherChannels", [](CacheFrame& f) {
                                   f.header.channelMask |= 1u << kChannelDust;
                                   f.channels[kChannelDust] = f.channels[kChannelDensity];
                                 }, false}),
    [](const ::testing::TestParamInfo<Alteration>& p) { return std::string(p.param.name); });

// Two bakes of the small end-to-end scene on the CPU: the same scene twice is identical, more fuel
// differs beyond the tolerance, and a bake with a frame missing cannot be compared.
TEST(CompareBakes, RealBakesOnTheCpu) {
  using namespace tf::e2e;
  TempFolder work;
  auto bake = [&](const std::string& name, const std::string& extra) {
    const std::filesystem::path scene = work.Write(name + ".json",
        SceneJson(CachePath(work / name) + ", " + Range(0, 6) + R"(, {"name": "useGPU", "value": false})" + extra));
    const Outcome o = RunProgram({"--documents", work.path().string(), "simulate", scene.string()});
    EXPECT_EQ(o.status, 0) << o.err;
    return (work / name).string();
  };
  const std::string a = bake("a", ""), again = bake("again", "");
  const std::string moreFuel = bake("fuel", R"(, {"name": "fuelRate", "value": 12})");

  const BakeComparison same = CompareBakes(a, again);
  ASSERT_EQ(same.frames.size(), 7u) << same.problem;
  EXPECT_TRUE(same.Within(BakeTolerance{.total = 0.0, .field = 0.0}));
  EXPECT_FALSE(CompareBakes(a, moreFuel).Within(BakeTolerance{}));

  std::filesystem::remove(std::filesystem::path(again) / "fire_0003.tfc");
  const BakeComparison missing = CompareBakes(a, again);
  EXPECT_FALSE(missing.Within(BakeTolerance{}));
  EXPECT_NE(missing.problem.find("different frames"), std::string::npos) << missing.problem;
  EXPECT_FALSE(CompareBakes(a, (work / "nowhere").string()).Within(BakeTolerance{}));
}

}  // namespace
}  // namespace tf::gpucheck
