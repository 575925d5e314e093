// One writer per domain folder across programs: an export started while a bake writes the domain is
// refused with the bake named, the bake ends whole, and the export runs once the bake is done.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e_scene.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

TEST(WriterLock, AnExportDuringABakeIsRefusedAndTheBakeEndsWhole) {
  TempFolder work;
  const fs::path cache = work / "cache", scene = work / "scene.json";
  std::string json = SceneJson(Range(0, 150) + ", " + CachePath(cache));
  const std::string off = R"({"name": "outVDB", "value": false})";
  json.replace(json.find(off), off.size(), R"({"name": "outVDB", "value": true})");
  WriteText(scene, json);
  const std::vector<std::string> bake{"--documents", work.path().string(), "simulate", scene.string()};
  const std::vector<std::string> exportVdb{"--documents", work.path().string(), "export-vdb", scene.string()};

  Program baking(bake);
  while (baking.Running() && CountFrames(cache) < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const Outcome refused = RunProgram(exportVdb);
  ASSERT_TRUE(baking.Running()) << "the bake should outlast the export's start";
  EXPECT_EQ(refused.status, 1) << refused.out;
  EXPECT_NE(refused.err.find("A bake is writing to " + cache.string() + " - wait for it to finish or stop it."),
            std::string::npos)
      << refused.err;

  const Outcome baked = baking.Wait();
  ASSERT_EQ(baked.status, 0) << baked.err;
  EXPECT_EQ(CountFrames(cache), 151u);
  size_t vdb = 0;
  for (const std::string& name : FileNames(cache / "out")) {
    EXPECT_FALSE(name.ends_with(".part")) << name;
    vdb += name.ends_with(".vdb");
  }
  EXPECT_EQ(vdb, 151u);

  const Outcome exported = RunProgram(exportVdb);
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("151 VDB frames"), std::string::npos) << exported.out;
}

}  // namespace
}  // namespace tf::e2e
