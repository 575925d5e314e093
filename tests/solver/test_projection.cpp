// Pressure projection: the projected flow meets its divergence target to the tolerance the solve
// aims at, walls and closed sides carry no flow, the preconditioner is a symmetric contraction,
// and the degenerate solves (nothing to do, nothing possible, iteration cap) end cleanly.
#include <cmath>
#include <cstring>
#include <random>

#include "tests/solver/backends.h"

namespace tf::test {
namespace {

constexpr float kDt = 1.0f / 30.0f;

struct Faces {
  std::vector<float> u, v, w;
};

FireParams Params(float tolerance, int maxIterations = 60) {
  FireParams p;
  p.pressureTolerance = tolerance;
  p.maxPressureIterations = maxIterations;
  return p;
}

// The largest divergence error the solve may leave: its threshold on the residual of
// A p = -h^2 div is tolerance / dt * h^2, and the gradient step turns a residual r into a
// divergence error of r / h^2. One percent covers the float arithmetic of the measurement.
float Bound(const FireParams& p) { return 1.01f * p.pressureTolerance / kDt; }

// Host model of the operator at a fluid cell of level 0: {diag, neighbour sum}.
std::pair<float, float> HostStencil(const GridDesc& g, int mask, const std::vector<uint8_t>& solid,
                                    const std::vector<float>& x, int i, int j, int k) {
  const int n[3] = {g.nx, g.ny, g.nz};
  float diag = 0.0f, sum = 0.0f;
  for (int side = 0; side < 6; ++side) {
    int p[3] = {i, j, k};
    p[side / 2] += side % 2 ? 1 : -1;
    if (p[side / 2] < 0 || p[side / 2] >= n[side / 2]) {
      diag += (mask >> side) & 1 ? 1.0f : 0.0f;
    } else if (!solid[CellIndex(g, p[0], p[1], p[2])]) {
      diag += 1.0f;
      sum += x[CellIndex(g, p[0], p[1], p[2])];
    }
  }
  return {diag, sum};
}

class Projection : public Backends {
 protected:
  void make(GridDesc grid, OpenSides sides = kDefaultOpenSides) {
    g = grid;
    create(sim, g, sides);
  }
  FireSim::Impl& s() { return sim.Internals(); }
  size_t cells() const { return size_t(g.nx) * size_t(g.ny) * size_t(g.nz); }
  size_t count(int axis) const { return cells() + size_t(axis == 0 ? g.ny * g.nz : axis == 1 ? g.nx * g.nz : g.nx * g.ny); }
  size_t at(int i, int j, int k) const { return CellIndex(g, i, j, k); }

  // Uniform random faces in [-1, 1], made consistent with walls and closed sides as the step does.
  void randomFlow(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    float* FireSim::Impl::*members[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};
    for (int a = 0; a < 3; ++a) {
      std::vector<float> f(count(a));
      for (float& x : f) x = dist(rng);
      Put(sim, members[a], f);
    }
    s().FaceBC();
  }
  Faces faces() {
    return {Get(sim, &FireSim::Impl::u, count(0)), Get(sim, &FireSim::Impl::v, count(1)),
            Get(sim, &FireSim::Impl::w, count(2))};
  }
  std::vector<float> cellArray(float* FireSim::Impl::*member) { return Get(sim, member, cells()); }
  void setSolid(const std::vector<size_t>& solidCells) {
    std::vector<float> values(cells(), 1.0f);
    for (size_t c : solidCells) values[c] = -1.0f;
    ASSERT_TRUE(sim.SetSolids(values.data()));
  }
  void putCell(float* FireSim::Impl::*member, size_t c, float value) {
    std::vector<float> a = cellArray(member);
    a[c] = value;
    Put(sim, member, a);
  }
  int project(const FireParams& p) {
    s().Project(p, kDt);
    return sim.Stats().iterations;
  }
  double divergenceAt(const Faces& f, int i, int j, int k) const {
    const size_t iu = size_t(i + (g.nx + 1) * (j + g.ny * k)), iv = size_t(i + g.nx * (j + (g.ny + 1) * k));
    const size_t iw = at(i, j, k);
    return (double(f.u[iu + 1]) - f.u[iu] + f.v[iv + size_t(g.nx)] - f.v[iv] + f.w[iw + size_t(g.nx * g.ny)] - f.w[iw]) /
           g.cellSize;
  }

  GridDesc g;
  FireSim sim;
};

TEST_P(Projection, RandomFlowMeetsTheTolerance) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(24, 20, 28)));
  ASSERT_EQ(s().levels.size(), 3u);  // 24x20x28, 12x10x14, 6x5x7
  std::vector<int> used;
  // Fast, Balanced, Accurate: each meets its own bound, and a tighter one costs more iterations.
  for (float tolerance : {0.001f, 0.0003f, 0.0001f}) {
    FillZero(s().exec(), s().pressure, s().cellBytes());
    randomFlow(7);
    ASSERT_GT(sim.MaxDivergence(), 10.0f);
    const FireParams p = Params(tolerance);
    const int iterations = project(p);
    EXPECT_LE(sim.MaxDivergence(), Bound(p)) << tolerance;
    EXPECT_GT(iterations, 0);
    if (!used.empty()) {
      EXPECT_GE(iterations, used.back());
    }
    used.push_back(iterations);
  }
  EXPECT_GT(used.back(), used.front());
  // The full preconditioner takes 4, 5 and 6 iterations here; a weaker one (an averaging
  // restriction, one sweep per level, no conjugate directions) takes 18 or more in all.
  EXPECT_LE(used[0] + used[1] + used[2], 17);
}

TEST_P(Projection, FlameCellExpandsAndTheRestStaysDivergenceFree) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 16, 16)));
  putCell(&FireSim::Impl::flame, at(8, 7, 6), 2.0f);
  FireParams p = Params(0.0001f);
  p.expansion = 0.6f;
  EXPECT_GT(project(p), 0);
  const Faces f = faces();
  const std::vector<float> target = cellArray(&FireSim::Impl::targetDivergence);
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const float want = (i == 8 && j == 7 && k == 6) ? 1.2f : 0.0f;
        ASSERT_FLOAT_EQ(target[at(i, j, k)], want);
        ASSERT_NEAR(divergenceAt(f, i, j, k), want, Bound(p)) << i << "," << j << "," << k;
      }
  // The gas leaves the burning cell on all sides.
  const size_t iu = size_t(8 + 17 * (7 + 16 * 6));
  EXPECT_GT(f.u[iu + 1], 0.0f);
  EXPECT_LT(f.u[iu], 0.0f);
}

TEST_P(Projection, DivergenceFreeFlowNeedsNoIteration) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(12, 10, 9)));
  Put(sim, &FireSim::Impl::u, std::vector<float>(count(0), 1.0f));
  Put(sim, &FireSim::Impl::v, std::vector<float>(count(1), 0.5f));
  Put(sim, &FireSim::Impl::w, std::vector<float>(count(2), 0.25f));
  EXPECT_EQ(project(Params(0.0001f)), 0);
  const Faces f = faces();
  for (float x : f.u) ASSERT_EQ(x, 1.0f);
  for (float x : f.v) ASSERT_EQ(x, 0.5f);
  // Only FaceBC acts: the closed floor (z-) stops the flow through it.
  for (size_t c = 0; c < f.w.size(); ++c) ASSERT_EQ(f.w[c], c < cells() / size_t(g.nz) ? 0.0f : 0.25f);
  for (float x : cellArray(&FireSim::Impl::pressure)) ASSERT_EQ(x, 0.0f);
}

TEST_P(Projection, GradientSkipsClosedSidesAndSeesZeroPressureBeyondOpenOnes) {
  // x- open, x+ closed, y- closed, y+ open, z- closed, z+ open.
  ASSERT_NO_FATAL_FAILURE(make(Grid(14, 12, 10), OpenSides{true, false, false, true, false, true}));
  randomFlow(3);
  const Faces before = faces();
  const FireParams p = Params(0.0001f);
  project(p);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
  const Faces after = faces();
  const std::vector<float> pressure = cellArray(&FireSim::Impl::pressure);
  const float inv = 1.0f / g.cellSize;
  const int mask = s().openMask, n[3] = {g.nx, g.ny, g.nz};
  const std::vector<float>* b[3] = {&before.u, &before.v, &before.w};
  const std::vector<float>* a[3] = {&after.u, &after.v, &after.w};
  for (int axis = 0; axis < 3; ++axis) {
    const int e[3] = {g.nx + (axis == 0), g.ny + (axis == 1), g.nz + (axis == 2)};
    const int lowBit = 1 << (2 * axis), highBit = lowBit << 1;
    for (int k = 0; k < e[2]; ++k)
      for (int j = 0; j < e[1]; ++j)
        for (int i = 0; i < e[0]; ++i) {
          const int x[3] = {i, j, k};
          const size_t face = size_t(i + e[0] * (j + e[1] * k));
          const bool low = x[axis] == 0, high = x[axis] == n[axis];
          if ((low && !(mask & lowBit)) || (high && !(mask & highBit))) {
            ASSERT_EQ((*a[axis])[face], 0.0f);
            continue;
          }
          const float pR = high ? 0.0f : pressure[at(i, j, k)];
          const float pL = low ? 0.0f : pressure[at(i - (axis == 0), j - (axis == 1), k - (axis == 2))];
          ASSERT_NEAR((*a[axis])[face], (*b[axis])[face] - (pR - pL) * inv, 1e-5f) << axis << ":" << i << "," << j << "," << k;
        }
  }
}

TEST_P(Projection, ClosedBoxVentsTheExpansionThroughTheTop) {
  // No side open: the top is treated as open and takes all the gas the flame releases.
  ASSERT_NO_FATAL_FAILURE(make(Grid(12, 12, 12), OpenSides{false, false, false, false, false, false}));
  ASSERT_EQ(s().openMask, 32);
  putCell(&FireSim::Impl::flame, at(6, 5, 4), 2.0f);
  FireParams p = Params(1e-7f, 200);
  p.expansion = 0.6f;
  EXPECT_LT(project(p), 200);
  const Faces f = faces();
  double out = 0.0;
  for (int j = 0; j < g.ny; ++j)
    for (int i = 0; i < g.nx; ++i) out += f.w[at(i, j, 0) + size_t(g.nz) * size_t(g.nx * g.ny)];
  EXPECT_NEAR(out * g.cellSize * g.cellSize, 1.2 * std::pow(g.cellSize, 3), 0.01 * 1.2 * std::pow(g.cellSize, 3));
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j) {
      ASSERT_EQ(f.u[size_t((g.nx + 1) * (j + g.ny * k))], 0.0f);
      ASSERT_EQ(f.u[size_t(g.nx + (g.nx + 1) * (j + g.ny * k))], 0.0f);
    }
}

TEST_P(Projection, WallsHoldZeroPressureAndNoFlow) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(20, 18, 16)));
  std::vector<size_t> walls;
  for (int k = 4; k < 12; ++k)
    for (int j = 5; j < 10; ++j)
      for (int i = 6; i < 12; ++i) walls.push_back(at(i, j, k));
  walls.push_back(at(0, 3, 3));  // on the open x- side
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  Put(sim, &FireSim::Impl::pressure, std::vector<float>(cells(), 7.0f));  // stale warm start
  putCell(&FireSim::Impl::flame, at(8, 7, 6), 3.0f);                       // burning inside a wall
  randomFlow(11);
  const FireParams p = Params(0.0001f);
  EXPECT_GT(project(p), 0);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
  const std::vector<float> pressure = cellArray(&FireSim::Impl::pressure);
  const std::vector<float> target = cellArray(&FireSim::Impl::targetDivergence);
  const Faces f = faces();
  for (size_t c : walls) {
    ASSERT_EQ(pressure[c], 0.0f);
    ASSERT_EQ(target[c], 0.0f);
    const int i = int(c % size_t(g.nx)), j = int(c / size_t(g.nx) % size_t(g.ny)), k = int(c / size_t(g.nx * g.ny));
    const size_t iu = size_t(i + (g.nx + 1) * (j + g.ny * k)), iv = size_t(i + g.nx * (j + (g.ny + 1) * k));
    for (float x : {f.u[iu], f.u[iu + 1], f.v[iv], f.v[iv + size_t(g.nx)], f.w[c], f.w[c + cells() / size_t(g.nz)]})
      ASSERT_EQ(x, 0.0f) << i << "," << j << "," << k;
  }
}

TEST_P(Projection, WalledInCellsEndTheSolveWithoutHarm) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(10, 10, 10)));
  FireParams p = Params(0.0001f, 25);
  p.expansion = 0.6f;
  Put(sim, &FireSim::Impl::flame, std::vector<float>(cells(), 2.0f));
  const auto allFinite = [&] {
    for (float x : cellArray(&FireSim::Impl::pressure)) ASSERT_TRUE(std::isfinite(x));
    const Faces f = faces();
    for (const auto* a : {&f.u, &f.v, &f.w})
      for (float x : *a) ASSERT_TRUE(std::isfinite(x));
  };
  // Everything solid: no equation at all.
  std::vector<size_t> all(cells());
  for (size_t c = 0; c < cells(); ++c) all[c] = c;
  ASSERT_NO_FATAL_FAILURE(setSolid(all));
  randomFlow(5);
  EXPECT_EQ(project(p), 0);
  allFinite();
  const Faces f = faces();
  for (const auto* a : {&f.u, &f.v, &f.w})
    for (float x : *a) ASSERT_EQ(x, 0.0f);

  // One burning fluid cell walled in on all sides: its search direction has no energy, so the
  // first iteration stops without touching its warm pressure.
  const size_t lone = at(5, 5, 5);
  all.erase(all.begin() + std::ptrdiff_t(lone));
  ASSERT_NO_FATAL_FAILURE(setSolid(all));
  putCell(&FireSim::Impl::pressure, lone, 5.0f);
  EXPECT_EQ(project(p), 1);
  EXPECT_EQ(cellArray(&FireSim::Impl::pressure)[lone], 5.0f);
  SCOPED_TRACE("lone");
  allFinite();

  // The same cell walled in amid a fluid domain can never meet the tolerance: the cap ends it.
  ASSERT_NO_FATAL_FAILURE(setSolid({lone - 1, lone + 1, lone - 10, lone + 10, lone - 100, lone + 100}));
  randomFlow(6);
  EXPECT_EQ(project(p), 25);
  SCOPED_TRACE("amid fluid");
  allFinite();
}

TEST_P(Projection, IterationCapIsRespected) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 16, 16)));
  for (int cap : {3, 1, 0}) {
    FillZero(s().exec(), s().pressure, s().cellBytes());
    randomFlow(9);
    const Faces before = faces();
    const float divergence = sim.MaxDivergence();
    EXPECT_EQ(project(Params(1e-9f, cap)), cap);
    if (cap > 0) {
      EXPECT_LT(sim.MaxDivergence(), 0.5f * divergence);  // the last iterate is used
    } else {
      EXPECT_EQ(faces().u, before.u);  // no iteration: the zero pressure changes nothing
      EXPECT_EQ(faces().w, before.w);
    }
  }
}

TEST_P(Projection, SingleLevelGridConverges) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(7, 12, 20)));
  ASSERT_EQ(s().levels.size(), 1u);
  randomFlow(13);
  const FireParams p = Params(0.0001f);
  // The only level is also the coarsest: 24 sweep pairs each way make it a strong
  // preconditioner (2 iterations here; 8 with the 2 pairs of a finer level).
  const int iterations = project(p);
  EXPECT_GT(iterations, 0);
  EXPECT_LE(iterations, 4);
  EXPECT_LE(sim.MaxDivergence(), Bound(p));
}

TEST_P(Projection, WarmStartAppliesTheKeptPressure) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(16, 14, 18)));
  randomFlow(21);
  const Faces input = faces();
  EXPECT_GT(project(Params(0.0001f)), 0);
  const Faces first = faces();
  // The same input again, with the kept pressure: already solved, yet the gradient still applies.
  Put(sim, &FireSim::Impl::u, input.u);
  Put(sim, &FireSim::Impl::v, input.v);
  Put(sim, &FireSim::Impl::w, input.w);
  EXPECT_EQ(project(Params(0.001f)), 0);
  EXPECT_EQ(faces().u, first.u);
  EXPECT_EQ(faces().v, first.v);
  EXPECT_EQ(faces().w, first.w);
  Put(sim, &FireSim::Impl::u, input.u);
  Put(sim, &FireSim::Impl::v, input.v);
  Put(sim, &FireSim::Impl::w, input.w);
  EXPECT_LE(project(Params(0.0001f)), 1);
}

TEST_P(Projection, VCycleIsASymmetricContraction) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(20, 18, 17), OpenSides{true, false, false, true, false, true}));
  ASSERT_EQ(s().levels.size(), 3u);
  std::vector<size_t> walls;
  for (int k = 3; k < 9; ++k)
    for (int i = 4; i < 11; ++i) walls.push_back(at(i, 6, k));
  // And a fluid cell walled in on all sides, which has no equation.
  const size_t lone = at(15, 12, 12), sy = size_t(g.nx), sz = size_t(g.nx * g.ny);
  for (size_t c : {lone - 1, lone + 1, lone - sy, lone + sy, lone - sz, lone + sz}) walls.push_back(c);
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  std::vector<uint8_t> solid(cells(), 0);
  for (size_t c : walls) solid[c] = 1;
  // z = M b for a random right-hand side (zero in walls).
  const auto precondition = [&](unsigned seed, std::vector<float>& b) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    b.resize(cells());
    for (size_t c = 0; c < cells(); ++c) b[c] = solid[c] ? 0.0f : dist(rng);
    Upload(s().exec(), s().levels[0].b, b.data(), b.size() * sizeof(float));
    s().VCycle(0);
    std::vector<float> z(cells());
    Download(s().exec(), z.data(), s().levels[0].x, z.size() * sizeof(float));
    return z;
  };
  std::vector<float> b1, b2;
  const std::vector<float> z1 = precondition(1, b1), z2 = precondition(2, b2);
  double z1b2 = 0, b1z2 = 0, scale = 0, rr = 0, bb = 0;
  for (int k = 0; k < g.nz; ++k)
    for (int j = 0; j < g.ny; ++j)
      for (int i = 0; i < g.nx; ++i) {
        const size_t c = at(i, j, k);
        z1b2 += double(z1[c]) * b2[c];
        b1z2 += double(b1[c]) * z2[c];
        scale += std::fabs(double(z1[c]) * b2[c]);
        if (solid[c] || c == lone) continue;
        const auto [diag, sum] = HostStencil(g, s().openMask, solid, z1, i, j, k);
        const double res = b1[c] - (double(diag) * z1[c] - sum);
        rr += res * res;
        bb += double(b1[c]) * b1[c];
      }
  EXPECT_NEAR(z1b2, b1z2, 1e-5 * scale);  // colours reversed after the correction
  EXPECT_LT(std::sqrt(rr), 0.5 * std::sqrt(bb));
  EXPECT_EQ(z1[lone], 0.0f);
}

TEST_P(Projection, SmoothRelaxesOneColourOnly) {
  ASSERT_NO_FATAL_FAILURE(make(Grid(9, 7, 6)));
  std::vector<uint8_t> solid(cells(), 0);
  std::vector<size_t> walls = {at(3, 3, 3), at(4, 2, 1), at(0, 0, 0), at(8, 6, 5)};
  // (6, 4, 2) walled in: no coupling, so it keeps its value.
  for (size_t c : {at(5, 4, 2), at(7, 4, 2), at(6, 3, 2), at(6, 5, 2), at(6, 4, 1), at(6, 4, 3)}) walls.push_back(c);
  ASSERT_NO_FATAL_FAILURE(setSolid(walls));
  for (size_t c : walls) solid[c] = 1;
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(cells()), b(cells());
  for (size_t c = 0; c < cells(); ++c) {
    x[c] = dist(rng);
    b[c] = dist(rng);
  }
  Level& L = s().levels[0];
  for (int parity : {0, 1}) {
    Upload(s().exec(), L.x, x.data(), x.size() * sizeof(float));
    Upload(s().exec(), L.b, b.data(), b.size() * sizeof(float));
    s().Smooth(L, parity);
    std::vector<float> out(cells());
    Download(s().exec(), out.data(), L.x, out.size() * sizeof(float));
    for (int k = 0; k < g.nz; ++k)
      for (int j = 0; j < g.ny; ++j)
        for (int i = 0; i < g.nx; ++i) {
          const size_t c = at(i, j, k);
          const auto [diag, sum] = HostStencil(g, s().openMask, solid, x, i, j, k);
          const bool relaxed = (i + j + k) % 2 == parity && !solid[c] && diag > 0.0f;
          ASSERT_EQ(out[c], relaxed ? (sum + b[c]) / diag : x[c]) << parity << ":" << i << "," << j << "," << k;
        }
  }
}

TFR_INSTANTIATE_BACKENDS(Projection);

// One projection scenario with walls, a flame and a warm-started second solve, on a fresh solver.
using ArrayPair = std::pair<const std::vector<float>*, const std::vector<float>*>;

struct Outcome {
  std::vector<float> pressure, u, v, w;
  int iterations[2];
};
Outcome RunScenario(bool gpu) {
  const GridDesc g = Grid(24, 22, 20);
  FireSim sim;
  Outcome o{};
  if (!sim.Create(g, kDefaultOpenSides, gpu)) return o;
  std::vector<float> solids(size_t(g.nx * g.ny * g.nz), 1.0f);
  for (int k = 5; k < 9; ++k)
    for (int i = 3; i < 15; ++i) solids[CellIndex(g, i, 11, k)] = -1.0f;
  sim.SetSolids(solids.data());
  std::vector<float> flame(solids.size(), 0.0f);
  flame[CellIndex(g, 12, 8, 3)] = 4.0f;
  Put(sim, &FireSim::Impl::flame, flame);
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  const size_t counts[3] = {size_t((g.nx + 1) * g.ny * g.nz), size_t(g.nx * (g.ny + 1) * g.nz), size_t(g.nx * g.ny * (g.nz + 1))};
  float* FireSim::Impl::*members[3] = {&FireSim::Impl::u, &FireSim::Impl::v, &FireSim::Impl::w};
  for (int pass = 0; pass < 2; ++pass) {
    for (int a = 0; a < 3; ++a) {
      std::vector<float> f(counts[a]);
      for (float& x : f) x = dist(rng);
      Put(sim, members[a], f);
    }
    sim.Internals().FaceBC();
    sim.Internals().Project(Params(0.0001f), kDt);
    o.iterations[pass] = sim.Stats().iterations;
  }
  o.pressure = Get(sim, &FireSim::Impl::pressure, solids.size());
  o.u = Get(sim, &FireSim::Impl::u, counts[0]);
  o.v = Get(sim, &FireSim::Impl::v, counts[1]);
  o.w = Get(sim, &FireSim::Impl::w, counts[2]);
  return o;
}

TEST(ProjectionRepeatability, TwoCpuRunsAreBitIdentical) {
  const Outcome a = RunScenario(false), b = RunScenario(false);
  ASSERT_FALSE(a.pressure.empty());
  EXPECT_GT(a.iterations[0], 0);
  EXPECT_EQ(a.iterations[0], b.iterations[0]);
  EXPECT_EQ(a.iterations[1], b.iterations[1]);
  for (const ArrayPair& pair : {ArrayPair{&a.pressure, &b.pressure}, {&a.u, &b.u}, {&a.v, &b.v}, {&a.w, &b.w}})
    EXPECT_EQ(std::memcmp(pair.first->data(), pair.second->data(), pair.first->size() * sizeof(float)), 0);
}

TEST(ProjectionRepeatability, GpuAgreesWithCpu) {
  if (!GpuPresent()) GTEST_SKIP() << "no GPU on this machine";
  const Outcome cpu = RunScenario(false), gpu = RunScenario(true);
  ASSERT_FALSE(gpu.pressure.empty());
  for (int pass = 0; pass < 2; ++pass) EXPECT_NEAR(gpu.iterations[pass], cpu.iterations[pass], 1);
  // Both meet the same tolerance; their velocities differ by at most the divergence it allows.
  for (const ArrayPair& pair : {ArrayPair{&cpu.u, &gpu.u}, {&cpu.v, &gpu.v}, {&cpu.w, &gpu.w}})
    for (size_t c = 0; c < pair.first->size(); ++c) ASSERT_NEAR((*pair.first)[c], (*pair.second)[c], 0.02f) << c;
}

}  // namespace
}  // namespace tf::test
