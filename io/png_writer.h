// The PNG writer: 8-bit RGB images as valid PNG files whose zlib stream holds stored
// (uncompressed) deflate blocks, with no image or compression library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tf {

// The whole PNG file of an image: `rgb` holds `height` rows of `width` x 3 bytes (r, g, b), top
// row first, no padding. Empty when a size is not positive or too large for one IDAT chunk.
std::vector<uint8_t> EncodePng(const uint8_t* rgb, int32_t width, int32_t height);

// Writes that file to `path` with one write. True when the file was opened, written in full and
// closed without error; a file that could not be written in full is removed again, and a path in
// a missing folder creates nothing.
bool WritePng(const std::filesystem::path& path, const uint8_t* rgb, int32_t width, int32_t height);

}  // namespace tf
