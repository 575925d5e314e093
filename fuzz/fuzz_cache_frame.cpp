// Cache frames as another program or a damaged disk may leave them: the reader refuses what is not
// a frame, and what it accepts is consistent and written back to the same bytes.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_file.h"
#include "cache/cache_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path path = tf::fuzz::WriteInput("frame.tfc", data, size);
  tf::CacheFrame frame;
  if (!tf::ReadCacheFrame(path.string(), frame)) return 0;
  const uint64_t n = tf::CacheCropValues(frame.header);
  for (int c = 0; c < tf::kCacheChannels; ++c) {
    const bool stored = n > 0 && (frame.header.channelMask & (1u << c));
    if (frame.channels[c].size() != (stored ? n : 0)) std::abort();
  }
  if (size != tf::CacheFileBytes(frame.header)) std::abort();
  return 0;
}
