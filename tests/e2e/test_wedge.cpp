// `tolvaris wedge` here on this machine: the variants, their scene files and caches, the index and
// the contact sheet; a variant that fails; what the command line refuses before anything runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "host/view/bitmap.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Wedge : public ::testing::Test {
 protected:
  void SetUp() override { WriteScene(""); }
  void WriteScene(const std::string& more) {
    WriteText(scene_, SceneJson(Range(0, 3) + R"(, {"name": "previewWidth", "value": 64}, {"name": "useGPU", "value": false})" +
                                more));
  }
  Outcome Run(std::vector<std::string> more) {
    std::vector<std::string> args{"--documents", docs_.path().string(), "wedge", scene_.string(), "-o", out_.string()};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
  }
  json Index() const {
    std::ifstream in(out_ / "index.json");
    return json::parse(in, nullptr, false);
  }
  // The value the domain of a variant's scene file holds for a setting.
  static json DomainSetting(const fs::path& sceneFile, const std::string& name) {
    std::ifstream in(sceneFile);
    const json scene = json::parse(in, nullptr, false);
    for (const json& node : scene.at("nodes"))
      if (node.value("name", "") == "Fire")
        for (const json& p : node.at("object").at("blocks").at(0).at("params"))
          if (p.at("name") == name) return p.at("value");
    return nullptr;
  }

  TempFolder docs_, work_;
  fs::path scene_ = work_.path() / "shot.json";
  fs::path out_ = work_.path() / "W";
};

TEST_F(Wedge, BakesEveryCombinationAndListsItInTheIndexAndTheSheet) {
  const Outcome o = Run({"--set", "vorticity=2,6", "--set", "burnRate=4,12", "--jobs", "2", "--sheet-frames", "1,3"});
  ASSERT_EQ(o.status, 0) << o.err;
  const json index = Index();
  ASSERT_TRUE(index.is_object());
  const std::vector<std::string> names{"shot_vorticity-2_burnRate-4", "shot_vorticity-2_burnRate-12",
                                       "shot_vorticity-6_burnRate-4", "shot_vorticity-6_burnRate-12"};
  ASSERT_EQ(index.at("variants").size(), names.size());
  std::set<std::string> caches;
  for (size_t i = 0; i < names.size(); ++i) {
    const json& v = index["variants"][i];
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(v.at("name"), names[i]);
    EXPECT_EQ(v.at("result"), "baked");
    EXPECT_EQ(v.at("framesBaked"), 4);
    EXPECT_GT(v.at("msPerFrame").get<double>(), 0.0);
    const double vorticity = i < 2 ? 2 : 6, burnRate = i % 2 ? 12 : 4;
    EXPECT_EQ(v.at("settings"), (json{{"vorticity", vorticity}, {"burnRate", burnRate}}));
    EXPECT_EQ(DomainSetting(v.at("scene").get<std::string>(), "vorticity"), vorticity);
    EXPECT_EQ(DomainSetting(v.at("scene").get<std::string>(), "burnRate"), burnRate);
    EXPECT_EQ(CountFrames(v.at("cacheFolder").get<std::string>()), 4u);
    caches.insert(v.at("cacheFolder").get<std::string>());
    for (const char* frame : {"_0001.png", "_0003.png"}) {
      std::string why;
      EXPECT_NE(host::LoadBitmapFile(out_ / "sheet" / (names[i] + frame), &why), nullptr) << why;
    }
  }
  EXPECT_EQ(caches.size(), names.size()) << "every variant bakes into a cache of its own";
  // The settings reach the solver: a hotter burn leaves another frame.
  EXPECT_NE(ReadText(fs::path(index["variants"][0]["cacheFolder"].get<std::string>()) / "fire_0003.tfc"),
            ReadText(fs::path(index["variants"][1]["cacheFolder"].get<std::string>()) / "fire_0003.tfc"));
  std::string why;
  const auto sheet = host::LoadBitmapFile(out_ / "sheet.png", &why);
  ASSERT_NE(sheet, nullptr) << why;
  EXPECT_GE(sheet->Width(), 2 * 64);
  EXPECT_GE(sheet->Height(), 4 * 48) << "a row per variant";
}

TEST_F(Wedge, PairsTakeTheListsSideBySideWithValuesClampedToTheRange) {
  const Outcome o = Run({"--pairs", "--set", "vorticity=1,500", "--set", "burnRate=4,12", "--sheet-frames", "3"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("--set vorticity: 500 is outside 0 to 50, using 50"), std::string::npos) << o.err;
  const json index = Index();
  ASSERT_EQ(index.at("variants").size(), 2u);
  EXPECT_EQ(index["variants"][0]["name"], "shot_vorticity-1_burnRate-4");
  EXPECT_EQ(index["variants"][1]["name"], "shot_vorticity-50_burnRate-12");
  EXPECT_EQ(DomainSetting(out_ / "shot_vorticity-50_burnRate-12.json", "vorticity"), 50.0);
}

TEST_F(Wedge, AFailedVariantIsMarkedAndTheOthersStillBake) {
  // A set cache folder gets a subfolder per variant; a file in the way of one of them fails
  // that bake alone. The folder is written relative to the scene, not to the wedge's folder.
  const fs::path caches = work_.path() / "caches";
  WriteScene(R"(, {"name": "cachePath", "value": "caches"})");
  WriteText(caches / "shot_vorticity-6", "not a folder");
  const Outcome o = Run({"--set", "vorticity=2,6,9", "--sheet-frames", "3"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("1 of 3 variants did not bake: shot_vorticity-6 (failed"), std::string::npos) << o.err;
  const json index = Index();
  ASSERT_EQ(index.at("variants").size(), 3u);
  EXPECT_EQ(index["variants"][0]["result"], "baked");
  EXPECT_EQ(index["variants"][2]["result"], "baked");
  EXPECT_EQ(CountFrames(caches / "shot_vorticity-2"), 4u);
  EXPECT_EQ(CountFrames(caches / "shot_vorticity-9"), 4u);
  const json& failed = index["variants"][1];
  EXPECT_EQ(failed["result"], "failed");
  EXPECT_EQ(failed["exitStatus"], 1);
  EXPECT_EQ(failed["framesBaked"], 0);
  EXPECT_FALSE(failed.value("message", "").empty());
  EXPECT_TRUE(fs::exists(out_ / "sheet.png"));
}

struct BadLine {
  const char* name;
  std::vector<std::string> args;
  const char* says;
};

class WedgeCommandLine : public Wedge, public ::testing::WithParamInterface<BadLine> {};

TEST_P(WedgeCommandLine, IsRefusedBeforeAnythingRuns) {
  const Outcome o = Run(GetParam().args);
  EXPECT_EQ(o.status, 2) << o.err;
  EXPECT_NE(o.err.find(GetParam().says), std::string::npos) << o.err;
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_FALSE(fs::exists(out_));
  EXPECT_TRUE(FileNames(docs_.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    All, WedgeCommandLine,
    ::testing::Values(
        BadLine{"UnknownSetting", {"--set", "nosuch=1,2"}, "--set nosuch: the domain has no setting of that name"},
        BadLine{"EmptyList", {"--set", "vorticity="}, "--set vorticity: the list of values is empty"},
        BadLine{"EmptyValue", {"--set", "vorticity=2,,3"}, "an empty value in \"2,,3\""},
        BadLine{"NoName", {"--set", "=2"}, "--set: expected NAME=V1,V2,..."},
        BadLine{"NotANumber", {"--set", "vorticity=2,abc"}, "\"abc\" is not a number"},
        BadLine{"NotFinite", {"--set", "vorticity=nan"}, "\"nan\" is not a number"},
        BadLine{"NotWhole", {"--set", "resolution=16.5"}, "\"16.5\" is not a whole number"},
        BadLine{"NotASwitch", {"--set", "outVDB=maybe"}, "\"maybe\" is not on or off"},
        BadLine{"NotANumberSetting", {"--set", "cachePath=a,b"}, "a wedge varies numbers and switches"},
        BadLine{"SameValueAfterClamping", {"--set", "vorticity=50,80"}, "the value 50 comes twice"},
        BadLine{"SettingTwice", {"--set", "vorticity=1", "--set", "VORTICITY=2"}, "--set vorticity: given twice"},
        BadLine{"UnequalPairs", {"--pairs", "--set", "vorticity=1,2", "--set", "burnRate=3"}, "as many values"},
        BadLine{"SheetFrameOutside", {"--set", "vorticity=1", "--sheet-frames", "1,9"}, "\"9\" is not a frame"},
        BadLine{"DryRunHere", {"--set", "vorticity=1", "--dry-run"}, "--dry-run needs --farm slurm"},
        BadLine{"UnknownFarm", {"--set", "vorticity=1", "--farm", "pbs"}, "--farm"}),
    [](const ::testing::TestParamInfo<BadLine>& line) { return std::string(line.param.name); });

}  // namespace
}  // namespace tf::e2e
