// The TolvarisFire domain as a scene object.
//
// A domain owns its parameter block (made by the host from the class's description), the 64-bit
// cache id that names its default cache folder, and the display cache: the one baked frame that
// the viewport, the preview renderer, the exporters and scripts share. The cache id is made once
// when the domain is created and is saved with the scene, so a reloaded scene finds its frames.
//
// Everything here runs on the host's main thread; the mutexes only keep a frame from being
// replaced while another caller is fetching it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "host/scene/objects.h"
#include "cache/cache_file.h"
#include "cache/display_cache.h"
#include "bake/live_mode.h"
#include "domain/domain_sizing.h"
#include "viewport/fire_point_item.h"
#include "cache/simulate_domain.h"

namespace tf {

class FireObject final : public host::Object, public SimulateDomain {
 public:
  explicit FireObject(const host::ClassDesc& desc);
  ~FireObject() override;

  // The domain's settings; null only before host::CreateObject has added the block.
  host::ParamBlock* Params() const;

  uint64_t CacheId() const { return cacheId_; }

  // Folders of the domain. Both come from filename parameters, which never animate, so they are
  // read at time 0. A relative cachePath or outPath resolves against the scene file's folder.
  std::string CacheFolder() const override;
  std::string OutputFolder() const override;

  // The frame to show at time t, or null. With liveMode on it is the live frame; otherwise the
  // cached frame of t's frame number, read from CacheFolder() once per frame number (a missing
  // file too) until InvalidateDisplayFrame. The caller's reference keeps the frame alive.
  std::shared_ptr<const CacheFrame> GetDisplayFrame(host::TimeValue t) override;
  // Drops the loaded frame so the next GetDisplayFrame reads the disk again.
  void InvalidateDisplayFrame() override;
  // Grows with every load or drop of the display frame; viewport items redraw when it moved.
  uint64_t DisplayGeneration() const override { return display_.Generation(); }
  uint64_t LookCounter() const override { return lookCounter_; }
  std::recursive_mutex& DisplayMutex() const override { return mutex_; }
  CellBox DisplayWindow(host::TimeValue t) override;
  void KeepFrameWindow(int frame, const CellBox& window) override;
  void ForgetFrameWindows() override;

  // The domain's liveMode at time t: 0 off (the cache shows), 1 follow the timeline, 2 run
  // continuously.
  int LiveModeAt(host::TimeValue t) const;

  // Live mode (bake/live_mode.h). LiveUpdate runs whenever the host evaluates the domain at a
  // time while liveMode is on; RestartLive opens a new live run now; LiveTimerTick is the panel
  // timer's tick in liveMode 2, which asks for one step and has the host evaluate the domain again.
  void LiveUpdate(host::TimeValue t);
  bool RestartLive();
  void LiveTimerTick();
  // Puts a frame of the caller's in place of the live frame (null: none), as if live mode had made it.
  void SetLiveFrame(std::shared_ptr<const CacheFrame> frame);
  // Marks the live run for a restart on its next update (the panel's Restart).
  void MarkLiveRestart();
  // The live frame number (INT_MIN before the first step) and whether a live run is open.
  int LiveFrameNumber() const;
  bool HasLiveRun() const;

  // Deletes the domain's cached frames; the message is "Deleted <n> cached frame(s).".
  host::Status ClearCache();

  // The node the domain was last edited on (found among the selection at edit begin), or null
  // when that node is gone. Kept by handle, so a deleted node is never reached.
  host::Node* CurrentNode() const;
  void SetCurrentNode(const host::Node* node) override;

  // The viewports: one FirePointItem for the domain, made on the first request; the box and label
  // strokes for hit tests, and the bounding boxes around them. Each of these makes the node the
  // domain's current one.
  void UpdatePerNodeItems(host::Node& node, std::vector<std::shared_ptr<host::CustomRenderItem>>& items) override;
  bool HitTest(host::TimeValue t, host::Node& node, const host::View& view, const host::HitRegion& region) override;
  host::Box3 GetLocalBoundBox(host::TimeValue t, host::Node& node) override;
  host::Box3 GetWorldBoundBox(host::TimeValue t, host::Node& node) override;
  host::Box3 GetDeformBBox(host::TimeValue t, const host::Matrix3* tm = nullptr) override;

  // Editing: the Simulate and About panels (plugin/simulate_panel.h).
  void BeginEditParams(host::CommandPanel& panel) override;
  void EndEditParams(host::CommandPanel& panel) override;

  // Host notifications and saved data. A parameter change invalidates the display frame, redraws
  // with a new look, or marks the live run for a restart, as the parameter's kind says.
  void OnParamChanged(host::ParamBlock& block, int paramId) override;
  void PostLoad() override;
  // {"cacheId": "0x0123456789abcdef"}: a string, since a JSON number cannot hold 64 bits exactly.
  nlohmann::json SaveData() const override;
  bool LoadData(const nlohmann::json& data, std::string* error) override;

 protected:
  // The domain has no mesh of its own: evaluating it runs live mode, valid for that time alone.
  host::Interval Evaluate(host::TimeValue t) override;

 private:
  std::string FolderParam(int paramId) const;
  DomainBox BoxAt(host::TimeValue t) const;

  uint64_t cacheId_ = 0;
  bool cacheIdLoaded_ = false;  // the scene file gave the id
  uint32_t currentNode_ = 0;  // node handle, 0 for none
  DisplayCache display_;
  uint64_t lookCounter_ = 1;
  // Guards the display frame and the live state (recursive: a holder may fetch the frame).
  mutable std::recursive_mutex mutex_;
  LiveState live_;
  std::map<int, CellBox> frameWindows_;  // of the last bake in this session, under mutex_
  std::shared_ptr<FirePointItem> item_;
};

// The domain behind a scene object, or null when it is not one (or is null).
FireObject* AsFireObject(host::Object* object);

// "0x" followed by 16 lower-case hex digits.
std::string FormatCacheId(uint64_t id);
// "0x" (or "0X") and 1 to 16 hex digits; false on anything else.
bool ParseCacheId(std::string_view text, uint64_t& id);

// The same operations for callers holding a possibly missing domain: a missing domain yields
// null, nothing, or false without a message.
std::shared_ptr<const CacheFrame> GetDisplayFrame(FireObject* domain, host::TimeValue t);
void InvalidateDisplayFrame(FireObject* domain);
host::Status ClearCache(FireObject* domain);

// What the domain's panel does when a domain is edited, changes its settings, has news for the
// live text, or goes away. The panel sits above the object, so it hands these in: the class
// descriptor installs the simulate panel's when the class is first used. Until then (a bare
// object) the domain shows nothing.
struct DomainPanelHooks {
  void (*beginEdit)(FireObject& domain, host::CommandPanel& panel) = nullptr;
  void (*endEdit)(FireObject& domain, host::CommandPanel& panel) = nullptr;
  void (*forget)(const FireObject* domain) = nullptr;
  void (*showLiveText)(const FireObject& domain, const std::string& text) = nullptr;
  void (*settingsChanged)(FireObject& domain) = nullptr;
};
void SetDomainPanelHooks(const DomainPanelHooks& hooks);

}  // namespace tf
