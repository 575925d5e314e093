#include "domain/adaptive_window.h"

#include <algorithm>
#include <cmath>

#include "domain/fire_params_desc.h"
#include "host/scene/param_block.h"

namespace tf {

namespace {

int& At(Int3& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }
int At(const Int3& v, int axis) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; }

// One axis of the window: [lo, hi) after a frame whose content spans [c0, c1), in a box of n
// cells. A side inside the box grows when the content comes within the margin, by a step more
// than it needs; it shrinks when the content has left it by more than twice the margin and a
// step, back to the margin and a step. A side on the box's side only ever moves inward.
void AdaptAxis(int& lo, int& hi, int c0, int c1, int n, int margin) {
  const int far = 2 * margin + kWindowStep, keep = margin + kWindowStep;
  if (c0 - lo < margin && lo > 0)
    lo = std::max(0, c0 - keep);
  else if (c0 - lo > far)
    lo = c0 - keep;
  if (hi - c1 < margin && hi < n)
    hi = std::min(n, c1 + keep);
  else if (hi - c1 > far)
    hi = c1 + keep;
}

// Widens [lo, hi) to the solver's smallest window, inside [0, n).
void KeepMinimum(int& lo, int& hi, int n) {
  const int want = std::min(kMinWindowCells, n);
  if (hi - lo >= want) return;
  hi = std::min(n, lo + want);
  lo = std::max(0, hi - want);
}

}  // namespace

CellBox Union(const CellBox& a, const CellBox& b) {
  if (a.Empty()) return b;
  if (b.Empty()) return a;
  return {{std::min(a.lo.x, b.lo.x), std::min(a.lo.y, b.lo.y), std::min(a.lo.z, b.lo.z)},
          {std::max(a.hi.x, b.hi.x), std::max(a.hi.y, b.hi.y), std::max(a.hi.z, b.hi.z)}};
}

AdaptiveSettings ReadAdaptiveSettings(const host::ParamBlock& block) {
  AdaptiveSettings s;
  s.on = block.GetBool(kAdaptive, 0).value_or(false);
  const float threshold = block.GetFloat(kAdaptThreshold, 0).value_or(0.0001f);
  s.threshold = std::isfinite(threshold) ? std::clamp(threshold, 1e-6f, 1.0f) : 0.0001f;
  s.margin = std::clamp(block.GetInt(kAdaptMargin, 0).value_or(4), 1, 64);
  return s;
}

CellBox FirstWindow(const CellBox& sources, const Int3& box, int margin) {
  CellBox w;
  for (int a = 0; a < 3; ++a) {
    const int n = At(box, a);
    int lo = 0, hi = 0;
    if (sources.Empty()) {
      // Nothing to follow yet: a small window at the centre of the floor.
      lo = std::max(0, (n - kMinWindowCells) / 2);
      if (a == 2) lo = 0;
      hi = lo;
    } else {
      lo = std::clamp(At(sources.lo, a) - margin, 0, n);
      hi = std::clamp(At(sources.hi, a) + margin, 0, n);
    }
    KeepMinimum(lo, hi, n);
    At(w.lo, a) = lo;
    At(w.hi, a) = hi;
  }
  return w;
}

CellBox NextWindow(const CellBox& window, const CellBox& content, const Int3& box, int margin) {
  if (content.Empty()) return window;
  CellBox w = window;
  for (int a = 0; a < 3; ++a) {
    const int n = At(box, a);
    int lo = std::clamp(At(window.lo, a), 0, n), hi = std::clamp(At(window.hi, a), 0, n);
    AdaptAxis(lo, hi, At(content.lo, a), At(content.hi, a), n, margin);
    lo = std::clamp(lo, 0, n);
    hi = std::clamp(hi, lo, n);
    KeepMinimum(lo, hi, n);
    At(w.lo, a) = lo;
    At(w.hi, a) = hi;
  }
  return w;
}

OpenSides WindowOpenSides(const OpenSides& boxSides, const CellBox& window, const Int3& box) {
  OpenSides sides{};
  for (int a = 0; a < 3; ++a) {
    sides[size_t(2 * a)] = At(window.lo, a) > 0 || boxSides[size_t(2 * a)];
    sides[size_t(2 * a + 1)] = At(window.hi, a) < At(box, a) || boxSides[size_t(2 * a + 1)];
  }
  return sides;
}

DomainGrid WindowGrid(const DomainGrid& box, const CellBox& window) {
  DomainGrid g = box;
  const Int3 size = window.Size();
  g.nx = size.x;
  g.ny = size.y;
  g.nz = size.z;
  g.originX = box.originX + float(window.lo.x) * box.cellSize;
  g.originY = box.originY + float(window.lo.y) * box.cellSize;
  g.originZ = box.originZ + float(window.lo.z) * box.cellSize;
  return g;
}

}  // namespace tf
