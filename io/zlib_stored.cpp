#include "io/zlib_stored.h"

#include <array>

namespace tf {

uint32_t Adler32(const uint8_t* data, size_t size) {
  constexpr uint32_t kMod = 65521;
  // 5552 bytes is the longest run whose sums cannot overflow 32 bits before the modulo.
  uint32_t a = 1, b = 0;
  while (size > 0) {
    size_t run = size < 5552 ? size : 5552;
    size -= run;
    for (size_t i = 0; i < run; ++i) {
      a += data[i];
      b += a;
    }
    data += run;
    a %= kMod;
    b %= kMod;
  }
  return (b << 16) | a;
}

namespace {

const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
  const std::array<uint32_t, 256>& table = CrcTable();
  uint32_t c = ~crc;
  for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
  return ~c;
}

size_t ZlibStoredSize(size_t size) {
  size_t blocks = size == 0 ? 1 : (size + kStoredBlockMax - 1) / kStoredBlockMax;
  return 2 + blocks * 5 + size + 4;
}

void AppendZlibStored(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
  out.reserve(out.size() + ZlibStoredSize(size));
  out.push_back(0x78);
  out.push_back(0x01);
  size_t done = 0;
  do {
    size_t len = size - done < kStoredBlockMax ? size - done : kStoredBlockMax;
    bool last = done + len == size;
    out.push_back(last ? 1 : 0);
    auto n = static_cast<uint16_t>(len);
    auto nn = static_cast<uint16_t>(~n);
    out.push_back(static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(nn & 0xFF));
    out.push_back(static_cast<uint8_t>(nn >> 8));
    if (len > 0) out.insert(out.end(), data + done, data + done + len);
    done += len;
  } while (done < size);
  uint32_t adler = Adler32(data, size);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(adler >> shift));
}

}  // namespace tf
