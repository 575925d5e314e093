// Damaged cache frames through the commands that read the cache: each damage is refused with a
// message, the program never dies of it, and the good frames still export.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "cache/cache_file.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

struct Damage {
  const char* name;
  void (*apply)(std::string& bytes);
};

void PutU32(std::string& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

const Damage kDamages[] = {
    {"CutInTheHeader", [](std::string& b) { b.resize(100); }},
    {"CutInTheBody", [](std::string& b) { b.resize(b.size() - 1); }},
    {"TerabyteHeader",
     [](std::string& b) {
       b.resize(kCacheHeaderBytes);
       for (size_t at : {44u, 48u, 52u}) PutU32(b, at, 8192);
       PutU32(b, 56, 0xFF);
     }},
    {"ChangedMagic", [](std::string& b) { b[0] = 'X'; }},
};

void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class DamagedCache : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedCache, IsRefusedWithAMessageByExportAndPreview) {
  TempFolder work;
  const fs::path cache = work / "cache";
  const fs::path scene = work / "scene.json";
  WriteText(scene, SceneJson(Range(0, 1) + ", " + CachePath(cache)));
  const std::vector<std::string> common{"--documents", work.path().string()};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), common.begin(), common.end());
    return RunProgram(args);
  };
  ASSERT_EQ(run({"simulate", scene.string()}).status, 0);
  const std::string frame = MakeFramePath(cache.string(), "fire", 1, "tfc");
  std::string bytes = ReadText(frame);
  GetParam().apply(bytes);
  WriteText(frame, bytes);

  const Outcome exported = run({"export-vdb", scene.string()});
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("1 VDB frame,"), std::string::npos) << exported.out;
  EXPECT_NE(exported.out.find("WARNING: 1 cached frame could not be read (damaged, or not a cache file) and got no VDB "
                              "file: 1."),
            std::string::npos)
      << exported.out;

  const Outcome preview = run({"preview", scene.string(), "--frame", "1", "--cache"});
  EXPECT_EQ(preview.status, 1) << preview.err;
  EXPECT_NE(preview.err.find("Nothing to render at frame 1"), std::string::npos) << preview.err;
  EXPECT_TRUE(ReadText(frame) == bytes) << "the reader leaves the file as it was";
}

INSTANTIATE_TEST_SUITE_P(Frames, DamagedCache, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tf::e2e
