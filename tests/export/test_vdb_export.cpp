// The VDB export of a domain's cached frames: which frames, which folder, which file names, what
// the progress callback and the summary say, and what a failure or a cancel leaves behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "host/core/atomic_file.h"
#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/fire_object.h"
#include "export/vdb_export.h"
#include "tests/io/vdb_test_util.h"
#include "tests/cache/cache_test_util.h"

namespace tf {
namespace {

using testing::ActiveVoxels;
using testing::FindGrid;
using testing::ReadVdbWithLibrary;
using testing::TempFolder;
using testing::VoxelMap;

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
  VdbExport() {
    std::string why;
    EXPECT_TRUE(RegisterFireClass(&why)) << why;
    std::unique_ptr<host::Object> object = host::CreateObject(kFireClassName, &why);
    domain_ = AsFireObject(object.get());
    block_ = domain_->Params();
    block_->SetString(kCachePath, 0, dir_ / "cache");
    block_->SetInt(kStartFrame, 0, 1);
    block_->SetInt(kEndFrame, 0, 10);
    block_->SetString(kVdbPath, 0, dir_ / "vdb");
    node_ = scene_.CreateNode("Fire01", std::move(object));
    cacheFolder_ = domain_->CacheFolder();
    EnsureDirectory(cacheFolder_);
  }

  void Cache(int frame, uint32_t extraMask = 0) {
    ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(frame, extraMask),
                                MakeFramePath(cacheFolder_, "fire", frame, "tfc")));
  }

  ExportResult Run(const host::Node* node, bool (*stopAfter)(const Call&) = nullptr) {
    calls_.clear();
    ProgressFn progress = [&](void* unused, int32_t done, int32_t total, const std::string& text) {
      EXPECT_EQ(unused, nullptr);
      calls_.push_back({done, total, text});
      return !(stopAfter && stopAfter(calls_.back()));
    };
    return ExportVdbSequence(domain_, node, progress);
  }

  TempFolder dir_;
  host::Scene scene_;
  FireObject* domain_ = nullptr;
  host::ParamBlock* block_ = nullptr;
  std::string cacheFolder_;
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
  block_->SetFloat(kSizeX, 0, 500.0f);
  block_->SetInt(kResolution, 0, 300);
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
  block_->SetInt(kStartFrame, 0, 10);
  block_->SetInt(kEndFrame, 0, 2);  // end below start: the two values unchanged, larger first
  ExportResult r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.framesWritten, 0);
  EXPECT_EQ(r.message, "No cached frames between 10 and 2 - simulate first.");
  EXPECT_TRUE(calls_.empty());

  block_->SetInt(kStartFrame, 0, 4);
  block_->SetInt(kEndFrame, 0, 9);
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
  block_->SetInt(kStartFrame, 0, -3);
  block_->SetInt(kEndFrame, 0, -3);

  // Trailing separators, any mix and number, are dropped from the folder and the message.
  block_->SetString(kVdbPath, 0, (dir_ / "deep/er") + "//\\\\/");
  ExportResult r = ExportVdbSequence(domain_, node_, nullptr);
  ASSERT_TRUE(r.ok) << r.message;
  const std::string deep = dir_ / "deep/er";
  EXPECT_TRUE(std::filesystem::exists(deep + "/Fire01_m0003.vdb"));
  EXPECT_EQ(r.message.rfind("1 VDB frame, ", 0), 0u) << r.message;  // no plural s
  EXPECT_NE(r.message.find(" in " + deep + ". Load"), std::string::npos) << r.message;

  // No VDB folder: the output folder; no output folder either: <cache>/out. No node: "fire".
  block_->SetString(kVdbPath, 0, "");
  block_->SetString(kOutPath, 0, (dir_ / "outputs") + "/");
  ASSERT_TRUE(ExportVdbSequence(domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "outputs/fire_m0003.vdb"));
  block_->SetString(kOutPath, 0, "");
  ASSERT_TRUE(ExportVdbSequence(domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(cacheFolder_ + "/out/fire_m0003.vdb"));

  // Relative settings are taken against the scene file's folder.
  scene_.SetFilePath(dir_ / "scene/fire.json");
  block_->SetString(kVdbPath, 0, "rel");
  ASSERT_TRUE(ExportVdbSequence(domain_, nullptr, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "scene/rel/fire_m0003.vdb"));

  // A node name never leads out of the folder.
  block_->SetString(kVdbPath, 0, dir_ / "named");
  node_->SetName("../../escape/x");
  ASSERT_TRUE(ExportVdbSequence(domain_, node_, nullptr).ok);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "named/______escape_x_m0003.vdb"));
  EXPECT_EQ(VdbFileBaseName(""), "fire");
}

TEST_F(VdbExport, AllSwitchesOffStillWritesValidFiles) {
  Cache(2, 0xF0);
  for (int id : {kVdbDensity, kVdbTemp, kVdbFlame, kVdbFuel, kVdbVelocity}) block_->SetBool(id, 0, false);
  ExportResult r = Run(node_);
  ASSERT_TRUE(r.ok) << r.message;
  nlohmann::json vdb = ReadVdbWithLibrary(dir_ / "vdb/Fire01_0002.vdb");
  ASSERT_FALSE(vdb.is_null());
  EXPECT_TRUE(vdb.at("grids").empty());

  // And every switch on: eight grids from a frame with velocity and dust.
  for (int id : {kVdbDensity, kVdbTemp, kVdbFlame, kVdbFuel, kVdbVelocity}) block_->SetBool(id, 0, true);
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
  ASSERT_TRUE(LockCacheFolder(bake, cacheFolder_, kBakeHolder, nullptr));
  ExportResult r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "A bake is writing to " + cacheFolder_ + " - wait for it to finish or stop it.");
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
  block_->SetString(kVdbPath, 0, dir_ / "plain/sub");
  r = Run(node_);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Cannot create the VDB folder " + (dir_ / "plain/sub"));
  EXPECT_TRUE(calls_.empty());
}

// ---- Cache frames --------------------------------------------------------------------------------

// A 5 x 4 x 3 crop at (2, 1, 3) of a 10 x 8 x 6 grid with every channel, dust included.
CacheFrame MakeFrame() {
  CacheFrame f = testing::MakeSmallFrame(12, 0xF0);
  f.header.cropSize = {5, 4, 3};
  const size_t n = 5 * 4 * 3;
  for (int c = 0; c < kCacheChannels; ++c) {
    f.channels[c].resize(n);
    for (size_t i = 0; i < n; ++i) f.channels[c][i] = RoundToHalf(0.01f * float(c + 1) * (float(i % 17) - 4.0f));
  }
  return f;
}

TEST(VdbExportFrame, ChannelsBecomeNamedGridsInFileOrder) {
  TempFolder dir;
  CacheFrame frame = MakeFrame();
  // Temperature: 0.0015 becomes 301.5 K; 0.001 is exactly the threshold and stays out.
  frame.channels[kChannelTemperature][0] = 0.0015f;
  frame.channels[kChannelTemperature][1] = 0.001f;
  frame.channels[kChannelTemperature][2] = -0.002f;
  DomainGrid grid;
  grid.nx = 10, grid.ny = 8, grid.nz = 6;
  grid.cellSize = frame.header.cellSizeScene;
  grid.originX = -9.8425f, grid.originY = -7.874f, grid.originZ = 0.0f;

  const std::string file = dir / "all.vdb";
  std::string error = "left from before";
  int64_t bytes = -1;
  ASSERT_TRUE(ExportFrameVdb(frame, grid, file, 31, &error, &bytes)) << error;
  EXPECT_EQ(bytes, static_cast<int64_t>(std::filesystem::file_size(file)));
  nlohmann::json vdb = ReadVdbWithLibrary(file);
  ASSERT_FALSE(vdb.is_null());
  const std::vector<std::string> names{"density", "dust", "temperature", "flame", "fuel", "vel.x", "vel.y", "vel.z"};
  const int channelOf[] = {kChannelDensity, kChannelDust, kChannelTemperature, kChannelFlame,
                           kChannelFuel, kChannelVelX, kChannelVelY, kChannelVelZ};
  ASSERT_EQ(vdb.at("grids").size(), names.size());
  EXPECT_EQ(vdb.at("fileOrder").get<std::vector<std::string>>(), names);
  const double h = double(frame.header.cellSizeScene);
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_NE(FindGrid(vdb, names[i]), nullptr);
    const nlohmann::json& g = *FindGrid(vdb, names[i]);
    EXPECT_EQ(g.at("voxelSize").get<std::vector<double>>(), (std::vector<double>{h, h, h}));
    const std::vector<double> origin = g.at("origin").get<std::vector<double>>();
    EXPECT_EQ(origin, (std::vector<double>{double(-9.8425f) + h / 2, double(-7.874f) + h / 2, h / 2}));
    // Voxel coordinates are cell indexes of the whole grid: crop origin plus position in the crop.
    const bool kelvin = names[i] == "temperature";
    VoxelMap want;
    const std::vector<float>& values = frame.channels[channelOf[i]];
    for (int z = 0; z < 3; ++z) {
      for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) {
          const float v = values[x + 5 * (y + 4 * z)];
          if (std::fabs(v) > (kelvin ? 0.001f : 1e-4f)) want[{x + 2, y + 1, z + 3}] = kelvin ? v * 1000.0f + 300.0f : v;
        }
      }
    }
    EXPECT_EQ(ActiveVoxels(g), want);
  }
  const VoxelMap kelvin = ActiveVoxels(*FindGrid(vdb, "temperature"));
  EXPECT_EQ(kelvin.at({2, 1, 3}), 301.5f);
  EXPECT_EQ(kelvin.count({3, 1, 3}), 0u);
  EXPECT_EQ(kelvin.at({4, 1, 3}), 298.0f);
}

TEST(VdbExportFrame, MaskAndMissingChannelsChooseTheGrids) {
  TempFolder dir;
  CacheFrame frame = MakeFrame();
  frame.channels[kChannelDust].clear();  // a frame without dust: no "dust" grid
  const std::string file = dir / "f.vdb";
  std::string error;
  struct Case {
    VdbChannelMask mask;
    std::vector<std::string> names;
  };
  for (const Case& c : {Case{1, {"density"}}, Case{2 | 8, {"temperature", "fuel"}},
                        Case{16 | 4, {"flame", "vel.x", "vel.y", "vel.z"}}, Case{0, {}}}) {
    SCOPED_TRACE(c.mask);
    ASSERT_TRUE(ExportFrameVdb(frame, DomainGrid{}, file, c.mask, &error)) << error;
    nlohmann::json vdb = ReadVdbWithLibrary(file, false);
    ASSERT_FALSE(vdb.is_null());
    EXPECT_EQ(vdb.at("grids").size(), c.names.size());
    EXPECT_EQ(vdb.at("fileOrder").get<std::vector<std::string>>(), c.names);
  }
}

TEST(VdbExportFrame, FailuresReplaceTheErrorText) {
  TempFolder dir;
  CacheFrame frame = MakeFrame();
  std::string error = "old text";
  int64_t bytes = 77;
  EXPECT_FALSE(ExportFrameVdb(frame, DomainGrid{}, dir / "no/such/folder.vdb", 31, &error, &bytes));
  EXPECT_EQ(error, "cannot create the file");
  EXPECT_EQ(bytes, 77);

  frame.header.cellSizeScene = 0.0f;
  EXPECT_FALSE(ExportFrameVdb(frame, DomainGrid{}, dir / "a.vdb", 31, &error));
  EXPECT_EQ(error, "voxel size must be positive");

  // A channel that does not fill the crop box would be read past its end: refused, nothing written.
  frame = MakeFrame();
  frame.channels[kChannelFlame].pop_back();
  EXPECT_FALSE(ExportFrameVdb(frame, DomainGrid{}, dir / "b.vdb", 31, &error));
  EXPECT_NE(error.find("flame"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(dir / "b.vdb"));
  // The same frame without the flame grid chosen is fine.
  EXPECT_TRUE(ExportFrameVdb(frame, DomainGrid{}, dir / "b.vdb", 1 | 2 | 8 | 16, &error)) << error;
}

}  // namespace
}  // namespace tf
