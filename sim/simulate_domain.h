// What the bake, the exporters and the preview commands need of a domain besides its parameter
// block: where its cache and outputs live, and its display frame, which the bake drops so that the
// viewport follows it and the previews render. The domain object implements this; the commands
// find it on the scene object they are given.
#pragma once

#include <memory>
#include <string>

#include "host/math.h"
#include "sim/cache_file.h"

namespace tf {

class SimulateDomain {
 public:
  virtual std::string CacheFolder() const = 0;
  virtual std::string OutputFolder() const = 0;
  virtual void InvalidateDisplayFrame() = 0;
  // The frame shown at time t (the live frame, or the cached frame of t's frame number), or null.
  virtual std::shared_ptr<const CacheFrame> GetDisplayFrame(host::TimeValue t) = 0;

 protected:
  ~SimulateDomain() = default;
};

}  // namespace tf
