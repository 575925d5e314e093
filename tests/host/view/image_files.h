// Image files made by hand for the view tests: PNGs from a chunk writer of our own (stored
// deflate blocks, any colour type and depth, Adam7), so the decoder meets files its own saver did
// not make; JPEGs from libjpeg; and a scratch folder per test.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>  // after <cstdio>: it needs FILE

#include "tests/support/temp_folder.h"

namespace host::testimg {

using Bytes = std::vector<uint8_t>;

inline uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

inline void PutBE32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

inline void Chunk(Bytes& out, const char* type, const Bytes& data) {
  PutBE32(out, uint32_t(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBE32(out, Crc32(out.data() + start, out.size() - start));
}

struct PngImage {
  int width = 1, height = 1, bitDepth = 8;
  int colorType = 2;  // 0 gray, 2 RGB, 3 palette, 4 gray+alpha, 6 RGBA
  bool interlaced = false;
  std::vector<uint16_t> samples;  // row by row, every channel of every pixel
  Bytes palette, trns;            // PLTE and tRNS as stored
};

inline PngImage Png(int width, int height, int bitDepth, int colorType, std::vector<uint16_t> samples,
                   bool interlaced = false) {
  PngImage s;
  s.width = width;
  s.height = height;
  s.bitDepth = bitDepth;
  s.colorType = colorType;
  s.samples = std::move(samples);
  s.interlaced = interlaced;
  return s;
}

inline Bytes MakePng(const PngImage& s) {
  const int ch = s.colorType == 2 ? 3 : s.colorType == 4 ? 2 : s.colorType == 6 ? 4 : 1;
  // Filter-0 scanlines of the pixels (x0 + i dx, y0 + j dy), samples packed from the top bit.
  Bytes raw;
  const auto scanlines = [&](int x0, int y0, int dx, int dy) {
    for (int y = y0; y < s.height && x0 < s.width; y += dy) {
      raw.push_back(0);
      uint32_t acc = 0;
      int bits = 0;
      for (int x = x0; x < s.width; x += dx)
        for (int c = 0; c < ch; ++c) {
          acc = (acc << s.bitDepth) | s.samples[(size_t(y) * size_t(s.width) + size_t(x)) * size_t(ch) + size_t(c)];
          for (bits += s.bitDepth; bits >= 8; bits -= 8) raw.push_back(uint8_t(acc >> (bits - 8)));
        }
      if (bits > 0) raw.push_back(uint8_t(acc << (8 - bits)));
    }
  };
  if (!s.interlaced) scanlines(0, 0, 1, 1);
  else
    for (const auto& p : {std::array{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4},
                          {1, 0, 2, 2}, {0, 1, 1, 2}})
      scanlines(p[0], p[1], p[2], p[3]);
  // A zlib stream of stored blocks.
  Bytes z = {0x78, 0x01};
  for (size_t pos = 0; pos < raw.size();) {
    const size_t n = std::min<size_t>(65535, raw.size() - pos);
    z.insert(z.end(), {uint8_t(pos + n == raw.size()), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
    z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
    pos += n;
  }
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) b = (b + (a = (a + v) % 65521)) % 65521;
  PutBE32(z, (b << 16) | a);

  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, ihdr;
  PutBE32(ihdr, uint32_t(s.width));
  PutBE32(ihdr, uint32_t(s.height));
  ihdr.insert(ihdr.end(), {uint8_t(s.bitDepth), uint8_t(s.colorType), 0, 0, uint8_t(s.interlaced)});
  Chunk(out, "IHDR", ihdr);
  if (!s.palette.empty()) Chunk(out, "PLTE", s.palette);
  if (!s.trns.empty()) Chunk(out, "tRNS", s.trns);
  Chunk(out, "IDAT", z);
  Chunk(out, "IEND", {});
  return out;
}

// Rewrites the size in a PNG's IHDR and its CRC, so that only the size check can refuse it.
inline void SetPngSize(Bytes& png, uint32_t width, uint32_t height) {
  Bytes v;
  PutBE32(v, width);
  PutBE32(v, height);
  std::copy(v.begin(), v.end(), png.begin() + 16);
  v.clear();
  PutBE32(v, Crc32(png.data() + 12, 17));
  std::copy(v.begin(), v.end(), png.begin() + 29);
}

// A JPEG from libjpeg: 1 (gray), 3 (RGB) or 4 (CMYK) components, pixels row by row.
inline Bytes MakeJpeg(int width, int height, int components, const Bytes& pixels) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = JDIMENSION(width);
  c.image_height = JDIMENSION(height);
  c.input_components = components;
  c.in_color_space = components == 3 ? JCS_RGB : components == 4 ? JCS_CMYK : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + size_t(c.next_scanline) * size_t(width * components));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(mem, mem + size);
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

// Rewrites the frame size in a JPEG's SOF0 header.
inline void SetJpegSize(Bytes& jpg, uint16_t width, uint16_t height) {
  size_t sof = 2;
  while (sof + 9 < jpg.size() && !(jpg[sof] == 0xFF && jpg[sof + 1] == 0xC0)) ++sof;
  ASSERT_LT(sof + 9, jpg.size());
  jpg[sof + 5] = uint8_t(height >> 8);
  jpg[sof + 6] = uint8_t(height);
  jpg[sof + 7] = uint8_t(width >> 8);
  jpg[sof + 8] = uint8_t(width);
}

inline void WriteBytes(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()),
                                                             std::streamsize(b.size()));
}

inline Bytes ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

using host::testing::FileNames;
using host::testing::TempFolder;

}  // namespace host::testimg
