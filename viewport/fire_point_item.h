// What a domain hands the viewports: its box and label as lines and the current frame as a cloud
// of coloured points. The item keeps its vertex data and rebuilds it only when the domain's
// display generation or the display settings change.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/core/math.h"
#include "host/view/viewport.h"
#include "viewport/frame_points.h"

namespace host {
class Node;
class Object;
class Scene;
}  // namespace host

namespace tf {

class SimulateDomain;

inline constexpr uint32_t kDomainBoxColor = 0xFFFF8A1Eu;
inline constexpr uint32_t kDomainLabelColor = 0xFFB4FFE0u;
inline constexpr uint32_t kWindowBoxColor = 0xFF6E9BC8u;  // an adaptive run's window, inside the box

class FirePointItem : public host::CustomRenderItem {
 public:
  // `domain` must be a scene object that is also a SimulateDomain, and must outlive the item;
  // `node` is the node carrying it. The node is kept by handle: once it is deleted the item draws
  // nothing.
  FirePointItem(host::Object* domain, const host::Node* node);

  void Realize(const host::View& view, host::TimeValue t) override;
  std::span<const host::RenderBatch> Batches() const override { return batches_; }
  host::Matrix3 WorldTransform() const override { return worldTM_; }

  // Lines count once per two vertices, points once per vertex; 0 when nothing is built.
  int64_t PrimitiveTotal() const { return primitives_; }

 private:
  void Drop();
  void AddBatch(host::PrimitiveType type, std::span<const host::Point3> positions, std::span<const uint32_t> colors);

  host::Object* object_;
  SimulateDomain* domain_;
  host::Scene* scene_;
  uint32_t nodeHandle_;
  host::Matrix3 worldTM_;

  std::vector<host::Point3> lines_;
  std::vector<uint32_t> lineColors_;
  std::vector<PointBatchData> points_;
  std::vector<float> voxelColors_;  // kept between builds
  std::vector<host::RenderBatch> batches_;
  int64_t primitives_ = 0;
  std::string key_;
  uint64_t generation_ = 0;
};

}  // namespace tf
