// Forces: buoyancy and smoke weight, wind, emitter pull, external force, vorticity confinement
// and turbulence, each checked on the face velocities the phase leaves behind.
#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "solver/noise.h"
#include "tests/solver/backends.h"

namespace tf::test {
namespace {

using Field = float* FireSim::Impl::*;
const Field kFaces[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};

class Forces : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, g);
  }

  size_t cells() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz); }
  size_t uCount() const { return size_t(g.nx + 1) * size_t(g.ny) * size_t(g.nz); }
  size_t vCount() const { return size_t(g.nx) * size_t(g.ny + 1) * size_t(g.nz); }
  size_t wCount() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz + 1); }
  size_t c(int i, int j, int k) const { return CellIndex(g, i, j, k); }
  size_t ui(int i, int j, int k) const { return size_t(i + (g.nx + 1) * (j + g.ny * k)); }
  size_t vi(int i, int j, int k) const { return size_t(i + g.nx * (j + (g.ny + 1) * k)); }
  size_t wi(int i, int j, int k) const { return size_t(i + g.nx * (j + g.ny * k)); }

  // Every force off: tests switch on what they look at.
  static FireParams Quiet() {
    FireParams p;
    p.buoyancy = 0.0f;
    p.smokeWeight = 0.0f;
    p.vorticity = 0.0f;
    p.turbulence = 0.0f;
    p.windDrag = 0.0f;
    return p;
  }

  static std::vector<float> Random(size_t n, float lo, float hi, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> out(n);
    for (float& x : out) x = dist(rng);
    return out;
  }

  std::array<int, 3> faceExtents(int a) const {
    return {g.nx + (a == 0), g.ny + (a == 1), g.nz + (a == 2)};
  }
  size_t faceCount(int a) const {
    const auto e = faceExtents(a);
    return size_t(e[0]) * size_t(e[1]) * size_t(e[2]);
  }

  // Every interior face of every component grew by the average of the cell force on its two
  // sides times dt; every border face kept its value.
  void expectForceAdded(const std::vector<float> (&before)[3], const std::vector<float> (&force)[3],
                        float dt) {
    const int n[3] = {g.nx, g.ny, g.nz};
    for (int a = 0; a < 3; ++a) {
      const auto e = faceExtents(a);
      const std::vector<float> after = get(kFaces[a], faceCount(a));
      for (int k = 0; k < e[2]; ++k)
        for (int j = 0; j < e[1]; ++j)
          for (int i = 0; i < e[0]; ++i) {
            const size_t f = size_t(i + e[0] * (j + e[1] * k));
            int x[3] = {i, j, k};
            float want = before[a][f];
            if (x[a] > 0 && x[a] < n[a]) {
              const size_t upper = c(i, j, k);
              --x[a];
              const size_t lower = c(x[0], x[1], x[2]);
              want += (force[a][lower] + force[a][upper]) * 0.5f * dt;
            }
            ASSERT_FLOAT_EQ(after[f], want) << "component " << a << " at " << i << "," << j
                                            << "," << k;
          }
    }
  }

  void run(const FireParams& p, float dt) { sim.Internals().Forces(p, dt); }
  std::vector<float> get(Field f, size_t n) { return Get(sim, f, n); }

  GridDesc g = Grid(8, 7, 6, 0.6f);
  FireSim sim;
};

// ---------------------------------------------------------------------------------------------
// Buoyancy and smoke weight

TEST_P(Forces, BuoyancyLiftsOnlyTheFacesOfHotCells) {
  std::vector<float> t(cells(), 0.0f);
  t[c(3, 2, 2)] = 0.5f;
  t[c(5, 4, 0)] = 0.8f;  // bottom layer: its lower face is on the border
  Put(sim, &FireSim::Impl::temperature, t);
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 1.0f));
  FireParams p = Quiet();
  p.buoyancy = 2.0f;
  p.smokeWeight = 0.3f;  // no smoke anywhere: weighs nothing
  const float dt = 0.1f;
  run(p, dt);

  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  const float lift1 = 1.0f + dt * 2.0f * 0.25f;
  const float lift2 = 1.0f + dt * 2.0f * 0.4f;
  for (int k = 0; k <= g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        float want = 1.0f;
        if (i == 3 && j == 2 && (k == 2 || k == 3)) want = lift1;
        if (i == 5 && j == 4 && k == 1) want = lift2;
        ASSERT_FLOAT_EQ(w[wi(i, j, k)], want) << i << "," << j << "," << k;
      }
  for (float x : get(&FireSim::Impl::u, uCount())) ASSERT_EQ(x, 0.0f);
  for (float x : get(&FireSim::Impl::v, vCount())) ASSERT_EQ(x, 0.0f);
}

TEST_P(Forces, SmokeColumnAtAmbientSinksWithItsWeight) {
  std::vector<float> d(cells(), 0.0f);
  for (int k = 0; k < g.nz; ++k) d[c(2, 3, k)] = 0.8f;
  Put(sim, &FireSim::Impl::density, d);
  FireParams p = Quiet();
  p.buoyancy = 5.0f;  // at ambient temperature: no lift whatever the buoyancy
  const float dt = 0.05f;

  for (float weight : {0.5f, -0.5f}) {
    Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 0.0f));
    p.smokeWeight = weight;
    run(p, dt);
    const std::vector<float> w = get(&FireSim::Impl::w, wCount());
    for (int k = 0; k <= g.nz; ++k)
      for (int j = 0; j < g.ny; ++j)
        for (int i = 0; i < g.nx; ++i) {
          const bool column = i == 2 && j == 3 && k > 0 && k < g.nz;
          const float want = column ? -dt * weight * 0.8f : 0.0f;
          ASSERT_FLOAT_EQ(w[wi(i, j, k)], want) << weight << " at " << i << "," << j << "," << k;
        }
    // A negative weight lifts the smoke instead.
    EXPECT_EQ(w[wi(2, 3, 3)] > 0.0f, weight < 0.0f);
  }
}

// ---------------------------------------------------------------------------------------------
// Border faces belong to the boundary handling

TEST_P(Forces, BorderFacesKeepTheirValuesWithEveryForceOn) {
  const std::vector<float> u0 = Random(uCount(), -2.0f, 2.0f, 1);
  const std::vector<float> v0 = Random(vCount(), -2.0f, 2.0f, 2);
  const std::vector<float> w0 = Random(wCount(), -2.0f, 2.0f, 3);
  Put(sim, &FireSim::Impl::u, u0);
  Put(sim, &FireSim::Impl::v, v0);
  Put(sim, &FireSim::Impl::w, w0);
  Put(sim, &FireSim::Impl::temperature, Random(cells(), 0.0f, 1.0f, 4));
  Put(sim, &FireSim::Impl::density, Random(cells(), 0.0f, 1.0f, 5));
  const std::vector<float> mask = Random(cells(), -0.5f, 1.0f, 6);
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  const std::vector<float> ex = Random(cells(), -3.0f, 3.0f, 7);
  const std::vector<float> ey = Random(cells(), -3.0f, 3.0f, 8);
  const std::vector<float> ez = Random(cells(), -3.0f, 3.0f, 9);
  ASSERT_TRUE(sim.SetEmitterVelocity(ex.data(), ey.data(), ez.data()));
  ASSERT_TRUE(sim.SetForceField(ez.data(), ex.data(), ey.data()));
  EmissionParams e;
  e.emitBlend = 0.6f;
  e.emitSpeed = 3.0f;
  sim.SetEmission(e);
  FireParams p;  // buoyancy, smoke weight and confinement on by default
  p.windX = 1.0f;
  p.windY = -1.0f;
  p.windZ = 0.5f;
  p.windDrag = 0.8f;
  p.turbulence = 1.5f;
  p.time = 0.7f;
  run(p, 0.04f);

  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  const std::vector<float> v = get(&FireSim::Impl::v, vCount());
  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  int changed[3] = {0, 0, 0};
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i <= g.nx; ++i) {
        if (i == 0 || i == g.nx)
          ASSERT_EQ(u[ui(i, j, k)], u0[ui(i, j, k)]) << "u " << i << "," << j << "," << k;
        else
          changed[0] += u[ui(i, j, k)] != u0[ui(i, j, k)];
      }
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j <= g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        if (j == 0 || j == g.ny)
          ASSERT_EQ(v[vi(i, j, k)], v0[vi(i, j, k)]) << "v " << i << "," << j << "," << k;
        else
          changed[1] += v[vi(i, j, k)] != v0[vi(i, j, k)];
      }
  for (int k = 0; k <= g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        if (k == 0 || k == g.nz)
          ASSERT_EQ(w[wi(i, j, k)], w0[wi(i, j, k)]) << "w " << i << "," << j << "," << k;
        else
          changed[2] += w[wi(i, j, k)] != w0[wi(i, j, k)];
      }
  // The interior really was worked on: every interior face of every component moved.
  EXPECT_EQ(changed[0], (g.nx - 1) * g.ny * g.nz);
  EXPECT_EQ(changed[1], g.nx * (g.ny - 1) * g.nz);
  EXPECT_EQ(changed[2], g.nx * g.ny * (g.nz - 1));
}

// ---------------------------------------------------------------------------------------------
// Wind

TEST_P(Forces, WindWithoutDragHasNoEffect) {
  const std::vector<float> u0 = Random(uCount(), -2.0f, 2.0f, 11);
  const std::vector<float> v0 = Random(vCount(), -2.0f, 2.0f, 12);
  const std::vector<float> w0 = Random(wCount(), -2.0f, 2.0f, 13);
  Put(sim, &FireSim::Impl::u, u0);
  Put(sim, &FireSim::Impl::v, v0);
  Put(sim, &FireSim::Impl::w, w0);
  FireParams p = Quiet();
  p.windX = 7.0f;
  p.windY = -4.0f;
  p.windZ = 3.0f;
  run(p, 0.1f);
  EXPECT_EQ(get(&FireSim::Impl::u, uCount()), u0);
  EXPECT_EQ(get(&FireSim::Impl::v, vCount()), v0);
  EXPECT_EQ(get(&FireSim::Impl::w, wCount()), w0);
}

TEST_P(Forces, WindDragApproachesTheWindExponentially) {
  FireParams p = Quiet();
  p.windX = 3.0f;
  p.windY = -2.0f;
  p.windZ = 1.0f;  // w already moves with the wind and must stay put
  p.windDrag = 0.7f;
  const auto reset = [&] {
    Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), 1.0f));
    Put(sim, &FireSim::Impl::v, std::vector<float>(vCount(), 1.0f));
    Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 1.0f));
  };

  // One step of dt closes the fraction 1 - exp(-windDrag dt) of the gap.
  reset();
  const float dt = 0.2f;
  run(p, dt);
  const double frac = 1.0 - std::exp(-0.7 * 0.2);
  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  const std::vector<float> v = get(&FireSim::Impl::v, vCount());
  EXPECT_NEAR(u[ui(3, 2, 2)], 1.0 + 2.0 * frac, 1e-6);
  EXPECT_NEAR(v[vi(3, 2, 2)], 1.0 - 3.0 * frac, 1e-6);
  EXPECT_EQ(u[ui(0, 2, 2)], 1.0f);
  EXPECT_EQ(v[vi(3, g.ny, 2)], 1.0f);
  for (float x : get(&FireSim::Impl::w, wCount())) ASSERT_EQ(x, 1.0f);

  // Exponential, not linear: two half steps land where one whole step does, and after
  // ln 2 / windDrag seconds the gap is halved.
  reset();
  run(p, dt / 2);
  run(p, dt / 2);
  EXPECT_NEAR(get(&FireSim::Impl::u, uCount())[ui(3, 2, 2)], 1.0 + 2.0 * frac, 2e-6);
  reset();
  run(p, float(std::log(2.0) / 0.7));
  EXPECT_NEAR(get(&FireSim::Impl::u, uCount())[ui(4, 5, 1)], 2.0f, 2e-6);
  EXPECT_NEAR(get(&FireSim::Impl::v, vCount())[vi(4, 5, 1)], -0.5f, 2e-6);
}

// ---------------------------------------------------------------------------------------------
// Emitter pull

TEST_P(Forces, EmitterPullsTowardTheUniformOutflow) {
  // Full coverage in a block, a smoke-only (negative) block beside it.
  std::vector<float> mask(cells(), 0.0f);
  for (int k = 1; k <= 3; ++k)
    for (int j = 1; j <= 3; ++j)
      for (int i = 1; i <= 3; ++i) {
        mask[c(i, j, k)] = 1.0f;
        mask[c(i + 3, j, k)] = -1.0f;
      }
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  std::vector<float> u0 = Random(uCount(), -1.0f, 1.0f, 21);
  std::vector<float> w0 = Random(wCount(), -1.0f, 1.0f, 22);
  // Starting values from which value + 1·(target - value) misses the target by rounding.
  w0[wi(2, 2, 2)] = -0.9f;
  w0[wi(1, 3, 3)] = 3.3f;
  u0[ui(2, 2, 2)] = 5.3f;
  u0[ui(3, 1, 1)] = -7.1f;
  Put(sim, &FireSim::Impl::u, u0);
  Put(sim, &FireSim::Impl::w, w0);
  EmissionParams e;
  e.emitBlend = 1.5f;
  e.emitSpeed = 0.7f;
  e.emitSpeedX = -0.3f;
  sim.SetEmission(e);
  run(Quiet(), 0.1f);

  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  // Inside: mask 1 times blend 1.5 is a full pull, landing on the target exactly.
  EXPECT_EQ(w[wi(2, 2, 2)], 0.7f);
  EXPECT_EQ(w[wi(1, 3, 3)], 0.7f);
  EXPECT_EQ(u[ui(2, 2, 2)], -0.3f);
  EXPECT_EQ(u[ui(3, 1, 1)], -0.3f);
  // On the block's edge the face average is one half: e = 0.75.
  EXPECT_FLOAT_EQ(w[wi(2, 2, 1)], w0[wi(2, 2, 1)] + 0.75f * (0.7f - w0[wi(2, 2, 1)]));
  EXPECT_FLOAT_EQ(w[wi(2, 2, 4)], w0[wi(2, 2, 4)] + 0.75f * (0.7f - w0[wi(2, 2, 4)]));
  EXPECT_FLOAT_EQ(u[ui(1, 2, 2)], u0[ui(1, 2, 2)] + 0.75f * (-0.3f - u0[ui(1, 2, 2)]));
  // Smoke-only cells do not pull, and the face between the two blocks averages to zero.
  EXPECT_EQ(w[wi(6, 2, 2)], w0[wi(6, 2, 2)]);
  EXPECT_EQ(u[ui(6, 2, 2)], u0[ui(6, 2, 2)]);
  EXPECT_EQ(u[ui(4, 2, 2)], u0[ui(4, 2, 2)]);
  // Outside every emitter nothing moves.
  EXPECT_EQ(w[wi(2, 5, 2)], w0[wi(2, 5, 2)]);
  // A mask half covered pulls by half of the blend.
  std::fill(mask.begin(), mask.end(), 0.5f);
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  e.emitBlend = 0.5f;
  sim.SetEmission(e);
  Put(sim, &FireSim::Impl::w, w0);
  run(Quiet(), 0.1f);
  const float w1 = get(&FireSim::Impl::w, wCount())[wi(5, 5, 5)];
  EXPECT_FLOAT_EQ(w1, w0[wi(5, 5, 5)] + 0.25f * (0.7f - w0[wi(5, 5, 5)]));
}

TEST_P(Forces, EmitterPullsTowardPerCellVelocities) {
  std::vector<float> vx(cells()), vy(cells()), vz(cells());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        vx[c(i, j, k)] = float(i);
        vy[c(i, j, k)] = float(10 * j);
        vz[c(i, j, k)] = float(100 * k);
      }
  ASSERT_TRUE(sim.SetEmitterVelocity(vx.data(), vy.data(), vz.data()));
  const std::vector<float> mask(cells(), 2.0f);
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  EmissionParams e;
  e.emitBlend = 0.5f;  // times mask 2: full pull everywhere
  e.emitSpeed = 99.0f;  // ignored while per-cell velocities are given
  sim.SetEmission(e);
  Put(sim, &FireSim::Impl::v, Random(vCount(), -1.0f, 1.0f, 31));
  run(Quiet(), 0.1f);

  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  const std::vector<float> v = get(&FireSim::Impl::v, vCount());
  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  EXPECT_EQ(u[ui(3, 2, 1)], 2.5f);    // between cells x = 2 and 3
  EXPECT_EQ(v[vi(3, 2, 1)], 15.0f);   // between y = 1 and 2
  EXPECT_EQ(w[wi(3, 2, 1)], 50.0f);   // between z = 0 and 1
  EXPECT_EQ(w[wi(3, 2, g.nz - 1)], 100.0f * float(g.nz) - 150.0f);
  EXPECT_EQ(u[ui(g.nx, 2, 1)], 0.0f);  // border untouched

  // Without the per-cell field the uniform velocity takes over again.
  ASSERT_TRUE(sim.SetEmitterVelocity(nullptr, nullptr, nullptr));
  run(Quiet(), 0.1f);
  EXPECT_EQ(get(&FireSim::Impl::w, wCount())[wi(3, 2, 1)], 99.0f);
  EXPECT_EQ(get(&FireSim::Impl::u, uCount())[ui(3, 2, 1)], 2.5f);  // no sideways speed: kept
}

// ---------------------------------------------------------------------------------------------
// External force field

TEST_P(Forces, ExternalForceIsAveragedOntoInteriorFaces) {
  std::vector<float> fx(cells()), fy(cells()), fz(cells());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        fx[c(i, j, k)] = float(i + 10 * j + 100 * k);
        fy[c(i, j, k)] = float(2 * j - k);
        fz[c(i, j, k)] = float(3 * k + i);
      }
  ASSERT_TRUE(sim.SetForceField(fx.data(), fy.data(), fz.data()));
  const float dt = 0.25f;
  run(Quiet(), dt);

  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  const std::vector<float> v = get(&FireSim::Impl::v, vCount());
  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float wantU = i == 0 ? 0.0f : (fx[c(i - 1, j, k)] + fx[c(i, j, k)]) * 0.5f * dt;
        const float wantV = j == 0 ? 0.0f : (fy[c(i, j - 1, k)] + fy[c(i, j, k)]) * 0.5f * dt;
        const float wantW = k == 0 ? 0.0f : (fz[c(i, j, k - 1)] + fz[c(i, j, k)]) * 0.5f * dt;
        ASSERT_EQ(u[ui(i, j, k)], wantU) << i << "," << j << "," << k;
        ASSERT_EQ(v[vi(i, j, k)], wantV) << i << "," << j << "," << k;
        ASSERT_EQ(w[wi(i, j, k)], wantW) << i << "," << j << "," << k;
        ASSERT_EQ(u[ui(g.nx, j, k)], 0.0f);
        ASSERT_EQ(v[vi(i, g.ny, k)], 0.0f);
        ASSERT_EQ(w[wi(i, j, g.nz)], 0.0f);
      }

  // A disabled field is ignored even though its arrays keep their contents.
  ASSERT_TRUE(sim.SetForceField(nullptr, fy.data(), fz.data()));
  run(Quiet(), dt);
  EXPECT_EQ(get(&FireSim::Impl::u, uCount()), u);
  EXPECT_EQ(get(&FireSim::Impl::w, wCount()), w);
}

// ---------------------------------------------------------------------------------------------
// Vorticity confinement

TEST_P(Forces, UniformFlowHasNoCurlAndFeelsNoConfinement) {
  Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), 1.5f));
  Put(sim, &FireSim::Impl::v, std::vector<float>(vCount(), -0.5f));
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 2.0f));
  Put(sim, &FireSim::Impl::temperature, Random(cells(), 0.0f, 1.0f, 41));
  FireParams p = Quiet();
  p.vorticity = 10.0f;
  run(p, 0.1f);
  for (float x : get(&FireSim::Impl::scratch2, cells())) ASSERT_EQ(x, 0.0f);
  for (float x : get(&FireSim::Impl::u, uCount())) ASSERT_EQ(x, 1.5f);
  for (float x : get(&FireSim::Impl::v, vCount())) ASSERT_EQ(x, -0.5f);
  for (float x : get(&FireSim::Impl::w, wCount())) ASSERT_EQ(x, 2.0f);
}

// One component growing as 0.1 x^2 along another axis b: the curl has the single component
// along the third axis, omega = +-dV/db, its magnitude grows along b (except where the clamped
// difference on the far border drops it), so N = +-e_b and the force N x omega acts along the
// component itself. The six pairs exercise every derivative of the curl, each with its clamping
// and the two-cell divisor.
TEST_P(Forces, ShearFlowsGetTheHandComputedConfinement) {
  struct Shear {
    int component, along;
    float sign;  // of the curl component: omega_x = dW/dy - dV/dz, and so on
  };
  const Shear shears[] = {{2, 1, 1.0f}, {1, 2, -1.0f}, {0, 2, 1.0f},
                          {2, 0, -1.0f}, {1, 0, 1.0f}, {0, 1, -1.0f}};
  const int n[3] = {g.nx, g.ny, g.nz};
  const float h = g.cellSize, dt = 0.1f;
  const auto f = [](int x) { return 0.1f * float(x * x); };
  // Clamped neighbours on the first and last layer, divisor always two cells.
  const auto omega = [&](int x, int axis) {
    const int xp = std::min(x + 1, n[axis] - 1), xm = std::max(x - 1, 0);
    return (f(xp) - f(xm)) / (2.0f * h);
  };
  EXPECT_FLOAT_EQ(omega(0, 2), 0.1f / 1.2f);
  EXPECT_FLOAT_EQ(omega(3, 2), 0.1f * 12.0f / 1.2f);
  EXPECT_FLOAT_EQ(omega(5, 2), 0.1f * 9.0f / 1.2f);
  // Hot cells (x >= 4) get the full strength, cold ones a quarter.
  std::vector<float> t(cells(), 0.0f);
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 4; i < g.nx; ++i) t[c(i, j, k)] = 1.0f;
  Put(sim, &FireSim::Impl::temperature, t);
  FireParams p = Quiet();
  p.vorticity = 3.0f;

  for (const Shear& sh : shears) {
    SCOPED_TRACE(testing::Message() << "component " << sh.component << " along " << sh.along);
    std::vector<float> before[3];
    for (int a = 0; a < 3; ++a) {
      const auto e = faceExtents(a);
      before[a].assign(faceCount(a), 0.0f);
      if (a != sh.component) continue;
      for (int k = 0; k < e[2]; ++k)
        for (int j = 0; j < e[1]; ++j)
          for (int i = 0; i < e[0]; ++i) {
            const int x[3] = {i, j, k};
            before[a][size_t(i + e[0] * (j + e[1] * k))] = f(x[sh.along]);
          }
    }
    for (int a = 0; a < 3; ++a) Put(sim, kFaces[a], before[a]);
    run(p, dt);

    const std::vector<float> mag = get(&FireSim::Impl::scratch2, cells());
    const std::vector<float> force[3] = {get(&FireSim::Impl::cellForceX, cells()),
                                         get(&FireSim::Impl::cellForceY, cells()),
                                         get(&FireSim::Impl::cellForceZ, cells())};
    const int third = 3 - sh.component - sh.along;
    int pushed = 0;
    for (int k = 0; k < g.nz; ++k)
      for (int j = 0; j < g.ny; ++j)
        for (int i = 0; i < g.nx; ++i) {
          const int x[3] = {i, j, k};
          const int b = x[sh.along];
          ASSERT_FLOAT_EQ(mag[c(i, j, k)], omega(b, sh.along)) << i << "," << j << "," << k;
          float want[3] = {0.0f, 0.0f, 0.0f};
          const bool inner = i > 0 && i < g.nx - 1 && j > 0 && j < g.ny - 1 && k > 0 &&
                             k < g.nz - 1;
          if (inner) {
            float nv[3] = {0.0f, 0.0f, 0.0f}, w[3] = {0.0f, 0.0f, 0.0f};
            nv[sh.along] = omega(b + 1, sh.along) > omega(b - 1, sh.along) ? 1.0f : -1.0f;
            w[third] = sh.sign * omega(b, sh.along);
            const float s = (i >= 4 ? 1.0f : 0.25f) * 3.0f * h;
            want[0] = (nv[1] * w[2] - nv[2] * w[1]) * s;
            want[1] = (nv[2] * w[0] - nv[0] * w[2]) * s;
            want[2] = (nv[0] * w[1] - nv[1] * w[0]) * s;
            pushed += want[sh.component] != 0.0f;
          }
          for (int a = 0; a < 3; ++a)
            ASSERT_NEAR(force[a][c(i, j, k)], want[a], 1e-5f)
                << "axis " << a << " at " << i << "," << j << "," << k;
        }
    EXPECT_EQ(pushed, (g.nx - 2) * (g.ny - 2) * (g.nz - 2));
    expectForceAdded(before, force, dt);
  }
}

// N is a unit vector, so the force scales with the curl itself, down to the faintest swirl.
TEST_P(Forces, ConfinementScalesLinearlyDownToFaintSwirls) {
  FireParams p = Quiet();
  p.vorticity = 2.0f;
  std::vector<float> forces[2];
  const float amplitudes[2] = {0.1f, 1e-7f};
  for (int n = 0; n < 2; ++n) {
    std::vector<float> w0(wCount());
    for (int k = 0; k <= g.nz; ++k)
      for (int j = 0; j < g.ny; ++j)
        for (int i = 0; i < g.nx; ++i) w0[wi(i, j, k)] = amplitudes[n] * float(i * i);
    Put(sim, &FireSim::Impl::w, w0);
    run(p, 0.1f);
    forces[n] = get(&FireSim::Impl::cellForceZ, cells());
  }
  for (int k = 1; k < g.nz - 1; ++k)
    for (int j = 1; j < g.ny - 1; ++j)
      for (int i = 1; i < g.nx - 1; ++i) {
        const float strong = forces[0][c(i, j, k)], faint = forces[1][c(i, j, k)];
        ASSERT_NE(strong, 0.0f);
        ASSERT_NEAR(faint / strong, 1e-6f, 1e-9f) << i << "," << j << "," << k;
      }
}

// A linear shear has the same curl everywhere except on the clamped top and bottom layers:
// cells whose neighbours carry equal magnitudes have no gradient and get no force.
TEST_P(Forces, EvenCurlMagnitudeGivesNoConfinement) {
  std::vector<float> v0(vCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j <= g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) v0[vi(i, j, k)] = 0.5f * float(i);  // omega_z = dV/dx
  Put(sim, &FireSim::Impl::v, v0);
  FireParams p = Quiet();
  p.vorticity = 2.0f;
  run(p, 0.1f);
  const std::vector<float> fy = get(&FireSim::Impl::cellForceY, cells());
  for (int k = 1; k < g.nz - 1; ++k)
    for (int j = 1; j < g.ny - 1; ++j) {
      for (int i = 2; i < g.nx - 2; ++i) ASSERT_EQ(fy[c(i, j, k)], 0.0f) << i;
      EXPECT_NE(fy[c(1, j, k)], 0.0f);
      EXPECT_NE(fy[c(g.nx - 2, j, k)], 0.0f);
    }
}

// ---------------------------------------------------------------------------------------------
// Value noise and turbulence

TEST(ForcesValueNoise, IntegerPointsCarryTheirHashedLatticeValue) {
  // Values worked out by hand from the hash: (h & 0xFFFFFF) / 2^23 - 1.
  EXPECT_EQ(ValueNoise(0.0f, 0.0f, 0.0f, 1), 16283168.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(1.0f, 0.0f, 0.0f, 1), 14674781.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(3.0f, -2.0f, 7.0f, 4), 12093363.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(-5.0f, 11.0f, -1.0f, 6), 12068757.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(123456.0f, -654321.0f, 42.0f, 3), 15504933.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(0.0f, 0.0f, 0.0f, 0), -1.0f);  // every product is zero
}

TEST(ForcesValueNoise, BlendsSmoothlyBetweenLatticePoints) {
  const float a = ValueNoise(0.0f, 0.0f, 0.0f, 1), b = ValueNoise(1.0f, 0.0f, 0.0f, 1);
  // Half-way the smooth weight is one half; a quarter of the way it is 0.15625.
  EXPECT_FLOAT_EQ(ValueNoise(0.5f, 0.0f, 0.0f, 1), 0.5f * (a + b));
  EXPECT_FLOAT_EQ(ValueNoise(0.25f, 0.0f, 0.0f, 1), a + 0.15625f * (b - a));
  // Negative coordinates fall to the lattice point below (floor, not truncation toward zero).
  EXPECT_FLOAT_EQ(ValueNoise(-0.5f, 0.0f, 0.0f, 1), 0.5f * (ValueNoise(-1.0f, 0.0f, 0.0f, 1) + a));
  // Continuous across a lattice plane.
  EXPECT_NEAR(ValueNoise(2.0f, 3.0f, 5.9999f, 2), ValueNoise(2.0f, 3.0f, 6.0f, 2), 1e-6f);
  // Seeds give different patterns.
  EXPECT_NE(ValueNoise(0.3f, 0.7f, 0.1f, 1), ValueNoise(0.3f, 0.7f, 0.1f, 2));
}

TEST(ForcesValueNoise, StaysInRangeAndIsDeterministic) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-500.0f, 500.0f);
  float lo = 1.0f, hi = -1.0f;
  for (int n = 0; n < 20000; ++n) {
    const float x = dist(rng), y = dist(rng), z = dist(rng);
    const int seed = n % 7;
    const float value = ValueNoise(x, y, z, seed);
    ASSERT_GE(value, -1.0f);
    ASSERT_LT(value, 1.0f);
    ASSERT_EQ(value, ValueNoise(x, y, z, seed));
    lo = std::min(lo, value);
    hi = std::max(hi, value);
  }
  // The values use the range, not a sliver of it.
  EXPECT_LT(lo, -0.8f);
  EXPECT_GT(hi, 0.8f);
}

// With turbScale equal to the cell size the noise is sampled at the integer cell indices.
TEST_P(Forces, TurbulenceFollowsTheNoiseWhereThereIsHeatOrSmoke) {
  std::vector<float> t(cells(), 0.5f), d(cells(), 0.0f);
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) {
      t[c(i, j, 1)] = 0.0f;  // clear, cold air: calm
      t[c(i, j, 2)] = 0.1f;  // a = (0.2 + 0.3) turbulence
      d[c(i, j, 2)] = 0.3f;
    }
  Put(sim, &FireSim::Impl::temperature, t);
  Put(sim, &FireSim::Impl::density, d);
  FireParams p = Quiet();
  p.turbulence = 2.0f;
  p.turbScale = g.cellSize;
  const float dt = 0.05f;
  run(p, dt);

  const std::vector<float> fx = get(&FireSim::Impl::cellForceX, cells());
  const std::vector<float> fy = get(&FireSim::Impl::cellForceY, cells());
  const std::vector<float> fz = get(&FireSim::Impl::cellForceZ, cells());
  const auto noise = [](int i, int j, int k, int seed) {
    return 0.5f * ValueNoise(float(2 * i), float(2 * j), float(2 * k), seed + 3) +
           ValueNoise(float(i), float(j), float(k), seed);
  };
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float a = k == 1 ? 0.0f : k == 2 ? 1.0f : 2.0f;
        ASSERT_NEAR(fx[c(i, j, k)], noise(i, j, k, 1) * a, 2e-6f) << i << "," << j << "," << k;
        ASSERT_NEAR(fy[c(i, j, k)], noise(i, j, k, 2) * a, 2e-6f);
        ASSERT_NEAR(fz[c(i, j, k)], noise(i, j, k, 3) * a, 2e-6f);
      }

  // The cell forces reach the faces like any other cell force.
  const std::vector<float> zero[3] = {std::vector<float>(uCount(), 0.0f),
                                      std::vector<float>(vCount(), 0.0f),
                                      std::vector<float>(wCount(), 0.0f)};
  expectForceAdded(zero, {fx, fy, fz}, dt);
}

TEST_P(Forces, TurbulencePatternDriftsUpWithTheFrameTime) {
  Put(sim, &FireSim::Impl::temperature, std::vector<float>(cells(), 1.0f));
  FireParams p = Quiet();
  p.turbulence = 1.0f;
  p.turbScale = g.cellSize;
  run(p, 0.05f);
  const std::vector<float> before = get(&FireSim::Impl::cellForceZ, cells());
  // 0.6 time / turbScale = one cell: the pattern has risen by one layer.
  p.time = 1.0f;
  run(p, 0.05f);
  const std::vector<float> after = get(&FireSim::Impl::cellForceZ, cells());
  for (int k = 1; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i)
        ASSERT_EQ(after[c(i, j, k)], before[c(i, j, k - 1)]) << i << "," << j << "," << k;
  EXPECT_NE(after[c(3, 3, 0)], before[c(3, 3, 0)]);
}

TEST_P(Forces, TinyTurbulenceScalesActAsTheSmallestScale) {
  Put(sim, &FireSim::Impl::temperature, std::vector<float>(cells(), 1.0f));
  FireParams p = Quiet();
  p.turbulence = 1.0f;
  p.time = 0.3f;
  std::vector<float> reference;
  for (float scale : {1e-4f, 1e-5f, 0.0f, -2.0f}) {
    Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), 0.0f));
    p.turbScale = scale;
    run(p, 0.1f);
    const std::vector<float> u = get(&FireSim::Impl::u, uCount());
    if (reference.empty()) {
      reference = u;
      size_t moved = 0;
      for (float x : u) moved += x != 0.0f;
      ASSERT_GT(moved, uCount() / 2);
    } else {
      EXPECT_EQ(u, reference) << "turbScale " << scale;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// What is switched off stays off

TEST_P(Forces, WithoutConfinementAndTurbulenceOnlyWindAndLiftAct) {
  const std::vector<float> u0 = Random(uCount(), -2.0f, 2.0f, 51);
  const std::vector<float> v0 = Random(vCount(), -2.0f, 2.0f, 52);
  const std::vector<float> w0 = Random(wCount(), -2.0f, 2.0f, 53);
  Put(sim, &FireSim::Impl::u, u0);
  Put(sim, &FireSim::Impl::v, v0);
  Put(sim, &FireSim::Impl::w, w0);
  const std::vector<float> t = Random(cells(), 0.0f, 1.0f, 54);
  Put(sim, &FireSim::Impl::temperature, t);
  // Stale scratch from an earlier step must neither be used nor overwritten.
  const std::vector<float> stale(cells(), 1000.0f);
  for (Field f : {&FireSim::Impl::cellForceX, &FireSim::Impl::cellForceY,
                  &FireSim::Impl::cellForceZ, &FireSim::Impl::scratch2})
    Put(sim, f, stale);
  FireParams p = Quiet();
  p.buoyancy = 1.5f;
  p.windX = 1.0f;
  p.windY = 2.0f;
  p.windZ = 3.0f;
  p.windDrag = 0.5f;
  const float dt = 0.1f;
  run(p, dt);

  const float drag = 1.0f - std::exp(-0.5f * dt);
  const std::vector<float> u = get(&FireSim::Impl::u, uCount());
  const std::vector<float> v = get(&FireSim::Impl::v, vCount());
  const std::vector<float> w = get(&FireSim::Impl::w, wCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 1; i < g.nx; ++i) {
        const float u1 = u0[ui(i, j, k)];
        ASSERT_NEAR(u[ui(i, j, k)], u1 + (1.0f - u1) * drag, 1e-6f);
      }
  for (int k = 0; k < g.nz; ++k)
    for (int j = 1; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float v1 = v0[vi(i, j, k)];
        ASSERT_NEAR(v[vi(i, j, k)], v1 + (2.0f - v1) * drag, 1e-6f);
      }
  for (int k = 1; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float w1 = w0[wi(i, j, k)] + dt * 1.5f * 0.5f * (t[c(i, j, k - 1)] + t[c(i, j, k)]);
        ASSERT_NEAR(w[wi(i, j, k)], w1 + (3.0f - w1) * drag, 4e-6f);
      }
  for (Field f : {&FireSim::Impl::cellForceX, &FireSim::Impl::cellForceY,
                  &FireSim::Impl::cellForceZ, &FireSim::Impl::scratch2})
    EXPECT_EQ(get(f, cells()), stale);
}

TFR_INSTANTIATE_BACKENDS(Forces);

}  // namespace
}  // namespace tf::test
