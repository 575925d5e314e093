// Helpers of the cache tests: a temporary folder removed afterwards, whole-file access and a small
// frame whose values are already rounded through half precision, as frame capture leaves them.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "cache/half.h"
#include "tests/support/temp_folder.h"

namespace tf::testing {

// The host tests' temporary folder, with names handed out as strings as the cache calls take them.
class TempFolder : public host::testing::TempFolder {
 public:
  std::string str() const { return path().string(); }
  std::string operator/(const std::string& name) const { return (path() / name).string(); }
};

inline std::vector<uint8_t> ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A 3 x 2 x 4 crop of a 10 x 8 x 6 grid with the always-present channels plus the given extra
// mask bits; values vary per channel and cell, include negatives, and are half-exact.
inline CacheFrame MakeSmallFrame(int frameNumber, uint32_t extraMask = 0) {
  CacheFrame f;
  CacheFrameHeader& h = f.header;
  h.nx = 10, h.ny = 8, h.nz = 6;
  h.cellSize = 0.05f;
  h.cellSizeScene = 1.9685f;
  h.frame = frameNumber;
  h.cropOrigin = {2, 1, 3};
  h.cropSize = {3, 2, 4};
  h.channelMask = kCacheAlwaysMask | extraMask;
  h.stepMs = 12.5f;
  h.pressureIterations = 40;
  h.maxDivergence = 1.5e-4f;
  const size_t n = 3 * 2 * 4;
  for (int c = 0; c < kCacheChannels; ++c) {
    if (!(h.channelMask & (1u << c))) continue;
    f.channels[c].resize(n);
    for (size_t i = 0; i < n; ++i) {
      const float v = RoundToHalf(0.37f * float(c + 1) * (float(i) - 7.3f) + 0.001f * float(frameNumber));
      f.channels[c][i] = v;
      h.channelMax[c] = std::max(h.channelMax[c], v < 0 ? -v : v);
    }
  }
  return f;
}

}  // namespace tf::testing
