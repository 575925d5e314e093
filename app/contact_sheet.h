// The contact sheet of a wedge: one row per variant, a strip with the variant's settings above the
// previews of the chosen frames, a header with the frame numbers. A variant that failed gets a
// red strip saying so; a preview that is missing is a grey cell with a cross.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "host/view/raster.h"

namespace app {

struct SheetRow {
  std::string label;                  // "vorticity=2 burnRate=8"
  bool failed = false;                // drawn in red, the label saying why
  std::vector<std::string> images;    // one per column, PNG files; missing ones are grey cells
};

// Composes the sheet; cells are `cellWidth` wide (the images scaled down to it, never up: narrower
// images make narrower cells) and as tall as the first readable image's aspect asks.
host::RgbImage MakeContactSheet(const std::vector<int>& frames, const std::vector<SheetRow>& rows, int cellWidth);

// Draws `text` in the program's 5 x 7 font, `scale` pixels per dot, its top left corner at (x, y);
// clipped at the image's edges.
void DrawText(host::RgbImage& image, int x, int y, const std::string& text, int scale, const uint8_t rgb[3]);

}  // namespace app
