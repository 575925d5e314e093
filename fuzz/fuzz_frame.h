// Small cache frames made from fuzz input for the writer targets: the shape a frame read from disk
// may have (any crop inside or outside the grid, any channel mask, any half-precision value,
// infinities and NaN included), built directly so that the fuzzer spends its time in the writers
// rather than in finding a file of exactly the right length.
//
//   [nx ny nz][crop origin x y z][crop size x y z][channel mask][flags][cell size: 4 bytes]
//   [frame: 2 bytes][far origin: 12 bytes, used when flags & 1][values: 2 bytes each, half bits]
//
// Channels take the values in order, repeating the input when it runs short.
#pragma once

#include <cstdint>
#include <cstring>

#include "cache/cache_file.h"
#include "cache/half.h"

namespace tf::fuzz {

inline constexpr size_t kFrameInputHeader = 32;

// False when the input is too short to make a frame.
inline bool MakeFrame(const uint8_t* data, size_t size, CacheFrame& frame, uint8_t& flags) {
  if (size < kFrameInputHeader) return false;
  frame.Clear();
  CacheFrameHeader& h = frame.header;
  h.nx = 1 + data[0] % 12, h.ny = 1 + data[1] % 12, h.nz = 1 + data[2] % 12;
  const int32_t n[3] = {h.nx, h.ny, h.nz};
  for (int a = 0; a < 3; ++a) {
    h.cropOrigin[size_t(a)] = data[3 + a] % n[a];
    h.cropSize[size_t(a)] = 1 + data[6 + a] % (n[a] - h.cropOrigin[size_t(a)]);
  }
  h.channelMask = data[9];
  flags = data[10];
  if (flags & 2) {
    std::memcpy(&h.cellSizeScene, data + 11, 4);  // any float, as a damaged file may hold
  } else {
    h.cellSizeScene = 0.125f * float(1 + data[11] % 64);
  }
  h.cellSize = h.cellSizeScene * 0.01f;
  h.frame = int16_t(uint16_t(data[15] | data[16] << 8));
  if (flags & 1) {
    // Crop origins as a file may claim them: nothing in the header limits them.
    for (int a = 0; a < 3; ++a) std::memcpy(&h.cropOrigin[size_t(a)], data + 17 + 4 * a, 4);
  }
  const uint8_t* values = data + kFrameInputHeader;
  const size_t count = (size - kFrameInputHeader) / 2;
  const uint64_t cells = CacheCropValues(h);
  size_t next = 0;
  for (int c = 0; c < kCacheChannels; ++c) {
    if (!(h.channelMask & (1u << c))) continue;
    auto& channel = frame.channels[size_t(c)];
    channel.resize(size_t(cells));
    for (float& v : channel) {
      const uint16_t bits = count ? uint16_t(values[2 * (next % count)] | values[2 * (next % count) + 1] << 8) : 0;
      ++next;
      v = HalfToFloat(bits);
    }
  }
  return true;
}

}  // namespace tf::fuzz
