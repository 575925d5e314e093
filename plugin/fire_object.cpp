#include "plugin/fire_object.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "domain/domain_sizing.h"
#include "domain/fire_params_desc.h"
#include "host/core/status.h"
#include "host/core/text.h"
#include "host/panels/param_rollouts.h"
#include "host/scene/scene.h"
#include "host/view/viewport.h"
#include "viewport/domain_display.h"

namespace tf {

using host::Fail;

namespace {

DomainPanelHooks gPanel;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string FormatCacheId(uint64_t id) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(id));
  return text;
}

bool ParseCacheId(std::string_view text, uint64_t& id) {
  if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  uint64_t value = 0;
  for (char c : text.substr(2)) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    value = (value << 4) | uint64_t(d);
  }
  id = value;
  return true;
}

FireObject::FireObject(const host::ClassDesc& desc) : host::Object(desc), cacheId_(MakeCacheId(this)) {}

FireObject::~FireObject() {
  if (gPanel.forget) gPanel.forget(this);
}

host::Node* FireObject::CurrentNode() const {
  return currentNode_ && GetScene() ? GetScene()->FindNode(currentNode_) : nullptr;
}

void FireObject::SetCurrentNode(const host::Node* node) { currentNode_ = node ? node->Handle() : 0; }

namespace {

host::Box3 ToBox3(const DomainBox& b) { return host::Box3{b.min, b.max}; }

}  // namespace

DomainBox FireObject::BoxAt(host::TimeValue t) const {
  const host::ParamBlock* block = Params();
  return block ? GetDomainBox(*block, t) : DomainBox{};
}

void FireObject::UpdatePerNodeItems(host::Node& node, std::vector<std::shared_ptr<host::CustomRenderItem>>& items) {
  if (!item_) item_ = std::make_shared<FirePointItem>(this, &node);
  const bool firstNode = !CurrentNode();
  SetCurrentNode(&node);
  // Live mode waits for a node; once the domain has one, the host evaluates it again and the
  // viewport shows the live frame.
  if (firstNode && LiveModeAt(0) != 0) {
    InvalidateGeometry();
    NotifyDependents();
  }
  items.push_back(item_);
}

bool FireObject::HitTest(host::TimeValue t, host::Node& node, const host::View& view, const host::HitRegion& region) {
  SetCurrentNode(&node);
  return HitTestDomain(view, region, node.GetObjectTM(t), BoxAt(t));
}

host::Box3 FireObject::GetLocalBoundBox(host::TimeValue t, host::Node& node) {
  SetCurrentNode(&node);
  return ToBox3(DomainLocalBox(BoxAt(t)));
}

host::Box3 FireObject::GetWorldBoundBox(host::TimeValue t, host::Node& node) {
  SetCurrentNode(&node);
  return ToBox3(DomainWorldBox(DomainLocalBox(BoxAt(t)), node.GetObjectTM(t)));
}

host::Box3 FireObject::GetDeformBBox(host::TimeValue t, const host::Matrix3* tm) {
  return ToBox3(DomainDeformBox(BoxAt(t), tm));
}

void FireObject::BeginEditParams(host::CommandPanel& panel) {
  if (host::ParamBlock* block = Params()) host::AddParamRollouts(panel, *block);
  if (gPanel.beginEdit) gPanel.beginEdit(*this, panel);
}

void FireObject::EndEditParams(host::CommandPanel& panel) {
  if (gPanel.endEdit) gPanel.endEdit(*this, panel);
}

host::ParamBlock* FireObject::Params() const { return GetParamBlockById(kFireParamBlockId); }

std::string FireObject::FolderParam(int paramId) const {
  const host::ParamBlock* block = Params();
  std::string value = block ? block->GetString(paramId, 0).value_or(std::string()) : std::string();
  if (value.empty() || !GetScene()) return value;
  return GetScene()->ResolvePath(value).string();
}

std::string FireObject::CacheFolder() const { return tf::CacheFolder(FolderParam(kCachePath), cacheId_); }

std::string FireObject::OutputFolder() const { return tf::OutputFolder(FolderParam(kOutPath), CacheFolder()); }

int FireObject::LiveModeAt(host::TimeValue t) const {
  const host::ParamBlock* block = Params();
  return block ? block->GetInt(kLiveMode, t).value_or(0) : 0;
}

std::shared_ptr<const CacheFrame> FireObject::GetDisplayFrame(host::TimeValue t) {
  if (LiveModeAt(t) != 0) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return live_.frame;
  }
  const int ticksPerFrame = GetScene() ? GetScene()->time.TicksPerFrame() : host::TimeSettings().TicksPerFrame();
  return display_.GetAtTime(t, ticksPerFrame, CacheFolder());
}

void FireObject::InvalidateDisplayFrame() { display_.Invalidate(); }

CellBox FireObject::DisplayWindow(host::TimeValue t) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (LiveModeAt(t) != 0) return live_.run && live_.run->window.settings.on ? live_.run->window.cells : CellBox{};
  const int ticksPerFrame = GetScene() ? GetScene()->time.TicksPerFrame() : host::TimeSettings().TicksPerFrame();
  const auto found = frameWindows_.find(t / ticksPerFrame);
  return found != frameWindows_.end() ? found->second : CellBox{};
}

void FireObject::KeepFrameWindow(int frame, const CellBox& window) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  frameWindows_[frame] = window;
}

void FireObject::ForgetFrameWindows() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  frameWindows_.clear();
}

host::Interval FireObject::Evaluate(host::TimeValue t) {
  if (LiveModeAt(t) != 0) LiveUpdate(t);
  return host::Interval::Instant(t);
}

void FireObject::LiveUpdate(host::TimeValue t) {
  LiveUpdateResult result;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::shared_ptr<const CacheFrame> shown = live_.frame;
    result = tf::LiveUpdate(live_, this, CurrentNode(), t);
    // The viewport draws what the domain shows: a live frame dropped (the slider before the start,
    // a restart, one that failed) counts as much as a new one.
    if (live_.frame != shown) display_.BumpGeneration();
  }
  if (result.behind) {
    // The steps of one update are capped; the host evaluates the domain again until the live
    // frame reaches the slider, also when nothing else moves.
    EvaluateAgain();
    NotifyDependents();
    host::TheViewports().RedrawViews(t);
  }
  if (!result.text.empty() && gPanel.showLiveText) gPanel.showLiveText(*this, result.text);
}

bool FireObject::RestartLive() {
  std::string text;
  bool ok = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const bool hadFrame = live_.frame != nullptr;
    ok = tf::RestartLive(live_, this, CurrentNode(), &text);
    if (hadFrame) display_.BumpGeneration();
  }
  if (!ok && gPanel.showLiveText) gPanel.showLiveText(*this, text);
  return ok;
}

void FireObject::LiveTimerTick() {
  if (LiveModeAt(CurrentTime()) != 2 || live_.updating) return;
  live_.stepRequested = true;
  InvalidateGeometry();
  NotifyDependents();
  host::TheViewports().RedrawViews(CurrentTime());
}

void FireObject::SetLiveFrame(std::shared_ptr<const CacheFrame> frame) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  live_.frame = std::move(frame);
  display_.BumpGeneration();
}

void FireObject::MarkLiveRestart() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  live_.restartNeeded = true;
}

int FireObject::LiveFrameNumber() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return live_.liveFrame;
}

bool FireObject::HasLiveRun() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return live_.run != nullptr;
}

host::Status FireObject::ClearCache() { return ClearCacheFolder(CacheFolder(), display_); }

void FireObject::OnParamChanged(host::ParamBlock& block, int paramId) {
  if (block.Id() == kFireParamBlockId) {
    // A new cache folder, or a change that may have touched anything, makes the loaded frame stale.
    if (paramId < 0 || paramId == kCachePath) InvalidateDisplayFrame();
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    switch (paramId < 0 ? LiveChange::kRestart : ClassifyLiveChange(paramId)) {
      case LiveChange::kLook:
        display_.BumpGeneration();
        ++lookCounter_;
        break;
      case LiveChange::kNodeLists:
        // Picking the same nodes again leaves the live run alone.
        if (const uint64_t h = NodeListFingerprint(block); h != live_.fingerprint) {
          live_.fingerprint = h;
          live_.restartNeeded = true;
        }
        break;
      case LiveChange::kNone: break;
      case LiveChange::kRestart: live_.restartNeeded = true; break;
    }
    // Live on or off switches between the live frame and the cached one.
    if (paramId == kLiveMode) display_.BumpGeneration();
  }
  host::Object::OnParamChanged(block, paramId);
  if (block.Id() == kFireParamBlockId && gPanel.settingsChanged) gPanel.settingsChanged(*this);
}

void FireObject::PostLoad() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (live_.frame) display_.BumpGeneration();
    live_.frame.reset();
    live_.restartNeeded = true;
  }
  // A scene file without the id (written by hand, or by a tool) still names one folder for every
  // command run on it: the id follows from where the file is and which node holds the domain.
  const host::Scene* scene = GetScene();
  const host::Node* node = scene ? scene->FindNodeOf(this) : nullptr;
  if (!cacheIdLoaded_ && node && !scene->FilePath().empty())
    cacheId_ = SceneCacheId(scene->FilePath().lexically_normal().string(), node->Handle());
  InvalidateDisplayFrame();
}

nlohmann::json FireObject::SaveData() const { return nlohmann::json{{"cacheId", FormatCacheId(cacheId_)}}; }

bool FireObject::LoadData(const nlohmann::json& data, std::string* error) {
  // A hand-written scene may leave the data out: the domain keeps the id it was made with.
  if (data.is_null()) return true;
  if (!data.is_object()) {
    return Fail(error, std::string("a TolvarisFire domain's data must be an object, found ") + data.type_name());
  }
  for (const auto& item : data.items()) {
    if (item.key() != "cacheId") {
      // Built piece by piece: GCC 12 warns falsely about "/" + string (-Wrestrict).
      std::string text(1, '/');
      text += item.key();
      text += ": unknown entry of a TolvarisFire domain's data";
      return Fail(error, std::move(text));
    }
  }
  const auto it = data.find("cacheId");
  if (it == data.end()) return true;
  uint64_t id = 0;
  if (!it->is_string() || !ParseCacheId(it->get_ref<const std::string&>(), id)) {
    std::string text = "/cacheId: expected the cache id as \"0x\" and up to 16 hex digits, found ";
    if (it->is_string()) {
      text += '"';
      text += it->get_ref<const std::string&>();
      text += '"';
    } else {
      text += it->type_name();
    }
    return Fail(error, std::move(text));
  }
  // The display frame of the old id's folder is dropped by PostLoad, once the whole scene is in.
  cacheId_ = id;
  cacheIdLoaded_ = true;
  return true;
}

FireObject* AsFireObject(host::Object* object) {
  if (!object || object->GetClassId() != kFireClassId) return nullptr;
  return dynamic_cast<FireObject*>(object);
}

std::shared_ptr<const CacheFrame> GetDisplayFrame(FireObject* domain, host::TimeValue t) {
  return domain ? domain->GetDisplayFrame(t) : nullptr;
}

void InvalidateDisplayFrame(FireObject* domain) {
  if (domain) domain->InvalidateDisplayFrame();
}

host::Status ClearCache(FireObject* domain) { return domain ? domain->ClearCache() : host::Status{}; }

void SetDomainPanelHooks(const DomainPanelHooks& hooks) { gPanel = hooks; }

}  // namespace tf
