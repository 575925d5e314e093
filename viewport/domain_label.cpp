// The emblem and a small stroke font of capitals: each glyph is a few polylines on an 8 x 8 grid
// that fills one character cell.
#include "viewport/domain_label.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string_view>

namespace tf {

namespace {

constexpr std::string_view kLabelText = "TOLVARIS FIRE";

// Character cells, in label units.
constexpr float kTextStartX = 1.15f;
constexpr float kAdvance = 0.288f;
constexpr float kGlyphWidth = 0.186f;
constexpr float kGlyphHeight = 0.3f;
constexpr float kTextBottom = -0.42f;

// Polylines separated by spaces; each point is two digits, x then y, 0 to 8 across the cell
// (y up). The space has no strokes.
std::string_view GlyphStrokes(char ch) {
  switch (ch) {
    case 'T': return "0888 4840";
    case 'O': return "206082866828060220";
    case 'L': return "080080";
    case 'V': return "084088";
    case 'A': return "004880 2464";
    case 'R': return "00086887856404 3480";
    case 'I': return "4048 2868 2060";
    case 'S': return "877818070514748381701001";
    case 'F': return "880800 0464";
    case 'E': return "88080080 0464";
    default: return "";
  }
}

void AddSegment(std::vector<host::Point3>& out, float ax, float ay, float bx, float by) {
  out.emplace_back(ax, ay, 0.0f);
  out.emplace_back(bx, by, 0.0f);
}

void AddGlyph(std::vector<host::Point3>& out, char ch, float left) {
  const std::string_view strokes = GlyphStrokes(ch);
  const auto at = [&](size_t i, float& x, float& y) {
    x = left + float(strokes[i] - '0') / 8.0f * kGlyphWidth;
    y = kTextBottom + float(strokes[i + 1] - '0') / 8.0f * kGlyphHeight;
  };
  size_t start = 0;
  while (start < strokes.size()) {
    size_t end = strokes.find(' ', start);
    if (end == std::string_view::npos) end = strokes.size();
    for (size_t i = start; i + 3 < end; i += 2) {
      float ax, ay, bx, by;
      at(i, ax, ay);
      at(i + 2, bx, by);
      AddSegment(out, ax, ay, bx, by);
    }
    start = end + 1;
  }
}

// A flat ellipse (24 segments) with five tongues of flame rising from it, 1.9 units wide and
// centred on the origin.
void AddEmblem(std::vector<host::Point3>& out) {
  constexpr int kEllipseSegments = 24;
  constexpr float kRadiusX = 0.95f, kRadiusY = 0.2f, kBaseY = -0.3f;
  for (int i = 0; i < kEllipseSegments; ++i) {
    const float a0 = 2.0f * std::numbers::pi_v<float> * float(i) / kEllipseSegments;
    const float a1 = 2.0f * std::numbers::pi_v<float> * float(i + 1) / kEllipseSegments;
    AddSegment(out, kRadiusX * std::cos(a0), kBaseY + kRadiusY * std::sin(a0), kRadiusX * std::cos(a1),
               kBaseY + kRadiusY * std::sin(a1));
  }
  // Each tongue swells a little above its root, then narrows to a tip that leans outwards; the
  // middle one stands tallest.
  constexpr float kCentre[5] = {-0.56f, -0.28f, 0.0f, 0.28f, 0.56f};
  constexpr float kHeight[5] = {0.5f, 0.72f, 0.9f, 0.72f, 0.5f};
  constexpr float kHalfWidth = 0.11f;
  constexpr float kSideX[7] = {-1.0f, -1.25f, -0.7f, 0.0f, 0.8f, 1.15f, 1.0f};
  constexpr float kSideY[7] = {0.0f, 0.35f, 0.7f, 1.0f, 0.6f, 0.3f, 0.0f};
  for (int k = 0; k < 5; ++k) {
    const float lean = kCentre[k] * 0.3f;
    for (int i = 0; i < 6; ++i)
      AddSegment(out, kCentre[k] + kSideX[i] * kHalfWidth + lean * kSideY[i], kBaseY + kSideY[i] * kHeight[k],
                 kCentre[k] + kSideX[i + 1] * kHalfWidth + lean * kSideY[i + 1], kBaseY + kSideY[i + 1] * kHeight[k]);
  }
}

}  // namespace

std::vector<host::Point3> BuildDomainLabel(const host::Point3& boxMin, const host::Point3& boxMax) {
  const float diagonal = host::Length(boxMax - boxMin);
  // A box with a broken corner still gets a label of the smallest size.
  const float c = std::isfinite(diagonal) ? std::max(1.0f, 0.06f * diagonal) : 1.0f;
  std::vector<host::Point3> points;
  AddEmblem(points);
  for (size_t i = 0; i < kLabelText.size(); ++i) AddGlyph(points, kLabelText[i], kTextStartX + float(i) * kAdvance);
  const host::Point3 move(boxMin.x, boxMin.y - 1.5f * c, 0.0f);
  for (host::Point3& p : points) p = p * c + move;
  return points;
}

}  // namespace tf
