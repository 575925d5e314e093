#define TFR_BODY_SOURCE
// Advection carries the fields along the velocity for one substep: a semi-Lagrangian step for the
// staggered velocity, MacCormack for the cell scalars (prediction, backward correction, and the
// prediction again wherever the correction leaves the range of the values it came from).
#include <utility>

#include "solver/fire_sim_impl.h"
#include "solver/sampling.h"

namespace tf {

void FireSim::Impl::AdvectVel(float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const VelocityView vel{u, v, w, nx, ny, nz, 1.0f / grid.cellSize};
  float* un = uNext;
  float* vn = vNext;
  float* wn = wNext;
  // All three passes read the velocity as it was before the call; the exchange comes last.
  kFor3(ex, "advect u", nx + 1, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i), float(j) + 0.5f, float(k) + 0.5f}, dt);
    un[d.u(i, j, k)] = SampleClamped(vel.u, nx + 1, ny, nz, q.x, q.y - 0.5f, q.z - 0.5f);
  });
  kFor3(ex, "advect v", nx, ny + 1, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j), float(k) + 0.5f}, dt);
    vn[d.v(i, j, k)] = SampleClamped(vel.v, nx, ny + 1, nz, q.x - 0.5f, q.y, q.z - 0.5f);
  });
  kFor3(ex, "advect w", nx, ny, nz + 1, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k)}, dt);
    wn[d.w(i, j, k)] = SampleClamped(vel.w, nx, ny, nz + 1, q.x - 0.5f, q.y - 0.5f, q.z);
  });
  std::swap(u, uNext);
  std::swap(v, vNext);
  std::swap(w, wNext);
}

namespace {

// N scalars advected together by the same velocity: each cell's backward and forward traces are
// computed once and serve every scalar, which gives exactly what N separate MacCormack steps
// give (the velocity does not change between them) at a fraction of the tracing. `pred[s]` is
// the prediction buffer of scalar s.
template <int N>
struct ScalarSet {
  const float* src[N];
  float* pred[N];
  float* dst[N];
};

template <int N>
void AdvectScalarSet(const Exec& ex, const Dims d, const VelocityView vel, const OutsideOpenSide outside,
                     const ScalarSet<N> set, float dt) {
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  // Prediction: plain semi-Lagrangian; fresh air (0) beyond an open side.
  kFor3(ex, "advect scalars: predict", nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f}, dt);
    const int c = d.cell(i, j, k);
    if (outside(q)) {
      for (int s = 0; s < N; ++s) set.pred[s][c] = 0.0f;
      return;
    }
    const Corners at = Locate(nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
    for (int s = 0; s < N; ++s) set.pred[s][c] = Interpolate(set.src[s], at);
  });
  // Correction: trace the prediction forward, correct by half the error, and fall back to the
  // prediction where the result leaves the range of the eight values it was sampled from. The
  // backward trace is recomputed (a pure function of the cell), never stored; both traces start
  // from the same velocity at the cell centre.
  kFor3(ex, "advect scalars: correct", nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const int c = d.cell(i, j, k);
    const Vec3f p{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f};
    const Vec3f va = SampleVelocity(vel, p);
    const Vec3f q = TraceFrom(vel, p, va, dt);
    if (outside(q)) {
      for (int s = 0; s < N; ++s) set.dst[s][c] = 0.0f;
      return;
    }
    const Vec3f r = TraceFrom(vel, p, va, -dt);
    const Corners back = Locate(nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
    const Corners ahead = Locate(nx, ny, nz, r.x - 0.5f, r.y - 0.5f, r.z - 0.5f);
    for (int s = 0; s < N; ++s) {
      const float e = Interpolate(set.pred[s], ahead);
      float lo, hi;
      CornerRange(set.src[s], back, lo, hi);
      float g = set.pred[s][c] + 0.5f * (set.src[s][c] - e);
      if (g < lo || g > hi) g = set.pred[s][c];
      set.dst[s][c] = g;
    }
  });
}

}  // namespace

void FireSim::Impl::AdvectScalar(float*& f, float*& fNext, float dt) {
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  AdvectScalarSet<1>(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, ScalarSet<1>{{f}, {scratch}, {fNext}}, dt);
  std::swap(f, fNext);
}

void FireSim::Impl::AdvectScalars(float dt) {
  // The predictions use arrays that hold nothing at this point of a substep: scratch, and the
  // curl and force arrays of Forces, consumed before the projection.
  const Dims d = dims();
  const VelocityView vel{u, v, w, d.nx, d.ny, d.nz, 1.0f / grid.cellSize};
  const ScalarSet<4> set{{density, temperature, fuel, dust},
                         {scratch, scratch2, cellForceX, cellForceY},
                         {densityNext, temperatureNext, fuelNext, dustNext}};
  AdvectScalarSet<4>(exec(), d, vel, OutsideOpenSide{openMask, d.nx, d.ny, d.nz}, set, dt);
  std::swap(density, densityNext);
  std::swap(temperature, temperatureNext);
  std::swap(fuel, fuelNext);
  std::swap(dust, dustNext);
}

}  // namespace tf
