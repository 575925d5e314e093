// A bake with its VDB and PRT outputs switched on, killed (SIGKILL) at many moments: whatever lies under a
// final name afterwards is a whole file, and the leftovers are temporary names only, which the next
// bake clears away.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "e2e_scene.h"
#include "cache/cache_file.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& bytes, std::string_view prefix) { return bytes.compare(0, prefix.size(), prefix) == 0; }

// Every file of the folders: a whole cache frame, VDB, PRT or PNG file, or a temporary name when
// `partsAllowed`. Returns what is wrong, empty when nothing is.
std::string CheckFiles(const std::vector<fs::path>& folders, bool partsAllowed) {
  std::string wrong;
  for (const fs::path& folder : folders)
    for (const std::string& name : FileNames(folder)) {
      const fs::path file = folder / name;
      if (fs::is_directory(file) || name.starts_with(".") || name.starts_with("restart_")) continue;
      if (name.ends_with(".part")) {
        if (!partsAllowed) wrong += " leftover " + name;
        continue;
      }
      const std::string bytes = ReadText(file);
      bool whole = false;
      if (name.ends_with(".tfc")) {
        CacheFrame frame;
        whole = ReadCacheFrame(file.string(), frame);
      } else if (name.ends_with(".png")) {
        whole = StartsWith(bytes, "\x89PNG\r\n\x1a\n") && bytes.size() > 20 &&
                bytes.compare(bytes.size() - 8, 8, std::string("IEND\xae\x42\x60\x82", 8)) == 0;
      } else if (name.ends_with(".vdb")) {
        whole = StartsWith(bytes, std::string(" BDV\0\0\0\0", 8)) && bytes.size() > 64;
      } else if (name.ends_with(".prt")) {
        whole = StartsWith(bytes, "\xc0PRT\r\n\x1a\n") && bytes.size() > 64;
      }
      if (!whole) wrong += " torn " + name;
    }
  return wrong;
}

TEST(KillBake, AtAnyMomentLeavesOnlyWholeFilesUnderFinalNames) {
  TempFolder work;
  const fs::path cache = work / "cache", scene = work / "scene.json";
  // The previews look through the domain's preview camera: the program bakes without a viewport.
  std::string json = SceneJson(Range(0, 30) + ", " + CachePath(cache) +
                                   R"(, {"name": "previewWidth", "value": 64}, {"name": "restartEvery", "value": 3},
                                   {"name": "previewCamera", "value": 3})",
                               true, R"(, {"handle": 3, "name": "Cam", "position": {"value": [0, 0, 300]},
                                   "object": {"class": "Camera"}})");
  for (const std::string output : {"outVDB", "outPRT", "outPreview"}) {
    const std::string off = R"({"name": ")" + output + R"(", "value": false})";
    const size_t at = json.find(off);
    ASSERT_NE(at, std::string::npos) << output;
    json.replace(at, off.size(), R"({"name": ")" + output + R"(", "value": true})");
  }
  WriteText(scene, json);
  const std::vector<std::string> args{"--documents", work.path().string(), "simulate", scene.string()};
  const std::vector<fs::path> folders{cache, cache / "out"};
  std::mt19937 random(20261209u);
  for (int kill = 0; kill < 12; ++kill) {
    Program program(args);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 1500)(random)));
    if (program.Running()) ::kill(program.pid(), SIGKILL);
    const Outcome o = program.Wait();
    ASSERT_TRUE(o.status == 128 + SIGKILL || o.status == 0) << o.err;
    const std::string wrong = CheckFiles(folders, true);
    EXPECT_TRUE(wrong.empty()) << "kill " << kill << ":" << wrong;
  }
  const Outcome last = RunProgram(args);
  ASSERT_EQ(last.status, 0) << last.err;
  EXPECT_EQ(CountFrames(cache), 31u);
  size_t vdb = 0, prt = 0, png = 0;
  for (const std::string& name : FileNames(cache / "out")) {
    vdb += name.ends_with(".vdb");
    prt += name.ends_with(".prt");
    png += name.ends_with(".png");
  }
  EXPECT_EQ(vdb, 31u);
  EXPECT_EQ(prt, 31u);
  EXPECT_EQ(png, 31u) << "a preview per frame";
  const std::string wrong = CheckFiles(folders, false);
  EXPECT_TRUE(wrong.empty()) << wrong;
}

}  // namespace
}  // namespace tf::e2e
