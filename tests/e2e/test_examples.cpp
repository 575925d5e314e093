// Every example scene bakes with `tolvaris simulate`: a copy of the scene at a small resolution and
// a few frames is baked by the program, and the last cache frame, read back, holds heat or smoke
// within a few cells of each source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/scene/scene.h"
#include "host/scene_file/scene_file.h"
#include "plugin/fire_obj_desc.h"
#include "sim/cache_file.h"
#include "tests/e2e/e2e_scene.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kResolution = 24;

struct ExampleCase {
  const char* file;
  int frames;
  std::vector<std::string> sources;  // nodes whose pivot must have heat or smoke nearby
  std::vector<host::Point3> points;  // world points that must, too (where events strike)
};

const ExampleCase kCases[] = {
    {"campfire.json", 6, {"Log A", "Log B"}, {}},
    {"torch.json", 8, {"Torch Head"}, {}},
    {"chimney.json", 10, {"Vent"}, {}},
    {"collider.json", 10, {"Burner"}, {}},
    {"sparks.json", 10, {"Spark Fountain"}, {}},
    {"forcefield.json", 8, {"Burner"}, {}},
    {"quench.json", 14, {"Burner"}, {}},
    {"catch_fire.json", 16, {"Igniter"}, {}},
    {"impact.json", 4, {}, {host::Point3(0, 0, 20)}},
};

// Sets (or adds) a parameter of the scene's TolvarisFire domain. False when there is none.
bool SetDomainParam(json& scene, const std::string& name, const json& value) {
  for (json& node : scene["nodes"]) {
    if (!node.contains("object") || node["object"].value("class", "") != "TolvarisFire") continue;
    json& params = node["object"]["blocks"][0]["params"];
    for (json& p : params)
      if (p.value("name", "") == name) {
        p["value"] = value;
        p.erase("keys");
        return true;
      }
    params.push_back({{"name", name}, {"value", value}});
    return true;
  }
  return false;
}

// The cache frame's cell values around a world point.
class FrameProbe {
 public:
  FrameProbe(const CacheFrame& frame, const host::Matrix3& domainTM) : f_(frame), toObject_(domainTM.Inverse()) {}

  bool AnyNear(int channel, const host::Point3& world, float radius, float threshold) const {
    const CacheFrameHeader& h = f_.header;
    const std::vector<float>& v = f_.channels[size_t(channel)];
    if (v.empty()) return false;
    const host::Point3 o = world * toObject_;
    const float cs = h.cellSizeScene;
    // Cell coordinates: the grid is centred on the pivot in x and y and starts at its height.
    const host::Point3 g((o.x + float(h.nx) * cs * 0.5f) / cs, (o.y + float(h.ny) * cs * 0.5f) / cs, o.z / cs);
    const auto [sx, sy, sz] = h.cropSize;
    for (int z = 0; z < sz; ++z)
      for (int y = 0; y < sy; ++y)
        for (int x = 0; x < sx; ++x) {
          const host::Point3 c(float(x + h.cropOrigin[0]) + 0.5f, float(y + h.cropOrigin[1]) + 0.5f,
                               float(z + h.cropOrigin[2]) + 0.5f);
          if (host::Length(c - g) <= radius && v[size_t(x) + size_t(sx) * (size_t(y) + size_t(sy) * size_t(z))] > threshold)
            return true;
        }
    return false;
  }

 private:
  const CacheFrame& f_;
  host::Matrix3 toObject_;
};

// CTest lists a case by its scene file instead of a dump of its bytes.
void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.file; }
class Examples : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(Examples, BakeWithFireAndSmokeNearTheirSources) {
  const ExampleCase& c = GetParam();
  TempFolder docs, work;
  const fs::path examples = TFR_EXAMPLES_DIR;
  json scene = json::parse(ReadText(examples / c.file));
  int start = 0;
  for (const json& node : scene["nodes"])
    if (node.contains("object") && node["object"].value("class", "") == "TolvarisFire")
      for (const json& p : node["object"]["blocks"][0]["params"])
        if (p.value("name", "") == "startFrame") start = p.value("value", 0);
  ASSERT_TRUE(SetDomainParam(scene, "resolution", kResolution)) << c.file << " holds no TolvarisFire domain";
  SetDomainParam(scene, "endFrame", start + c.frames - 1);
  SetDomainParam(scene, "useGPU", false);
  // Beside the copy, the files a scene refers to by relative name (the events of impact.json).
  const std::string stem = fs::path(c.file).stem().string();
  std::error_code ec;
  if (fs::is_directory(examples / (stem + "_cyclone"), ec))
    fs::copy(examples / (stem + "_cyclone"), work / (stem + "_cyclone"), fs::copy_options::recursive);
  const fs::path copy = work / c.file;
  WriteText(copy, scene.dump(1));

  const Outcome o = RunProgram({"--documents", docs.path().string(), "simulate", copy.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(std::regex_search(o.out, std::regex("^Simulated " + std::to_string(c.frames) + " frames, ")))
      << o.out;

  // Exactly the frames of the range, in the domain's default cache folder.
  std::vector<fs::path> folders;
  for (const auto& e : fs::directory_iterator(docs / "TolvarisFire", ec)) folders.push_back(e.path());
  ASSERT_EQ(folders.size(), 1u);
  std::vector<std::string> names, expected;
  int vdbFiles = 0;
  for (const auto& e : fs::directory_iterator(folders[0], ec))
    if (e.path().extension() == ".tfc") names.push_back(e.path().filename().string());
  // The examples keep the default output: one VDB file per frame beside the cache.
  for (const auto& e : fs::directory_iterator(folders[0] / "out", ec)) vdbFiles += e.path().extension() == ".vdb";
  EXPECT_EQ(vdbFiles, c.frames);
  EXPECT_TRUE(std::regex_search(o.out, std::regex(" VDB x" + std::to_string(c.frames) + "( PNG x\\d+)? in ")))
      << o.out;
  for (int f = start; f < start + c.frames; ++f)
    expected.push_back(fs::path(MakeFramePath("", "fire", f, "tfc")).filename().string());
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);

  const int last = start + c.frames - 1;
  CacheFrame frame;
  ASSERT_TRUE(ReadCacheFrame(MakeFramePath(folders[0].string(), "fire", last, "tfc"), frame));
  EXPECT_EQ(frame.header.frame, last);
  EXPECT_GT(frame.header.channelMax[kChannelTemperature] + frame.header.channelMax[kChannelDensity], 0.01f)
      << "neither heat nor smoke in the last frame";

  // Where the sources are, from the same scene loaded here.
  RegisterFireClass();
  host::Scene loaded;
  std::string error;
  ASSERT_TRUE(host::LoadScene(loaded, copy, &error)) << error;
  const host::TimeValue t = loaded.time.FrameToTicks(last);
  const host::Node* domain = nullptr;
  for (const auto& n : loaded.Nodes())
    if (n->GetObject() && n->GetObject()->ClassName() == "TolvarisFire") domain = n.get();
  ASSERT_NE(domain, nullptr);
  const FrameProbe probe(frame, domain->GetNodeTM(t));
  std::vector<host::Point3> points = c.points;
  for (const std::string& name : c.sources) {
    const host::Node* n = loaded.FindNode(name);
    ASSERT_NE(n, nullptr) << name;
    points.push_back(n->GetNodeTM(t).GetTrans());
  }
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_TRUE(probe.AnyNear(kChannelTemperature, points[i], 4.0f, 0.05f) ||
                probe.AnyNear(kChannelDensity, points[i], 4.0f, 0.01f))
        << c.file << ": nothing near " << (i < c.points.size() ? "an event" : c.sources[i - c.points.size()]);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenes, Examples, ::testing::ValuesIn(kCases), [](const auto& p) {
  std::string name = p.param.file;
  name = name.substr(0, name.find('.'));
  std::erase(name, '_');
  return name;
});

}  // namespace
}  // namespace tf::e2e
