// What the bake, the exporters, the preview commands and the bridge need of a domain besides its parameter
// block: where its cache and outputs live, and its display frame, which the bake drops so that the
// viewport follows it and the previews render. The domain object implements this; the commands
// find it on the scene object they are given.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "host/core/math.h"
#include "sim/cache_file.h"

namespace host {
class Node;
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

 protected:
  ~SimulateDomain() = default;
};

}  // namespace tf
