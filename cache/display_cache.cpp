#include "cache/display_cache.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "host/core/atomic_file.h"

namespace tf {

DisplayCache::DisplayCache() : reader_(ReadCacheFrame) {}

DisplayCache::DisplayCache(Reader reader) : reader_(reader ? std::move(reader) : Reader(ReadCacheFrame)) {}

std::shared_ptr<const CacheFrame> DisplayCache::Get(int frame, const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (frame == loadedFrame_) return loaded_;
  loadedFrame_ = frame;
  loaded_.reset();  // released before the read, so two full frames are never held at once
  auto next = std::make_shared<CacheFrame>();
  if (reader_(MakeFramePath(folder, "fire", frame, "tfc"), *next)) loaded_ = std::move(next);
  ++generation_;
  return loaded_;
}

std::shared_ptr<const CacheFrame> DisplayCache::GetAtTime(host::TimeValue time, int ticksPerFrame,
                                                          const std::string& folder) {
  return Get(time / (ticksPerFrame > 0 ? ticksPerFrame : 1), folder);
}

void DisplayCache::Invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_.reset();
  loadedFrame_ = INT_MIN;
  ++generation_;
}

void DisplayCache::BumpGeneration() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
}

uint64_t DisplayCache::Generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

int DisplayCache::LoadedFrameNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadedFrame_;
}

host::Status ClearCacheFolder(const std::string& folder, DisplayCache& display) {
  // A folder that is not there holds nothing to clear; one that is may be a bake's at work.
  host::FileLock lock;
  std::error_code ec;
  std::string refused;
  if (std::filesystem::is_directory(folder, ec) && !LockCacheFolder(lock, folder, "A cache clear", &refused))
    return {false, refused};
  const int count = CountCachedFrames(folder);
  DeleteCachedFrames(folder, "fire");
  display.Invalidate();
  return {true, ClearCacheMessage(count)};
}

}  // namespace tf
