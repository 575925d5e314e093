// Frame capture: the crop, the channels a frame carries, half rounding in memory, capture from a
// stepped solver, and flow displacement.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "cache/frame_capture.h"
#include "cache/half.h"
#include "cache_test_util.h"
#include "solver/fire_sim.h"

namespace tf {
namespace {

using Field = std::vector<float>;

void ExpectSameFrame(const CacheFrame& a, const CacheFrame& b) {
  uint8_t ha[kCacheHeaderBytes], hb[kCacheHeaderBytes];
  EncodeCacheHeader(a.header, ha);
  EncodeCacheHeader(b.header, hb);
  EXPECT_EQ(0, std::memcmp(ha, hb, kCacheHeaderBytes)) << "headers differ";
  for (int c = 0; c < kCacheChannels; ++c) {
    ASSERT_EQ(a.channels[c].size(), b.channels[c].size()) << "channel " << c;
    if (a.channels[c].empty()) continue;  // memcmp must not see the null data() of an empty array
    EXPECT_EQ(0, std::memcmp(a.channels[c].data(), b.channels[c].data(), a.channels[c].size() * sizeof(float)))
        << "channel " << c;
  }
}

CaptureChannels Views(const std::array<Field, kCacheChannels>& f) {
  CaptureChannels v;
  for (int c = 0; c < kCacheChannels; ++c) v[c] = f[c];
  return v;
}

// Checks a frame against the full-grid arrays it was built from: the crop is the visible box
// grown by one and clamped, every stored value is the rounded source value at its place, and each
// channel's maximum is its largest stored magnitude.
void ExpectFrameOf(const CacheFrame& frame, const std::array<Field, kCacheChannels>& src, int nx, int ny, int nz) {
  const CacheFrameHeader& h = frame.header;
  int lo[3] = {nx, ny, nz}, hi[3] = {-1, -1, -1};
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < ny; ++y)
      for (int x = 0; x < nx; ++x) {
        const size_t i = size_t(x + nx * (y + ny * z));
        bool visible = false;
        for (int c : {kChannelDensity, kChannelTemperature, kChannelFlame, kChannelDust})
          visible |= !src[c].empty() && src[c][i] > kCaptureThreshold;
        if (!visible) continue;
        const int p[3] = {x, y, z};
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
      }
  const int n[3] = {nx, ny, nz};
  for (int a = 0; a < 3; ++a) {
    if (hi[0] < 0) break;
    EXPECT_EQ(h.cropOrigin[a], std::max(lo[a] - 1, 0)) << "axis " << a;
    EXPECT_EQ(h.cropOrigin[a] + h.cropSize[a] - 1, std::min(hi[a] + 1, n[a] - 1)) << "axis " << a;
  }
  for (int c = 0; c < kCacheChannels; ++c) {
    EXPECT_EQ(bool(h.channelMask & (1u << c)), !src[c].empty()) << "mask bit " << c;
    if (src[c].empty() || h.cropSize[0] == 0) {
      EXPECT_TRUE(frame.channels[c].empty()) << "channel " << c;
      EXPECT_EQ(h.channelMax[c], 0.0f) << "channel " << c;
      continue;
    }
    ASSERT_EQ(frame.channels[c].size(), size_t(h.cropSize[0] * h.cropSize[1] * h.cropSize[2])) << "channel " << c;
    float largest = 0.0f;
    for (int z = 0; z < h.cropSize[2]; ++z)
      for (int y = 0; y < h.cropSize[1]; ++y)
        for (int x = 0; x < h.cropSize[0]; ++x) {
          const size_t d = size_t(x + h.cropSize[0] * (y + h.cropSize[1] * z));
          const size_t s = size_t(x + h.cropOrigin[0] + nx * (y + h.cropOrigin[1] + ny * (z + h.cropOrigin[2])));
          ASSERT_EQ(frame.channels[c][d], RoundToHalf(src[c][s])) << "channel " << c << " at " << x << "," << y << "," << z;
          largest = std::max(largest, std::fabs(frame.channels[c][d]));
        }
    EXPECT_EQ(h.channelMax[c], largest) << "channel " << c;
  }
}

// ---- The crop ----------------------------------------------------------------------------------

TEST(FrameCrop, NothingVisibleGivesAnEmptyFrameThatReadsBack) {
  const int nx = 6, ny = 5, nz = 7, cells = nx * ny * nz;
  std::array<Field, kCacheChannels> f;
  for (int c = 0; c < 4; ++c) f[c].assign(cells, 0.0f);
  f[kChannelDensity][17] = kCaptureThreshold;  // only strictly above counts
  f[kChannelFuel].assign(cells, 5.0f);         // fuel alone shows nothing
  CacheFrame frame;
  ASSERT_TRUE(BuildCacheFrame(frame, nx, ny, nz, 0.05f, 2.0f, -4, Views(f)));
  EXPECT_EQ(frame.header.cropSize, (std::array<int32_t, 3>{0, 0, 0}));
  EXPECT_EQ(frame.header.cropOrigin, (std::array<int32_t, 3>{0, 0, 0}));
  ExpectFrameOf(frame, f, nx, ny, nz);  // mask bits 0 to 3 kept, channels empty, maxima 0
  testing::TempFolder dir;
  ASSERT_TRUE(WriteCacheFrame(frame, dir / "fire_m0004.tfc"));
  CacheFrame back;
  ASSERT_TRUE(ReadCacheFrame(dir / "fire_m0004.tfc", back));
  ExpectSameFrame(frame, back);
}

TEST(FrameCrop, OneHotCellGrowsByOneAndStopsAtTheGrid) {
  const int nx = 5, ny = 6, nz = 7;
  struct Case { int x, y, z, channel; std::array<int32_t, 3> origin, size; };
  const Case cases[] = {
      {0, 0, 0, kChannelTemperature, {0, 0, 0}, {2, 2, 2}},
      {4, 5, 6, kChannelFlame, {3, 4, 5}, {2, 2, 2}},
      {2, 3, 1, kChannelDust, {1, 2, 0}, {3, 3, 3}},
      {0, 3, 6, kChannelDensity, {0, 2, 5}, {2, 3, 2}},
  };
  for (const Case& k : cases) {
    std::array<Field, kCacheChannels> f;
    for (int c = 0; c < kCacheChannels; ++c) f[c].assign(nx * ny * nz, 0.0f);
    f[k.channel][size_t(k.x + nx * (k.y + ny * k.z))] = 0.3f;
    CacheFrame frame;
    ASSERT_TRUE(BuildCacheFrame(frame, nx, ny, nz, 0.05f, 2.0f, 1, Views(f)));
    EXPECT_EQ(frame.header.cropOrigin, k.origin) << "channel " << k.channel;
    EXPECT_EQ(frame.header.cropSize, k.size) << "channel " << k.channel;
  }
}

TEST(FrameCrop, BoxChannelsAndMaximaFollowTheData) {
  const int nx = 13, ny = 11, nz = 9, cells = nx * ny * nz;
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-3.0f, 3.0f);
    std::uniform_int_distribution<int> cell(0, cells - 1);
    std::array<Field, kCacheChannels> f;
    for (int c = 0; c < kCacheChannels; ++c) {
      if (c == kChannelDust && seed == 2) continue;                  // dust absent
      if (c >= kChannelVelX && c <= kChannelVelZ && seed == 3) continue;  // velocity absent
      f[c].assign(cells, 0.0f);
      // Velocity and fuel everywhere (they must not widen the box), the rest sparse.
      const bool everywhere = c == kChannelFuel || (c >= kChannelVelX && c <= kChannelVelZ);
      for (int i = 0; i < (everywhere ? cells : 3); ++i) f[c][size_t(everywhere ? i : cell(rng))] = value(rng);
    }
    if (!f[kChannelVelX].empty()) f[kChannelVelX][0] = 1.0e5f;  // stored as infinity, its maximum
    CacheFrame frame;
    ASSERT_TRUE(BuildCacheFrame(frame, nx, ny, nz, 0.05f, 2.0f, 7, Views(f)));
    SCOPED_TRACE(seed);
    ExpectFrameOf(frame, f, nx, ny, nz);
  }
}

// ---- Capture from the solver -------------------------------------------------------------------

class CaptureFromSolver : public ::testing::Test {
 protected:
  // A 12 x 10 x 16 grid with a small emitter above the floor, stepped a few frames on the CPU. A
  // negative emitter value makes a smoke-and-dust source.
  void Run(float emitterValue) {
    grid.nx = 12, grid.ny = 10, grid.nz = 16, grid.cellSize = 2.0f, grid.cellSizeM = 0.05f;
    ASSERT_TRUE(sim.Create(GridDesc{grid.nx, grid.ny, grid.nz, grid.cellSizeM}, kDefaultOpenSides, false));
    EmissionParams e;
    e.smokeRate = 1.0f;
    sim.SetEmission(e);
    Field mask(size_t(grid.nx * grid.ny * grid.nz), 0.0f);
    for (int y = 4; y < 6; ++y)
      for (int x = 5; x < 7; ++x) mask[size_t(x + grid.nx * (y + grid.ny * 2))] = emitterValue;
    ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
    FireParams p;
    p.emission = e;
    for (int i = 0; i < 3; ++i) sim.Step(p);
  }
  std::array<Field, kCacheChannels> Fields(bool velocity, bool dust) {
    const FieldId ids[] = {FieldId::Density, FieldId::Temperature, FieldId::Flame, FieldId::Fuel,
                           FieldId::VelX,    FieldId::VelY,        FieldId::VelZ,  FieldId::Dust};
    std::array<Field, kCacheChannels> f;
    for (int c = 0; c < kCacheChannels; ++c) {
      if ((c >= kChannelVelX && c <= kChannelVelZ && !velocity) || (c == kChannelDust && !dust)) continue;
      f[c].resize(size_t(grid.nx * grid.ny * grid.nz));
      EXPECT_TRUE(sim.CopyField(ids[c], f[c].data()));
    }
    return f;
  }
  FireSim sim;
  DomainGrid grid;
};

TEST_F(CaptureFromSolver, FrameMatchesTheFieldsAndReadsBackBitForBit) {
  ASSERT_NO_FATAL_FAILURE(Run(1.0f));
  ASSERT_EQ(sim.Total(FieldId::Dust), 0.0);
  CacheFrame frame;
  ASSERT_TRUE(CaptureFrame(sim, grid, frame, 12, true));
  const CacheFrameHeader& h = frame.header;
  EXPECT_EQ(h.channelMask, 0x7Fu);  // velocity asked for, no dust
  EXPECT_GT(h.cropSize[0] * h.cropSize[1] * h.cropSize[2], 0);
  EXPECT_LT(h.cropSize[2], grid.nz);  // three frames of rising fire do not fill the domain
  EXPECT_EQ(h.frame, 12);
  EXPECT_EQ(h.nx, grid.nx);
  EXPECT_EQ(h.nz, grid.nz);
  EXPECT_EQ(h.cellSize, grid.cellSizeM);
  EXPECT_EQ(h.cellSizeScene, grid.cellSize);
  EXPECT_EQ(h.pressureIterations, sim.Stats().iterations);
  EXPECT_EQ(h.maxDivergence, sim.Stats().maxDivergence);
  EXPECT_EQ(h.stepMs, sim.Stats().stepMs);
  ExpectFrameOf(frame, Fields(true, false), grid.nx, grid.ny, grid.nz);

  testing::TempFolder dir;
  const std::string path = MakeFramePath(dir.str(), "fire", 12, "tfc");
  ASSERT_TRUE(WriteCacheFrame(frame, path));
  CacheFrame back;
  ASSERT_TRUE(ReadCacheFrame(path, back));
  ExpectSameFrame(frame, back);
}

TEST_F(CaptureFromSolver, AWindowsFrameIsPlacedInTheWholeGrid) {
  ASSERT_NO_FATAL_FAILURE(Run(1.0f));
  CacheFrame own, placed;
  ASSERT_TRUE(CaptureFrame(sim, grid, own, 4, false));
  // The solver's grid as the window at (5, 6, 7) of a 30 x 20 x 40 box.
  DomainGrid box = grid;
  box.nx = 30, box.ny = 20, box.nz = 40;
  ASSERT_TRUE(CaptureFrame(sim, box, placed, 4, false, Int3{5, 6, 7}));
  EXPECT_EQ(placed.header.nx * 10000 + placed.header.ny * 100 + placed.header.nz, 302040);
  EXPECT_EQ(placed.header.cropOrigin, (std::array<int32_t, 3>{own.header.cropOrigin[0] + 5, own.header.cropOrigin[1] + 6,
                                                              own.header.cropOrigin[2] + 7}));
  EXPECT_EQ(placed.header.cropSize, own.header.cropSize);
  EXPECT_EQ(placed.channels, own.channels);
}

TEST_F(CaptureFromSolver, VelocityOnlyWhenAskedAndDustOnlyWhenPresent) {
  ASSERT_NO_FATAL_FAILURE(Run(-1.0f));
  ASSERT_GT(sim.Total(FieldId::Dust), 0.0);
  CacheFrame frame;
  ASSERT_TRUE(CaptureFrame(sim, grid, frame, 3, false));
  EXPECT_EQ(frame.header.channelMask, kCacheAlwaysMask | (1u << kChannelDust));
  ExpectFrameOf(frame, Fields(false, true), grid.nx, grid.ny, grid.nz);
}

TEST(Capture, BadInputLeavesAnEmptyFrame) {
  std::array<Field, kCacheChannels> f;
  for (int c = 0; c < 4; ++c) f[c].assign(4 * 4 * 4, 1.0f);
  f[kChannelDust].assign(4 * 4 * 4 - 1, 1.0f);  // one value short
  CacheFrame frame = testing::MakeSmallFrame(3);
  EXPECT_FALSE(BuildCacheFrame(frame, 4, 4, 4, 0.05f, 2.0f, 0, Views(f)));
  EXPECT_EQ(frame.header.channelMask, 0u);
  EXPECT_TRUE(frame.channels[kChannelDensity].empty());
  FireSim notCreated;
  frame = testing::MakeSmallFrame(3);
  EXPECT_FALSE(CaptureFrame(notCreated, DomainGrid{}, frame, 1, true));
  EXPECT_EQ(frame.header.channelMask, 0u);
  EXPECT_TRUE(frame.channels[kChannelDensity].empty());
  // A solver grid that does not lie inside the grid at its window would be placed outside it:
  // refused.
  FireSim small;
  ASSERT_TRUE(small.Create(GridDesc{4, 4, 4, 0.1f}, kDefaultOpenSides, false));
  for (const Int3 window : {Int3{1, 0, 0}, Int3{0, 0, -1}}) {
    frame = testing::MakeSmallFrame(3);
    EXPECT_FALSE(CaptureFrame(small, DomainGrid{}, frame, 1, false, window));
    EXPECT_TRUE(frame.channels[kChannelDensity].empty());
  }
  EXPECT_TRUE(CaptureFrame(small, DomainGrid{}, frame, 1, false));
}

// ---- Flow displacement ----------------------------------------------------------------------------

// A crop whose velocity swirls around the z axis (or is uniform), with smoke in the middle.
CacheFrame FlowFrame(bool uniform) {
  CacheFrame f;
  CacheFrameHeader& h = f.header;
  const int s = 12;
  h.nx = h.ny = h.nz = 20;
  h.cellSize = 0.05f;
  h.cropSize = {s, s, s};
  h.channelMask = 0xFFu;
  for (auto& ch : f.channels) ch.assign(size_t(s * s * s), 0.0f);
  for (int z = 0; z < s; ++z)
    for (int y = 0; y < s; ++y)
      for (int x = 0; x < s; ++x) {
        const size_t i = size_t(x + s * (y + s * z));
        const float dx = float(x) - 5.5f, dy = float(y) - 5.5f, r2 = dx * dx + dy * dy;
        f.channels[kChannelDensity][i] = RoundToHalf(std::max(0.0f, 1.0f - r2 / 25.0f) * float(z + 1) / 12.0f);
        f.channels[kChannelTemperature][i] = RoundToHalf(float(x) / 11.0f);
        f.channels[kChannelFlame][i] = (x + y + z) % 3 == 0 ? 1.0f : 0.0f;
        f.channels[kChannelFuel][i] = RoundToHalf(float(y) / 11.0f);
        f.channels[kChannelDust][i] = RoundToHalf(float(z) / 11.0f);
        f.channels[kChannelVelX][i] = uniform ? 0.7f : RoundToHalf(-dy * 0.4f);
        f.channels[kChannelVelY][i] = uniform ? -0.2f : RoundToHalf(dx * 0.4f);
        f.channels[kChannelVelZ][i] = uniform ? 1.5f : RoundToHalf(0.1f * float(z));
      }
  return f;
}

TEST(FlowDisplacement, UniformVelocityOrNoAmountChangesNothing) {
  const CacheFrame original = FlowFrame(true);
  CacheFrame f = original;
  EXPECT_TRUE(ApplyFlowDisplacement(f, 2.0f, 4.0f, 0.37f));  // runs, but curl is 0 everywhere
  ExpectSameFrame(f, original);
  f = FlowFrame(false);
  EXPECT_FALSE(ApplyFlowDisplacement(f, 0.0f, 4.0f, 0.37f));
  ExpectSameFrame(f, FlowFrame(false));
  f.channels[kChannelVelZ].clear();  // a frame captured without velocity
  EXPECT_FALSE(ApplyFlowDisplacement(f, 2.0f, 4.0f, 0.37f));
  EXPECT_EQ(f.channels[kChannelDensity], FlowFrame(false).channels[kChannelDensity]);
}

TEST(FlowDisplacement, MovesScalarsWithinTheirRangeAndLeavesFuelAndVelocity) {
  const CacheFrame original = FlowFrame(false);
  for (float amount : {0.5f, 10.0f}) {
    CacheFrame f = original;
    ASSERT_TRUE(ApplyFlowDisplacement(f, amount, amount > 1.0f ? 64.0f : 2.0f, 0.37f));
    for (int c = 0; c < kCacheChannels; ++c) {
      const bool moved = c == kChannelDensity || c == kChannelTemperature || c == kChannelFlame || c == kChannelDust;
      if (!moved) {
        EXPECT_EQ(f.channels[c], original.channels[c]) << "channel " << c;
        continue;
      }
      EXPECT_NE(f.channels[c], original.channels[c]) << "channel " << c;
      // Interpolating inside the crop never leaves the channel's own range (all values are >= 0).
      const float top = *std::max_element(original.channels[c].begin(), original.channels[c].end());
      for (float v : f.channels[c]) {
        ASSERT_GE(v, 0.0f) << "channel " << c;
        ASSERT_LE(v, top * (1.0f + 1e-6f)) << "channel " << c;
      }
    }
  }
}

TEST(FlowDisplacement, LayersFollowTheFlowRepeatEveryPeriodAndIgnoreTheThreadCount) {
  const CacheFrame original = FlowFrame(false);
  auto displaced = [](CacheFrame f, float time, int threads) {
    const int before = omp_get_max_threads();
    omp_set_num_threads(threads);
    ApplyFlowDisplacement(f, 1.0f, 3.0f, time);
    omp_set_num_threads(before);
    return f.channels[kChannelDensity];
  };
  auto largestDiff = [](const Field& a, const Field& b) {
    float d = 0.0f;
    for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
  };
  const Field at0 = displaced(original, 0.0f, 3);
  EXPECT_EQ(at0, displaced(original, 0.0f, 1));
  // One 0.6 s period later both layers are back where they started; in between they are not.
  EXPECT_LT(largestDiff(displaced(original, 0.6f, 2), at0), 1e-4f);
  EXPECT_GT(largestDiff(displaced(original, 0.2f, 2), at0), 1e-2f);
  // At time 0 the first layer has no weight and the second, half a period along, is carried back
  // along the flow: a faster flow (same vorticity ratio, so the same strength) moves the detail.
  CacheFrame faster = original;
  for (int c = kChannelVelX; c <= kChannelVelZ; ++c)
    for (float& v : faster.channels[c]) v *= 2.0f;
  EXPECT_GT(largestDiff(displaced(faster, 0.0f, 2), at0), 1e-2f);
}

}  // namespace
}  // namespace tf
