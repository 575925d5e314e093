// Cache files on disk: exact layout, round trips, every way a file can be damaged, and what a
// failed write reports.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/core/atomic_file.h"
#include "cache/cache_file.h"
#include "cache/half.h"
#include "cache_test_util.h"
#include "tests/support/file_size_limit.h"

namespace tf {
namespace {
using testing::MakeSmallFrame;
using testing::ReadBytes;
using testing::TempFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

void ExpectSameBits(const CacheFrame& a, const CacheFrame& b) {
  uint8_t ha[kCacheHeaderBytes], hb[kCacheHeaderBytes];
  EncodeCacheHeader(a.header, ha);
  EncodeCacheHeader(b.header, hb);
  EXPECT_EQ(0, std::memcmp(ha, hb, kCacheHeaderBytes));
  for (int c = 0; c < kCacheChannels; ++c) {
    ASSERT_EQ(a.channels[c].size(), b.channels[c].size()) << "channel " << c;
    for (size_t i = 0; i < a.channels[c].size(); ++i)
      ASSERT_EQ(std::bit_cast<uint32_t>(a.channels[c][i]), std::bit_cast<uint32_t>(b.channels[c][i]))
          << "channel " << c << " value " << i;
  }
}

bool IsEmpty(const CacheFrame& f) {
  for (const auto& channel : f.channels)
    if (!channel.empty()) return false;
  return f.header.cropSize == std::array<int32_t, 3>{} && f.header.frame == 0 && f.header.nx == 0;
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void PutU32At(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

TEST(CacheFile, HeaderBytesSitAtTheirOffsetsLittleEndian) {
  CacheFrameHeader h;
  h.nx = 0x01020304;
  h.frame = -2;
  h.cropOrigin = {5, 6, 7};
  h.cropSize = {8, 9, 10};
  h.channelMask = 0xAB;
  h.cellSize = 0.5f;
  h.pressureIterations = 77;
  h.channelMax[7] = 2.0f;
  uint8_t b[kCacheHeaderBytes];
  EncodeCacheHeader(h, b);
  EXPECT_EQ(0, std::memcmp(b, "TFC1", 4));
  EXPECT_EQ(b[4], 1);
  EXPECT_EQ(b[8], 0x04);
  EXPECT_EQ(b[11], 0x01);
  EXPECT_EQ(0, std::memcmp(b + 20, "\x00\x00\x00\x3f", 4));  // 0.5f
  EXPECT_EQ(0, std::memcmp(b + 28, "\xfe\xff\xff\xff", 4));
  EXPECT_EQ(b[32], 5);
  EXPECT_EQ(b[40], 7);
  EXPECT_EQ(b[44], 8);
  EXPECT_EQ(b[52], 10);
  EXPECT_EQ(b[56], 0xAB);
  EXPECT_EQ(b[64], 77);
  EXPECT_EQ(0, std::memcmp(b + 100, "\x00\x00\x00\x40", 4));  // channel 7 max, 2.0f
  for (size_t i = 104; i < kCacheHeaderBytes; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST(CacheFile, WrittenFrameReadsBackBitForBit) {
  TempFolder dir;
  for (uint32_t extra : {0u, 0x70u, 0xF0u}) {  // four channels, with velocity, with velocity and dust
    const CacheFrame original = MakeSmallFrame(12, extra);
    const std::string path = MakeFramePath(dir.str(), "fire", 12, "tfc");
    ASSERT_TRUE(WriteCacheFrame(original, path));
    const int stored = std::popcount(original.header.channelMask);
    EXPECT_EQ(fs::file_size(path), 132u + 2u * 24u * uint64_t(stored));
    CacheFrame back;
    ASSERT_TRUE(ReadCacheFrame(path, back));
    ExpectSameBits(original, back);
  }
}

// The file as a reader that shares no code with ours sees it: Python's struct and numpy float16.
TEST(CacheFile, IndependentReaderAgrees) {
  const char* python = "/usr/bin/python3";
  if (!fs::exists(python)) GTEST_SKIP() << "no " << python;
  TempFolder dir;
  const CacheFrame f = MakeSmallFrame(-8, 0xF0);
  const std::string path = dir / "fire_m0008.tfc", expected = dir / "expected.f32";
  ASSERT_TRUE(WriteCacheFrame(f, path));
  std::vector<uint8_t> raw;
  for (const auto& channel : f.channels)
    for (float v : channel)
      for (int k = 0; k < 4; ++k) raw.push_back(static_cast<uint8_t>(std::bit_cast<uint32_t>(v) >> (8 * k)));
  WriteBytes(expected, raw);
  const std::string command = std::string(python) + " '" + TFR_CACHE_TEST_DIR + "/read_cache_frame.py' '" + path +
                              "' '" + expected + "' > '" + (dir / "out.txt") + "' 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_NE(status, -1);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "numpy is not installed";
  const std::vector<uint8_t> said = ReadBytes(dir / "out.txt");
  EXPECT_EQ(WEXITSTATUS(status), 0) << std::string(said.begin(), said.end());
}

TEST(CacheFile, BodyIsHalvesInChannelOrderXFastest) {
  TempFolder dir;
  CacheFrame f = MakeSmallFrame(0);
  f.channels[kChannelFlame][1] = 1.0f;  // x = 1, y = 0, z = 0 of channel 2
  const std::string path = dir / "f.tfc";
  ASSERT_TRUE(WriteCacheFrame(f, path));
  const std::vector<uint8_t> b = ReadBytes(path);
  const size_t at = 132 + 2 * (2 * 24 + 1);
  EXPECT_EQ(b[at], 0x00);
  EXPECT_EQ(b[at + 1], 0x3C);
  EXPECT_EQ(FloatToHalf(f.channels[0][0]), b[132] | (b[133] << 8));
}

TEST(CacheFile, EmptyCropRoundTripsAsValidFrameWithEmptyChannels) {
  TempFolder dir;
  CacheFrame f;
  f.header.nx = f.header.ny = f.header.nz = 16;
  f.header.frame = 4;
  f.header.channelMask = kCacheAlwaysMask;  // bits set, crop 0: no body at all
  const std::string path = dir / "empty.tfc";
  ASSERT_TRUE(WriteCacheFrame(f, path));
  EXPECT_EQ(fs::file_size(path), 132u);
  CacheFrame back = MakeSmallFrame(9);
  ASSERT_TRUE(ReadCacheFrame(path, back));
  EXPECT_EQ(back.header.frame, 4);
  EXPECT_EQ(back.header.channelMask, kCacheAlwaysMask);
  for (const auto& channel : back.channels) EXPECT_TRUE(channel.empty());

  // One zero size among positive ones empties the body as well.
  f.header.cropSize = {4, 0, 4};
  ASSERT_TRUE(WriteCacheFrame(f, path));
  EXPECT_EQ(fs::file_size(path), 132u);
  EXPECT_TRUE(ReadCacheFrame(path, back));
}

TEST(CacheFile, EveryTruncationIsRejectedWhole) {
  TempFolder dir;
  const std::string path = dir / "whole.tfc", cut = dir / "cut.tfc";
  ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(3, 0x80), path));
  const std::vector<uint8_t> whole = ReadBytes(path);
  for (size_t length = 0; length < whole.size(); ++length) {
    WriteBytes(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(length)));
    CacheFrame f = MakeSmallFrame(1);
    EXPECT_FALSE(ReadCacheFrame(cut, f)) << "length " << length;
    EXPECT_TRUE(IsEmpty(f)) << "length " << length;
  }
  // Trailing bytes are refused too: the writer never leaves any.
  std::vector<uint8_t> longer = whole;
  longer.push_back(0);
  WriteBytes(cut, longer);
  CacheFrame f;
  EXPECT_FALSE(ReadCacheFrame(cut, f));
  EXPECT_TRUE(IsEmpty(f));
}

TEST(CacheFile, DamagedHeadersAreRejectedWhole) {
  TempFolder dir;
  const std::string path = dir / "good.tfc", bad = dir / "bad.tfc";
  ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(5), path));
  const std::vector<uint8_t> good = ReadBytes(path);
  auto rejects = [&](const std::vector<uint8_t>& bytes, const char* what) {
    WriteBytes(bad, bytes);
    CacheFrame f = MakeSmallFrame(2);
    EXPECT_FALSE(ReadCacheFrame(bad, f)) << what;
    EXPECT_TRUE(IsEmpty(f)) << what;
  };

  std::vector<uint8_t> b = good;
  b[3] = '2';
  rejects(b, "magic TFC2");
  b = good;
  PutU32At(b, 4, 2);
  rejects(b, "version 2");
  b = good;
  PutU32At(b, 44, 8193);
  rejects(b, "crop x 8193");
  b = good;
  PutU32At(b, 52, uint32_t(-2));
  rejects(b, "crop z negative");
  b = good;
  PutU32At(b, 56, U32At(b, 56) | 0x10);
  rejects(b, "mask bit for a channel the body does not hold");

  // A negative size on any axis empties the body, so only the range check can catch it.
  for (size_t at : {44u, 48u, 52u}) {
    b = std::vector<uint8_t>(good.begin(), good.begin() + 132);
    PutU32At(b, at, uint32_t(-1));
    rejects(b, "negative crop size with a header-only file");
  }

  // Any single flipped bit in the crop sizes: out of range or a body length that does not match.
  for (size_t byte = 44; byte < 56; ++byte)
    for (int bit = 0; bit < 8; ++bit) {
      b = good;
      b[byte] ^= uint8_t(1u << bit);
      WriteBytes(bad, b);
      CacheFrame f;
      EXPECT_FALSE(ReadCacheFrame(bad, f)) << "byte " << byte << " bit " << bit;
      EXPECT_TRUE(IsEmpty(f));
    }
}

// Every header byte changed (to the edge values and by its low and high bit): a frame the reader
// accepts is one whose header is valid and whose body is exactly what that header declares, so a
// change it lets through (a frame number, a statistic) never makes it read past the file or hand
// out channels of another size. Changes of the magic, the version, the crop sizes or the channel
// mask's defined bits are always refused.
TEST(CacheFile, EveryChangedHeaderByteIsRefusedOrConsistent) {
  TempFolder dir;
  const std::string path = dir / "good.tfc", bad = dir / "bad.tfc";
  ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(5, 0x80), path));
  const std::vector<uint8_t> good = ReadBytes(path);
  for (size_t at = 0; at < kCacheHeaderBytes; ++at)
    for (const uint8_t value : {uint8_t(0), uint8_t(1), uint8_t(0x7F), uint8_t(0x80), uint8_t(0xFF),
                                uint8_t(good[at] ^ 1u), uint8_t(good[at] ^ 0x80u)}) {
      if (value == good[at]) continue;
      std::vector<uint8_t> b = good;
      b[at] = value;
      WriteBytes(bad, b);
      CacheFrame f;
      const bool read = ReadCacheFrame(bad, f);
      const bool mustRefuse = at < 8 || (at >= 44 && at <= 56);  // the mask's high bytes mean nothing
      ASSERT_TRUE(read ? !mustRefuse : IsEmpty(f)) << "byte " << at << " = " << int(value);
      if (!read) continue;
      ASSERT_TRUE(CacheHeaderValid(f.header)) << "byte " << at << " = " << int(value);
      ASSERT_EQ(CacheFileBytes(f.header), b.size()) << "byte " << at << " = " << int(value);
      for (int c = 0; c < kCacheChannels; ++c)
        ASSERT_EQ(f.channels[c].size(), (f.header.channelMask >> c & 1u) ? CacheCropValues(f.header) : 0u)
            << "byte " << at << " = " << int(value) << " channel " << c;
    }
}

// 8192^3 cells claimed by a bare header: with every channel stored (4 TB of halves) the frame is
// refused by its length; with none stored it is a valid empty frame. Neither allocates the crop
// (a terabyte allocation would throw).
TEST(CacheFile, HeaderClaimingAHugeCropAllocatesNothingForIt) {
  for (const uint32_t mask : {0xFFu, 0x00u}) {
    TempFolder dir;
    const std::string path = dir / "huge.tfc";
    ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(0), path));
    std::vector<uint8_t> b = ReadBytes(path);
    b.resize(132);
    for (size_t at : {44u, 48u, 52u}) PutU32At(b, at, 8192);
    PutU32At(b, 56, mask);
    WriteBytes(path, b);
    CacheFrame back;
    bool read = false;
    EXPECT_NO_THROW(read = ReadCacheFrame(path, back)) << "mask " << mask;
    EXPECT_EQ(read, mask == 0) << "mask " << mask;
    for (const std::vector<float>& channel : back.channels) EXPECT_TRUE(channel.empty());
  }
}

TEST(CacheFile, MissingFileOrFolderPathReadsAsNotCached) {
  TempFolder dir;
  CacheFrame f = MakeSmallFrame(1);
  EXPECT_FALSE(ReadCacheFrame(dir / "absent.tfc", f));
  EXPECT_TRUE(IsEmpty(f));
  f = MakeSmallFrame(1);
  EXPECT_FALSE(ReadCacheFrame(dir.str(), f));  // a folder is not a frame
  EXPECT_TRUE(IsEmpty(f));
  // Nor is a pipe, which is refused rather than opened (opening it would block).
  ASSERT_EQ(::mkfifo((dir / "fire_0001.tfc").c_str(), 0600), 0);
  EXPECT_FALSE(ReadCacheFrame(dir / "fire_0001.tfc", f));
}

// Each failing write onto an existing frame: false, the old file byte-identical.
class FailedWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = MakeFramePath(dir_.str(), "fire", 7, "tfc");
    ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(7), path_));
    before_ = ReadBytes(path_);
  }
  void ExpectOldFileIntact() { EXPECT_EQ(ReadBytes(path_), before_); }
  TempFolder dir_;
  std::string path_;
  std::vector<uint8_t> before_;
};

TEST_F(FailedWrite, ChannelOfTheWrongLength) {
  CacheFrame f = MakeSmallFrame(7, 0x70);
  f.channels[kChannelVelY].pop_back();
  EXPECT_FALSE(WriteCacheFrame(f, path_));
  ExpectOldFileIntact();
  f = MakeSmallFrame(7);
  f.channels[kChannelFuel].clear();
  EXPECT_FALSE(WriteCacheFrame(f, path_));
  ExpectOldFileIntact();
}

TEST_F(FailedWrite, HeaderTheReaderWouldRefuse) {
  CacheFrame f = MakeSmallFrame(7);
  f.header.cropSize[0] = -1;
  EXPECT_FALSE(WriteCacheFrame(f, path_));
  ExpectOldFileIntact();
  f = MakeSmallFrame(7);
  f.header.version = 2;
  EXPECT_FALSE(WriteCacheFrame(f, path_));
  ExpectOldFileIntact();
}

// The disk running out comes back without a reason, for the bake to name in its own words; any
// other failure names its cause. A folder planted at the temporary name shows that the frame goes
// through one.
TEST_F(FailedWrite, OnlyCausesOtherThanTheDiskAreNamed) {
  std::string error = "as it was";
  bool written = true;
  {
    host::testing::ScopedFileSizeLimit limit(200);
    ASSERT_TRUE(limit.Active());
    written = WriteCacheFrame(MakeSmallFrame(7, 0xF0), path_, &error);
  }
  EXPECT_FALSE(written);
  EXPECT_EQ(error, "as it was");
  ExpectOldFileIntact();

  fs::create_directory(host::AtomicFile::TemporaryPathFor(path_));
  EXPECT_FALSE(WriteCacheFrame(MakeSmallFrame(7, 0x70), path_, &error));
  EXPECT_NE(error.find("cannot create " + host::AtomicFile::TemporaryPathFor(path_).string()), std::string::npos)
      << error;
  EXPECT_EQ(ReadBytes(path_), before_);
}

TEST(CacheFile, NegativeFramesHaveTheirOwnFiles) {
  TempFolder dir;
  const CacheFrame minus = MakeSmallFrame(-3), plus = MakeSmallFrame(3);
  const std::string minusPath = MakeFramePath(dir.str(), "fire", -3, "tfc");
  const std::string plusPath = MakeFramePath(dir.str(), "fire", 3, "tfc");
  EXPECT_EQ(fs::path(minusPath).filename(), "fire_m0003.tfc");
  ASSERT_TRUE(WriteCacheFrame(minus, minusPath));
  ASSERT_TRUE(WriteCacheFrame(plus, plusPath));
  CacheFrame back;
  ASSERT_TRUE(ReadCacheFrame(minusPath, back));
  ExpectSameBits(minus, back);
  ASSERT_TRUE(ReadCacheFrame(plusPath, back));
  ExpectSameBits(plus, back);
}

}  // namespace
}  // namespace tf
