// What the bake, the exporters, the preview commands and the bridge need of a domain besides its parameter
// block: where its cache and outputs live, and its display frame, which the bake drops so that the
// viewport follows it and the previews render. The domain object implements this. Every command is
// handed the scene object (and the node it is on) and finds the domain in it with DomainRefOf.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "domain/adaptive_window.h"
#include "host/core/math.h"
#include "cache/cache_file.h"

namespace host {
class Node;
class Object;
class ParamBlock;
}

namespace tf {

class SimulateDomain {
 public:
  virtual std::string CacheFolder() const = 0;
  virtual std::string OutputFolder() const = 0;
  virtual void InvalidateDisplayFrame() = 0;
  // The frame shown at time t (the live frame, or the cached frame of t's frame number), or null.
  virtual std::shared_ptr<const CacheFrame> GetDisplayFrame(host::TimeValue t) = 0;
  // Grows with every change of what GetDisplayFrame gives (a load or drop of the cached frame, a
  // new live frame) and with every change of a display-only setting; viewport items rebuild when
  // it moved since their last build.
  virtual uint64_t DisplayGeneration() const = 0;
  // Grows only with changes of display-only settings (shading, point budget): items that keep
  // shaded colours refresh them.
  virtual uint64_t LookCounter() const = 0;
  // Held, the display frame is not replaced and the live state does not change (recursive: a
  // holder may call GetDisplayFrame).
  virtual std::recursive_mutex& DisplayMutex() const = 0;
  // Records the node the domain is shown on; live mode evaluates the scene through it. A domain
  // that follows no node ignores it.
  virtual void SetCurrentNode(const host::Node* /*node*/) {}
  // The window of an adaptive run that the frame shown at t was solved in, in cells of that frame's
  // grid; empty when it is not known (a run on the whole box, or a bake of an earlier session).
  virtual CellBox DisplayWindow(host::TimeValue /*t*/) { return {}; }
  // A bake notes the window each frame was solved in; a new bake forgets those of the last one.
  virtual void KeepFrameWindow(int /*frame*/, const CellBox& /*window*/) {}
  virtual void ForgetFrameWindows() {}

 protected:
  ~SimulateDomain() = default;
};

// A command's domain: the scene object it was handed, its settings and its folders.
struct DomainRef {
  host::Object* object = nullptr;
  host::ParamBlock* params = nullptr;
  SimulateDomain* folders = nullptr;
};

// `object` as a command's domain; empty when it is none (null, not a TolvarisFire domain, or
// without its settings).
std::optional<DomainRef> DomainRefOf(host::Object* object);

}  // namespace tf
