// Sampling and tracing shared by the advection bodies (and usable from any body on both devices).
// Positions are in cell units: cell (i, j, k) is centred at (i + 0.5, j + 0.5, k + 0.5), u(i, j, k)
// sits at (i, j + 0.5, k + 0.5), v at (i + 0.5, j, k + 0.5), w at (i + 0.5, j + 0.5, k).
//
// Everything here is free of branches that depend on the sampled position (selections are
// written as conditional values the compiler turns into minimum, maximum and blend
// instructions), so that a loop over a row of samples vectorises on the CPU: the eight corner
// reads of each sample become gathers.
#pragma once

#include <cstdint>
#include <cstring>

#include "device/device_math.h"
#include "device/grid_index.h"

// The helpers below are inlined into their callers whatever their size: a row loop vectorises only
// when no call is left in it.
#if defined(__CUDACC__)
#define TFR_SAMPLE_INLINE __forceinline__
#elif defined(__GNUC__)
#define TFR_SAMPLE_INLINE inline __attribute__((always_inline))
#else
#define TFR_SAMPLE_INLINE inline
#endif

namespace tf {

// a where c holds, else b: the bits are selected, so that the compiler can neither turn the choice
// into a branch nor thread the code around it. Exact, the sign of a zero included.
TFR_HD TFR_SAMPLE_INLINE float Pick(bool c, float a, float b) {
#if defined(__CUDA_ARCH__)
  return c ? a : b;
#else
  uint32_t ab, bb;
  memcpy(&ab, &a, sizeof ab);
  memcpy(&bb, &b, sizeof bb);
  const uint32_t mask = 0u - uint32_t(c);
  ab = (ab & mask) | (bb & ~mask);
  memcpy(&a, &ab, sizeof a);
  return a;
#endif
}

// Clamps one coordinate to [0, E - 1.001] (0 when the extent is 1) and splits it into the lower
// of the two neighbouring indices and the weight between them; the upper one is i0 + 1, or i0
// itself when the extent is 1. (Beyond an extent of 32769, E - 1.001 rounds to E - 1 in single
// precision, and i0 is held at E - 2 with weight 1: the same value.)
TFR_HD TFR_SAMPLE_INLINE void ClampAxis(float c, int e, int& i0, float& t) {
  // The same as "if (c < 0) c = 0; else c = min(c, E - 1.001); if (E == 1) c = 0", a NaN
  // included (it becomes the upper bound), without a branch.
  const float top = Pick(e > 1, float(e) - 1.001f, 0.0f);
  c = 0.0f > c ? 0.0f : c;  // exactly SSE's maxss(0, c) and minss(c, top), NaN and -0 included
  c = c < top ? c : top;
  const int i = int(c);
  const int last = e > 1 ? e - 2 : 0;
  i0 = i < last ? i : last;
  t = c - float(i0);
}

// Where a trilinear sample reads: the offset of its first corner c000, the steps to the corner
// one further along x, y and z (one element, row or layer; 0 along an axis of extent 1), and
// the weights along x, y and z. The eight corners, x fastest, are o, o + dx, o + dy,
// o + dy + dx, o + dz, ... The steps depend on the extents alone, so a row of samples reads
// its corners at one set of varying offsets. Samples of several arrays with the same extents at
// the same position share one.
struct Corners {
  int o, dx, dy, dz;
  float t, s, r;
};

TFR_HD TFR_SAMPLE_INLINE Corners Locate(int ex, int ey, int ez, float x, float y, float z) {
  int i0, j0, k0;
  Corners c;
  ClampAxis(x, ex, i0, c.t);
  ClampAxis(y, ey, j0, c.s);
  ClampAxis(z, ez, k0, c.r);
  c.o = i0 + ex * (j0 + ey * k0);
  c.dx = ex > 1 ? 1 : 0;
  c.dy = ey > 1 ? ex : 0;
  c.dz = ez > 1 ? ex * ey : 0;
  return c;
}

// The eight corner values of a sample, x fastest. Each corner is read as (a + step)[o]: the
// arrays moved by the steps do not change along a row, so a row of samples reads all eight
// corners at one vector of offsets, which the compiler turns into gathers that share their
// index work.
struct Corner8 {
  float v[8];
};

TFR_HD TFR_SAMPLE_INLINE Corner8 ReadCorners(const float* a, const Corners& c) {
  const float* ax = a + c.dx;
  const float* ay = a + c.dy;
  const float* axy = ay + c.dx;
  const float* az = a + c.dz;
  const float* axz = az + c.dx;
  const float* ayz = az + c.dy;
  const float* axyz = ayz + c.dx;
  const int o = c.o;
  return Corner8{{a[o], ax[o], ay[o], axy[o], az[o], axz[o], ayz[o], axyz[o]}};
}

// The trilinear blend of eight corner values at a sample's weights: along x first, then y, then z.
TFR_HD TFR_SAMPLE_INLINE float Trilinear(const Corner8& k, const Corners& c) {
  const float b0 = Lerp(Lerp(k.v[0], k.v[1], c.t), Lerp(k.v[2], k.v[3], c.t), c.s);
  const float b1 = Lerp(Lerp(k.v[4], k.v[5], c.t), Lerp(k.v[6], k.v[7], c.t), c.s);
  return Lerp(b0, b1, c.r);
}

TFR_HD TFR_SAMPLE_INLINE float Interpolate(const float* a, const Corners& c) {
  return Trilinear(ReadCorners(a, c), c);
}

// The smallest and largest of eight corner values.
TFR_HD TFR_SAMPLE_INLINE void RangeOf(const Corner8& k, float& lo, float& hi) {
  float mn = k.v[0], mx = k.v[0];
  for (int n = 1; n < 8; ++n) {  // the new value first: SSE's minss and maxss, a NaN kept out
    mn = MinF(k.v[n], mn);
    mx = MaxF(k.v[n], mx);
  }
  lo = mn;
  hi = mx;
}

TFR_HD TFR_SAMPLE_INLINE void CornerRange(const float* a, const Corners& c, float& lo, float& hi) {
  RangeOf(ReadCorners(a, c), lo, hi);
}

// Trilinear sample of an array with extents (ex, ey, ez) at (x, y, z) in its own index units,
// clamped into the array. With lo and hi given, also the smallest and largest of the eight
// values used.
TFR_HD TFR_SAMPLE_INLINE float SampleClamped(const float* a, int ex, int ey, int ez, float x,
                                             float y, float z, float* lo = nullptr,
                                             float* hi = nullptr) {
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

// Velocity at a position in cells per second. (The clamps of the three components share their
// work where their extents agree: v and w along x, u and w along y, u and v along z.)
TFR_HD TFR_SAMPLE_INLINE Vec3f SampleVelocity(const VelocityView& f, Vec3f p) {
  return Vec3f{SampleClamped(f.u, f.nx + 1, f.ny, f.nz, p.x, p.y - 0.5f, p.z - 0.5f) * f.invCell,
               SampleClamped(f.v, f.nx, f.ny + 1, f.nz, p.x - 0.5f, p.y, p.z - 0.5f) * f.invCell,
               SampleClamped(f.w, f.nx, f.ny, f.nz + 1, p.x - 0.5f, p.y - 0.5f, p.z) * f.invCell};
}

// SampleVelocity at a grid point, read directly: at face (i, j, k) of component A (0 u, 1 v,
// 2 w) or, for A = 3, at the centre of cell (i, j, k). Valid where no sample reaches a clamp,
// which GridPointInterior tells. There every weight of the trilinear samples is 0 or 1/2: a
// component is then its own face value (A = B), the mean of two faces (cell centres), or the
// mean of four, lerped in the same order as Interpolate lerps. A lerp with weight 0 gives its
// first value (but for the sign of a zero), so those lerps are left out.
TFR_HD TFR_SAMPLE_INLINE float Half(float a, float b) { return Lerp(a, b, 0.5f); }

template <int A, int B>
TFR_HD TFR_SAMPLE_INLINE float GridComponent(const float* a, int ex, int ey, int i, int j, int k) {
  const int o = i + ex * (j + ey * k);
  const int stB = B == 0 ? 1 : B == 1 ? ex : ex * ey;
  if constexpr (A == B) {
    return a[o];
  } else if constexpr (A == 3) {
    TFR_CHECK_INDEX(o + stB, PlainIndex(ex, ey, i + (B == 0), j + (B == 1), k + (B == 2)));
    return Half(a[o], a[o + stB]);
  } else {
    // Along A the pair is (index - 1, index), along B (index, index + 1); the lower axis first.
    const int stA = A == 0 ? 1 : A == 1 ? ex : ex * ey;
    const int l0 = A < B ? -stA : 0, l1 = A < B ? 0 : stB;
    const int h0 = A < B ? 0 : -stA, h1 = A < B ? stB : 0;
    TFR_CHECK_INDEX(o + l0 + h0, PlainIndex(ex, ey, i - (A == 0), j - (A == 1), k - (A == 2)));
    TFR_CHECK_INDEX(o + l1 + h1, PlainIndex(ex, ey, i + (B == 0), j + (B == 1), k + (B == 2)));
    return Half(Half(a[o + l0 + h0], a[o + l1 + h0]), Half(a[o + l0 + h1], a[o + l1 + h1]));
  }
}

template <int A>
TFR_HD TFR_SAMPLE_INLINE Vec3f GridPointVelocity(const VelocityView& f, int i, int j, int k) {
  return Vec3f{GridComponent<A, 0>(f.u, f.nx + 1, f.ny, i, j, k) * f.invCell,
               GridComponent<A, 1>(f.v, f.nx, f.ny + 1, i, j, k) * f.invCell,
               GridComponent<A, 2>(f.w, f.nx, f.ny, i, j, k) * f.invCell};
}

// The grid points of kind A (as above) where GridPointVelocity equals SampleVelocity: along the
// axis of a face component 1 .. n - 1, along every other axis 0 .. n - 2 (bounds inclusive).
struct IndexBox {
  int lo[3], hi[3];
  TFR_HD bool rowInside(int j, int k) const {
    return j >= lo[1] && j <= hi[1] && k >= lo[2] && k <= hi[2] && lo[0] <= hi[0];
  }
  TFR_HD bool inside(int i, int j, int k) const {
    return i >= lo[0] && i <= hi[0] && rowInside(j, k);
  }
};

template <int A>
TFR_HD TFR_SAMPLE_INLINE IndexBox GridPointInterior(int nx, int ny, int nz) {
  const int n[3] = {nx, ny, nz};
  IndexBox b;
  for (int d = 0; d < 3; ++d) {
    b.lo[d] = d == A ? 1 : 0;
    b.hi[d] = d == A ? n[d] - 1 : n[d] - 2;
  }
  return b;
}

// Where a particle that reaches p after time h came from (midpoint rule); h < 0 traces forward.
// The trace does not clamp: sampling does when the position is used. TraceFrom takes the
// velocity at p when the caller already has it (a backward and a forward trace from one point).
TFR_HD TFR_SAMPLE_INLINE Vec3f TraceFrom(const VelocityView& f, Vec3f p, Vec3f va, float h) {
  const float hh = 0.5f * h;
  const Vec3f m{p.x - hh * va.x, p.y - hh * va.y, p.z - hh * va.z};
  const Vec3f vb = SampleVelocity(f, m);
  return Vec3f{p.x - h * vb.x, p.y - h * vb.y, p.z - h * vb.z};
}

TFR_HD TFR_SAMPLE_INLINE Vec3f TraceBack(const VelocityView& f, Vec3f p, float h) {
  return TraceFrom(f, p, SampleVelocity(f, p), h);
}

// True for a position beyond an open side of the domain (strict comparisons); fresh air, with
// nothing in it, flows in there. Beyond a closed side it is false.
struct OutsideOpenSide {
  int openMask;
  int nx, ny, nz;
  TFR_HD bool operator()(Vec3f q) const {
    // Bitwise, not short-circuit: no branch per sample.
    const int out = (int(q.x < 0.0f) & openMask) | (int(q.x > float(nx)) & (openMask >> 1)) |
                    (int(q.y < 0.0f) & (openMask >> 2)) | (int(q.y > float(ny)) & (openMask >> 3)) |
                    (int(q.z < 0.0f) & (openMask >> 4)) | (int(q.z > float(nz)) & (openMask >> 5));
    return (out & 1) != 0;
  }
};

}  // namespace tf
