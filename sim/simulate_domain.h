// What the bake needs of a domain besides its parameter block: where its cache and outputs live,
// and its display frame, which the bake drops so that the viewport follows it. The domain object
// implements this; the bake finds it on the scene object it is given.
#pragma once

#include <string>

namespace tf {

class SimulateDomain {
 public:
  virtual std::string CacheFolder() const = 0;
  virtual std::string OutputFolder() const = 0;
  virtual void InvalidateDisplayFrame() = 0;

 protected:
  ~SimulateDomain() = default;
};

}  // namespace tf
