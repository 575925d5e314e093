#include "host/scene/scene_view.h"

#include <algorithm>
#include <cmath>

#include "host/scene/scene.h"
#include "host/scene/trimesh.h"

namespace host {

namespace {

constexpr uint32_t kWireColor = 0xFFA0A4AAu;
constexpr uint32_t kSelectedWireColor = 0xFFFFFFFFu;
constexpr uint32_t kParticleColor = 0xFFE8E8F0u;

// The host's own drawing of one node: its mesh's edges or its particles, in world space.
class NodeGeometryItem : public CustomRenderItem {
 public:
  NodeGeometryItem(Node& node, TimeValue t) {
    Object* object = node.GetObject();
    const Matrix3 tm = node.GetObjectTM(t);
    TriMesh mesh;
    if (object->GetTriMesh(t, mesh) && mesh.CheckIndices(nullptr)) {
      for (const auto& f : mesh.faces)
        for (int k = 0; k < 3; ++k) {
          lines_.push_back(mesh.verts[size_t(f[size_t(k)])] * tm);
          lines_.push_back(mesh.verts[size_t(f[size_t((k + 1) % 3)])] * tm);
        }
      RenderBatch batch;
      batch.type = PrimitiveType::kLineList;
      batch.positions = lines_;
      batch.color = ColorFromArgb(node.selected ? kSelectedWireColor : kWireColor);
      batches_.push_back(batch);
    }
    if (ParticleObject* particles = object->GetParticleInterface(); particles && particles->Update(t)) {
      for (int i = 0; i < particles->Count(); ++i) points_.push_back(particles->Position(i) * tm);
      RenderBatch batch;
      batch.type = PrimitiveType::kPointList;
      batch.positions = points_;
      batch.color = ColorFromArgb(kParticleColor);
      batch.pointSize = 2;
      batches_.push_back(batch);
    }
  }
  bool Empty() const { return batches_.empty(); }
  std::span<const RenderBatch> Batches() const override { return batches_; }

 private:
  std::vector<Point3> lines_, points_;
  std::vector<RenderBatch> batches_;
};

}  // namespace

void EvaluateScene(Scene& scene, TimeValue t) {
  for (const auto& node : scene.Nodes())
    if (Object* object = node->GetObject()) object->EvalAt(t);
}

void SceneDisplay::Update(Scene& scene, TimeValue t) {
  items_.clear();
  EvaluateScene(scene, t);
  for (const auto& node : scene.Nodes()) {
    Object* object = node->GetObject();
    if (!object) continue;
    auto geometry = std::make_shared<NodeGeometryItem>(*node, t);
    if (!geometry->Empty()) items_.push_back(std::move(geometry));
    object->UpdatePerNodeItems(*node, items_);
  }
  // Gathering items may have told an object of its node for the first time, which empties its
  // validity: it is evaluated again before anything is drawn.
  EvaluateScene(scene, t);
}

bool DrawScene(Scene& scene, const View& view, TimeValue t, RgbImage& image, std::string* message) {
  SceneDisplay display;
  display.Update(scene, t);
  return RasterizeView(view, display.Items(), t, image, RasterOptions{}, message);
}

Box3 SceneBounds(Scene& scene, TimeValue t) {
  Box3 bounds;
  for (const auto& node : scene.Nodes())
    if (Object* object = node->GetObject()) bounds += object->GetWorldBoundBox(t, *node);
  return bounds;
}

bool FirstCameraView(const Scene& scene, TimeValue t, int width, int height, View& view) {
  for (const auto& n : scene.Nodes()) {
    CameraState state;
    if (n->GetObject() && n->GetObject()->EvalCameraState(t, state)) {
      view = ViewFromCamera(n->GetNodeTM(t), state.fov, state.ortho, state.targetDistance, width, height);
      return true;
    }
  }
  return false;
}

View ViewOfBox(const Box3& box, int width, int height) {
  width = std::max(1, width);
  height = std::max(1, height);
  const Box3 b = box.Empty() ? Box3{Point3(-50, -50, 0), Point3(50, 50, 100)} : box;
  const Point3 target = (b.min + b.max) * 0.5f;
  const float radius = std::max(0.5f * Length(b.max - b.min), 1e-3f);
  const float fov = 0.785398f;
  const float aspect = float(height) / float(width);
  const float distance = 1.1f * radius / (std::tan(fov * 0.5f) * std::min(1.0f, aspect));
  const Point3 towardsEye = Normalize(Point3(0.0f, -1.0f, 0.35f));
  return ViewFromCamera(LookAt(target + towardsEye * distance, target), fov, false, distance, width, height);
}

View DefaultSceneView(Scene& scene, TimeValue t, int width, int height) {
  View view;
  if (FirstCameraView(scene, t, width, height, view)) return view;
  return ViewOfBox(SceneBounds(scene, t), width, height);
}

}  // namespace host
