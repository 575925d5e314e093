#include "script/bridge.h"

#include <algorithm>
#include <optional>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"
#include "export/preview.h"
#include "render/render.h"
#include "cache/simulate_domain.h"

namespace tf {

namespace {

// The three arrays of one shaded volume, shared by the ring and the holders handed out.
struct BridgeVolume {
  std::vector<float> extinction, emission, third;
};
using VolumeRef = std::shared_ptr<const BridgeVolume>;

// One kept volume and what it was made from. The displayed frame is part of the key by identity:
// the node is known only by its address, and a new domain (on the same node, or on a new node at
// a freed node's address) may stand at the generation the old one stood at.
struct RingSlot {
  const void* node = nullptr;
  host::TimeValue time = 0;
  uint64_t generation = 0;
  std::weak_ptr<const CacheFrame> source;  // keeps the frame's control block, so never matches a new frame
  RenderSettings settings;
  VolumeRef volume;  // null: the slot is empty
  TfrBridgeFrame frame{};
};

constexpr int kRingSlots = 4;

struct FrameRing {
  std::mutex mutex;  // held for the whole lookup and fill, so concurrent callers wait
  RingSlot slots[kRingSlots];
  int next = 0;
};

FrameRing& TheRing() {
  static FrameRing ring;
  return ring;
}

host::Node* AsNode(void* node) { return static_cast<host::Node*>(node); }

// The domain a node carries as both of its faces, or nulls.
struct DomainFaces {
  host::Object* object = nullptr;
  SimulateDomain* domain = nullptr;
};

DomainFaces DomainOf(host::Node* node) {
  host::Object* object = node ? node->GetObject() : nullptr;
  if (!object || object->GetClassId() != kFireClassId) return {};
  const std::optional<DomainRef> domain = DomainRefOf(object);
  return domain ? DomainFaces{object, domain->folders} : DomainFaces{};
}

bool SameFrame(const std::weak_ptr<const CacheFrame>& a, const std::shared_ptr<const CacheFrame>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

bool SameVec(const Vec3f& a, const Vec3f& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

void CopyPoint(const host::Point3& p, float scale, float (&out)[3]) {
  out[0] = p.x * scale;
  out[1] = p.y * scale;
  out[2] = p.z * scale;
}

// Rotation, scale and translation (in metres) of the node's world transform at t.
void PlaceOnNode(const host::Node& node, host::TimeValue t, double metresPerUnit, TfrBridgeFrame& f) {
  const host::Matrix3 tm = node.GetNodeTM(t);
  CopyPoint(tm.GetRow(0), 1.0f, f.row0);
  CopyPoint(tm.GetRow(1), 1.0f, f.row1);
  CopyPoint(tm.GetRow(2), 1.0f, f.row2);
  CopyPoint(tm.GetTrans(), float(metresPerUnit), f.translation);
}

// The channel when it holds one value per cropped cell, else null (read as zeros).
const float* Channel(const CacheFrame& frame, int index, size_t cells) {
  const std::vector<float>& values = frame.channels[size_t(index)];
  return values.size() == cells ? values.data() : nullptr;
}

// Extinction, emission and the third channel of every cropped cell, transposed from the cache's
// x-fastest order to z fastest. `k` is the cell edge in metres.
VolumeRef ShadeVolume(const CacheFrame& frame, const RenderSettings& s, float k) {
  const int64_t sx = frame.header.cropSize[0], sy = frame.header.cropSize[1], sz = frame.header.cropSize[2];
  const size_t cells = size_t(sx * sy * sz);
  auto volume = std::make_shared<BridgeVolume>();
  volume->extinction.resize(cells);
  volume->emission.resize(cells * 3);
  volume->third.resize(cells);
  const float* density = Channel(frame, kChannelDensity, cells);
  const float* temperature = Channel(frame, kChannelTemperature, cells);
  const float* third = Channel(frame, kChannelFlame, cells);
  const FireColorTable table = MakeFireColorTable(s.fireTint);
  const float extinctionScale = s.smokeDensity / (20.0f * k);
  const float emissionScale = s.fireIntensity * 3.0f / (10.0f * k);
  BridgeVolume& v = *volume;
#pragma omp parallel for schedule(static) if (cells >= 65536)
  for (int64_t x = 0; x < sx; ++x)
    for (int64_t y = 0; y < sy; ++y)
      for (int64_t z = 0; z < sz; ++z) {
        const size_t from = size_t(x + sx * (y + sy * z));
        const size_t to = size_t(z + sz * (y + sy * x));
        v.extinction[to] = density ? extinctionScale * density[from] : 0.0f;
        v.third[to] = third ? third[from] : 0.0f;
        Vec3f colour;
        float weight = 0.0f;
        // Written so that a NaN temperature emits nothing, as a cold one does.
        const float scaled = temperature ? temperature[from] * s.fireTempScale : 0.0f;
        if (scaled > 0.15f) {
          FireColorAtKelvin(table, 1000.0f * scaled + 300.0f, colour, weight);
          weight *= emissionScale;
        }
        v.emission[3 * to + 0] = colour.x * weight;
        v.emission[3 * to + 1] = colour.y * weight;
        v.emission[3 * to + 2] = colour.z * weight;
      }
  return volume;
}

int IsFireNode(void* node, void*, void*) { return DomainOf(AsNode(node)).domain ? 1 : 0; }

int GetFrameUnguarded(void* nodeArg, int32_t time, TfrBridgeFrame* out) {
  host::Node* node = AsNode(nodeArg);
  const DomainFaces d = DomainOf(node);
  if (!d.domain || !out) return 0;

  std::shared_ptr<const CacheFrame> frame;
  uint64_t generation = 0;
  {
    // Callers on several threads take turns evaluating the domain; the generation is read with
    // the frame, so the two belong together.
    std::lock_guard<std::recursive_mutex> lock(d.domain->DisplayMutex());
    d.domain->SetCurrentNode(node);
    d.object->EvalAt(time);
    frame = d.domain->GetDisplayFrame(time);
    generation = d.domain->DisplayGeneration();
  }
  if (!frame || CacheCropValues(frame->header) == 0) return 0;
  const host::Scene* scene = node->GetScene();
  const double metresPerUnit = scene ? scene->time.metresPerUnit : host::TimeSettings().metresPerUnit;
  const double h = frame->header.cellSizeScene;
  const float k = float(h * metresPerUnit);
  // A frame without a cell size cannot be placed, and would shade to infinities.
  if (!(k > 0.0f)) return 0;
  const RenderSettings settings = MakeRenderSettings(d.object->GetParamBlockById(kFireParamBlockId), time);

  FrameRing& ring = TheRing();
  std::lock_guard<std::mutex> lock(ring.mutex);
  for (const RingSlot& slot : ring.slots) {
    if (!slot.volume || slot.node != node || slot.time != time || slot.generation != generation ||
        !SameFrame(slot.source, frame) || !SameRenderSettings(slot.settings, settings))
      continue;
    auto holder = std::make_unique<VolumeRef>(slot.volume);
    *out = slot.frame;
    PlaceOnNode(*node, time, metresPerUnit, *out);
    out->holder = holder.release();
    return 1;
  }

  const CacheFrameHeader& hd = frame->header;
  auto holder = std::make_unique<VolumeRef>(ShadeVolume(*frame, settings, k));
  const BridgeVolume& v = **holder;
  TfrBridgeFrame f{};
  f.nx = uint32_t(hd.cropSize[0]);
  f.ny = uint32_t(hd.cropSize[1]);
  f.nz = uint32_t(hd.cropSize[2]);
  f.voxel = k;
  f.origin[0] = float((hd.cropOrigin[0] * h - 0.5 * hd.nx * h) * metresPerUnit);
  f.origin[1] = float((hd.cropOrigin[1] * h - 0.5 * hd.ny * h) * metresPerUnit);
  f.origin[2] = float(hd.cropOrigin[2] * h * metresPerUnit);
  PlaceOnNode(*node, time, metresPerUnit, f);
  f.extinction = v.extinction.data();
  f.emission = v.emission.data();
  f.third = v.third.data();
  f.smokeColor[0] = settings.smokeColor.x;
  f.smokeColor[1] = settings.smokeColor.y;
  f.smokeColor[2] = settings.smokeColor.z;
  f.selfShadow = settings.shadowAmount;
  f.glow = settings.glow;
  f.generation = generation;

  RingSlot& slot = ring.slots[ring.next];
  slot.node = node;
  slot.time = time;
  slot.generation = generation;
  slot.source = frame;
  slot.settings = settings;
  slot.volume = *holder;
  slot.frame = f;  // without a holder: each delivery gets its own
  ring.next = (ring.next + 1) % kRingSlots;

  *out = f;
  out->holder = holder.release();
  return 1;
}

// Nothing may unwind into a sibling's C code: a failure (memory for a large volume, say) is "no frame".
int GetFrame(void* node, int32_t time, TfrBridgeFrame* out) {
  try {
    return GetFrameUnguarded(node, time, out);
  } catch (...) {
    return 0;
  }
}

void ReleaseFrame(void* holder) { delete static_cast<VolumeRef*>(holder); }

const TfrBridge kBridge = {TFR_BRIDGE_VERSION, IsFireNode, GetFrame, ReleaseFrame};

}  // namespace

const TfrBridge* GetBridgeTable() { return &kBridge; }

// A setting added to RenderSettings must be added here too, or a change of it would hit old volumes.
static_assert(sizeof(RenderSettings) == 108, "compare every field of RenderSettings below");

bool SameRenderSettings(const RenderSettings& a, const RenderSettings& b) {
  return a.smokeDensity == b.smokeDensity && SameVec(a.smokeColor, b.smokeColor) &&
         a.fireIntensity == b.fireIntensity && a.exposure == b.exposure && SameVec(a.lightDir, b.lightDir) &&
         SameVec(a.lightColor, b.lightColor) && SameVec(a.skyColor, b.skyColor) &&
         SameVec(a.background, b.background) && a.useGpu == b.useGpu && SameVec(a.fireTint, b.fireTint) &&
         a.fireTempScale == b.fireTempScale && a.glow == b.glow && a.shadowAmount == b.shadowAmount &&
         a.detailAmount == b.detailAmount && a.detailScale == b.detailScale;
}

std::string BridgeInfoText(host::Node* node, host::TimeValue t) {
  if (!IsFireNode(node, nullptr, nullptr)) return "bridge: not a fire node";
  TfrBridgeFrame f{};
  if (!GetFrame(node, t, &f)) return "bridge: no frame";
  const size_t cells = size_t(f.nx) * f.ny * f.nz;
  double extinction = 0.0, emission = 0.0, largest = 0.0;
  for (size_t i = 0; i < cells; ++i) {
    extinction += f.extinction[i];
    const double e = double(f.emission[3 * i]) + f.emission[3 * i + 1] + f.emission[3 * i + 2];
    emission += e;
    largest = std::max(largest, e);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "bridge v%d: %dx%dx%d voxel %.4g m origin %.3g %.3g %.3g ext=%.4g emission=%.4g max=%.4g",
                TFR_BRIDGE_VERSION, int(f.nx), int(f.ny), int(f.nz), double(f.voxel), double(f.origin[0]),
                double(f.origin[1]), double(f.origin[2]), extinction, emission, largest);
  ReleaseFrame(f.holder);
  return text;
}

}  // namespace tf
