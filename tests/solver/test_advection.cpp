// Advection: exact reproduction at rest, exact translation by whole cells, fresh air through open
// sides, no new extrema, the pointer exchange, and agreement with the plain, one-sample-at-a-time
// formulation on a turbulent plume and around smoke in empty space.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "device/sampling.h"
#include "tests/solver/backends.h"

namespace tf::test {
namespace {

TEST(Sampling, ClampsToJustInsideTheLastElement) {
  const float a[4] = {0.0f, 10.0f, 20.0f, 30.0f};
  EXPECT_EQ(SampleClamped(a, 4, 1, 1, 1.5f, 0.0f, 0.0f), 15.0f);
  EXPECT_EQ(SampleClamped(a, 4, 1, 1, -3.0f, 7.0f, -1.0f), 0.0f);  // extent 1 samples index 0
  // The bound is E - 1.001, not E - 1: the last element blends 0.001 of its lower neighbour.
  EXPECT_NEAR(SampleClamped(a, 4, 1, 1, 9.0f, 0.0f, 0.0f), 29.99f, 1e-4f);
  float lo = 0.0f, hi = 0.0f;
  const float b[8] = {1, 2, 3, 4, 5, 6, 7, -8};
  SampleClamped(b, 2, 2, 2, 0.5f, 0.5f, 0.5f, &lo, &hi);
  EXPECT_EQ(lo, -8.0f);
  EXPECT_EQ(hi, 7.0f);
}

TEST(Sampling, OutsideOnlyBeyondOpenSidesAndStrictly) {
  const OutsideOpenSide outside{1 | 32, 8, 8, 8};  // x- and z+ open
  EXPECT_TRUE(outside(Vec3f{-0.01f, 4, 4}));
  EXPECT_FALSE(outside(Vec3f{0.0f, 4, 4}));
  EXPECT_FALSE(outside(Vec3f{9.0f, 4, 4}));  // x+ is closed
  EXPECT_FALSE(outside(Vec3f{4, 4, 8.0f}));
  EXPECT_TRUE(outside(Vec3f{4, 4, 8.001f}));
  EXPECT_FALSE(outside(Vec3f{4, 4, -5.0f}));
}

class Advection : public Backends {
 protected:
  void SetUp() override {
    Backends::SetUp();
    if (IsSkipped()) return;
    create(sim, g, sides);
  }
  size_t cells() const { return size_t(g.nx * g.ny * g.nz); }
  size_t uCount() const { return size_t((g.nx + 1) * g.ny * g.nz); }
  size_t vCount() const { return size_t(g.nx * (g.ny + 1) * g.nz); }
  size_t wCount() const { return size_t(g.nx * g.ny * (g.nz + 1)); }
  void setVelocity(float ux, float vy, float wz) {
    Put(sim, &FireSim::Impl::u, std::vector<float>(uCount(), ux));
    Put(sim, &FireSim::Impl::v, std::vector<float>(vCount(), vy));
    Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), wz));
  }
  std::vector<float> advectDensity(const std::vector<float>& d, float dt) {
    Put(sim, &FireSim::Impl::density, d);
    FireSim::Impl& s = sim.Internals();
    s.AdvectScalar(s.density, s.densityNext, dt);
    return Get(sim, &FireSim::Impl::density, cells());
  }

  GridDesc g = Grid(12, 10, 8, 0.5f);
  OpenSides sides = OpenSides{false, false, false, false, false, true};
  FireSim sim;
};

TEST_P(Advection, AtRestVelocityIsKeptButForTheLastLayer) {
  const Dims d{g.nx, g.ny, g.nz};
  const std::vector<float> u0 = Random(uCount(), -1, 1, 1), v0 = Random(vCount(), -1, 1, 2);
  std::vector<float> w0(wCount(), 0.0f);
  Put(sim, &FireSim::Impl::u, u0);
  Put(sim, &FireSim::Impl::v, v0);
  Put(sim, &FireSim::Impl::w, w0);
  // A velocity that is not zero still moves itself; so this uses dt = 0, where every trace stays
  // put and only the clamp of the sampling shows.
  sim.Internals().AdvectVel(0.0f);
  const std::vector<float> u1 = Get(sim, &FireSim::Impl::u, uCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i <= g.nx; ++i) {
        const float before = u0[size_t(d.u(i, j, k))];
        if (i < g.nx && j < g.ny - 1 && k < g.nz - 1) {
          ASSERT_EQ(u1[size_t(d.u(i, j, k))], before) << i << "," << j << "," << k;
        }
      }
  // The face i = nx of u: 0.999 of itself plus 0.001 of its lower neighbour.
  const float top = u0[size_t(d.u(g.nx, 2, 2))], lower = u0[size_t(d.u(g.nx - 1, 2, 2))];
  EXPECT_NEAR(u1[size_t(d.u(g.nx, 2, 2))], 0.999f * top + 0.001f * lower, 1e-6f);
  // The old allocation became the back buffer.
  FireSim::Impl& s = sim.Internals();
  std::vector<float> back(uCount());
  Download(s.exec(), back.data(), s.uNext, back.size() * sizeof(float));
  EXPECT_EQ(back, u0);
}

TEST_P(Advection, ScalarAtRestIsReproducedAndBuffersExchange) {
  const std::vector<float> d0 = Random(cells(), 0, 1, 3);
  FireSim::Impl& s = sim.Internals();
  float* before = s.density;
  const std::vector<float> d1 = advectDensity(d0, 0.1f);
  EXPECT_EQ(s.densityNext, before);
  const Dims d{g.nx, g.ny, g.nz};
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const size_t c = size_t(d.cell(i, j, k));
        if (i < g.nx - 1 && j < g.ny - 1 && k < g.nz - 1)
          ASSERT_EQ(d1[c], d0[c]);
        else
          ASSERT_NEAR(d1[c], d0[c], 3e-6f);  // the clamp's blend, mostly corrected
      }
}

TEST_P(Advection, WholeCellTranslationIsExact) {
  // One cell (0.5 m) per 0.25 s along +x: every cell takes its -x neighbour's value.
  setVelocity(2.0f, 0.0f, 0.0f);
  const std::vector<float> d0 = Random(cells(), 0, 1, 4);
  const std::vector<float> d1 = advectDensity(d0, 0.25f);
  const Dims d{g.nx, g.ny, g.nz};
  // The last layer along each axis samples through the clamp's blend, so only the rest is exact.
  for (int k = 0; k < g.nz - 1; ++k)
    for (int j = 0; j < g.ny - 1; ++j)
      for (int i = 1; i < g.nx - 2; ++i)  // the forward trace of nx - 2 reaches the clamped layer
        ASSERT_EQ(d1[size_t(d.cell(i, j, k))], d0[size_t(d.cell(i - 1, j, k))]) << i << "," << j << "," << k;
  // x- is closed: the first cell samples the border value instead of fresh air.
  EXPECT_EQ(d1[size_t(d.cell(0, 3, 3))], d0[size_t(d.cell(0, 3, 3))]);

  // Velocity moves itself the same way: a slow w that varies along x only is carried one cell.
  std::vector<float> w0(wCount());
  for (int k = 0; k <= g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) w0[size_t(d.w(i, j, k))] = 1e-3f * float(i % 5);
  Put(sim, &FireSim::Impl::w, w0);
  sim.Internals().AdvectVel(0.25f);
  const std::vector<float> w1 = Get(sim, &FireSim::Impl::w, wCount());
  for (int i = 1; i < g.nx; ++i) EXPECT_NEAR(w1[size_t(d.w(i, 3, 4))], w0[size_t(d.w(i - 1, 3, 4))], 1e-9f) << i;
  EXPECT_EQ(Get(sim, &FireSim::Impl::u, uCount())[size_t(d.u(6, 3, 4))], 2.0f);
}

TEST_P(Advection, OpenSidesLetFreshAirIn) {
  sim.Release();
  create(sim, g, OpenSides{true, true, false, false, false, true});
  setVelocity(2.0f, 0.0f, 0.0f);
  const std::vector<float> d1 = advectDensity(std::vector<float>(cells(), 1.0f), 0.25f);
  const Dims d{g.nx, g.ny, g.nz};
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j) {
      ASSERT_EQ(d1[size_t(d.cell(0, j, k))], 0.0f);  // traced to x = -0.5, beyond the open side
      ASSERT_EQ(d1[size_t(d.cell(1, j, k))], 1.0f);
      ASSERT_EQ(d1[size_t(d.cell(g.nx - 1, j, k))], 1.0f);
    }
}

TEST_P(Advection, UniformStaysUniformAndNoNewExtrema) {
  // A swirling horizontal flow that never crosses the open top.
  const Dims d{g.nx, g.ny, g.nz};
  std::vector<float> u(uCount()), v(vCount());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i <= g.nx; ++i) u[size_t(d.u(i, j, k))] = std::sin(0.7f * float(j) + float(k));
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j <= g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) v[size_t(d.v(i, j, k))] = std::cos(0.9f * float(i) - float(k));
  Put(sim, &FireSim::Impl::u, u);
  Put(sim, &FireSim::Impl::v, v);
  Put(sim, &FireSim::Impl::w, std::vector<float>(wCount(), 0.0f));
  for (float x : advectDensity(std::vector<float>(cells(), 0.75f), 0.3f)) ASSERT_EQ(x, 0.75f);

  const std::vector<float> d0 = Random(cells(), 0.2f, 0.9f, 5);
  const float lo = *std::min_element(d0.begin(), d0.end()), hi = *std::max_element(d0.begin(), d0.end());
  std::vector<float> cur = d0;
  for (int step = 0; step < 5; ++step) cur = advectDensity(cur, 0.3f);
  EXPECT_GE(*std::min_element(cur.begin(), cur.end()), lo);
  EXPECT_LE(*std::max_element(cur.begin(), cur.end()), hi);
  EXPECT_NE(cur, d0);  // the flow did move it
}

TEST_P(Advection, MirroredFlowGivesMirroredResult) {
  const Dims d{g.nx, g.ny, g.nz};
  std::vector<float> blob(cells(), 0.0f);
  for (int k = 2; k < 5; ++k)
    for (int j = 3; j < 6; ++j)
      for (int i = 4; i < 6; ++i) blob[size_t(d.cell(i, j, k))] = 1.0f;
  std::vector<float> mirrored(cells());
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) mirrored[size_t(d.cell(g.nx - 1 - i, j, k))] = blob[size_t(d.cell(i, j, k))];
  setVelocity(0.8f, 0.0f, 0.0f);
  const std::vector<float> a = advectDensity(blob, 0.2f);
  setVelocity(-0.8f, 0.0f, 0.0f);
  const std::vector<float> b = advectDensity(mirrored, 0.2f);
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 1; i < g.nx - 1; ++i)
        ASSERT_NEAR(a[size_t(d.cell(i, j, k))], b[size_t(d.cell(g.nx - 1 - i, j, k))], 1e-5f);
}

TEST_P(Advection, AllScalarsAtOnceMatchOneByOne) {
  // A flow that crosses the open top, so fresh air, clamping and fall-backs all occur.
  FireSim other;
  create(other, g, sides);
  const std::vector<float> u = Random(uCount(), -2, 2, 6), v = Random(vCount(), -2, 2, 7);
  const std::vector<float> w = Random(wCount(), -4, 1, 8);  // mostly downward: air enters at the top
  float* FireSim::Impl::*fields[4] = {&FireSim::Impl::density, &FireSim::Impl::temperature,
                                      &FireSim::Impl::fuel, &FireSim::Impl::dust};
  for (FireSim* s : {&sim, &other}) {
    Put(*s, &FireSim::Impl::u, u);
    Put(*s, &FireSim::Impl::v, v);
    Put(*s, &FireSim::Impl::w, w);
    for (int f = 0; f < 4; ++f) Put(*s, fields[f], Random(cells(), 0, 1, 10u + unsigned(f)));
  }
  FireSim::Impl& a = sim.Internals();
  a.AdvectScalar(a.density, a.densityNext, 0.2f);
  a.AdvectScalar(a.temperature, a.temperatureNext, 0.2f);
  a.AdvectScalar(a.fuel, a.fuelNext, 0.2f);
  a.AdvectScalar(a.dust, a.dustNext, 0.2f);
  other.Internals().AdvectScalars(0.2f);
  for (int f = 0; f < 4; ++f) {
    const std::vector<float> one = Get(sim, fields[f], cells()), all = Get(other, fields[f], cells());
    EXPECT_EQ(one, all) << "field " << f;
    EXPECT_GT(std::count(all.begin(), all.end(), 0.0f), 0) << "no fresh air came in";
  }
}

// The reference formulation, written plainly (branches, one sample at a time, every trace
// recomputed), as the solver had it before its passes were restructured into vectorised rows.
namespace plain {

void Clamp(float c, int e, int& i0, int& i1, float& t) {
  if (c < 0.0f)
    c = 0.0f;
  else
    c = std::min(c, float(e) - 1.001f);
  if (e == 1) c = 0.0f;
  i0 = int(c);
  t = c - float(i0);
  i1 = std::min(i0 + 1, e - 1);
}

float Sample(const float* a, int ex, int ey, int ez, float x, float y, float z, float* lo = nullptr,
             float* hi = nullptr) {
  int i0, i1, j0, j1, k0, k1;
  float t, s, r;
  Clamp(x, ex, i0, i1, t);
  Clamp(y, ey, j0, j1, s);
  Clamp(z, ez, k0, k1, r);
  const auto at = [&](int i, int j, int k) {
    return a[size_t(i) + size_t(ex) * (size_t(j) + size_t(ey) * size_t(k))];
  };
  const auto lerp = [](float p, float q, float w) { return (1.0f - w) * p + w * q; };
  if (lo) {
    const float v[8] = {at(i0, j0, k0), at(i1, j0, k0), at(i0, j1, k0), at(i1, j1, k0),
                        at(i0, j0, k1), at(i1, j0, k1), at(i0, j1, k1), at(i1, j1, k1)};
    *lo = *std::min_element(v, v + 8);
    *hi = *std::max_element(v, v + 8);
  }
  const float b0 =
      lerp(lerp(at(i0, j0, k0), at(i1, j0, k0), t), lerp(at(i0, j1, k0), at(i1, j1, k0), t), s);
  const float b1 =
      lerp(lerp(at(i0, j0, k1), at(i1, j0, k1), t), lerp(at(i0, j1, k1), at(i1, j1, k1), t), s);
  return lerp(b0, b1, r);
}

struct Flow {
  std::vector<float> u, v, w;
  int nx, ny, nz;
  float invCell;
  Vec3f at(Vec3f p) const {
    return Vec3f{Sample(u.data(), nx + 1, ny, nz, p.x, p.y - 0.5f, p.z - 0.5f) * invCell,
                 Sample(v.data(), nx, ny + 1, nz, p.x - 0.5f, p.y, p.z - 0.5f) * invCell,
                 Sample(w.data(), nx, ny, nz + 1, p.x - 0.5f, p.y - 0.5f, p.z) * invCell};
  }
  Vec3f traceBack(Vec3f p, float h) const {
    const Vec3f a = at(p);
    const Vec3f m{p.x - 0.5f * h * a.x, p.y - 0.5f * h * a.y, p.z - 0.5f * h * a.z};
    const Vec3f b = at(m);
    return Vec3f{p.x - h * b.x, p.y - h * b.y, p.z - h * b.z};
  }
};

// AdvectVel: the three components, each traced back from its own faces.
void AdvectVel(const Flow& f, float dt, std::vector<float> out[3]) {
  const int nx = f.nx, ny = f.ny, nz = f.nz;
  const std::vector<float>* src[3] = {&f.u, &f.v, &f.w};
  for (int a = 0; a < 3; ++a) {
    const int ex = nx + (a == 0), ey = ny + (a == 1), ez = nz + (a == 2);
    out[a].assign(size_t(ex) * size_t(ey) * size_t(ez), 0.0f);
    for (int k = 0; k < ez; ++k)
      for (int j = 0; j < ey; ++j)
        for (int i = 0; i < ex; ++i) {
          const Vec3f p{float(i) + (a == 0 ? 0.0f : 0.5f), float(j) + (a == 1 ? 0.0f : 0.5f),
                        float(k) + (a == 2 ? 0.0f : 0.5f)};
          const Vec3f q = f.traceBack(p, dt);
          out[a][size_t(i) + size_t(ex) * (size_t(j) + size_t(ey) * size_t(k))] =
              Sample(src[a]->data(), ex, ey, ez, a == 0 ? q.x : q.x - 0.5f, a == 1 ? q.y : q.y - 0.5f,
                     a == 2 ? q.z : q.z - 0.5f);
        }
  }
}

// AdvectScalar: the MacCormack step, written out plainly.
std::vector<float> AdvectScalar(const Flow& f, const OutsideOpenSide& outside,
                                const std::vector<float>& src, float dt) {
  const int nx = f.nx, ny = f.ny, nz = f.nz;
  const size_t n = src.size();
  std::vector<float> pred(n), out(n);
  const auto centre = [](int i, int j, int k) {
    return Vec3f{float(i) + 0.5f, float(j) + 0.5f, float(k) + 0.5f};
  };
  for (int pass = 0; pass < 2; ++pass)
    for (int k = 0; k < nz; ++k)
      for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
          const size_t c = size_t(i) + size_t(nx) * (size_t(j) + size_t(ny) * size_t(k));
          const Vec3f p = centre(i, j, k);
          const Vec3f q = f.traceBack(p, dt);
          if (pass == 0) {
            pred[c] = outside(q) ? 0.0f : Sample(src.data(), nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f);
            continue;
          }
          if (outside(q)) {
            out[c] = 0.0f;
            continue;
          }
          const Vec3f r = f.traceBack(p, -dt);
          const float e = Sample(pred.data(), nx, ny, nz, r.x - 0.5f, r.y - 0.5f, r.z - 0.5f);
          float lo, hi;
          Sample(src.data(), nx, ny, nz, q.x - 0.5f, q.y - 0.5f, q.z - 0.5f, &lo, &hi);
          float g = pred[c] + 0.5f * (src[c] - e);
          if (g < lo || g > hi) g = pred[c];
          out[c] = g;
        }
  return out;
}

}  // namespace plain

TEST_P(Advection, TurbulentPlumeMatchesThePlainFormulation) {
  // A plume with turbulence and confinement on a grid whose three extents differ, advected with
  // a long step so that traces cross several cells, leave through the open sides and reach the
  // clamps: every path of the passes is taken.
  const GridDesc pg = Grid(20, 16, 28, 0.05f);
  FireSim plume;
  create(plume, pg);
  FireParams p;
  p.turbulence = 2.0f;
  p.turbScale = 0.15f;
  plume.SetEmission(p.emission);
  std::vector<float> emitter(size_t(pg.nx) * size_t(pg.ny) * size_t(pg.nz), 0.0f);
  for (int k = 1; k < 3; ++k)
    for (int j = 5; j < 11; ++j)
      for (int i = 6; i < 13; ++i) emitter[CellIndex(pg, i, j, k)] = 1.0f;
  ASSERT_TRUE(plume.SetEmitterMask(emitter.data()));
  for (int frame = 0; frame < 24; ++frame) {
    p.time = float(frame) * p.frameTime;
    plume.Step(p);
  }
  FireSim::Impl& s = plume.Internals();
  const size_t cellCount = size_t(pg.nx) * size_t(pg.ny) * size_t(pg.nz);
  // Small eddies on top, down to the single face, so that values differ sharply between
  // neighbours everywhere, the border layers included: a sample that blends the wrong corners
  // shows.
  float* FireSim::Impl::*components[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};
  const size_t faceCount[3] = {size_t(pg.nx + 1) * size_t(pg.ny) * size_t(pg.nz),
                               size_t(pg.nx) * size_t(pg.ny + 1) * size_t(pg.nz),
                               size_t(pg.nx) * size_t(pg.ny) * size_t(pg.nz + 1)};
  std::vector<float> velocity[3];
  for (int a = 0; a < 3; ++a) {
    velocity[a] = Get(plume, components[a], faceCount[a]);
    const std::vector<float> eddies = Random(faceCount[a], -0.3f, 0.3f, 30u + unsigned(a));
    for (size_t c = 0; c < faceCount[a]; ++c) velocity[a][c] += eddies[c];
    Put(plume, components[a], velocity[a]);
  }
  const plain::Flow flow{velocity[0], velocity[1], velocity[2], pg.nx, pg.ny, pg.nz, 1.0f / pg.cellSize};
  float* FireSim::Impl::*fields[4] = {&FireSim::Impl::density, &FireSim::Impl::temperature,
                                      &FireSim::Impl::fuel, &FireSim::Impl::dust};
  // The plume has no dust; a random field takes its place, so that the fourth scalar is tested too.
  Put(plume, &FireSim::Impl::dust, Random(cellCount, 0.0f, 1.0f, 21));
  std::vector<float> before[4];
  for (int f = 0; f < 4; ++f) before[f] = Get(plume, fields[f], cellCount);
  float fastest = 0.0f;
  for (const std::vector<float>* a : {&flow.u, &flow.v, &flow.w})
    for (float x : *a) fastest = std::max(fastest, std::fabs(x));
  const float dt = 3.0f * p.frameTime;
  ASSERT_GT(fastest * dt / pg.cellSize, 2.0f) << "the plume should carry traces over several cells";

  s.AdvectScalars(dt);  // the velocity is still the one the reference traces through
  s.AdvectVel(dt);

  // Both sides evaluate the same formulas; only the order of floating-point operations (and, on
  // the GPU, fused multiply-adds) may differ. A value may then differ by a few roundings of the
  // field's scale; on the GPU a limiter or open-side decision taken on the other side of a
  // rounding may also change a rare scalar cell outright.
  const OutsideOpenSide outside{s.openMask, pg.nx, pg.ny, pg.nz};
  const auto compare = [&](const char* name, const std::vector<float>& got, const std::vector<float>& want) {
    float scale = 1e-6f;
    for (float x : want) scale = std::max(scale, std::fabs(x));
    const float tol = 4e-6f * scale;
    size_t off = 0;
    float worst = 0.0f;
    for (size_t c = 0; c < want.size(); ++c) {
      const float diff = std::fabs(got[c] - want[c]);
      worst = std::max(worst, diff);
      if (!(diff <= tol)) ++off;
    }
    const size_t allowed = gpu() ? want.size() / 1000 : 0;
    EXPECT_LE(off, allowed) << name << ": " << off << " of " << want.size()
                            << " values off by more than " << tol << " (largest difference " << worst << ")";
  };
  std::vector<float> vel[3];
  plain::AdvectVel(flow, dt, vel);
  compare("u", Get(plume, &FireSim::Impl::u, vel[0].size()), vel[0]);
  compare("v", Get(plume, &FireSim::Impl::v, vel[1].size()), vel[1]);
  compare("w", Get(plume, &FireSim::Impl::w, vel[2].size()), vel[2]);
  const char* names[4] = {"density", "temperature", "fuel", "dust"};
  size_t freshAir = 0;
  for (int f = 0; f < 4; ++f) {
    const std::vector<float> want = plain::AdvectScalar(flow, outside, before[f], dt);
    compare(names[f], Get(plume, fields[f], cellCount), want);
    if (f == 0) freshAir = size_t(std::count(want.begin(), want.end(), 0.0f));
  }
  EXPECT_GT(freshAir, 0u) << "no fresh air came in";
}

TEST_P(Advection, EmptySpaceIsLeftOutWithoutChangingAValue) {
  // A block of four different scalars in a larger grid, carried by a fast flow along a diagonal,
  // then by eddies of random speed on top of it, then by two streams parting at a NaN in the
  // block (which the step carries on where a trace reads it, as it does any value). On the CPU the cells far from the block are not traced; each value
  // must still be the plain step's, those just within reach of the block included.
  const GridDesc bg = Grid(36, 30, 32, 0.1f);
  FireSim big;
  create(big, bg);
  FireSim::Impl& s = big.Internals();
  const size_t cellCount = size_t(bg.nx) * size_t(bg.ny) * size_t(bg.nz);
  float* FireSim::Impl::*fields[4] = {&FireSim::Impl::density, &FireSim::Impl::temperature,
                                      &FireSim::Impl::fuel, &FireSim::Impl::dust};
  std::vector<float> before[4];
  for (int f = 0; f < 4; ++f) {
    const std::vector<float> values = Random(cellCount, 0.1f, 1.0f, 40u + unsigned(f));
    before[f].assign(cellCount, 0.0f);
    for (int k = 14; k < 19; ++k)
      for (int j = 12; j < 16; ++j)
        for (int i = 15; i < 19; ++i) before[f][CellIndex(bg, i, j, k)] = values[CellIndex(bg, i, j, k)];
  }
  const size_t faceCount[3] = {size_t(bg.nx + 1) * size_t(bg.ny) * size_t(bg.nz),
                               size_t(bg.nx) * size_t(bg.ny + 1) * size_t(bg.nz),
                               size_t(bg.nx) * size_t(bg.ny) * size_t(bg.nz + 1)};
  float* FireSim::Impl::*components[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};
  const float drift[3] = {1.3f, -0.2f, 3.4f};  // m/s: 1.3, 0.2 and 3.4 cells in the step
  const float dt = 0.1f;
  for (const int flowCase : {0, 1, 2}) {
    const float eddies = flowCase == 1 ? 1.5f : 0.0f;
    std::vector<float> velocity[3];
    for (int a = 0; a < 3; ++a) {
      velocity[a] = Random(faceCount[a], -eddies, eddies, 50u + unsigned(a));
      for (float& x : velocity[a]) x += flowCase == 2 ? 0.0f : drift[a];
      if (flowCase == 2 && a == 0)  // along x away from the face x = 17 on both sides
        for (size_t c = 0; c < faceCount[0]; ++c) velocity[0][c] = int(c % size_t(bg.nx + 1)) < 17 ? -3.0f : 3.0f;
    }
    for (int a = 0; a < 3; ++a) Put(big, components[a], velocity[a]);
    for (int f = 0; f < 4; ++f) Put(big, fields[f], before[f]);
    // The arrays the step works in hold nothing it may use.
    Put(big, &FireSim::Impl::scratch, std::vector<float>(4 * cellCount, -0.3f));
    if (flowCase == 2) {
      std::vector<float> withNan = before[2];
      withNan[CellIndex(bg, 17, 13, 16)] = std::numeric_limits<float>::quiet_NaN();
      Put(big, fields[2], withNan);
    }
    s.AdvectScalars(dt);

    const plain::Flow flow{velocity[0], velocity[1], velocity[2], bg.nx, bg.ny, bg.nz, 1.0f / bg.cellSize};
    const OutsideOpenSide outside{s.openMask, bg.nx, bg.ny, bg.nz};
    for (int f = 0; f < 4; ++f) {
      std::vector<float> src = before[f];
      if (flowCase == 2 && f == 2) src[CellIndex(bg, 17, 13, 16)] = std::numeric_limits<float>::quiet_NaN();
      const std::vector<float> want = plain::AdvectScalar(flow, outside, src, dt);
      const std::vector<float> got = Get(big, fields[f], cellCount);
      size_t off = 0, nans = 0;
      for (size_t c = 0; c < cellCount; ++c) {
        nans += std::isnan(want[c]);
        off += std::isnan(want[c]) ? !std::isnan(got[c]) : !(std::fabs(got[c] - want[c]) <= 4e-6f);
      }
      EXPECT_LE(off, gpu() ? cellCount / 1000 : 0) << "flow " << flowCase << ", scalar " << f;
      if (flowCase == 2 && f == 2) {
        EXPECT_GT(nans, 1u) << "the NaN should spread";
      }
    }
    if (gpu()) continue;
    // Rows of the CPU pass: some left out whole, some in part.
    size_t empty = 0, part = 0;
    const std::vector<int32_t>& spans = s.scalarRows.spans;
    for (size_t r = 0; r + 1 < spans.size(); r += 2) {
      empty += spans[r + 1] < spans[r];
      part += spans[r + 1] >= spans[r] && (spans[r] > 0 || spans[r + 1] < bg.nx - 1);
    }
    EXPECT_GT(empty, 0u) << "flow " << flowCase;
    EXPECT_GT(part, 0u) << "flow " << flowCase;
  }
}

TFR_INSTANTIATE_BACKENDS(Advection);

}  // namespace
}  // namespace tf::test
