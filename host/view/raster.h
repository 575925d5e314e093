// The software rasteriser: draws what a viewport shows (background, render items' lines and
// points in their vertex colours) into an 8-bit RGB image, so that users and tests can see it.
//
// Drawing rules, in the pixel coordinates of host/view/viewport.h:
// - A line covers, along its major axis (x when it is at least as wide as it is tall), every
//   pixel whose centre coordinate on that axis lies in [min, max) of the projected end points,
//   and on the other axis the pixel that contains the line at that centre coordinate. Lines are
//   one pixel wide and not antialiased; which pixels they cover does not depend on their direction.
// - A line's colour is its end points' colours interpolated linearly along the line on screen.
// - A point of size s covers s x s pixels: the pixel (i, j) that contains it, extended by
//   (s - 1) / 2 pixels (integer division) to the left and up and the rest to the right and down.
// - Perspective views clip lines at the near plane before projecting (a line reaching behind
//   the eye is cut there, never folded over); points nearer than the plane are not drawn.
//   Orthographic views clip nothing in depth.
// - Colours are blended over what is there by their alpha. With the depth test on, a pixel is
//   drawn only when it is not farther than what the pixel already shows (equal depths: the later
//   draw wins); with it off, later draws cover earlier ones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/view/viewport.h"

namespace host {

// Rows from the top, three bytes (r, g, b) per pixel.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;

  uint8_t* At(int x, int y) { return &pixels[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3]; }
  const uint8_t* At(int x, int y) const {
    return &pixels[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3];
  }
};

// The largest window the rasteriser draws, on either side.
inline constexpr int kMaxRasterSide = 16384;

struct RasterOptions {
  uint8_t background[3] = {48, 48, 52};
  bool depthTest = true;
};

class Rasterizer {
 public:
  // Sizes the image to the view's window and fills it with the background. False, with a
  // message, when the window is larger than kMaxRasterSide on a side; nothing is drawn then.
  bool Begin(const View& view, RgbImage& image, const RasterOptions& options, std::string* message);
  // Draws one batch whose positions are in object space. False when the batch is malformed
  // (RenderBatch::Valid) or Begin has not succeeded; nothing is drawn then.
  bool Draw(const RenderBatch& batch, const Matrix3& objectToWorld);
  // Every batch of an item with its world transform; false when one of them was malformed.
  bool Draw(const CustomRenderItem& item);

 private:
  void Plot(int x, int y, float depth, const ColorRgba& c);
  void DrawLine(const Point3& a, const Point3& b, const ColorRgba& ca, const ColorRgba& cb);
  void DrawPoint(const Point3& p, const ColorRgba& c, int size);

  View view_;
  RgbImage* image_ = nullptr;
  RasterOptions options_;
  std::vector<float> depth_;
  Matrix3 toView_;
};

// Realizes every item for the view at time t and draws them in order over the background. False
// with a message when the view cannot be drawn, or when an item handed a malformed batch: the
// image then holds everything else.
bool RasterizeView(const View& view, std::span<const std::shared_ptr<CustomRenderItem>> items, TimeValue t,
                   RgbImage& image, const RasterOptions& options, std::string* message);

// Writes the image as an 8-bit RGB PNG. The file appears under its name only when it is complete;
// on failure no file is left behind and `message` says why.
bool SaveRgbPng(const RgbImage& image, const std::filesystem::path& path, std::string* message);

}  // namespace host
