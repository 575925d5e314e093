// `tolvaris preset` end to end: list, save and apply through the domain's panel with the scene
// saved, the exit statuses, and a scene built by "Ground explosion" that bakes.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "domain/fire_params_desc.h"
#include "e2e_scene.h"
#include "host/scene_file/scene_file.h"
#include "plugin/fire_obj_desc.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

class PresetCommand : public ::testing::Test {
 protected:
  Outcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--documents", docs_.path().string(), "preset"});
    return RunProgram(args);
  }
  // The domain "Fire" of a scene file, loaded here.
  host::ParamBlock* LoadDomain(const fs::path& file) {
    std::string why;
    EXPECT_TRUE(RegisterFireClass() && host::LoadScene(scene_, file, &why)) << why;
    return scene_.FindNode("Fire")->GetObject()->GetParamBlock(0);
  }

  TempFolder docs_, work_;
  host::Scene scene_;
};

TEST_F(PresetCommand, ListSaveAndApplyWorkTheDomainsPanel) {
  const fs::path scene = work_ / "scene.json", out = work_ / "out.json";
  WriteText(scene, SceneJson(Range(0, 3)));
  Outcome o = Run({"save", scene.string(), "mine"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("Saved preset \"mine\" (", 0), 0u) << o.out;
  o = Run({"list"});
  EXPECT_EQ(o.out.rfind("0 (choose a preset)\n1 Candle\n2 Fireplace\n", 0), 0u) << o.out;
  EXPECT_TRUE(o.out.ends_with("\n8 Ground explosion\n9 [my] mine\n")) << o.out;

  const std::string original = ReadText(scene);
  o = Run({"apply", scene.string(), "Candle", "-o", out.string()});
  EXPECT_EQ(o.out, "Preset applied: Candle.\n") << o.err;
  EXPECT_FLOAT_EQ(*LoadDomain(out)->GetFloat(kSizeX, 0), 12.0f);  // centimetres
  // By index, saved in place.
  EXPECT_EQ(Run({"apply", out.string(), "9"}).out, "Preset applied: [my] mine.\n");
  EXPECT_FLOAT_EQ(*LoadDomain(out)->GetFloat(kSizeX, 0), 40.0f);

  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> refusals = {
      {{"apply", scene.string(), "Nope"}, 2, "no preset \"Nope\""},
      {{"apply", scene.string(), "10"}, 2, "no preset \"10\""},
      {{"apply", scene.string(), "Candle", "--domain", "Nobody"}, 2, "no node named \"Nobody\""},
      {{"apply", scene.string(), "0"}, 1, "Choose a preset to apply."},
      {{"save", scene.string(), "a/b"}, 1, "A preset name cannot contain \\ / : * ? \" < > |"}};
  for (const auto& [args, status, message] : refusals) {
    o = Run(args);
    EXPECT_EQ(o.status, status) << args.back() << ": " << o.err;
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
  }
  EXPECT_EQ(ReadText(scene), original);
}

TEST_F(PresetCommand, AGroundExplosionSceneBakes) {
  const fs::path scene = work_ / "scene.json", out = work_ / "explosion.json";
  WriteText(scene, SceneJson(Range(0, 24), false));
  const Outcome o = Run({"apply", scene.string(), "Ground explosion", "-o", out.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  host::ParamBlock* p = LoadDomain(out);  // made small and short, so that the bake takes a moment
  EXPECT_EQ(p->Count(kEmitters), 8);
  p->SetInt(kResolution, 0, 16);
  p->SetInt(kEndFrame, 0, 4);
  p->SetString(kCachePath, 0, (work_ / "cache").string());
  std::string why;
  ASSERT_TRUE(host::SaveScene(scene_, out, &why)) << why;
  const Outcome baked = RunProgram({"--documents", docs_.path().string(), "simulate", out.string()});
  ASSERT_EQ(baked.status, 0) << baked.err;
  EXPECT_EQ(baked.out.rfind("Simulated 5 frames, 16x16x12 ", 0), 0u) << baked.out;
  EXPECT_EQ(CountFrames(work_ / "cache"), 5u);
}

}  // namespace
}  // namespace tf::e2e
