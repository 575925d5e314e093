// Nodes and the scene: transform order, parent chains over time, links that would make cycles,
// deleting nodes that others refer to, names, selection and file names.
#include <numbers>

#include "tests/host/scene/scene_test_util.h"
#include "host/objects/primitives.h"

namespace host {
namespace {

using test::ExpectNear;
using test::Make;
constexpr float kPi = std::numbers::pi_v<float>;

TEST(Node, OwnTransformScalesThenRotatesThenMoves) {
  Scene scene;
  Node* n = scene.CreateNode("n");
  n->transform.scale.SetConstant({2, 2, 2});
  n->transform.rotation.SetConstant(Quat::AxisAngle({0, 0, 1}, kPi / 2));
  n->transform.position.SetConstant({10, 0, 0});
  // (1, 0, 0) -> (2, 0, 0) -> (0, 2, 0) -> (10, 2, 0).
  ExpectNear(Point3(1, 0, 0) * n->GetNodeTM(0), {10, 2, 0});
}

TEST(Node, ChildFollowsAnAnimatedParentChain) {
  Scene scene;
  Node* root = scene.CreateNode("root");
  Node* arm = scene.CreateNode("arm", nullptr, root);
  Node* hand = scene.CreateNode("hand", nullptr, arm);
  ASSERT_EQ(hand->Parent(), arm);
  root->transform.position.SetKey(0, {0, 0, 0});
  root->transform.position.SetKey(4800, {100, 0, 0});
  arm->transform.rotation.SetKey(0, Quat());
  arm->transform.rotation.SetKey(4800, Quat::AxisAngle({0, 0, 1}, kPi / 2));
  hand->transform.position.SetConstant({10, 0, 0});

  // Halfway: the root has moved 50 and the arm has turned 45 degrees.
  const float h = 10 * std::sqrt(0.5f);
  ExpectNear(Point3() * hand->GetNodeTM(2400), {50 + h, h, 0});
  // Past the last keys everything holds its last pose.
  ExpectNear(Point3() * hand->GetNodeTM(99999), {100, 10, 0});
  ExpectNear(Point3() * hand->GetNodeTM(-99999), {10, 0, 0});
  // World transform is the node's own followed by its parents'.
  const Matrix3 expected = hand->GetLocalTM(1200) * arm->GetLocalTM(1200) * root->GetLocalTM(1200);
  ExpectNear(Point3(1, 2, 3) * hand->GetNodeTM(1200), Point3(1, 2, 3) * expected);
}

TEST(Node, LinksThatWouldMakeACycleAreRefused) {
  Scene scene, other;
  Node* a = scene.CreateNode("a");
  Node* b = scene.CreateNode("b", nullptr, a);
  Node* c = scene.CreateNode("c", nullptr, b);
  std::string error;
  EXPECT_FALSE(a->SetParent(c, &error));
  EXPECT_NE(error.find("cycle"), std::string::npos) << error;
  EXPECT_FALSE(a->SetParent(a, &error));
  EXPECT_FALSE(a->SetParent(other.CreateNode("x"), &error));
  EXPECT_EQ(a->Parent(), nullptr);
  EXPECT_EQ(c->Parent(), b);
  // Relinking moves the node between parents' child lists.
  ASSERT_TRUE(c->SetParent(a));
  EXPECT_EQ(a->Children(), (std::vector<Node*>{b, c}));
  EXPECT_TRUE(b->Children().empty());
}

TEST(Scene, DeletingANodeRelinksItsChildrenAndClearsReferences) {
  Scene scene;
  Node* plugin = nullptr;
  test::TestPluginObject* obj = test::MakeTestPlugin(scene, "domain", &plugin);
  Node* top = scene.CreateNode("top");
  Node* mid = scene.CreateNode("mid", Make("Sphere"), top);
  Node* leaf = scene.CreateNode("leaf", nullptr, mid);
  Node* keep = scene.CreateNode("keep");
  ParamBlock* pb = obj->GetParamBlock(0);
  pb->SetNodes(test::kTSources, {mid, keep, mid});
  pb->SetNode(test::kTCamera, 0, mid);
  scene.Select(mid);
  const uint32_t midHandle = mid->Handle();
  scene.Undo().Begin();
  pb->SetFloat(test::kTSize, 0, 5);
  scene.Undo().Accept("size");

  ASSERT_TRUE(scene.DeleteNode(mid));
  EXPECT_EQ(leaf->Parent(), top);
  EXPECT_EQ(top->Children(), std::vector<Node*>{leaf});
  EXPECT_EQ(pb->GetNodes(test::kTSources), (std::vector<Node*>{nullptr, keep, nullptr}));
  EXPECT_EQ(pb->GetNode(test::kTCamera, 0), std::optional<Node*>(nullptr));
  EXPECT_EQ(scene.FindNode(midHandle), nullptr);
  EXPECT_TRUE(scene.Selection().empty());
  EXPECT_EQ(scene.Undo().StepCount(), 0u);  // its records could have held the node
  EXPECT_FALSE(scene.DeleteNode(mid));
  // Handles are never handed out twice.
  EXPECT_GT(scene.CreateNode("new")->Handle(), keep->Handle());
}

TEST(Scene, NamesSelectionAndLookups) {
  Scene scene;
  Node* s1 = scene.CreateNode("", Make("Sphere"));
  Node* s2 = scene.CreateNode("", Make("Sphere"));
  EXPECT_EQ(s1->Name(), "Sphere001");
  EXPECT_EQ(s2->Name(), "Sphere002");
  s1->SetName("Sphere003");
  EXPECT_EQ(scene.MakeUniqueName("Sphere"), "Sphere001");
  EXPECT_EQ(scene.FindNode("Sphere003"), s1);
  EXPECT_EQ(scene.FindNode(s2->Handle()), s2);
  EXPECT_EQ(scene.FindNodeOf(s2->GetObject()), s2);
  EXPECT_EQ(s2->GetObject()->GetScene(), &scene);

  scene.Select(s2);
  scene.Select(s1, true);
  EXPECT_EQ(scene.Selection(), (std::vector<Node*>{s1, s2}));  // scene order
  scene.Select(s2);
  EXPECT_EQ(scene.Selection(), std::vector<Node*>{s2});
  scene.ClearSelection();
  EXPECT_TRUE(scene.Selection().empty());
}

TEST(Scene, FileNamesAndRelativePaths) {
  Scene scene;
  EXPECT_EQ(scene.FileName(), "");
  EXPECT_EQ(scene.ResolvePath("parts/a.obj"), std::filesystem::path("parts/a.obj"));
  scene.SetFilePath("/proj/shots/shot.final.json");
  EXPECT_EQ(scene.FileName(), "shot.final.json");
  EXPECT_EQ(scene.FileDir(), "/proj/shots");
  EXPECT_EQ(scene.ResolvePath("parts/a.obj"), std::filesystem::path("/proj/shots/parts/a.obj"));
  EXPECT_EQ(scene.ResolvePath("/abs/b.obj"), std::filesystem::path("/abs/b.obj"));
}

}  // namespace
}  // namespace host
