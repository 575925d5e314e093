#include "io/png_writer.h"

#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

#include "host/core/atomic_file.h"
#include "io/zlib_stored.h"

namespace tf {

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A chunk: data length, type, data and the CRC-32 of type and data. The data must already sit at
// the end of `out` after its type, from `typeAt` on.
void FinishChunk(std::vector<uint8_t>& out, size_t lengthAt) {
  size_t typeAt = lengthAt + 4;
  size_t length = out.size() - typeAt - 4;
  for (int i = 0; i < 4; ++i) out[lengthAt + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  PutU32(out, Crc32(out.data() + typeAt, out.size() - typeAt));
}

size_t BeginChunk(std::vector<uint8_t>& out, std::string_view type) {
  size_t at = out.size();
  PutU32(out, 0);
  out.insert(out.end(), type.begin(), type.end());
  return at;
}

}  // namespace

std::vector<uint8_t> EncodePng(const uint8_t* rgb, int32_t width, int32_t height) {
  std::vector<uint8_t> file;
  if (width <= 0 || height <= 0 || (!rgb)) return file;
  size_t row = static_cast<size_t>(width) * 3;
  size_t rawSize = (row + 1) * static_cast<size_t>(height);
  // One IDAT chunk holds the whole stream, and a chunk's length field is at most 2^31 - 1.
  if (ZlibStoredSize(rawSize) > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return file;

  std::vector<uint8_t> raw;
  raw.reserve(rawSize);
  for (int32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter type: none
    const uint8_t* src = rgb + row * static_cast<size_t>(y);
    raw.insert(raw.end(), src, src + row);
  }

  file.reserve(8 + 25 + 12 + ZlibStoredSize(rawSize) + 12);
  static const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  file.insert(file.end(), kSignature, kSignature + 8);

  size_t at = BeginChunk(file, "IHDR");
  PutU32(file, static_cast<uint32_t>(width));
  PutU32(file, static_cast<uint32_t>(height));
  file.push_back(8);  // bit depth
  file.push_back(2);  // colour type: truecolour RGB
  file.push_back(0);  // compression
  file.push_back(0);  // filter method
  file.push_back(0);  // no interlace
  FinishChunk(file, at);

  at = BeginChunk(file, "IDAT");
  AppendZlibStored(file, raw.data(), raw.size());
  FinishChunk(file, at);

  at = BeginChunk(file, "IEND");
  FinishChunk(file, at);
  return file;
}

bool WritePng(const std::filesystem::path& path, const uint8_t* rgb, int32_t width, int32_t height) {
  std::vector<uint8_t> file = EncodePng(rgb, width, height);
  if (file.empty()) return false;
  return host::WriteFileAtomically(path, file);
}

}  // namespace tf
