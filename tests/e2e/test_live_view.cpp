// Live mode, the viewport and the cache folder of a scene file, through the built program: the
// commands run one after another on one scene file, as a user runs them.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "host/view/bitmap.h"
#include "e2e_scene.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

// Pixels of an image whose colour is close to (r, g, b).
int PixelsNear(const fs::path& file, int r, int g, int b) {
  std::string why;
  const auto image = host::LoadBitmapFile(file, &why);
  EXPECT_NE(image, nullptr) << why;
  if (!image) return -1;
  std::vector<host::Rgba16> row(size_t(image->Width()));
  int n = 0;
  for (int y = 0; y < image->Height(); ++y) {
    image->GetRow(y, row);
    for (const host::Rgba16& p : row)
      if (std::abs(p.r / 257 - r) < 12 && std::abs(p.g / 257 - g) < 12 && std::abs(p.b / 257 - b) < 12) ++n;
  }
  return n;
}

// Pixels that are neither the viewport's background nor the box's or the label's colour: the
// objects' wireframes and the fire's points.
int OtherPixels(const fs::path& file) {
  std::string why;
  const auto image = host::LoadBitmapFile(file, &why);
  if (!image) return -1;
  return image->Width() * image->Height() - PixelsNear(file, 48, 48, 52) - PixelsNear(file, 255, 138, 30) -
         PixelsNear(file, 180, 255, 224);
}

class LiveView : public ::testing::Test {
 protected:
  // The e2e scene with the domain's cache in the documents folder (no cachePath) and live mode
  // following the timeline at 16 cells.
  fs::path WriteScene(int liveMode = 1) {
    std::string json = SceneJson(Range(0, 4) + R"(, {"name": "liveResolution", "value": 16})");
    const std::string off = R"("liveMode", "value": 0)";
    json.replace(json.find(off), off.size(), R"("liveMode", "value": )" + std::to_string(liveMode));
    const fs::path file = work_ / "scene.json";
    WriteText(file, json);
    return file;
  }
  Outcome Run(const std::string& command, std::vector<std::string> more) {
    std::vector<std::string> args{"--documents", docs_.path().string(), command, (work_ / "scene.json").string()};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
  }
  std::vector<std::string> CacheFolders() { return FileNames(docs_ / "TolvarisFire"); }

  TempFolder docs_;
  TempFolder work_;
};

TEST_F(LiveView, EveryCommandOnOneSceneFileUsesOneCacheFolder) {
  WriteScene();
  ASSERT_EQ(Run("simulate", {}).status, 0);
  const std::vector<std::string> folders = CacheFolders();
  ASSERT_EQ(folders.size(), 1u);
  const Outcome again = Run("simulate", {});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(CacheFolders(), folders) << "a rebake replaces the frames in the same folder";
  const Outcome vdb = Run("export-vdb", {});
  EXPECT_EQ(vdb.status, 0) << vdb.err;
  // The domain follows the timeline: the preview shows the live frame; --cache the baked one.
  const Outcome live = Run("preview", {"--frame", "2"});
  EXPECT_EQ(live.status, 0) << live.err;
  const Outcome cached = Run("preview", {"--frame", "2", "--cache"});
  EXPECT_EQ(cached.status, 0) << cached.err;
  EXPECT_EQ(CacheFolders(), folders);
  EXPECT_TRUE(fs::exists(docs_ / "TolvarisFire" / folders[0] / "preview_2.png"));
}

TEST_F(LiveView, LivePrintsEveryFramesLiveTextAndWritesAFlipbook) {
  WriteScene();
  const fs::path out = work_ / "flipbook";
  const Outcome o = Run("live", {"--frames", "0:3", "--every", "2", "-o", out.string(), "--size", "160x90"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::regex line(R"(frame (\d): LIVE 11x11x16 on the CPU: frame (\d), 1 step in \d+ ms \(\d+\.\d ms solve\)\n)");
  int lines = 0;
  for (auto it = std::sregex_iterator(o.out.begin(), o.out.end(), line); it != std::sregex_iterator(); ++it, ++lines)
    EXPECT_EQ((*it)[1], (*it)[2]) << "following the timeline simulates each frame once";
  EXPECT_EQ(lines, 4) << o.out;
  EXPECT_EQ(FileNames(out), (std::vector<std::string>{"view_0000.png", "view_0002.png"}));
  EXPECT_GT(PixelsNear(out / "view_0002.png", 255, 138, 30), 20) << "the domain's box";

  // Playing backwards restarts on every frame and simulates again from the start frame.
  const Outcome back = Run("live", {"--frames", "3:2"});
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_NE(back.out.find("frame 3: LIVE 11x11x16 on the CPU: frame 3, 4 steps"), std::string::npos) << back.out;
  EXPECT_NE(back.out.find("frame 2: LIVE 11x11x16 on the CPU: frame 2, 3 steps"), std::string::npos) << back.out;

  // A start far past the start frame: the first update takes 150 steps, later ones 4 each, and the
  // frame printed is the slider's once they caught up (201 steps: 150, twelve of 4, then 3).
  const Outcome far = Run("live", {"--frames", "200:200"});
  ASSERT_EQ(far.status, 0) << far.err;
  EXPECT_NE(far.out.find("frame 200: LIVE 11x11x16 on the CPU: frame 200, 3 steps"), std::string::npos) << far.out;
}

TEST_F(LiveView, RunningContinuouslyStepsOncePerTimerTickAtTheSlidersFrame) {
  WriteScene(2);
  const Outcome o = Run("live", {"--frames", "1:3"});
  ASSERT_EQ(o.status, 0) << o.err;
  // The live frame count grows by one per frame's tick.
  EXPECT_NE(o.out.find("frame 1: LIVE 11x11x16 on the CPU: frame 0, 1 step"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("frame 3: LIVE 11x11x16 on the CPU: frame 2, 1 step"), std::string::npos) << o.out;
}

TEST_F(LiveView, TheViewportShowsTheCachedFramesPointsWithCache) {
  WriteScene();
  const fs::path before = work_ / "before.png", after = work_ / "after.png";
  ASSERT_EQ(Run("viewport", {"--frame", "4", "--cache", "--size", "320x180", "-o", before.string()}).status, 0);
  ASSERT_EQ(Run("simulate", {}).status, 0);
  const Outcome o = Run("viewport", {"--frame", "4", "--cache", "--size", "320x180", "-o", after.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "drew " + after.string() + " at frame 4\n");
  EXPECT_GT(PixelsNear(before, 255, 138, 30), 20) << "the box shows without a frame";
  EXPECT_GT(OtherPixels(after), OtherPixels(before) + 20) << "the baked frame's points";
}

TEST_F(LiveView, BadCommandLinesAndOutputsSayWhatIsWrong) {
  WriteScene();
  struct Case {
    const char* what;
    std::string command;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string png = (work_ / "v.png").string();
  const std::vector<Case> cases = {
      {"frame out of range", "viewport", {"--frame", "200000", "-o", png}, 2, "--frame"},
      {"unknown domain", "viewport", {"--frame", "1", "--domain", "Nope", "-o", png}, 2, "no node named \"Nope\""},
      {"malformed size", "viewport", {"--frame", "1", "--size", "0x5", "-o", png}, 2, "--size"},
      {"both displays", "viewport", {"--frame", "1", "--cache", "--live", "-o", png}, 2, "--live"},
      {"unwritable image", "viewport", {"--frame", "1", "--cache", "-o", (work_ / "no" / "v.png").string()}, 1, "v.png"},
      {"malformed frames", "live", {"--frames", "3"}, 2, "--frames"},
      {"unwritable flipbook", "live", {"--frames", "0:1", "-o", "/proc/flipbook"}, 1, "flipbook"},
  };
  for (const Case& c : cases) {
    const Outcome o = Run(c.command, c.args);
    EXPECT_EQ(o.status, c.status) << c.what << ": " << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << c.what << ": " << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << c.what << ": one line: " << o.err;
  }
}

}  // namespace
}  // namespace tf::e2e
