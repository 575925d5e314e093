// The display frame: one read per frame number until invalidated, generations that only grow.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "cache/display_cache.h"
#include "cache_test_util.h"

namespace tf {
namespace {
using testing::MakeSmallFrame;
using testing::TempFolder;

// Counts the paths the cache asks for and reads them with the real reader.
struct CountingReader {
  std::vector<std::string>* paths;
  bool operator()(const std::string& path, CacheFrame& frame) const {
    paths->push_back(path);
    return ReadCacheFrame(path, frame);
  }
};

TEST(DisplayCache, MissingFrameIsReadOnceUntilInvalidated) {
  TempFolder dir;
  std::vector<std::string> reads;
  DisplayCache display(CountingReader{&reads});
  EXPECT_EQ(display.LoadedFrameNumber(), INT_MIN);
  EXPECT_EQ(display.Get(5, dir.str()), nullptr);
  EXPECT_EQ(display.Get(5, dir.str()), nullptr);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0], MakeFramePath(dir.str(), "fire", 5, "tfc"));

  // The frame appears on disk; the cache keeps its answer until told otherwise.
  ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(5), reads[0]));
  EXPECT_EQ(display.Get(5, dir.str()), nullptr);
  EXPECT_EQ(reads.size(), 1u);

  const uint64_t before = display.Generation();
  display.Invalidate();
  EXPECT_GT(display.Generation(), before);
  const auto frame = display.Get(5, dir.str());
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->header.frame, 5);
  EXPECT_EQ(reads.size(), 2u);
  EXPECT_EQ(display.Get(5, dir.str()), frame);  // same object, no read
  EXPECT_EQ(reads.size(), 2u);
}

TEST(DisplayCache, ChangingFrameReadsAndRaisesGeneration) {
  TempFolder dir;
  for (int f : {-1, 0, 1}) ASSERT_TRUE(WriteCacheFrame(MakeSmallFrame(f), MakeFramePath(dir.str(), "fire", f, "tfc")));
  std::vector<std::string> reads;
  DisplayCache display(CountingReader{&reads});
  uint64_t generation = display.Generation();
  std::shared_ptr<const CacheFrame> kept;
  for (int f : {0, 1, -1, 0}) {
    auto frame = display.Get(f, dir.str());
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->header.frame, f);
    EXPECT_GT(display.Generation(), generation);
    generation = display.Generation();
    if (f == 1) kept = frame;
  }
  EXPECT_EQ(reads.size(), 4u);
  // A frame handed out outlives its replacement in the cache.
  EXPECT_EQ(kept->header.frame, 1);
  EXPECT_EQ(kept->channels[0].size(), 24u);
}

TEST(DisplayCache, TimeTruncatesToFrames) {
  TempFolder dir;
  std::vector<std::string> reads;
  DisplayCache display(CountingReader{&reads});
  const int ticksPerFrame = 160;  // 30 frames per second
  display.GetAtTime(2 * ticksPerFrame + 159, ticksPerFrame, dir.str());
  display.GetAtTime(2 * ticksPerFrame, ticksPerFrame, dir.str());
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(display.LoadedFrameNumber(), 2);
  display.GetAtTime(-ticksPerFrame, ticksPerFrame, dir.str());
  EXPECT_EQ(display.LoadedFrameNumber(), -1);
  EXPECT_EQ(reads.back(), MakeFramePath(dir.str(), "fire", -1, "tfc"));
}

}  // namespace
}  // namespace tf
