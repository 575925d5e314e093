#include "host/view/bitmap.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <new>
#include <system_error>

#include "host/core/status.h"
#include "host/view/image_codec.h"

namespace host {

namespace {

uint16_t To8BitStep(uint16_t v) { return uint16_t((uint32_t(v) + 128u) / 257u * 257u); }

BitmapShowHook& ShowHookSlot() {
  static BitmapShowHook hook;
  return hook;
}

bool ReportShown(const Bitmap& bitmap, const std::string& title, std::string* message) {
  const std::string line = "show \"" + title + "\": " + std::to_string(bitmap.Width()) + " x " +
                           std::to_string(bitmap.Height()) + " bitmap \"" + bitmap.Name() + "\"";
  std::cout << line << '\n';
  if (message) *message = line;
  return true;
}

}  // namespace

bool Bitmap::GetRow(int y, std::span<Rgba16> out, int x) const {
  if (y < 0 || y >= height_ || x < 0 || x > width_ || out.size() > std::size_t(width_ - x)) return false;
  const Rgba16* row = pixels_.data() + std::size_t(y) * std::size_t(width_) + std::size_t(x);
  std::copy(row, row + out.size(), out.begin());
  return true;
}

bool Bitmap::PutRow(int y, std::span<const Rgba16> in, int x) {
  if (y < 0 || y >= height_ || x < 0 || x > width_ || in.size() > std::size_t(width_ - x)) return false;
  Rgba16* row = pixels_.data() + std::size_t(y) * std::size_t(width_) + std::size_t(x);
  if (bits_ == 16) {
    std::copy(in.begin(), in.end(), row);
  } else {
    for (std::size_t i = 0; i < in.size(); ++i)
      row[i] = {To8BitStep(in[i].r), To8BitStep(in[i].g), To8BitStep(in[i].b), To8BitStep(in[i].a)};
  }
  return true;
}

std::unique_ptr<Bitmap> CreateBitmap(int width, int height, int bitsPerChannel, const std::string& name,
                                     std::string* message) {
  const auto fail = [&](const std::string& why) {
    SetError(message, "cannot create bitmap \"" + name + "\": " + why);
    return nullptr;
  };
  if (width < 1 || height < 1 || width > codec::kMaxImageSide || height > codec::kMaxImageSide ||
      int64_t(width) * height > codec::kMaxImagePixels)
    return fail("size " + std::to_string(width) + " x " + std::to_string(height) + " is out of range");
  if (bitsPerChannel != 8 && bitsPerChannel != 16)
    return fail(std::to_string(bitsPerChannel) + " bits per channel (8 or 16 are supported)");
  std::unique_ptr<Bitmap> b(new (std::nothrow) Bitmap);
  if (!b) return fail("out of memory");
  try {
    b->pixels_.resize(std::size_t(width) * std::size_t(height));
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
  b->width_ = width;
  b->height_ = height;
  b->bits_ = bitsPerChannel;
  b->name_ = name;
  return b;
}

std::unique_ptr<Bitmap> LoadBitmapFile(const std::filesystem::path& path, std::string* message) {
  codec::DecodedImage img;
  try {
    if (!codec::ReadImageFile(path, &img, message)) return nullptr;
  } catch (const std::bad_alloc&) {
    SetError(message, "cannot read image '" + path.string() + "': out of memory");
    return nullptr;
  }
  auto bitmap = CreateBitmap(img.width, img.height, img.bitDepth, path.filename().string(), message);
  if (!bitmap) return nullptr;
  const std::size_t stride = std::size_t(img.channels) * std::size_t(img.bitDepth / 8);
  std::vector<Rgba16> row(static_cast<std::size_t>(img.width));
  for (int y = 0; y < img.height; ++y) {
    const uint8_t* src = img.bytes.data() + std::size_t(y) * std::size_t(img.width) * stride;
    for (std::size_t x = 0; x < row.size(); ++x, src += stride) {
      uint16_t c[4] = {0, 0, 0, 65535};
      for (int k = 0; k < img.channels; ++k)
        c[k] = img.bitDepth == 16 ? uint16_t(src[2 * k] << 8 | src[2 * k + 1]) : uint16_t(src[k] * 257);
      row[x] = {c[0], c[1], c[2], c[3]};
    }
    bitmap->PutRow(y, row);
  }
  return bitmap;
}

namespace {

// The bitmap's rows as PNG samples: RGBA, 8 or 16 bits as stored, most significant byte first.
bool PackRows(const Bitmap& bitmap, std::vector<uint8_t>& bytes) {
  const int w = bitmap.Width(), h = bitmap.Height();
  const bool deep = bitmap.BitsPerChannel() == 16;
  const std::size_t rowBytes = std::size_t(w) * 4 * (deep ? 2 : 1);
  try {
    bytes.resize(rowBytes * std::size_t(h));
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::vector<Rgba16> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    bitmap.GetRow(y, row);
    uint8_t* dst = bytes.data() + std::size_t(y) * rowBytes;
    for (const Rgba16& p : row) {
      for (const uint16_t v : {p.r, p.g, p.b, p.a}) {
        if (deep) {
          *dst++ = uint8_t(v >> 8);
          *dst++ = uint8_t(v & 0xFF);
        } else {
          *dst++ = uint8_t((uint32_t(v) + 128u) / 257u);
        }
      }
    }
  }
  return true;
}

}  // namespace

bool SaveBitmapPng(const Bitmap& bitmap, const std::filesystem::path& path, std::string* message) {
  std::vector<uint8_t> bytes;
  if (!PackRows(bitmap, bytes)) return Fail(message, "cannot write '" + path.string() + "': out of memory");
  return codec::WritePngFile(path, bitmap.Width(), bitmap.Height(), 4, bitmap.BitsPerChannel(), bytes.data(),
                             message);
}

bool EncodeBitmapPng(const Bitmap& bitmap, std::vector<uint8_t>* png, std::string* message) {
  std::vector<uint8_t> bytes;
  if (!PackRows(bitmap, bytes)) return Fail(message, "cannot encode a PNG image: out of memory");
  return codec::EncodePngBytes(bitmap.Width(), bitmap.Height(), 4, bitmap.BitsPerChannel(), bytes.data(), png,
                               message);
}

void SetBitmapShowHook(BitmapShowHook hook) { ShowHookSlot() = std::move(hook); }

bool ShowBitmap(const Bitmap& bitmap, const std::string& title, std::string* message) {
  const BitmapShowHook& hook = ShowHookSlot();
  return hook ? hook(bitmap, title, message) : ReportShown(bitmap, title, message);
}

BitmapShowHook SaveShownBitmapsTo(std::filesystem::path target) {
  return [target = std::move(target)](const Bitmap& bitmap, const std::string& title, std::string* message) {
    std::filesystem::path file = target;
    std::string ext = target.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (ext != ".png") {
      std::string stem;
      for (const unsigned char c : title) stem += (std::isalnum(c) || c == '-' || c == '_' || c == '.') ? char(c) : '_';
      if (stem.empty()) stem = "bitmap";
      std::error_code ec;
      std::filesystem::create_directories(target, ec);
      if (ec) {
        return Fail(message, "cannot create the folder '" + target.string() + "': " + ec.message());
      }
      file = target / (stem + ".png");
    }
    if (!SaveBitmapPng(bitmap, file, message)) return false;
    if (message) *message = "saved " + file.string();
    return true;
  };
}

}  // namespace host
