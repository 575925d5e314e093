// Creating a domain by dragging, and editing it through the rollouts built from its parameter
// block (the controls a front end draws and sends input to).
#include <gtest/gtest.h>

#include "domain/fire_params_desc.h"
#include "host/objects/class_registry.h"
#include "host/panels/param_rollouts.h"
#include "host/scene/creation.h"
#include "plugin/simulate_panel.h"
#include "tests/plugin/bake_scene.h"

namespace tf {
namespace {

using host::CreateResult;
using host::MouseMsg;
using host::Point3;

struct DragCase {
  const char* name;
  Point3 from, to;
  bool kept;
  Point3 size;  // sizeX, sizeY, sizeZ of a kept domain
};

class CreateByDragging : public ::testing::TestWithParam<DragCase> {};

TEST_P(CreateByDragging, SizesTheBoxAndKeepsOnlyARealDrag) {
  const DragCase& c = GetParam();
  testing::BakeScene s;
  const size_t before = s.scene.Nodes().size();
  host::Creation creation;
  std::string why;
  ASSERT_TRUE(creation.Begin(s.scene, GetFireObjDesc(), &why)) << why;
  EXPECT_EQ(creation.Mouse(MouseMsg::kPoint, c.from), CreateResult::kContinue);
  EXPECT_EQ(creation.Mouse(MouseMsg::kMove, (c.from + c.to) * 0.5f), CreateResult::kContinue);
  const CreateResult end = creation.Mouse(MouseMsg::kPoint, c.to);
  if (!c.kept) {
    EXPECT_EQ(end, CreateResult::kAbort);
    EXPECT_EQ(s.scene.Nodes().size(), before);
    return;
  }
  ASSERT_EQ(end, CreateResult::kStop);
  host::Node* node = creation.GetNode();
  ASSERT_TRUE(node);
  EXPECT_EQ(s.scene.Selection(), std::vector<host::Node*>{node});
  const host::ParamBlock& p = *AsFireObject(node->GetObject())->Params();
  EXPECT_FLOAT_EQ(*p.GetFloat(kSizeX, 0), c.size.x);
  EXPECT_FLOAT_EQ(*p.GetFloat(kSizeY, 0), c.size.y);
  EXPECT_FLOAT_EQ(*p.GetFloat(kSizeZ, 0), c.size.z);
  const Point3 mid = (c.from + c.to) * 0.5f;
  const Point3 at = node->GetNodeTM(0).GetTrans();
  EXPECT_FLOAT_EQ(at.x, mid.x);
  EXPECT_FLOAT_EQ(at.y, mid.y);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CreateByDragging,
    ::testing::Values(DragCase{"TwoByOneMakesHeightThree", {1, 1, 0}, {3, 2, 0}, true, {2, 1, 3}},
                      DragCase{"BackwardsDragGivesPositiveSizes", {3, 2, 0}, {1, 1, 0}, true, {2, 1, 3}},
                      DragCase{"ClickWithoutDragIsCancelled", {5, 5, 0}, {5, 5, 0}, false, {}},
                      DragCase{"DragOfAHundredthIsCancelled", {0, 0, 0}, {0.01f, 0.01f, 0}, false, {}},
                      DragCase{"ThinSideStaysAtTheMinimum", {0, 0, 0}, {4, 0, 0}, true, {4, 0.001f, 6}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(CreateByDragging, AbortDropsTheNodeAndLaterMessagesAreIgnored) {
  testing::BakeScene s;
  const size_t before = s.scene.Nodes().size();
  host::Creation creation;
  ASSERT_TRUE(creation.Begin(s.scene, GetFireObjDesc(), nullptr));
  creation.Mouse(MouseMsg::kPoint, {0, 0, 0});
  creation.Mouse(MouseMsg::kMove, {5, 5, 0});
  EXPECT_EQ(creation.Mouse(MouseMsg::kAbort, {}), CreateResult::kAbort);
  EXPECT_EQ(s.scene.Nodes().size(), before);
  EXPECT_EQ(creation.Mouse(MouseMsg::kPoint, {9, 9, 0}), CreateResult::kAbort);
  EXPECT_FALSE(creation.Begin(s.scene, *host::FindClassDesc("Box"), nullptr));  // made from files only
}

class DomainRollouts : public ::testing::Test {
 protected:
  void SetUp() override {
    node = s.NodeOf(s.domain);
    s.scene.Select(node);
    ASSERT_TRUE(panel.BeginEdit(node));
  }
  void TearDown() override { panel.EndEdit(); }
  host::CommandStatus Input(int paramId, const nlohmann::json& value) {
    message.clear();
    return panel.Input(host::kParamControlBase + paramId, value, &message);
  }
  testing::BakeScene s;
  host::Node* node = nullptr;
  host::CommandPanel panel;
  std::string message;
};

TEST_F(DomainRollouts, EveryParameterHasAControlInItsRolloutBesideTheSimulateAndAboutPanels) {
  const nlohmann::json d = panel.Describe();
  std::map<int, std::string> kindOf;
  for (const auto& p : d["panels"])
    for (const auto& c : p["controls"]) kindOf[c["id"].get<int>()] = c["kind"].get<std::string>();
  for (const host::ParamDef& def : FireParamBlockDesc().params)
    EXPECT_TRUE(kindOf.count(host::kParamControlBase + def.id)) << def.name;
  EXPECT_EQ(kindOf[host::kParamControlBase + kEmitters], "nodelist");
  EXPECT_EQ(kindOf[host::kParamControlBase + kPreviewCamera], "node");
  EXPECT_EQ(kindOf[host::kParamControlBase + kLiveMode], "radio");
  EXPECT_EQ(kindOf[host::kParamControlBase + kClosedFloor], "checkbox");
  EXPECT_EQ(kindOf[kOpenOutputButton], "button");
  EXPECT_EQ(d["panels"].size(), FireParamBlockDesc().rollouts.size() + 2);
}

TEST_F(DomainRollouts, ValuesAreClampedOrRefusedWithAReason) {
  host::ParamBlock& p = *s.domain->Params();
  EXPECT_EQ(Input(kResolution, 99999.7), host::CommandStatus::kSucceeded);
  EXPECT_EQ(*p.GetInt(kResolution, 0), 4096);
  EXPECT_EQ(Input(kFuelRate, -5), host::CommandStatus::kSucceeded);
  EXPECT_FLOAT_EQ(*p.GetFloat(kFuelRate, 0), 0.0f);
  EXPECT_EQ(Input(kFuelRate, "lots"), host::CommandStatus::kFailed);
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(Input(kLiveMode, 7), host::CommandStatus::kFailed);
  EXPECT_EQ(Input(kClosedFloor, 1), host::CommandStatus::kFailed);
  EXPECT_EQ(Input(kClosedFloor, false), host::CommandStatus::kSucceeded);
  EXPECT_FALSE(*p.GetBool(kClosedFloor, 0));
  EXPECT_FLOAT_EQ(*p.GetFloat(kFuelRate, 0), 0.0f);  // the refused inputs changed nothing
}

TEST_F(DomainRollouts, NodeListAddsAndRemovesByNameAndRefusesUnknownNodes) {
  host::ParamBlock& p = *s.domain->Params();
  p.SetNodes(kColliders, {});
  EXPECT_EQ(Input(kColliders, {{"add", "Log"}}), host::CommandStatus::kSucceeded);
  EXPECT_EQ(p.GetNodes(kColliders), std::vector<host::Node*>{s.source});
  EXPECT_EQ(Input(kColliders, {{"add", "Log"}}), host::CommandStatus::kFailed);  // once is enough
  EXPECT_EQ(Input(kColliders, {{"add", "Nobody"}}), host::CommandStatus::kFailed);
  EXPECT_EQ(message, "The scene has no node named \"Nobody\".");
  EXPECT_EQ(Input(kColliders, {{"remove", 3}}), host::CommandStatus::kFailed);
  EXPECT_EQ(Input(kColliders, {{"remove", 0}}), host::CommandStatus::kSucceeded);
  EXPECT_EQ(p.Count(kColliders), 0);
  EXPECT_EQ(Input(kPreviewCamera, "Nobody"), host::CommandStatus::kFailed);
  EXPECT_EQ(Input(kPreviewCamera, "Log"), host::CommandStatus::kSucceeded);
  EXPECT_EQ(*p.GetNode(kPreviewCamera, 0), s.source);
  EXPECT_EQ(Input(kPreviewCamera, nullptr), host::CommandStatus::kSucceeded);
  EXPECT_EQ(*p.GetNode(kPreviewCamera, 0), nullptr);
}

}  // namespace
}  // namespace tf
