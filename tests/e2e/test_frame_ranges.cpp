// Frame ranges of a baked domain: `export-vdb --frames A:B` in chunks writes the files of one
// export, and `preview --frames A:B -o DIR` writes a flipbook named as the bake names its
// previews, at --width when given.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "host/view/bitmap.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

class FrameRanges : public ::testing::Test {
 protected:
  // Frames -2 to 5, so that the names of negative frames are covered too.
  void SetUp() override {
    WriteScene(scene_, work_.path() / "vdbA");
    const Outcome o = Run("simulate", scene_, {});
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(CountFrames(cache_), 8u);
  }
  void WriteScene(const fs::path& file, const fs::path& vdb) {
    WriteText(file, SceneJson(Range(-2, 5) + ", " + CachePath(cache_) + R"(, {"name": "vdbPath", "value": ")" +
                              vdb.string() + R"("}, {"name": "previewWidth", "value": 80}, {"name": "useGPU", "value": false})"));
  }
  Outcome Run(const std::string& command, const fs::path& scene, std::vector<std::string> more) {
    std::vector<std::string> args{"--documents", docs_.path().string(), command, scene.string()};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
  }
  static int WidthOf(const fs::path& png) {
    std::string why;
    const auto image = host::LoadBitmapFile(png, &why);
    return image ? image->Width() : -1;
  }

  TempFolder docs_, work_;
  fs::path scene_ = work_.path() / "shot.json";
  fs::path cache_ = work_.path() / "cache";
};

TEST_F(FrameRanges, ChunkedExportWritesExactlyTheFilesOfOneExport) {
  ASSERT_EQ(Run("export-vdb", scene_, {}).status, 0);
  // The same cache exported again in chunks of three into another folder.
  const fs::path chunked = work_.path() / "chunked.json";
  WriteScene(chunked, work_.path() / "vdbB");
  for (const char* range : {"-2:0", "1:3", "4:5"}) {
    const Outcome o = Run("export-vdb", chunked, {"--frames", range});
    ASSERT_EQ(o.status, 0) << range << ": " << o.err;
  }
  const auto whole = VdbFilesButTheirIds(work_.path() / "vdbA"), parts = VdbFilesButTheirIds(work_.path() / "vdbB");
  ASSERT_EQ(whole.size(), 8u);
  EXPECT_TRUE(whole.count("Fire_m0002.vdb"));
  EXPECT_TRUE(whole == parts) << "the chunks wrote other files or other bytes";
}

TEST_F(FrameRanges, ExportRangeOutsideTheDomainIsAUsageError) {
  for (const char* range : {"-3:0", "4:6", "3:1", "1-3"}) {
    const Outcome o = Run("export-vdb", scene_, {"--frames", range});
    EXPECT_EQ(o.status, 2) << range;
    EXPECT_NE(o.err.find("--frames"), std::string::npos) << o.err;
  }
  EXPECT_FALSE(fs::exists(work_.path() / "vdbA"));
}

TEST_F(FrameRanges, FlipbookNamesItsFramesAsTheBakeDoesAtTheGivenWidth) {
  const fs::path flip = work_.path() / "flip";
  const Outcome o = Run("preview", scene_, {"--frames", "-2:1", "-o", flip.string(), "--width", "128"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(FileNames(flip), (std::vector<std::string>{"Fire_preview_0000.png", "Fire_preview_0001.png",
                                                       "Fire_preview_m0001.png", "Fire_preview_m0002.png"}));
  EXPECT_EQ(WidthOf(flip / "Fire_preview_m0002.png"), 128);
  // Without --width the domain's previewWidth; a single frame goes beside the cache as before.
  ASSERT_EQ(Run("preview", scene_, {"--frame", "2", "--cache"}).status, 0);
  EXPECT_EQ(WidthOf(cache_ / "preview_2.png"), 80);
}

TEST_F(FrameRanges, PreviewRefusesWidthsAndOptionsItCannotUse) {
  const std::string flip = (work_.path() / "flip").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--frame", "1", "--width", "63"}, "--width: the renderer draws images 64 to 8192 pixels wide, not 63"},
      {{"--frames", "0:1", "-o", flip, "--width", "9000"}, "not 9000"},
      {{"--frames", "0:1"}, "-o DIR names the flipbook's folder"},
      {{"--frame", "1", "--frames", "0:1", "-o", flip}, "give one of them"},
      {{"--frames", "0:1", "-o", flip, "--live"}, "--live shows one frame"},
      {{"--frame", "1", "-o", flip}, "-o: only with --frames"},
      {{"--frames", "0:1", "-o", flip, "--chunk", "2"}, "need --farm slurm"}};
  for (const auto& [args, says] : cases) {
    const Outcome o = Run("preview", scene_, args);
    EXPECT_EQ(o.status, 2) << says;
    EXPECT_NE(o.err.find(says), std::string::npos) << o.err;
  }
  EXPECT_FALSE(fs::exists(flip));
}

}  // namespace
}  // namespace tf::e2e
