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
  kFor3(ex, nx + 1, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i), float(j) + 0.5f, float(k) + 0.5f}, dt);
    un[d.u(i, j, k)] = SampleClamped(vel.u, nx + 1, ny, nz, q.x, q.y - 0.5f, q.z - 0.5f);
  });
  kFor3(ex, nx, ny + 1, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j), float(k) + 0.5f}, dt);
    vn[d.v(i, j, k)] = SampleClamped(vel.v, nx, ny + 1, nz, q.x - 0.5f, q.y, q.z - 0.5f);
  });
  kFor3(ex, nx, ny, nz + 1, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k)}, dt);
    wn[d.w(i, j, k)] = SampleClamped(vel.w, nx, ny, nz + 1, q.x - 0.5f, q.y - 0.5f, q.z);
  });
  std::swap(u, uNext);
  std::swap(v, vNext);
  std::swap(w, wNext);
}

void FireSim::Impl::AdvectScalar(float*& f, float*& fNext, float dt) {
  const Exec ex = exec();
  const Dims d = dims();
  const int nx = d.nx, ny = d.ny, nz = d.nz;
  const VelocityView vel{u, v, w, nx, ny, nz, 1.0f / grid.cellSize};
  const OutsideOpenSide outside{openMask, nx, ny, nz};
  const float* src = f;
  float* pred = scratch;
  float* dst = fNext;

  // Prediction: plain semi-Lagrangian into scratch.
  kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const Vec3f q = TraceBack(vel, Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f}, dt);
    pred[d.cell(i, j, k)] =
        outside(q) ? 0.0f : SampleClamped(src, nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
  });
  // Correction: trace the prediction forward, correct by half the error, and fall back to the
  // prediction where the result leaves the range of the eight values it was sampled from. The
  // backward trace is recomputed (it is a pure function of the cell), never stored.
  kFor3(ex, nx, ny, nz, [=] TFR_HD(int i, int j, int k) {
    const int c = d.cell(i, j, k);
    const Vec3f p{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f};
    const Vec3f q = TraceBack(vel, p, dt);
    if (outside(q)) {
      dst[c] = 0.0f;
      return;
    }
    const Vec3f r = TraceBack(vel, p, -dt);
    const float e = SampleClamped(pred, nx, ny, nz, r.x - 0.5f, r.y - 0.5f, r.z - 0.5f);
    float lo, hi;
    SampleClamped(src, nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f, &lo, &hi);
    float g = pred[c] + 0.5f * (src[c] - e);
    if (g < lo || g > hi) g = pred[c];
    dst[c] = g;
  });
  std::swap(f, fNext);
}

}  // namespace tf
