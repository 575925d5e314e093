// Commands under a file-size limit, as on a full disk: each stops at the first write that fails
// with its message and a non-zero exit, and leaves no partial file under a final name.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "sim/cache_file.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

struct Limited {
  const char* name;
  std::vector<std::string> command;  // after --documents; SCENE stands for the scene file
  bool bakeFirst;
  rlim_t limit;
  const char* message;
};

const Limited kCases[] = {
    {"Bake", {"simulate", "SCENE"}, false, 1200, "Could not write the cache to "},
    {"ExportVdb", {"export-vdb", "SCENE"}, true, 1200, "VDB write failed at frame "},
    {"PresetSave", {"preset", "save", "SCENE", "mine"}, false, 200, "Cannot write "},
};

void PrintTo(const Limited& c, std::ostream* os) { *os << c.name; }

class FullDisk : public ::testing::TestWithParam<Limited> {};

TEST_P(FullDisk, StopsAtTheFirstFailedWriteWithAMessage) {
  TempFolder work;
  const fs::path cache = work / "cache", scene = work / "scene.json";
  WriteText(scene, SceneJson(Range(0, 6) + ", " + CachePath(cache)));
  std::vector<std::string> args{"--documents", work.path().string()};
  for (const std::string& a : GetParam().command) args.push_back(a == "SCENE" ? scene.string() : a);
  if (GetParam().bakeFirst) ASSERT_EQ(RunProgram({"--documents", work.path().string(), "simulate", scene.string()}).status, 0);

  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit low = old;
  low.rlim_cur = GetParam().limit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const Outcome o = RunProgram(args);  // the child inherits the limit
  setrlimit(RLIMIT_FSIZE, &old);

  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_NE(o.err.find(GetParam().message), std::string::npos) << o.err;
  for (const auto& entry : fs::recursive_directory_iterator(work.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name.ends_with(".part")) << entry.path();
    if (name.ends_with(".tfc")) {
      CacheFrame frame;
      EXPECT_TRUE(ReadCacheFrame(entry.path().string(), frame)) << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, FullDisk, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Limited>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tf::e2e
