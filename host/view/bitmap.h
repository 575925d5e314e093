// Bitmaps of the host: created at a size or loaded from PNG and JPEG files, read and written as
// rows of 16-bit RGBA channels, saved as PNG and "shown" (the program decides what showing means:
// by default it reports the bitmap, or it saves it as a PNG).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace host {

// One pixel as 16-bit channels: 0 to 65535, an 8-bit value v stored as v * 257.
struct Rgba16 {
  uint16_t r = 0, g = 0, b = 0, a = 0;
  friend bool operator==(const Rgba16&, const Rgba16&) = default;
};

class Bitmap {
 public:
  int Width() const { return width_; }
  int Height() const { return height_; }
  // The storage depth, 8 or 16. Rows always travel as 16-bit channels; an 8-bit bitmap keeps
  // the nearest 8-bit value of each channel written (v * 257 reads back exactly).
  int BitsPerChannel() const { return bits_; }
  const std::string& Name() const { return name_; }

  // Pixels x .. x + out.size() - 1 of row y (row 0 at the top). False, and nothing read, when
  // that run does not lie inside the bitmap.
  bool GetRow(int y, std::span<Rgba16> out, int x = 0) const;
  // Writes a run of pixels the same way; false, and nothing written, outside the bitmap.
  bool PutRow(int y, std::span<const Rgba16> in, int x = 0);

 private:
  friend std::unique_ptr<Bitmap> CreateBitmap(int, int, int, const std::string&, std::string*);
  Bitmap() = default;

  int width_ = 0, height_ = 0, bits_ = 8;
  std::string name_;
  std::vector<Rgba16> pixels_;
};

// A new bitmap of width x height, 8 or 16 bits per channel, every pixel (0, 0, 0, 0). Null with
// a message for a size outside 1 to 32768 per side (or more than 2^27 pixels), another depth, or
// too little memory.
std::unique_ptr<Bitmap> CreateBitmap(int width, int height, int bitsPerChannel, const std::string& name,
                                     std::string* message);

// Loads a PNG (8 or 16 bits; gray, RGB, palette, with or without alpha or transparency; the
// bitmap gets the file's depth, 8 for fewer bits) or a JPEG (8 bits, alpha 65535). The size the
// file declares is checked against the limits above and against what the file's length can hold
// before anything is allocated. Null with a message naming the file for a missing, empty,
// truncated, corrupt or unsupported file. Gamma and colour profiles are not applied.
std::unique_ptr<Bitmap> LoadBitmapFile(const std::filesystem::path& path, std::string* message);

// Saves an RGBA PNG of the bitmap's depth. The file appears under its name only when complete.
bool SaveBitmapPng(const Bitmap& bitmap, const std::filesystem::path& path, std::string* message);
// The same PNG file's bytes in memory (a page or a socket shows them); `png` is untouched on failure.
bool EncodeBitmapPng(const Bitmap& bitmap, std::vector<uint8_t>* png, std::string* message);

// Showing a bitmap in a window titled `title`. The hook returns false with a message when it
// could not show it.
using BitmapShowHook = std::function<bool(const Bitmap& bitmap, const std::string& title, std::string* message)>;

// Installs the program's hook; an empty one restores the default, which prints one line naming
// the title and the size to standard output.
void SetBitmapShowHook(BitmapShowHook hook);
bool ShowBitmap(const Bitmap& bitmap, const std::string& title, std::string* message = nullptr);

// A hook that saves every shown bitmap as a PNG: to `target` itself when it names a .png file,
// otherwise into the folder `target` (created when missing) under the title, with every character
// other than letters, digits, '-', '_' and '.' replaced by '_'. Its message names the file saved.
BitmapShowHook SaveShownBitmapsTo(std::filesystem::path target);

}  // namespace host
