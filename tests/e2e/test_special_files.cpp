// Inputs that are not ordinary files: a particle file or a cache frame that is /dev/zero or a FIFO
// (a named pipe with no writer, whose opening blocks for ever) is refused with a message by
// simulate, preview and export-vdb, and none of them hangs on it. Every run has a time limit, so a
// hang fails the test instead of blocking the suite.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "cache/cache_file.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

// Far more than any of these runs needs; one that takes this long hangs.
constexpr int kLimitSeconds = 60;
constexpr int kKilled = 128 + 9;

struct Special {
  const char* name;
  // Makes the special file at `path` (a FIFO) or returns the device to link to instead.
  fs::path (*make)(const fs::path& path);
  // A link planted under a frame's name is replaced by the next bake; a FIFO is not a file the
  // writers replace, so that bake stops with its message.
  bool bakeReplaces;
};

void PrintTo(const Special& s, std::ostream* os) { *os << s.name; }

const Special kSpecials[] = {
    {"DevZero", [](const fs::path&) { return fs::path("/dev/zero"); }, true},
    {"Fifo",
     [](const fs::path& path) {
       EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
       return path;
     },
     false},
};

class SpecialFiles : public ::testing::TestWithParam<Special> {
 protected:
  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--documents", work.path().string()});
    return RunProgram(args, kLimitSeconds);
  }
  TempFolder work;
};

// The particles of the domain's only source come from the special file.
TEST_P(SpecialFiles, AsParticleInputAreRefusedWithAMessage) {
  const fs::path cache = work / "cache";
  const fs::path scene = work / "scene.json";
  const fs::path particles = GetParam().make(work / "sparks.txt");
  const std::string sparks = R"(, {"handle": 3, "name": "Sparks", "object": {"class": "ParticleFile", "blocks": [
      {"id": 0, "params": [{"name": "file", "value": ")" + particles.string() + R"("}]}]}})";
  WriteText(scene, SceneJson(Range(0, 2) + ", " + CachePath(cache) + R"(, {"name": "emitters", "value": [3]})", false,
                             sparks));

  const Outcome baked = Run({"simulate", scene.string()});
  ASSERT_NE(baked.status, kKilled) << "simulate hung on " << particles;
  EXPECT_EQ(baked.status, 0) << baked.err;
  const std::string refused = "WARNING: the particles of \"Sparks\" cannot be used (" + particles.string() +
                              ": not a regular file); it was left out of the bake.";
  EXPECT_NE(baked.out.find(refused), std::string::npos) << baked.out;
  EXPECT_EQ(CountFrames(cache), 3u);

  const Outcome live = Run({"preview", scene.string(), "--frame", "2", "--live"});
  EXPECT_NE(live.status, kKilled) << "preview --live hung on " << particles;
  const Outcome cached = Run({"preview", scene.string(), "--frame", "2", "--cache"});
  EXPECT_NE(cached.status, kKilled) << "preview hung on " << particles;
  const Outcome exported = Run({"export-vdb", scene.string()});
  EXPECT_NE(exported.status, kKilled) << "export-vdb hung on " << particles;
  EXPECT_EQ(exported.status, 0) << exported.err;
}

// A frame of the cache replaced by the special file: the readers refuse it without opening it.
TEST_P(SpecialFiles, AsCacheFrameAreRefusedWithAMessage) {
  const fs::path cache = work / "cache";
  const fs::path scene = work / "scene.json";
  WriteText(scene, SceneJson(Range(0, 1) + ", " + CachePath(cache)));
  ASSERT_EQ(Run({"simulate", scene.string()}).status, 0);
  const fs::path frame = MakeFramePath(cache.string(), "fire", 1, "tfc");
  fs::remove(frame);
  const fs::path special = GetParam().make(frame);
  if (special != frame) fs::create_symlink(special, frame);

  const Outcome exported = Run({"export-vdb", scene.string()});
  ASSERT_NE(exported.status, kKilled) << "export-vdb hung";
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("1 VDB frame,"), std::string::npos) << exported.out;
  EXPECT_NE(exported.out.find("WARNING: 1 cached frame could not be read"), std::string::npos) << exported.out;

  const Outcome preview = Run({"preview", scene.string(), "--frame", "1", "--cache"});
  ASSERT_NE(preview.status, kKilled) << "preview hung";
  EXPECT_EQ(preview.status, 1) << preview.err;
  EXPECT_NE(preview.err.find("Nothing to render at frame 1"), std::string::npos) << preview.err;

  // A new bake never opens it either.
  const Outcome rebaked = Run({"simulate", scene.string()});
  ASSERT_NE(rebaked.status, kKilled) << "simulate hung";
  CacheFrame reread;
  if (GetParam().bakeReplaces) {
    EXPECT_EQ(rebaked.status, 0) << rebaked.err;
    EXPECT_TRUE(ReadCacheFrame(frame.string(), reread));
  } else {
    EXPECT_EQ(rebaked.status, 1);
    EXPECT_NE(rebaked.err.find("Could not write the cache to " + cache.string() + ": cannot write " + frame.string() +
                               ": not a regular file."),
              std::string::npos)
        << rebaked.err;
    EXPECT_FALSE(ReadCacheFrame(frame.string(), reread));
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, SpecialFiles, ::testing::ValuesIn(kSpecials),
                         [](const ::testing::TestParamInfo<Special>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace tf::e2e
