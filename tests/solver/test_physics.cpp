// Whole steps on small grids: the phases together must behave like fire and smoke.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

struct Scene {
  GridDesc g;
  std::vector<float> emitter;  // cell mask, empty for none
};

// A disc emitter one cell above the floor, the standard plume.
Scene Plume(int n) {
  Scene s{Grid(n, n, n, 2.0f / float(n)), std::vector<float>(size_t(n) * size_t(n) * size_t(n), 0.0f)};
  const float c = 0.5f * float(n), r = float(n) / 8.0f;
  for (int k = 1; k < 3; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const float dx = float(i) + 0.5f - c, dy = float(j) + 0.5f - c;
        if (dx * dx + dy * dy <= r * r) s.emitter[CellIndex(s.g, i, j, k)] = 1.0f;
      }
  return s;
}

// Mass-weighted mean height of a field, in cells.
double MeanHeight(const std::vector<float>& f, const GridDesc& g) {
  double sum = 0.0, weighted = 0.0;
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const double v = f[CellIndex(g, i, j, k)];
        sum += v;
        weighted += v * (k + 0.5);
      }
  return sum > 0.0 ? weighted / sum : 0.0;
}

std::vector<float> Blob(const GridDesc& g, float value, int cx, int cy, int cz, int r) {
  std::vector<float> out(size_t(g.nx) * size_t(g.ny) * size_t(g.nz), 0.0f);
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i)
        if ((i - cx) * (i - cx) + (j - cy) * (j - cy) + (k - cz) * (k - cz) <= r * r)
          out[CellIndex(g, i, j, k)] = value;
  return out;
}

class Physics : public Backends {
 protected:
  std::vector<float> field(FireSim& sim, FieldId id) {
    const GridDesc& g = sim.Internals().grid;
    std::vector<float> out(size_t(g.nx) * size_t(g.ny) * size_t(g.nz));
    EXPECT_TRUE(sim.CopyField(id, out.data()));
    return out;
  }
};

TEST_P(Physics, HotGasRisesAndSmokeSinks) {
  const GridDesc g = Grid(24, 24, 32, 0.05f);
  FireParams p;
  p.cooling = 0.0f;
  p.radiativeCooling = 0.0f;

  FireSim hot;
  create(hot, g);
  Put(hot, &FireSim::Impl::temperature, Blob(g, 0.5f, 12, 12, 10, 4));
  const double h0 = MeanHeight(field(hot, FieldId::Temperature), g);
  for (int f = 0; f < 20; ++f) hot.Step(p);
  const double h1 = MeanHeight(field(hot, FieldId::Temperature), g);
  EXPECT_GT(h1, h0 + 1.0) << "hot gas must rise";
  const std::vector<float> vz = field(hot, FieldId::VelZ);
  EXPECT_GT(vz[CellIndex(g, 12, 12, int(h1))], 0.1f);

  // Dense smoke at ambient temperature sinks under its own weight.
  FireSim smoke;
  create(smoke, g);
  p.smokeWeight = 2.0f;
  p.smokeDissipate = 0.0f;
  Put(smoke, &FireSim::Impl::density, Blob(g, 1.0f, 12, 12, 20, 4));
  const double s0 = MeanHeight(field(smoke, FieldId::Density), g);
  for (int f = 0; f < 10; ++f) smoke.Step(p);
  EXPECT_LT(MeanHeight(field(smoke, FieldId::Density), g), s0 - 0.5);
  EXPECT_LT(field(smoke, FieldId::VelZ)[CellIndex(g, 12, 12, 18)], 0.0f);
}

TEST_P(Physics, ProjectionMeetsItsToleranceAndClosedSidesCarryNoFlow) {
  const GridDesc g = Grid(20, 20, 24, 0.05f);
  FireSim sim;
  create(sim, g, OpenSides{false, false, true, true, false, true});  // x sides and floor closed
  FireParams p;
  p.turbulence = 1.0f;  // stir the flow everywhere
  Put(sim, &FireSim::Impl::temperature, Blob(g, 0.6f, 10, 10, 6, 5));
  for (int f = 0; f < 6; ++f) {
    sim.Step(p);
    const SolverStats st = sim.Stats();
    ASSERT_LT(st.iterations, p.maxPressureIterations);
    // The solve stops once every cell's divergence error, times dt, is within the tolerance.
    EXPECT_LE(st.maxDivergence, p.pressureTolerance / p.frameTime * 1.01f + 1e-4f) << "frame " << f;
  }
  FireSim::Impl& s = sim.Internals();
  const Dims d{g.nx, g.ny, g.nz};
  const std::vector<float> u = Get(sim, &FireSim::Impl::u, size_t((g.nx + 1) * g.ny * g.nz));
  const std::vector<float> w = Get(sim, &FireSim::Impl::w, size_t(g.nx * g.ny * (g.nz + 1)));
  double inner = 0.0;
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j) {
      ASSERT_EQ(u[size_t(d.u(0, j, k))], 0.0f);
      ASSERT_EQ(u[size_t(d.u(g.nx, j, k))], 0.0f);
      inner += std::fabs(u[size_t(d.u(g.nx / 2, j, k))]);
    }
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) ASSERT_EQ(w[size_t(d.w(i, j, 0))], 0.0f);
  EXPECT_GT(inner, 0.0) << "the flow inside must not be zero, or the test proves nothing";
  EXPECT_EQ(s.openMask, 4 | 8 | 32);
}

TEST_P(Physics, DefaultEmitterMakesFire) {
  Scene sc = Plume(24);
  FireSim sim;
  create(sim, sc.g);
  FireParams p;
  sim.SetEmission(p.emission);
  ASSERT_TRUE(sim.SetEmitterMask(sc.emitter.data()));
  for (int f = 0; f < 4; ++f) sim.Step(p);
  EXPECT_GT(sim.Total(FieldId::Fuel), 0.0);
  EXPECT_GT(sim.Total(FieldId::Flame), 0.0);
  EXPECT_GT(sim.Total(FieldId::Density), 0.0);
  const std::vector<float> t = field(sim, FieldId::Temperature);
  EXPECT_GT(*std::max_element(t.begin(), t.end()), p.ignitionTemp);
  // Flame lives where fuel meets heat: above the emitter, not in the far corners.
  const std::vector<float> flame = field(sim, FieldId::Flame);
  EXPECT_GT(flame[CellIndex(sc.g, 12, 12, 2)] + flame[CellIndex(sc.g, 12, 12, 3)], 0.0f);
  EXPECT_EQ(flame[CellIndex(sc.g, 0, 0, 20)], 0.0f);
  // The fire lifts the gas above the emitter.
  EXPECT_GT(field(sim, FieldId::VelZ)[CellIndex(sc.g, 12, 12, 6)], 0.0f);
}

TEST_P(Physics, QuenchPutsTheFireOutAndFlammablesCatch) {
  Scene sc = Plume(16);
  FireParams p;
  FireSim free, quenched;
  create(free, sc.g);
  create(quenched, sc.g);
  std::vector<float> water(sc.emitter.size(), 1.0f);
  for (FireSim* s : {&free, &quenched}) ASSERT_TRUE(s->SetEmitterMask(sc.emitter.data()));
  ASSERT_TRUE(quenched.SetQuench(water.data(), 8.0f, 0.5f));
  for (int f = 0; f < 4; ++f) {
    free.Step(p);
    quenched.Step(p);
  }
  EXPECT_GT(free.Total(FieldId::Flame), 0.0);
  EXPECT_EQ(quenched.Total(FieldId::Flame), 0.0);
  EXPECT_EQ(quenched.Total(FieldId::Fuel), 0.0);

  // A flammable slab beside the emitter catches once the heat reaches it.
  FireSim sim;
  create(sim, sc.g);
  std::vector<float> slab(sc.emitter.size(), 0.0f);
  for (int k = 3; k < 6; ++k)
    for (int j = 6; j < 10; ++j)
      for (int i = 6; i < 10; ++i) slab[CellIndex(sc.g, i, j, k)] = 1.0f;
  ASSERT_TRUE(sim.SetEmitterMask(sc.emitter.data()));
  ASSERT_TRUE(sim.SetFlammables(slab.data(), 4.0f, 8.0f));
  for (int f = 0; f < 16; ++f) sim.Step(p);
  const std::vector<float> age = Get(sim, &FireSim::Impl::burnAge, slab.size());
  EXPECT_GT(age[CellIndex(sc.g, 8, 8, 3)], 0.0f);
  EXPECT_EQ(age[CellIndex(sc.g, 2, 2, 10)], 0.0f);
}

TEST_P(Physics, SubstepsSplitTheFrame) {
  Scene sc = Plume(16);
  FireParams p;
  p.frameTime = 0.1f;
  p.substeps = 4;
  FireSim a, b;
  create(a, sc.g);
  create(b, sc.g);
  ASSERT_TRUE(a.SetEmitterMask(sc.emitter.data()));
  ASSERT_TRUE(b.SetEmitterMask(sc.emitter.data()));
  a.Step(p);
  FireParams q = p;
  q.frameTime = 0.025f;
  q.substeps = 1;
  for (int i = 0; i < 4; ++i) b.Step(q);
  for (FieldId id : {FieldId::Density, FieldId::Temperature, FieldId::Fuel, FieldId::Flame, FieldId::Speed})
    EXPECT_EQ(field(a, id), field(b, id)) << int(id);
  EXPECT_EQ(a.Stats().iterations, b.Stats().iterations);
}

TFR_INSTANTIATE_BACKENDS(Physics);

// Runs the standard plume for `frames` and returns every field.
std::vector<std::vector<float>> RunPlume(bool gpu, int n, int frames) {
  Scene sc = Plume(n);
  FireSim sim;
  if (!sim.Create(sc.g, kDefaultOpenSides, gpu) || sim.UsesGpu() != gpu) return {};
  FireParams p;
  p.turbulence = 0.5f;
  sim.SetEmission(p.emission);
  sim.SetEmitterMask(sc.emitter.data());
  for (int f = 0; f < frames; ++f) {
    p.time = float(f) * p.frameTime;
    sim.Step(p);
  }
  std::vector<std::vector<float>> out;
  for (int id = 0; id <= 10; ++id) {
    out.emplace_back(size_t(n) * size_t(n) * size_t(n));
    sim.CopyField(FieldId(id), out.back().data());
  }
  return out;
}

TEST(PhysicsCpu, TwoRunsAreBitIdentical) {
  const auto a = RunPlume(false, 24, 20), b = RunPlume(false, 24, 20);
  ASSERT_EQ(a.size(), 11u);
  for (size_t id = 0; id < a.size(); ++id) EXPECT_EQ(a[id], b[id]) << "field " << id;
}

TEST(PhysicsGpu, StaysCloseToTheCpu) {
  if (!GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
  const auto cpu = RunPlume(false, 24, 20), gpu = RunPlume(true, 24, 20);
  ASSERT_EQ(cpu.size(), 11u);
  ASSERT_EQ(gpu.size(), 11u);
  // The devices differ only in rounding (fused multiply-adds on the GPU, the order of reduction
  // sums), and the flow amplifies that a little over 20 frames. Differences are measured relative
  // to each field's largest value.
  for (int id : {0, 1, 2, 3, 4, 10}) {
    const std::vector<float>& a = cpu[size_t(id)];
    const std::vector<float>& b = gpu[size_t(id)];
    float scale = 0.0f, diff = 0.0f;
    for (size_t c = 0; c < a.size(); ++c) {
      scale = std::max(scale, std::fabs(a[c]));
      diff = std::max(diff, std::fabs(a[c] - b[c]));
    }
    const float rel = scale > 0.0f ? diff / scale : diff;
    std::printf("field %d: largest CPU/GPU difference %.3g (%.3g of its peak %.3g)\n", id, diff, rel, scale);
    EXPECT_LT(rel, 0.05f) << "field " << id;
  }
}

}  // namespace
}  // namespace tf::test

namespace tf::test {
namespace {

// The projection has separate CPU and GPU schedules of the same bodies (whole rows on the CPU,
// one cell per thread on the GPU). In a build without CUDA the GPU schedule can run on the host:
// flipping the device flag changes which schedule runs and nothing else, so the GPU's logic is
// checked even on machines without a GPU.
TEST(GpuScheduleOnHost, MatchesTheCpuSchedule) {
#if TFR_HAS_CUDA
  GTEST_SKIP() << "the GPU schedule runs on the host only in a build without CUDA";
#else
  const Scene sc = Plume(20);
  std::vector<float> walls(sc.emitter.size(), 1.0f);
  for (int k = 6; k < 9; ++k)
    for (int j = 4; j < 14; ++j) walls[CellIndex(sc.g, 13, j, k)] = -1.0f;
  FireSim cpu, gpu;
  FireParams p;
  p.turbulence = 0.5f;
  for (FireSim* s : {&cpu, &gpu}) {
    ASSERT_TRUE(s->Create(sc.g, kDefaultOpenSides, false));
    s->SetEmitterMask(sc.emitter.data());
    s->SetSolids(walls.data());
  }
  gpu.Internals().useGpu = true;
  for (int f = 0; f < 8; ++f) {
    p.time = float(f) * p.frameTime;
    cpu.Step(p);
    gpu.Step(p);
    EXPECT_NEAR(cpu.Stats().iterations, gpu.Stats().iterations, 1) << "frame " << f;
    EXPECT_LE(gpu.Stats().maxDivergence, p.pressureTolerance / p.frameTime * 1.01f + 1e-4f);
  }
  // Only the order of the reduction sums differs, so the fields stay very close.
  for (FieldId id : {FieldId::Density, FieldId::Temperature, FieldId::Speed}) {
    std::vector<float> a(sc.emitter.size()), b(sc.emitter.size());
    ASSERT_TRUE(cpu.CopyField(id, a.data()));
    ASSERT_TRUE(gpu.CopyField(id, b.data()));
    float scale = 0.0f, diff = 0.0f;
    for (size_t c = 0; c < a.size(); ++c) {
      scale = std::max(scale, std::fabs(a[c]));
      diff = std::max(diff, std::fabs(a[c] - b[c]));
    }
    EXPECT_GT(scale, 0.0f);
    EXPECT_LT(diff, 1e-3f * scale) << "field " << int(id);
  }
  gpu.Internals().useGpu = false;  // the memory is host memory: release it as such
#endif
}

}  // namespace
}  // namespace tf::test
