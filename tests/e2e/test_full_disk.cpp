// Commands under a file-size limit, as on a full disk: each stops at the first write that fails
// with its message and a non-zero exit, and leaves no partial file under a final name: bake, VDB
// export, preset save, preview and composite.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "io/png_writer.h"
#include "cache/cache_file.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

struct Limited {
  const char* name;
  std::vector<std::string> command;  // after --documents; SCENE, BG and OUT stand for the scene file,
                                     // a background image and an output image in the work folder
  bool bakeFirst;
  rlim_t limit;
  const char* message;
};

const Limited kCases[] = {
    {"Bake", {"simulate", "SCENE"}, false, 1200, "/cache (disk full?)."},
    {"ExportVdb", {"export-vdb", "SCENE"}, true, 1200, "VDB write failed at frame "},
    {"PresetSave", {"preset", "save", "SCENE", "mine"}, false, 200, "Cannot write "},
    {"Preview", {"preview", "SCENE", "--frame", "3", "--cache"}, true, 1200, "Could not save "},
    {"Composite", {"composite", "SCENE", "--frame", "3", "--background", "BG", "--output", "OUT"}, true, 1200,
     "cannot write "},
};

void PrintTo(const Limited& c, std::ostream* os) { *os << c.name; }

class FullDisk : public ::testing::TestWithParam<Limited> {};

TEST_P(FullDisk, StopsAtTheFirstFailedWriteWithAMessage) {
  TempFolder work;
  const fs::path cache = work / "cache", scene = work / "scene.json";
  WriteText(scene, SceneJson(Range(0, 6) + ", " + CachePath(cache)));
  const fs::path background = work / "bg.png", output = work / "over.png";
  std::vector<uint8_t> grey(64 * 36 * 3, 80);
  ASSERT_TRUE(WritePng(background.string(), grey.data(), 64, 36));
  std::vector<std::string> args{"--documents", work.path().string()};
  for (const std::string& a : GetParam().command)
    args.push_back(a == "SCENE" ? scene.string() : a == "BG" ? background.string() : a == "OUT" ? output.string() : a);
  if (GetParam().bakeFirst) {
    ASSERT_EQ(RunProgram({"--documents", work.path().string(), "simulate", scene.string()}).status, 0);
  }

  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit low = old;
  low.rlim_cur = GetParam().limit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const Outcome o = RunProgram(args);  // the child inherits the limit
  setrlimit(RLIMIT_FSIZE, &old);

  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_FALSE(fs::exists(output)) << "no composite under its final name";
  EXPECT_NE(o.err.find(GetParam().message), std::string::npos) << o.err;
  for (const auto& entry : fs::recursive_directory_iterator(work.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(name.ends_with(".part")) << entry.path();
    if (name.ends_with(".tfc")) {
      CacheFrame frame;
      EXPECT_TRUE(ReadCacheFrame(entry.path().string(), frame)) << entry.path();
    }
    if (name.ends_with(".png")) {
      // Only whole images under final names: the signature and the IEND chunk that ends the file.
      const std::string bytes = ReadText(entry.path());
      EXPECT_TRUE(bytes.size() > 20 && bytes.starts_with("\x89PNG\r\n\x1a\n") &&
                  bytes.compare(bytes.size() - 8, 8, std::string("IEND\xae\x42\x60\x82", 8)) == 0)
          << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, FullDisk, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Limited>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace tf::e2e
