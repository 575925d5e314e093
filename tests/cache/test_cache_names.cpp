// File names, folders, counting and deleting cached frames.
#include <gtest/gtest.h>

#include <climits>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "host/core/atomic_file.h"
#include "host/core/platform.h"
#include "cache/cache_file.h"
#include "cache/display_cache.h"
#include "cache_test_util.h"

namespace tf {
namespace {
using testing::TempFolder;
using testing::WriteBytes;
namespace fs = std::filesystem;

TEST(CacheNames, FramePaths) {
  EXPECT_EQ(MakeFramePath("/c", "fire", 12, "tfc"), "/c/fire_0012.tfc");
  EXPECT_EQ(MakeFramePath("/c", "fire", 0, "tfc"), "/c/fire_0000.tfc");
  EXPECT_EQ(MakeFramePath("/c", "fire", -3, "tfc"), "/c/fire_m0003.tfc");
  EXPECT_EQ(MakeFramePath("/c", "fire", 12345, "tfc"), "/c/fire_12345.tfc");
  EXPECT_EQ(MakeFramePath("/c", "smoke", -12345, "vdb"), "/c/smoke_m12345.vdb");
  EXPECT_EQ(MakeFramePath("/c", "fire", INT_MIN, "tfc"), "/c/fire_m2147483648.tfc");
  EXPECT_NE(MakeFramePath("/c", "fire", -3, "tfc"), MakeFramePath("/c", "fire", 3, "tfc"));
  // One separator, never two; an empty folder gives a bare name.
  EXPECT_EQ(MakeFramePath("/c/", "fire", 1, "tfc"), "/c/fire_0001.tfc");
  EXPECT_EQ(MakeFramePath("C:\\c\\", "fire", 1, "tfc"), "C:\\c\\fire_0001.tfc");
  EXPECT_EQ(MakeFramePath("", "fire", 1, "png"), "fire_0001.png");
}

TEST(CacheNames, CacheAndOutputFolders) {
  TempFolder docs;
  host::SetDocumentsFolder(docs.str() + "/");
  const std::string expected = docs.str() + "/TolvarisFire/cache_00000000deadbeef";
  EXPECT_EQ(CacheFolder("", 0xDEADBEEFull), expected);
  EXPECT_EQ(CacheFolder("", 0xDEADBEEFull), CacheFolder("", 0xDEADBEEFull));  // same id, same folder
  EXPECT_NE(CacheFolder("", 0xDEADBEEFull), CacheFolder("", 0xDEADBEEEull));
  EXPECT_EQ(CacheFolder("", 0xFEDCBA9876543210ull), docs.str() + "/TolvarisFire/cache_fedcba9876543210");
  host::SetDocumentsFolder({});

  EXPECT_EQ(CacheFolder("/data/cache\\", 1), "/data/cache");
  EXPECT_EQ(CacheFolder("/data/cache/\\/", 1), "/data/cache");
  EXPECT_EQ(CacheFolder("/data/cache", 1), "/data/cache");

  EXPECT_EQ(OutputFolder("", "/data/cache"), "/data/cache/out");
  EXPECT_EQ(OutputFolder("/renders//", "/data/cache"), "/renders");
  EXPECT_EQ(OutputFolder("D:\\renders\\", "/data/cache"), "D:\\renders");
}

TEST(CacheNames, CacheIdMixesCounterProcessAndAddress) {
  EXPECT_EQ(MakeCacheId(1, 0, 0), 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(MakeCacheId(2, 0, 0), 0x3C6EF372FE94F82Aull);  // wraps in 64 bits
  EXPECT_EQ(MakeCacheId(0, 0x1234, 0), 0x1234ull << 40);
  EXPECT_EQ(MakeCacheId(1, 3, 0xFF), 0x9E3779B97F4A7C15ull ^ (3ull << 40) ^ 0xFFull);
  int a = 0, b = 0;
  EXPECT_NE(MakeCacheId(&a), MakeCacheId(&b));
}

TEST(CacheNames, CountAndDeleteTouchOnlyTheirFrames) {
  TempFolder dir;
  for (const char* name : {"fire_0001.tfc", "fire_m0002.tfc", "fire_12345.tfc", "smoke_0001.tfc",
                           "fire_0001.vdb", "fire0001.tfc", "fire_0003.tfc.part", "notes.txt"})
    WriteBytes(dir / name, {1, 2, 3});
  fs::create_directory(dir / "fire_0009.tfc");  // a folder is not a frame
  EXPECT_EQ(CountCachedFrames(dir.str()), 3);
  EXPECT_EQ(CountCachedFrames(dir / "missing"), 0);

  DeleteCachedFrames(dir.str(), "fire");
  EXPECT_EQ(CountCachedFrames(dir.str()), 0);
  for (const char* kept : {"smoke_0001.tfc", "fire_0001.vdb", "fire0001.tfc", "fire_0003.tfc.part", "notes.txt",
                           "fire_0009.tfc"})
    EXPECT_TRUE(fs::exists(dir / kept)) << kept;

  DeleteCachedFrames(dir.str(), "smoke");
  EXPECT_FALSE(fs::exists(dir / "smoke_0001.tfc"));
  DeleteCachedFrames(dir / "missing", "fire");  // nothing to do, no failure to report
}

TEST(CacheNames, ClearCacheDeletesCountsAndInvalidates) {
  TempFolder dir;
  ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(1), MakeFramePath(dir.str(), "fire", 1, "tfc")));
  WriteBytes(dir / "fire_0002.tfc", {0});
  WriteBytes(dir / "fire_m0001.tfc", {0});
  DisplayCache display;
  ASSERT_NE(display.Get(1, dir.str()), nullptr);
  const uint64_t generation = display.Generation();

  {
    host::FileLock bake;
    ASSERT_TRUE(LockCacheFolder(bake, dir.str(), kBakeHolder, nullptr));
    const host::Status refused = ClearCacheFolder(dir.str(), display);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, "A bake is writing to " + dir.str() + " - wait for it to finish or stop it.");
    EXPECT_EQ(CountCachedFrames(dir.str()), 3) << "nothing deleted under a bake";
  }

  const host::Status cleared = ClearCacheFolder(dir.str(), display);
  EXPECT_TRUE(cleared.ok);
  EXPECT_EQ(cleared.message, "Deleted 3 cached frames.");
  EXPECT_EQ(CountCachedFrames(dir.str()), 0);
  EXPECT_GT(display.Generation(), generation);
  EXPECT_EQ(display.Get(1, dir.str()), nullptr);

  EXPECT_EQ(ClearCacheMessage(1), "Deleted 1 cached frame.");
  EXPECT_EQ(ClearCacheMessage(0), "Deleted 0 cached frames.");
}

TEST(CacheFolderLock, OneWriterAtATimeNamedToTheOthersAndShortOnesWaitedFor) {
  TempFolder dir;
  const std::string folder = dir / "cache";
  std::string message;
  auto exporting = std::make_unique<host::FileLock>();
  ASSERT_TRUE(LockCacheFolder(*exporting, folder, "A VDB export", &message)) << "the folder is made";
  host::FileLock second;
  EXPECT_FALSE(LockCacheFolder(second, folder, kBakeHolder, &message));
  EXPECT_EQ(message, "A VDB export is writing to " + folder + " - wait for it to finish or stop it.");

  // An export ends by itself: a bake that may wait gets the folder once it is let go.
  std::thread done([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    exporting.reset();
  });
  EXPECT_TRUE(LockCacheFolder(second, folder, kBakeHolder, &message, 30.0)) << message;
  done.join();

  // A bake is never waited for.
  host::FileLock third;
  EXPECT_FALSE(LockCacheFolder(third, folder, "A preview render", &message, 30.0));
  EXPECT_EQ(message, "A bake is writing to " + folder + " - wait for it to finish or stop it.");
  EXPECT_FALSE(ShareCacheFolder(third, folder, "A VDB export", &message));
  EXPECT_EQ(message, "A bake is writing to " + folder + " - wait for it to finish or stop it.");
}

// Commands that read the cache and write outputs under names of their own (the chunks of one
// export on a farm) run side by side; a bake or a cache clear waits for all of them to let go.
TEST(CacheFolderLock, ReadersShareTheFolderAndKeepWritersOut) {
  TempFolder dir;
  const std::string folder = dir / "cache";
  std::string message;
  host::FileLock clear;
  {
    host::FileLock chunkA, chunkB, preview;
    ASSERT_TRUE(ShareCacheFolder(chunkA, folder, "A VDB export", &message)) << message;
    EXPECT_TRUE(ShareCacheFolder(chunkB, folder, "A VDB export", &message)) << message;
    EXPECT_TRUE(ShareCacheFolder(preview, folder, "A preview render", &message)) << message;
    EXPECT_FALSE(LockCacheFolder(clear, folder, "A cache clear", &message));
    EXPECT_NE(message.find("is writing to " + folder), std::string::npos) << message;
  }
  EXPECT_TRUE(LockCacheFolder(clear, folder, "A cache clear", &message)) << "free once every reader let go";
}

TEST(CacheNames, EnsureDirectory) {
  TempFolder dir;
  EXPECT_FALSE(EnsureDirectory(""));
  const std::string deep = dir / "a/b/c/d";
  EXPECT_TRUE(EnsureDirectory(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(EnsureDirectory(deep));  // already there
  EXPECT_TRUE(EnsureDirectory(dir / "x/y/"));
  EXPECT_TRUE(fs::is_directory(dir / "x/y"));
  // Below a file nothing can be created.
  WriteBytes(dir / "file", {1});
  EXPECT_FALSE(EnsureDirectory(dir / "file/sub"));
  EXPECT_FALSE(fs::exists(dir / "file/sub"));
}

}  // namespace
}  // namespace tf
