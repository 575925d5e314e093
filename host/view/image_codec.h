// PNG and JPEG files for the rasteriser and the bitmaps, through libpng and libjpeg. Internal to
// the host layer: the rest of the program uses host/view/raster.h and host/view/bitmap.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace host::codec {

// Limits on what a file may declare before anything is allocated for it.
inline constexpr int kMaxImageSide = 32768;
inline constexpr int64_t kMaxImagePixels = int64_t(1) << 27;     // 1 GiB as 16-bit RGBA
inline constexpr int64_t kMaxImageFileBytes = int64_t(1) << 30;

// A decoded image: rows from the top, `channels` samples per pixel (3: RGB, 4: RGBA), each one
// byte (bitDepth 8) or two bytes, most significant first (bitDepth 16).
struct DecodedImage {
  int width = 0, height = 0;
  int channels = 0;
  int bitDepth = 0;
  std::vector<uint8_t> bytes;
};

// Reads a PNG (any colour type and bit depth: palette, gray and 1/2/4-bit images expand to
// 8-bit RGBA, 16-bit ones to 16-bit RGBA, transparency becomes alpha) or a JPEG (to 8-bit RGB).
// False with a message naming the file and the problem for a missing, unreadable, truncated,
// corrupt, unsupported or oversized file; `out` is untouched then.
bool ReadImageFile(const std::filesystem::path& path, DecodedImage* out, std::string* message);

// Writes rows laid out as in DecodedImage (channels 3 or 4, bitDepth 8 or 16) as a PNG. The file
// is written under a temporary name beside `path` and renamed over it when complete, so `path`
// never holds a partial image; on failure the temporary file is removed.
bool WritePngFile(const std::filesystem::path& path, int width, int height, int channels, int bitDepth,
                  const uint8_t* rows, std::string* message);

// The same PNG encoded into memory: `png` receives the whole file, or stays untouched on failure.
bool EncodePngBytes(int width, int height, int channels, int bitDepth, const uint8_t* rows,
                    std::vector<uint8_t>* png, std::string* message);

}  // namespace host::codec
