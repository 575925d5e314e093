// SIMULATE on a small scene: the cache holds exactly the frames of the bake, progress and stopping
// through the callback, the summary message and its counts, the refusals before the loop, a cache
// write failure part way, and the process-wide bake flag.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "host/objects/class_registry.h"
#include "tests/plugin/bake_scene.h"
#include "host/core/atomic_file.h"
#include "host/objects/particles.h"
#include "host/objects/primitives.h"
#include "tests/plugin/panel_test_util.h"
#include "bake/simulate.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using testing::BakeScene;
using testing::FileNames;

class SimulateTest : public ::testing::Test {
 protected:
  BakeScene s;
  std::string folder = s.domain->CacheFolder();
};

TEST_F(SimulateTest, BakesTheRangeIntoExactlyItsFramesWithASummary) {
  ASSERT_TRUE(EnsureDirectory(folder));
  ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(7), MakeFramePath(folder, "fire", 7, "tfc")));
  const uint64_t generation = s.domain->DisplayGeneration();

  std::vector<std::string> texts;
  std::vector<int> counts;
  bool flagSeen = true;
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain), [&](int done, int total, const std::string& text) {
    texts.push_back(text);
    counts.push_back(done * 100 + total);
    flagSeen = flagSeen && BakeInProgress();
    return true;
  });
  EXPECT_FALSE(BakeInProgress());
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.framesDone, 4);
  EXPECT_FALSE(r.usedGpu);
  EXPECT_GT(r.bytesAllocated, 0u);
  EXPECT_GT(r.avgFrameMs, 0.0);
  EXPECT_GE(r.avgFrameMs, r.avgSolveMs);
  EXPECT_TRUE(flagSeen) << "the bake flag is raised while the callback runs";

  EXPECT_EQ(counts, (std::vector<int>{104, 204, 304, 404}));
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_TRUE(std::regex_match(texts[2], std::regex(R"(Frame 2 \(3/4\): \d+\.\d ms solve, \d+ pressure it, CPU)")))
      << texts[2];

  // The old frame 7 went; frames 0 to 3 hold this bake's grid.
  EXPECT_EQ(FileNames(folder),
            (std::vector<std::string>{"fire_0000.tfc", "fire_0001.tfc", "fire_0002.tfc", "fire_0003.tfc"}));
  for (int f = 0; f < 4; ++f) {
    CacheFrame frame;
    ASSERT_TRUE(ReadCacheFrame(MakeFramePath(folder, "fire", f, "tfc"), frame));
    EXPECT_EQ(frame.header.frame, f);
    EXPECT_EQ(frame.header.nx * 10000 + frame.header.ny * 100 + frame.header.nz, 111116);
    EXPECT_EQ(frame.header.channelMask & 0x70u, 0u) << "no velocity without exportVelocity";
  }
  EXPECT_GT(s.domain->DisplayGeneration(), generation) << "the display frame is dropped";

  const std::regex summary(
      R"(Simulated 4 frames, 11x11x16 on the CPU: (\d+\.\d) ms/frame solve, (\d+\.\d) ms with outputs\. )"
      R"(Per frame: step \d+, capture \d+, cache \d+, VDB 0, preview 0 ms\.)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.message, m, summary)) << r.message;
  EXPECT_EQ(m[1].str(), [&] { char b[32]; std::snprintf(b, sizeof b, "%.1f", r.avgSolveMs); return std::string(b); }());
}

TEST_F(SimulateTest, OneNegativeFrameIsSingularAndNamedWithM) {
  BakeScene::SetRange(s.domain, -3, -3);
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.framesDone, 1);
  EXPECT_EQ(r.message.rfind("Simulated 1 frame, 11x11x16 on the CPU: ", 0), 0u) << r.message;
  EXPECT_EQ(FileNames(folder), std::vector<std::string>{"fire_m0003.tfc"});
}

TEST_F(SimulateTest, TheCallbackStopsTheBakeAndTheFramesDoneStay) {
  BakeScene::SetRange(s.domain, 10, 19);
  const SimulateResult r =
      Simulate(s.domain, s.NodeOf(s.domain), [](int done, int, const std::string&) { return done < 3; });
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.framesDone, 3);
  EXPECT_EQ(r.message.rfind("Stopped after 3 frames, 11x11x16 on the CPU", 0), 0u) << r.message;
  // The restart point after the last frame done lets the bake go on later.
  EXPECT_EQ(FileNames(folder),
            (std::vector<std::string>{"fire_0010.tfc", "fire_0011.tfc", "fire_0012.tfc", "restart_0012.tfr"}));
}

TEST_F(SimulateTest, RefusesBeforeTheLoopWithItsReasonAndLeavesTheCache) {
  // No domain or node.
  SimulateResult r = Simulate(nullptr, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Select the TolvarisFire domain first.");
  r = Simulate(s.domain, nullptr);
  EXPECT_EQ(r.message, "Select the TolvarisFire domain first.");
  // A scene object that is not a domain.
  r = Simulate(s.source->GetObject(), s.source);
  EXPECT_EQ(r.message, "Select the TolvarisFire domain first.");
  EXPECT_FALSE(BakeInProgress());

  // No sources: nothing is touched, not even the old frames.
  ASSERT_TRUE(EnsureDirectory(folder));
  ASSERT_TRUE(WriteCacheFrame(testing::MakeSmallFrame(1), MakeFramePath(folder, "fire", 1, "tfc")));
  s.SetSources(s.domain, false);
  r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.framesDone, 0);
  EXPECT_EQ(r.message, "Add at least one burning object or particle system under Sources.");
  EXPECT_EQ(FileNames(folder), std::vector<std::string>{"fire_0001.tfc"});

  // Dust sources alone are sources.
  s.domain->Params()->SetNodes(kDustSources, {s.source});
  BakeScene::SetRange(s.domain, 0, 0);
  r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(FileNames(folder), std::vector<std::string>{"fire_0000.tfc"});

  // Another bake holding the folder: this one is refused and its frames stay.
  {
    host::FileLock other;
    ASSERT_TRUE(other.TryLock(std::filesystem::path(folder) / ".bake.lock"));
    r = Simulate(s.domain, s.NodeOf(s.domain));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "A bake is writing to " + folder + " - wait for it to finish or stop it.");
    EXPECT_EQ(FileNames(folder), std::vector<std::string>{"fire_0000.tfc"});
  }
  EXPECT_TRUE(Simulate(s.domain, s.NodeOf(s.domain)).ok) << "the lock goes with its holder";
}

TEST_F(SimulateTest, DestructionEventsStandInForSources) {
  s.SetSources(s.domain, false);
  BakeScene::SetRange(s.domain, 0, 1);
  const std::string events = s.cache / "events.txt";
  {
    std::ofstream out(events);
    out << "# frame x y z kind energy\n0 0 0 5 impact 3\n1 5 5 5 dust 8\n";
  }
  s.domain->Params()->SetString(kEventsFile, 0, events);
  // Both events are weaker than the minimum energy: nothing to burn.
  s.domain->Params()->SetFloat(kEventsMinEnergy, 0, 10.0f);
  SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Add at least one burning object or particle system under Sources.");
  // One event is strong enough.
  s.domain->Params()->SetFloat(kEventsMinEnergy, 0, 5.0f);
  r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.framesDone, 2);
  // A missing events file yields no event.
  s.domain->Params()->SetString(kEventsFile, 0, s.cache / "missing.txt");
  r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
}

TEST_F(SimulateTest, AMeshThatCannotBeUsedIsNamedOnceWithItsFile) {
  BakeScene::SetRange(s.domain, 0, 2);
  std::vector<host::Node*> sources{s.source};
  const std::vector<std::pair<std::string, std::string>> meshes = {
      {"Missing", s.cache / "missing.obj"},
      {"Folder", s.cache.str()},
      {"Negative", s.cache.Write("negative.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 -9\n").string()},
      {"Huge", s.cache.Write("huge.obj", "v 0 0 1e39\nv 1 0 0\nv 0 1 0\nf 1 2 3\n").string()}};
  for (const auto& [name, file] : meshes) {
    host::Node* node = s.scene.CreateNode(name, host::CreateObject("Mesh", nullptr));
    node->GetObject()->GetParamBlock(0)->SetString(host::kMeshFile, 0, file);
    sources.push_back(node);
  }
  s.domain->Params()->SetNodes(kEmitters, sources);
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  for (const auto& [name, file] : meshes) {
    const std::string said = "WARNING: the mesh of \"" + name + "\" cannot be used (";
    const size_t at = r.message.find(said);
    ASSERT_NE(at, std::string::npos) << r.message;
    EXPECT_EQ(r.message.find(said, at + 1), std::string::npos) << "said once: " << r.message;
    EXPECT_NE(r.message.find(fs::path(file).filename().string(), at), std::string::npos) << r.message;
  }
}

TEST_F(SimulateTest, SourcesAndCollidersThatGiveNothingAreNamed) {
  BakeScene::SetRange(s.domain, 0, 2);
  host::Node* empty = s.scene.CreateNode("Empty", host::CreateObject("Mesh", nullptr));
  empty->GetObject()->GetParamBlock(0)->SetString(host::kMeshFile, 0, s.cache.Write("points.obj", "v 0 0 0\nv 1 0 0\n").string());
  host::Node* idle = s.scene.CreateNode("Idle", host::CreateObject("ParticleEmitter", nullptr));
  idle->GetObject()->GetParamBlock(0)->SetFloat(host::kEmitterBirthRate, 0, 0.0f);
  host::Node* camera = s.scene.CreateNode("Cam", host::CreateObject("Camera", nullptr));
  s.domain->Params()->SetNodes(kEmitters, {s.source, empty, idle});
  s.domain->Params()->SetNodes(kColliders, {camera});
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  ASSERT_TRUE(r.ok) << r.message;
  for (const std::string said : {"WARNING: the mesh of \"Empty\" cannot be used (no triangles)",
                                 "WARNING: \"Cam\" gives no geometry (a Camera has no mesh)",
                                 "WARNING: the particle system \"Idle\" gave no particles in the baked frames."}) {
    const size_t at = r.message.find(said);
    ASSERT_NE(at, std::string::npos) << said << " in: " << r.message;
    EXPECT_EQ(r.message.find(said, at + 1), std::string::npos) << "said once: " << r.message;
  }
  EXPECT_EQ(r.message.find("\"Log\""), std::string::npos) << "the burning box is fine: " << r.message;
}

TEST_F(SimulateTest, ACacheFolderThatCannotBeMadeIsNamed) {
  testing::WriteBytes(s.cache / "file", {1, 2, 3});
  const std::string bad = s.cache / "file/cache";
  s.domain->Params()->SetString(kCachePath, 0, bad);
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Cannot create the cache folder " + bad);
  EXPECT_FALSE(BakeInProgress());
}

TEST_F(SimulateTest, AWriteFailureStopsAtThatFrameAndKeepsTheEarlierOnes) {
  // A folder where frame 2's temporary file must go: the write of frame 2 fails.
  const std::string part = host::AtomicFile::TemporaryPathFor(MakeFramePath(folder, "fire", 2, "tfc"));
  ASSERT_TRUE(EnsureDirectory(part));
  int reports = 0;
  const SimulateResult r = Simulate(s.domain, s.NodeOf(s.domain), [&](int, int, const std::string&) {
    ++reports;
    return true;
  });
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(r.framesDone, 2);
  EXPECT_EQ(reports, 2);
  // The cause is named: it is not the disk running out, which alone gets the "(disk full?)" hint.
  EXPECT_EQ(r.message, "Could not write the cache to " + folder + ": cannot create " + part + ": File exists.");
  EXPECT_EQ(FileNames(folder), (std::vector<std::string>{"fire_0000.tfc", "fire_0001.tfc",
                                                           std::filesystem::path(part).filename().string()}));
  EXPECT_FALSE(BakeInProgress());
}

}  // namespace
}  // namespace tf
