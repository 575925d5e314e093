// cache/display_cache.h: the one baked frame a domain keeps loaded for the viewport, the preview
// renderer, the exporters and the scripting interface.
//
// A frame number is read from disk once; asking again for the same number, whether the read
// succeeded or not, answers from memory until Invalidate(). So a missing frame costs one failed
// open per frame change, not one per redraw. Every load or drop raises the generation, which
// viewport items compare with the value they last drew.
//
// Live mode is not handled here: the domain answers from its live frame while its liveMode is on
// and asks this cache only when it is off (the domain object owns that branch).
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/core/math.h"
#include "host/core/status.h"
#include "cache/cache_file.h"

namespace tf {

class DisplayCache {
 public:
  // How a frame file is read; tests count reads through it.
  using Reader = std::function<bool(const std::string& path, CacheFrame& frame)>;

  DisplayCache();
  explicit DisplayCache(Reader reader);

  // The frame `frame` of the cache in `folder` (fire_<frame>.tfc), or null when it could not be
  // read. The caller's reference keeps the frame alive after a later call replaces it.
  std::shared_ptr<const CacheFrame> Get(int frame, const std::string& folder);
  // The same for a scene time: frame = time / ticksPerFrame, truncating.
  std::shared_ptr<const CacheFrame> GetAtTime(host::TimeValue time, int ticksPerFrame, const std::string& folder);

  // Drops the loaded frame so the next Get reads the disk again.
  void Invalidate();

  uint64_t Generation() const;
  // Raises the generation without touching the loaded frame: a new live frame or a change of a
  // display-only setting.
  void BumpGeneration();
  // The frame number last asked for, INT_MIN when none.
  int LoadedFrameNumber() const;

 private:
  Reader reader_;
  mutable std::mutex mutex_;
  std::shared_ptr<const CacheFrame> loaded_;
  int loadedFrame_ = INT_MIN;
  uint64_t generation_ = 1;
};

// Deletes the "fire" frames of `folder` and drops the display frame; the message is "Deleted <n>
// cached frame(s)." Refused, with nothing deleted, while a bake or an export holds the folder
// (LockCacheFolder); files that cannot be deleted are left alone.
host::Status ClearCacheFolder(const std::string& folder, DisplayCache& display);

}  // namespace tf
