// The VDB export of a domain's cached frames: which frames, which folder, which file names, what
// the progress callback and the summary say, and what a failure or a cancel leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "host/core/atomic_file.h"
#include "domain/fire_params_desc.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "io/vdb_export.h"
#include "tests/io/vdb_test_util.h"
#include "tests/sim/sim_test_util.h"

namespace tf {
namespace {

using testing::ReadVdbWithLibrary;
using testing::TempFolder;

std::string Summary(int frames, double averageMb, const std::string& folder) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "%d VDB frame%s, %.1f MB each on average, in %s. Load them with a V-Ray VolumeGrid or "
                "Corona VolumeGrid placed at this domain's pivot (units: scene units).",
                frames, frames == 1 ? "" : "s", averageMb, folder.c_str());
  return text;
}

struct Call {
  int32_t done, total;
  std::string text;
};

class VdbExport : public ::testing::Test {
 protected:
  VdbExport() : block_(FireParamBlockDesc(), nullptr) {
    domain_.params = &block_;
    domain_.cacheFolder = dir_ / "cache";
    EnsureDirectory(domain_.cacheFolder);
    block_.SetInt(kStartFrame, 0, 1);
    block_.SetInt(kEndFrame, 0, 10);
    block_.SetString(kVdbPath, 0, dir_ / "vdb");
    node_ = scene_.CreateNode("Fire01");
  }

  void Cache(int frame, uint32_t extraMask = 0) {
    ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(frame, extraMask),
                                MakeFramePath(domain_.cacheFolder, "fire", frame, "tfc")));
  }

  ExportResult Run(const host::Node* node, bool (*stopAfter)(const Call&) = nullptr) {
    calls_.clear();
    ProgressFn progress = [&](void* unused, int32_t done, int32_t total, const std::string& text) {
      EXPECT_EQ(unused, nullptr);
      calls_.push_back({done, total, text});
      return !(stopAfter && stopAfter(calls_.back()));
    };
    return ExportVdbSequence(&domain_, node, progress);
  }

  TempFolder dir_;
  host::Scene scene_;
  host::ParamBlock block_;
  VdbExportDomain domain_;
  host::Node* node_ = nullptr;
  std::vector<Call> calls_;
};

TEST_F(VdbExport, WritesOnlyTheCachedFramesOfTheRange) {
  Cache(3);
  Cache(5, 0xF0);  // with velocity and dust
  Cache(0);        // outside the range
  Cache(11);
  const std::string folder = dir_ / "vdb";
  ExportResult r = Run(node_);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.framesWritten, 2);

  const std::string f3 = folder + "/Fire01_0003.vdb", f5 = folder + "/Fire01_0005.vdb";
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{f3, f5}));

  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].done, 3);
  EXPECT_EQ(calls_[0].total, 10);
  EXPECT_EQ(calls_[1].done, 5);
  EXPECT_EQ(calls_[1].total, 10);
  const double s3 = double(std::filesystem::file_size(f3)), s5 = double(std::filesystem::file_size(f5));
  char text[64];
  std::snprintf(text, sizeof text, "VDB frame 5: %.1f MB", s5 / 1048576.0);
  EXPECT_EQ(calls_[1].text, text);
  EXPECT_EQ(r.message, Summary(2, (s3 + s5) / 1048576.0 / 2, folder));

  // The default switches: density (and dust, where the frame has it), temperature and flame.
  for (auto [file, names] : {std::pair{f3, std::vector<std::string>{"density", "temperature", "flame"}},
                             std::pair{f5, std::vector<std::string>{"density", "dust", "temperature", "flame"}}}) {
    nlohmann::json vdb = ReadVdbWithLibrary(file, false);
    ASSERT_FALSE(vdb.is_null());
    EXPECT_EQ(vdb.at("grids").size(), names.size());
    EXPECT_EQ(vdb.at("fileOrder").get<std::vector<std::string>>(), names) << file;
  }
}

TEST_F(VdbExport, FramesKeepTheirPlaceFromTheGridTheyWereBakedOn) {
  // The domain's box no longer matches the baked grid (10 x 8 cells of 1.9685 units): the files
  // still place each cell centre where the bake had it, half the grid left of the pivot.
  block_.SetFloat(kSizeX, 0, 500.0f);
  block_.SetInt(kResolution, 0, 300);
  Cache(4);
  ExportResult r = Run(node_);
  ASSERT_TRUE(r.ok) << r.message;
  nlohmann::json vdb = ReadVdbWithLibrary(dir_ / "vdb/Fire01_0004.vdb", false);
  ASSERT_FALSE(vdb.is_null());
  const double h = double(1.9685f);
  const std::vector<double> origin = vdb.at("grids")[0].at("origin").get<std::vector<double>>();
  EXPECT_EQ(origin, (std::vector<double>{double(10.0f * -0.5f * 1.9685f) + h / 2,
                                         double(8.0f * -0.5f * 1.9685f) + h / 2, h / 2}));
  EXPECT_EQ(vdb.at("grids")[0].at("voxelSize")[0].get<double>(), h);
}

TEST_F(VdbExport, NothingToExport) {
  Cache(3);
  block_.SetInt(kStartFrame, 0, 10);
  block_.SetInt(kEndFrame, 0, 2);  // end below start: the two values unchanged, larger first
  ExportResult r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.framesWritten, 0);
  EXPECT_EQ(r.message, "No cached frames between 10 and 2 - simulate first.");
  EXPECT_TRUE(calls_.empty());

  block_.SetInt(kStartFrame, 0, 4);
  block_.SetInt(kEndFrame, 0, 9);
  r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "No cached frames between 4 and 9 - simulate first.");
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "vdb"));

  // No domain: the result comes back untouched.
  r = ExportVdbSequence(nullptr, node_, nullptr);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.message.empty());
}

TEST_F(VdbExport, FolderRulesAndFileNames) {
  Cache(-3);
  block_.SetInt(kStartFrame, 0, -3);
  block_.SetInt(kEndFrame, 0, -3);

  // Trailing separators, any mix and number, are dropped from the folder and the message.
  block_.SetString(kVdbPath, 0, (dir_ / "deep/er") + "//\\\\/");
  ExportResult r = ExportVdbSequence(&domain_, node_, nullptr);
  ASSERT_TRUE(r.ok) << r.message;
  const std::string deep = dir_ / "deep/er";
  EXPECT_TRUE(std::filesystem::exists(deep + "/Fire01_m0003.vdb"));
  EXPECT_EQ(r.message.rfind("1 VDB frame, ", 0), 0u) << r.message;  // no plural s
  EXPECT_NE(r.message.find(" in " + deep + ". Load"), std::string::npos) << r.message;

  // No VDB folder: the output folder; no output folder either: <cache>/out. No node: "fire".
  block_.SetString(kVdbPath, 0, "");
  block_.SetString(kOutPath, 0, (dir_ / "outputs") + "/");
  ASSERT_TRUE(ExportVdbSequence(&domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "outputs/fire_m0003.vdb"));
  block_.SetString(kOutPath, 0, "");
  ASSERT_TRUE(ExportVdbSequence(&domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(domain_.cacheFolder + "/out/fire_m0003.vdb"));

  // Relative settings go through the domain's resolver.
  domain_.resolvePath = [&](const std::string& p) { return dir_ / ("scene/" + p); };
  block_.SetString(kVdbPath, 0, "rel");
  ASSERT_TRUE(ExportVdbSequence(&domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "scene/rel/fire_m0003.vdb"));

  // A node name never leads out of the folder.
  domain_.resolvePath = nullptr;
  block_.SetString(kVdbPath, 0, dir_ / "named");
  node_->SetName("../../escape/x");
  ASSERT_TRUE(ExportVdbSequence(&domain_, node_, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "named/______escape_x_m0003.vdb"));
  EXPECT_EQ(VdbFileBaseName(""), "fire");
}

TEST_F(VdbExport, AllSwitchesOffStillWritesValidFiles) {
  Cache(2, 0xF0);
  for (int id : {kVdbDensity, kVdbTemp, kVdbFlame, kVdbFuel, kVdbVelocity}) block_.SetBool(id, 0, false);
  ExportResult r = Run(node_);
  ASSERT_TRUE(r.ok) << r.message;
  nlohmann::json vdb = ReadVdbWithLibrary(dir_ / "vdb/Fire01_0002.vdb");
  ASSERT_FALSE(vdb.is_null());
  EXPECT_TRUE(vdb.at("grids").empty());

  // And every switch on: eight grids from a frame with velocity and dust.
  for (int id : {kVdbDensity, kVdbTemp, kVdbFlame, kVdbFuel, kVdbVelocity}) block_.SetBool(id, 0, true);
  ASSERT_TRUE(Run(node_).ok);
  vdb = ReadVdbWithLibrary(dir_ / "vdb/Fire01_0002.vdb", false);
  ASSERT_FALSE(vdb.is_null());
  EXPECT_EQ(vdb.at("grids").size(), 8u);
}

TEST_F(VdbExport, CancelKeepsWhatWasWritten) {
  for (int f : {2, 4, 6}) Cache(f);
  ExportResult r = Run(node_, [](const Call& c) { return c.done == 4; });
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.framesWritten, 2);
  EXPECT_EQ(calls_.size(), 2u);
  EXPECT_EQ(r.message.rfind("2 VDB frames, ", 0), 0u) << r.message;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "vdb/Fire01_0004.vdb"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "vdb/Fire01_0006.vdb"));
}

TEST_F(VdbExport, RefusedWhileABakeWritesTheDomain) {
  Cache(3);
  host::FileLock bake;
  ASSERT_TRUE(LockCacheFolder(bake, domain_.cacheFolder, kBakeHolder, nullptr));
  ExportResult r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "A bake is writing to " + domain_.cacheFolder + " - wait for it to finish or stop it.");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "vdb"));
}

TEST_F(VdbExport, FailuresStopWithTheirMessage) {
  for (int f : {3, 5, 7}) Cache(f);
  // Frame 5's file name is taken by a folder: the rename cannot replace it.
  std::filesystem::create_directories(dir_ / "vdb/Fire01_0005.vdb");
  ExportResult r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.framesWritten, 1);
  EXPECT_EQ(r.message, "VDB write failed at frame 5: write failed: cannot replace " +
                           (dir_ / "vdb/Fire01_0005.vdb") + ": Is a directory");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "vdb/Fire01_0003.vdb"));  // kept
  EXPECT_FALSE(std::filesystem::exists(dir_ / "vdb/Fire01_0007.vdb"));  // never tried

  // A folder that cannot be made: no frame is tried.
  testing::WriteBytes(dir_ / "plain", {1});
  block_.SetString(kVdbPath, 0, dir_ / "plain/sub");
  r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Cannot create the VDB folder " + (dir_ / "plain/sub"));
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace tf
