// PNG files decoded by libpng: the pixels must come back exactly, and failed writes must leave
// nothing behind.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "tests/support/temp_folder.h"
#include "io/png_writer.h"

namespace {

using host::testing::TempFolder;

struct Decoded {
  int width = 0, height = 0;
  int bitDepth = 0, colorType = 0;
  std::vector<uint8_t> rgb;
};

Decoded DecodeWithLibpng(const std::filesystem::path& file) {
  Decoded d;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_file(&image, file.c_str())) << image.message;
  if (image.warning_or_error > 1) return d;
  d.width = static_cast<int>(image.width);
  d.height = static_cast<int>(image.height);
  d.colorType = static_cast<int>(image.format);
  image.format = PNG_FORMAT_RGB;
  d.rgb.resize(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, d.rgb.data(), 0, nullptr)) << image.message;
  return d;
}

std::vector<uint8_t> Pattern(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  for (auto& b : px) b = static_cast<uint8_t>(rng());
  return px;
}

TEST(PngWriter, LibpngDecodesThePixelsWeWrote) {
  TempFolder dir;
  // 1 x 1, a row count that crosses a block boundary (21846 rows of 1 pixel = 87384 raw bytes),
  // and a wide odd-sized image.
  for (auto [w, h] : {std::pair{1, 1}, std::pair{1, 21846}, std::pair{333, 97}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    std::vector<uint8_t> px = Pattern(w, h, static_cast<uint32_t>(w * 7 + h));
    std::filesystem::path file = dir / "image.png";
    ASSERT_TRUE(tf::WritePng(file, px.data(), w, h));
    Decoded d = DecodeWithLibpng(file);
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.colorType, PNG_FORMAT_RGB);  // truecolour, 8 bits, no alpha
    EXPECT_EQ(d.rgb, px);
  }
}

TEST(PngWriter, OneBlackPixelHasTheKnownLayout) {
  const uint8_t black[3] = {0, 0, 0};
  std::vector<uint8_t> file = tf::EncodePng(black, 1, 1);
  // signature 8 + IHDR 25 + IDAT (12 + 2 + 5 + 4 + 4) + IEND 12
  ASSERT_EQ(file.size(), 8u + 25u + 27u + 12u);
  const uint8_t* idat = file.data() + 33;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(idat + 4), 4), "IDAT");
  const uint8_t expected[] = {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0, 0, 0, 0, 0x00, 0x04, 0x00, 0x01};
  EXPECT_EQ(std::vector<uint8_t>(idat + 8, idat + 8 + 15), std::vector<uint8_t>(expected, expected + 15));
  // IEND's CRC is a constant of the format.
  const uint8_t iendCrc[] = {0xAE, 0x42, 0x60, 0x82};
  EXPECT_EQ(std::vector<uint8_t>(file.end() - 4, file.end()), std::vector<uint8_t>(iendCrc, iendCrc + 4));
}

TEST(PngWriter, RefusesWhatItCannotWrite) {
  TempFolder dir;
  const uint8_t px[3] = {1, 2, 3};
  EXPECT_FALSE(tf::WritePng(dir / "missing" / "a.png", px, 1, 1));
  EXPECT_FALSE(tf::WritePng(dir / "zero.png", px, 0, 1));
  EXPECT_FALSE(tf::WritePng(dir / "null.png", nullptr, 1, 1));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
