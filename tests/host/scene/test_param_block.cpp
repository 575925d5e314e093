// Parameter blocks: defaults, typed access, ranges, animation, node lists, change notices, undo,
// and the checks that registering a class makes on its block descriptions.
#include "tests/host/scene/scene_test_util.h"

namespace host {
namespace {

using namespace test;

class ParamBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    obj = MakeTestPlugin(scene, "domain");
    pb = obj->GetParamBlock(0);
    ASSERT_NE(pb, nullptr);
    obj->changes.clear();
  }
  Scene scene;
  TestPluginObject* obj = nullptr;
  ParamBlock* pb = nullptr;
};

TEST_F(ParamBlockTest, NewBlockHoldsTheDescribedDefaults) {
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 200.0f);
  EXPECT_EQ(pb->GetInt(kTRes, 0), 128);
  EXPECT_EQ(pb->GetBool(kTFlag, 0), true);
  EXPECT_EQ(pb->GetColour(kTTint, 0), Point3(1, 0.5f, 0.25f));
  EXPECT_EQ(pb->GetString(kTPath, 0), "");
  EXPECT_EQ(pb->GetNode(kTCamera, 0), std::optional<Node*>(nullptr));
  EXPECT_EQ(pb->Count(kTSources), 0);
  EXPECT_EQ(pb->GetInt(kTMode, 0), 1);
}

TEST_F(ParamBlockTest, TypesAndIdsAreChecked) {
  EXPECT_FALSE(pb->GetInt(kTSize, 0).has_value());
  EXPECT_FALSE(pb->GetFloat(kTRes, 0).has_value());
  EXPECT_FALSE(pb->GetFloat(99, 0).has_value());
  EXPECT_FALSE(pb->GetFloat(-1, 0).has_value());
  EXPECT_EQ(pb->Count(kTSize), -1);
  EXPECT_FALSE(pb->SetFloat(kTRes, 0, 1.0f));
  EXPECT_FALSE(pb->SetString(kTSize, 0, "x"));
  EXPECT_FALSE(pb->SetFloat(kTSize, 0, std::nanf("")));
  EXPECT_FALSE(pb->SetColour(kTTint, 0, {1, INFINITY, 0}));
  EXPECT_FALSE(pb->SetNodeAt(kTSources, 0, nullptr));  // the list is empty
  EXPECT_TRUE(obj->changes.empty());  // refused sets notify nobody
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 200.0f);
}

TEST_F(ParamBlockTest, SetsClampToTheRangeAndNotifyTheOwner) {
  EXPECT_TRUE(pb->SetFloat(kTSize, 0, -3.0f));
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 0.001f);
  EXPECT_TRUE(pb->SetInt(kTRes, 0, 100000));
  EXPECT_EQ(pb->GetInt(kTRes, 0), 4096);
  EXPECT_TRUE(pb->SetInt(kTFlag, 0, 7));
  EXPECT_EQ(pb->GetInt(kTFlag, 0), 1);
  EXPECT_TRUE(pb->SetBool(kTFlag, 0, false));
  EXPECT_EQ(obj->changes, (std::vector<int>{kTSize, kTRes, kTFlag, kTFlag}));
  const uint64_t before = scene.ChangeCount();
  pb->SetInt(kTMode, 0, 2);
  EXPECT_GT(scene.ChangeCount(), before);  // the object told the scene to redraw
}

TEST_F(ParamBlockTest, AnimatedValuesInterpolateAndHoldOutsideTheirKeys) {
  pb->SetFloat(kTSize, 160, 10.0f, true);
  pb->SetFloat(kTSize, 480, 30.0f, true);
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 10.0f);
  EXPECT_EQ(pb->GetFloat(kTSize, 320), 20.0f);
  EXPECT_EQ(pb->GetFloat(kTSize, 9999), 30.0f);
  // Outside animate the curve moves as a whole, and is clamped where it leaves the range.
  pb->SetFloat(kTSize, 320, 995.0f, false);
  ASSERT_EQ(pb->GetFloatTrack(kTSize)->Keys().size(), 2u);
  EXPECT_EQ(pb->GetFloat(kTSize, 160), 985.0f);
  EXPECT_EQ(pb->GetFloat(kTSize, 480), 1000.0f);

  // A parameter without the anim flag never gets keys.
  pb->SetFloat(kTRate, 160, 1.0f, true);
  pb->SetFloat(kTRate, 480, 2.0f, true);
  EXPECT_FALSE(pb->GetFloatTrack(kTRate)->IsAnimated());
  EXPECT_EQ(pb->GetFloat(kTRate, 160), 2.0f);
  FloatTrack keyed;
  keyed.SetKey(0, 1.0f);
  EXPECT_FALSE(pb->SetFloatTrack(kTRate, keyed));

  pb->SetColour(kTTint, 0, {0, 0, 0}, true);
  pb->SetColour(kTTint, 100, {1, 1, 0}, true);
  EXPECT_EQ(pb->GetColour(kTTint, 50), Point3(0.5f, 0.5f, 0));
}

TEST_F(ParamBlockTest, NodeListsGrowShrinkAndKeepEmptyEntries) {
  Node* a = scene.CreateNode("a");
  Node* b = scene.CreateNode("b");
  EXPECT_TRUE(pb->AppendNode(kTSources, a));
  EXPECT_TRUE(pb->AppendNode(kTSources, nullptr));
  EXPECT_TRUE(pb->AppendNode(kTSources, b));
  EXPECT_EQ(pb->Count(kTSources), 3);
  EXPECT_EQ(pb->GetNodeAt(kTSources, 1), nullptr);
  EXPECT_TRUE(pb->DeleteNodeAt(kTSources, 0));
  EXPECT_TRUE(pb->SetNodeAt(kTSources, 0, a));
  EXPECT_EQ(pb->GetNodes(kTSources), (std::vector<Node*>{a, b}));
  EXPECT_FALSE(pb->DeleteNodeAt(kTSources, 2));
  EXPECT_EQ(pb->GetNodeAt(kTSources, 5), nullptr);
}

TEST_F(ParamBlockTest, UndoPutsBackEveryValueOfTheStep) {
  Node* a = scene.CreateNode("a");
  pb->SetFloat(kTSize, 0, 50.0f, true);
  pb->SetFloat(kTSize, 100, 60.0f, true);
  const FloatTrack sizeBefore = *pb->GetFloatTrack(kTSize);
  pb->SetInt(kTRes, 0, 64);  // outside a step: not undoable

  scene.Undo().Begin();
  pb->SetFloat(kTSize, 50, 500.0f, true);  // a third key
  pb->SetFloat(kTSize, 0, 1.0f, false);    // then the whole curve moved
  pb->SetInt(kTRes, 0, 32);
  pb->AppendNode(kTSources, a);
  pb->SetString(kTPath, 0, "/tmp/cache");
  scene.Undo().Accept("preset");
  EXPECT_EQ(scene.Undo().NextUndoName(), "preset");
  obj->changes.clear();

  ASSERT_TRUE(scene.Undo().Undo());
  EXPECT_EQ(*pb->GetFloatTrack(kTSize), sizeBefore);
  EXPECT_EQ(pb->GetInt(kTRes, 0), 64);
  EXPECT_EQ(pb->Count(kTSources), 0);
  EXPECT_EQ(pb->GetString(kTPath, 0), "");
  EXPECT_FALSE(obj->changes.empty());  // the owner hears about restored values
  EXPECT_FALSE(scene.Undo().Undo());   // nothing left
}

TEST_F(ParamBlockTest, NestedStepsMakeOneStepAndCancelPutsBackAtOnce) {
  scene.Undo().Begin();
  pb->SetInt(kTRes, 0, 10);
  scene.Undo().Begin();  // a preset applied from a script's own step
  pb->SetInt(kTRes, 0, 20);
  scene.Undo().Accept("inner");
  EXPECT_FALSE(scene.Undo().Undo());  // refused while the outer step is open
  scene.Undo().Accept("outer");
  EXPECT_EQ(scene.Undo().StepCount(), 1u);
  ASSERT_TRUE(scene.Undo().Undo());
  EXPECT_EQ(pb->GetInt(kTRes, 0), 128);

  scene.Undo().Begin();
  pb->SetFloat(kTSize, 0, 3.0f);
  pb->SetBool(kTFlag, 0, false);
  scene.Undo().Cancel();
  EXPECT_EQ(pb->GetFloat(kTSize, 0), 200.0f);
  EXPECT_EQ(pb->GetBool(kTFlag, 0), true);
  EXPECT_EQ(scene.Undo().StepCount(), 0u);
}

TEST_F(ParamBlockTest, ResetToDefaultsNotifiesWithNoParameter) {
  pb->SetInt(kTRes, 0, 7);
  pb->AppendNode(kTSources, scene.CreateNode("x"));
  obj->changes.clear();
  pb->ResetToDefaults();
  EXPECT_EQ(pb->GetInt(kTRes, 0), 128);
  EXPECT_EQ(pb->Count(kTSources), 0);
  EXPECT_EQ(obj->changes, std::vector<int>{-1});
}

TEST_F(ParamBlockTest, ParametersAreFoundByNameIgnoringCase) {
  const ParamRef ref = FindParam(*obj, "RESOLUTION");
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref.id, kTRes);
  EXPECT_EQ(ref.block, pb);
  EXPECT_FALSE(FindParam(*obj, "nothing"));
}

TEST(ParamBlockDesc, ValidationCatchesBrokenDescriptions) {
  struct Case {
    const char* expect;
    std::vector<ParamDef> params;
  };
  const std::vector<Case> cases = {
      {"id used twice", {IntParam(1, "a", 0, 0, 1, 0, "A"), IntParam(1, "b", 0, 0, 1, 0, "B")}},
      {"name used twice", {BoolParam(1, "size", true, 0, "A"), BoolParam(2, "SIZE", true, 0, "B")}},
      {"cannot be animated", {[] { ParamDef d = IntParam(1, "a", 0, 0, 9, 0, "A"); d.animatable = true; return d; }()}},
      {"default outside", {FloatParam(1, "a", 5, 0, 1, false, 0, "A")}},
      {"range is not ordered", {FloatParam(1, "a", 0, 1, -1, false, 0, "A")}},
      {"match its 3 choices", {IntParam(1, "a", 0, 0, 1, 0, "A", {"x", "y", "z"})}},
      {"map 4 has no rollout", {BoolParam(1, "a", true, 4, "A")}},
      {"character", {BoolParam(1, "a b", true, 0, "A")}},
      {"outside 0 to 65535", {BoolParam(70000, "a", true, 0, "A")}},
  };
  for (const Case& c : cases) {
    ParamBlockDesc d;
    d.internalName = "params";
    d.rollouts = {RolloutDesc{0, "Main", true, 0, 0, {}}};
    d.params = c.params;
    std::string error;
    EXPECT_FALSE(ValidateParamBlockDesc(d, &error)) << c.expect;
    EXPECT_NE(error.find(c.expect), std::string::npos) << error;
  }
  std::string error;
  EXPECT_TRUE(ValidateParamBlockDesc(TestPlugin().Block(), &error)) << error;
}

}  // namespace
}  // namespace host
