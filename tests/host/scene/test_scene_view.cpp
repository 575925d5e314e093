// What the host draws of a scene: objects evaluated once per validity, the host's wireframes, the
// items objects add, the bounds and the views that frame them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/objects/class_registry.h"
#include "host/scene/scene.h"
#include "host/scene/scene_view.h"

namespace host {
namespace {

// An object valid for one frame's ticks at a time that adds one line item for its node, and
// empties its validity the first time it gets its node (as a plug-in's domain does).
class Counting : public Object {
 public:
  explicit Counting(const ClassDesc& desc) : Object(desc) {}
  Interval Evaluate(TimeValue t) override {
    times.push_back(t);
    if (unfinished > 0 && --unfinished > 0) EvaluateAgain();
    return {t - t % 160, t - t % 160 + 159};
  }
  void UpdatePerNodeItems(Node& node, std::vector<std::shared_ptr<CustomRenderItem>>& items) override {
    if (!seen) InvalidateGeometry();
    seen = &node;
    if (!item) {
      item = std::make_shared<SimpleRenderItem>();
      line = {Point3(-10, 0, 0), Point3(10, 0, 0)};
      RenderBatch b;
      b.positions = line;
      b.color = ColorFromArgb(0xFFFF0000u);
      item->batches.push_back(b);
    }
    items.push_back(item);
  }
  std::vector<TimeValue> times;
  int unfinished = 0;  // evaluations until the result is final
  Node* seen = nullptr;
  std::shared_ptr<SimpleRenderItem> item;
  std::vector<Point3> line;
};

TEST(SceneDisplay, EvaluatesOncePerValidityAndAgainWhenEmptiedOrUnfinished) {
  Scene scene;
  std::string why;
  auto box = CreateObject("Box", &why);
  ASSERT_TRUE(box) << why;
  auto counting = std::make_unique<Counting>(box->Desc());
  scene.CreateNode("Box", std::move(box));
  Counting* c = counting.get();
  scene.CreateNode("Counting", std::move(counting));

  SceneDisplay display;
  display.Update(scene, 10);
  EXPECT_EQ(c->times, (std::vector<TimeValue>{10, 10})) << "again once it learnt its node";
  ASSERT_EQ(display.Items().size(), 2u) << "the box's wireframe and the object's item";
  display.Update(scene, 100);
  EXPECT_EQ(c->times.size(), 2u) << "still valid within the frame";
  display.Update(scene, 170);
  EXPECT_EQ(c->times.back(), 170);
  c->InvalidateGeometry();
  EvaluateScene(scene, 170);
  EXPECT_EQ(c->times.size(), 4u);
  // A result it says is not final yet is evaluated again, at the same time, until it is.
  c->unfinished = 3;
  for (int i = 0; i < 5; ++i) EvaluateScene(scene, 330);
  EXPECT_EQ(c->times.size(), 7u) << "twice unfinished, then valid for the frame";
  EXPECT_TRUE(c->Validity().Contains(330));
}

TEST(SceneDisplay, DrawsWireframesInAViewThatHoldsTheWholeScene) {
  Scene scene;
  std::string why;
  Node* node = scene.CreateNode("Box", CreateObject("Box", &why));
  ASSERT_NE(node, nullptr) << why;
  node->transform.position = Point3Track(Point3(500, 0, 0));
  const Box3 bounds = SceneBounds(scene, 0);
  ASSERT_FALSE(bounds.Empty());
  EXPECT_GT(bounds.min.x, 400.0f) << "world bounds follow the node";

  RgbImage image;
  ASSERT_TRUE(DrawScene(scene, ViewOfBox(bounds, 120, 90), 0, image, &why)) << why;
  int lit = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) lit += image.At(x, y)[0] > 100 ? 1 : 0;
  EXPECT_GT(lit, 50) << "the box's edges are in view";
  // The border rows stay clear: the whole box fits.
  for (int x = 0; x < image.width; ++x) EXPECT_LT(image.At(x, 0)[0], 100) << x;
}

}  // namespace
}  // namespace host
