#include "viewport/fire_point_item.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene/scene.h"
#include "export/preview.h"
#include "render/render.h"
#include "cache/simulate_domain.h"
#include "viewport/domain_display.h"
#include "viewport/domain_label.h"

namespace tf {

namespace {

std::string DisplayKey(int mode, int budget, float density, bool showDomain, const DomainBox& box) {
  char text[256];
  std::snprintf(text, sizeof text, "%d %d %g %d %g %g %g %g %g %g", mode, budget, double(density), showDomain ? 1 : 0,
                double(box.min.x), double(box.min.y), double(box.min.z), double(box.max.x), double(box.max.y),
                double(box.max.z));
  return text;
}

// The domain's look with the smoke scaled by the display density and the key light fixed in the
// domain's space, so that the points keep their shading however the view turns.
RenderSettings DisplayLook(const host::ParamBlock* block, host::TimeValue t, float displayDensity) {
  RenderSettings settings = MakeRenderSettings(block, t);
  settings.smokeDensity *= displayDensity;
  const float len = std::sqrt(0.4f * 0.4f + 0.5f * 0.5f + 0.75f * 0.75f);
  settings.lightDir = Vec3f{0.4f / len, -0.5f / len, 0.75f / len};
  return settings;
}

// Colour and opacity of every crop voxel; false when the frame cannot be shaded.
bool ShadeFrame(const CacheFrame& frame, const RenderSettings& settings, std::vector<float>& colors) {
  if (!FrameFitsCrop(frame)) return false;
  const CacheFrameHeader& hd = frame.header;
  RenderVolume volume;
  const auto channel = [&frame](int c) { return frame.channels[c].empty() ? nullptr : frame.channels[c].data(); };
  volume.density = channel(kChannelDensity);
  volume.temperature = channel(kChannelTemperature);
  volume.nx = hd.cropSize[0], volume.ny = hd.cropSize[1], volume.nz = hd.cropSize[2];
  volume.cellSize = hd.cellSizeScene;
  colors.resize(4 * std::size_t(CacheCropValues(hd)));
  bool usedGpu = false;
  return ShadeVoxels(volume, settings, colors.data(), usedGpu);
}

// Where a window of a frame's grid lies in the domain's object space: the grid stands on the pivot,
// centred in x and y, as the domain's grid does.
DomainBox WindowBox(const CacheFrameHeader& h, const CellBox& w) {
  const float c = h.cellSizeScene;
  const host::Point3 origin(float(h.nx) * -0.5f * c, float(h.ny) * -0.5f * c, 0.0f);
  return {origin + host::Point3(float(w.lo.x), float(w.lo.y), float(w.lo.z)) * c,
          origin + host::Point3(float(w.hi.x), float(w.hi.y), float(w.hi.z)) * c};
}

// The window's part of the display key: empty when there is none.
std::string WindowKey(const CellBox& w) {
  if (w.Empty()) return {};
  char text[96];
  std::snprintf(text, sizeof text, " window %d %d %d %d %d %d", w.lo.x, w.lo.y, w.lo.z, w.hi.x, w.hi.y, w.hi.z);
  return text;
}

}  // namespace

FirePointItem::FirePointItem(host::Object* domain, const host::Node* node)
    : object_(domain),
      domain_(dynamic_cast<SimulateDomain*>(domain)),
      scene_(node != nullptr ? node->GetScene() : nullptr),
      nodeHandle_(node != nullptr ? node->Handle() : 0) {}

void FirePointItem::Drop() {
  batches_.clear();
  lines_.clear();
  lineColors_.clear();
  points_.clear();
  primitives_ = 0;
}

void FirePointItem::Realize(const host::View& /*view*/, host::TimeValue t) {
  // The object is reached only through its live node: a deleted node took the object with it.
  const host::Node* node = scene_ != nullptr ? scene_->FindNode(nodeHandle_) : nullptr;
  const bool alive = node != nullptr && domain_ != nullptr && node->GetObject() == object_;
  const host::ParamBlock* block = alive ? object_->GetParamBlockById(kFireParamBlockId) : nullptr;
  if (block == nullptr) {
    Drop();
    worldTM_ = host::Matrix3();
    return;
  }
  worldTM_ = node->GetNodeTM(t);

  // Held throughout, so the frame is not replaced while its channels are read.
  std::lock_guard<std::recursive_mutex> lock(domain_->DisplayMutex());
  const int mode = block->GetInt(kVpMode, t).value_or(kVpFireSmoke);
  const int budget = block->GetInt(kVpPoints, t).value_or(300000);
  const float density = block->GetFloat(kVpDensity, t).value_or(1.0f);
  const bool showDomain = block->GetBool(kShowDomain, t).value_or(true);
  const std::shared_ptr<const CacheFrame> frame = domain_->GetDisplayFrame(t);
  const DomainBox box = GetDomainBox(*block, t);
  // An adaptive run's window, drawn inside the box when it lies in the shown frame's grid.
  CellBox window = frame && showDomain ? domain_->DisplayWindow(t) : CellBox{};
  if (frame && (window.lo.x < 0 || window.lo.y < 0 || window.lo.z < 0 || window.hi.x > frame->header.nx ||
                window.hi.y > frame->header.ny || window.hi.z > frame->header.nz))
    window = CellBox{};
  std::string key = DisplayKey(mode, budget, density, showDomain, box) + WindowKey(window);
  const uint64_t generation = domain_->DisplayGeneration();
  if (generation == generation_ && key == key_ && primitives_ != 0) return;

  generation_ = generation;
  key_ = std::move(key);
  Drop();
  try {
    if (showDomain) {
      lines_ = DomainBoxEdges(box);
      lineColors_.assign(lines_.size(), kDomainBoxColor);
      const std::vector<host::Point3> label = BuildDomainLabel(box.min, box.max);
      lines_.insert(lines_.end(), label.begin(), label.end());
      lineColors_.resize(lines_.size(), kDomainLabelColor);
      if (!window.Empty()) {
        const std::vector<host::Point3> edges = DomainBoxEdges(WindowBox(frame->header, window));
        lines_.insert(lines_.end(), edges.begin(), edges.end());
        lineColors_.resize(lines_.size(), kWindowBoxColor);
      }
    }
    if (frame && mode >= kVpFireSmoke && mode <= kVpTemperature && CacheCropValues(frame->header) > 0) {
      const RenderSettings look = DisplayLook(block, t, density);
      const PointSettings settings{.mode = mode, .budget = budget, .fireTempScale = look.fireTempScale};
      const bool shaded = mode != kVpTemperature;
      if (!shaded || ShadeFrame(*frame, look, voxelColors_))
        points_ = BuildFramePoints(*frame, settings, shaded ? std::span<const float>(voxelColors_) : std::span<const float>());
    }
  } catch (const std::bad_alloc&) {
    // Too large a frame to show: the box and label alone, when they were complete.
    points_.clear();
    if (lineColors_.size() != lines_.size()) lines_.clear(), lineColors_.clear();
  }
  // The batches point into the vectors above, which stay as they are until the next build.
  if (!lines_.empty()) AddBatch(host::PrimitiveType::kLineList, lines_, lineColors_);
  for (const PointBatchData& p : points_) AddBatch(host::PrimitiveType::kPointList, p.positions, p.colors);
}

void FirePointItem::AddBatch(host::PrimitiveType type, std::span<const host::Point3> positions,
                             std::span<const uint32_t> colors) {
  host::RenderBatch batch;
  batch.type = type;
  batch.positions = positions;
  batch.colorsArgb = colors;
  batches_.push_back(batch);
  primitives_ += int64_t(type == host::PrimitiveType::kLineList ? positions.size() / 2 : positions.size());
}

}  // namespace tf
