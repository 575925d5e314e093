// `tolvaris export-vdb`, `preview` and `composite` end to end on a small baked scene: the VDB
// files are read back with the real OpenVDB library, the images with the host's PNG decoder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e_scene.h"
#include "host/view/bitmap.h"
#include "io/png_writer.h"
#include "cache/cache_file.h"
#include "tests/io/vdb_test_util.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

class Outputs : public ::testing::Test {
 protected:
  // The scene: frames 0 to 3, the cache and the VDB folder in the test's folder, density,
  // temperature and velocity grids, previews 96 pixels wide.
  void SetUp() override { WriteScene(); }
  void WriteScene(const std::string& extraNodes = "", int endFrame = 3) {
    const std::string params = Range(0, endFrame) + ", " + CachePath(cache_) + R"(, {"name": "vdbPath", "value": ")" +
                               vdb_.string() + R"("}, {"name": "vdbFlame", "value": false},
        {"name": "vdbFuel", "value": false}, {"name": "vdbVelocity", "value": true},
        {"name": "previewWidth", "value": 96}, {"name": "useGPU", "value": false})";
    WriteText(scene_, SceneJson(params, true, extraNodes));
  }
  Outcome Run(const std::string& command, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--documents", docs_.path().string(), command, scene_.string()};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
  }
  void Bake() {
    const Outcome o = Run("simulate");
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(CountFrames(cache_), 4u);
  }
  // Pixels of the image at `file` whose red is well above that of its top left corner.
  static int BrightPixels(const fs::path& file) {
    std::string why;
    const auto image = host::LoadBitmapFile(file, &why);
    EXPECT_NE(image, nullptr) << why;
    if (!image) return -1;
    std::vector<host::Rgba16> row(size_t(image->Width()));
    if (!image->GetRow(0, row)) return -1;
    const host::Rgba16 corner = row[0];
    int bright = 0;
    for (int y = 0; y < image->Height(); ++y) {
      if (!image->GetRow(y, row)) return -1;
      for (const host::Rgba16& p : row)
        if (p.r > corner.r + 60 * 257) ++bright;
    }
    return bright;
  }
  // A background of one colour with a brighter square at its top left corner.
  std::vector<uint8_t> WriteBackground(const fs::path& file, int w, int h) {
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
        const bool corner = x < 8 && y < 8;
        p[0] = corner ? 200 : 40, p[1] = corner ? 180 : 70, p[2] = corner ? 160 : 110;
      }
    EXPECT_TRUE(WritePng(file, rgb.data(), w, h));
    return rgb;
  }

  TempFolder docs_, work_;
  fs::path scene_ = work_.path() / "scene.json";
  fs::path cache_ = work_.path() / "cache";
  fs::path vdb_ = work_.path() / "vdb";
};

TEST_F(Outputs, ExportVdbWritesEveryCachedFrameForTheOpenVdbLibrary) {
  Bake();
  // A frame missing from the cache is skipped.
  ASSERT_TRUE(fs::remove(cache_ / "fire_0002.tfc"));
  const Outcome o = Run("export-vdb");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("3 VDB frames, ", 0), 0u) << o.out;
  EXPECT_NE(o.out.find(", in " + vdb_.string() + ". Load them with "), std::string::npos) << o.out;
  // Progress on stderr, a line per file with the count of the range.
  EXPECT_NE(o.err.find("VDB frame 3: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("[4 of 4 frames"), std::string::npos) << o.err;
  ASSERT_EQ(FileNames(vdb_), (std::vector<std::string>{"Fire_0000.vdb", "Fire_0001.vdb", "Fire_0003.vdb"}));

  const std::set<std::string> allowed{"density", "dust", "temperature", "vel.x", "vel.y", "vel.z"};
  for (const std::string& name : FileNames(vdb_)) {
    const nlohmann::json file = testing::ReadVdbWithLibrary(vdb_ / name, false);
    ASSERT_TRUE(file.is_object()) << name;
    std::set<std::string> grids;
    for (const auto& g : file.at("grids")) grids.insert(g.at("name").get<std::string>());
    for (const char* needed : {"density", "temperature", "vel.x", "vel.y", "vel.z"})
      EXPECT_EQ(grids.count(needed), 1u) << needed << " missing from " << name;
    for (const std::string& g : grids) EXPECT_EQ(allowed.count(g), 1u) << g << " is switched off, in " << name;
  }
  // The fire has smoke by the last frame.
  const nlohmann::json last = testing::ReadVdbWithLibrary(vdb_ / "Fire_0003.vdb", false);
  const nlohmann::json* density = testing::FindGrid(last, "density");
  ASSERT_NE(density, nullptr);
  EXPECT_GT(density->at("activeVoxelCount").get<long>(), 0);
}

TEST_F(Outputs, CtrlCStopsTheExportAndKeepsTheFilesWritten) {
  Bake();
  // A long range: the baked frames copied to frames 4 to 3000.
  WriteScene("", 3000);
  for (int f = 4; f <= 3000; ++f)
    fs::copy_file(cache_ / "fire_0003.tfc", MakeFramePath(cache_.string(), "fire", f, "tfc"));
  Program program({"--documents", docs_.path().string(), "export-vdb", scene_.string()});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (program.Running() && FileNames(vdb_).size() < 5 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(program.Running()) << "the export ended before it could be interrupted";
  program.Interrupt();
  const Outcome o = program.Wait();
  EXPECT_EQ(o.status, 130) << o.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, std::regex(R"(^(\d+) VDB frames, )"))) << o.out;
  const size_t written = std::stoul(m[1]);
  EXPECT_GE(written, 5u);
  EXPECT_LT(written, 3001u);
  // Exactly the files reported, each complete, and no partial file.
  const std::vector<std::string> names = FileNames(vdb_);
  ASSERT_EQ(names.size(), written);
  EXPECT_EQ((vdb_ / names.back()).string(), MakeFramePath(vdb_.string(), "Fire", int(written) - 1, "vdb"));
  EXPECT_TRUE(testing::ReadVdbWithLibrary(vdb_ / names.back(), false).is_object());
}

TEST_F(Outputs, ExportVdbWithNothingCachedFails) {
  const Outcome o = Run("export-vdb");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "tolvaris: No cached frames between 0 and 3 - simulate first.\n");
  EXPECT_EQ(o.out, "");
  EXPECT_TRUE(FileNames(vdb_).empty());
}

TEST_F(Outputs, PreviewSavesTheFrameBesideTheCache) {
  Bake();
  const Outcome o = Run("preview", {"--frame", "3"});
  ASSERT_EQ(o.status, 0) << o.err;
  const fs::path saved = cache_ / "preview_3.png";
  EXPECT_NE(o.out.find("Preview of frame 3: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("(11x11x16 cells).\nSaved " + saved.string() + "\n"), std::string::npos) << o.out;
  std::string why;
  const auto image = host::LoadBitmapFile(saved, &why);
  ASSERT_NE(image, nullptr) << why;
  EXPECT_EQ(image->Width(), 96);
  EXPECT_EQ(image->Height(), 72) << "the aspect of the scene's render size";
  // Fire glows: some pixels are far brighter than the dark background of the corner.
  EXPECT_GT(BrightPixels(saved), 10) << "the preview shows no fire";

  // A frame that is not in the cache, and no frame at all.
  const Outcome missing = Run("preview", {"--frame", "8"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "tolvaris: Nothing to render at frame 8 - simulate first, turn on Live, or move the time slider.\n");
  EXPECT_EQ(Run("preview").status, 2);
}

TEST_F(Outputs, APreviewThatCannotBeSavedFails) {
  Bake();
  // A folder stands where the image should go.
  fs::create_directories(cache_ / "preview_1.png");
  const Outcome o = Run("preview", {"--frame", "1"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("\nCould not save " + (cache_ / "preview_1.png").string() + "\n"), std::string::npos) << o.err;
  EXPECT_EQ(o.out.find("Saved"), std::string::npos) << o.out;
}

TEST_F(Outputs, PreviewRendersThroughTheScenesFirstCamera) {
  // A camera under the domain looking down, away from the fire: the preview shows none of it.
  WriteScene(R"(, {"handle": 3, "name": "Below", "position": {"value": [0, 0, -300]}, "object": {"class": "Camera"}})");
  Bake();
  const Outcome o = Run("preview", {"--frame", "3"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(BrightPixels(cache_ / "preview_3.png"), 0);
}

TEST_F(Outputs, CompositeWritesTheBackgroundsSizeOverIt) {
  Bake();
  const fs::path bg = work_.path() / "bg.png", out = work_.path() / "out.png";
  const std::vector<uint8_t> background = WriteBackground(bg, 120, 80);
  const Outcome o = Run("composite", {"--frame", "2", "--background", bg.string(), "--output", out.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "composited " + out.string() + "\n");
  std::string why;
  const auto image = host::LoadBitmapFile(out, &why);
  ASSERT_NE(image, nullptr) << why;
  ASSERT_EQ(image->Width(), 120);
  ASSERT_EQ(image->Height(), 80);
  // Where no smoke is in front of it (the corner) the background shows exactly; the fire changes
  // other pixels.
  std::vector<host::Rgba16> row(120);
  ASSERT_TRUE(image->GetRow(0, row));
  EXPECT_EQ(row[0], (host::Rgba16{200 * 257, 180 * 257, 160 * 257, 65535}));
  int changed = 0;
  for (int y = 0; y < 80; ++y) {
    ASSERT_TRUE(image->GetRow(y, row));
    for (int x = 0; x < 120; ++x) {
      const uint8_t* b = &background[(size_t(y) * 120 + size_t(x)) * 3];
      if (row[size_t(x)].r / 257 != b[0] || row[size_t(x)].g / 257 != b[1]) ++changed;
    }
  }
  EXPECT_GT(changed, 10) << "nothing of the fire over the background";
}

}  // namespace
}  // namespace tf::e2e
