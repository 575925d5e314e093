#define TFR_BODY_SOURCE
// Advection carries the fields along the velocity for one substep: a semi-Lagrangian step for the
// staggered velocity, MacCormack for the cell scalars (prediction, backward correction, and the
// prediction again wherever the correction leaves the range of the values it came from).
//
// Every pass is one element function (FaceAt, PredictAt, CorrectAt) run over faces or cells
// i0 <= i < i1 of a row (j, k). The GPU runs it with one thread per element (a row of one); the
// CPU walks whole rows in blocks of kLanes elements, and a block with no branch per element
// vectorises: the traces of a block are computed side by side, each sample's corners are found
// once and shared by every array read there (the four scalars read at one set of corners), and
// the corner reads become gathers. Rows split into the stretch where the velocity at the
// element's own grid point can be read directly (GridPointVelocity: no clamp reached) and the
// ends and border rows, where it is sampled like any other point; both give the same values.
//
// The row functions take their arrays as restrict pointers: every array is either only read or
// only written within a pass, and the compiler needs to know that to vectorise the gathers.
#include <utility>

#include "solver/fire_sim_impl.h"
#include "solver/rows.h"
#include "solver/sampling.h"

namespace tf {

namespace {

// One pass of AdvectVel: the faces of component A (0 u, 1 v, 2 w) traced back from their own
// positions through the old velocity, which they then sample.
template <int A, bool Inside>
struct FaceAt {
  VelocityView vel;
  const float* src;
  float* out;
  int ex, ey, ez, row, j, k;
  float y, z, dt;
  TFR_HD TFR_SAMPLE_INLINE void operator()(int i) const {
    const Vec3f p{A == 0 ? float(i) : float(i) + 0.5f, y, z};
    Vec3f va;
    if constexpr (Inside)
      va = GridPointVelocity<A>(vel, i, j, k);
    else
      va = SampleVelocity(vel, p);
    const Vec3f q = TraceFrom(vel, p, va, dt);
    out[row + i] = SampleClamped(src, ex, ey, ez, A == 0 ? q.x : q.x - 0.5f,
                                 A == 1 ? q.y : q.y - 0.5f, A == 2 ? q.z : q.z - 0.5f);
  }
};

template <int A, bool Inside>
TFR_HD TFR_SAMPLE_INLINE void AdvectFaceRow(const float* __restrict__ u,
                                            const float* __restrict__ v,
                                            const float* __restrict__ w, float* __restrict__ out,
                                            Dims d, float invCell, float dt, int i0, int i1, int j,
                                            int k) {
  const int ex = d.nx + (A == 0), ey = d.ny + (A == 1), ez = d.nz + (A == 2);
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, invCell};
  const float y = A == 1 ? float(j) : float(j) + 0.5f;
  const float z = A == 2 ? float(k) : float(k) + 0.5f;
  const FaceAt<A, Inside> at{vel, A == 0 ? u : A == 1 ? v : w, out, ex, ey, ez, ex * (j + ey * k),
                             j, k, y, z, dt};
  ForLanes(i0, i1, at);
}

template <int A>
struct FacePass {
  const float* u;
  const float* v;
  const float* w;
  float* out;
  Dims d;
  float invCell, dt;
  template <bool Inside>
  TFR_HD TFR_SAMPLE_INLINE void run(int i0, int i1, int j, int k) const {
    AdvectFaceRow<A, Inside>(u, v, w, out, d, invCell, dt, i0, i1, j, k);
  }
};

template <int A>
void AdvectFaces(const Exec& ex, const VelocityView& vel, float* out, float dt) {
  const Dims d{vel.nx, vel.ny, vel.nz};
  const FacePass<A> pass{vel.u, vel.v, vel.w, out, d, vel.invCell, dt};
  static constexpr const char* kLabel[3] = {"advect u", "advect v", "advect w"};
  ForRows(ex, kLabel[A], d.nx + (A == 0), d.ny + (A == 1), d.nz + (A == 2),
          GridPointInterior<A>(d.nx, d.ny, d.nz), pass);
}

// N scalars (1 or 4) advected together by the same velocity: each cell's backward and forward
// traces and their corner lookups are computed once and serve every scalar, which gives exactly
// what N separate MacCormack steps give (the velocity does not change between them) at a
// fraction of the tracing. pred[s] is the prediction buffer of scalar s; the prediction leaves
// each cell's backward trace in trace[0..2] (x, y, z) for the correction, which would otherwise
// trace it again.
struct ScalarSet {
  const float* src[4];
  float* pred[4];
  float* dst[4];
  float* trace[3];
};

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

// Prediction of one scalar at cell c: plain semi-Lagrangian; fresh air (0) beyond an open side.
TFR_HD TFR_SAMPLE_INLINE void Predict(const float* src, float* pred, int c, const Corners& at,
                                      bool fresh) {
  pred[c] = Pick(fresh, 0.0f, Interpolate(src, at));
}

// Correction of one scalar at cell c: correct the prediction by half the error of the forward
// trace, and fall back to the prediction where the result leaves the range of the eight values
// it was sampled from.
TFR_HD TFR_SAMPLE_INLINE void Correct(const float* src, const float* pred, float* dst, int c,
                                      const Corners& back, const Corners& ahead, bool fresh) {
  const float e = Interpolate(pred, ahead);
  float lo, hi;
  CornerRange(src, back, lo, hi);
  const float kept = pred[c];
  const float g = kept + 0.5f * (src[c] - e);
  const bool overshoots = (g < lo) | (g > hi);
  dst[c] = Pick(fresh, 0.0f, Pick(overshoots, kept, g));
}

template <int N, bool Inside>
struct PredictAt {
  VelocityView vel;
  // Separate members, not arrays: the compiler keeps them in registers and sees them invariant.
  const float *s0, *s1, *s2, *s3;
  float *p0, *p1, *p2, *p3;
  float *tx, *ty, *tz;
  Dims d;
  OutsideOpenSide outside;
  int row, j, k;
  float dt;
  TFR_HD TFR_SAMPLE_INLINE void operator()(int i) const {
    const Vec3f q = TraceFrom(vel, CellCentre(i, j, k), CentreVelocity<Inside>(vel, i, j, k), dt);
    tx[row + i] = q.x;
    ty[row + i] = q.y;
    tz[row + i] = q.z;
    const bool fresh = outside(q);
    const Corners at = Locate(d.nx, d.ny, d.nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
    Predict(s0, p0, row + i, at, fresh);
    if constexpr (N == 4) {
      Predict(s1, p1, row + i, at, fresh);
      Predict(s2, p2, row + i, at, fresh);
      Predict(s3, p3, row + i, at, fresh);
    }
  }
};

template <int N, bool Inside>
TFR_HD TFR_SAMPLE_INLINE void PredictRow(
    const float* __restrict__ u, const float* __restrict__ v, const float* __restrict__ w,
    const float* __restrict__ s0, const float* __restrict__ s1, const float* __restrict__ s2,
    const float* __restrict__ s3, float* __restrict__ p0, float* __restrict__ p1,
    float* __restrict__ p2, float* __restrict__ p3, float* __restrict__ tx,
    float* __restrict__ ty, float* __restrict__ tz, Dims d, float invCell,
    OutsideOpenSide outside, float dt, int i0, int i1, int j, int k) {
  static_assert(N == 1 || N == 4, "one scalar or four");
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, invCell};
  const PredictAt<N, Inside> at{vel, s0, s1, s2, s3, p0, p1, p2, p3, tx, ty, tz,
                                d, outside, d.cell(0, j, k), j, k, dt};
  ForLanes(i0, i1, at);
}

// The backward trace comes from the prediction; the forward one starts from the same velocity at
// the cell centre.
template <int N, bool Inside>
struct CorrectAt {
  VelocityView vel;
  const float *s0, *s1, *s2, *s3;
  const float *p0, *p1, *p2, *p3;
  const float *tx, *ty, *tz;
  float *d0, *d1, *d2, *d3;
  Dims d;
  OutsideOpenSide outside;
  int row, j, k;
  float dt;
  TFR_HD TFR_SAMPLE_INLINE void operator()(int i) const {
    const int c = row + i;
    const Vec3f q{tx[c], ty[c], tz[c]};
    const Vec3f r = TraceFrom(vel, CellCentre(i, j, k), CentreVelocity<Inside>(vel, i, j, k), -dt);
    const bool fresh = outside(q);
    const Corners back = Locate(d.nx, d.ny, d.nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
    const Corners ahead = Locate(d.nx, d.ny, d.nz, r.x - 0.5f, r.y - 0.5f, r.z - 0.5f);
    Correct(s0, p0, d0, c, back, ahead, fresh);
    if constexpr (N == 4) {
      Correct(s1, p1, d1, c, back, ahead, fresh);
      Correct(s2, p2, d2, c, back, ahead, fresh);
      Correct(s3, p3, d3, c, back, ahead, fresh);
    }
  }
};

template <int N, bool Inside>
TFR_HD TFR_SAMPLE_INLINE void CorrectRow(
    const float* __restrict__ u, const float* __restrict__ v, const float* __restrict__ w,
    const float* __restrict__ s0, const float* __restrict__ s1, const float* __restrict__ s2,
    const float* __restrict__ s3, const float* __restrict__ p0, const float* __restrict__ p1,
    const float* __restrict__ p2, const float* __restrict__ p3, const float* __restrict__ tx,
    const float* __restrict__ ty, const float* __restrict__ tz, float* __restrict__ d0,
    float* __restrict__ d1, float* __restrict__ d2, float* __restrict__ d3, Dims d, float invCell,
    OutsideOpenSide outside, float dt, int i0, int i1, int j, int k) {
  static_assert(N == 1 || N == 4, "one scalar or four");
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, invCell};
  const CorrectAt<N, Inside> at{vel, s0, s1, s2, s3, p0, p1, p2, p3, tx, ty, tz, d0, d1,
                                d2, d3, d, outside, d.cell(0, j, k), j, k, dt};
  ForLanes(i0, i1, at);
}

// One of the two passes of a MacCormack step over a row: the prediction (Correcting false) or the
// correction, which reads the predictions the first pass left in set.pred.
template <int N, bool Correcting>
struct ScalarPass {
  VelocityView vel;
  ScalarSet set;
  Dims d;
  OutsideOpenSide outside;
  float dt;
  template <bool Inside>
  TFR_HD TFR_SAMPLE_INLINE void run(int i0, int i1, int j, int k) const {
    if constexpr (Correcting)
      CorrectRow<N, Inside>(vel.u, vel.v, vel.w, set.src[0], set.src[1], set.src[2], set.src[3],
                            set.pred[0], set.pred[1], set.pred[2], set.pred[3], set.trace[0],
                            set.trace[1], set.trace[2], set.dst[0], set.dst[1], set.dst[2],
                            set.dst[3], d, vel.invCell, outside, dt, i0, i1, j, k);
    else
      PredictRow<N, Inside>(vel.u, vel.v, vel.w, set.src[0], set.src[1], set.src[2], set.src[3],
                            set.pred[0], set.pred[1], set.pred[2], set.pred[3], set.trace[0],
                            set.trace[1], set.trace[2], d, vel.invCell, outside, dt, i0, i1, j,
                            k);
  }
};

template <int N>
void AdvectScalarSet(const Exec& ex, const Dims d, const VelocityView vel,
                     const OutsideOpenSide outside, const ScalarSet set, float dt) {
  const IndexBox box = GridPointInterior<3>(d.nx, d.ny, d.nz);
  // The prediction of every cell is complete before any correction reads it.
  ForRows(ex, "advect scalars: predict", d.nx, d.ny, d.nz, box,
          ScalarPass<N, false>{vel, set, d, outside, dt});
  ForRows(ex, "advect scalars: correct", d.nx, d.ny, d.nz, box,
          ScalarPass<N, true>{vel, set, d, outside, dt});
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

void FireSim::Impl::AdvectScalar(float*& f, float*& fNext, float dt) {
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  // The unused slots repeat the one scalar; N = 1 never touches them. The traces go where
  // AdvectScalars puts them.
  const ScalarSet set{{f, f, f, f},
                      {scratch, scratch, scratch, scratch},
                      {fNext, fNext, fNext, fNext},
                      {cellForceZ, pcgSearch, pcgProduct}};
  AdvectScalarSet<1>(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, set, dt);
  std::swap(f, fNext);
}

void FireSim::Impl::AdvectScalars(float dt) {
  // The predictions and the traces use arrays that hold nothing at this point of a substep:
  // scratch, the force arrays of Forces, consumed before the projection, and the projection's
  // search direction and product, done with once the pressure is solved.
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  const ScalarSet set{{density, temperature, fuel, dust},
                      {scratch, scratch2, cellForceX, cellForceY},
                      {densityNext, temperatureNext, fuelNext, dustNext},
                      {cellForceZ, pcgSearch, pcgProduct}};
  AdvectScalarSet<4>(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, set, dt);
  std::swap(density, densityNext);
  std::swap(temperature, temperatureNext);
  std::swap(fuel, fuelNext);
  std::swap(dust, dustNext);
}

}  // namespace tf
