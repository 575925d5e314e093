// Presets: built-in rows (units, undo, the explosion's sources), preset files (round trip across
// units, the combined list, refused names, failed saves, malformed files), Apply and Save mine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "host/core/atomic_file.h"
#include "domain/fire_params_desc.h"
#include "host/core/platform.h"
#include "host/objects/class_registry.h"
#include "host/scene_file/scene_file.h"
#include "plugin/fire_obj_desc.h"
#include "plugin/simulate_panel.h"
#include "presets/builtin_presets.h"
#include "presets/preset_files.h"
#include "tests/support/temp_folder.h"

namespace tf {
namespace {

namespace fs = std::filesystem;
using host::testing::ReadText;
using host::testing::WriteText;

constexpr int kCandle = 1;
constexpr int kGroundExplosion = 8;

// A scene of the given unit with one domain; the documents folder is the test's own.
struct PresetScene {
  explicit PresetScene(double metresPerUnit) {
    host::SetDocumentsFolder(docs.path());
    EXPECT_TRUE(RegisterFireClass());
    scene.time.metresPerUnit = metresPerUnit;
    node = scene.CreateNode("Fire", host::CreateObject(kFireClassName, nullptr));
    domain = node->GetObject();
  }
  ~PresetScene() { host::SetDocumentsFolder({}); }
  host::ParamBlock& P() const { return *domain->GetParamBlock(0); }
  float F(int id) const { return *P().GetFloat(id, 0); }

  host::testing::TempFolder docs;
  host::Scene scene;
  host::Node* node = nullptr;
  host::Object* domain = nullptr;
};

TEST(ApplyPreset, CandleInCentimetresIsOneUndoStepAndThePlaceholderIsNone) {
  PresetScene s(0.01);
  host::Object* box = s.scene.CreateNode("Box", host::CreateObject("Box", nullptr))->GetObject();
  const std::string before = host::SceneToText(s.scene);
  for (int index : {0, -1, PresetCount()}) EXPECT_FALSE(ApplyPreset(s.domain, index)) << index;
  EXPECT_FALSE(ApplyPreset(box, kCandle));
  EXPECT_EQ(host::SceneToText(s.scene), before);
  ASSERT_TRUE(ApplyPreset(s.domain, kCandle));
  EXPECT_FLOAT_EQ(s.F(kSizeX), 12.0f);
  EXPECT_FLOAT_EQ(s.F(kSurfThickness), 0.24f);
  EXPECT_EQ(s.scene.Undo().StepCount(), 1u);
  EXPECT_EQ(s.scene.Undo().NextUndoName(), "Tolvaris Fire preset");
  ASSERT_TRUE(s.scene.Undo().Undo());
  EXPECT_EQ(host::SceneToText(s.scene), before);
}

TEST(ApplyPreset, GroundExplosionBuildsItsSourcesOnlyForADomainWithoutEmitters) {
  PresetScene s(1.0);
  s.node->transform.position.SetConstant({5, 0, 0});
  ASSERT_TRUE(ApplyPreset(s.domain, kGroundExplosion));
  const std::vector<host::Node*>& made = s.node->Children();
  ASSERT_EQ(made.size(), 9u);
  EXPECT_EQ(made.front()->Name(), "EXP_Core001");
  EXPECT_EQ(made.back()->Name(), "EXP_Dust001");
  EXPECT_EQ(s.P().GetNodes(kEmitters), std::vector<host::Node*>(made.begin(), made.end() - 1));
  EXPECT_EQ(s.P().GetNodes(kDustSources), std::vector<host::Node*>{made.back()});
  const auto radius = [&](const host::Node* n, int frame) {
    return *n->GetObject()->GetParamBlock(0)->GetFloat(0, s.scene.time.FrameToTicks(frame));
  };
  EXPECT_TRUE(made[0]->GetNodeTM(0).GetTrans() == host::Point3(5, 0, 1));
  EXPECT_FLOAT_EQ(radius(made[0], 7), 5.5f);
  for (const host::Node* n : made) {
    EXPECT_TRUE(!n->renderable && n->boxMode) << n->Name();
    if (n->Name().rfind("EXP_Debris", 0) != 0) continue;
    EXPECT_GT(n->transform.position.Eval(s.scene.time.FrameToTicks(8)).z, 1.0f) << "thrown up";
    EXPECT_GE(radius(n, 4), 0.5f);
    EXPECT_FLOAT_EQ(radius(n, 16), 0.001f) << "shrunk away by frame 16";
  }
  // Applied again, the domain has its emitters: parameters only.
  s.P().SetFloat(kSizeX, 0, 1.0f);
  ASSERT_TRUE(ApplyPreset(s.domain, kGroundExplosion));
  EXPECT_EQ(s.scene.Nodes().size(), 10u);
  EXPECT_FLOAT_EQ(s.F(kSizeX), 44.0f);
}

TEST(PresetFiles, RoundTripAcrossUnitsKeepsEveryWrittenSettingButNeverLiveMode) {
  PresetScene cm(0.01);
  cm.P().SetFloat(kSizeX, 0, 200.0f);
  cm.P().SetColour(kSmokeColor, 0, {0.1f, 0.2f, 0.3f});
  cm.P().SetInt(kLiveMode, 0, 2);
  host::Status status;
  status = SavePreset(cm.domain, "mine");
  ASSERT_TRUE(status.ok) << status.message;
  const std::string text = ReadText(PresetsFolder() / "mine.tfp");
  EXPECT_EQ(text.rfind("; Tolvaris Fire preset. Lengths in metres.\nsizeX = 2 m\n", 0), 0u);
  for (const char* never : {"liveMode", "emitters", "cachePath", "previewCamera"})
    EXPECT_EQ(text.find(never), std::string::npos) << never;
  const auto lines = std::count(text.begin(), text.end(), '\n') - 1;
  EXPECT_EQ(status.message, "Saved preset \"mine\" (" + std::to_string(lines) + " settings) in " + PresetsFolder().string());

  host::Scene metres;  // same documents folder, a scene in metres
  metres.time.metresPerUnit = 1.0;
  host::Object* other = metres.CreateNode("Other", host::CreateObject(kFireClassName, nullptr))->GetObject();
  host::ParamBlock& b = *other->GetParamBlock(0);
  b.SetInt(kLiveMode, 0, 0);
  ASSERT_TRUE(LoadPreset(other, "mine"));
  for (const host::ParamDef& d : FireParamBlockDesc().params) {
    using T = host::ParamType;
    const float scale = d.type == T::World ? 0.01f : 1.0f;
    if (d.type == T::World || d.type == T::Float) {
      EXPECT_NEAR(*b.GetFloat(d.id, 0), *cm.P().GetFloat(d.id, 0) * scale, 1e-6f) << d.name;
    } else if (d.type == T::Colour) {
      EXPECT_EQ(*b.GetColour(d.id, 0), *cm.P().GetColour(d.id, 0)) << d.name;
    } else if ((d.type == T::Int || d.type == T::Bool) && d.id != kLiveMode) {
      EXPECT_EQ(*b.GetInt(d.id, 0), *cm.P().GetInt(d.id, 0)) << d.name;
    }
  }
  EXPECT_EQ(*b.GetInt(kLiveMode, 0), 0);
}

TEST(PresetFiles, UserPresetsFollowTheBuiltInRowsAndSavingAgainOverwrites) {
  PresetScene s(1.0);
  host::Status status;
  status = SavePreset(s.domain, "b");
  ASSERT_TRUE(status.ok);
  status = SavePreset(s.domain, "a");
  ASSERT_TRUE(status.ok);
  EXPECT_EQ(UserPresets(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(PresetName(9), "[my] a");
  EXPECT_EQ(PresetIndex("a"), 9);
  EXPECT_EQ(PresetIndex("[my] a"), 9);
  EXPECT_EQ(PresetIndex("Candle"), kCandle);
  s.P().SetFloat(kHeat, 0, 9.5f);
  status = SavePreset(s.domain, "a");
  ASSERT_TRUE(status.ok);
  s.P().SetFloat(kHeat, 0, 1.0f);
  ASSERT_TRUE(ApplyPreset(s.domain, 9));
  EXPECT_FLOAT_EQ(s.F(kHeat), 9.5f);
  // Another documents folder has other presets; a file that went makes Apply fail.
  host::testing::TempFolder elsewhere;
  host::SetDocumentsFolder(elsewhere.path());
  EXPECT_TRUE(UserPresets().empty());
  host::SetDocumentsFolder(s.docs.path());
  fs::remove(PresetsFolder() / "b.tfp");
  EXPECT_FALSE(ApplyPreset(s.domain, 10));
}

TEST(PresetFiles, NamesThatCouldLeaveTheFolderOrGarbleItAreRefused) {
  PresetScene s(1.0);
  const std::string characters = "A preset name cannot contain \\ / : * ? \" < > |";
  const std::string control = "A preset name cannot contain control characters.";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Give the preset a name."}, {"../up", characters}, {"a\\b", characters}, {"c:d", characters},
      {"..", "A preset name cannot be \".\" or \"..\"."}, {"tab\there", control}, {std::string("nul\0b", 5), control}};
  for (const auto& [name, message] : cases) {
    host::Status status;
    status = SavePreset(s.domain, name);
    EXPECT_FALSE(status.ok) << name;
    EXPECT_EQ(status.message, message) << name;
  }
  EXPECT_TRUE(host::testing::FileNames(s.docs.path()).empty());
  fs::create_directories(PresetsFolder());  // nor does loading reach outside
  WriteText(PresetsFolder().parent_path() / "outside.tfp", "heat = 9\n");
  EXPECT_FALSE(LoadPreset(s.domain, "../outside"));
}

TEST(PresetFiles, AFailedSaveNamesTheFileAndKeepsTheOldOne) {
  PresetScene s(1.0);
  host::Status status;
  status = SavePreset(s.domain, "kept");
  ASSERT_TRUE(status.ok);
  const std::string old = ReadText(PresetsFolder() / "kept.tfp");
  // A folder where the temporary file must be made, and one where the preset itself would go.
  fs::create_directory(host::AtomicFile::TemporaryPathFor(PresetsFolder() / "kept.tfp"));
  fs::create_directory(PresetsFolder() / "folder.tfp");
  s.P().SetFloat(kHeat, 0, 3.5f);
  for (const std::string name : {"kept", "folder"}) {
    status = SavePreset(s.domain, name);
    EXPECT_FALSE(status.ok) << name;
    EXPECT_EQ(status.message, "Cannot write " + (PresetsFolder() / (name + ".tfp")).string());
  }
  EXPECT_EQ(ReadText(PresetsFolder() / "kept.tfp"), old);
}

TEST(PresetFiles, MalformedFilesLoadWhatTheyCanAndNeverCrash) {
  PresetScene s(0.01);
  const host::Point3 colour = *s.P().GetColour(kSmokeColor, 0);
  fs::create_directories(PresetsFolder());
  std::string text = "garbage\n= 4\n; heat = 19\nSIZEX = 2 m\nfuelRate=7\nbuoyancy = 1e30\nresolution = 1e12\n"
                     "expansion = nan\nsmokeColor = 0.1 0.2\nnoSuchSetting = 3\nliveMode = 2\nemitters = 1\r\n";
  // A line past 512 characters is skipped whole: its tail is no line of its own.
  text += "cooling = 9" + std::string(600, ' ') + "vorticity = 7\nflowDisplace = 2 kelvin\r\n";
  text += "burnRate = 3" + std::string(1, '\0') + "9\nsmoke" + std::string(1, '\0') + "Yield = 5\n";
  text += "turbulence = 0.02 m\n";  // metres on a plain float: 2 scene units of a centimetre scene
  WriteText(PresetsFolder() / "odd.tfp", text);
  s.P().SetInt(kLiveMode, 0, 0);
  ASSERT_TRUE(LoadPreset(s.domain, "odd"));
  const std::vector<std::pair<int, float>> expected = {
      {kSizeX, 200}, {kFuelRate, 7}, {kBuoyancy, 50}, {kExpansion, 0.6f}, {kCooling, 1.2f},
      {kVorticity, 4}, {kFlowDisplace, 2}, {kBurnRate, 3}, {kSmokeYield, 0.6f}, {kHeat, 2.5f},
      {kTurbulence, 2}};
  for (const auto& [id, value] : expected) EXPECT_FLOAT_EQ(s.F(id), value) << FireParamBlockDesc().Find(id)->name;
  EXPECT_EQ(*s.P().GetInt(kResolution, 0), 4096);
  EXPECT_EQ(*s.P().GetInt(kLiveMode, 0), 0);
  EXPECT_EQ(*s.P().GetColour(kSmokeColor, 0), colour);

  std::mt19937 random(7);  // random bytes, and one line of 16 MB
  std::string bytes(1 << 16, '\0');
  for (char& c : bytes) c = char(random());
  WriteText(PresetsFolder() / "binary.tfp", bytes);
  EXPECT_TRUE(LoadPreset(s.domain, "binary"));
  WriteText(PresetsFolder() / "huge.tfp", "heat = 4 " + std::string(16 << 20, 'x'));
  EXPECT_TRUE(LoadPreset(s.domain, "huge"));
  EXPECT_FLOAT_EQ(s.F(kHeat), 2.5f);
}

TEST(PresetFiles, FilesNamedWithCharactersANewNameMayNotHoldAreListedAndApply) {
  PresetScene s(1.0);
  fs::create_directories(PresetsFolder());
  const std::string name = "a:b*c?\"d<e>f|g\\h";
  WriteText(PresetsFolder() / (name + ".tfp"), "heat = 3.25\n");
  WriteText(PresetsFolder() / "bad\x01.tfp", "heat = 9\n");
  RefreshUserPresets();
  EXPECT_EQ(UserPresets(), std::vector<std::string>{name}) << "a name with a control character is left out";
  ASSERT_TRUE(ApplyPreset(s.domain, PresetIndex(name)));
  EXPECT_FLOAT_EQ(s.F(kHeat), 3.25f);
  EXPECT_FALSE(SavePreset(s.domain, name).ok) << "new names stay portable";
}

TEST(SimulatePanelPresets, ApplyAndSaveMineWorkTheDropDown) {
  PresetScene s(1.0);
  host::CommandPanel panel;
  s.scene.Select(s.node);
  ASSERT_TRUE(panel.BeginEdit(s.node));
  host::Panel* p = panel.FindPanel(kSimulateDialog);
  EXPECT_EQ(panel.Press(kApplyButton), host::CommandStatus::kFailed) << "index 0 is selected";
  EXPECT_EQ(p->StatusText(), "Choose a preset to apply.");
  ASSERT_TRUE(p->Select(kPresetList, kCandle));
  EXPECT_EQ(panel.Press(kApplyButton), host::CommandStatus::kSucceeded);
  EXPECT_EQ(p->StatusText(), "Preset applied: Candle.");
  EXPECT_EQ(p->Text(kInfoText).rfind("Grid 32 x 32 x 96", 0), 0u) << p->Text(kInfoText);
  p->SetText(kPresetNameBox, std::string(130, 'n'));
  EXPECT_EQ(panel.Press(kSaveMineButton), host::CommandStatus::kSucceeded);
  EXPECT_EQ(p->Items(kPresetList).back(), "[my] " + std::string(128, 'n'));
  panel.EndEdit();
}

}  // namespace
}  // namespace tf
