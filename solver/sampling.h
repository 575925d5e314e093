// Sampling and tracing shared by the advection bodies (and usable from any body on both devices).
// Positions are in cell units: cell (i, j, k) is centred at (i + 0.5, j + 0.5, k + 0.5), u(i, j, k)
// sits at (i, j + 0.5, k + 0.5), v at (i + 0.5, j, k + 0.5), w at (i + 0.5, j + 0.5, k).
#pragma once

#include "solver/device_math.h"

namespace tf {

// Clamps one coordinate to [0, E - 1.001] (0 when the extent is 1) and splits it into the two
// neighbouring indices and the weight between them.
TFR_HD inline void ClampAxis(float c, int e, int& i0, int& i1, float& t) {
  if (c < 0.0f) c = 0.0f;
  else c = c < float(e) - 1.001f ? c : float(e) - 1.001f;
  if (e == 1) c = 0.0f;
  i0 = int(c);
  t = c - float(i0);
  i1 = i0 + 1 < e - 1 ? i0 + 1 : e - 1;
}

// Where a trilinear sample reads: the offsets of its eight corners, x fastest (c000, c100, c010,
// c110, c001, c101, c011, c111), and the weights along x, y and z. Samples of several arrays with
// the same extents at the same position share one.
struct Corners {
  int o[8];
  float t, s, r;
};

TFR_HD inline Corners Locate(int ex, int ey, int ez, float x, float y, float z) {
  int i0, i1, j0, j1, k0, k1;
  Corners c;
  ClampAxis(x, ex, i0, i1, c.t);
  ClampAxis(y, ey, j0, j1, c.s);
  ClampAxis(z, ez, k0, k1, c.r);
  const int r00 = ex * (j0 + ey * k0), r10 = ex * (j1 + ey * k0);
  const int r01 = ex * (j0 + ey * k1), r11 = ex * (j1 + ey * k1);
  c.o[0] = i0 + r00;
  c.o[1] = i1 + r00;
  c.o[2] = i0 + r10;
  c.o[3] = i1 + r10;
  c.o[4] = i0 + r01;
  c.o[5] = i1 + r01;
  c.o[6] = i0 + r11;
  c.o[7] = i1 + r11;
  return c;
}

// Lerps along x first, then y, then z.
TFR_HD inline float Interpolate(const float* a, const Corners& c) {
  const float b0 = Lerp(Lerp(a[c.o[0]], a[c.o[1]], c.t), Lerp(a[c.o[2]], a[c.o[3]], c.t), c.s);
  const float b1 = Lerp(Lerp(a[c.o[4]], a[c.o[5]], c.t), Lerp(a[c.o[6]], a[c.o[7]], c.t), c.s);
  return Lerp(b0, b1, c.r);
}

// The smallest and largest of the eight values a sample reads.
TFR_HD inline void CornerRange(const float* a, const Corners& c, float& lo, float& hi) {
  float mn = a[c.o[0]], mx = mn;
  for (int n = 1; n < 8; ++n) {
    const float v = a[c.o[n]];
    mn = v < mn ? v : mn;
    mx = v > mx ? v : mx;
  }
  lo = mn;
  hi = mx;
}

// Trilinear sample of an array with extents (ex, ey, ez) at (x, y, z) in its own index units,
// clamped into the array. With lo and hi given, also the smallest and largest of the eight
// values used.
TFR_HD inline float SampleClamped(const float* a, int ex, int ey, int ez, float x, float y, float z,
                                  float* lo = nullptr, float* hi = nullptr) {
  const Corners c = Locate(ex, ey, ez, x, y, z);
  if (lo) CornerRange(a, c, *lo, *hi);
  return Interpolate(a, c);
}

// The staggered velocity as the tracing bodies see it.
struct VelocityView {
  const float* u;
  const float* v;
  const float* w;
  int nx, ny, nz;
  float invCell;  // 1 / cellSize: m/s to cells per second
};

// Velocity at a position in cells per second.
TFR_HD inline Vec3f SampleVelocity(const VelocityView& f, Vec3f p) {
  return Vec3f{SampleClamped(f.u, f.nx + 1, f.ny, f.nz, p.x, p.y - 0.5f, p.z - 0.5f) * f.invCell,
               SampleClamped(f.v, f.nx, f.ny + 1, f.nz, p.x - 0.5f, p.y, p.z - 0.5f) * f.invCell,
               SampleClamped(f.w, f.nx, f.ny, f.nz + 1, p.x - 0.5f, p.y - 0.5f, p.z) * f.invCell};
}

// Where a particle that reaches p after time h came from (midpoint rule); h < 0 traces forward.
// The trace does not clamp: sampling does when the position is used. TraceFrom takes the
// velocity at p when the caller already has it (a backward and a forward trace from one point).
TFR_HD inline Vec3f TraceFrom(const VelocityView& f, Vec3f p, Vec3f va, float h) {
  const float hh = 0.5f * h;
  const Vec3f m{p.x - hh * va.x, p.y - hh * va.y, p.z - hh * va.z};
  const Vec3f vb = SampleVelocity(f, m);
  return Vec3f{p.x - h * vb.x, p.y - h * vb.y, p.z - h * vb.z};
}

TFR_HD inline Vec3f TraceBack(const VelocityView& f, Vec3f p, float h) {
  return TraceFrom(f, p, SampleVelocity(f, p), h);
}

// True for a position beyond an open side of the domain (strict comparisons); fresh air, with
// nothing in it, flows in there. Beyond a closed side it is false.
struct OutsideOpenSide {
  int openMask;
  int nx, ny, nz;
  TFR_HD bool operator()(Vec3f q) const {
    return (q.x < 0.0f && (openMask & 1)) || (q.x > float(nx) && (openMask & 2)) ||
           (q.y < 0.0f && (openMask & 4)) || (q.y > float(ny) && (openMask & 8)) ||
           (q.z < 0.0f && (openMask & 16)) || (q.z > float(nz) && (openMask & 32));
  }
};

}  // namespace tf
