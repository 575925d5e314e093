// Forces: buoyancy and smoke weight, wind, emitter pull, external force, vorticity confinement
// and turbulence, each checked on the face velocities the phase leaves behind.
#include <algorithm>
#include <array>
#include <cmath>
#include <random>

#include "device/device_math.h"
#include "tests/solver/backends.h"

namespace tf::test {
namespace {

using Field = float* FireSim::Impl::*;
using Faces3 = std::array<std::vector<float>, 3>;
const Field kFaces[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};
const Field kCellForce[3] = {&FireSim::Impl::cellForceX, &FireSim::Impl::cellForceY,
                             &FireSim::Impl::cellForceZ};

// Every force off: tests switch on what they look at.
FireParams Quiet() {
  FireParams p;
  p.buoyancy = p.smokeWeight = p.vorticity = p.turbulence = p.windDrag = 0.0f;
  return p;
}

class Forces : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, g);
  }

  size_t cells() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz); }
  size_t c(int i, int j, int k) const { return CellIndex(g, i, j, k); }
  std::array<int, 3> extent(int a) const {
    return {g.nx + (a == 0), g.ny + (a == 1), g.nz + (a == 2)};
  }
  size_t count(int a) const {
    const auto e = extent(a);
    return size_t(e[0]) * size_t(e[1]) * size_t(e[2]);
  }
  size_t face(int a, int i, int j, int k) const {
    const auto e = extent(a);
    return size_t(i + e[0] * (j + e[1] * k));
  }

  // Calls visit(face index, interior, lower cell, upper cell, i, j, k) for every face of
  // component a; the cells are only meaningful for interior faces.
  template <class Visit>
  void forEachFace(int a, Visit visit) const {
    const auto e = extent(a);
    const int n[3] = {g.nx, g.ny, g.nz};
    for (int k = 0; k < e[2]; ++k)
      for (int j = 0; j < e[1]; ++j)
        for (int i = 0; i < e[0]; ++i) {
          int x[3] = {i, j, k};
          const bool interior = x[a] > 0 && x[a] < n[a];
          const size_t upper = interior ? c(i, j, k) : 0;
          x[a] -= interior ? 1 : 0;
          const size_t lower = interior ? c(x[0], x[1], x[2]) : 0;
          visit(face(a, i, j, k), interior, lower, upper, i, j, k);
        }
  }

  void run(const FireParams& p, float dt) { sim.Internals().Forces(p, dt); }
  std::vector<float> get(Field f, size_t n) { return Get(sim, f, n); }
  Faces3 faces() {
    return {get(kFaces[0], count(0)), get(kFaces[1], count(1)), get(kFaces[2], count(2))};
  }
  void putFaces(const Faces3& f) {
    for (int a = 0; a < 3; ++a) Put(sim, kFaces[a], f[a]);
  }
  Faces3 randomFaces(unsigned seed) {
    return {Random(count(0), -2.0f, 2.0f, seed), Random(count(1), -2.0f, 2.0f, seed + 1),
            Random(count(2), -2.0f, 2.0f, seed + 2)};
  }
  Faces3 cellForces() {
    return {get(kCellForce[0], cells()), get(kCellForce[1], cells()), get(kCellForce[2], cells())};
  }

  // Every interior face grew by the average of the cell force on its two sides times dt; every
  // border face kept its value.
  void expectForceAdded(const Faces3& before, const Faces3& force, float dt) {
    const Faces3 after = faces();
    for (int a = 0; a < 3; ++a)
      forEachFace(a, [&](size_t f, bool in, size_t lo, size_t hi, int i, int j, int k) {
        const float want = before[a][f] + (in ? (force[a][lo] + force[a][hi]) * 0.5f * dt : 0.0f);
        ASSERT_FLOAT_EQ(after[a][f], want)
            << "component " << a << " at " << i << "," << j << "," << k;
      });
  }

  GridDesc g = Grid(8, 7, 6, 0.6f);
  FireSim sim;
};

TEST_P(Forces, BuoyancyAndSmokeWeightMoveInteriorWFaces) {
  std::vector<float> t(cells(), 0.0f), d(cells(), 0.0f);
  t[c(3, 2, 2)] = 0.5f;
  t[c(5, 4, 0)] = 0.8f;  // bottom layer: its lower face is on the border
  for (int k = 0; k < g.nz; ++k) d[c(2, 3, k)] = 0.8f;  // smoke at ambient temperature
  Put(sim, &FireSim::Impl::temperature, t);
  Put(sim, &FireSim::Impl::density, d);
  FireParams p = Quiet();
  p.buoyancy = 2.0f;
  const float dt = 0.1f;
  for (float weight : {0.5f, -0.5f}) {
    SCOPED_TRACE(weight);
    p.smokeWeight = weight;
    Put(sim, &FireSim::Impl::w, std::vector<float>(count(2), 1.0f));
    run(p, dt);
    const Faces3 after = faces();
    forEachFace(2, [&](size_t f, bool, size_t, size_t, int i, int j, int k) {
      float want = 1.0f;
      if (i == 3 && j == 2 && (k == 2 || k == 3)) want += dt * 2.0f * 0.25f;
      if (i == 5 && j == 4 && k == 1) want += dt * 2.0f * 0.4f;
      if (i == 2 && j == 3 && k > 0 && k < g.nz) want -= dt * weight * 0.8f;
      ASSERT_FLOAT_EQ(after[2][f], want) << i << "," << j << "," << k;
    });
    // A positive weight sinks the column, a negative one lifts it.
    EXPECT_EQ(after[2][face(2, 2, 3, 3)] > 1.0f, weight < 0.0f);
    for (int a = 0; a < 2; ++a)
      for (float x : after[a]) ASSERT_EQ(x, 0.0f);
  }
}

TEST_P(Forces, BorderFacesKeepTheirValuesWithEveryForceOn) {
  const Faces3 before = randomFaces(1);
  putFaces(before);
  Put(sim, &FireSim::Impl::temperature, Random(cells(), 0.0f, 1.0f, 4));
  Put(sim, &FireSim::Impl::density, Random(cells(), 0.0f, 1.0f, 5));
  const std::vector<float> mask = Random(cells(), -0.5f, 1.0f, 6);
  const std::vector<float> x = Random(cells(), -3.0f, 3.0f, 7), y = Random(cells(), -3.0f, 3.0f, 8),
                           z = Random(cells(), -3.0f, 3.0f, 9);
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  ASSERT_TRUE(sim.SetEmitterVelocity(x.data(), y.data(), z.data()));
  ASSERT_TRUE(sim.SetForceField(z.data(), x.data(), y.data()));
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

  const Faces3 after = faces();
  for (int a = 0; a < 3; ++a) {
    size_t interior = 0, moved = 0;
    forEachFace(a, [&](size_t f, bool in, size_t, size_t, int i, int j, int k) {
      if (!in) {
        ASSERT_EQ(after[a][f], before[a][f]) << a << " at " << i << "," << j << "," << k;
      }
      interior += in;
      moved += in && after[a][f] != before[a][f];
    });
    EXPECT_EQ(moved, interior) << "component " << a;  // the interior really was worked on
  }
}

TEST_P(Forces, WindActsOnlyThroughExponentialDrag) {
  FireParams p = Quiet();
  p.windX = 3.0f;
  p.windY = -2.0f;
  p.windZ = 1.0f;  // w already moves with the wind and must stay put
  const Faces3 ones = {std::vector<float>(count(0), 1.0f), std::vector<float>(count(1), 1.0f),
                       std::vector<float>(count(2), 1.0f)};
  putFaces(ones);
  run(p, 0.2f);  // no drag: the wind has no effect at all
  EXPECT_EQ(faces(), ones);

  // One step of dt closes the fraction 1 - exp(-windDrag dt) of the gap; two half steps land at
  // the same place, and after ln 2 / windDrag seconds the gap is halved.
  p.windDrag = 0.7f;
  const double frac = 1.0 - std::exp(-0.7 * 0.2);
  for (int halves : {1, 2}) {
    putFaces(ones);
    for (int n = 0; n < halves; ++n) run(p, 0.2f / float(halves));
    const Faces3 after = faces();
    EXPECT_NEAR(after[0][face(0, 3, 2, 2)], 1.0 + 2.0 * frac, 2e-6);
    EXPECT_NEAR(after[1][face(1, 3, 2, 2)], 1.0 - 3.0 * frac, 2e-6);
    EXPECT_EQ(after[0][face(0, 0, 2, 2)], 1.0f);
    EXPECT_EQ(after[1][face(1, 3, g.ny, 2)], 1.0f);
    for (float x : after[2]) ASSERT_EQ(x, 1.0f);
  }
  putFaces(ones);
  run(p, float(std::log(2.0) / 0.7));
  EXPECT_NEAR(faces()[0][face(0, 4, 5, 1)], 2.0f, 2e-6);
  EXPECT_NEAR(faces()[1][face(1, 4, 5, 1)], -0.5f, 2e-6);
}

TEST_P(Forces, EmitterPullsTowardTheUniformOutflow) {
  // Full coverage in a block, a smoke-only (negative) block right beside it.
  std::vector<float> mask(cells(), 0.0f);
  for (int k = 1; k <= 3; ++k)
    for (int j = 1; j <= 3; ++j)
      for (int i = 1; i <= 3; ++i) {
        mask[c(i, j, k)] = 1.0f;
        mask[c(i + 3, j, k)] = -1.0f;
      }
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  Faces3 before = randomFaces(21);
  // Starting values from which value + 1·(target - value) misses the target by rounding.
  before[2][face(2, 2, 2, 2)] = -0.9f;
  before[2][face(2, 1, 3, 3)] = 3.3f;
  before[0][face(0, 2, 2, 2)] = 5.3f;
  before[0][face(0, 3, 1, 1)] = -7.1f;
  putFaces(before);
  EmissionParams e;
  e.emitBlend = 1.5f;
  e.emitSpeed = 0.7f;
  e.emitSpeedX = -0.3f;
  sim.SetEmission(e);
  run(Quiet(), 0.1f);

  const Faces3 after = faces();
  const auto pulled = [&](int a, int i, int j, int k, float by, float to) {
    const float v = before[a][face(a, i, j, k)];
    return v + by * (to - v);
  };
  // Inside: mask 1 times blend 1.5 is a full pull, landing on the target exactly.
  EXPECT_EQ(after[2][face(2, 2, 2, 2)], 0.7f);
  EXPECT_EQ(after[2][face(2, 1, 3, 3)], 0.7f);
  EXPECT_EQ(after[0][face(0, 2, 2, 2)], -0.3f);
  EXPECT_EQ(after[0][face(0, 3, 1, 1)], -0.3f);
  // On the block's edge the face average is one half: e = 0.75.
  EXPECT_FLOAT_EQ(after[2][face(2, 2, 2, 1)], pulled(2, 2, 2, 1, 0.75f, 0.7f));
  EXPECT_FLOAT_EQ(after[2][face(2, 2, 2, 4)], pulled(2, 2, 2, 4, 0.75f, 0.7f));
  EXPECT_FLOAT_EQ(after[0][face(0, 1, 2, 2)], pulled(0, 1, 2, 2, 0.75f, -0.3f));
  // v is pulled too, toward its sideways speed of zero.
  EXPECT_EQ(after[1][face(1, 2, 2, 2)], 0.0f);
  // Smoke-only cells do not pull, nor does the face between the blocks (average zero), nor one
  // outside every emitter.
  const std::array<int, 4> still[] = {{2, 5, 2, 2}, {0, 6, 2, 2}, {0, 4, 2, 2}, {2, 2, 5, 2}};
  for (auto [a, i, j, k] : still)
    EXPECT_EQ(after[a][face(a, i, j, k)], before[a][face(a, i, j, k)]) << a << ":" << i << j << k;
}

TEST_P(Forces, EmitterPullsTowardPerCellVelocities) {
  std::vector<float> vel[3] = {std::vector<float>(cells()), std::vector<float>(cells()),
                               std::vector<float>(cells())};
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        vel[0][c(i, j, k)] = float(i);
        vel[1][c(i, j, k)] = float(10 * j);
        vel[2][c(i, j, k)] = float(100 * k);
      }
  ASSERT_TRUE(sim.SetEmitterVelocity(vel[0].data(), vel[1].data(), vel[2].data()));
  const std::vector<float> mask(cells(), 2.0f);
  ASSERT_TRUE(sim.SetEmitterMask(mask.data()));
  EmissionParams e;
  e.emitBlend = 0.5f;   // times mask 2: full pull everywhere
  e.emitSpeed = 99.0f;  // ignored while per-cell velocities are given
  sim.SetEmission(e);
  const Faces3 before = randomFaces(31);
  putFaces(before);
  run(Quiet(), 0.1f);

  // Every interior face takes the average of its two cells; the border keeps its value.
  const Faces3 after = faces();
  for (int a = 0; a < 3; ++a)
    forEachFace(a, [&](size_t f, bool in, size_t lo, size_t hi, int i, int j, int k) {
      const float want = in ? 0.5f * (vel[a][lo] + vel[a][hi]) : before[a][f];
      ASSERT_EQ(after[a][f], want) << a << " at " << i << "," << j << "," << k;
    });

  // Without the per-cell field the uniform velocity takes over again; with no sideways speed
  // the horizontal components are left alone.
  ASSERT_TRUE(sim.SetEmitterVelocity(nullptr, nullptr, nullptr));
  run(Quiet(), 0.1f);
  EXPECT_EQ(faces()[2][face(2, 3, 2, 1)], 99.0f);
  EXPECT_EQ(faces()[0], after[0]);
}

TEST_P(Forces, ExternalForceIsAveragedOntoInteriorFaces) {
  Faces3 field;
  for (int a = 0; a < 3; ++a) {
    field[a].resize(cells());
    for (size_t n = 0; n < cells(); ++n) field[a][n] = float((n * (a + 3)) % 17) - 8.0f;
  }
  ASSERT_TRUE(sim.SetForceField(field[0].data(), field[1].data(), field[2].data()));
  const Faces3 before = randomFaces(61);
  putFaces(before);
  run(Quiet(), 0.25f);
  expectForceAdded(before, field, 0.25f);

  // A disabled field is ignored even though its arrays keep their contents.
  const Faces3 once = faces();
  ASSERT_TRUE(sim.SetForceField(nullptr, field[1].data(), field[2].data()));
  run(Quiet(), 0.25f);
  EXPECT_EQ(faces(), once);
}

// One component growing as A x^2 along another axis b: the curl has the single component along
// the third axis, omega = +-dV/db, its magnitude grows along b (except where the clamped
// difference on the far border drops it), so N = +-e_b and N x omega acts along the component
// itself. The six pairs exercise every derivative of the curl, its clamping and the two-cell
// divisor; the faint copy shows that the force scales with the curl down to tiny swirls.
TEST_P(Forces, ShearFlowsGetTheHandComputedConfinement) {
  struct Shear {
    int component, along;
    float sign;  // of the curl component: omega_x = dW/dy - dV/dz, and so on
  };
  const Shear shears[] = {{2, 1, 1.0f},  {1, 2, -1.0f}, {0, 2, 1.0f},
                          {2, 0, -1.0f}, {1, 0, 1.0f},  {0, 1, -1.0f}};
  const int n[3] = {g.nx, g.ny, g.nz};
  const float h = g.cellSize, dt = 0.1f;
  // Hot cells (x >= 4) get the full strength, cold ones a quarter.
  std::vector<float> t(cells(), 0.0f);
  for (size_t m = 0; m < cells(); ++m) t[m] = m % size_t(g.nx) >= 4 ? 1.0f : 0.0f;
  Put(sim, &FireSim::Impl::temperature, t);
  FireParams p = Quiet();
  p.vorticity = 3.0f;

  for (const Shear& sh : shears)
    for (float amp : {0.1f, 1e-7f}) {
      SCOPED_TRACE(testing::Message() << "component " << sh.component << " along " << sh.along
                                      << " amplitude " << amp);
      const auto f = [&](int x) { return amp * float(x * x); };
      // Clamped neighbours on the first and last layer, divisor always two cells.
      const auto omega = [&](int x) {
        return (f(std::min(x + 1, n[sh.along] - 1)) - f(std::max(x - 1, 0))) / (2.0f * h);
      };
      Faces3 before = {std::vector<float>(count(0), 0.0f), std::vector<float>(count(1), 0.0f),
                       std::vector<float>(count(2), 0.0f)};
      forEachFace(sh.component, [&](size_t fi, bool, size_t, size_t, int i, int j, int k) {
        const int x[3] = {i, j, k};
        before[sh.component][fi] = f(x[sh.along]);
      });
      putFaces(before);
      run(p, dt);

      const std::vector<float> mag = get(&FireSim::Impl::scratch2, cells());
      const Faces3 force = cellForces();
      const float tol = amp * 1e-4f;
      for (int k = 0; k < g.nz; ++k)
        for (int j = 0; j < g.ny; ++j)
          for (int i = 0; i < g.nx; ++i) {
            const int x[3] = {i, j, k};
            const int b = x[sh.along];
            ASSERT_NEAR(mag[c(i, j, k)], omega(b), tol) << i << "," << j << "," << k;
            float want[3] = {0.0f, 0.0f, 0.0f};
            if (i > 0 && i < g.nx - 1 && j > 0 && j < g.ny - 1 && k > 0 && k < g.nz - 1) {
              float nv[3] = {0.0f, 0.0f, 0.0f}, w[3] = {0.0f, 0.0f, 0.0f};
              nv[sh.along] = omega(b + 1) > omega(b - 1) ? 1.0f : -1.0f;
              w[3 - sh.component - sh.along] = sh.sign * omega(b);
              const float s = (i >= 4 ? 1.0f : 0.25f) * 3.0f * h;
              want[0] = (nv[1] * w[2] - nv[2] * w[1]) * s;
              want[1] = (nv[2] * w[0] - nv[0] * w[2]) * s;
              want[2] = (nv[0] * w[1] - nv[1] * w[0]) * s;
              ASSERT_NE(want[sh.component], 0.0f);
            }
            for (int a = 0; a < 3; ++a)  // the outermost layer of cells keeps zero
              ASSERT_NEAR(force[a][c(i, j, k)], want[a], tol)
                  << a << " at " << i << "," << j << "," << k;
          }
      expectForceAdded(before, force, dt);
    }
}

// A linear shear has the same curl everywhere except on the clamped first and last layers:
// cells whose neighbours carry equal magnitudes have no gradient and get no force, and a flow
// without curl is left as it is.
TEST_P(Forces, EvenCurlMagnitudeGivesNoConfinement) {
  Faces3 before = {std::vector<float>(count(0), 1.5f), std::vector<float>(count(1)),
                   std::vector<float>(count(2), 2.0f)};
  forEachFace(
      1, [&](size_t f, bool, size_t, size_t, int i, int, int) { before[1][f] = 0.5f * float(i); });
  putFaces(before);
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

  before[1].assign(count(1), -0.5f);
  putFaces(before);
  run(p, 0.1f);
  for (float x : get(&FireSim::Impl::scratch2, cells())) ASSERT_EQ(x, 0.0f);
  EXPECT_EQ(faces(), before);
}

TEST(ForcesValueNoise, LatticeValuesAndSmoothBlend) {
  // Values worked out by hand from the hash: (h & 0xFFFFFF) / 2^23 - 1.
  const float a = ValueNoise(0.0f, 0.0f, 0.0f, 1), b = ValueNoise(1.0f, 0.0f, 0.0f, 1);
  EXPECT_EQ(a, 16283168.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(b, 14674781.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(3.0f, -2.0f, 7.0f, 4), 12093363.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(-5.0f, 11.0f, -1.0f, 6), 12068757.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(123456.0f, -654321.0f, 42.0f, 3), 15504933.0f / 8388608.0f - 1.0f);
  EXPECT_EQ(ValueNoise(0.0f, 0.0f, 0.0f, 0), -1.0f);  // every product is zero

  // Smooth weights: 0.5 half-way, 0.15625 a quarter of the way, 0.84375 at three quarters,
  // each axis with its own.
  EXPECT_FLOAT_EQ(ValueNoise(0.5f, 0.0f, 0.0f, 1), 0.5f * (a + b));
  EXPECT_FLOAT_EQ(ValueNoise(0.25f, 0.0f, 0.0f, 1), a + 0.15625f * (b - a));
  const float w[3][2] = {{0.84375f, 0.15625f}, {0.5f, 0.5f}, {0.15625f, 0.84375f}};
  float want = 0.0f;
  for (int corner = 0; corner < 8; ++corner) {
    const int bx = corner & 1, by = (corner >> 1) & 1, bz = corner >> 2;
    want += ValueNoise(float(2 + bx), float(-1 + by), float(7 + bz), 4) * w[0][bx] * w[1][by] *
            w[2][bz];
  }
  EXPECT_NEAR(ValueNoise(2.25f, -0.5f, 7.75f, 4), want, 2e-7f);
  // Negative coordinates fall to the lattice point below (floor, not truncation toward zero),
  // and the noise is continuous across lattice planes.
  EXPECT_FLOAT_EQ(ValueNoise(-0.5f, 0.0f, 0.0f, 1), 0.5f * (ValueNoise(-1.0f, 0.0f, 0.0f, 1) + a));
  EXPECT_NEAR(ValueNoise(2.0f, 3.0f, 5.9999f, 2), ValueNoise(2.0f, 3.0f, 6.0f, 2), 1e-6f);
}

TEST(ForcesValueNoise, StaysInRangeAndIsDeterministic) {
  const std::vector<float> xyz = Random(60000, -500.0f, 500.0f, 7);
  float lo = 1.0f, hi = -1.0f;
  for (size_t n = 0; n < xyz.size(); n += 3) {
    const int seed = int(n % 7);
    const float value = ValueNoise(xyz[n], xyz[n + 1], xyz[n + 2], seed);
    ASSERT_GE(value, -1.0f);
    ASSERT_LT(value, 1.0f);
    ASSERT_EQ(value, ValueNoise(xyz[n], xyz[n + 1], xyz[n + 2], seed));
    lo = std::min(lo, value);
    hi = std::max(hi, value);
  }
  EXPECT_LT(lo, -0.8f);  // the values use the range, not a sliver of it
  EXPECT_GT(hi, 0.8f);
  EXPECT_NE(ValueNoise(0.3f, 0.7f, 0.1f, 1), ValueNoise(0.3f, 0.7f, 0.1f, 2));
}

// With turbScale equal to the cell size the noise is sampled at the integer cell indices.
TEST_P(Forces, TurbulenceFollowsTheNoiseWhereThereIsHeatOrSmoke) {
  std::vector<float> t(cells(), 0.8f), d(cells(), 0.0f);  // heat beyond full weight is capped
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) {
      t[c(i, j, 1)] = 0.0f;  // clear, cold air stays calm
      t[c(i, j, 2)] = 0.1f;  // a = (0.2 + 0.3) turbulence
      d[c(i, j, 2)] = 0.3f;
    }
  Put(sim, &FireSim::Impl::temperature, t);
  Put(sim, &FireSim::Impl::density, d);
  FireParams p = Quiet();
  p.turbulence = 2.0f;
  p.turbScale = g.cellSize;
  run(p, 0.05f);

  const Faces3 force = cellForces();
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i)
        for (int a = 0; a < 3; ++a) {
          // Seeds: x 4 and 1, y 5 and 2, z 6 and 3.
          const float n = 0.5f * ValueNoise(float(2 * i), float(2 * j), float(2 * k), a + 4) +
                          ValueNoise(float(i), float(j), float(k), a + 1);
          const float weight = k == 1 ? 0.0f : k == 2 ? 1.0f : 2.0f;
          ASSERT_NEAR(force[a][c(i, j, k)], n * weight, 2e-6f)
              << a << " at " << i << "," << j << "," << k;
        }
  const Faces3 zero = {std::vector<float>(count(0), 0.0f), std::vector<float>(count(1), 0.0f),
                       std::vector<float>(count(2), 0.0f)};
  expectForceAdded(zero, force, 0.05f);
}

// Confinement and turbulence reach the faces together: each face grows by the sum of what each
// gives on its own (to rounding), neither force replacing the other.
TEST_P(Forces, ConfinementAndTurbulenceAddUp) {
  Put(sim, &FireSim::Impl::temperature, Random(cells(), 0.0f, 0.6f, 11));
  Put(sim, &FireSim::Impl::density, Random(cells(), 0.0f, 0.5f, 12));
  const Faces3 start = randomFaces(13);
  auto change = [&](float vorticity, float turbulence) {
    putFaces(start);
    FireParams p = Quiet();
    p.vorticity = vorticity;
    p.turbulence = turbulence;
    p.turbScale = 2.0f * g.cellSize;
    run(p, 0.05f);
    Faces3 after = faces();
    for (int a = 0; a < 3; ++a)
      for (size_t f = 0; f < after[a].size(); ++f) after[a][f] -= start[a][f];
    return after;
  };
  const Faces3 confinement = change(3.0f, 0.0f), turbulence = change(0.0f, 2.0f), both = change(3.0f, 2.0f);
  float largest = 0.0f;
  for (int a = 0; a < 3; ++a)
    for (size_t f = 0; f < both[a].size(); ++f) {
      largest = std::max({largest, std::fabs(confinement[a][f]), std::fabs(turbulence[a][f])});
      ASSERT_NEAR(both[a][f], confinement[a][f] + turbulence[a][f], 1e-5f) << "component " << a << " face " << f;
    }
  EXPECT_GT(largest, 1e-3f);  // both forces really acted
}

TEST_P(Forces, TurbulenceDriftsUpWithFrameTimeAndClampsItsScale) {
  Put(sim, &FireSim::Impl::temperature, std::vector<float>(cells(), 1.0f));
  FireParams p = Quiet();
  p.turbulence = 1.0f;
  p.turbScale = g.cellSize;
  run(p, 0.05f);
  const std::vector<float> before = get(&FireSim::Impl::cellForceZ, cells());
  p.time = 1.0f;  // 0.6 time / turbScale = one cell: the pattern has risen by one layer
  run(p, 0.05f);
  const std::vector<float> after = get(&FireSim::Impl::cellForceZ, cells());
  for (size_t m = 0; m + size_t(g.nx * g.ny) < cells(); ++m)
    ASSERT_EQ(after[m + size_t(g.nx * g.ny)], before[m]) << m;
  EXPECT_NE(after[c(3, 3, 0)], before[c(3, 3, 0)]);

  // Scales at or below 1e-4 all act as 1e-4.
  std::vector<float> reference;
  for (float scale : {1e-4f, 1e-5f, 0.0f, -2.0f}) {
    Put(sim, &FireSim::Impl::u, std::vector<float>(count(0), 0.0f));
    p.turbScale = scale;
    run(p, 0.1f);
    const std::vector<float> u = get(&FireSim::Impl::u, count(0));
    if (reference.empty()) {
      reference = u;
      ASSERT_GT(std::count_if(u.begin(), u.end(), [](float x) { return x != 0.0f; }),
                int(count(0) / 2));
    }
    EXPECT_EQ(u, reference) << "turbScale " << scale;
  }
}

TEST_P(Forces, WithoutConfinementAndTurbulenceOnlyWindAndLiftAct) {
  const Faces3 before = randomFaces(51);
  putFaces(before);
  const std::vector<float> t = Random(cells(), 0.0f, 1.0f, 54);
  Put(sim, &FireSim::Impl::temperature, t);
  // Stale scratch from an earlier step must neither be used nor overwritten.
  const std::vector<float> stale(cells(), 1000.0f);
  const Field scratch[4] = {kCellForce[0], kCellForce[1], kCellForce[2], &FireSim::Impl::scratch2};
  for (Field f : scratch) Put(sim, f, stale);
  FireParams p = Quiet();
  p.buoyancy = 1.5f;
  p.windX = 1.0f;
  p.windY = 2.0f;
  p.windZ = 3.0f;
  p.windDrag = 0.5f;
  const float dt = 0.1f, drag = 1.0f - std::exp(-0.5f * dt);
  run(p, dt);

  const Faces3 after = faces();
  for (int a = 0; a < 3; ++a)
    forEachFace(a, [&](size_t f, bool in, size_t lo, size_t hi, int, int, int) {
      float want = before[a][f];
      if (in) {
        if (a == 2) want += dt * 1.5f * 0.5f * (t[lo] + t[hi]);
        want += (float(a + 1) - want) * drag;
      }
      ASSERT_NEAR(after[a][f], want, 4e-6f) << "component " << a;
    });
  for (Field f : scratch) EXPECT_EQ(get(f, cells()), stale);
}

TFR_INSTANTIATE_BACKENDS(Forces);

}  // namespace
}  // namespace tf::test
