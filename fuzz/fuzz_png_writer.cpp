// The PNG writer fed random images: the file it gives is read back by a strict reader of its own
// (signature, chunk lengths and CRCs, stored deflate blocks, the Adler-32 sum, filter bytes) and
// holds exactly the pixels it was given.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/png_writer.h"
#include "io/zlib_stored.h"

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void Check(bool ok) {
  if (!ok) std::abort();
}

// The pixel rows of a PNG written with stored deflate blocks.
std::vector<uint8_t> Decode(const std::vector<uint8_t>& png, uint32_t& width, uint32_t& height) {
  static const uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
  Check(png.size() >= 8 && std::memcmp(png.data(), kSignature, 8) == 0);
  std::vector<uint8_t> zlib;
  size_t at = 8;
  bool ended = false;
  while (!ended) {
    Check(png.size() - at >= 12);
    const uint32_t length = Be32(&png[at]);
    Check(png.size() - at - 12 >= length);
    const uint8_t* type = &png[at + 4];
    Check(tf::Crc32(type, 4 + size_t(length)) == Be32(&png[at + 8 + length]));
    if (std::memcmp(type, "IHDR", 4) == 0) {
      Check(length == 13);
      width = Be32(type + 4);
      height = Be32(type + 8);
      Check(type[12] == 8 && type[13] == 2);  // 8-bit RGB
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      zlib.insert(zlib.end(), type + 4, type + 4 + length);
    } else {
      ended = std::memcmp(type, "IEND", 4) == 0;
    }
    at += 12 + length;
  }
  Check(at == png.size());
  Check(zlib.size() >= 6);
  std::vector<uint8_t> raw;
  size_t z = 2;
  for (bool last = false; !last;) {
    Check(zlib.size() - z >= 5);
    last = (zlib[z] & 1) != 0;
    Check((zlib[z] >> 1 & 3) == 0);  // stored
    const uint16_t len = uint16_t(zlib[z + 1] | zlib[z + 2] << 8);
    const uint16_t nlen = uint16_t(zlib[z + 3] | zlib[z + 4] << 8);
    Check(uint16_t(~len) == nlen && zlib.size() - z - 5 >= len);
    raw.insert(raw.end(), &zlib[z + 5], &zlib[z + 5] + len);
    z += 5 + size_t(len);
  }
  Check(zlib.size() - z == 4 && tf::Adler32(raw.data(), raw.size()) == Be32(&zlib[z]));
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int32_t width = 1 + data[0] % 64, height = 1 + data[1] % 64;
  std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = data[2 + i % (size - 2)] ^ uint8_t(i);
  const std::vector<uint8_t> png = tf::EncodePng(rgb.data(), width, height);
  uint32_t w = 0, h = 0;
  const std::vector<uint8_t> raw = Decode(png, w, h);
  Check(w == uint32_t(width) && h == uint32_t(height));
  const size_t row = size_t(width) * 3;
  Check(raw.size() == (row + 1) * size_t(height));
  for (int32_t y = 0; y < height; ++y) {
    Check(raw[size_t(y) * (row + 1)] == 0);  // filter None
    Check(std::memcmp(&raw[size_t(y) * (row + 1) + 1], &rgb[size_t(y) * row], row) == 0);
  }
  return 0;
}
