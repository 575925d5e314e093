#define TFR_BODY_SOURCE
// Advection carries the fields along the velocity for one substep: a semi-Lagrangian step for the
// staggered velocity, MacCormack for the cell scalars (prediction, backward correction, and the
// prediction again wherever the correction leaves the range of the values it came from).
//
// The faces are one body per face handed to kRows. The scalars' passes are element functions
// (PredictAt, CorrectAt) run over cells i0 <= i < i1 of a row (j, k) by ForRows. The GPU runs one
// thread per element (a row of one); the CPU walks whole rows in blocks of kLanes elements, and a
// block with no branch per element vectorises: the traces of a block are computed side by side,
// each sample's corners are found once and shared by every array read there (the four scalars
// read at one set of corners), and the corner reads become gathers. Rows split into the stretch
// where the velocity at the element's own grid point can be read directly (GridPointVelocity: no
// clamp reached) and the ends and border rows, where it is sampled like any other point; both
// give the same values.
//
// The scalars' row functions take their arrays as restrict pointers: every array is either only
// read or only written within a pass, and the compiler needs to know that to vectorise the
// gathers.
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "device/rows.h"
#include "device/sampling.h"
#include "solver/fire_sim_impl.h"

namespace tf {

namespace {

// One pass of AdvectVel: the faces of component A (0 u, 1 v, 2 w) traced back from their own
// positions through the old velocity, which they then sample.
template <int A>
void AdvectFaces(const Exec& ex, const VelocityView& vel, float* out, float dt) {
  const int ex_ = vel.nx + (A == 0), ey = vel.ny + (A == 1), ez = vel.nz + (A == 2);
  const float* src = A == 0 ? vel.u : A == 1 ? vel.v : vel.w;
  static constexpr const char* kLabel[3] = {"advect u", "advect v", "advect w"};
  kRows(ex, kLabel[A], ex_, ey, ez, GridPointInterior<A>(vel.nx, vel.ny, vel.nz),
        [=] TFR_HD(bool inside, int i, int j, int k) TFR_ROW_BODY {
    const Vec3f p{A == 0 ? float(i) : float(i) + 0.5f, A == 1 ? float(j) : float(j) + 0.5f,
                  A == 2 ? float(k) : float(k) + 0.5f};
    const Vec3f va = inside ? GridPointVelocity<A>(vel, i, j, k) : SampleVelocity(vel, p);
    const Vec3f q = TraceFrom(vel, p, va, dt);
    out[i + ex_ * (j + ey * k)] = SampleClamped(src, ex_, ey, ez, A == 0 ? q.x : q.x - 0.5f,
                                                A == 1 ? q.y : q.y - 0.5f, A == 2 ? q.z : q.z - 0.5f);
  });
}

// The four scalars (density, temperature, fuel, dust) advected together by the same velocity:
// each cell's backward and forward traces and their corner lookups are computed once and serve
// every scalar, which gives exactly what four separate MacCormack steps give (the velocity does
// not change between them) at a fraction of the tracing.
//
// The samples read the scalars and their predictions side by side, four floats per cell (a
// Quad), so that a corner is one 16-byte read for all four instead of four scattered ones: a
// first pass packs the scalars that way, the prediction writes its values that way, and the
// correction writes each scalar back to its own array. The prediction also leaves each cell's
// backward trace in trace[0..2] (x, y, z) for the correction, which would otherwise trace it
// again.
//
// Empty space is not traced. Where the scalars are +0 in a cell and at the corners its backward
// trace reads, the step gives +0 there: each blend of the prediction reads +0 and gives +0 (the
// weights lie in [0, 1]), and the correction's range is [+0, +0], so any correction other than +0
// leaves it and falls back to the prediction. Only a NaN passes the range test; the forward
// trace's blend of predictions yields one only where the scalars hold an infinity or a NaN within
// reach of the predictions it reads, and then the reach counts both traces. The CPU finds, per row
// (j, k), the stretch of cells outside of which that holds (`spans`, lo and hi per row, empty when
// hi < lo) and writes +0 there without tracing; the GPU traces every cell (null spans).
struct ScalarSet {
  const float* src[4];
  float* packed;  // src, four floats per cell
  float* pred;    // the predictions, four floats per cell
  float* dst[4];
  float* trace[3];
  const int32_t* spans;
};

struct Quad {
  float v[4];
};

TFR_HD TFR_SAMPLE_INLINE Quad LoadQuad(const float* a, int c) {
#if defined(__CUDA_ARCH__)
  const float4 q = reinterpret_cast<const float4*>(a)[c];
  return Quad{{q.x, q.y, q.z, q.w}};
#else
  Quad q;
  memcpy(q.v, a + 4 * ptrdiff_t(c), sizeof q.v);
  return q;
#endif
}

TFR_HD TFR_SAMPLE_INLINE void StoreQuad(float* a, int c, const Quad& q) {
#if defined(__CUDA_ARCH__)
  reinterpret_cast<float4*>(a)[c] = make_float4(q.v[0], q.v[1], q.v[2], q.v[3]);
#else
  memcpy(a + 4 * ptrdiff_t(c), q.v, sizeof q.v);
#endif
}

// The eight corner quads of a sample, x fastest, and scalar s of them as a Corner8.
struct Quad8 {
  Quad k[8];
  TFR_HD TFR_SAMPLE_INLINE Corner8 scalar(int s) const {
    return Corner8{{k[0].v[s], k[1].v[s], k[2].v[s], k[3].v[s], k[4].v[s], k[5].v[s], k[6].v[s],
                    k[7].v[s]}};
  }
};

TFR_HD TFR_SAMPLE_INLINE Quad8 ReadQuadCorners(const float* a, const Corners& c) {
  const int o = c.o, y = o + c.dy, z = o + c.dz, yz = z + c.dy;
  return Quad8{{LoadQuad(a, o), LoadQuad(a, o + c.dx), LoadQuad(a, y), LoadQuad(a, y + c.dx),
                LoadQuad(a, z), LoadQuad(a, z + c.dx), LoadQuad(a, yz), LoadQuad(a, yz + c.dx)}};
}

TFR_HD TFR_SAMPLE_INLINE Vec3f CellCentre(int i, int j, int k) {
  return Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f};
}

// The velocity at a cell centre, read directly inside, sampled elsewhere.
template <bool Inside>
TFR_HD TFR_SAMPLE_INLINE Vec3f CentreVelocity(const VelocityView& vel, int i, int j, int k) {
  if constexpr (Inside)
    return GridPointVelocity<3>(vel, i, j, k);
  else
    return SampleVelocity(vel, CellCentre(i, j, k));
}

// Where a block of L cells samples, a lane per cell, kept from the first stage of a pass (the
// traces, computed side by side) for the second (each cell's four scalars, side by side). The
// steps between corners are the same for every cell.
template <int L>
struct SampleLanes {
  int o[L];
  float t[L], s[L], r[L];
  TFR_HD TFR_SAMPLE_INLINE void put(int l, const Corners& c) {
    o[l] = c.o;
    t[l] = c.t;
    s[l] = c.s;
    r[l] = c.r;
  }
  TFR_HD TFR_SAMPLE_INLINE Corners get(int l, const Corners& steps) const {
    return Corners{o[l], steps.dx, steps.dy, steps.dz, t[l], s[l], r[l]};
  }
};

// Calls at.first(i, lanes, l) for the cells of a block, then at.second(i, lanes, l) for each:
// ForLanes in two stages.
template <class At>
TFR_HD TFR_SAMPLE_INLINE void ForLanesStaged(int i0, int i1, const At& at) {
  if (i1 - i0 < kLanes) {
    for (int i = i0; i < i1; ++i) {
      typename At::template Lanes<1> one;
      at.first(i, one, 0);
      at.second(i, one, 0);
    }
    return;
  }
  for (int b = i0; b < i1; b += kLanes) {
    const int s = b + kLanes <= i1 ? b : i1 - kLanes;
    typename At::template Lanes<kLanes> block;
    for (int l = 0; l < kLanes; ++l) at.first(s + l, block, l);
    for (int l = 0; l < kLanes; ++l) at.second(s + l, block, l);
  }
}

// The prediction: plain semi-Lagrangian; fresh air (0) beyond an open side.
template <bool Inside>
struct PredictAt {
  VelocityView vel;
  const float* packed;
  float* pred;
  float *tx, *ty, *tz;
  Corners steps;
  Dims d;
  OutsideOpenSide outside;
  int row, j, k;
  float dt;
  template <int L>
  struct Lanes {
    SampleLanes<L> at;
    int fresh[L];  // as int: a byte array among the float lanes would keep the loop from vectorising
  };
  template <class B>
  TFR_HD TFR_SAMPLE_INLINE void first(int i, B& b, int l) const {
    const Vec3f q = TraceFrom(vel, CellCentre(i, j, k), CentreVelocity<Inside>(vel, i, j, k), dt);
    tx[row + i] = q.x;
    ty[row + i] = q.y;
    tz[row + i] = q.z;
    b.fresh[l] = int(outside(q));
    b.at.put(l, Locate(d.nx, d.ny, d.nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f));
  }
  template <class B>
  TFR_HD TFR_SAMPLE_INLINE void second(int i, const B& b, int l) const {
    const Corners at = b.at.get(l, steps);
    const Quad8 k8 = ReadQuadCorners(packed, at);
    Quad p;
    for (int s = 0; s < 4; ++s) p.v[s] = Pick(b.fresh[l] != 0, 0.0f, Trilinear(k8.scalar(s), at));
    StoreQuad(pred, row + i, p);
  }
};

// The correction: the prediction corrected by half the error of the forward trace, falling back
// to the prediction where the result leaves the range of the eight values it was sampled from.
// The backward trace comes from the prediction; the forward one starts from the same velocity at
// the cell centre.
template <bool Inside>
struct CorrectAt {
  VelocityView vel;
  const float* packed;
  const float* pred;
  const float *tx, *ty, *tz;
  float *d0, *d1, *d2, *d3;
  Corners steps;
  Dims d;
  OutsideOpenSide outside;
  int row, j, k;
  float dt;
  template <int L>
  struct Lanes {
    SampleLanes<L> back, ahead;
    int fresh[L];  // as int: a byte array among the float lanes would keep the loop from vectorising
  };
  template <class B>
  TFR_HD TFR_SAMPLE_INLINE void first(int i, B& b, int l) const {
    const int c = row + i;
    const Vec3f q{tx[c], ty[c], tz[c]};
    const Vec3f r = TraceFrom(vel, CellCentre(i, j, k), CentreVelocity<Inside>(vel, i, j, k), -dt);
    b.fresh[l] = int(outside(q));
    b.back.put(l, Locate(d.nx, d.ny, d.nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f));
    b.ahead.put(l, Locate(d.nx, d.ny, d.nz, r.x - 0.5f, r.y - 0.5f, r.z - 0.5f));
  }
  template <class B>
  TFR_HD TFR_SAMPLE_INLINE void second(int i, const B& b, int l) const {
    const int c = row + i;
    const Corners back = b.back.get(l, steps), ahead = b.ahead.get(l, steps);
    const Quad8 src8 = ReadQuadCorners(packed, back);
    const Quad8 pred8 = ReadQuadCorners(pred, ahead);
    const Quad own = LoadQuad(packed, c), kept = LoadQuad(pred, c);
    Quad out;
    for (int s = 0; s < 4; ++s) {
      const float e = Trilinear(pred8.scalar(s), ahead);
      float lo, hi;
      RangeOf(src8.scalar(s), lo, hi);
      const float g = kept.v[s] + 0.5f * (own.v[s] - e);
      const bool overshoots = (g < lo) | (g > hi);
      out.v[s] = Pick(b.fresh[l] != 0, 0.0f, Pick(overshoots, kept.v[s], g));
    }
    d0[c] = out.v[0];
    d1[c] = out.v[1];
    d2[c] = out.v[2];
    d3[c] = out.v[3];
  }
};

template <bool Inside>
TFR_HD TFR_SAMPLE_INLINE void PredictRow(const float* __restrict__ u, const float* __restrict__ v,
                                         const float* __restrict__ w,
                                         const float* __restrict__ packed, float* __restrict__ pred,
                                         float* __restrict__ tx, float* __restrict__ ty,
                                         float* __restrict__ tz, Dims d, float invCell,
                                         OutsideOpenSide outside, float dt, int i0, int i1, int j,
                                         int k) {
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, invCell};
  const PredictAt<Inside> at{vel,  packed, pred,    tx,
                             ty,   tz,     Locate(d.nx, d.ny, d.nz, 0.0f, 0.0f, 0.0f),
                             d,    outside, d.cell(0, j, k), j, k, dt};
  ForLanesStaged(i0, i1, at);
}

template <bool Inside>
TFR_HD TFR_SAMPLE_INLINE void CorrectRow(
    const float* __restrict__ u, const float* __restrict__ v, const float* __restrict__ w,
    const float* __restrict__ packed, const float* __restrict__ pred,
    const float* __restrict__ tx, const float* __restrict__ ty, const float* __restrict__ tz,
    float* __restrict__ d0, float* __restrict__ d1, float* __restrict__ d2,
    float* __restrict__ d3, Dims d, float invCell, OutsideOpenSide outside, float dt, int i0,
    int i1, int j, int k) {
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, invCell};
  const CorrectAt<Inside> at{vel, packed, pred, tx, ty, tz, d0, d1, d2, d3,
                             Locate(d.nx, d.ny, d.nz, 0.0f, 0.0f, 0.0f), d, outside,
                             d.cell(0, j, k), j, k, dt};
  ForLanesStaged(i0, i1, at);
}

// One of the two passes of a MacCormack step over a row: the prediction (Correcting false) or the
// correction, which reads the predictions the first pass left in set.pred.
template <bool Correcting>
struct ScalarPass {
  VelocityView vel;
  ScalarSet set;
  Dims d;
  OutsideOpenSide outside;
  float dt;

  // +0 for cells i0 <= i < i1 of row (j, k), in what the pass writes.
  TFR_HD void clear(int i0, int i1, int j, int k) const {
    const int row = d.cell(0, j, k);
    for (int i = i0; i < i1; ++i) {
      if constexpr (Correcting) {
        set.dst[0][row + i] = 0.0f;
        set.dst[1][row + i] = 0.0f;
        set.dst[2][row + i] = 0.0f;
        set.dst[3][row + i] = 0.0f;
      } else {
        StoreQuad(set.pred, row + i, Quad{{0.0f, 0.0f, 0.0f, 0.0f}});
      }
    }
  }

  template <bool Inside>
  TFR_HD TFR_SAMPLE_INLINE void run(int i0, int i1, int j, int k) const {
    if (set.spans != nullptr) {
      const int r = 2 * (j + d.ny * k);
      const int lo = i0 > set.spans[r] ? i0 : set.spans[r];
      const int hi = i1 < set.spans[r + 1] + 1 ? i1 : set.spans[r + 1] + 1;
      if (lo >= hi) {
        clear(i0, i1, j, k);
        return;
      }
      clear(i0, lo, j, k);
      clear(hi, i1, j, k);
      trace<Inside>(lo, hi, j, k);
      return;
    }
    trace<Inside>(i0, i1, j, k);
  }

  template <bool Inside>
  TFR_HD TFR_SAMPLE_INLINE void trace(int i0, int i1, int j, int k) const {
    if constexpr (Correcting)
      CorrectRow<Inside>(vel.u, vel.v, vel.w, set.packed, set.pred, set.trace[0], set.trace[1],
                         set.trace[2], set.dst[0], set.dst[1], set.dst[2], set.dst[3], d,
                         vel.invCell, outside, dt, i0, i1, j, k);
    else
      PredictRow<Inside>(vel.u, vel.v, vel.w, set.packed, set.pred, set.trace[0], set.trace[1],
                         set.trace[2], d, vel.invCell, outside, dt, i0, i1, j, k);
  }
};

// The largest magnitude of n values; false when one is infinite or not a number. A float's
// magnitude orders as its bits without the sign, and those of infinities and NaNs come last.
bool LargestMagnitude(const float* a, size_t n, float& largest) {
  uint32_t top = 0;
  [[maybe_unused]] const bool parallel = int64_t(n) >= kSerialBelow;
#pragma omp parallel for schedule(static) reduction(max : top) if (parallel)
  for (size_t c = 0; c < n; ++c) {
    uint32_t bits;
    memcpy(&bits, a + c, sizeof bits);
    bits &= 0x7FFFFFFFu;
    top = bits > top ? bits : top;
  }
  memcpy(&largest, &top, sizeof largest);
  return top < 0x7F800000u;
}

// Packs the four scalars (CPU) and leaves in `data` the first and last cell of each row that holds
// anything but +0 in one of them (hi < lo for none). True when one holds an infinity or a NaN.
bool PackFindingData(const Dims d, const float* const (&src)[4], float* packed, int32_t* data) {
  NoteLaunch("advect scalars: pack");
  const float *s0 = src[0], *s1 = src[1], *s2 = src[2], *s3 = src[3];
  int special = 0;
  [[maybe_unused]] const bool parallel = int64_t(d.nx) * d.ny * d.nz >= kSerialBelow;
#pragma omp parallel for schedule(static) reduction(| : special) if (parallel)
  for (int k = 0; k < d.nz; ++k)
    for (int j = 0; j < d.ny; ++j) {
      const int row = d.cell(0, j, k);
      for (int i = 0; i < d.nx; ++i) {
        const int c = row + i;
        StoreQuad(packed, c, Quad{{s0[c], s1[c], s2[c], s3[c]}});
      }
      // Whether the row holds anything but +0, and an infinity or a NaN, in a loop without a
      // branch that runs in vector lanes; then, for a row with data, where it starts and ends.
      const auto bitsAt = [&](int i, uint32_t (&b)[4]) {
        memcpy(&b[0], s0 + row + i, 4);
        memcpy(&b[1], s1 + row + i, 4);
        memcpy(&b[2], s2 + row + i, 4);
        memcpy(&b[3], s3 + row + i, 4);
      };
      const auto held = [&](int i) {
        uint32_t b[4];
        bitsAt(i, b);
        return (b[0] | b[1] | b[2] | b[3]) != 0;
      };
      constexpr uint32_t kTop = 0x7F800000u;  // the exponent of infinities and NaNs
      uint32_t bits = 0, top = 0;
      for (int i = 0; i < d.nx; ++i) {
        uint32_t b[4];
        bitsAt(i, b);
        bits |= b[0] | b[1] | b[2] | b[3];
        top |= uint32_t((b[0] & kTop) == kTop) | uint32_t((b[1] & kTop) == kTop) |
               uint32_t((b[2] & kTop) == kTop) | uint32_t((b[3] & kTop) == kTop);
      }
      int lo = d.nx, hi = -1;
      if (bits != 0) {
        for (lo = 0; !held(lo); ++lo) {
        }
        for (hi = d.nx - 1; !held(hi); --hi) {
        }
      }
      special |= int(top);
      data[2 * (j + d.ny * k)] = lo;
      data[2 * (j + d.ny * k) + 1] = hi;
    }
  return special != 0;
}

// One axis of the spreading of rows: row (j, k) of `out` spans what the rows of `in` within r of
// it along y (axis 1) or z (axis 2) span together.
void SpreadAlong(const Dims d, int axis, int r, const int32_t* in, int32_t* out) {
  const int n = axis == 1 ? d.ny : d.nz, stride = axis == 1 ? 1 : d.ny;
  [[maybe_unused]] const bool parallel = int64_t(d.ny) * d.nz >= 256;
#pragma omp parallel for schedule(static) if (parallel)
  for (int k = 0; k < d.nz; ++k)
    for (int j = 0; j < d.ny; ++j) {
      const int at = axis == 1 ? j : k, row = j + d.ny * k;
      int lo = d.nx, hi = -1;
      for (int m = at - r > 0 ? at - r : 0; m <= at + r && m < n; ++m) {
        const int other = 2 * (row + (m - at) * stride);
        lo = in[other] < lo ? in[other] : lo;
        hi = in[other + 1] > hi ? in[other + 1] : hi;
      }
      out[2 * row] = lo;
      out[2 * row + 1] = hi;
    }
}

// Rows (j, k) of spans from rows of data: the stretch of row (j, k) within rx cells of a cell with
// data in the rows within ry and rz of it.
void SpreadSpans(const Dims d, const int32_t* data, int rx, int ry, int rz, int32_t* tmp, int32_t* spans) {
  SpreadAlong(d, 1, ry, data, tmp);
  SpreadAlong(d, 2, rz, tmp, spans);
  for (int row = 0; row < d.ny * d.nz; ++row) {
    const int lo = spans[2 * row], hi = spans[2 * row + 1];
    if (hi < lo) continue;
    spans[2 * row] = lo - rx > 0 ? lo - rx : 0;
    spans[2 * row + 1] = hi + rx < d.nx - 1 ? hi + rx : d.nx - 1;
  }
}

// How far from a cell the scalars must be +0 along an axis whose velocity reaches `largest` (in
// m/s) for its step to give +0: a trace moves at most a = ceil(|dt| x largest / cellSize + 1)
// cells (one more for rounding) and its blend reads one cell further. With `both`, the forward
// trace's blend of predictions that did the same counts too. Negative when no bound holds.
int StepReach(float largest, float invCell, float dt, int n, bool both) {
  const double a = std::ceil(double(fabsf(dt)) * double(largest) * double(invCell) + 1.0);
  if (!(a < double(n))) return -1;
  return both ? 2 * int(a) + 2 : int(a) + 1;
}

void AdvectScalarSet(const Exec& ex, const Dims d, const VelocityView vel,
                     const OutsideOpenSide outside, ScalarSet set, float dt, RowSpans& rows) {
  const float *s0 = set.src[0], *s1 = set.src[1], *s2 = set.src[2], *s3 = set.src[3];
  float* packed = set.packed;
  set.spans = nullptr;
  if (!ex.gpu) {
    const size_t count = 2 * size_t(d.ny) * size_t(d.nz);
    rows.data.resize(count);
    rows.tmp.resize(count);
    rows.spans.resize(count);
    const bool special = PackFindingData(d, set.src, packed, rows.data.data());
    float mu = 0.0f, mv = 0.0f, mw = 0.0f;
    const bool finite = LargestMagnitude(vel.u, size_t(d.nx + 1) * d.ny * d.nz, mu) &&
                        LargestMagnitude(vel.v, size_t(d.nx) * (d.ny + 1) * d.nz, mv) &&
                        LargestMagnitude(vel.w, size_t(d.nx) * d.ny * (d.nz + 1), mw);
    const int rx = StepReach(mu, vel.invCell, dt, d.nx, special);
    const int ry = StepReach(mv, vel.invCell, dt, d.ny, special);
    const int rz = StepReach(mw, vel.invCell, dt, d.nz, special);
    if (finite && rx >= 0 && ry >= 0 && rz >= 0) {
      SpreadSpans(d, rows.data.data(), rx, ry, rz, rows.tmp.data(), rows.spans.data());
      set.spans = rows.spans.data();
    }
  } else {
    kFor3(ex, "advect scalars: pack", d.nx, d.ny, d.nz, [=] TFR_HD(int i, int j, int k) {
      const int c = d.cell(i, j, k);
      StoreQuad(packed, c, Quad{{s0[c], s1[c], s2[c], s3[c]}});
    });
  }
  const IndexBox box = GridPointInterior<3>(d.nx, d.ny, d.nz);
  // The prediction of every cell is complete before any correction reads it.
  const RowWork work = set.spans != nullptr ? RowWork::Uneven : RowWork::Even;
  ForRows(ex, "advect scalars: predict", d.nx, d.ny, d.nz, box,
          ScalarPass<false>{vel, set, d, outside, dt}, work);
  ForRows(ex, "advect scalars: correct", d.nx, d.ny, d.nz, box,
          ScalarPass<true>{vel, set, d, outside, dt}, work);
}

}  // namespace

void FireSim::Impl::AdvectVel(float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  // All three passes read the velocity as it was before the call; the exchange comes last.
  AdvectFaces<0>(ex, vel, uNext, dt);
  AdvectFaces<1>(ex, vel, vNext, dt);
  AdvectFaces<2>(ex, vel, wNext, dt);
  std::swap(u, uNext);
  std::swap(v, vNext);
  std::swap(w, wNext);
}

// The packed scalars and the predictions take the two blocks of free arrays, the traces level 0's
// multigrid arrays, which the projection is done with.
static ScalarSet FreeArraysFor(const FireSim::Impl& s, const float* const (&src)[4],
                               float* const (&dst)[4]) {
  const Level& l0 = s.levels[0];
  return ScalarSet{{src[0], src[1], src[2], src[3]},
                   s.cellForceZ,
                   s.scratch,
                   {dst[0], dst[1], dst[2], dst[3]},
                   {l0.x, l0.b, l0.r},
                   nullptr};
}

void FireSim::Impl::AdvectScalar(float*& f, float*& fNext, float dt) {
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  // The one scalar fills all four slots.
  const ScalarSet set = FreeArraysFor(*this, {f, f, f, f}, {fNext, fNext, fNext, fNext});
  AdvectScalarSet(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, set, dt, scalarRows);
  std::swap(f, fNext);
}

void FireSim::Impl::AdvectScalars(float dt) {
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  const ScalarSet set = FreeArraysFor(*this, {density, temperature, fuel, dust},
                                      {densityNext, temperatureNext, fuelNext, dustNext});
  AdvectScalarSet(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, set, dt, scalarRows);
  std::swap(density, densityNext);
  std::swap(temperature, temperatureNext);
  std::swap(fuel, fuelNext);
  std::swap(dust, dustNext);
}

}  // namespace tf
