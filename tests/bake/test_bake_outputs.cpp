// The bake's output stage: with every output on, one VDB, PRT and preview file per frame beside
// the cache, "_m" names for negative frames and the counts in the summary; with every output off,
// nothing prepared; a preparation failure stops the bake before it deletes the old frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/objects/class_registry.h"
#include "tests/plugin/bake_scene.h"
#include "host/objects/camera.h"
#include "host/view/viewport.h"
#include "bake/simulate.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using testing::BakeScene;

std::vector<std::string> Names(const fs::path& folder) { return host::testing::FileNames(folder); }

std::string Head(const fs::path& file, size_t n) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(n, '\0');
  in.read(bytes.data(), std::streamsize(n));
  bytes.resize(size_t(in.gcount()));
  return bytes;
}

class BakeOutputsTest : public ::testing::Test {
 protected:
  void SetUp() override { host::TheViewports().ClearActiveView(); }
  // A camera above the domain looking down its z axis.
  host::Node* AddCamera() {
    std::string why;
    host::Node* cam = s.scene.CreateNode("Cam", host::CreateObject(host::CameraClassDesc(), &why));
    EXPECT_TRUE(cam) << why;
    cam->transform.position = host::Point3Track(host::Point3(0, 0, 200));
    return cam;
  }
  void AllOutputs(host::Node* camera) {
    host::ParamBlock& p = *s.domain->Params();
    p.SetBool(kOutVDB, 0, true);
    p.SetBool(kOutPRT, 0, true);
    p.SetBool(kOutPreview, 0, true);
    p.SetInt(kPreviewWidth, 0, 64);
    p.SetNode(kPreviewCamera, 0, camera);
  }

  BakeScene s;
  std::string folder = s.domain->CacheFolder();
};

TEST_F(BakeOutputsTest, EveryOutputWritesOneFileOfEachKindPerFrame) {
  AllOutputs(AddCamera());
  BakeScene::SetRange(s.domain, -1, 1);
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  const std::string out = s.domain->OutputFolder();
  EXPECT_NE(r.message.find("with outputs. VDB x3 PRT x3 PNG x3 in " + out + " Per frame: "), std::string::npos)
      << r.message;
  EXPECT_EQ(Names(out), (std::vector<std::string>{"Fire_0000.prt", "Fire_0000.vdb", "Fire_0001.prt", "Fire_0001.vdb",
                                                  "Fire_m0001.prt", "Fire_m0001.vdb", "Fire_preview_0000.png",
                                                  "Fire_preview_0001.png", "Fire_preview_m0001.png"}));
  EXPECT_EQ(Names(folder).size(), 4u);  // three frames and the output folder
  // Each is a file of its kind: the VDB magic, the PRT magic and the PNG signature.
  EXPECT_EQ(Head(fs::path(out) / "Fire_0001.vdb", 4), std::string(" BD\x56", 4));
  EXPECT_EQ(Head(fs::path(out) / "Fire_0001.prt", 4), std::string("\xC0PRT", 4));
  EXPECT_EQ(Head(fs::path(out) / "Fire_preview_0001.png", 8), std::string("\x89PNG\r\n\x1A\n", 8));
}

TEST_F(BakeOutputsTest, ARebakeTakesAwayTheOldOutputsOfTheKindsItWrites) {
  s.domain->Params()->SetBool(kOutVDB, 0, true);
  BakeScene::SetRange(s.domain, 0, 1);
  const fs::path out = s.domain->OutputFolder();
  fs::create_directories(out);
  // Left by an earlier, longer bake; another domain's file; a kind this bake does not write; notes.
  for (const char* name : {"Fire_0009.vdb", "Fire_m0002.vdb", "Fire_B_0001.vdb", "Fire_0009.prt", "Fire_notes.vdb"})
    std::ofstream(out / name) << "old";
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(Names(out), (std::vector<std::string>{"Fire_0000.vdb", "Fire_0001.vdb", "Fire_0009.prt", "Fire_B_0001.vdb",
                                                  "Fire_notes.vdb"}));
}

TEST_F(BakeOutputsTest, WithEveryOutputOffNothingIsPrepared) {
  BakeScene::SetRange(s.domain, 0, 1);
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.message.find(" in "), std::string::npos) << r.message;
  EXPECT_FALSE(fs::exists(s.domain->OutputFolder()));
  // Flow displacement alone still asks frame capture for the velocity.
  s.domain->Params()->SetFloat(kFlowDisplace, 0, 0.5f);
  ASSERT_TRUE(Simulate(s.domain, s.NodeOf(s.domain)).ok);
  CacheFrame frame;
  ASSERT_TRUE(ReadCacheFrame(MakeFramePath(folder, "fire", 1, "tfc"), frame));
  EXPECT_EQ(frame.header.channelMask & 0x70u, 0x70u);
  EXPECT_FALSE(fs::exists(s.domain->OutputFolder()));
}

TEST_F(BakeOutputsTest, PreparationFailuresStopBeforeTheOldFramesGo) {
  ASSERT_TRUE(EnsureDirectory(folder));
  ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(5), MakeFramePath(folder, "fire", 5, "tfc")));
  // Previews without a camera node and without an active viewport.
  s.domain->Params()->SetBool(kOutPreview, 0, true);
  SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "No active viewport to render the preview images from.");
  EXPECT_EQ(Names(folder), (std::vector<std::string>{"fire_0005.tfc", "out"}));

  // An output folder below a regular file cannot be made.
  const std::string blocker = s.cache / "blocker";
  std::ofstream(blocker) << "x";
  s.domain->Params()->SetString(kOutPath, 0, blocker + "/out");
  s.domain->Params()->SetBool(kOutPreview, 0, false);
  s.domain->Params()->SetBool(kOutVDB, 0, true);
  r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Cannot create the output folder " + blocker + "/out");
  EXPECT_EQ(Names(folder), (std::vector<std::string>{"fire_0005.tfc", "out"}));
}

TEST_F(BakeOutputsTest, AFailedVdbWriteStopsTheBakeWithItsReason) {
  AllOutputs(AddCamera());
  BakeScene::SetRange(s.domain, 0, 2);
  // A folder where frame 1's VDB file should go makes its rename fail.
  const fs::path out = s.domain->OutputFolder();
  fs::create_directories(out / "Fire_0001.vdb" / "inside");
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message.rfind("VDB: ", 0), 0u) << r.message;
  EXPECT_TRUE(fs::exists(out / "Fire_0000.vdb"));
  EXPECT_FALSE(fs::exists(out / "Fire_0002.vdb"));
  EXPECT_TRUE(fs::exists(fs::path(folder) / "fire_0001.tfc")) << "the cache file comes before the outputs";
  EXPECT_FALSE(fs::exists(fs::path(folder) / "fire_0002.tfc"));
}

}  // namespace
}  // namespace tf
