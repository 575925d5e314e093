// The PRT writer's failures. The file contents are checked by check_prt.py, a reader of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "export/prt_writer.h"
#include "tests/support/temp_folder.h"

namespace tf {
namespace {

CacheFrame SmallFrame() {
  CacheFrame f;
  f.header.nx = f.header.ny = f.header.nz = 4;
  f.header.cellSizeScene = 1.0f;
  f.header.cropSize = {2, 2, 2};
  f.header.channelMask = kCacheAlwaysMask;
  f.channels[kChannelDensity].assign(8, 0.5f);
  f.channels[kChannelTemperature].assign(8, 1.0f);
  return f;
}

TEST(PrtWriter, FailuresSayWhyAndABadFrameWritesNothing) {
  host::testing::TempFolder dir;
  std::string error;
  const RenderSettings s;
  const std::filesystem::path missing = dir / "no" / "such" / "fire_0001.prt";
  EXPECT_FALSE(WritePrtFrame(SmallFrame(), DomainGrid{}, missing, 1, s, &error));
  EXPECT_EQ(error, "cannot create " + missing.string());

  // A channel shorter than the crop is refused before anything is written.
  CacheFrame bad = SmallFrame();
  bad.channels[kChannelTemperature].resize(3);
  const std::filesystem::path target = dir / "fire_0002.prt";
  error.clear();
  EXPECT_FALSE(WritePrtFrame(bad, DomainGrid{}, target, 1, s, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(PrtWriter, ParticlesPerCellBelowOneCountsAsOne) {
  std::vector<uint8_t> one, zero;
  std::string error;
  ASSERT_TRUE(EncodePrtFrame(SmallFrame(), DomainGrid{}, 1, RenderSettings{}, one, &error)) << error;
  ASSERT_TRUE(EncodePrtFrame(SmallFrame(), DomainGrid{}, 0, RenderSettings{}, zero, &error)) << error;
  EXPECT_EQ(one, zero);
  // 8 particles of 11 floats behind the 68-byte header and 5 channel definitions.
  int64_t count = 0;
  std::memcpy(&count, one.data() + 48, 8);
  EXPECT_EQ(count, 8);
}

// What a damaged cache frame may hold: a NaN temperature in a smoky cell and a crop at the edge of
// the 32-bit range. The file is still made, with one particle per visible cell placed by 64-bit
// cell positions.
TEST(PrtWriter, DamagedValuesAndFarCropsStillEncode) {
  CacheFrame frame = SmallFrame();
  frame.channels[kChannelTemperature][0] = std::nanf("");
  frame.header.cropOrigin = {2147483647, 0, 0};
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(EncodePrtFrame(frame, DomainGrid{}, 1, RenderSettings{}, file, &error)) << error;
  int64_t count = 0;
  std::memcpy(&count, file.data() + 48, 8);
  EXPECT_EQ(count, 8);
  // The second particle (cell x = 2^31) is not wrapped round to -2^31. Records
  // start after the header, five channel definitions, the zlib header and the block header.
  float x0 = 0.0f, x1 = 0.0f;
  std::memcpy(&x0, file.data() + 68 + 5 * 44 + 2 + 5, 4);
  std::memcpy(&x1, file.data() + 68 + 5 * 44 + 2 + 5 + 44, 4);
  EXPECT_GT(x0, 2.0e9f);
  EXPECT_GE(x1, x0);  // equal in float precision
}

// A cell size near the float limit would put the particles at infinity; the frame is refused
// instead of written with positions no reader can use.
TEST(PrtWriter, InfinitePositionsAreRefused) {
  CacheFrame frame = SmallFrame();
  frame.header.cellSizeScene = 3.0e38f;
  std::vector<uint8_t> file;
  std::string error;
  EXPECT_FALSE(EncodePrtFrame(frame, DomainGrid{}, 1, RenderSettings{}, file, &error));
  EXPECT_EQ(error, "particle position is not a finite number");
}

}  // namespace
}  // namespace tf
